// The main window shown by the Qt view, offscreen: what the widgets show of
// the models, and what the operator's keys and clicks do through them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QAbstractScrollArea>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "platform/window/qt_view.h"
#include "ui_test_support.h"

namespace korrin::ui::testing {
namespace {

class QtViewTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    SetView(MakeQtView());
    Open();
    top_ = QtWidgetFor(*dialog_);
    ASSERT_NE(top_, nullptr);
  }
  template <class W>
  W* Widget(int id) {
    return qobject_cast<W*>(QtWidgetFor(*dialog_, id));
  }
  QWidget* top_ = nullptr;
};

TEST_F(QtViewTest, ShowsTheStartState) {
  EXPECT_EQ(top_->windowTitle(), "Korrin Programmer");
  EXPECT_EQ(Widget<QLineEdit>(IDC_FILE_PATH)->text(), "140806a_Tamsk_v1_0_enc.bin");
  EXPECT_EQ(Widget<QLineEdit>(IDC_FW_VERSION)->text(), "1.0");
  EXPECT_EQ(Widget<QComboBox>(IDC_DEVICE_COMBO)->count(), 0);
  EXPECT_TRUE(Widget<QComboBox>(IDC_DEVICE_COMBO)->isEditable());
  EXPECT_EQ(Widget<QAbstractScrollArea>(IDC_LOG_LIST)->verticalScrollBar()->maximum(), 0);
  EXPECT_FALSE(Widget<QProgressBar>(IDC_PROGRESS)->isEnabled());
  EXPECT_EQ(Widget<QProgressBar>(IDC_PROGRESS)->value(), 0);
  EXPECT_FALSE(top_->windowIcon().isNull());
  // No sizing border: the normal window cannot be made larger or smaller.
  EXPECT_EQ(top_->minimumSize(), top_->maximumSize());
}

TEST_F(QtViewTest, TheLogScrollsWithTheModelAndCutsLongLines) {
  auto* log = Widget<QAbstractScrollArea>(IDC_LOG_LIST);
  ASSERT_NE(log, nullptr);
  EXPECT_FALSE(log->verticalScrollBar()->isVisible());  // nothing to scroll yet
  const int lines = 4 * Log().visibleRows();
  for (int i = 0; i < lines; ++i) {
    dialog_->AppendLog(std::to_string(i) + " a line long enough to be cut off at the right edge of the event log, "
                       "never wrapped and never shortened with dots");
  }
  QScrollBar* bar = log->verticalScrollBar();
  EXPECT_TRUE(bar->isVisible());
  EXPECT_EQ(bar->maximum(), lines - Log().visibleRows());
  EXPECT_EQ(bar->value(), Log().topIndex());
  EXPECT_EQ(bar->value(), bar->maximum());  // the last line at the bottom
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  // The operator scrolls back; the model follows, and the next line brings
  // the view back to the end.
  bar->setValue(0);
  EXPECT_EQ(Log().topIndex(), 0);
  dialog_->AppendLog("newest");
  EXPECT_EQ(bar->value(), lines + 1 - Log().visibleRows());
}

TEST_F(QtViewTest, ClickingALogLineSelectsIt) {
  for (int i = 0; i < 5; ++i) dialog_->AppendLog("line " + std::to_string(i));
  auto* log = Widget<QAbstractScrollArea>(IDC_LOG_LIST);
  QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, QPoint(10, Log().itemHeight() * 2 + 1));
  EXPECT_EQ(Log().curSel(), 2);
}

TEST_F(QtViewTest, ReturnInTheLogClosesWithOkAfterTakingTheTypedPath) {
  auto* path = Widget<QLineEdit>(IDC_FILE_PATH);
  path->selectAll();
  QTest::keyClicks(path, "typed.bin");
  QTest::keyClick(Widget<QAbstractScrollArea>(IDC_LOG_LIST), Qt::Key_Return);
  EXPECT_TRUE(dialog_->HasEnded());
  EXPECT_EQ(dialog_->Result(), IDOK);
  EXPECT_EQ(dialog_->m_strImagePath, "typed.bin");
}

TEST_F(QtViewTest, EscapeClosesWithCancel) {
  QTest::keyClick(Widget<QLineEdit>(IDC_FW_VERSION), Qt::Key_Escape);
  EXPECT_TRUE(dialog_->HasEnded());
  EXPECT_EQ(dialog_->Result(), IDCANCEL);
}

