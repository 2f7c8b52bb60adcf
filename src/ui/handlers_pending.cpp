// PLACEHOLDERS, so that the program links while a subsystem's handlers are
// still being written. Each block is compiled only while its subsystem's
// source file is missing (the build defines KORRIN_HAVE_* when it exists).
// Whoever implements a handler deletes its placeholder here.
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

#ifndef KORRIN_HAVE_PROTOCOL
// PLACEHOLDER (protocol): the command channel's one instance.
HID_COMM g_Comm;
#endif

#ifndef KORRIN_HAVE_BROWSE
// PLACEHOLDER (image): OnBrowse.
void CKorrin_HIDDlg::OnBrowse() { g_Comm.m_strFilePath = m_strImagePath; }
#endif

#ifndef KORRIN_HAVE_PROGRAMMING
// PLACEHOLDER (programming): AnnounceImage.
int CKorrin_HIDDlg::AnnounceImage() { return -1; }
// PLACEHOLDER (programming): ProgramThreadProc.
korrin::window::UINT ProgramThreadProc(void*) { return 0xFFFFFFFFu; }
// PLACEHOLDER (programming): OnUpdateProgress.
LRESULT CKorrin_HIDDlg::OnUpdateProgress(WPARAM wParam, LPARAM) {
  m_Progress.SetPos(static_cast<int>(wParam));
  return 0;
}
// PLACEHOLDER (programming): OnTransferFailed.
LRESULT CKorrin_HIDDlg::OnTransferFailed(WPARAM, LPARAM) { return 0; }
// PLACEHOLDER (programming): StopTransfer.
void CKorrin_HIDDlg::StopTransfer() {
  if (g_pProgramThread) g_pProgramThread->Join();
  g_pProgramThread.reset();
}
#endif
