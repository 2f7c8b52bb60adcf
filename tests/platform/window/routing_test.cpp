// Message routing: timers, posted messages, device notifications, the
// dialog manager's keys, the window menu, system commands and modal runs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/hid/hid.h"
#include "window_test_support.h"

namespace korrin::window::testing {
namespace {

// Table rows print as their names in failure messages.
template <class Case>
  requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

constexpr UINT kSequence = WM_APP + 1;
constexpr UINT kSentinel = WM_APP + 2;

std::vector<WPARAM> Payloads(const TestDialog& dialog, UINT message) {
  std::vector<WPARAM> out;
  for (const Received& r : dialog.received) {
    if (r.message == message) out.push_back(r.wParam);
  }
  return out;
}

// --- timers ------------------------------------------------------------------

TEST_F(WindowTest, TimerTicksWithItsIdAtItsPeriod) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(dialog.SetTimer(7, 30), 7u);
  EXPECT_EQ(dialog.window()->TimerInterval(7), 30u);
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(WM_TIMER) >= 2; }));
  for (WPARAM id : Payloads(dialog, WM_TIMER)) EXPECT_EQ(id, 7u);
  dialog.DestroyWindow();
}

TEST_F(WindowTest, AKilledTimerSendsNoMoreTicks) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  dialog.SetTimer(1, 10);
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(WM_TIMER) >= 1; }));
  EXPECT_EQ(dialog.KillTimer(1), TRUE);
  EXPECT_EQ(dialog.KillTimer(1), FALSE);
  EXPECT_FALSE(dialog.IsTimerRunning(1));
  dialog.received.clear();
  // A second timer at the same period is the clock: after five of its ticks
  // the killed one would have ticked too.
  dialog.SetTimer(2, 10);
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(WM_TIMER) >= 5; }));
  for (WPARAM id : Payloads(dialog, WM_TIMER)) EXPECT_EQ(id, 2u);
  dialog.DestroyWindow();
}

TEST_F(WindowTest, KillingATimerFromItsOwnTickAndSettingItAgainWorks) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  int ticks = 0;
  dialog.onMessage = [&](UINT message, WPARAM id, LPARAM) {
    if (message != WM_TIMER || id != 1) return;
    ++ticks;
    dialog.KillTimer(1);
    if (ticks < 3) dialog.SetTimer(1, 10);
  };
  dialog.SetTimer(1, 10);
  ASSERT_TRUE(WaitFor([&] { return ticks >= 3; }));
  EXPECT_FALSE(dialog.IsTimerRunning(1));
  dialog.DestroyWindow();
}

TEST_F(WindowTest, SettingARunningTimerAgainChangesItsPeriod) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  dialog.SetTimer(1, 100000);
  dialog.SetTimer(1, 10);
  EXPECT_EQ(dialog.window()->TimerInterval(1), 10u);
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(WM_TIMER) >= 1; }));
  EXPECT_EQ(dialog.SetTimer(0, 10), 0u);  // id 0 is refused
  dialog.DestroyWindow();
  EXPECT_EQ(dialog.SetTimer(1, 10), 0u);  // no window, no timer
}

// --- posted messages ---------------------------------------------------------

TEST_F(WindowTest, MessagesPostedFromAWorkerArriveInOrder) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  constexpr int kCount = 2000;
  const HWND hwnd = dialog.GetSafeHwnd();
  std::thread worker([hwnd] {
    for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostMessage(hwnd, kSequence, static_cast<WPARAM>(i), 0));
  });
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(kSequence) == kCount; }));
  worker.join();
  const auto got = Payloads(dialog, kSequence);
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], static_cast<WPARAM>(i));
  dialog.DestroyWindow();
}

