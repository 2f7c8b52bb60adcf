// The Linux HID backend against the kernel's own HID stack: runs inside the
// virtual machine that tests/e2e/run-in-guest.sh boots, where korrin-sim-uhid
// presents the simulated bootloader through /dev/uhid. Every case starts a
// device of its own and ends it, so a case sees its device appear, answer and
// go exactly as a plugged-in one would.
//
//   korrin-e2e-backend-test --sim=PATH [gtest options]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/hid/hid.h"
#include "platform/hid/linux_backend.h"
#include "protocol/protocol.h"

namespace korrin::hid {
namespace {

using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string g_simPath;

long Millis(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count()); }

// One korrin-sim-uhid process at real-time priority, its standard output on
// a pipe.
class SimDevice {
 public:
  // Starts the device and waits (bounded) until the kernel has started it.
  static std::unique_ptr<SimDevice> Start(std::vector<std::string> args) {
    auto sim = std::unique_ptr<SimDevice>(new SimDevice);
    int fds[2];
    if (pipe(fds) != 0) return nullptr;
    std::vector<std::string> argv = {"chrt", "-f", "50", g_simPath};
    argv.insert(argv.end(), args.begin(), args.end());
    sim->pid_ = fork();
    if (sim->pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      execvp(raw[0], raw.data());
      _exit(127);
    }
    close(fds[1]);
    sim->out_ = fds[0];
    if (!sim->WaitForLine("started", milliseconds(10000))) {
      ADD_FAILURE() << "korrin-sim-uhid did not start; it said: " << sim->output_;
      return nullptr;
    }
    return sim;
  }

  ~SimDevice() { Stop(); }

  // Unplugs the device (SIGTERM makes it destroy the uhid device), then
  // collects its output until it ends.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    WaitForLine("summary ", milliseconds(10000));
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    close(out_);
  }

  const std::string& output() const { return output_; }

 private:
  SimDevice() = default;

  bool WaitForLine(const std::string& start, milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      if (output_.find("\n" + start) != std::string::npos || output_.rfind(start, 0) == 0) return true;
      auto left = Millis(deadline - Clock::now());
      if (left <= 0) return false;
      pollfd fd{out_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) return false;
      char buffer[512];
      ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, n);
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

// Waits (bounded) until enumeration shows an interface of `vendor`; the node
// appears a moment after the kernel starts the device.
std::optional<InterfaceRecord> WaitForInterface(HidSystem& hid, std::uint16_t vendor, std::size_t* count = nullptr) {
  const auto deadline = Clock::now() + milliseconds(10000);
  do {
    auto records = hid.EnumerateInterfaces();
    std::vector<InterfaceRecord> matches;
    for (auto& r : records)
      if (r.attributes && r.attributes->vendorId == vendor) matches.push_back(r);
    if (!matches.empty()) {
      if (count) *count = matches.size();
      return matches.front();
    }
    std::this_thread::sleep_for(milliseconds(5));
  } while (Clock::now() < deadline);
  return std::nullopt;
}

std::array<std::uint8_t, kReportSize> ReadRequest() {
  std::array<std::uint8_t, kReportSize> report{};
  protocol::BuildReadRequestFrame(Report(report), protocol::kCmdReadInfo, protocol::kReadInfoValue);
  return report;
}

class GuestBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    LinuxBackendOptions options;
    options.diagnostics = [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      diagnostics_.push_back(line);
    };
    hid_ = std::make_unique<HidSystem>(MakeLinuxBackend(options));
  }

  // Starts a device and opens it; fails the case when either does not work.
  void Plug(std::vector<std::string> args = {}) {
    sim_ = SimDevice::Start(std::move(args));
    ASSERT_TRUE(sim_);
    auto found = WaitForInterface(*hid_, 0x16D0);
    ASSERT_TRUE(found) << "no hidraw node appeared for the device";
    path_ = *found->path;
    std::string error;
    handle_ = hid_->Open(path_, &error);
    ASSERT_NE(handle_, kInvalidHandle) << error;
  }

  std::unique_ptr<HidSystem> hid_;
  std::unique_ptr<SimDevice> sim_;
  std::string path_;
  Handle handle_ = kInvalidHandle;
  std::mutex mutex_;
  std::vector<std::string> diagnostics_;
};

TEST_F(GuestBackend, EnumerationListsTheNodeOnceWithTheDeviceIds) {
  sim_ = SimDevice::Start({"--product", "0042", "--version", "0123"});
  ASSERT_TRUE(sim_);
  std::size_t count = 0;
  auto found = WaitForInterface(*hid_, 0x16D0, &count);
  ASSERT_TRUE(found);
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(std::regex_match(*found->path, std::regex("/dev/hidraw[0-9]+"))) << *found->path;
  ASSERT_TRUE(found->attributes);
  EXPECT_EQ(found->attributes->productId, 0x0042);
  // The version number is read from a USB parent; a uhid device has none.
  EXPECT_EQ(found->attributes->versionNumber, 0);
}

