// The whole program on the headless window layer, over the simulated bus and
// the virtual clock, for running devices through it one after another and
// checking what each leaves behind: the log lines it earned, the HID
// handles, threads and file descriptors of the process.
//
// The bus is wrapped so that a test can hold the transfer at a chosen data
// frame (and act while it provably runs), and see every report that went out.
#pragma once

#include <dirent.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "platform/threads.h"
#include "platform/window/window.h"
#include "programming/transfer.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"
#include "sim/virtual_clock.h"
#include "ui/Korrin_HIDDlg.h"

namespace korrin::testing {

// What the process holds that a device could leave behind.
struct Footprint {
  std::size_t hidHandles = 0;
  int threads = 0;
  int descriptors = 0;
  bool operator==(const Footprint&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Footprint& f) {
  return out << "{" << f.hidHandles << " HID handles, " << f.threads << " threads, " << f.descriptors
             << " descriptors}";
}

inline int CountEntries(const char* directory) {
  int n = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return n;
}

inline Footprint Measure() {
  // The descriptor opendir takes is counted every time alike.
  return Footprint{hid::System().OpenHandleCount(), CountEntries("/proc/self/task"), CountEntries("/proc/self/fd")};
}

// Resident and peak resident memory of the process, in KiB.
inline long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

// Holds the worker before data frame `at` (from 1) goes out, until Release.
// Bounded: a held worker goes on by itself when its thread is asked to stop
// (the window closing) or after a long grace period, so a failing test
// cannot hang the suite.
class Hold {
 public:
  void Arm(std::uint32_t at) {
    std::lock_guard lock(mutex_);
    at_ = at;
    seen_ = 0;
    held_ = false;
    released_ = false;
  }
  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  // On the worker's thread, before each data frame.
  void Pass() {
    std::unique_lock lock(mutex_);
    if (at_ == 0 || ++seen_ != at_) return;
    held_ = true;
    changed_.notify_all();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!released_ && !platform::WorkerThread::StopRequested() && std::chrono::steady_clock::now() < giveUp)
      changed_.wait_for(lock, std::chrono::milliseconds(2));
    at_ = 0;
  }
  [[nodiscard]] bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return held_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint32_t at_ = 0;
  std::uint32_t seen_ = 0;
  bool held_ = false;
  bool released_ = false;
};

class HoldingBackend final : public hid::Backend {
 public:
  explicit HoldingBackend(std::shared_ptr<hid::sim::SimBus> bus) : bus_(std::move(bus)) {}
  std::vector<hid::InterfaceRecord> Enumerate() override { return bus_->Enumerate(); }
  std::shared_ptr<hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    auto inner = bus_->Open(path, error);
    if (!inner) return nullptr;
    return std::make_shared<Holding>(std::move(inner), hold_);
  }
  void SetRemovalCallback(hid::RemovalCallback callback) override { bus_->SetRemovalCallback(std::move(callback)); }
  Hold& hold() { return *hold_; }

 private:
  class Holding final : public hid::OpenInterface {
   public:
    Holding(std::shared_ptr<hid::OpenInterface> inner, std::shared_ptr<Hold> hold)
        : inner_(std::move(inner)), hold_(std::move(hold)) {}
    bool Write(hid::ConstReport report) override {
      if (report[0] == protocol::kDataReportId) hold_->Pass();
      return inner_->Write(report);
    }
    hid::ReadResult Read(hid::Report into, std::chrono::milliseconds bound) override {
      return inner_->Read(into, bound);
    }
    void Cancel() override { inner_->Cancel(); }
    void Close() override { inner_->Close(); }

   private:
    std::shared_ptr<hid::OpenInterface> inner_;
    std::shared_ptr<Hold> hold_;
  };
  std::shared_ptr<hid::sim::SimBus> bus_;
  std::shared_ptr<Hold> hold_ = std::make_shared<Hold>();
};

