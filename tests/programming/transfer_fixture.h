// The main window on the headless window layer with one simulated device
// attached to the command channel, for driving the real announcement,
// worker and handlers of a transfer. The attach itself is done here by hand
// (open the interface, hand the handle to g_Comm) so that these tests do not
// depend on how a device is found.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../image/scratch_dir.h"
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

// Holds the worker's data reports while closed. A held worker goes on when
// the gate opens or when its thread is asked to stop (the window closing),
// and after a long grace period in any case, so a failing test cannot hang.
class Gate {
 public:
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      closed_ = false;
    }
    changed_.notify_all();
  }
  // On the worker's thread, before a data report goes out.
  void Pass() {
    std::unique_lock lock(mutex_);
    ++held_;
    changed_.notify_all();
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (closed_ && !platform::WorkerThread::StopRequested() && std::chrono::steady_clock::now() < giveUp) {
      changed_.wait_for(lock, std::chrono::milliseconds(2));
    }
    --held_;
  }
  [[nodiscard]] bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return held_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int held_ = 0;
};

// The simulated bus, with data reports passing the gate and scans counted.
class TestBackend final : public hid::Backend {
 public:
  explicit TestBackend(std::shared_ptr<hid::sim::SimBus> bus) : bus_(std::move(bus)) {}
  std::vector<hid::InterfaceRecord> Enumerate() override {
    ++enumerations_;
    return bus_->Enumerate();
  }
  std::shared_ptr<hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    auto inner = bus_->Open(path, error);
    if (!inner) return nullptr;
    return std::make_shared<Gated>(std::move(inner), gate_);
  }
  void SetRemovalCallback(hid::RemovalCallback callback) override { bus_->SetRemovalCallback(std::move(callback)); }
  int enumerations() const { return enumerations_.load(); }
  Gate& gate() { return *gate_; }

 private:
  class Gated final : public hid::OpenInterface {
   public:
    Gated(std::shared_ptr<hid::OpenInterface> inner, std::shared_ptr<Gate> gate)
        : inner_(std::move(inner)), gate_(std::move(gate)) {}
    bool Write(hid::ConstReport report) override {
      if (report[0] == protocol::kDataReportId) gate_->Pass();
      return inner_->Write(report);
    }
    hid::ReadResult Read(hid::Report into, std::chrono::milliseconds bound) override {
      return inner_->Read(into, bound);
    }
    void Cancel() override { inner_->Cancel(); }
    void Close() override { inner_->Close(); }

   private:
    std::shared_ptr<hid::OpenInterface> inner_;
    std::shared_ptr<Gate> gate_;
  };
  std::shared_ptr<hid::sim::SimBus> bus_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::atomic<int> enumerations_{0};
};

struct Posted {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool operator==(const Posted&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Posted& p) {
  return out << (p.message == WM_TRANSFER_FAILED ? "failed" : "progress") << "(" << p.wParam << ", " << p.lParam
             << ")";
}
inline Posted Progress(WPARAM p) { return {WM_UPDATE_PROGRESS, p, kProgressWritten}; }
inline Posted FailedBlock(WPARAM p) { return {WM_UPDATE_PROGRESS, p, kProgressFailedBlock}; }
inline Posted TransferFailed() { return {WM_TRANSFER_FAILED, 0, 0}; }

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InstallClock(clock_);
    backend_ = std::make_shared<TestBackend>(bus_);
    hid::InstallSystem(backend_);
    window::SetView(nullptr);
    window::SetMessageSpy([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) {
      if (message == kDrainMarker) drained_ = wParam;
      // The start marker is the starter's, not the worker's.
      if (message == WM_UPDATE_PROGRESS && lParam == kTransferStarting) return;
      if (message == WM_UPDATE_PROGRESS || message == WM_TRANSFER_FAILED) posted_.push_back({message, wParam, lParam});
    });
    g_pProgramThread.reset();
    g_Comm.m_hDevice = 0;
    g_Comm.m_strBootloaderVersion.clear();
    g_Comm.m_strFirmwareVersion.clear();
    g_strStatus.clear();