TEST_F(GuestBackend, ReadRequestIsAnsweredWithTheVersions) {
  Plug({"--bootloader", "3.7", "--firmware", "1.12"});
  auto request = ReadRequest();
  ASSERT_TRUE(hid_->WriteReport(handle_, ConstReport(request)));
  std::array<std::uint8_t, kReportSize> answer;
  answer.fill(0xEE);
  ASSERT_EQ(hid_->ReadReport(handle_, Report(answer), milliseconds(5000)), ReadResult::kOk);
  EXPECT_EQ(answer[0], 1) << "report id";
  EXPECT_EQ(answer[7], 7);
  EXPECT_EQ(answer[8], 3);
  EXPECT_EQ(answer[9], 12);
  EXPECT_EQ(answer[10], 1);
  // The whole 4096-byte report was delivered: nothing of the fill is left.
  EXPECT_EQ(std::count(answer.begin(), answer.end(), 0xEE), 0);
}

TEST_F(GuestBackend, ReadWithNothingToReadTimesOutAfterItsBound) {
  Plug();
  std::array<std::uint8_t, kReportSize> answer{};
  const auto start = Clock::now();
  EXPECT_EQ(hid_->ReadReport(handle_, Report(answer), milliseconds(150)), ReadResult::kTimeout);
  EXPECT_GE(Millis(Clock::now() - start), 150);
}

TEST_F(GuestBackend, AnswerQueuedBeforeTheReadIsDelivered) {
  // The channel reads only after its pause; the answer waits in the kernel.
  Plug();
  auto request = ReadRequest();
  ASSERT_TRUE(hid_->WriteReport(handle_, ConstReport(request)));
  std::this_thread::sleep_for(milliseconds(200));
  hid_->CancelIo(handle_);  // as before every write; must not drop queued input
  std::array<std::uint8_t, kReportSize> answer{};
  EXPECT_EQ(hid_->ReadReport(handle_, Report(answer), milliseconds(5000)), ReadResult::kOk);
  EXPECT_EQ(answer[8], 2);
}

// Runs a read with a long bound on another thread and reports how it ended.
struct BackgroundRead {
  BackgroundRead(HidSystem& hid, Handle handle)
      : thread([&hid, handle, this] {
          std::array<std::uint8_t, kReportSize> buffer{};
          started = true;
          result = hid.ReadReport(handle, Report(buffer), milliseconds(30000));
          done = true;
        }) {}
  ~BackgroundRead() { thread.join(); }
  // Calls `poke` every 20 ms until the read has ended (at most `bound`); a
  // poke that lands before the read has begun is simply repeated.
  bool EndsAfter(const std::function<void()>& poke, milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    while (!done && Clock::now() < deadline) {
      if (started) poke();
      std::this_thread::sleep_for(milliseconds(20));
    }
    return done;
  }
  std::atomic<bool> started{false}, done{false};
  std::atomic<ReadResult> result{ReadResult::kOk};
  std::thread thread;
};

TEST_F(GuestBackend, CancelWakesAReadWaitingOnAnotherThread) {
  Plug();
  const auto start = Clock::now();
  BackgroundRead read(*hid_, handle_);
  ASSERT_TRUE(read.EndsAfter([&] { hid_->CancelIo(handle_); }, milliseconds(5000)));
  EXPECT_EQ(read.result.load(), ReadResult::kFailed);
  std::printf("measure: cancel ended a waiting read after %ld ms\n", Millis(Clock::now() - start));
  // The handle still works after a cancel.
  auto request = ReadRequest();
  EXPECT_TRUE(hid_->WriteReport(handle_, ConstReport(request)));
}

TEST_F(GuestBackend, CloseWhileAnotherThreadReadsFailsThatReadAndEveryLaterCall) {
  Plug();
  BackgroundRead read(*hid_, handle_);
  ASSERT_TRUE(read.EndsAfter([&] { (void)hid_->CloseHandle(handle_); }, milliseconds(5000)));
  EXPECT_EQ(read.result.load(), ReadResult::kFailed);
  auto request = ReadRequest();
  EXPECT_FALSE(hid_->WriteReport(handle_, ConstReport(request)));
}

TEST_F(GuestBackend, RemovalIsNotifiedWithTheNodePathAndFailsIo) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> removed;
  hid_->SubscribeRemoval([&](const std::string& path) {
    std::lock_guard lock(mutex);
    removed.push_back(path);
    changed.notify_all();
  });
  Plug();
  BackgroundRead read(*hid_, handle_);
  while (!read.started) std::this_thread::yield();
  const auto unplugged = Clock::now();
  sim_->Stop();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, milliseconds(5000), [&] { return !removed.empty(); }))
        << "no removal notification";
    EXPECT_EQ(removed.front(), path_);
  }
  std::printf("measure: removal notified %ld ms after the unplug began\n", Millis(Clock::now() - unplugged));
  ASSERT_TRUE(read.EndsAfter([] {}, milliseconds(5000))) << "a read survived the removal";
  EXPECT_EQ(read.result.load(), ReadResult::kFailed);
  auto request = ReadRequest();
  EXPECT_FALSE(hid_->WriteReport(handle_, ConstReport(request)));
  EXPECT_TRUE(hid_->CloseHandle(handle_));
}

