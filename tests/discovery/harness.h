// The main window on the headless window layer, over simulated devices and
// the virtual clock, for driving the real discovery handlers.
//
// The HID backend the program sees is the simulated bus behind a thin layer
// that counts enumerations and can hold the transfer's data reports at a
// gate, so that a test can act while a transfer is provably in the middle.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "platform/window/window.h"
#include "programming/transfer.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"
#include "sim/virtual_clock.h"
#include "ui/Korrin_HIDDlg.h"

namespace korrin::testing {

// Holds data reports (report id 2) while closed. Bounded on both sides: a
// held writer goes on by itself after a long grace period, so a failing test
// cannot hang the suite.
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
  void Pass() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(60), [&] { return !closed_; });
    --waiting_;
    changed_.notify_all();
  }
  // True once `count` writers are held.
  [[nodiscard]] bool WaitForHeld(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return waiting_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int waiting_ = 0;
};

class GatedInterface final : public hid::OpenInterface {
 public:
  GatedInterface(std::shared_ptr<hid::OpenInterface> inner, std::shared_ptr<Gate> gate)
      : inner_(std::move(inner)), gate_(std::move(gate)) {}
  bool Write(hid::ConstReport report) override {
    if (report[0] == protocol::kDataReportId) gate_->Pass();
    return inner_->Write(report);
  }
  hid::ReadResult Read(hid::Report into, std::chrono::milliseconds bound) override { return inner_->Read(into, bound); }
  void Cancel() override { inner_->Cancel(); }
  void Close() override { inner_->Close(); }

 private:
  std::shared_ptr<hid::OpenInterface> inner_;
  std::shared_ptr<Gate> gate_;
};

class HarnessBackend final : public hid::Backend {
 public:
  explicit HarnessBackend(std::shared_ptr<hid::sim::SimBus> bus) : bus_(std::move(bus)) {}
  std::vector<hid::InterfaceRecord> Enumerate() override {
    ++enumerations_;
    return bus_->Enumerate();
  }
  std::shared_ptr<hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    auto inner = bus_->Open(path, error);
    if (!inner) return nullptr;
    return std::make_shared<GatedInterface>(std::move(inner), gate_);
  }
  void SetRemovalCallback(hid::RemovalCallback callback) override { bus_->SetRemovalCallback(std::move(callback)); }

  int enumerations() const { return enumerations_.load(); }
  Gate& gate() { return *gate_; }

 private:
  std::shared_ptr<hid::sim::SimBus> bus_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::atomic<int> enumerations_{0};
};

struct SimDeviceSpec {
  std::uint16_t vendorId = 0x16D0;
  std::uint16_t productId = 0x0001;
  std::uint16_t versionNumber = 0x0100;
  std::vector<sim::InterfaceSpec> interfaces;  // empty: one with a made-up path
  sim::Version bootloader{2, 0};
  sim::Version firmware{1, 0};
  bool negativeVerdict = false;
};

inline sim::InterfaceSpec At(std::string path) {
  sim::InterfaceSpec params;
  params.path = std::move(path);
  return params;
}
inline sim::InterfaceSpec Refusing(std::string path) {
  sim::InterfaceSpec params = At(std::move(path));
  params.openError = "permission denied";
  return params;
}
inline sim::InterfaceSpec NoPath(std::string path) {
  sim::InterfaceSpec params = At(std::move(path));
  params.pathUnreadable = true;
  return params;
}
inline sim::InterfaceSpec NoAttributes(std::string path) {
  sim::InterfaceSpec params = At(std::move(path));
  params.attributesUnreadable = true;
  return params;
}

inline std::shared_ptr<sim::Device> MakeDevice(const SimDeviceSpec& params) {
  sim::DeviceConfig config;
  config.vendorId = params.vendorId;
  config.productId = params.productId;
  config.versionNumber = params.versionNumber;
  config.interfaces = params.interfaces;
  config.bootloader.bootloader = params.bootloader;
  config.bootloader.firmware = params.firmware;
  config.bootloader.negativeVerdict = params.negativeVerdict;
  return std::make_shared<sim::Device>(config);
}

inline constexpr std::uint32_t kTestPayloadBytes = 10000;  // three blocks, the last one short
inline constexpr sim::Version kTestImageVersion{1, 10};

class DiscoveryHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::InstallClock(clock_);
    backend_ = std::make_shared<HarnessBackend>(bus_);
    hid::InstallSystem(backend_);
    window::SetView(nullptr);
    window::SetMessageSpy([this](HWND, UINT message, WPARAM, LPARAM) {
      if (message == WM_TIMER) ++timerMessages_;
    });

    char pattern[] = "/tmp/korrin-discovery-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    imagePath_ = (dir_ / kDefaultImageName).string();
    std::string error;
    ASSERT_TRUE(sim::WriteImageFile(imagePath_, ImageSpec(), &error)) << error;

    g_strDevicePath.clear();
    g_hDevice = 0;
    g_Comm.m_hDevice = 0;
    g_Comm.m_strBootloaderVersion.clear();
    g_Comm.m_strFirmwareVersion.clear();

    dialog_ = std::make_unique<CKorrin_HIDDlg>();
    ASSERT_TRUE(dialog_->Create());
    // As if the operator had browsed to the image.
    dialog_->m_strImagePath = imagePath_;
    dialog_->UpdateData(FALSE);
    SetTransferImagePath(imagePath_);
  }

  void TearDown() override {
    backend_->gate().Open();
    if (dialog_) {
      dialog_->DestroyWindow();
      dialog_.reset();  // joins a worker still running
    }
    window::SetMessageSpy(nullptr);
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  static sim::ImageSpec ImageSpec() {
    sim::ImageSpec params;
    params.payloadBytes = kTestPayloadBytes;
    params.version = kTestImageVersion;
    params.seed = 7;
    return params;
  }

  std::shared_ptr<sim::Device> Plug(const SimDeviceSpec& params = {}) {
    auto device = MakeDevice(params);
    EXPECT_TRUE(bus_->Plug(device));
    return device;
  }

  // One polling tick, through the window's message routing.
  void Tick(UINT_PTR id = ID_SCAN_TIMER) { dialog_->SendMessage(WM_TIMER, id, 0); }

  LRESULT Broadcast(WPARAM event, std::uint32_t deviceType, const std::string& path) {
    std::vector<std::uint8_t> record = window::BuildInterfaceBroadcast(deviceType, path);
    return dialog_->SendMessage(WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record.data()));
  }

  // Runs the event loop until `done` holds; false when it never did within a
  // generous bound (a bound only: nothing is timed).
  [[nodiscard]] bool WaitUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(std::chrono::seconds(20));
    while (!done()) {
      if (deadline.hasExpired()) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }

  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    for (int i = 0; i < dialog_->m_LogList.GetCount(); ++i) lines.push_back(dialog_->m_LogList.GetText(i));
    return lines;
  }
  bool LogHas(const std::string& line) const {
    for (const std::string& l : Log())
      if (l == line) return true;
    return false;
  }
  int LogCount(const std::string& line) const {
    int n = 0;
    for (const std::string& l : Log()) n += l == line;
    return n;
  }
  [[nodiscard]] bool WaitForLine(const std::string& line, int occurrences = 1) {
    return WaitUntil([&] { return LogCount(line) >= occurrences; });
  }
  bool WaitForCompletion(int occurrences = 1) {
    return WaitUntil([&] {
      int n = 0;
      for (const std::string& l : Log()) n += l.rfind("Current Firmware Version: ", 0) == 0;
      return n >= occurrences;
    });
  }

  std::string ComboText() const { return dialog_->m_DeviceCombo.GetWindowText(); }
  window::ComboBoxModel* Combo() const {
    return static_cast<window::ComboBoxModel*>(dialog_->window()->Control(IDC_DEVICE_COMBO));
  }
  std::size_t OpenHandles() const { return hid::System().OpenHandleCount(); }

  std::shared_ptr<sim::VirtualClock> clock_ = std::make_shared<sim::VirtualClock>();
  std::shared_ptr<hid::sim::SimBus> bus_ = hid::sim::SimBus::Create();
  std::shared_ptr<HarnessBackend> backend_;
  std::filesystem::path dir_;
  std::string imagePath_;
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
  std::atomic<int> timerMessages_{0};
};

inline const std::vector<std::string> kAttachHead = {kStarLine, "The device has been attached.",
                                                     "Vantorel Systems product detected"};

}  // namespace korrin::testing