TEST_F(WindowTest, EachWorkersMessagesKeepTheirOrder) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  constexpr int kPerThread = 1000;
  const HWND hwnd = dialog.GetSafeHwnd();
  auto post = [hwnd](WPARAM tag) {
    for (int i = 0; i < kPerThread; ++i) (void)PostMessage(hwnd, kSequence, tag | static_cast<WPARAM>(i), 0);
  };
  std::thread a(post, WPARAM{0x10000}), b(post, WPARAM{0x20000});
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(kSequence) == 2 * kPerThread; }));
  a.join();
  b.join();
  WPARAM nextA = 0, nextB = 0;
  for (WPARAM w : Payloads(dialog, kSequence)) {
    WPARAM& next = (w & 0x10000) != 0 ? nextA : nextB;
    ASSERT_EQ(w & 0xFFFF, next);
    ++next;
  }
  EXPECT_EQ(nextA, static_cast<WPARAM>(kPerThread));
  EXPECT_EQ(nextB, static_cast<WPARAM>(kPerThread));
  dialog.DestroyWindow();
}

TEST_F(WindowTest, ANestedModalLoopTakesTheNextMessagesInOrder) {
  TestDialog main;
  ASSERT_TRUE(main.Create());
  constexpr int kCount = 50;
  constexpr int kOpensModal = 10;
  TestDialog inner(TestTemplate(), &main);
  std::vector<bool> handledInside;
  main.onMessage = [&](UINT message, WPARAM w, LPARAM) {
    if (message != kSequence) return;
    handledInside.push_back(inner.window() != nullptr);
    if (static_cast<int>(w) == kOpensModal) {
      EXPECT_EQ(inner.DoModal(), IDOK);
    } else if (static_cast<int>(w) == kCount - 1 && inner.window() != nullptr) {
      inner.EndDialog(IDOK);
    }
  };
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(main.PostMessage(kSequence, static_cast<WPARAM>(i)));
  ASSERT_TRUE(WaitFor([&] { return main.Count(kSequence) == kCount && inner.window() == nullptr; }));
  const auto got = Payloads(main, kSequence);
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(got[static_cast<std::size_t>(i)], static_cast<WPARAM>(i));
    EXPECT_EQ(handledInside[static_cast<std::size_t>(i)], i > kOpensModal) << i;
  }
  main.DestroyWindow();
}

TEST_F(WindowTest, AMessageForAWindowThatEndedIsDropped) {
  auto first = std::make_unique<TestDialog>();
  ASSERT_TRUE(first->Create());
  const HWND gone = first->GetSafeHwnd();
  ASSERT_TRUE(PostMessage(gone, kSequence, 1, 0));
  first->DestroyWindow();
  EXPECT_FALSE(PostMessage(gone, kSequence, 2, 0));
  EXPECT_FALSE(PostMessage(kNoWindow, kSequence, 3, 0));

  TestDialog second;
  ASSERT_TRUE(second.Create());
  EXPECT_NE(second.GetSafeHwnd(), gone);  // handles are never reused
  ASSERT_TRUE(second.PostMessage(kSentinel));
  ASSERT_TRUE(WaitFor([&] { return second.Count(kSentinel) == 1; }));
  EXPECT_EQ(second.Count(kSequence), 0);
  second.DestroyWindow();
}

// --- device notifications ----------------------------------------------------

// A HID backend with no interfaces whose removals the test announces.
class RemovalBackend final : public korrin::hid::Backend {
 public:
  std::vector<korrin::hid::InterfaceRecord> Enumerate() override { return {}; }
  std::shared_ptr<korrin::hid::OpenInterface> Open(const std::string&, std::string*) override { return nullptr; }
  void SetRemovalCallback(korrin::hid::RemovalCallback callback) override {
    std::lock_guard lock(mutex);
    this->callback = std::move(callback);
  }
  // Announces from another thread, as a hot-plug monitor does.
  void Remove(const std::string& path) {
    std::thread([this, path] {
      std::lock_guard lock(mutex);
      if (callback) callback(path);
    }).join();
  }
  std::mutex mutex;
  korrin::hid::RemovalCallback callback;
};

class NotificationTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    backend = std::make_shared<RemovalBackend>();
    korrin::hid::InstallSystem(backend);
    ASSERT_TRUE(dialog.Create());
  }
  void TearDown() override {
    dialog.DestroyWindow();
    korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
    WindowTest::TearDown();
  }
  // The removal is queued before the sentinel, so once the sentinel has been
  // handled every broadcast the removal caused has been too.
  void RemoveAndSettle(const std::string& path) {
    backend->Remove(path);
    const int sentinels = dialog.Count(kSentinel);
    ASSERT_TRUE(dialog.PostMessage(kSentinel));
    ASSERT_TRUE(WaitFor([&] { return dialog.Count(kSentinel) > sentinels; }));
  }
  std::shared_ptr<RemovalBackend> backend;
  TestDialog dialog;
};

