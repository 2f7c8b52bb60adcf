// The HID layer's handle table: what a handle is worth over its life, from
// any thread, and how removals reach the program.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "sim/bootloader.h"
#include "sim/virtual_clock.h"

namespace korrin::hid {
namespace {

using std::chrono::milliseconds;
using Buffer = std::array<std::uint8_t, kReportSize>;

// A read request, the one frame that is always answered.
Buffer ReadRequest() {
  Buffer r{};
  const std::uint8_t head[] = {0x01, 0x7F, 0xA5, 0x01, 0x00, 0x04, 0x00, 0xFA, 0xFF};
  std::copy(std::begin(head), std::end(head), r.begin());
  return r;
}

std::shared_ptr<korrin::sim::Device> MakeDevice(const std::string& path) {
  korrin::sim::DeviceConfig config;
  config.interfaces.emplace_back().path = path;
  return std::make_shared<korrin::sim::Device>(config);
}

class HidSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InstallClock(std::make_shared<korrin::sim::VirtualClock>());
    device_ = MakeDevice("hid/a");
    ASSERT_TRUE(bus_->Plug(device_));
  }
  void TearDown() override { platform::InstallClock(nullptr); }

  Handle OpenOk() {
    std::string error;
    const Handle h = system_->Open("hid/a", &error);
    EXPECT_NE(h, kInvalidHandle) << error;
    return h;
  }

  std::shared_ptr<sim::SimBus> bus_ = sim::SimBus::Create();
  std::unique_ptr<HidSystem> system_ = std::make_unique<HidSystem>(bus_);
  std::shared_ptr<korrin::sim::Device> device_;
};

TEST_F(HidSystemTest, HandlesAreNeverZeroNorInvalidNorReused) {
  std::set<Handle> seen;
  for (int i = 0; i < 200; ++i) {
    const Handle h = OpenOk();
    EXPECT_NE(h, Handle{0});
    EXPECT_NE(h, kInvalidHandle);
    EXPECT_TRUE(seen.insert(h).second) << "handle " << h << " issued twice";
    if (i % 2 == 0) {
      EXPECT_TRUE(system_->CloseHandle(h));
    }
  }
}

class UnissuedHandle : public HidSystemTest, public ::testing::WithParamInterface<Handle> {};