// Root opens any file whatever its mode. Dropping the two capabilities that
// let it do so from this thread's effective set (threads started from here
// inherit it) makes a file without read permission refuse root too, without
// giving up root for good: the destructor raises them again.
class WithoutReadOverride {
 public:
  WithoutReadOverride() {
    if (::syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    const unsigned mask = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    reduced[0].effective &= ~mask;
    dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutReadOverride() {
    if (dropped_) (void)::syscall(SYS_capset, &header_, saved_);
  }
  WithoutReadOverride(const WithoutReadOverride&) = delete;
  WithoutReadOverride& operator=(const WithoutReadOverride&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
  bool dropped_ = false;
};

inline const std::vector<std::string> kRemovalLines = {"The device has been removed.", kStarLine};
inline const char* const kFailedLine = "Update firmware failed";
inline std::vector<std::string> AttachLines(const std::string& bootloader, const std::string& firmware) {
  return {kStarLine, "The device has been attached.", "Vantorel Systems product detected",
          "Bootloader Version: " + bootloader, "Firmware Version: " + firmware};
}
inline std::vector<std::string> CompletionLines(bool crcOk, const std::string& firmware) {
  return {"Update firmware successfully", crcOk ? "CRC check OK" : "CRC check failed",
          "Current Firmware Version: " + firmware};
}
inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class ProgramHarness : public ::testing::Test {
 protected:
  // Images the tests use: 40 blocks (the last one short), and one of another
  // size and contents to tell them apart.
  static constexpr std::uint32_t kPayload = 39 * 4032 + 1000;
  static constexpr std::uint32_t kOtherPayload = 12 * 4032 + 77;
  static constexpr std::uint32_t kBlocks = 40;
  static sim::ImageSpec MakeSpec(std::uint32_t payload, std::uint64_t seed, sim::Version version = {1, 10}) {
    sim::ImageSpec params;
    params.payloadBytes = payload;
    params.seed = seed;
    params.version = version;
    return params;
  }
  static sim::ImageSpec GoodSpec() { return MakeSpec(kPayload, 7); }
  static sim::ImageSpec OtherSpec() { return MakeSpec(kOtherPayload, 8, {1, 11}); }

  void SetUp() override {
    platform::InstallClock(clock_);
    InstallBus();
    window::SetView(nullptr);
    window::SetMessageSpy([this](HWND, UINT message, WPARAM wParam, LPARAM) {
      if (message == kDrainMarker) drained_ = wParam;
    });
    window::SetMessageBoxHook([this](const MessageBoxRequest& request) {
      messages_.push_back(request.text);
      return IDOK;
    });
    window::SetFileDialogHook([this](const FileDialogRequest&) {
      if (choices_.empty()) return FileDialogAnswer{IDCANCEL, ""};
      FileDialogAnswer answer{IDOK, choices_.front()};
      choices_.pop_front();
      return answer;
    });

    char pattern[] = "/tmp/korrin-hardening-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    goodImage_ = Path("good.bin");
    std::string error;
    ASSERT_TRUE(sim::WriteImageFile(goodImage_, GoodSpec(), &error)) << error;

    ResetProcessState();
    OpenWindow();
  }

  void TearDown() override {
    backend_->hold().Release();
    CloseWindow();
    window::SetMessageSpy(nullptr);
    window::SetMessageBoxHook(nullptr);
    window::SetFileDialogHook(nullptr);
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }

  // A fresh HID system on the bus, as a new run of the program has.
  void InstallBus() {
    // The old system goes first: it withdraws its removal callback from the
    // bus, which would otherwise take the new system's.
    hid::InstallSystem(hid::MakeNullBackend());
    backend_ = std::make_shared<HoldingBackend>(bus_);
    hid::InstallSystem(backend_);
  }
  static void ResetProcessState() {
    g_strDevicePath.clear();
    g_hDevice = 0;
    g_Comm.m_hDevice = 0;
    g_Comm.m_strBootloaderVersion.clear();
    g_Comm.m_strFirmwareVersion.clear();
  }
  void OpenWindow() {
    dialog_ = std::make_unique<CKorrin_HIDDlg>();
    ASSERT_TRUE(dialog_->Create());
    // Polling runs on the real 100 ms timer as well, which is harmless: a
    // tick finds what the test's own tick would.
    UseImage(goodImage_);
  }
  void CloseWindow() {
    if (!dialog_) return;
    dialog_->DestroyWindow();
    dialog_.reset();  // joins a worker still running
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // The image of the next transfer, as if the operator had browsed to it.
  void UseImage(const std::string& path) {
    dialog_->m_strImagePath = path;
    (void)dialog_->UpdateData(FALSE);
    SetTransferImagePath(path);
  }
  void Browse(const std::string& choice) {
    choices_.push_back(choice);
    dialog_->SendMessage(WM_COMMAND, MakeCommandParam(IDC_BROWSE, BN_CLICKED), 0);
  }

  std::shared_ptr<sim::Device> NewDevice(sim::Version bootloader, sim::Version firmware, sim::LinkFaults faults = {},
                                         bool negativeVerdict = false, bool silent = false) {
    sim::DeviceConfig config;
    config.bootloader.bootloader = bootloader;
    config.bootloader.firmware = firmware;
    config.bootloader.negativeVerdict = negativeVerdict;
    config.bootloader.silent = silent;
    config.faults = faults;
    return std::make_shared<sim::Device>(config);
  }
  void PlugAndTick(const std::shared_ptr<sim::Device>& device) {
    ASSERT_TRUE(bus_->Plug(device));
    dialog_->SendMessage(WM_TIMER, ID_SCAN_TIMER, 0);
  }

  // Runs the event loop until `done` holds; false when it never did within a
  // generous bound (a bound only: nothing is timed).
  [[nodiscard]] bool PumpUntil(const std::function<bool()>& done) {
    const QDeadlineTimer deadline(std::chrono::seconds(60));
    while (!done()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }
  // Handles every message posted so far (they are handled in order).
  [[nodiscard]] bool Drain() {
    const WPARAM mark = ++drainMarks_;
    if (!dialog_->PostMessage(kDrainMarker, mark, 0)) return false;
    return PumpUntil([&] { return drained_ == mark; });
  }
  static bool WorkerEnded() { return !g_pProgramThread || g_pProgramThread->Finished(); }

  std::size_t LogSize() const { return static_cast<std::size_t>(dialog_->m_LogList.GetCount()); }
  // The log from line `from` on.
  std::vector<std::string> LogSince(std::size_t from) const {
    std::vector<std::string> lines;
    for (int i = static_cast<int>(from); i < dialog_->m_LogList.GetCount(); ++i)
      lines.push_back(dialog_->m_LogList.GetText(i));
    return lines;
  }
  static bool EndsUpdate(const std::string& line) {
    return line == kFailedLine || line.rfind("Current Firmware Version: ", 0) == 0;
  }
  bool UpdateEndedSince(std::size_t from) const {
    for (const std::string& line : LogSince(from))
      if (EndsUpdate(line)) return true;
    return false;
  }
  bool RemovedSince(std::size_t from) const {
    for (const std::string& line : LogSince(from))
      if (line == kRemovalLines[0]) return true;
    return false;
  }

  // Waits until the device's update has ended (or it is gone), pulls it out
  // if it is still in, and waits until the window has seen the removal, the
  // worker has ended and everything posted has been handled.
  [[nodiscard]] bool FinishDevice(const std::shared_ptr<sim::Device>& device, std::size_t logFrom) {
    if (!PumpUntil([&] { return (UpdateEndedSince(logFrom) || RemovedSince(logFrom)) && WorkerEnded(); }))
      return false;
    if (!Drain()) return false;
    if (bus_->IsPlugged(*device)) (void)bus_->Unplug(device);
    if (!PumpUntil([&] { return RemovedSince(logFrom) && WorkerEnded(); })) return false;
    return Drain();
  }

  // One good device from plug-in to removal, checked line for line; the
  // device must hold exactly `payload` afterwards.
  void ProgramGoodDevice(const std::vector<std::uint8_t>& payload, const std::string& newVersion = "1.10") {
    const std::size_t from = LogSize();
    auto device = NewDevice({2, 0}, {1, 0});
    PlugAndTick(device);
    ASSERT_TRUE(FinishDevice(device, from)) << "the next device's update did not end";
    EXPECT_EQ(LogSince(from), Join({AttachLines("2.0", "1.0"), CompletionLines(true, newVersion), kRemovalLines}));
    EXPECT_EQ(device->bootloader().Payload(), payload);
    EXPECT_EQ(device->bootloader().Verdicts(), std::vector<bool>{true});
    EXPECT_TRUE(device->bootloader().ProtocolErrors().empty());
  }

  // Waits (bounded) for threads that have ended to leave the process: a
  // worker flags its end a moment before its thread is gone.
  [[nodiscard]] Footprint SettledFootprint(const Footprint& expected) {
    Footprint now = Measure();
    const QDeadlineTimer deadline(std::chrono::seconds(10));
    // Settled once nothing exceeds the baseline: a leak is growth.
    const auto settled = [&] {
      return now.hidHandles == expected.hidHandles && now.descriptors <= expected.descriptors &&
             now.threads <= expected.threads;
    };
    while (!settled() && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      now = Measure();
    }
    return now;
  }

  std::shared_ptr<sim::VirtualClock> clock_ = std::make_shared<sim::VirtualClock>();
  std::shared_ptr<hid::sim::SimBus> bus_ = hid::sim::SimBus::Create();
  std::shared_ptr<HoldingBackend> backend_;
  std::filesystem::path dir_;
  std::string goodImage_;
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
  std::vector<std::string> messages_;
  std::deque<std::string> choices_;
  static constexpr UINT kDrainMarker = WM_APP + 0x3FE;
  WPARAM drainMarks_ = 0;
  WPARAM drained_ = 0;
};

}  // namespace korrin::testing
