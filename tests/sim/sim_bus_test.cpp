// The simulated HID bus behind the HID layer's handle table: enumeration,
// opening, the report path, removal, and the link faults a device can show.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "sim/bootloader.h"
#include "sim/virtual_clock.h"

namespace korrin::hid::sim {
namespace {

using korrin::sim::Device;
using korrin::sim::DeviceConfig;
using korrin::sim::InterfaceSpec;
using korrin::sim::LinkFaults;
using korrin::sim::VirtualClock;
using korrin::sim::testing::Bytes;
using std::chrono::milliseconds;

using Buffer = std::array<std::uint8_t, kReportSize>;

InterfaceSpec MakeSpec(const std::string& path, std::function<void(InterfaceSpec&)> set = {}) {
  InterfaceSpec params;
  params.path = path;
  if (set) set(params);
  return params;
}

Buffer ToReport(const Bytes& bytes) {
  Buffer report{};
  std::copy(bytes.begin(), bytes.end(), report.begin());
  return report;
}

std::shared_ptr<Device> MakeDevice(std::vector<std::string> paths, std::uint16_t vendor = 0x16D0,
                                   LinkFaults faults = {}) {
  DeviceConfig config;
  config.vendorId = vendor;
  for (auto& path : paths) config.interfaces.push_back(MakeSpec(path));
  config.faults = faults;
  return std::make_shared<Device>(config);
}

class SimBusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<VirtualClock>();
    platform::InstallClock(clock_);
    bus_ = SimBus::Create();
    system_ = std::make_unique<HidSystem>(bus_);
  }
  void TearDown() override {
    system_.reset();
    platform::InstallClock(nullptr);
  }

  Handle OpenOk(const std::string& path) {
    std::string error;
    Handle h = system_->Open(path, &error);
    EXPECT_NE(h, kInvalidHandle) << error;
    return h;
  }
  bool Write(Handle h, const Bytes& frame) { return system_->WriteReport(h, ToReport(frame)); }
  ReadResult Read(Handle h, Buffer& into, milliseconds bound = milliseconds(100)) {
    return system_->ReadReport(h, into, bound);
  }

  std::shared_ptr<VirtualClock> clock_;
  std::shared_ptr<SimBus> bus_;
  std::unique_ptr<HidSystem> system_;
};

TEST_F(SimBusTest, EnumeratesInterfacesInPlugOrderWithTheirAttributes) {
  auto programmer = MakeDevice({"dev/a0", "dev/a1"});
  auto mouse = MakeDevice({"dev/m0"}, 0x046D);
  DeviceConfig oddConfig;
  oddConfig.productId = 0x00AB;
  oddConfig.versionNumber = 0x0001;
  oddConfig.interfaces = {MakeSpec("dev/c0", [](InterfaceSpec& s) { s.pathUnreadable = true; }),
                          MakeSpec("dev/c1", [](InterfaceSpec& s) { s.attributesUnreadable = true; })};
  auto odd = std::make_shared<Device>(oddConfig);
  ASSERT_TRUE(bus_->Plug(programmer));
  ASSERT_TRUE(bus_->Plug(mouse));
  ASSERT_TRUE(bus_->Plug(odd));

  const auto records = system_->EnumerateInterfaces();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].path, "dev/a0");
  EXPECT_EQ(records[1].path, "dev/a1");
  EXPECT_EQ(records[2].path, "dev/m0");
  EXPECT_FALSE(records[3].path.has_value());
  EXPECT_EQ(records[4].path, "dev/c1");
  ASSERT_TRUE(records[0].attributes && records[2].attributes && records[3].attributes);
  EXPECT_EQ(records[0].attributes->vendorId, 0x16D0);
  EXPECT_EQ(records[2].attributes->vendorId, 0x046D);
  EXPECT_EQ(records[3].attributes->productId, 0x00AB);
  EXPECT_EQ(records[3].attributes->versionNumber, 0x0001);
  EXPECT_FALSE(records[4].attributes.has_value());

  ASSERT_TRUE(bus_->Unplug(programmer));
  const auto after = system_->EnumerateInterfaces();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0].path, "dev/m0");
}

