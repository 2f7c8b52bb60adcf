// What the program benchmarks share: the main window on an installed HID
// system and clock, images written to a scratch folder, a sink interface
// that takes every report, and the process's clocks and memory figures.
#pragma once

#include <time.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "image/image.h"
#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "platform/window/qt_view.h"
#include "platform/window/window.h"
#include "programming/transfer.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"
#include "sim/virtual_clock.h"
#include "ui/Korrin_HIDDlg.h"

namespace korrin::bench {

namespace sim = korrin::sim;
using Steady = std::chrono::steady_clock;

inline double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

inline long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  return -1;
}

inline std::string ScratchDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/korrin-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) std::abort();
    return std::string(pattern);
  }();
  return dir;
}

inline sim::ImageSpec LargestImage() {
  sim::ImageSpec params;
  params.payloadBytes = korrin::image::kMaxPayload;  // 1041 blocks
  params.version = {1, 10};
  params.seed = 5;
  return params;
}

inline std::string WriteImage(const std::string& name, const sim::ImageSpec& params) {
  const std::string path = ScratchDir() + "/" + name;
  std::string error;
  if (!sim::WriteImageFile(path, params, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
  return path;
}

// An interface that takes every report and answers none: the host's side
// of the data path with no device model behind it.
class SinkInterface final : public korrin::hid::OpenInterface {
 public:
  explicit SinkInterface(std::shared_ptr<std::atomic<bool>> gone) : gone_(std::move(gone)) {}
  bool Write(korrin::hid::ConstReport report) override {
    benchmark::DoNotOptimize(report.data());
    return !gone_->load();
  }
  korrin::hid::ReadResult Read(korrin::hid::Report, std::chrono::milliseconds) override {
    return gone_->load() ? korrin::hid::ReadResult::kFailed : korrin::hid::ReadResult::kTimeout;
  }
  void Cancel() override {}
  void Close() override {}

 private:
  std::shared_ptr<std::atomic<bool>> gone_;
};

class SinkBackend final : public korrin::hid::Backend {
 public:
  static constexpr const char* kPath = "sink-0";
  void Plug() {
    std::lock_guard lock(mutex_);
    gone_ = std::make_shared<std::atomic<bool>>(false);
    plugged_ = true;
  }
  void Unplug() {
    korrin::hid::RemovalCallback callback;
    {
      std::lock_guard lock(mutex_);
      plugged_ = false;
      gone_->store(true);
      callback = callback_;
    }
    if (callback) callback(kPath);
  }
  std::vector<korrin::hid::InterfaceRecord> Enumerate() override {
    std::lock_guard lock(mutex_);
    if (!plugged_) return {};
    return {korrin::hid::InterfaceRecord{kPath, korrin::hid::Attributes{0x16D0, 1, 0x100}}};
  }
  std::shared_ptr<korrin::hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    std::lock_guard lock(mutex_);
    if (!plugged_ || path != kPath) {
      if (error) *error = path + ": no such device";
      return nullptr;
    }
    return std::make_shared<SinkInterface>(gone_);
  }
  void SetRemovalCallback(korrin::hid::RemovalCallback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
  }

 private:
  std::mutex mutex_;
  bool plugged_ = false;
  std::shared_ptr<std::atomic<bool>> gone_ = std::make_shared<std::atomic<bool>>(true);
  korrin::hid::RemovalCallback callback_;
};

// Notes the moment the first data frame of a transfer is written.
class FirstFrameBackend final : public korrin::hid::Backend {
 public:
  explicit FirstFrameBackend(std::shared_ptr<korrin::hid::sim::SimBus> bus) : bus_(std::move(bus)) {}
  std::vector<korrin::hid::InterfaceRecord> Enumerate() override { return bus_->Enumerate(); }
  std::shared_ptr<korrin::hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    auto inner = bus_->Open(path, error);
    if (!inner) return nullptr;
    return std::make_shared<Watching>(std::move(inner), this);
  }
  void SetRemovalCallback(korrin::hid::RemovalCallback callback) override {
    bus_->SetRemovalCallback(std::move(callback));
  }
  void Arm() { firstFrame_.store(0); }
  std::optional<Steady::time_point> FirstFrame() const {
    const auto ticks = firstFrame_.load();
    if (ticks == 0) return std::nullopt;
    return Steady::time_point(Steady::duration(ticks));
  }

 private:
  class Watching final : public korrin::hid::OpenInterface {
   public:
    Watching(std::shared_ptr<korrin::hid::OpenInterface> inner, FirstFrameBackend* owner)
        : inner_(std::move(inner)), owner_(owner) {}
    bool Write(korrin::hid::ConstReport report) override {
      if (report[0] == korrin::protocol::kDataReportId) {
        Steady::rep expected = 0;
        owner_->firstFrame_.compare_exchange_strong(expected, Steady::now().time_since_epoch().count());
      }
      return inner_->Write(report);
    }
    korrin::hid::ReadResult Read(korrin::hid::Report into, std::chrono::milliseconds bound) override {
      return inner_->Read(into, bound);
    }
    void Cancel() override { inner_->Cancel(); }
    void Close() override { inner_->Close(); }

   private:
    std::shared_ptr<korrin::hid::OpenInterface> inner_;
    FirstFrameBackend* owner_;
  };
  std::shared_ptr<korrin::hid::sim::SimBus> bus_;
  std::atomic<Steady::rep> firstFrame_{0};
};

// The main window with the image chosen, on whatever HID system and clock
// are installed.
class Program {
 public:
  explicit Program(const std::string& image) {
    g_Comm.m_hDevice = 0;
    dialog_ = std::make_unique<CKorrin_HIDDlg>();
    if (!dialog_->Create()) std::abort();
    // Only the benchmark's own ticks scan.
    dialog_->KillTimer(ID_SCAN_TIMER);
    dialog_->m_strImagePath = image;
    (void)dialog_->UpdateData(FALSE);
    SetTransferImagePath(image);
  }
  ~Program() {
    dialog_->DestroyWindow();
    dialog_.reset();
    g_pProgramThread.reset();
  }
  void Tick() { dialog_->SendMessage(WM_TIMER, ID_SCAN_TIMER, 0); }
  bool PumpUntil(const std::function<bool()>& done) {
    const QDeadlineTimer deadline(std::chrono::seconds(120));
    while (!done()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }
  bool LastLineStartsWith(const std::string& prefix) const {
    const int n = dialog_->m_LogList.GetCount();
    for (int i = n - 1; i >= 0 && i >= n - 4; --i)
      if (dialog_->m_LogList.GetText(i).rfind(prefix, 0) == 0) return true;
    return false;
  }
  bool WaitForCompletion() {
    return PumpUntil([&] { return LastLineStartsWith("Current Firmware Version: ") || LastLineStartsWith("Update firmware failed"); });
  }
  bool WaitForRemoval() {
    return PumpUntil([&] { return !g_bAttached && (!g_pProgramThread || g_pProgramThread->Finished()); });
  }
  CKorrin_HIDDlg& dialog() { return *dialog_; }

 private:
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
};

inline std::shared_ptr<sim::Device> QuietDevice() {
  auto device = std::make_shared<sim::Device>();
  device->bootloader().SetCaptureEnabled(false);
  return device;
}

struct VirtualTime {
  VirtualTime() { korrin::platform::InstallClock(std::make_shared<sim::VirtualClock>()); }
  ~VirtualTime() { korrin::platform::InstallClock(nullptr); }
};

// The benchmarks need a QApplication (offscreen unless a platform is set).
inline int RunBenchmarks(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDir(), ignored);
  return 0;
}

}  // namespace korrin::bench
