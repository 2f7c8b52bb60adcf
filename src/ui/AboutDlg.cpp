#include "ui/AboutDlg.h"

#include "ui/app_resources.h"

using namespace korrin::window;

CAboutDlg::CAboutDlg() : CDialog(Template(), nullptr) { korrin::ui::EnsureResources(); }

CAboutDlg::~CAboutDlg() = default;

const DialogTemplate& CAboutDlg::Template() { return korrin::ui::AboutDialogTemplate(); }

LRESULT CAboutDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND && CommandId(wParam) == IDOK && CommandCode(wParam) == BN_CLICKED) {
    OnOkButton();
    return 0;
  }
  return CDialog::WindowProc(message, wParam, lParam);
}

void CAboutDlg::OnOkButton() { CDialog::OnOK(); }