TEST_F(NotificationTest, ARegisteredWindowGetsTheRemovalRecord) {
  std::vector<std::string> paths;
  dialog.onMessage = [&](UINT message, WPARAM event, LPARAM record) {
    if (message != WM_DEVICECHANGE) return;
    EXPECT_EQ(event, DBT_DEVICEREMOVECOMPLETE);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record);
    const std::uint32_t size = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
    const BroadcastView view = ReadBroadcast(bytes, size);
    EXPECT_EQ(view.deviceType, DBT_DEVTYP_DEVICEINTERFACE);
    paths.push_back(view.path.value_or("<none>"));
  };
  EXPECT_EQ(RegisterDeviceNotification(kNoWindow), 0u);
  const HDEVNOTIFY handle = RegisterDeviceNotification(dialog.GetSafeHwnd());
  ASSERT_NE(handle, 0u);
  // Registering again (as every attach does) still gives one broadcast.
  ASSERT_NE(RegisterDeviceNotification(dialog.GetSafeHwnd()), 0u);
  RemoveAndSettle("/dev/hidraw3");
  EXPECT_EQ(paths, std::vector<std::string>{"/dev/hidraw3"});
}

TEST_F(NotificationTest, NothingArrivesAfterUnregistering) {
  const HDEVNOTIFY handle = RegisterDeviceNotification(dialog.GetSafeHwnd());
  EXPECT_EQ(UnregisterDeviceNotification(handle), TRUE);
  EXPECT_EQ(UnregisterDeviceNotification(handle), FALSE);
  RemoveAndSettle("/dev/hidraw3");
  EXPECT_EQ(dialog.Count(WM_DEVICECHANGE), 0);
}

TEST_F(NotificationTest, RegistrationFollowsANewlyInstalledHidSystem) {
  ASSERT_NE(RegisterDeviceNotification(dialog.GetSafeHwnd()), 0u);
  // The system the layer subscribed to goes away; a new one comes in (very
  // likely at the same address).
  backend = std::make_shared<RemovalBackend>();
  korrin::hid::InstallSystem(backend);
  ASSERT_NE(RegisterDeviceNotification(dialog.GetSafeHwnd()), 0u);
  RemoveAndSettle("/dev/hidraw9");
  EXPECT_EQ(dialog.Count(WM_DEVICECHANGE), 1);
}

TEST_F(NotificationTest, AWindowsRegistrationsEndWithIt) {
  const HDEVNOTIFY handle = RegisterDeviceNotification(dialog.GetSafeHwnd());
  dialog.DestroyWindow();
  EXPECT_EQ(UnregisterDeviceNotification(handle), FALSE);
  ASSERT_TRUE(dialog.Create());
}

TEST(BroadcastRecord, ReadsBackWhatWasBuiltAndNeverReadsPastItsSize) {
  const auto record = BuildInterfaceBroadcast(DBT_DEVTYP_DEVICEINTERFACE, "\\\\?\\hid#vid_16d0");
  EXPECT_EQ(record.size(), kBroadcastNameOffset + 16 + 1);
  EXPECT_EQ(ReadBroadcast(record.data(), record.size()).path, "\\\\?\\hid#vid_16d0");
  // Cut before the terminator: no path rather than a read past the end.
  EXPECT_FALSE(ReadBroadcast(record.data(), record.size() - 1).path.has_value());
  EXPECT_FALSE(ReadBroadcast(record.data(), 7).deviceType.has_value());
  const auto volume = BuildInterfaceBroadcast(2, "C:");
  const BroadcastView view = ReadBroadcast(volume.data(), volume.size());
  EXPECT_EQ(view.deviceType, 2u);
  EXPECT_FALSE(view.path.has_value());
}

// --- keys, commands and modal runs -------------------------------------------

struct KeyCase {
  const char* name;
  bool defaultButton;
  int focus;
  DialogKey key;
  int command;        // the WM_COMMAND id the key must produce
  INT_PTR result;     // DoModal's result, or -100 when the dialog stays open
};

