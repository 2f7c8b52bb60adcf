// Renders the main window and the About box with the Qt view, offscreen, to
// PNG files in the build folder, and checks that every control stands where
// the template puts it.
#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>

#include "platform/hid/hid.h"
#include "platform/window/qt_view.h"
#include "ui/AboutDlg.h"
#include "ui/Korrin_HIDDlg.h"

#ifndef KORRIN_SCREENSHOT_DIR
#define KORRIN_SCREENSHOT_DIR "."
#endif

namespace {

void ExpectControlsWhereTemplatePutsThem(CDialog& dialog) {
  DialogWindow& w = *dialog.window();
  for (const auto& control : w.controls()) {
    QWidget* widget = QtWidgetFor(dialog, control->id());
    if (control->id() == -1) continue;  // several controls share -1
    ASSERT_NE(widget, nullptr) << control->id();
    const Rect r = control->rect();
    EXPECT_EQ(widget->x(), r.left) << control->id();
    EXPECT_EQ(widget->y(), r.top) << control->id();
    if (control->kind() != ControlKind::kComboBox && control->kind() != ControlKind::kIcon) {
      EXPECT_EQ(widget->width(), r.Width()) << control->id();
      EXPECT_EQ(widget->height(), r.Height()) << control->id();
    }
  }
}

TEST(Screenshot, MainWindowAndAboutBox) {
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  SetView(MakeQtView());
  CKorrin_HIDDlg dlg;
  SetMainWindow(&dlg);
  ASSERT_TRUE(dlg.Create());
  ExpectControlsWhereTemplatePutsThem(dlg);
  QWidget* top = QtWidgetFor(dlg);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->width(), dlg.window()->templateWidth());
  EXPECT_EQ(top->height(), dlg.window()->templateHeight());

  const std::string mainPath = std::string(KORRIN_SCREENSHOT_DIR) + "/main-window.png";
  ASSERT_TRUE(RenderDialogToPng(dlg, mainPath));
  QImage mainImage(QString::fromStdString(mainPath));
  EXPECT_GT(mainImage.width(), top->width());
  EXPECT_GT(mainImage.height(), top->height());

  // The About box, shown over the main window by its own modal run; the
  // picture is taken while it runs, then it is closed with OK.
  std::string aboutPath = std::string(KORRIN_SCREENSHOT_DIR) + "/about-box.png";
  bool rendered = false;
  SetModalHook([&](CDialog& dialog, bool starting) {
    if (!starting || dialog.dialogTemplate().id != IDD_ABOUTBOX) return;
    ExpectControlsWhereTemplatePutsThem(dialog);
    rendered = RenderDialogToPng(dialog, aboutPath);
    dialog.window()->OperatorClick(IDOK);
  });
  dlg.OnAboutButton();
  SetModalHook(nullptr);
  EXPECT_TRUE(rendered);
  EXPECT_FALSE(QImage(QString::fromStdString(aboutPath)).isNull());

  // As it stands during a transfer: the attach's lines in the log, the
  // device in the combo and the bar on its way.
  for (const char* line : {kStarLine, "The device has been attached.", "Vantorel Systems product detected",
                           "Bootloader Version: 2.0", "Firmware Version: 1.0"}) {
    dlg.AppendLog(line);
  }
  dlg.m_DeviceCombo.AddString("VendorID:0x16D0; ProductID:0x0001; Version: 0x0100");
  dlg.m_DeviceCombo.SetCurSel(0);
  dlg.m_Progress.EnableWindow(TRUE);
  dlg.m_Progress.SetPos(60);
  ExpectControlsWhereTemplatePutsThem(dlg);
  const std::string transferPath = std::string(KORRIN_SCREENSHOT_DIR) + "/main-window-transfer.png";
  ASSERT_TRUE(RenderDialogToPng(dlg, transferPath));

  dlg.DestroyWindow();
  SetView(nullptr);
}

}  // namespace