TEST_F(SimBusTest, RefusedOpensSayWhy) {
  DeviceConfig config;
  config.interfaces = {MakeSpec("dev/locked", [](InterfaceSpec& s) { s.openError = "permission denied"; })};
  ASSERT_TRUE(bus_->Plug(std::make_shared<Device>(config)));
  std::string error;
  EXPECT_EQ(system_->Open("dev/locked", &error), kInvalidHandle);
  EXPECT_EQ(error, "cannot open dev/locked: permission denied");
  EXPECT_EQ(system_->Open("dev/nothing", &error), kInvalidHandle);
  EXPECT_EQ(error, "cannot open dev/nothing: no such device");
  EXPECT_EQ(bus_->counters().failedOpens, 2u);
  EXPECT_EQ(bus_->counters().opens, 0u);
  EXPECT_EQ(system_->OpenHandleCount(), 0u);
}

TEST_F(SimBusTest, AnswersAreDeliveredAndAnEmptyQueueTimesOutAtOnce) {
  auto device = MakeDevice({"dev/a0"});
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  ASSERT_EQ(Read(h, answer), ReadResult::kOk);
  EXPECT_EQ(Bytes(answer.begin() + 7, answer.begin() + 11), (Bytes{0, 2, 0, 1}));
  // Nothing more can come: no wait at all, even with a long bound.
  EXPECT_EQ(Read(h, answer, milliseconds(60000)), ReadResult::kTimeout);
  EXPECT_TRUE(clock_->Pauses().empty());
}

TEST_F(SimBusTest, AnswerDelayIsWaitedOnTheClockWithinTheBound) {
  LinkFaults faults;
  faults.answerDelay = milliseconds(150);
  auto device = MakeDevice({"dev/a0"}, 0x16D0, faults);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  EXPECT_EQ(Read(h, answer, milliseconds(100)), ReadResult::kTimeout);
  EXPECT_EQ(Read(h, answer, milliseconds(100)), ReadResult::kOk);
  EXPECT_EQ(clock_->Pauses(), (std::vector<milliseconds>{milliseconds(100), milliseconds(50)}));
}

TEST_F(SimBusTest, FullSpeedBusTakesSixtyFourMillisecondsPerReport) {
  LinkFaults faults;
  faults.reportTime = korrin::sim::kFullSpeedReportTime;
  auto device = MakeDevice({"dev/a0"}, 0x16D0, faults);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  ASSERT_EQ(Read(h, answer), ReadResult::kOk);
  EXPECT_EQ(clock_->Pauses(), (std::vector<milliseconds>{milliseconds(64), milliseconds(64)}));
}

TEST_F(SimBusTest, EachAnswerComesAfterTheConfiguredFailedReads) {
  LinkFaults faults;
  faults.failedReadsBeforeAnswer = 3;
  auto device = MakeDevice({"dev/a0"}, 0x16D0, faults);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  Buffer answer{};
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Read(h, answer), ReadResult::kFailed) << "read " << i;
    EXPECT_EQ(Read(h, answer), ReadResult::kOk);
  }
}

TEST_F(SimBusTest, ReadsThatAlwaysFail) {
  LinkFaults faults;
  faults.failAllReads = true;
  auto device = MakeDevice({"dev/a0"}, 0x16D0, faults);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Read(h, answer), ReadResult::kFailed);
  EXPECT_TRUE(bus_->IsPlugged(*device)) << "failing reads do not remove the device";
}

TEST_F(SimBusTest, SilentDeviceLeavesEveryReadToTimeOutAtOnce) {
  auto device = MakeDevice({"dev/a0"});
  device->bootloader().SetSilent(true);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  EXPECT_EQ(Read(h, answer, milliseconds(5000)), ReadResult::kTimeout);
  EXPECT_TRUE(clock_->Pauses().empty());
  EXPECT_EQ(device->bootloader().ReportsReceived(), 1u);
}

TEST_F(SimBusTest, FailedWriteLosesItsReport) {
  LinkFaults faults;
  faults.failWrites = {2};
  auto device = MakeDevice({"dev/a0"}, 0x16D0, faults);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  EXPECT_TRUE(Write(h, korrin::sim::testing::EndFrame()));
  EXPECT_FALSE(Write(h, korrin::sim::testing::ReadRequest()));
  EXPECT_TRUE(Write(h, korrin::sim::testing::EndFrame()));
  EXPECT_EQ(device->bootloader().ReportsReceived(), 2u);
  Buffer answer{};
  EXPECT_EQ(Read(h, answer), ReadResult::kTimeout) << "the lost request was never answered";
}

// ---- removal at a chosen moment

struct RemovalCase {
  std::string name;
  LinkFaults faults;
  std::size_t failingStep;     // the first step of the exchange below that fails
  std::size_t reportsReceived;  // reports that reached the device before it went
};