class KeyTest : public WindowTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, TheDialogManagerTurnsKeysIntoCommands) {
  const KeyCase& c = GetParam();
  TestDialog dialog(TestTemplate(c.defaultButton));
  bool stillOpen = false;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting) return;
    DialogWindow& w = *d.window();
    w.OperatorEditText(kEdit, "typed", {5, 5});
    ASSERT_TRUE(w.SetFocus(c.focus));
    w.OperatorKey(c.key);
    stillOpen = !d.HasEnded();
    if (stillOpen) d.EndDialog(-100);
  });
  const INT_PTR result = dialog.DoModal();
  EXPECT_EQ(dialog.CountCommand(c.command, BN_CLICKED), 1);
  EXPECT_EQ(result, c.result);
  // OK takes the controls' contents into the members; Cancel does not.
  EXPECT_EQ(dialog.editText, c.result == IDOK ? "typed" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyTest,
    ::testing::Values(KeyCase{"EnterInTheList", false, kList, DialogKey::kEnter, IDOK, IDOK},
                      KeyCase{"EnterInAnEditBox", false, kEdit, DialogKey::kEnter, IDOK, IDOK},
                      KeyCase{"EnterOnAPushButtonPressesIt", false, kButton, DialogKey::kEnter, kButton, -100},
                      KeyCase{"EnterGoesToTheDefaultButton", true, kList, DialogKey::kEnter, kDefaultButton, -100},
                      KeyCase{"Escape", false, kList, DialogKey::kEscape, IDCANCEL, IDCANCEL},
                      KeyCase{"EscapeWithADefaultButton", true, kEdit, DialogKey::kEscape, IDCANCEL, IDCANCEL}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, TheFirstTabStopHasTheFocusAfterInit) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(dialog.FocusedControlId(), kList);
  EXPECT_FALSE(dialog.window()->SetFocus(9999));
  dialog.DestroyWindow();
}

TEST_F(WindowTest, AModalRunDisablesItsOwnerAndItsOwnerTakesNoInput) {
  TestDialog owner;
  ASSERT_TRUE(owner.Create());
  SetMainWindow(&owner);
  TestDialog child;  // no parent: owned by the main window
  bool ownerEnabledInside = true;
  SetModalHook([&](CDialog& d, bool starting) {
    if (!starting || &d != &child) return;
    ownerEnabledInside = owner.window()->enabled();
    owner.window()->OperatorClick(kButton);
    owner.window()->OperatorKey(DialogKey::kEscape);
    d.EndDialog(IDOK);
  });
  EXPECT_EQ(child.DoModal(), IDOK);
  EXPECT_FALSE(ownerEnabledInside);
  EXPECT_EQ(owner.CountCommand(kButton, BN_CLICKED), 0);
  EXPECT_FALSE(owner.HasEnded());
  EXPECT_TRUE(owner.window()->enabled());
  owner.DestroyWindow();
  EXPECT_EQ(MainWindow(), nullptr);  // forgotten with its window
}

TEST_F(WindowTest, DoModalAnswersMinusOneWhenNoWindowCanBeMade) {
  TestDialog dialog;
  INT_PTR fromWorker = 0;
  std::thread([&] { fromWorker = dialog.DoModal(); }).join();
  EXPECT_EQ(fromWorker, -1);  // windows belong to the user-interface thread
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(dialog.DoModal(), -1);  // it has a window already
  dialog.DestroyWindow();
}

// --- window menu and system commands -----------------------------------------

std::vector<std::string> EnabledEntries(const DialogWindow& w) {
  std::vector<std::string> out;
  for (const MenuEntry& e : w.WindowMenuEntries()) {
    if (!e.separator && e.enabled) out.push_back(e.text);
  }
  return out;
}

