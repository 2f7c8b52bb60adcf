// The main window, the About box and the application object, on the
// headless backend.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>

#include "ui/AboutDlg.h"
#include "ui/Korrin_HIDApp.h"
#include "ui/app_resources.h"
#include "ui_test_support.h"

namespace korrin::ui::testing {
namespace {

// Table rows print as their names in failure messages.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// --- start ---------------------------------------------------------------------

TEST_F(MainWindowTest, StartsWithTheDefaultImageAnEmptyDeviceAndLogAndADisabledBar) {
  Open();
  EXPECT_EQ(Control(IDC_FILE_PATH).text(), "140806a_Tamsk_v1_0_enc.bin");
  EXPECT_EQ(Control(IDC_FW_VERSION).text(), "1.0");
  EXPECT_EQ(dialog_->m_strImagePath, "140806a_Tamsk_v1_0_enc.bin");
  EXPECT_EQ(g_Comm.m_strFilePath, Control(IDC_FILE_PATH).text());
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 0);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetWindowText(), "");
  EXPECT_EQ(dialog_->m_strDevice, "");
  EXPECT_EQ(dialog_->m_LogList.GetCount(), 0);
  EXPECT_FALSE(dialog_->m_Progress.IsWindowEnabled());
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 0);
  EXPECT_TRUE(dialog_->m_BrowseButton.IsBound());
  EXPECT_FALSE(g_bAttached);
  EXPECT_FALSE(g_bUpdateDone);
  EXPECT_EQ(g_nDeviceIndex, 0);
  EXPECT_EQ(Window().TimerInterval(ID_SCAN_TIMER), 100u);
  // The event log is the first tab stop, so it has the focus.
  EXPECT_EQ(dialog_->FocusedControlId(), IDC_LOG_LIST);
}

TEST_F(MainWindowTest, TemplateGivesNoSizingBorderAndEveryControlEnabled) {
  const DialogTemplate& t = CKorrin_HIDDlg::Template();
  EXPECT_EQ(t.caption, "Korrin Programmer");
  EXPECT_EQ(t.style & WS_THICKFRAME, 0u);
  EXPECT_NE(t.style & WS_MAXIMIZEBOX, 0u);
  EXPECT_EQ(t.controls.size(), 10u);
  for (const ControlTemplate& c : t.controls) EXPECT_EQ(c.style & WS_DISABLED, 0u) << c.id;
}

TEST_F(MainWindowTest, WindowMenuEndsWithASeparatorAndTheAboutEntry) {
  Open();
  const auto& items = dialog_->GetSystemMenu(FALSE)->items();
  ASSERT_GE(items.size(), 2u);
  EXPECT_EQ(items[items.size() - 2].flags, CMenu::MF_SEPARATOR);
  EXPECT_EQ(items.back().id, static_cast<UINT>(IDM_ABOUTBOX));
  EXPECT_EQ(items.back().text, "&About Korrin_HID...");
}

TEST_F(MainWindowTest, TheIconIsTheProgramsOwnAtTheLargeIconSize) {
  Open();
  const Icon* image = IconResourceImage(IDR_MAINFRAME);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width, 16);
  EXPECT_EQ(image->height, 16);
  ASSERT_NE(dialog_->m_hIcon, nullptr);
  EXPECT_EQ(dialog_->m_hIcon->width, GetSystemMetrics(SM_CXICON));
  EXPECT_EQ(dialog_->GetIcon(TRUE), dialog_->m_hIcon);
  EXPECT_EQ(dialog_->GetIcon(FALSE), dialog_->m_hIcon);
  EXPECT_EQ(reinterpret_cast<HICON>(dialog_->SendMessage(WM_QUERYDRAGICON)), dialog_->m_hIcon);
}

// --- the event log -------------------------------------------------------------

TEST_F(MainWindowTest, LinesStayInWritingOrderWithTheLastVisibleAndNoneSelected) {
  Open();
  ListBoxModel& log = Log();
  const int lines = 3 * log.visibleRows();
  std::vector<std::string> written;
  for (int i = 0; i < lines; ++i) {
    // Descending text: a sorting insert would turn the order around.
    written.push_back(std::string(1, static_cast<char>('Z' - i % 26)) + " line " + std::to_string(i));
    dialog_->AppendLog(written.back());
    const int last = log.count() - 1;
    ASSERT_EQ(log.curSel(), -1) << i;
    ASSERT_LE(log.topIndex(), last) << i;
    ASSERT_LT(last, log.topIndex() + log.visibleRows()) << i;
  }
  EXPECT_EQ(log.rows(), written);
  EXPECT_EQ(log.topIndex(), lines - log.visibleRows());
}