class RemovalMoment : public SimBusTest, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(RemovalMoment, EndsTheExchangeThereAndTellsTheHost) {
  const RemovalCase& c = GetParam();
  auto device = MakeDevice({"dev/a0", "dev/a1"}, 0x16D0, c.faults);
  ASSERT_TRUE(bus_->Plug(device));
  std::mutex mutex;
  std::vector<std::string> removed;
  system_->SubscribeRemoval([&](const std::string& path) {
    std::lock_guard lock(mutex);
    removed.push_back(path);
  });
  Handle h = OpenOk("dev/a0");
  const auto update = korrin::sim::testing::MakeUpdate(10000, korrin::sim::Version{2, 1});
  Buffer answer{};
  // An update as the programmer runs it: version query, image info, three
  // blocks, end, CRC request, CRC answer.
  const std::vector<std::function<bool()>> steps = {
      [&] { return Write(h, korrin::sim::testing::ReadRequest()); },
      [&] { return Read(h, answer) == ReadResult::kOk; },
      [&] { return Write(h, korrin::sim::testing::ImageInfoFrame(update.imageInfo)); },
      [&] { return Write(h, update.blocks[0]); },
      [&] { return Write(h, update.blocks[1]); },
      [&] { return Write(h, update.blocks[2]); },
      [&] { return Write(h, korrin::sim::testing::EndFrame()); },
      [&] { return Write(h, korrin::sim::testing::CrcRequest()); },
      [&] { return Read(h, answer) == ReadResult::kOk; },
  };
  std::size_t step = 0;
  while (step < steps.size() && steps[step]()) ++step;
  EXPECT_EQ(step, c.failingStep);
  EXPECT_EQ(device->bootloader().ReportsReceived(), c.reportsReceived);
  EXPECT_FALSE(bus_->IsPlugged(*device));
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(removed, (std::vector<std::string>{"dev/a0", "dev/a1"}));
  }
  EXPECT_FALSE(Write(h, korrin::sim::testing::EndFrame()));
  EXPECT_EQ(Read(h, answer), ReadResult::kFailed);
  EXPECT_EQ(device->bootloader().ReportsReceived(), c.reportsReceived);
}

LinkFaults Faults(std::function<void(LinkFaults&)> set) {
  LinkFaults f;
  set(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Moments, RemovalMoment,
    ::testing::Values(RemovalCase{"on_the_third_write", Faults([](LinkFaults& f) { f.removeOnWrite = 3; }), 3, 2},
                      RemovalCase{"before_the_second_data_frame",
                                  Faults([](LinkFaults& f) { f.removeBeforeDataFrame = 2; }), 4, 3},
                      RemovalCase{"before_the_first_data_frame",
                                  Faults([](LinkFaults& f) { f.removeBeforeDataFrame = 1; }), 3, 2},
                      RemovalCase{"during_the_version_read", Faults([](LinkFaults& f) { f.removeDuringRead = 1; }),
                                  1, 1},
                      RemovalCase{"during_the_verdict_read", Faults([](LinkFaults& f) { f.removeDuringRead = 2; }),
                                  8, 7}),
    [](const auto& info) { return info.param.name; });

// A clock whose Sleep blocks until the test lets it go, so a read can be
// held in flight while another thread acts.
class GateClock final : public platform::Clock {
 public:
  void Sleep(milliseconds duration) override {
    std::unique_lock lock(mutex_);
    ++sleeping_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
    now_ += duration;
  }
  std::chrono::steady_clock::time_point Now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  bool WaitForSleeper() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return sleeping_ > 0; });
  }
  void Open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int sleeping_ = 0;
  bool open_ = false;
  std::chrono::steady_clock::time_point now_{};
};

class InFlightRead : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InstallClock(gate_);
    LinkFaults faults;
    faults.answerDelay = milliseconds(50);
    device_ = MakeDevice({"dev/slow"}, 0x16D0, faults);
    ASSERT_TRUE(bus_->Plug(device_));
    handle_ = system_->Open("dev/slow");
    ASSERT_NE(handle_, kInvalidHandle);
    ASSERT_TRUE(system_->WriteReport(handle_, ToReport(korrin::sim::testing::ReadRequest())));
  }
  void TearDown() override { platform::InstallClock(nullptr); }

  // Starts a read, waits until it sleeps, runs `act`, then lets it finish.
  ReadResult ReadAround(const std::function<void()>& act) {
    ReadResult result = ReadResult::kOk;
    std::thread reader([&] {
      Buffer into{};
      result = system_->ReadReport(handle_, into, milliseconds(1000));
    });
    const bool sleeping = gate_->WaitForSleeper();
    if (sleeping) act();
    gate_->Open();
    reader.join();
    EXPECT_TRUE(sleeping) << "the read never waited";
    return result;
  }

  std::shared_ptr<GateClock> gate_ = std::make_shared<GateClock>();
  std::shared_ptr<SimBus> bus_ = SimBus::Create();
  std::unique_ptr<HidSystem> system_ = std::make_unique<HidSystem>(bus_);
  std::shared_ptr<Device> device_;
  Handle handle_ = kInvalidHandle;
};

