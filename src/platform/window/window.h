// The window layer: dialogs, their controls, message routing, timers, data
// exchange, message boxes and the file-open dialog, with the semantics the
// program's handlers rely on. The models here hold all state and behaviour;
// a view backend (Qt Widgets, or none at all for the headless backend) only
// shows them and feeds the operator's input back in.
//
// Error convention: as the program expects of its window system, calls
// report failure through their result (negative indices, FALSE, -1 from
// DoModal) and never throw. Everything but PostMessage and the free
// PostMessage(HWND, ...) must be called on the user-interface thread (the
// thread that created the QCoreApplication).
//
// Event loop: Qt's (QtCore). DoModal runs a nested loop; timers, posted
// messages and device notifications are dispatched in any modal loop,
// nested ones included.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korrin::window {

using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using BOOL = int;
using UINT_PTR = std::uintptr_t;
using INT_PTR = std::intptr_t;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Window messages the program uses, with the values the handlers expect.
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_ICONERASEBKGND = 0x0027;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_CLEAR = 0x0303;
inline constexpr UINT WM_APP = 0x8000;

// Commands and notifications.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr UINT BN_CLICKED = 0;
inline constexpr UINT CBN_SELCHANGE = 1;
// WM_COMMAND's wParam: MAKEWPARAM(control id, notification code).
constexpr WPARAM MakeCommandParam(int id, UINT code) {
  return (static_cast<WPARAM>(code) << 16) | (static_cast<WPARAM>(id) & 0xFFFF);
}

// System commands (WM_SYSCOMMAND wParam).
inline constexpr UINT SC_SIZE = 0xF000;
inline constexpr UINT SC_MOVE = 0xF010;
inline constexpr UINT SC_MINIMIZE = 0xF020;
inline constexpr UINT SC_MAXIMIZE = 0xF030;
inline constexpr UINT SC_CLOSE = 0xF060;
inline constexpr UINT SC_RESTORE = 0xF120;

// Device-change events and the broadcast record the layer builds for them.
inline constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
inline constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;
// Record layout: size (4 bytes, little-endian) at 0, device type at 4,
// reserved at 8, class id (16 bytes) at 12, the zero-terminated interface
// path from offset 28.
inline constexpr std::size_t kBroadcastNameOffset = 28;
std::vector<std::uint8_t> BuildInterfaceBroadcast(std::uint32_t deviceType, const std::string& path);
// Reads a record back: the device type, and the path when the type carries
// one. Never reads past `size` bytes; a record shorter than its header, or a
// name without its terminator inside `size`, yields no path.
struct BroadcastView {
  std::optional<std::uint32_t> deviceType;
  std::optional<std::string> path;
};
BroadcastView ReadBroadcast(const std::uint8_t* record, std::size_t size);

// Window styles the models act on.
inline constexpr UINT WS_VISIBLE = 0x10000000;
inline constexpr UINT WS_DISABLED = 0x08000000;
inline constexpr UINT WS_TABSTOP = 0x00010000;
inline constexpr UINT WS_GROUP = 0x00020000;
inline constexpr UINT WS_VSCROLL = 0x00200000;
inline constexpr UINT WS_BORDER = 0x00800000;
inline constexpr UINT WS_SYSMENU = 0x00080000;
inline constexpr UINT WS_MINIMIZEBOX = 0x00020000;
inline constexpr UINT WS_MAXIMIZEBOX = 0x00010000;
inline constexpr UINT WS_THICKFRAME = 0x00040000;
inline constexpr UINT LBS_SORT = 0x0002;
inline constexpr UINT CBS_DROPDOWN = 0x0002;
inline constexpr UINT CBS_SORT = 0x0100;

// ---------------------------------------------------------------------------
// Templates: dialogs and their controls as data, in dialog units.
struct ControlTemplate {
  int id = -1;
  std::string className;  // "BUTTON", "LISTBOX", "COMBOBOX", "EDIT", "STATIC", "msctls_progress32"
  std::string caption;
  int x = 0, y = 0, cx = 0, cy = 0;
  UINT style = 0;
  UINT exStyle = 0;
  int iconResource = 0;  // SS_ICON statics: the icon's resource id
};

struct DialogTemplate {
  int id = 0;
  std::string caption;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string fontName;
  int pointSize = 8;
  UINT style = 0;
  UINT exStyle = 0;
  std::vector<ControlTemplate> controls;  // template order is tab order
};

// ---------------------------------------------------------------------------
// Controls. Each is a model owned by its dialog window; member objects of a
// dialog class are bound to them by DDX_Control.
class ControlModel;
class ListBoxModel;
class ComboBoxModel;
class ProgressModel;

class CWnd {
 public:
  BOOL EnableWindow(BOOL enable);
  BOOL IsWindowEnabled() const;
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  bool IsBound() const { return model_ != nullptr; }
  int GetDlgCtrlID() const;