TEST_F(MainWindowTest, AFailedLogInsertionChangesNothing) {
  Open();
  for (int i = 0; i < Log().visibleRows() + 3; ++i) dialog_->AppendLog("line");
  const auto rows = Log().rows();
  const int top = Log().topIndex();
  Log().SetMaxCount(Log().count());
  dialog_->AppendLog("one too many");
  EXPECT_EQ(Log().rows(), rows);
  EXPECT_EQ(Log().topIndex(), top);
  EXPECT_EQ(Log().curSel(), -1);
}

// --- window menu and system commands ---------------------------------------------

struct SysCommandCase {
  const char* name;
  UINT id;
  bool opensAbout;
  WindowState state;
  bool closes;
};

class SysCommandTest : public MainWindowTest, public ::testing::WithParamInterface<SysCommandCase> {};

TEST_P(SysCommandTest, TheMaskedAboutIdOpensTheBoxAndOthersTakeTheirCourse) {
  const SysCommandCase& c = GetParam();
  Open();
  int aboutRuns = 0;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting || d.dialogTemplate().id != IDD_ABOUTBOX) return;
    ++aboutRuns;
    d.EndDialog(IDOK);
  });
  dialog_->SendMessage(WM_SYSCOMMAND, c.id, 0);
  EXPECT_EQ(aboutRuns, c.opensAbout ? 1 : 0);
  EXPECT_EQ(Window().state(), c.state);
  EXPECT_EQ(dialog_->HasEnded(), c.closes);
  if (c.closes) {
    EXPECT_EQ(dialog_->Result(), IDCANCEL);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SysCommandTest,
    ::testing::Values(SysCommandCase{"About", 0x0010, true, WindowState::kNormal, false},
                      SysCommandCase{"AboutLowBitsSet", 0x0011, true, WindowState::kNormal, false},
                      SysCommandCase{"AboutLastMaskedId", 0x001F, true, WindowState::kNormal, false},
                      SysCommandCase{"BelowAbout", 0x000F, false, WindowState::kNormal, false},
                      SysCommandCase{"AboveAbout", 0x0020, false, WindowState::kNormal, false},
                      SysCommandCase{"Minimize", SC_MINIMIZE, false, WindowState::kMinimized, false},
                      SysCommandCase{"Maximize", SC_MAXIMIZE, false, WindowState::kMaximized, false},
                      SysCommandCase{"Move", SC_MOVE, false, WindowState::kNormal, false},
                      SysCommandCase{"Close", SC_CLOSE, false, WindowState::kNormal, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, TheAboutButtonAndTheWindowMenuShowTheSameBox) {
  Open();
  std::vector<std::string> captions;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting || &d == dialog_.get()) return;
    EXPECT_EQ(d.dialogTemplate().id, IDD_ABOUTBOX);
    captions.push_back(d.dialogTemplate().caption);
    d.window()->OperatorKey(DialogKey::kEscape);
  });
  SetPopupMenuHook([](CDialog&, const std::vector<MenuEntry>& entries) {
    for (const MenuEntry& e : entries) {
      if (e.text == "&About Korrin_HID...") return e.id;
    }
    return UINT{0};
  });
  Window().OperatorClick(IDC_ABOUT_BUTTON);
  Window().OperatorKey(DialogKey::kAltSpace);
  Window().OperatorContextMenu(100, 200);
  EXPECT_EQ(captions, (std::vector<std::string>(3, "About Korrin_HID")));
  EXPECT_FALSE(dialog_->HasEnded());
}