    dialog_ = std::make_unique<CKorrin_HIDDlg>();
    ASSERT_TRUE(dialog_->Create());
    // No polling: the device is attached by hand below.
    dialog_->KillTimer(ID_SCAN_TIMER);
  }

  void TearDown() override {
    backend_->gate().Open();
    if (dialog_) {
      dialog_->DestroyWindow();
      dialog_.reset();  // joins a worker still running
    }
    g_pProgramThread.reset();
    g_bAttached = false;
    g_Comm.m_hDevice = 0;
    window::SetMessageSpy(nullptr);
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
  }

  // Writes an image made for the simulated device (its image info announces
  // the payload's length and CRC) and makes it the image of the transfer.
  std::string UseImage(std::uint32_t payloadBytes, sim::Version version = {1, 10}, const std::string& name = "fw.bin") {
    sim::ImageSpec params;
    params.payloadBytes = payloadBytes;
    params.version = version;
    params.seed = payloadBytes + 11;
    const std::string path = dir_.Path(name);
    std::string error;
    EXPECT_TRUE(sim::WriteImageFile(path, params, &error)) << error;
    payload_ = sim::MakePayload(payloadBytes, params.seed);
    UsePath(path);
    return path;
  }
  void UsePath(const std::string& path) {
    dialog_->m_strImagePath = path;
    (void)dialog_->UpdateData(FALSE);
    SetTransferImagePath(path);
  }

  // Plugs a device and attaches it as the attach sequence leaves it just
  // before the announcement.
  std::shared_ptr<sim::Device> Attach(sim::DeviceConfig config = {}) {
    auto device = std::make_shared<sim::Device>(config);
    EXPECT_TRUE(bus_->Plug(device));
    const hid::Handle handle = hid::System().Open(device->path());
    EXPECT_NE(handle, hid::kInvalidHandle);
    g_hDevice = handle;
    g_Comm.m_hDevice = handle;
    g_bAttached = true;
    g_bUpdateDone = false;
    dialog_->m_Progress.EnableWindow(TRUE);
    return device;
  }

  // Processes the window's messages until `done` holds; bounded by a
  // generous deadline so a broken transfer fails instead of hanging.
  template <typename Done>
  [[nodiscard]] bool PumpUntil(Done done) {
    const QDeadlineTimer deadline(std::chrono::seconds(60));
    while (!done()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }
  // Handles every message posted so far: the window's messages are handled
  // in the order posted, so once a marker posted now arrives, all are.
  [[nodiscard]] bool Drain() {
    const WPARAM mark = ++drainMarks_;
    if (!dialog_->PostMessage(kDrainMarker, mark, 0)) return false;
    return PumpUntil([&] { return drained_ == mark; });
  }
  // Waits for the worker to end, then handles everything it posted.
  [[nodiscard]] bool FinishTransfer() {
    if (!PumpUntil([] { return g_pProgramThread && g_pProgramThread->Finished(); })) return false;
    return Drain();
  }
  // Announces the image and streams it, as the attach sequence does.
  void RunTransfer() {
    announceResult_ = dialog_->AnnounceImage();
    ASSERT_TRUE(StartTransfer(*dialog_));
    ASSERT_TRUE(FinishTransfer()) << "the transfer did not end";
  }

  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < dialog_->m_LogList.GetCount(); ++i) lines.push_back(dialog_->m_LogList.GetText(i));
    return lines;
  }
  std::vector<WPARAM> ProgressValues() const {
    std::vector<WPARAM> values;
    for (const Posted& p : posted_)
      if (p.message == WM_UPDATE_PROGRESS) values.push_back(p.wParam);
    return values;
  }
  // The commands of the command frames the device received, in order, as
  // (command, value) pairs; data frames are left out.
  static std::vector<std::pair<int, int>> CommandFrames(const sim::Device& device) {
    std::vector<std::pair<int, int>> frames;
    for (const auto& entry : device.bootloader().Capture()) {
      if (entry.direction != sim::CaptureEntry::Direction::kOut || entry.bytes.size() < 7) continue;
      if (entry.bytes[0] != protocol::kCommandReportId) continue;
      frames.emplace_back(entry.bytes[4], entry.bytes[5] | (entry.bytes[6] << 8));
    }
    return frames;
  }

  std::shared_ptr<sim::VirtualClock> clock_ = std::make_shared<sim::VirtualClock>();
  std::shared_ptr<hid::sim::SimBus> bus_ = hid::sim::SimBus::Create();
  std::shared_ptr<TestBackend> backend_;
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
  ScratchDir dir_;
  std::vector<std::uint8_t> payload_;
  std::vector<Posted> posted_;
  int announceResult_ = 0;
  // A message no handler takes, posted by Drain.
  static constexpr UINT kDrainMarker = WM_APP + 0x3FF;
  WPARAM drainMarks_ = 0;
  WPARAM drained_ = 0;
};

}  // namespace korrin::testing