 protected:
  friend class CDataExchange;
  ControlModel* model_ = nullptr;
};

class CButton : public CWnd {};
class CEdit : public CWnd {};

class CListBox : public CWnd {
 public:
  static constexpr int LB_ERR = -1;
  int InsertString(int index, const std::string& text);  // -1 appends without sorting
  int AddString(const std::string& text);                  // sorts under LBS_SORT
  int SetCurSel(int index);                                // -1 deselects; scrolls into view
  int GetCurSel() const;
  int GetCount() const;
  std::string GetText(int index) const;
  int GetTopIndex() const;
};

class CComboBox : public CWnd {
 public:
  static constexpr int CB_ERR = -1;
  int AddString(const std::string& text);  // sorted insert under CBS_SORT
  int SetCurSel(int index);                // by row index; -1 clears the selection
  int GetCurSel() const;
  int GetCount() const;
  std::string GetLBText(int index) const;
  void ResetContent();                     // CB_RESETCONTENT: rows and edit text
  void Clear();                            // WM_CLEAR: deletes the edit field's selected text only
  void SetEditSel(int start, int end);
  int SelectString(int startAfter, const std::string& prefix);  // first row beginning with prefix
};

class CProgressCtrl : public CWnd {
 public:
  int SetPos(int pos);  // PBM_SETPOS: returns the previous position; clamps to 0..100
  int GetPos() const;
};

// ---------------------------------------------------------------------------
// Window handles: opaque numbers from a thread-safe table, so a worker can
// post to a window that may already be gone without touching freed memory.
using HWND = std::uint64_t;
inline constexpr HWND kNoWindow = 0;

// Posts a message to a window from any thread. Messages to one window are
// handled on the user-interface thread in the order posted. False when the
// window does not exist (any more).
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
class CDialog;

class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, BOOL saveAndValidate) : dialog_(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* dialog_;
  BOOL m_bSaveAndValidate;
};

// The three kinds of exchange the dialogs use.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// FALSE: selects the first row beginning with `value`, or when none does sets
// the edit text to it. TRUE: reads the combo's current text.
void DDX_CBString(CDataExchange* pDX, int id, std::string& value);

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

class CMenu {
 public:
  struct Item {
    UINT flags = 0;  // MF_STRING or MF_SEPARATOR
    UINT id = 0;
    std::string text;
  };
  static constexpr UINT MF_STRING = 0x0000;
  static constexpr UINT MF_SEPARATOR = 0x0800;
  BOOL AppendMenu(UINT flags, UINT id = 0, const std::string& text = {});
  const std::vector<Item>& items() const { return items_; }

 private:
  std::vector<Item> items_;
};

// An icon: 32-bit pixels, premultiplied-free ARGB, row by row.
struct Icon {
  int width = 0, height = 0;
  std::vector<std::uint32_t> argb;
};
using HICON = const Icon*;

// Painting of a minimised window, as the layer hands it to OnPaint.
class CPaintDC {
 public:
  explicit CPaintDC(CDialog* dialog);
  ~CPaintDC();
  WPARAM GetSafeHdc() const;
  void DrawIcon(int x, int y, HICON icon);
};

class CDialog {
 public:
  CDialog(const DialogTemplate& dialogTemplate, CDialog* parent);
  virtual ~CDialog();
  CDialog(const CDialog&) = delete;
  CDialog& operator=(const CDialog&) = delete;

  // Creates the window from the template, sends WM_INITDIALOG (OnInitDialog),
  // shows it through the view backend and runs a modal loop until EndDialog.
  // The owner (parent, or the application's main window) is disabled while
  // it runs. Returns the EndDialog result, -1 when the window cannot be made.
  virtual INT_PTR DoModal();
  void EndDialog(int result);

  // Runs DoDataExchange in one direction; TRUE takes controls into members.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  virtual void DoDataExchange(CDataExchange* pDX);
  virtual BOOL OnInitDialog();  // base: UpdateData(FALSE), TRUE
  virtual void OnOK();          // base: UpdateData(TRUE), then EndDialog(IDOK)
  virtual void OnCancel();      // base: EndDialog(IDCANCEL)

  // Message routing: a derived dialog overrides WindowProc as its message
  // map and hands everything it does not handle to CDialog::WindowProc, the
  // base handling (IDOK/IDCANCEL commands, WM_CLOSE becoming IDCANCEL,
  // system commands taking their usual course).
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  bool PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  // WM_TIMER with `id` every `elapseMs` until KillTimer or the window ends.
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
  BOOL KillTimer(UINT_PTR id);
  bool IsTimerRunning(UINT_PTR id) const;