TEST_F(MainWindowTest, MaximisingEnlargesTheWindowWithoutMovingAControl) {
  Open();
  std::vector<Rect> before;
  for (const auto& c : Window().controls()) before.push_back(c->rect());
  const Rect normal = Window().clientRect();
  dialog_->SendMessage(WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  EXPECT_GT(Window().clientRect().Width(), normal.Width());
  std::vector<Rect> after;
  for (const auto& c : Window().controls()) after.push_back(c->rect());
  EXPECT_EQ(after, before);
}

// --- the minimised icon ------------------------------------------------------------

struct IconCase {
  const char* name;
  int width, height;
  int x, y;
};

class MinimisedIconTest : public MainWindowTest, public ::testing::WithParamInterface<IconCase> {};

TEST_P(MinimisedIconTest, IsDrawnCentredRoundingTowardZero) {
  const IconCase& c = GetParam();
  Open();
  Window().PlatformStateChanged(WindowState::kMinimized, c.width, c.height);
  dialog_->SendMessage(WM_PAINT);
  const PaintRecord& paint = Window().lastPaint();
  EXPECT_TRUE(paint.began);
  EXPECT_TRUE(paint.iconBackgroundErased);
  EXPECT_NE(paint.erasedDc, 0u);
  ASSERT_EQ(paint.icons.size(), 1u);
  EXPECT_EQ(paint.icons[0].x, c.x);
  EXPECT_EQ(paint.icons[0].y, c.y);
  EXPECT_EQ(paint.icons[0].icon, dialog_->m_hIcon);
}

INSTANTIATE_TEST_SUITE_P(Cases, MinimisedIconTest,
                         ::testing::Values(IconCase{"Client36", 36, 36, 2, 2}, IconCase{"Client35", 35, 35, 2, 2},
                                           IconCase{"Client30", 30, 30, 0, 0}, IconCase{"Client40x31", 40, 31, 4, 0},
                                           IconCase{"Client20x50", 20, 50, -5, 9}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, ANormalWindowPaintsNoIcon) {
  Open();
  dialog_->SendMessage(WM_PAINT);
  EXPECT_TRUE(Window().lastPaint().icons.empty());
  EXPECT_FALSE(Window().lastPaint().iconBackgroundErased);
}

TEST_F(MainWindowTest, MinimisingPaintsTheIcon) {
  Open();
  dialog_->SendMessage(WM_SYSCOMMAND, SC_MINIMIZE, 0);
  ASSERT_TRUE(WaitFor([&] { return !Window().lastPaint().icons.empty(); }));
  EXPECT_EQ(Window().lastPaint().icons[0].icon, dialog_->m_hIcon);
}

// --- closing ---------------------------------------------------------------------

struct CloseCase {
  const char* name;
  std::function<void(DialogWindow&)> act;
  INT_PTR result;
  bool takesControls;  // the members hold what the controls held
};

class CloseTest : public MainWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, EndsTheModalRunWithItsResult) {
  SetModalHook([](CDialog& d, bool starting) {
    if (!starting) return;
    d.window()->OperatorEditText(IDC_FILE_PATH, "typed.bin", {9, 9});
    GetParam().act(*d.window());
  });
  EXPECT_EQ(dialog_->DoModal(), GetParam().result);
  EXPECT_EQ(dialog_->m_strImagePath, GetParam().takesControls ? "typed.bin" : "140806a_Tamsk_v1_0_enc.bin");
  EXPECT_EQ(dialog_->window(), nullptr);  // the window is gone, its timer with it
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CloseTest,
    ::testing::Values(
        CloseCase{"EnterInTheLog", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEnter); }, IDOK, true},
        CloseCase{"Escape", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEscape); }, IDCANCEL, false},
        CloseCase{"CloseButton", [](DialogWindow& w) { w.OperatorCloseButton(); }, IDCANCEL, false},
        CloseCase{"CloseInTheWindowMenu", [](DialogWindow& w) { w.OperatorWindowMenuCommand(SC_CLOSE); }, IDCANCEL,
                  false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the About box -----------------------------------------------------------------

struct AboutCloseCase {
  const char* name;
  std::function<void(DialogWindow&)> act;
  INT_PTR result;
};

class AboutCloseTest : public MainWindowTest, public ::testing::WithParamInterface<AboutCloseCase> {};

TEST_P(AboutCloseTest, ClosesTheBox) {
  CAboutDlg about;
  SetModalHook([](CDialog& d, bool starting) {
    if (starting) GetParam().act(*d.window());
  });
  EXPECT_EQ(about.DoModal(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AboutCloseTest,
    ::testing::Values(AboutCloseCase{"OkButton", [](DialogWindow& w) { w.OperatorClick(IDOK); }, IDOK},
                      AboutCloseCase{"Enter", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEnter); }, IDOK},
                      AboutCloseCase{"Escape", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEscape); }, IDCANCEL},
                      AboutCloseCase{"CloseButton", [](DialogWindow& w) { w.OperatorCloseButton(); }, IDCANCEL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, AboutBoxShowsTheIconNameAndVersion) {
  const DialogTemplate& t = CAboutDlg::Template();
  ASSERT_EQ(t.controls.size(), 4u);
  EXPECT_EQ(t.controls[0].iconResource, IDR_MAINFRAME);
  EXPECT_EQ(t.controls[1].caption, "Korrin_HID Version 1.0");
  EXPECT_EQ(t.controls[2].caption, "Korrin_HID Application 1.0.0.1");
  EXPECT_TRUE((t.controls[3].style & BS_TYPEMASK) == BS_DEFPUSHBUTTON);
}

TEST_F(MainWindowTest, WhileTheAboutBoxIsOpenTheMainWindowTakesNoInputButKeepsWorking) {
  Open();
  RegisterDeviceNotification(dialog_->GetSafeHwnd());
  const HWND main = dialog_->GetSafeHwnd();
  CDialog* about = nullptr;
  int aboutRuns = 0;
  bool mainEnabledInside = true;
  bool sawTimer = false, sawProgress = false, sawRemoval = false;
  SetMessageSpy([&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
    if (hwnd != main || about == nullptr) return;
    sawTimer = sawTimer || (message == WM_TIMER && wParam == ID_SCAN_TIMER);
    sawProgress = sawProgress || message == WM_UPDATE_PROGRESS;
    sawRemoval = sawRemoval || (message == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE);
    if (sawTimer && sawProgress && sawRemoval) about->EndDialog(IDOK);
  });
  SetModalHook([&](CDialog& d, bool starting) {
    if (&d == dialog_.get()) return;
    if (!starting) {
      about = nullptr;
      return;
    }
    ++aboutRuns;
    about = &d;
    mainEnabledInside = Window().enabled();
    Window().OperatorClick(IDC_ABOUT_BUTTON);  // refused: no second box
    Window().OperatorKey(DialogKey::kEscape);  // refused: the main window stays
    // A worker's progress and a device removal arrive while the box is open.
    std::thread([main] { PostMessage(main, WM_UPDATE_PROGRESS, 37, kProgressWritten); }).join();
    backend_->Remove("/dev/hidraw-elsewhere");
  });
  QTimer bound;  // ends the box if the messages never come: a bound, not a pace
  bound.setSingleShot(true);
  QObject::connect(&bound, &QTimer::timeout, [&] {
    if (about != nullptr) about->EndDialog(IDCANCEL);
  });
  bound.start(10000);
  dialog_->OnAboutButton();
  EXPECT_EQ(aboutRuns, 1);
  EXPECT_FALSE(mainEnabledInside);
  EXPECT_TRUE(sawTimer);
  EXPECT_TRUE(sawProgress);
  EXPECT_TRUE(sawRemoval);
  EXPECT_EQ(dialog_->m_Progress.GetPos(), 37);  // handled behind the box
  EXPECT_FALSE(dialog_->HasEnded());
  EXPECT_TRUE(Window().enabled());
}

// --- the timer -------------------------------------------------------------------

TEST_F(MainWindowTest, TheFirstTimerTickHasIdOneAndComesAfterAboutOnePeriod) {
  QElapsedTimer clock;
  std::optional<qint64> firstTickMs;
  WPARAM firstId = 0;
  SetMessageSpy([&](HWND, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_TIMER && !firstTickMs) {
      firstTickMs = clock.elapsed();
      firstId = wParam;
    }
  });
  clock.start();
  Open();
  EXPECT_EQ(Window().TimerInterval(ID_SCAN_TIMER), 100u);
  ASSERT_TRUE(WaitFor([&] { return firstTickMs.has_value(); }));
  EXPECT_EQ(firstId, static_cast<WPARAM>(ID_SCAN_TIMER));
  // A lower bound only: a tick can be late, never half a period early.
  EXPECT_GE(*firstTickMs, 50);
}

