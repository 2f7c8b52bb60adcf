// The fault matrix: every way a device, the link, the operator or the image
// file can let a transfer down, through the real handlers on the headless
// window and the simulated device. For every row: the program neither
// crashes nor hangs, the log says what happened and nothing else, no HID
// handle, thread or file descriptor is left behind, and the next device is
// programmed correctly.
//
// This binary replaces the global allocation functions to see the largest
// request, so that an image refused for its length is shown to have been
// refused before a buffer of that length was asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../support/largest_allocation.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

using korrin::testing::largestRequest;

namespace korrin::testing {
namespace {

constexpr const char* kCannotOpen = "Cannot open the file";
constexpr const char* kNotAnImage = "This file is not a firmware image for this device";

class FaultMatrix : public ProgramHarness {
 protected:
  void SetUp() override {
    ProgramHarness::SetUp();
    if (HasFatalFailure()) return;
    // One whole job first, so that whatever the window system and the
    // libraries start once (threads, descriptors) is in the baseline.
    ProgramGoodDevice(sim::MakePayload(GoodSpec().payloadBytes, GoodSpec().seed));
    baseline_ = Measure();
  }

  // The program is as it was before the row, and the next device is
  // programmed correctly.
  void ExpectRecovered() {
    ProgramGoodDevice(goodPayload_);
    const Footprint after = SettledFootprint(baseline_);
    EXPECT_EQ(after.hidHandles, baseline_.hidHandles) << after;
    // A leak is growth. The baseline can hold a descriptor or a thread that
    // was only passing (a worker that just ended, the sanitizer runtime's
    // own), so fewer afterwards is no fault.
    EXPECT_LE(after.descriptors, baseline_.descriptors) << after;
    EXPECT_LE(after.threads, baseline_.threads) << after;
  }