  HWND GetSafeHwnd() const { return hwnd_; }
  CWnd* GetDlgItem(int id);
  CMenu* GetSystemMenu(BOOL revert);
  BOOL IsIconic() const;
  void GetClientRect(Rect* rect) const;
  void SetIcon(HICON icon, BOOL big);
  HICON GetIcon(BOOL big) const;
  int FocusedControlId() const;

  const DialogTemplate& dialogTemplate() const { return template_; }
  CDialog* parent() const { return parent_; }
  class DialogWindow* window() const { return window_.get(); }

 protected:
  // The base handling of a message (what the window system does by default).
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnSysCommand(UINT id, LPARAM lParam);  // base: the usual course
  virtual void OnPaint();                              // base: nothing to add

 private:
  DialogTemplate template_;
  CDialog* parent_;
  HWND hwnd_ = kNoWindow;
  std::unique_ptr<class DialogWindow> window_;
  friend class DialogWindow;
};

// The application's main window (the owner of dialogs that have no parent).
void SetMainWindow(CDialog* dialog);
CDialog* MainWindow();

// ---------------------------------------------------------------------------
// Device notifications: after registration the window receives
// WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE and a broadcast record (as
// lParam, valid for the duration of the handler) for each removed HID
// interface. Returns a nonzero registration handle.
using HDEVNOTIFY = std::uint64_t;
HDEVNOTIFY RegisterDeviceNotification(HWND window);
BOOL UnregisterDeviceNotification(HDEVNOTIFY notification);

// ---------------------------------------------------------------------------
// Modal things that a test must be able to answer without blocking.
inline constexpr UINT MB_OK = 0x0000;

struct MessageBoxRequest {
  std::string text;
  std::string caption;  // the executable's file name without extension
  UINT type = MB_OK;
};
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;
// Shows a modal message box (through the hook when one is set).
int AfxMessageBox(const std::string& text, UINT type = MB_OK, UINT helpId = 0);
void SetMessageBoxHook(MessageBoxHook hook);  // null restores the view's own

struct FileDialogRequest {
  bool open = true;
  std::string defaultExtension;
  std::string initialFileName;
  UINT flags = 0;
  std::string filter;  // "Name|pattern|...||"
};
struct FileDialogAnswer {
  int result = IDCANCEL;  // IDOK when a file was chosen
  std::string pathName;   // full path of the chosen file
};
using FileDialogHook = std::function<FileDialogAnswer(const FileDialogRequest&)>;
void SetFileDialogHook(FileDialogHook hook);

class CFileDialog {
 public:
  static constexpr UINT OFN_HIDEREADONLY = 0x00000004;
  CFileDialog(bool openFileDialog, const std::string& defaultExtension, const std::string& fileName, UINT flags,
              const std::string& filter, CDialog* parent = nullptr);
  INT_PTR DoModal();
  std::string GetPathName() const;
  std::string GetFileName() const;
  // The characters after the last '.' of the file name; empty without one.
  std::string GetFileExt() const;

 private:
  FileDialogRequest request_;
  FileDialogAnswer answer_;
};

// Called whenever a dialog's modal loop starts (after OnInitDialog) and
// ends; tests use it to drive or close nested dialogs such as the About box.
using ModalHook = std::function<void(CDialog& dialog, bool starting)>;
void SetModalHook(ModalHook hook);

// The caption of message boxes: the executable's file name without extension.
std::string ApplicationName();

// ---------------------------------------------------------------------------
// View backends. The model calls the view to show itself and to learn the
// font metrics used to turn dialog units into pixels. Without a view (the
// headless backend) a dialog still works in full, with these metrics:
struct FontMetrics {
  int averageCharWidth = 6;  // of the dialog font, in pixels
  int charHeight = 13;
};
// x = units * averageCharWidth / 4, y = units * charHeight / 8, as the
// window system converts dialog units.
Rect DialogUnitsToPixels(const FontMetrics& metrics, int x, int y, int cx, int cy);

class View {
 public:
  virtual ~View() = default;
  virtual FontMetrics Metrics(const DialogTemplate& dialogTemplate) = 0;
  // Called when a dialog's window is created / destroyed; the view mirrors
  // the models and reports the operator's input back through CDialog calls.
  virtual void Attach(CDialog& dialog) = 0;
  virtual void Detach(CDialog& dialog) = 0;
  // A model changed: refresh what is shown of control `id` (0: the dialog).
  virtual void Refresh(CDialog& dialog, int id) = 0;
  virtual int ShowMessageBox(const MessageBoxRequest& request) = 0;
  virtual FileDialogAnswer ShowFileDialog(const FileDialogRequest& request) = 0;
};
// Installs the view backend used for dialogs created from now on; null means
// headless (no display: message boxes and file dialogs answer IDOK/IDCANCEL
// and say on standard error what they would have shown).
void SetView(std::shared_ptr<View> view);

}  // namespace korrin::window