TEST_F(InFlightRead, FailsWhenTheDeviceIsUnplugged) {
  EXPECT_EQ(ReadAround([&] { EXPECT_TRUE(bus_->Unplug(device_)); }), ReadResult::kFailed);
}

TEST_F(InFlightRead, FailsWhenCancelledAndLeavesTheAnswerQueued) {
  EXPECT_EQ(ReadAround([&] { system_->CancelIo(handle_); }), ReadResult::kFailed);
  Buffer into{};
  EXPECT_EQ(system_->ReadReport(handle_, into, milliseconds(1000)), ReadResult::kOk);
}

TEST_F(InFlightRead, FailsWhenItsHandleIsClosed) {
  EXPECT_EQ(ReadAround([&] { EXPECT_TRUE(system_->CloseHandle(handle_)); }), ReadResult::kFailed);
}

// ---- handles and removal

TEST_F(SimBusTest, UnplugTellsEveryPathOnTheUnpluggingThread) {
  auto device = MakeDevice({"dev/x0", "dev/x1", "dev/x2"});
  ASSERT_TRUE(bus_->Plug(device));
  std::mutex mutex;
  std::vector<std::pair<std::string, std::thread::id>> seen;
  system_->SubscribeRemoval([&](const std::string& path) {
    std::lock_guard lock(mutex);
    seen.emplace_back(path, std::this_thread::get_id());
  });
  std::thread::id unplugger;
  std::thread t([&] {
    unplugger = std::this_thread::get_id();
    EXPECT_TRUE(bus_->Unplug(device));
  });
  t.join();
  ASSERT_EQ(seen.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[i].first, "dev/x" + std::to_string(i));
    EXPECT_EQ(seen[i].second, unplugger);
  }
  EXPECT_FALSE(bus_->Unplug(device)) << "a second unplug has nothing to do";
}

TEST_F(SimBusTest, ReplugNeedsANewOpenAndKeepsTheDevicesState) {
  auto device = MakeDevice({"dev/a0"});
  ASSERT_TRUE(bus_->Plug(device));
  Handle old = OpenOk("dev/a0");
  const auto update = korrin::sim::testing::MakeUpdate(5000, korrin::sim::Version{3, 3});
  ASSERT_TRUE(Write(old, korrin::sim::testing::ImageInfoFrame(update.imageInfo)));
  for (const auto& block : update.blocks) ASSERT_TRUE(Write(old, block));
  ASSERT_TRUE(Write(old, korrin::sim::testing::EndFrame()));
  ASSERT_TRUE(Write(old, korrin::sim::testing::CrcRequest()));

  ASSERT_TRUE(bus_->Unplug(device));
  ASSERT_TRUE(bus_->Plug(device));
  Buffer answer{};
  EXPECT_FALSE(Write(old, korrin::sim::testing::ReadRequest()));
  EXPECT_EQ(Read(old, answer), ReadResult::kFailed) << "the verdict queued before the unplug is gone with it";

  Handle fresh = OpenOk("dev/a0");
  EXPECT_NE(fresh, old);
  ASSERT_TRUE(Write(fresh, korrin::sim::testing::ReadRequest()));
  ASSERT_EQ(Read(fresh, answer), ReadResult::kOk);
  EXPECT_EQ(Bytes(answer.begin() + 9, answer.begin() + 11), (Bytes{3, 3})) << "the new firmware stays after replug";
}

