// A small dialog for exercising the window layer, and bounded waiting on
// Qt's event loop.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <functional>
#include <string>
#include <vector>

#include "platform/window/window.h"

namespace korrin::window::testing {

inline constexpr int kList = 101;
inline constexpr int kCombo = 102;
inline constexpr int kEdit = 103;
inline constexpr int kProgress = 104;
inline constexpr int kButton = 105;
inline constexpr int kDefaultButton = 106;

// Runs Qt's events until `done` holds; false when `bound` ran out first.
inline bool WaitFor(const std::function<bool()>& done, int boundMs = 5000) {
  QDeadlineTimer deadline(boundMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// Template: a sorted notifying list box, a sorted drop-down combo, an edit
// box, a progress bar, a push button, and, when asked, a default push
// button. Window menu, minimise and maximise boxes, no sizing border.
inline DialogTemplate TestTemplate(bool withDefaultButton = false, UINT style = 0x90CB00C0) {
  DialogTemplate t;
  t.id = 900;
  t.caption = "Test";
  t.cx = 200;
  t.cy = 150;
  t.fontName = "MS Sans Serif";
  t.style = style;
  t.controls = {
      {-1, "BUTTON", "Group", 4, 4, 190, 30, 0x50000007, 0, 0},
      {kList, "LISTBOX", "", 4, 40, 190, 60, 0x50A10103, 0, 0},
      {kCombo, "COMBOBOX", "", 8, 14, 120, 60, 0x50210102, 0, 0},
      {kEdit, "EDIT", "", 4, 104, 100, 14, 0x50810080, 0, 0},
      {kProgress, "msctls_progress32", "", 4, 122, 190, 10, 0x50800001, 0, 0},
      {kButton, "BUTTON", "Push", 130, 14, 50, 14, 0x50010000, 0, 0},
  };
  if (withDefaultButton) t.controls.push_back({kDefaultButton, "BUTTON", "Go", 130, 104, 50, 14, 0x50010001, 0, 0});
  return t;
}

// Records every message it is sent, and binds the controls to members.
class TestDialog : public CDialog {
 public:
  explicit TestDialog(const DialogTemplate& t = TestTemplate(), CDialog* parent = nullptr) : CDialog(t, parent) {}

  CListBox list;
  CComboBox combo;
  CProgressCtrl progress;
  std::string editText;
  std::string comboText;
  std::vector<Received> received;
  std::function<void(UINT, WPARAM, LPARAM)> onMessage;

  void DoDataExchange(CDataExchange* pDX) override {
    DDX_Control(pDX, kList, list);
    DDX_Control(pDX, kCombo, combo);
    DDX_CBString(pDX, kCombo, comboText);
    DDX_Text(pDX, kEdit, editText);
    DDX_Control(pDX, kProgress, progress);
  }

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
    received.push_back({message, wParam, lParam});
    if (onMessage) onMessage(message, wParam, lParam);
    return CDialog::WindowProc(message, wParam, lParam);
  }

  int Count(UINT message) const {
    int n = 0;
    for (const Received& r : received) n += r.message == message ? 1 : 0;
    return n;
  }
  int CountCommand(int id, UINT code) const {
    int n = 0;
    for (const Received& r : received) {
      n += r.message == WM_COMMAND && r.wParam == MakeCommandParam(id, code) ? 1 : 0;
    }
    return n;
  }
};

// Every test starts headless, with no hooks left by another.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetHooks(); }
  void TearDown() override { ResetHooks(); }
  static void ResetHooks() {
    SetView(nullptr);
    SetModalHook(nullptr);
    SetMessageBoxHook(nullptr);
    SetFileDialogHook(nullptr);
    SetPopupMenuHook(nullptr);
    SetMessageSpy(nullptr);
    SetMainWindow(nullptr);
  }
};

}  // namespace korrin::window::testing
