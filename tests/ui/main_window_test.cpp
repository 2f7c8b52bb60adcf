// The main window as the operator first sees it, on the headless backend.
#include <gtest/gtest.h>

#include "platform/hid/hid.h"
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

namespace {

TEST(MainWindowStart, ShowsDefaultsAndStartsPolling) {
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  SetView(nullptr);
  CKorrin_HIDDlg dlg;
  ASSERT_TRUE(dlg.Create());
  DialogWindow& w = *dlg.window();
  EXPECT_EQ(w.Control(IDC_FILE_PATH)->text(), "140806a_Tamsk_v1_0_enc.bin");
  EXPECT_EQ(w.Control(IDC_FW_VERSION)->text(), "1.0");
  EXPECT_EQ(g_Comm.m_strFilePath, w.Control(IDC_FILE_PATH)->text());
  EXPECT_EQ(dlg.m_DeviceCombo.GetCount(), 0);
  EXPECT_EQ(dlg.m_DeviceCombo.GetWindowText(), "");
  EXPECT_EQ(dlg.m_LogList.GetCount(), 0);
  EXPECT_FALSE(dlg.m_Progress.IsWindowEnabled());
  EXPECT_EQ(dlg.m_Progress.GetPos(), 0);
  EXPECT_EQ(w.TimerInterval(ID_SCAN_TIMER), 100u);
  EXPECT_EQ(dlg.FocusedControlId(), IDC_LOG_LIST);
  dlg.DestroyWindow();
}

}  // namespace