TEST_F(SimBusTest, OtherInterfacesOfTheDeviceTakeNoReports) {
  auto device = MakeDevice({"dev/boot", "dev/keys"});
  ASSERT_TRUE(bus_->Plug(device));
  Handle keys = OpenOk("dev/keys");
  EXPECT_FALSE(Write(keys, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  EXPECT_EQ(Read(keys, answer), ReadResult::kTimeout);
  EXPECT_EQ(device->bootloader().ReportsReceived(), 0u);
}

TEST_F(SimBusTest, EveryHandleOnTheBootloaderInterfaceGetsTheAnswer) {
  auto device = MakeDevice({"dev/a0"});
  ASSERT_TRUE(bus_->Plug(device));
  Handle a = OpenOk("dev/a0");
  Handle b = OpenOk("dev/a0");
  ASSERT_TRUE(Write(a, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  EXPECT_EQ(Read(a, answer), ReadResult::kOk);
  EXPECT_EQ(Read(b, answer), ReadResult::kOk);
  EXPECT_EQ(Read(a, answer), ReadResult::kTimeout);
}

TEST_F(SimBusTest, AHostThatNeverReadsKeepsOnlyTheNewestAnswers) {
  auto device = MakeDevice({"dev/a0"});
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  for (int i = 0; i < 70; ++i) ASSERT_TRUE(Write(h, korrin::sim::testing::ReadRequest()));
  Buffer answer{};
  int delivered = 0;
  while (Read(h, answer) == ReadResult::kOk && delivered < 1000) ++delivered;
  EXPECT_EQ(delivered, 64);
}

TEST_F(SimBusTest, CountsOpensAndClosesSoLeaksShow) {
  ASSERT_TRUE(bus_->Plug(MakeDevice({"dev/a0", "dev/a1"})));
  Handle a = OpenOk("dev/a0");
  Handle b = OpenOk("dev/a1");
  OpenOk("dev/a0");
  EXPECT_TRUE(system_->CloseHandle(a));
  EXPECT_TRUE(system_->CloseHandle(b));
  EXPECT_FALSE(system_->CloseHandle(b));
  EXPECT_EQ(bus_->counters().opens, 3u);
  EXPECT_EQ(bus_->counters().closes, 2u);
  EXPECT_EQ(bus_->counters().openNow(), 1u);
  system_.reset();  // a table going away closes what it still holds
  EXPECT_EQ(bus_->counters().openNow(), 0u);
}

TEST_F(SimBusTest, PlugRefusesTheSameDeviceOrATakenPath) {
  auto device = MakeDevice({"dev/a0"});
  EXPECT_TRUE(bus_->Plug(device));
  EXPECT_FALSE(bus_->Plug(device));
  EXPECT_FALSE(bus_->Plug(MakeDevice({"dev/b0", "dev/a0"})));
  EXPECT_FALSE(bus_->Plug(nullptr));
  EXPECT_EQ(system_->EnumerateInterfaces().size(), 1u);
}

TEST_F(SimBusTest, MadeUpPathsAreUniqueAndOpen) {
  auto first = std::make_shared<Device>();
  auto second = std::make_shared<Device>();
  EXPECT_NE(first->path(), second->path());
  ASSERT_TRUE(bus_->Plug(first));
  ASSERT_TRUE(bus_->Plug(second));
  OpenOk(first->path());
  OpenOk(second->path());
}

TEST(SimBusCallback, NotCalledOnceCleared) {
  auto bus = SimBus::Create();
  auto device = MakeDevice({"dev/a0"});
  int calls = 0;
  bus->SetRemovalCallback([&](const std::string&) { ++calls; });
  ASSERT_TRUE(bus->Plug(device));
  ASSERT_TRUE(bus->Unplug(device));
  EXPECT_EQ(calls, 1);
  bus->SetRemovalCallback(nullptr);
  ASSERT_TRUE(bus->Plug(device));
  ASSERT_TRUE(bus->Unplug(device));
  EXPECT_EQ(calls, 1);
}

// A writer on one thread, an unplug on another: once the unplug has
// returned, no write gets through, and nothing crashes on the way.
TEST_F(SimBusTest, WritesRacingAnUnplugFailCleanlyAfterIt) {
  auto device = MakeDevice({"dev/a0"});
  device->bootloader().SetCaptureEnabled(false);
  ASSERT_TRUE(bus_->Plug(device));
  Handle h = OpenOk("dev/a0");
  std::atomic<bool> unplugged{false};
  std::atomic<int> writes{0};
  std::atomic<int> lateSuccesses{0};
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const Buffer report = ToReport(korrin::sim::testing::EndFrame());
    for (int i = 0; i < 200000; ++i) {
      const bool after = unplugged.load();
      const bool ok = system_->WriteReport(h, report);
      writes.fetch_add(1);
      if (after && ok) lateSuccesses.fetch_add(1);
      if (after && !ok) break;
    }
    done.store(true);
  });
  while (writes.load() < 50 && !done.load()) std::this_thread::yield();
  ASSERT_TRUE(bus_->Unplug(device));
  unplugged.store(true);
  writer.join();
  EXPECT_EQ(lateSuccesses.load(), 0);
}

}  // namespace
}  // namespace korrin::hid::sim