TEST_P(UnissuedHandle, FailsEveryOperation) {
  const Handle open = OpenOk();  // a live handle must not make others valid
  const Handle h = GetParam();
  Buffer into{};
  EXPECT_FALSE(system_->WriteReport(h, ReadRequest()));
  EXPECT_EQ(system_->ReadReport(h, into, milliseconds(10)), ReadResult::kFailed);
  system_->CancelIo(h);
  EXPECT_FALSE(system_->IsOpen(h));
  EXPECT_FALSE(system_->CloseHandle(h));
  EXPECT_EQ(device_->bootloader().ReportsReceived(), 0u);
  EXPECT_TRUE(system_->IsOpen(open));
  EXPECT_EQ(system_->OpenHandleCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Handles, UnissuedHandle, ::testing::Values(Handle{0}, kInvalidHandle, Handle{12345}),
                         [](const auto& info) {
                           return info.param == 0 ? std::string("zero")
                                  : info.param == kInvalidHandle ? std::string("invalid")
                                                                 : std::string("never_issued");
                         });

TEST_F(HidSystemTest, CloseInvalidatesThatHandleOnly) {
  const Handle a = OpenOk();
  const Handle b = OpenOk();
  ASSERT_TRUE(system_->WriteReport(a, ReadRequest()));
  ASSERT_TRUE(system_->CloseHandle(a));
  Buffer into{};
  EXPECT_FALSE(system_->IsOpen(a));
  EXPECT_FALSE(system_->WriteReport(a, ReadRequest()));
  EXPECT_EQ(system_->ReadReport(a, into, milliseconds(10)), ReadResult::kFailed) << "even with an answer queued";
  EXPECT_FALSE(system_->CloseHandle(a));
  EXPECT_EQ(device_->bootloader().ReportsReceived(), 1u);
  // The other handle got its own copy of the answer and still works.
  EXPECT_EQ(system_->ReadReport(b, into, milliseconds(10)), ReadResult::kOk);
  EXPECT_TRUE(system_->WriteReport(b, ReadRequest()));
  EXPECT_EQ(system_->OpenHandleCount(), 1u);
}

// One thread keeps using a handle, the other closes it. Every operation
// after the first failure fails too, and nothing touches freed memory (run
// under the sanitizers).
TEST_F(HidSystemTest, HandleClosedFromAnotherThreadFailsCleanly) {
  device_->bootloader().SetCaptureEnabled(false);
  const Handle h = OpenOk();
  std::atomic<int> ops{0};
  std::atomic<bool> done{false};
  std::atomic<int> successesAfterFailure{0};
  std::thread user([&] {
    Buffer into{};
    bool failed = false;
    int after = 0;
    for (int i = 0; i < 1000000 && after < 100; ++i) {
      const bool wrote = system_->WriteReport(h, ReadRequest());
      const bool read = system_->ReadReport(h, into, milliseconds(1)) == ReadResult::kOk;
      system_->CancelIo(h);
      if (failed) {
        ++after;
        if (wrote || read) successesAfterFailure.fetch_add(1);
      }
      if (!wrote) failed = true;
      ops.fetch_add(1);
    }
    done.store(true);
  });
  while (ops.load() < 100 && !done.load()) std::this_thread::yield();
  // Counted before the close: on a loaded machine the user thread can make
  // all its failing attempts before this thread runs again.
  const int atClose = ops.load();
  EXPECT_TRUE(system_->CloseHandle(h));
  user.join();
  EXPECT_EQ(successesAfterFailure.load(), 0);
  EXPECT_GT(ops.load(), atClose) << "the user thread should have kept trying after the close";
  EXPECT_EQ(system_->OpenHandleCount(), 0u);
  EXPECT_EQ(bus_->counters().closes, 1u);
}

TEST_F(HidSystemTest, RemovalReachesEverySubscriberWithThePath) {
  std::mutex mutex;
  std::vector<std::string> first, second;
  const int a = system_->SubscribeRemoval([&](const std::string& p) {
    std::lock_guard lock(mutex);
    first.push_back(p);
  });
  system_->SubscribeRemoval([&](const std::string& p) {
    std::lock_guard lock(mutex);
    second.push_back(p);
  });
  ASSERT_TRUE(bus_->Unplug(device_));
  EXPECT_EQ(first, std::vector<std::string>{"hid/a"});
  EXPECT_EQ(second, std::vector<std::string>{"hid/a"});

  system_->Unsubscribe(a);
  ASSERT_TRUE(bus_->Plug(device_));
  ASSERT_TRUE(bus_->Unplug(device_));
  EXPECT_EQ(first.size(), 1u);
  EXPECT_EQ(second.size(), 2u);
}

TEST_F(HidSystemTest, RemovedDevicesHandlesFailButStayInTheTableUntilClosed) {
  const Handle h = OpenOk();
  ASSERT_TRUE(bus_->Unplug(device_));
  Buffer into{};
  EXPECT_FALSE(system_->WriteReport(h, ReadRequest()));
  EXPECT_EQ(system_->ReadReport(h, into, milliseconds(10)), ReadResult::kFailed);
  EXPECT_EQ(system_->OpenHandleCount(), 1u);
  EXPECT_TRUE(system_->CloseHandle(h));
  EXPECT_EQ(system_->OpenHandleCount(), 0u);
  EXPECT_EQ(bus_->counters().openNow(), 0u);
}

// The table installs its removal callback when it is made and withdraws it
// when it goes: a removal after that must not reach the dead table.
TEST_F(HidSystemTest, NoRemovalReachesATableThatIsGone) {
  int calls = 0;
  system_->SubscribeRemoval([&](const std::string&) { ++calls; });
  OpenOk();
  system_.reset();
  EXPECT_EQ(bus_->counters().openNow(), 0u) << "the table closes what it holds";
  ASSERT_TRUE(bus_->Unplug(device_));
  EXPECT_EQ(calls, 0);
}

TEST(ProcessWideSystem, FailsCleanlyUntilInstalledThenUsesTheBackend) {
  std::string error;
  EXPECT_TRUE(System().EnumerateInterfaces().empty());
  EXPECT_EQ(System().Open("hid/z", &error), kInvalidHandle);
  EXPECT_NE(error.find("hid/z"), std::string::npos) << error;

  auto bus = sim::SimBus::Create();
  ASSERT_TRUE(bus->Plug(MakeDevice("hid/z")));
  InstallSystem(bus);
  ASSERT_EQ(System().EnumerateInterfaces().size(), 1u);
  const Handle h = System().Open("hid/z", &error);
  EXPECT_NE(h, kInvalidHandle) << error;
  EXPECT_TRUE(System().CloseHandle(h));
  InstallSystem(MakeNullBackend());
  EXPECT_EQ(bus->counters().openNow(), 0u);
}

}  // namespace
}  // namespace korrin::hid