  Footprint baseline_;
  const std::vector<std::uint8_t> goodPayload_ = sim::MakePayload(GoodSpec().payloadBytes, GoodSpec().seed);
};

// ------------------------------------------------- the device and the link

struct DeviceFaultCase {
  std::string name;
  sim::LinkFaults faults;
  bool negativeVerdict = false;
  bool silent = false;
  std::vector<std::string> log;      // what the device's job writes, line for line
  int dataFramesDelivered = -1;      // -1: not checked
  friend void PrintTo(const DeviceFaultCase& c, std::ostream* out) { *out << c.name; }
};

// The faulty device reports versions no other device has, so that a line
// about another device shows.
const sim::Version kFaultyBootloader{3, 1};
const sim::Version kFaultyFirmware{1, 5};
std::vector<std::string> FaultyAttach() { return AttachLines("3.1", "1.5"); }

// Writes of one update, counted from 1: the version request, the image info,
// 40 data frames, the end frame, the CRC request, the version request.
constexpr std::uint32_t kWriteVersionRequest = 1;
constexpr std::uint32_t kWriteImageInfo = 2;
constexpr std::uint32_t kWriteFirstBlock = 3;
constexpr std::uint32_t kWriteLastBlock = 2 + 40;
constexpr std::uint32_t kWriteEnd = kWriteLastBlock + 1;
constexpr std::uint32_t kWriteCrcRequest = kWriteEnd + 1;
constexpr std::uint32_t kWriteFinalVersionRequest = kWriteCrcRequest + 1;

std::vector<DeviceFaultCase> DeviceFaultCases() {
  std::vector<DeviceFaultCase> cases;
  for (std::uint32_t block = 1; block <= 40; ++block) {
    DeviceFaultCase c;
    c.name = "removed_before_block_" + std::to_string(block);
    c.faults.removeBeforeDataFrame = block;
    c.log = Join({FaultyAttach(), kRemovalLines, {kFailedLine}});
    c.dataFramesDelivered = static_cast<int>(block) - 1;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "removed_during_version_read";
    c.faults.removeDuringRead = 1;
    c.log = Join({AttachLines("0.0", "0.0"), kRemovalLines, {kFailedLine}});
    c.dataFramesDelivered = 0;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "removed_during_announcement";
    c.faults.removeOnWrite = kWriteImageInfo;
    c.log = Join({FaultyAttach(), kRemovalLines, {kFailedLine}});
    c.dataFramesDelivered = 0;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "removed_during_crc_wait";
    c.faults.removeDuringRead = 2;  // the first read of the verdict
    // The version could not be asked for: the line shows none rather than
    // the one the device had before the update.
    c.log = Join({FaultyAttach(), CompletionLines(false, ""), kRemovalLines});
    c.dataFramesDelivered = 40;
    cases.push_back(c);
  }
  struct WriteRow {
    const char* name;
    std::uint32_t write;
    std::vector<std::string> log;
  };
  const std::vector<WriteRow> writes = {
      // No version answer can come: the lines show no version rather than
      // the previous device's.
      {"version_request", kWriteVersionRequest, Join({AttachLines("", ""), CompletionLines(true, "1.10"), kRemovalLines})},
      // The announcement is repeated after a rescan and goes through.
      {"image_info", kWriteImageInfo, Join({FaultyAttach(), CompletionLines(true, "1.10"), kRemovalLines})},
      {"first_block", kWriteFirstBlock, Join({FaultyAttach(), {kFailedLine}, kRemovalLines})},
      {"block_20", kWriteFirstBlock + 19, Join({FaultyAttach(), {kFailedLine}, kRemovalLines})},
      {"last_block", kWriteLastBlock, Join({FaultyAttach(), {kFailedLine}, kRemovalLines})},
      // The device never saw the end of the image, so its verdict is bad
      // and it still runs the old firmware.
      {"end_frame", kWriteEnd, Join({FaultyAttach(), CompletionLines(false, "1.5"), kRemovalLines})},
      {"crc_request", kWriteCrcRequest, Join({FaultyAttach(), CompletionLines(false, "1.5"), kRemovalLines})},
      {"final_version_request", kWriteFinalVersionRequest,
       Join({FaultyAttach(), CompletionLines(true, ""), kRemovalLines})},
  };
  for (const WriteRow& row : writes) {
    DeviceFaultCase c;
    c.name = std::string("write_fails_") + row.name;
    c.faults.failWrites = {row.write};
    c.log = row.log;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "reads_never_answered";
    c.silent = true;
    c.log = Join({AttachLines("0.0", "0.0"), CompletionLines(false, "0.0"), kRemovalLines});
    c.dataFramesDelivered = 40;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "every_read_fails";
    c.faults.failAllReads = true;
    c.log = Join({AttachLines("0.0", "0.0"), CompletionLines(false, "0.0"), kRemovalLines});
    c.dataFramesDelivered = 40;
    cases.push_back(c);
  }
  {
    DeviceFaultCase c;
    c.name = "negative_verdict";
    c.negativeVerdict = true;
    c.log = Join({FaultyAttach(), CompletionLines(false, "1.5"), kRemovalLines});
    c.dataFramesDelivered = 40;
    cases.push_back(c);
  }
  return cases;
}

class DeviceFaultTest : public FaultMatrix, public ::testing::WithParamInterface<DeviceFaultCase> {};

TEST_P(DeviceFaultTest, LogTellsTheTruthAndTheNextDeviceIsProgrammed) {
  const DeviceFaultCase& c = GetParam();
  const std::size_t from = LogSize();
  const auto clockBefore = clock_->Elapsed();
  auto device = NewDevice(kFaultyBootloader, kFaultyFirmware, c.faults, c.negativeVerdict, c.silent);
  PlugAndTick(device);
  ASSERT_TRUE(FinishDevice(device, from)) << "the faulty device's job did not end";

  EXPECT_EQ(LogSince(from), c.log);
  if (c.dataFramesDelivered >= 0) {
    EXPECT_EQ(device->bootloader().DataFramesSeen().size(), static_cast<std::size_t>(c.dataFramesDelivered));
  }
  // Waits that no answer ends are bounded: on the virtual clock the whole
  // job took at most the version wait twice and the CRC wait once.
  EXPECT_LE(clock_->Elapsed() - clockBefore, std::chrono::milliseconds(2 * 100 * 10 + 50 * 100 + 100));
  ExpectRecovered();
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceFaultTest, ::testing::ValuesIn(DeviceFaultCases()),
                         [](const auto& info) { return info.param.name; });

// ------------------------------------------ the operator and the image file

enum class During { kCloseWindow, kBrowseSameImage, kBrowseOtherImage, kRewriteImage, kReplaceImage };
struct DuringCase {
  const char* name;
  During action;
  friend void PrintTo(const DuringCase& c, std::ostream* out) { *out << c.name; }
};

class DuringTransferTest : public FaultMatrix, public ::testing::WithParamInterface<DuringCase> {};

TEST_P(DuringTransferTest, TheRunningTransferAndTheNextAreSound) {
  const During action = GetParam().action;
  const std::string other = Path("other.bin");
  std::string error;
  ASSERT_TRUE(sim::WriteImageFile(other, OtherSpec(), &error)) << error;
  const std::vector<std::uint8_t> otherPayload = sim::MakePayload(OtherSpec().payloadBytes, OtherSpec().seed);

  const std::size_t from = LogSize();
  backend_->hold().Arm(10);
  auto device = NewDevice(kFaultyBootloader, kFaultyFirmware);
  PlugAndTick(device);
  ASSERT_TRUE(backend_->hold().WaitUntilHeld()) << "the transfer never reached block 10";

  switch (action) {
    case During::kCloseWindow: {
      CloseWindow();  // the worker is stopped and joined, not left running
      EXPECT_TRUE(!g_pProgramThread || g_pProgramThread->Finished());
      EXPECT_FALSE(device->bootloader().Update().ended) << "nothing more went to the device";
      // The block under way when the window closed may still have gone out.
      EXPECT_LE(device->bootloader().DataFramesSeen().size(), 10u);
      // Closing stops nothing else: the process ends there, and with it the
      // attached device's handle. That handle is the only one left.
      EXPECT_EQ(hid::System().OpenHandleCount(), baseline_.hidHandles + 1);
      ASSERT_TRUE(bus_->Unplug(device));
      // The next run of the program, in this process.
      InstallBus();
      ResetProcessState();
      OpenWindow();
      ExpectRecovered();
      return;
    }
    case During::kBrowseSameImage:
      Browse(goodImage_);
      // The worker holds the image: it is not opened twice, and nothing changes.
      EXPECT_EQ(messages_, std::vector<std::string>{kCannotOpen});
      EXPECT_EQ(dialog_->m_strImagePath, goodImage_);
      break;
    case During::kBrowseOtherImage:
      Browse(other);
      EXPECT_TRUE(messages_.empty());
      EXPECT_EQ(dialog_->m_strImagePath, other);
      EXPECT_EQ(g_Comm.m_strFilePath, other);
      break;
    case During::kRewriteImage: {
      // The same file written over in place, to other contents and length.
      const std::vector<std::uint8_t> bytes = sim::MakeImage(OtherSpec());
      std::ofstream out(goodImage_, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      out.close();
      ASSERT_TRUE(out.good());
      break;
    }
    case During::kReplaceImage:
      ASSERT_EQ(std::rename(other.c_str(), goodImage_.c_str()), 0);
      break;
  }
  backend_->hold().Release();
  ASSERT_TRUE(FinishDevice(device, from));

  // The running transfer sends the image as it was when it started.
  EXPECT_EQ(LogSince(from), Join({FaultyAttach(), CompletionLines(true, "1.10"), kRemovalLines}));
  EXPECT_EQ(device->bootloader().Payload(), goodPayload_);

  // The next transfer takes the image as it is now.
  if (action == During::kBrowseSameImage) {
    ProgramGoodDevice(goodPayload_);
  } else {
    ProgramGoodDevice(otherPayload, "1.11");
  }
  const Footprint after = SettledFootprint(baseline_);
  EXPECT_EQ(after.hidHandles, baseline_.hidHandles) << after;
  EXPECT_LE(after.descriptors, baseline_.descriptors) << after;
  EXPECT_LE(after.threads, baseline_.threads) << after;
}

INSTANTIATE_TEST_SUITE_P(Actions, DuringTransferTest,
                         ::testing::Values(DuringCase{"window_closed", During::kCloseWindow},
                                           DuringCase{"browse_to_the_image_being_sent", During::kBrowseSameImage},
                                           DuringCase{"browse_to_another_image", During::kBrowseOtherImage},
                                           DuringCase{"image_written_over_on_disk", During::kRewriteImage},
                                           DuringCase{"image_replaced_on_disk", During::kReplaceImage}),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------ paths that are no image

enum class BadPath { kDirectory, kFifo, kDeviceNode, kNoReadPermission, kEmpty, kSeveralGigabytes };
enum class Entry { kBrowse, kAttach };
struct BadPathCase {
  const char* name;
  BadPath path;
  Entry entry;
  const char* message;  // what Browse says
  friend void PrintTo(const BadPathCase& c, std::ostream* out) { *out << c.name; }
};

class BadPathTest : public FaultMatrix, public ::testing::WithParamInterface<BadPathCase> {
 protected:
  std::string Make(BadPath kind) {
    switch (kind) {
      case BadPath::kDirectory: {
        const std::string path = Path("folder.bin");
        EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
        return path;
      }
      case BadPath::kFifo: {
        const std::string path = Path("pipe.bin");
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return path;
      }
      case BadPath::kDeviceNode: {
        // A node of its own that names the null device: opening it could
        // never block or do harm, and it is a device all the same.
        const std::string path = Path("node.bin");
        if (::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) return "/dev/null";
        return path;
      }
      case BadPath::kNoReadPermission: {
        const std::string path = Path("locked.bin");
        std::string error;
        EXPECT_TRUE(sim::WriteImageFile(path, GoodSpec(), &error)) << error;
        EXPECT_EQ(::chmod(path.c_str(), 0200), 0);
        return path;
      }
      case BadPath::kEmpty: {
        const std::string path = Path("empty.bin");
        std::ofstream(path, std::ios::binary).close();
        return path;
      }
      case BadPath::kSeveralGigabytes: {
        const std::string path = Path("huge.bin");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, off_t{5} << 30), 0);  // sparse: no disk is used
        ::close(fd);
        return path;
      }
    }
    return {};
  }
};

TEST_P(BadPathTest, RefusedClearlyWithoutBlockingOrSendingAnything) {
  const BadPathCase& c = GetParam();
  const std::string path = Make(c.path);
  ASSERT_FALSE(HasFailure());
  std::optional<WithoutReadOverride> unprivileged;
  if (c.path == BadPath::kNoReadPermission) {
    unprivileged.emplace();
    // Without this the row would test nothing.
    const int fd = ::open(path.c_str(), O_RDONLY);
    const int openError = errno;
    if (fd >= 0) ::close(fd);
    ASSERT_LT(fd, 0) << "this thread can still read a file without read permission";
    ASSERT_EQ(openError, EACCES);
  }
  largestRequest = 0;

  if (c.entry == Entry::kBrowse) {
    Browse(path);
    EXPECT_EQ(messages_, std::vector<std::string>{c.message});
    EXPECT_EQ(dialog_->m_strImagePath, goodImage_) << "the refused path was taken";
    EXPECT_EQ(g_Comm.m_strFilePath, goodImage_);
    EXPECT_LT(largestRequest.load(), std::size_t{64} << 20);
    unprivileged.reset();
    ExpectRecovered();
    return;
  }

  // The path reaches the transfer as a typed path would.
  UseImage(path);
  const std::size_t from = LogSize();
  auto device = NewDevice(kFaultyBootloader, kFaultyFirmware);
  PlugAndTick(device);
  ASSERT_TRUE(FinishDevice(device, from));
  unprivileged.reset();
  EXPECT_EQ(LogSince(from), Join({FaultyAttach(), {kFailedLine}, kRemovalLines}));
  // Only the version request went out: no image info, no data.
  EXPECT_EQ(device->bootloader().ReportsReceived(), 1u);
  EXPECT_LT(largestRequest.load(), std::size_t{64} << 20);
  EXPECT_TRUE(messages_.empty());

  UseImage(goodImage_);
  ExpectRecovered();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, BadPathTest,
    ::testing::Values(BadPathCase{"browse_directory", BadPath::kDirectory, Entry::kBrowse, kCannotOpen},
                      BadPathCase{"browse_fifo", BadPath::kFifo, Entry::kBrowse, kCannotOpen},
                      BadPathCase{"browse_device_node", BadPath::kDeviceNode, Entry::kBrowse, kCannotOpen},
                      BadPathCase{"browse_no_read_permission", BadPath::kNoReadPermission, Entry::kBrowse, kCannotOpen},
                      BadPathCase{"browse_empty_file", BadPath::kEmpty, Entry::kBrowse, kNotAnImage},
                      BadPathCase{"browse_several_gigabytes", BadPath::kSeveralGigabytes, Entry::kBrowse, kNotAnImage},
                      BadPathCase{"attach_directory", BadPath::kDirectory, Entry::kAttach, nullptr},
                      BadPathCase{"attach_fifo", BadPath::kFifo, Entry::kAttach, nullptr},
                      BadPathCase{"attach_device_node", BadPath::kDeviceNode, Entry::kAttach, nullptr},
                      BadPathCase{"attach_no_read_permission", BadPath::kNoReadPermission, Entry::kAttach, nullptr},
                      BadPathCase{"attach_empty_file", BadPath::kEmpty, Entry::kAttach, nullptr},
                      BadPathCase{"attach_several_gigabytes", BadPath::kSeveralGigabytes, Entry::kAttach, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korrin::testing