TEST_F(WindowTest, WindowMenuEntriesFollowTheWindowState) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  DialogWindow& w = *dialog.window();
  EXPECT_EQ(EnabledEntries(w), (std::vector<std::string>{"Mi&nimize", "Ma&ximize", "&Close\tAlt+F4"}));
  dialog.SendMessage(WM_SYSCOMMAND, SC_MAXIMIZE);
  EXPECT_EQ(EnabledEntries(w), (std::vector<std::string>{"&Restore", "Mi&nimize", "&Close\tAlt+F4"}));
  dialog.DestroyWindow();

  TestDialog plain(TestTemplate(false, 0x90C80040));  // caption and window menu only
  ASSERT_TRUE(plain.Create());
  EXPECT_EQ(EnabledEntries(*plain.window()), std::vector<std::string>{"&Close\tAlt+F4"});
  plain.DestroyWindow();

  TestDialog none(TestTemplate(false, 0x90C00000));  // no window menu
  ASSERT_TRUE(none.Create());
  EXPECT_EQ(none.GetSystemMenu(FALSE), nullptr);
  int popups = 0;
  SetPopupMenuHook([&](CDialog&, const std::vector<MenuEntry>&) { return ++popups, UINT{0}; });
  none.window()->OperatorKey(DialogKey::kAltSpace);
  EXPECT_EQ(popups, 0);
  none.DestroyWindow();
}

TEST_F(WindowTest, AltSpaceAndRightClickOpenTheWindowMenuAndItsChoiceIsASystemCommand) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  dialog.GetSystemMenu(FALSE)->AppendMenu(CMenu::MF_STRING, 0x0010, "&About...");
  std::vector<UINT> answers = {0x0010, SC_RESTORE /* greyed: ignored */, 0};
  std::size_t asked = 0;
  SetPopupMenuHook([&](CDialog& d, const std::vector<MenuEntry>& entries) {
    EXPECT_EQ(&d, &dialog);
    EXPECT_EQ(entries.back().text, "&About...");
    return answers[asked++];
  });
  dialog.window()->OperatorKey(DialogKey::kAltSpace);
  dialog.window()->OperatorContextMenu(50, 60);
  dialog.window()->OperatorContextMenu(50, 60);
  EXPECT_EQ(asked, 3u);
  EXPECT_EQ(Payloads(dialog, WM_SYSCOMMAND), std::vector<WPARAM>{0x0010});
  dialog.DestroyWindow();
}

TEST_F(WindowTest, SystemCommandsTakeTheirCourse) {
  TestDialog dialog;
  ASSERT_TRUE(dialog.Create());
  const Rect normal = dialog.window()->clientRect();
  std::vector<Rect> before;
  for (const auto& c : dialog.window()->controls()) before.push_back(c->rect());

  dialog.SendMessage(WM_SYSCOMMAND, SC_MAXIMIZE);
  Rect maximised;
  dialog.GetClientRect(&maximised);
  EXPECT_GT(maximised.Width(), normal.Width());
  EXPECT_GT(maximised.Height(), normal.Height());
  std::vector<Rect> after;
  for (const auto& c : dialog.window()->controls()) after.push_back(c->rect());
  EXPECT_EQ(after, before);  // nothing moves or grows with the window

  dialog.SendMessage(WM_SYSCOMMAND, SC_MINIMIZE | 0x000F);  // the low bits are the system's
  EXPECT_TRUE(dialog.IsIconic());
  ASSERT_TRUE(WaitFor([&] { return dialog.Count(WM_PAINT) == 1; }));  // a minimised window is painted
  dialog.SendMessage(WM_SYSCOMMAND, SC_RESTORE);
  EXPECT_FALSE(dialog.IsIconic());
  EXPECT_EQ(dialog.window()->clientRect(), normal);

  dialog.SendMessage(WM_SYSCOMMAND, SC_CLOSE);
  EXPECT_EQ(dialog.Count(WM_CLOSE), 1);
  EXPECT_EQ(dialog.CountCommand(IDCANCEL, BN_CLICKED), 1);
  EXPECT_TRUE(dialog.HasEnded());
  EXPECT_EQ(dialog.Result(), IDCANCEL);
  dialog.DestroyWindow();
}

TEST_F(WindowTest, TheCloseButtonIsASystemCommand) {
  TestDialog dialog;
  SetModalHook([](CDialog& d, bool starting) {
    if (starting) d.window()->OperatorCloseButton();
  });
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(Payloads(dialog, WM_SYSCOMMAND), std::vector<WPARAM>{SC_CLOSE});
}

