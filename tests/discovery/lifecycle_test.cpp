// The life of an attached device: the polling tick, removal broadcasts, the
// whole job from plug-in to removal, the next device, and what the operator
// can do while a transfer runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "harness.h"

namespace korrin::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class LifecycleTest : public DiscoveryHarness {
 protected:
  // Plugs a device, attaches it with one tick and waits for its update to end.
  std::shared_ptr<sim::Device> AttachAndComplete(const SimDeviceSpec& params) {
    auto device = Plug(params);
    Tick();
    EXPECT_TRUE(g_bAttached);
    EXPECT_TRUE(WaitForCompletion());
    return device;
  }
};

struct TypicalCase {
  const char* name;
  bool negativeVerdict;
  const char* verdictLine;
  const char* versionAfter;
};
void PrintTo(const TypicalCase& c, std::ostream* out) { *out << c.name; }

class TypicalUpdateTest : public LifecycleTest, public ::testing::WithParamInterface<TypicalCase> {};

TEST_P(TypicalUpdateTest, LogFromPlugInToRemovalLineForLine) {
  const TypicalCase& c = GetParam();
  SimDeviceSpec params;
  params.bootloader = {2, 0};
  params.firmware = {1, 2};
  params.negativeVerdict = c.negativeVerdict;
  auto device = Plug(params);

  Tick();
  ASSERT_TRUE(WaitForCompletion());
  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed."));

  EXPECT_THAT(Log(), ElementsAre(kStarLine, "The device has been attached.", "Vantorel Systems product detected",
                                 "Bootloader Version: 2.0", "Firmware Version: 1.2", "Update firmware successfully",
                                 c.verdictLine, std::string("Current Firmware Version: ") + c.versionAfter,
                                 "The device has been removed.", kStarLine));
  // The device got the whole image, once.
  EXPECT_EQ(device->bootloader().Payload(), sim::MakePayload(kTestPayloadBytes, ImageSpec().seed));
  EXPECT_EQ(device->bootloader().Verdicts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Verdicts, TypicalUpdateTest,
                         ::testing::Values(TypicalCase{"Good", false, "CRC check OK", "1.10"},
                                           TypicalCase{"Negative", true, "CRC check failed", "1.2"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, RemovalEmptiesTheDisplayClosesTheHandleAndRestartsPolling) {
  auto device = AttachAndComplete({});
  const hid::Handle handle = g_Comm.m_hDevice;
  ASSERT_TRUE(hid::System().IsOpen(handle));

  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed."));

  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "The device has been removed.");
  EXPECT_EQ(log.back(), kStarLine);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 0);
  EXPECT_EQ(ComboText(), "");
  EXPECT_EQ(dialog_->m_strDevice, "");
  EXPECT_FALSE(g_bAttached);
  EXPECT_EQ(dialog_->window()->TimerInterval(ID_SCAN_TIMER), 100u);
  EXPECT_FALSE(hid::System().IsOpen(handle));
  EXPECT_EQ(g_Comm.m_hDevice, hid::kInvalidHandle);
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_EQ(bus_->counters().openNow(), 0u);
  // What the removal does not touch.
  EXPECT_EQ(g_strDevicePath, device->path());
  EXPECT_EQ(g_nDeviceIndex, 1);
  EXPECT_TRUE(g_bUpdateDone);
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return std::toupper(ch); });
  return s;
}
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return std::tolower(ch); });
  return s;
}

inline constexpr const char* kMixedCasePath = "/dev/Sim-HidRaw7";

struct BroadcastCase {
  const char* name;
  WPARAM event;
  std::uint32_t deviceType;
  std::string path;
  bool removes;
};
void PrintTo(const BroadcastCase& c, std::ostream* out) { *out << c.name; }

class RemovalBroadcastTest : public LifecycleTest, public ::testing::WithParamInterface<BroadcastCase> {};