TEST_F(QtViewTest, TheCaptionsCloseButtonAsksTheDialog) {
  top_->close();
  EXPECT_TRUE(dialog_->HasEnded());
  EXPECT_EQ(dialog_->Result(), IDCANCEL);
}

TEST_F(QtViewTest, AltSpaceAndARightClickOnTheBackgroundOpenTheWindowMenu) {
  std::vector<std::string> lastEntries;
  int opened = 0;
  SetPopupMenuHook([&](CDialog&, const std::vector<MenuEntry>& entries) {
    ++opened;
    lastEntries.clear();
    for (const MenuEntry& e : entries) lastEntries.push_back(e.separator ? "-" : e.text);
    return UINT{0};
  });
  QTest::keyClick(Widget<QAbstractScrollArea>(IDC_LOG_LIST), Qt::Key_Space, Qt::AltModifier);
  EXPECT_EQ(opened, 1);
  // Between the path box and the progress bar there is only background.
  const Rect bar = Control(IDC_PROGRESS).rect();
  const QPoint background(bar.left + 2, bar.top - 3);
  QContextMenuEvent click(QContextMenuEvent::Mouse, background, top_->mapToGlobal(background));
  QApplication::sendEvent(top_, &click);
  EXPECT_EQ(opened, 2);
  ASSERT_GE(lastEntries.size(), 2u);
  EXPECT_EQ(lastEntries[lastEntries.size() - 2], "-");
  EXPECT_EQ(lastEntries.back(), "&About Korrin_HID...");
}

TEST_F(QtViewTest, TheAboutButtonOpensTheBoxOverTheWindow) {
  QWidget* aboutWidget = nullptr;
  bool modal = false;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting || &d == dialog_.get()) return;
    aboutWidget = QtWidgetFor(d);
    modal = aboutWidget != nullptr && aboutWidget->isModal();
    auto* ok = qobject_cast<QPushButton*>(QtWidgetFor(d, IDOK));
    ASSERT_NE(ok, nullptr);
    QTest::mouseClick(ok, Qt::LeftButton);
  });
  QTest::mouseClick(Widget<QPushButton>(IDC_ABOUT_BUTTON), Qt::LeftButton);
  ASSERT_NE(aboutWidget, nullptr);
  EXPECT_TRUE(modal);
  EXPECT_FALSE(dialog_->HasEnded());
}

TEST_F(QtViewTest, MaximisingEnlargesTheWindowAndLeavesEveryControlInPlace) {
  std::vector<QRect> before;
  for (QWidget* child : top_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) before.push_back(child->geometry());
  const QSize normal = top_->size();
  dialog_->SendMessage(WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  ASSERT_TRUE(WaitFor([&] { return top_->width() > normal.width(); }));
  std::vector<QRect> after;
  for (QWidget* child : top_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) after.push_back(child->geometry());
  EXPECT_EQ(after, before);
  EXPECT_EQ(Window().clientRect().Width(), top_->width());
  dialog_->SendMessage(WM_SYSCOMMAND, SC_RESTORE, 0);
  ASSERT_TRUE(WaitFor([&] { return top_->size() == normal; }));
}

TEST_F(QtViewTest, PickingAComboRowReachesTheSelectionHandler) {
  dialog_->m_DeviceCombo.AddString("VendorID:0x16D0; ProductID:0x0001; Version: 0x0001");
  dialog_->m_DeviceCombo.AddString("VendorID:0x16D0; ProductID:0x0002; Version: 0x0001");
  auto* combo = Widget<QComboBox>(IDC_DEVICE_COMBO);
  ASSERT_EQ(combo->count(), 2);
  std::vector<WPARAM> commands;
  SetMessageSpy([&](HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND) commands.push_back(wParam);
  });
  // What the drop-down list reports when the operator picks its second row.
  QMetaObject::invokeMethod(combo, "activated", Qt::DirectConnection, Q_ARG(int, 1));
  EXPECT_EQ(commands, std::vector<WPARAM>{MakeCommandParam(IDC_DEVICE_COMBO, CBN_SELCHANGE)});
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCurSel(), 1);
}

}  // namespace
}  // namespace korrin::ui::testing