// --- message boxes, file dialogs, names --------------------------------------

TEST_F(WindowTest, MessageBoxesGoThroughTheHookWithTheExecutablesName) {
  std::vector<MessageBoxRequest> shown;
  SetMessageBoxHook([&](const MessageBoxRequest& r) { return shown.push_back(r), IDOK; });
  EXPECT_EQ(AfxMessageBox("Cannot open the file", MB_OK, 0), IDOK);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Cannot open the file");
  EXPECT_EQ(shown[0].caption, KORRIN_TEST_BINARY_NAME);
  EXPECT_EQ(ApplicationName(), KORRIN_TEST_BINARY_NAME);
  // Without hook or view: answered at once, shown on standard error.
  SetMessageBoxHook(nullptr);
  EXPECT_EQ(AfxMessageBox("headless"), IDOK);
}

struct ExtCase {
  const char* name;
  const char* path;
  const char* ext;
};

class FileExtTest : public WindowTest, public ::testing::WithParamInterface<ExtCase> {};

TEST_P(FileExtTest, TheExtensionIsWhatFollowsTheLastPointOfTheFileName) {
  FileDialogRequest seen;
  SetFileDialogHook([&](const FileDialogRequest& r) {
    seen = r;
    return FileDialogAnswer{IDOK, GetParam().path};
  });
  CFileDialog dialog(true, "*.*", "", CFileDialog::OFN_HIDEREADONLY, "All Files: (*.*)|*.*||");
  ASSERT_EQ(dialog.DoModal(), IDOK);
  EXPECT_EQ(dialog.GetPathName(), GetParam().path);
  EXPECT_EQ(dialog.GetFileExt(), GetParam().ext);
  EXPECT_EQ(seen.filter, "All Files: (*.*)|*.*||");
  EXPECT_EQ(seen.flags, CFileDialog::OFN_HIDEREADONLY);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileExtTest,
                         ::testing::Values(ExtCase{"Bin", "/images/firmware.bin", "bin"},
                                           ExtCase{"UpperCase", "/images/firmware.BIN", "BIN"},
                                           ExtCase{"TwoPoints", "/images/fw.rev2.bin", "bin"},
                                           ExtCase{"Backup", "/images/firmware.bin.bak", "bak"},
                                           ExtCase{"NoPoint", "/images/firmware", ""},
                                           ExtCase{"PointInTheFolderOnly", "/images.d/firmware", ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, ACancelledFileDialogHasNoPath) {
  SetFileDialogHook([](const FileDialogRequest&) { return FileDialogAnswer{IDCANCEL, "/ignored.bin"}; });
  CFileDialog dialog(true, "*.*", "", 0, "");
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
  EXPECT_EQ(dialog.GetPathName(), "");
  SetFileDialogHook(nullptr);
  EXPECT_EQ(CFileDialog(true, "", "", 0, "").DoModal(), IDCANCEL);  // headless: nothing to choose on
}

// --- dialog units ------------------------------------------------------------

struct UnitCase {
  const char* name;
  FontMetrics metrics;
  int x, y, cx, cy;
  Rect expected;
};

class DialogUnitTest : public ::testing::TestWithParam<UnitCase> {};

TEST_P(DialogUnitTest, ConvertsAsTheWindowSystemDoes) {
  const UnitCase& c = GetParam();
  EXPECT_EQ(DialogUnitsToPixels(c.metrics, c.x, c.y, c.cx, c.cy), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogUnitTest,
    ::testing::Values(
        // x * 6 / 4 and y * 13 / 8, each rounded to the nearest pixel.
        UnitCase{"LogListAtSixByThirteen", {6, 13}, 7, 75, 386, 225, {11, 122, 11 + 579, 122 + 366}},
        UnitCase{"MainWindowAtSixByThirteen", {6, 13}, 0, 0, 402, 327, {0, 0, 603, 531}},
        UnitCase{"AboutButtonAtSevenByThirteen", {7, 13}, 340, 1, 50, 14, {595, 2, 595 + 88, 2 + 23}},
        UnitCase{"HalfRoundsAwayFromZero", {6, 12}, 1, 1, 1, 1, {2, 2, 4, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korrin::window::testing