TEST_P(RemovalBroadcastTest, ActsOnlyOnTheCompletedRemovalOfTheAttachedInterface) {
  const BroadcastCase& c = GetParam();
  SimDeviceSpec params;
  params.interfaces = {At(kMixedCasePath)};
  AttachAndComplete(params);
  const std::vector<std::string> before = Log();
  const hid::Handle handle = g_Comm.m_hDevice;

  EXPECT_EQ(Broadcast(c.event, c.deviceType, c.path), TRUE);

  EXPECT_EQ(!g_bAttached, c.removes);
  EXPECT_EQ(hid::System().IsOpen(handle), !c.removes);
  EXPECT_EQ(dialog_->IsTimerRunning(ID_SCAN_TIMER), c.removes);
  if (c.removes) {
    std::vector<std::string> expected = before;
    expected.push_back("The device has been removed.");
    expected.push_back(kStarLine);
    EXPECT_THAT(Log(), ElementsAreArray(expected));
  } else {
    EXPECT_THAT(Log(), ElementsAreArray(before));
    EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Broadcasts, RemovalBroadcastTest,
    ::testing::Values(
        BroadcastCase{"SamePath", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, kMixedCasePath, true},
        BroadcastCase{"UpperCase", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, Upper(kMixedCasePath), true},
        BroadcastCase{"LowerCase", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, Lower(kMixedCasePath), true},
        BroadcastCase{"LongerPath", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE,
                      std::string(kMixedCasePath) + "0", false},
        BroadcastCase{"ShorterPath", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, "/dev/Sim-HidRaw", false},
        BroadcastCase{"OtherInterface", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, "/dev/Sim-HidRaw8", false},
        BroadcastCase{"EmptyPath", DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, "", false},
        BroadcastCase{"PortNotInterface", DBT_DEVICEREMOVECOMPLETE, 3, kMixedCasePath, false},
        BroadcastCase{"VolumeNotInterface", DBT_DEVICEREMOVECOMPLETE, 2, kMixedCasePath, false},
        BroadcastCase{"Arrival", DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, kMixedCasePath, false},
        BroadcastCase{"QueryRemove", 0x8001, DBT_DEVTYP_DEVICEINTERFACE, kMixedCasePath, false},
        BroadcastCase{"RemovePending", 0x8003, DBT_DEVTYP_DEVICEINTERFACE, kMixedCasePath, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, NullRecordIsNotTheAttachedDevice) {
  AttachAndComplete({});
  EXPECT_EQ(dialog_->SendMessage(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0), TRUE);
  EXPECT_TRUE(g_bAttached);
}

TEST_F(LifecycleTest, RemovalBroadcastWhileNothingIsAttachedChangesNothing) {
  auto device = AttachAndComplete({});
  const std::string path = device->path();
  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  const std::vector<std::string> before = Log();

  EXPECT_EQ(Broadcast(DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_DEVICEINTERFACE, path), TRUE);

  EXPECT_THAT(Log(), ElementsAreArray(before));
  EXPECT_FALSE(g_bAttached);
  EXPECT_TRUE(dialog_->IsTimerRunning(ID_SCAN_TIMER));
}

TEST_F(LifecycleTest, TickOfAnotherTimerDoesNotScan) {
  Plug({});
  Tick(2);
  EXPECT_FALSE(g_bAttached);
  EXPECT_EQ(backend_->enumerations(), 0);
  Tick();
  EXPECT_TRUE(g_bAttached);
}

TEST_F(LifecycleTest, TickQueuedBeforeTheAttachDoesNotScan) {
  Plug({});
  Tick();
  ASSERT_TRUE(g_bAttached);
  EXPECT_FALSE(dialog_->IsTimerRunning(ID_SCAN_TIMER));
  const int enumerations = backend_->enumerations();
  const std::vector<std::string> log = Log();

  // As a tick that was already waiting in the queue when the timer stopped.
  const int seen = timerMessages_;
  ASSERT_TRUE(dialog_->PostMessage(WM_TIMER, ID_SCAN_TIMER, 0));
  ASSERT_TRUE(WaitUntil([&] { return timerMessages_ > seen; }));

  EXPECT_EQ(backend_->enumerations(), enumerations);
  EXPECT_EQ(bus_->counters().opens, 1u);
  EXPECT_EQ(LogCount("The device has been attached."), 1);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 1);
}

TEST_F(LifecycleTest, ArrivalBroadcastAttachesNothingTheNextTickDoes) {
  auto device = Plug({});

  EXPECT_EQ(Broadcast(DBT_DEVICEARRIVAL, DBT_DEVTYP_DEVICEINTERFACE, device->path()), TRUE);
  EXPECT_FALSE(g_bAttached);
  EXPECT_EQ(backend_->enumerations(), 0);
  EXPECT_THAT(Log(), IsEmpty());

  Tick();
  EXPECT_TRUE(g_bAttached);
  EXPECT_EQ(g_strDevicePath, device->path());
}

TEST_F(LifecycleTest, SecondDeviceWaitsForTheRemovalOfTheFirst) {
  SimDeviceSpec firstSpec;
  firstSpec.interfaces = {At("/dev/first")};
  auto first = AttachAndComplete(firstSpec);
  SimDeviceSpec secondSpec;
  secondSpec.interfaces = {At("/dev/second")};
  secondSpec.bootloader = {3, 1};
  secondSpec.firmware = {0, 9};
  auto second = Plug(secondSpec);
  const std::vector<std::string> before = Log();

  // Neither ticks nor the operator's combo selection bring it in.
  Tick();
  Tick();
  dialog_->window()->OperatorSelectComboRow(IDC_DEVICE_COMBO, 0);
  EXPECT_THAT(Log(), ElementsAreArray(before));
  EXPECT_EQ(second->bootloader().ReportsReceived(), 0u);
  EXPECT_EQ(bus_->counters().opens, 1u);
  EXPECT_EQ(g_strDevicePath, "/dev/first");

  ASSERT_TRUE(bus_->Unplug(first));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  Tick();  // the first tick after the removal (a real one may have come first)

  EXPECT_TRUE(g_bAttached);
  EXPECT_EQ(g_strDevicePath, "/dev/second");
  EXPECT_EQ(LogCount("Bootloader Version: 3.1"), 1);
  EXPECT_EQ(LogCount("Firmware Version: 0.9"), 1);
  ASSERT_TRUE(WaitForCompletion(2));
  EXPECT_THAT(second->bootloader().Verdicts(), ElementsAre(true));
  EXPECT_EQ(LogCount("Current Firmware Version: 1.10"), 2);
}

TEST_F(LifecycleTest, RemovalAndReinsertionGiveANewAttachAndTransfer) {
  SimDeviceSpec params;
  params.firmware = {0, 5};
  auto device = AttachAndComplete(params);
  const hid::Handle firstHandle = g_Comm.m_hDevice;

  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  ASSERT_TRUE(bus_->Plug(device));
  Tick();
  ASSERT_TRUE(g_bAttached);
  EXPECT_NE(g_Comm.m_hDevice, firstHandle);
  ASSERT_TRUE(WaitForCompletion(2));
  // The second removal is seen as well: the registration holds over the run.
  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed.", 2));

  const std::vector<std::string> once = {kStarLine,
                                         "The device has been attached.",
                                         "Vantorel Systems product detected",
                                         "Bootloader Version: 2.0",
                                         "Firmware Version: 0.5",
                                         "Update firmware successfully",
                                         "CRC check OK",
                                         "Current Firmware Version: 1.10",
                                         "The device has been removed.",
                                         kStarLine};
  std::vector<std::string> expected = once;
  expected.insert(expected.end(), once.begin(), once.end());
  // The device kept the version it was given; the second update reads it.
  expected[14] = "Firmware Version: 1.10";
  EXPECT_THAT(Log(), ElementsAreArray(expected));
  EXPECT_THAT(device->bootloader().Verdicts(), ElementsAre(true, true));
  EXPECT_EQ(OpenHandles(), 0u);
}

// The sim pulls the device out as the worker writes data block n, so the
// removal arrives from the worker's own thread in the middle of a write.
struct MidTransferCase {
  const char* name;
  std::uint32_t removeBeforeDataFrame;
};
void PrintTo(const MidTransferCase& c, std::ostream* out) { *out << c.name; }

class RemovalMidTransferTest : public LifecycleTest, public ::testing::WithParamInterface<MidTransferCase> {};

TEST_P(RemovalMidTransferTest, TransferFailsAndNothingTalksToTheClosedDevice) {
  auto device = MakeDevice({});
  sim::LinkFaults faults;
  faults.removeBeforeDataFrame = GetParam().removeBeforeDataFrame;
  device->SetFaults(faults);
  ASSERT_TRUE(bus_->Plug(device));

  Tick();
  ASSERT_TRUE(WaitForLine("Update firmware failed"));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  ASSERT_TRUE(WaitUntil([] { return g_pProgramThread == nullptr || g_pProgramThread->Finished(); }));
  QCoreApplication::processEvents();

  EXPECT_EQ(LogCount("Update firmware successfully"), 0);
  EXPECT_EQ(device->bootloader().Verdicts().size(), 0u);
  EXPECT_EQ(device->bootloader().DataFramesSeen().size(), GetParam().removeBeforeDataFrame - 1);
  EXPECT_FALSE(g_bAttached);
  EXPECT_EQ(g_Comm.m_hDevice, hid::kInvalidHandle);
  EXPECT_EQ(OpenHandles(), 0u);
  EXPECT_FALSE(dialog_->m_Progress.IsWindowEnabled());
  EXPECT_TRUE(dialog_->IsTimerRunning(ID_SCAN_TIMER));
}

INSTANTIATE_TEST_SUITE_P(Blocks, RemovalMidTransferTest,
                         ::testing::Values(MidTransferCase{"FirstBlock", 1}, MidTransferCase{"MiddleBlock", 2},
                                           MidTransferCase{"LastBlock", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, WorkerHeldInAWriteFailsAfterTheRemovalClosedItsDevice) {
  backend_->gate().Close();
  auto device = Plug({});
  Tick();
  ASSERT_TRUE(backend_->gate().WaitForHeld(1));  // the worker is inside its first block's write

  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  EXPECT_EQ(g_Comm.m_hDevice, hid::kInvalidHandle);
  EXPECT_EQ(OpenHandles(), 0u);

  backend_->gate().Open();
  ASSERT_TRUE(WaitForLine("Update firmware failed"));
  ASSERT_TRUE(WaitUntil([] { return g_pProgramThread == nullptr || g_pProgramThread->Finished(); }));
  QCoreApplication::processEvents();

  EXPECT_THAT(Log(), ElementsAre(kStarLine, "The device has been attached.", "Vantorel Systems product detected",
                                 "Bootloader Version: 2.0", "Firmware Version: 1.0", "The device has been removed.",
                                 kStarLine, "Update firmware failed"));
  EXPECT_THAT(device->bootloader().DataFramesSeen(), IsEmpty());
}

TEST_F(LifecycleTest, NextDeviceWaitsUntilTheCutShortTransferHasFailed) {
  backend_->gate().Close();
  SimDeviceSpec firstSpec;
  firstSpec.interfaces = {At("/dev/first")};
  auto first = Plug(firstSpec);
  Tick();
  ASSERT_TRUE(backend_->gate().WaitForHeld(1));
  ASSERT_TRUE(bus_->Unplug(first));
  ASSERT_TRUE(WaitForLine("The device has been removed."));
  SimDeviceSpec nextSpec;
  nextSpec.interfaces = {At("/dev/next")};
  auto next = Plug(nextSpec);

  // The old worker is still inside its write: its failure is yet to come.
  Tick();
  EXPECT_FALSE(g_bAttached);
  EXPECT_EQ(next->bootloader().ReportsReceived(), 0u);

  backend_->gate().Open();
  ASSERT_TRUE(WaitForLine("Update firmware failed"));
  ASSERT_TRUE(WaitUntil([] { return g_pProgramThread == nullptr || g_pProgramThread->Finished(); }));
  Tick();  // the next tick brings it in (unless a real one already did)
  EXPECT_TRUE(g_bAttached);
  ASSERT_TRUE(WaitForCompletion());

  EXPECT_EQ(g_strDevicePath, "/dev/next");
  EXPECT_EQ(LogCount("Update firmware failed"), 1);
  EXPECT_EQ(LogCount("CRC check OK"), 1);
  EXPECT_THAT(next->bootloader().Verdicts(), ElementsAre(true));
}

TEST_F(LifecycleTest, ComboSelectionWhileTransferringStartsNothing) {
  backend_->gate().Close();
  auto device = Plug({});
  auto other = Plug({});  // a second device of ours that a wrong scan would take
  Tick();
  ASSERT_TRUE(backend_->gate().WaitForHeld(1));
  const std::vector<std::string> log = Log();
  const std::string line = dialog_->m_strDevice;
  const hid::Handle handle = g_Comm.m_hDevice;
  const korrin::platform::WorkerThread* worker = g_pProgramThread.get();
  const std::size_t reports = device->bootloader().ReportsReceived();

  dialog_->window()->OperatorSelectComboRow(IDC_DEVICE_COMBO, 0);

  EXPECT_THAT(Log(), ElementsAreArray(log));
  EXPECT_EQ(g_pProgramThread.get(), worker);
  EXPECT_EQ(g_Comm.m_hDevice, handle);
  EXPECT_EQ(device->bootloader().ReportsReceived(), reports);
  EXPECT_EQ(other->bootloader().ReportsReceived(), 0u);
  EXPECT_EQ(bus_->counters().opens, 1u);
  EXPECT_EQ(dialog_->m_DeviceCombo.GetCount(), 1);
  EXPECT_EQ(ComboText(), line);
  EXPECT_EQ(dialog_->m_strDevice, line);

  backend_->gate().Open();
  ASSERT_TRUE(WaitForCompletion());
  EXPECT_THAT(device->bootloader().Verdicts(), ElementsAre(true));
  EXPECT_EQ(LogCount("CRC check OK"), 1);
}

TEST_F(LifecycleTest, ComboSelectionTakesATypedImagePathIntoTheMember) {
  AttachAndComplete({});
  auto* pathBox = static_cast<window::EditModel*>(dialog_->window()->Control(IDC_FILE_PATH));
  pathBox->OperatorEdited("typed.bin", {9, 9});

  dialog_->window()->OperatorSelectComboRow(IDC_DEVICE_COMBO, 0);

  EXPECT_EQ(dialog_->m_strImagePath, "typed.bin");
  EXPECT_TRUE(g_bAttached);
  EXPECT_EQ(LogCount("The device has been attached."), 1);
}

}  // namespace
}  // namespace korrin::testing