// --- the application object --------------------------------------------------------

class InitInstanceTest : public MainWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(InitInstanceTest, RunsTheMainWindowOnceAndEndsWhenItCloses) {
  dialog_.reset();
  int mainRuns = 0;
  CDialog* mainDuringRun = nullptr;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting || d.dialogTemplate().id != IDD_MAIN_DIALOG) return;
    ++mainRuns;
    mainDuringRun = MainWindow();
    EXPECT_EQ(mainDuringRun, &d);
    GetParam().act(*d.window());
  });
  ASSERT_EQ(AfxGetApp(), &theApp);
  EXPECT_EQ(theApp.InitInstance(), FALSE);
  EXPECT_EQ(mainRuns, 1);
  EXPECT_NE(mainDuringRun, nullptr);
  EXPECT_EQ(MainWindow(), nullptr);
  EXPECT_EQ(theApp.ExitInstance(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    ClosingWays, InitInstanceTest,
    ::testing::Values(
        CloseCase{"EnterInTheLog", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEnter); }, IDOK, true},
        CloseCase{"Escape", [](DialogWindow& w) { w.OperatorKey(DialogKey::kEscape); }, IDCANCEL, false},
        CloseCase{"CloseButton", [](DialogWindow& w) { w.OperatorCloseButton(); }, IDCANCEL, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ApplicationName, IsTheExecutablesFileNameWithoutExtension) {
  std::vector<std::string> captions;
  SetMessageBoxHook([&](const MessageBoxRequest& r) { return captions.push_back(r.caption), IDOK; });
  AfxMessageBox("This is not a firmware file, please select right file");
  SetMessageBoxHook(nullptr);
  EXPECT_EQ(captions, std::vector<std::string>{"ui_main_window_test"});
}

}  // namespace
}  // namespace korrin::ui::testing
