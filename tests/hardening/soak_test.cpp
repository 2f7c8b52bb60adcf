// The soak: a shift's worth of devices in a row, plug, program, pull, through
// the real handlers on the simulated bus with no bus delay and the virtual
// clock. Every update must end with "CRC check OK", and what the process
// holds at the end (HID handles, threads, descriptors, memory) must be what
// it held after the first ten devices.
//
// KORRIN_SOAK_DEVICES sets the number of devices (default 1000; the
// sanitizer builds run fewer, see CMakeLists.txt).
//
// Memory: the event log keeps every line by design (ten per device), so the
// heap in use is compared with the log's own share taken out; what is left
// is what the program keeps per device, and must not grow. Resident memory
// is printed next to it. Allocator figures mean nothing under ASan, whose
// leak check covers the same ground there.
#include <malloc.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORRIN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORRIN_SANITIZED 1
#endif
#endif

namespace korrin::testing {
namespace {

int DevicesToRun() {
  if (const char* text = std::getenv("KORRIN_SOAK_DEVICES")) {
    const int n = std::atoi(text);
    if (n >= 11) return n;
  }
  return 1000;
}

struct Memory {
  long residentKiB = 0;
  std::size_t heapInUse = 0;  // bytes handed out by malloc and not freed
  std::size_t logBytes = 0;   // the event log's rows and their texts
};

// The virtual clock without its record of every pause, which would grow
// with the devices and be counted against the program.
class PassingClock final : public platform::Clock {
 public:
  void Sleep(std::chrono::milliseconds duration) override { elapsed_ += duration.count(); }
  std::chrono::steady_clock::time_point Now() override {
    return std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(elapsed_.load());
  }
  long long elapsedMs() const { return elapsed_.load(); }

 private:
  std::atomic<long long> elapsed_{0};
};

class Soak : public ProgramHarness {
 protected:
  void SetUp() override {
    ProgramHarness::SetUp();
    platform::InstallClock(passing_);
  }
  std::shared_ptr<PassingClock> passing_ = std::make_shared<PassingClock>();

  std::size_t LogBytes() const {
    const auto* list = static_cast<window::ListBoxModel*>(dialog_->window()->Control(IDC_LOG_LIST));
    const std::vector<std::string>& rows = list->rows();
    std::size_t bytes = rows.capacity() * sizeof(std::string);
    for (const std::string& row : rows)
      // A text beyond the string's own buffer has a block of its own, whose
      // allocator header counts in the heap figure too.
      if (row.capacity() > std::string().capacity())
        bytes += malloc_usable_size(const_cast<char*>(row.data())) + sizeof(std::size_t);
    return bytes;
  }
  Memory MeasureMemory() const {
    (void)malloc_trim(0);
    const struct mallinfo2 info = mallinfo2();
    // Large blocks (the log's row array among them) are mapped on their own.
    return Memory{StatusKiB("VmRSS"), info.uordblks + info.hblkhd, LogBytes()};
  }
};

TEST_F(Soak, DeviceAfterDeviceEveryUpdateChecksOutAndNothingGrows) {
  const int devices = DevicesToRun();
  const std::vector<std::uint8_t> payload = sim::MakePayload(GoodSpec().payloadBytes, GoodSpec().seed);
  const std::vector<std::string> expected =
      Join({AttachLines("2.0", "1.0"), CompletionLines(true, "1.10"), kRemovalLines});

  Footprint afterTen;
  Memory memoryAfterTen;
  int bad = 0;
  for (int i = 0; i < devices; ++i) {
    // Taken between devices, as at the end, so that no device is alive.
    if (i == 10) {
      afterTen = SettledFootprint(Measure());
      memoryAfterTen = MeasureMemory();
    }
    const std::size_t from = LogSize();
    auto device = NewDevice({2, 0}, {1, 0});
    device->bootloader().SetCaptureEnabled(false);
    PlugAndTick(device);
    ASSERT_TRUE(FinishDevice(device, from)) << "device " << i + 1 << ": the job did not end";
    const std::vector<std::string> log = LogSince(from);
    if (log != expected || device->bootloader().Verdicts() != std::vector<bool>{true}) {
      ADD_FAILURE() << "device " << i + 1 << " was not programmed: " << ::testing::PrintToString(log);
      if (++bad == 5) FAIL() << "stopping after five bad devices";
    }
    if (i == 0) {
      EXPECT_EQ(device->bootloader().Payload(), payload);
    }
  }
  const Footprint atEnd = SettledFootprint(afterTen);
  const Memory memoryAtEnd = MeasureMemory();

  const long heapGrowth = static_cast<long>(memoryAtEnd.heapInUse) - static_cast<long>(memoryAfterTen.heapInUse);
  const long logGrowth = static_cast<long>(memoryAtEnd.logBytes) - static_cast<long>(memoryAfterTen.logBytes);
  std::printf(
      "soak: %d devices, %lld ms on the virtual clock\n"
      "  after 10 devices: %s, resident %ld KiB, heap in use %zu B (log %zu B)\n"
      "  after %d devices: %s, resident %ld KiB, heap in use %zu B (log %zu B)\n"
      "  growth: resident %+ld KiB, heap %+ld B, of which the log %+ld B, the rest %+ld B\n",
      devices, passing_->elapsedMs(), ::testing::PrintToString(afterTen).c_str(),
      memoryAfterTen.residentKiB, memoryAfterTen.heapInUse, memoryAfterTen.logBytes, devices,
      ::testing::PrintToString(atEnd).c_str(), memoryAtEnd.residentKiB, memoryAtEnd.heapInUse, memoryAtEnd.logBytes,
      memoryAtEnd.residentKiB - memoryAfterTen.residentKiB, heapGrowth, logGrowth, heapGrowth - logGrowth);
  RecordProperty("devices", devices);
  RecordProperty("resident_growth_kib", std::to_string(memoryAtEnd.residentKiB - memoryAfterTen.residentKiB));
  RecordProperty("heap_growth_beyond_log_bytes", std::to_string(heapGrowth - logGrowth));

  EXPECT_EQ(atEnd.hidHandles, afterTen.hidHandles) << atEnd;
  EXPECT_EQ(atEnd.descriptors, afterTen.descriptors) << atEnd;
  EXPECT_LE(atEnd.threads, afterTen.threads) << atEnd;
#ifndef KORRIN_SANITIZED
  // Slack for the allocator's bookkeeping and Qt's caches, which settle
  // within the first devices; a leak of 100 bytes per device exceeds it
  // over a thousand devices.
  constexpr long kHeapSlack = 64 * 1024;
  EXPECT_LE(heapGrowth - logGrowth, kHeapSlack) << "the heap grew beyond the log";
  // Resident memory moves in pages and keeps what the allocator has not
  // given back; beyond the log's growth it may move by a few hundred KiB.
  constexpr long kResidentSlackKiB = 512;
  EXPECT_LE(memoryAtEnd.residentKiB - memoryAfterTen.residentKiB, logGrowth / 1024 + kResidentSlackKiB);
#endif
}

}  // namespace
}  // namespace korrin::testing