TEST_F(GuestBackend, EveryReportOfALongRunArrives) {
  // uhid takes writes without waiting for the device; a write that succeeds
  // proves nothing until the device has counted it.
  Plug();
  constexpr int kBlocks = 300;
  std::vector<std::uint8_t> data(4032, 0x5A);
  std::array<std::uint8_t, kReportSize> report{};
  const auto start = Clock::now();
  for (int k = 0; k < kBlocks; ++k) {
    ASSERT_TRUE(protocol::BuildDataFrame(Report(report), protocol::kCmdDataBlock, 4032, 63u * k, data.data()));
    ASSERT_TRUE(hid_->WriteReport(handle_, ConstReport(report))) << "block " << k;
  }
  std::printf("measure: %d data reports written in %ld ms\n", kBlocks, Millis(Clock::now() - start));
  (void)hid_->CloseHandle(handle_);
  sim_->Stop();
  EXPECT_THAT(sim_->output(), HasSubstr("summary reports=" + std::to_string(kBlocks) +
                                        " data_frames=" + std::to_string(kBlocks) + " "));
}

// What udevd has done with the node, as the backend can see it: not running
// at all (a container, this guest), still busy with the new device, or done.
enum class Udev { kAbsent, kSettingUp, kDone };

struct NoticeCase {
  const char* name;
  const char* vendor;
  Udev udev;
  std::size_t lines;
};

// Stands in for udevd's traces in /run/udev for the length of a case: its
// control socket says it runs, a database entry for the node says it has
// handled the device.
class FakeUdevState {
 public:
  FakeUdevState(Udev udev, const std::string& node) {
    if (udev == Udev::kAbsent) return;
    struct stat status {};
    if (stat(node.c_str(), &status) != 0) return;
    std::filesystem::create_directories("/run/udev/data");
    std::FILE* control = std::fopen("/run/udev/control", "w");
    if (control) std::fclose(control);
    if (udev == Udev::kDone) {
      entry_ = "/run/udev/data/c" + std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
      std::FILE* db = std::fopen(entry_.c_str(), "w");
      if (db) std::fclose(db);
    }
  }
  ~FakeUdevState() { std::filesystem::remove_all("/run/udev"); }

 private:
  std::string entry_;
};

void PrintTo(const NoticeCase& c, std::ostream* os) { *os << c.name; }

class UnopenableDevice : public ::testing::TestWithParam<NoticeCase> {};

// What an operator without the udev rule sees: the open fails, says why, and
// the notice appears once for the programmer's vendor only, however often
// the scan retries, and not while udevd may still be granting access.
TEST_P(UnopenableDevice, IsExplainedOncePerPath) {
  const auto& c = GetParam();
  auto sim = SimDevice::Start({"--vendor", c.vendor});
  ASSERT_TRUE(sim);
  std::optional<InterfaceRecord> found;
  {
    HidSystem root(MakeLinuxBackend({}));
    found = WaitForInterface(root, static_cast<std::uint16_t>(std::stoul(c.vendor, nullptr, 16)));
    ASSERT_TRUE(found);
  }
  FakeUdevState udev(c.udev, *found->path);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    std::string report = "could not drop privileges";
    if (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0) {
      std::vector<std::string> lines;
      LinuxBackendOptions options;
      options.diagnostics = [&](const std::string& line) { lines.push_back(line); };
      auto backend = MakeLinuxBackend(options);
      std::string error;
      for (int scan = 0; scan < 3; ++scan)
        for (auto& record : backend->Enumerate()) {
          if (backend->Open(*record.path, &error)) error = "opened " + *record.path;
        }
      report = "lines=" + std::to_string(lines.size()) + "\nerror=" + error + "\n";
      for (auto& line : lines) report += "line=" + line + "\n";
    }
    [[maybe_unused]] auto written = write(fds[1], report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string report;
  char buffer[1024];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  close(fds[0]);
  waitpid(child, nullptr, 0);

  EXPECT_THAT(report, HasSubstr("lines=" + std::to_string(c.lines) + "\n"));
  EXPECT_THAT(report, HasSubstr("permission denied: install the udev rule"));
  if (c.lines) {
    EXPECT_THAT(report, HasSubstr("but cannot open it: permission denied"));
  }
}

INSTANTIATE_TEST_SUITE_P(Vendors, UnopenableDevice,
                         ::testing::Values(NoticeCase{"programmer_vendor", "16D0", Udev::kAbsent, 1},
                                           NoticeCase{"other_vendor", "1234", Udev::kAbsent, 0},
                                           NoticeCase{"udev_still_setting_up", "16D0", Udev::kSettingUp, 0},
                                           NoticeCase{"udev_done", "16D0", Udev::kDone, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korrin::hid

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--sim=", 6) == 0) korrin::hid::g_simPath = argv[i] + 6;
  if (korrin::hid::g_simPath.empty()) {
    std::fprintf(stderr, "usage: %s --sim=PATH-TO-korrin-sim-uhid [gtest options]\n", argv[0]);
    return 2;
  }
  return RUN_ALL_TESTS();
}
