#include "ui/Korrin_HIDApp.h"

#include "ui/Korrin_HIDDlg.h"

using namespace korrin::window;

// No name of its own: message boxes take the executable's file name.
CKorrin_HIDApp::CKorrin_HIDApp() : CWinApp(nullptr) {}

CKorrin_HIDApp::~CKorrin_HIDApp() = default;

CKorrin_HIDApp theApp;

BOOL CKorrin_HIDApp::InitInstance() {
  (void)AfxOleInit();
  {
    CKorrin_HIDDlg dlg;
    m_pMainWnd = &dlg;
    (void)dlg.DoModal();
    // The dialog's end is also where the transfer worker, if one still
    // runs, is stopped and joined, before anything it uses goes away.
  }
  m_pMainWnd = nullptr;
  return FALSE;
}
