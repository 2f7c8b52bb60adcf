// Fixture for the main window on the headless backend, with bounded waiting
// on Qt's event loop.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/hid/hid.h"
#include "protocol/protocol.h"
#include "ui/Korrin_HIDDlg.h"

namespace korrin::ui::testing {

inline bool WaitFor(const std::function<bool()>& done, int boundMs = 5000) {
  QDeadlineTimer deadline(boundMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

// No interfaces; removals are announced by the test, from another thread.
class RemovalBackend final : public korrin::hid::Backend {
 public:
  std::vector<korrin::hid::InterfaceRecord> Enumerate() override { return {}; }
  std::shared_ptr<korrin::hid::OpenInterface> Open(const std::string&, std::string*) override { return nullptr; }
  void SetRemovalCallback(korrin::hid::RemovalCallback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
  }
  void Remove(const std::string& path) {
    std::thread([this, path] {
      std::lock_guard lock(mutex_);
      if (callback_) callback_(path);
    }).join();
  }

 private:
  std::mutex mutex_;
  korrin::hid::RemovalCallback callback_;
};

inline void ResetWindowHooks() {
  SetView(nullptr);
  SetModalHook(nullptr);
  SetMessageBoxHook(nullptr);
  SetFileDialogHook(nullptr);
  SetPopupMenuHook(nullptr);
  SetMessageSpy(nullptr);
  SetMainWindow(nullptr);
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetWindowHooks();
    backend_ = std::make_shared<RemovalBackend>();
    korrin::hid::InstallSystem(backend_);
    // What start-up must overwrite.
    g_bAttached = true;
    g_bUpdateDone = true;
    g_nDeviceIndex = 7;
    g_Comm.m_strFilePath = "stale.bin";
    dialog_ = std::make_unique<CKorrin_HIDDlg>();
  }
  void TearDown() override {
    if (dialog_ && dialog_->window() != nullptr) dialog_->DestroyWindow();
    dialog_.reset();
    ResetWindowHooks();
    korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  }
  void Open() {
    ASSERT_TRUE(dialog_->Create());
    SetMainWindow(dialog_.get());
  }
  DialogWindow& Window() { return *dialog_->window(); }
  ControlModel& Control(int id) { return *Window().Control(id); }
  ListBoxModel& Log() { return static_cast<ListBoxModel&>(Control(IDC_LOG_LIST)); }

  std::shared_ptr<RemovalBackend> backend_;
  std::unique_ptr<CKorrin_HIDDlg> dialog_;
};

}  // namespace korrin::ui::testing
