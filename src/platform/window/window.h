// The window layer: dialogs, their controls, message routing, timers, data
// exchange, message boxes and the file-open dialog, with the semantics the
// program's handlers rely on. The models here hold all state and behaviour;
// a view backend (Qt Widgets, or none at all for the headless backend) only
// shows them and feeds the operator's input back in.
//
// Error convention: as the program expects of its window system, calls
// report failure through their result (negative indices, FALSE, -1 from
// DoModal, 0 from SetTimer) and never throw. A control member that is not
// bound to a control fails every call the same way. Everything but
// PostMessage(HWND, ...) must be called on the user-interface thread (the
// thread that created the QCoreApplication).
//
// Event loop: Qt's (QtCore). DoModal runs a nested loop; timers, posted
// messages and device notifications are dispatched in any modal loop,
// nested ones included, and in any other running Qt event loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QEventLoop;

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
inline constexpr UINT WM_SETTEXT = 0x000C;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_ICONERASEBKGND = 0x0027;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_SETICON = 0x0080;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_DEVICECHANGE = 0x0219;
inline constexpr UINT WM_CLEAR = 0x0303;
inline constexpr UINT WM_APP = 0x8000;

// Control messages (CWnd::SendMessage on a bound control).
inline constexpr UINT CB_ADDSTRING = 0x0143;
inline constexpr UINT CB_RESETCONTENT = 0x014B;
inline constexpr UINT CB_SETCURSEL = 0x014E;
inline constexpr UINT CB_SELECTSTRING = 0x014D;
inline constexpr UINT LB_ADDSTRING = 0x0180;
inline constexpr UINT LB_INSERTSTRING = 0x0181;
inline constexpr UINT LB_SETCURSEL = 0x0186;
inline constexpr UINT PBM_SETPOS = 0x0402;

// WM_SETICON's wParam.
inline constexpr WPARAM ICON_SMALL = 0;
inline constexpr WPARAM ICON_BIG = 1;

// Commands and notifications.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr UINT BN_CLICKED = 0;
inline constexpr UINT CBN_SELCHANGE = 1;
inline constexpr UINT LBN_SELCHANGE = 1;
// WM_COMMAND's wParam: MAKEWPARAM(control id, notification code).
constexpr WPARAM MakeCommandParam(int id, UINT code) {
  return (static_cast<WPARAM>(code) << 16) | (static_cast<WPARAM>(id) & 0xFFFF);
}
constexpr int CommandId(WPARAM wParam) { return static_cast<int>(static_cast<std::int16_t>(wParam & 0xFFFF)); }
constexpr UINT CommandCode(WPARAM wParam) { return static_cast<UINT>((wParam >> 16) & 0xFFFF); }

// System commands (WM_SYSCOMMAND wParam). The window system looks only at
// id & 0xFFF0; the low four bits are its own.
inline constexpr UINT SC_SIZE = 0xF000;
inline constexpr UINT SC_MOVE = 0xF010;
inline constexpr UINT SC_MINIMIZE = 0xF020;
inline constexpr UINT SC_MAXIMIZE = 0xF030;
inline constexpr UINT SC_CLOSE = 0xF060;
inline constexpr UINT SC_RESTORE = 0xF120;

// GetSystemMetrics.
inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;
inline constexpr int SM_CXSMICON = 49;
inline constexpr int SM_CYSMICON = 50;
int GetSystemMetrics(int index);

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
inline constexpr UINT WS_POPUP = 0x80000000;
inline constexpr UINT WS_CHILD = 0x40000000;
inline constexpr UINT WS_VISIBLE = 0x10000000;
inline constexpr UINT WS_DISABLED = 0x08000000;
inline constexpr UINT WS_CAPTION = 0x00C00000;
inline constexpr UINT WS_BORDER = 0x00800000;
inline constexpr UINT WS_DLGFRAME = 0x00400000;
inline constexpr UINT WS_VSCROLL = 0x00200000;
inline constexpr UINT WS_HSCROLL = 0x00100000;
inline constexpr UINT WS_SYSMENU = 0x00080000;
inline constexpr UINT WS_THICKFRAME = 0x00040000;
inline constexpr UINT WS_GROUP = 0x00020000;
inline constexpr UINT WS_TABSTOP = 0x00010000;
inline constexpr UINT WS_MINIMIZEBOX = 0x00020000;
inline constexpr UINT WS_MAXIMIZEBOX = 0x00010000;
inline constexpr UINT WS_EX_APPWINDOW = 0x00040000;
inline constexpr UINT DS_MODALFRAME = 0x0080;
inline constexpr UINT DS_SETFONT = 0x0040;
inline constexpr UINT BS_PUSHBUTTON = 0x0000;
inline constexpr UINT BS_DEFPUSHBUTTON = 0x0001;
inline constexpr UINT BS_GROUPBOX = 0x0007;
inline constexpr UINT BS_TYPEMASK = 0x000F;
inline constexpr UINT SS_LEFT = 0x0000;
inline constexpr UINT SS_ICON = 0x0003;
inline constexpr UINT SS_TYPEMASK = 0x001F;
inline constexpr UINT SS_NOPREFIX = 0x0080;
inline constexpr UINT ES_AUTOHSCROLL = 0x0080;
inline constexpr UINT ES_READONLY = 0x0800;
inline constexpr UINT LBS_NOTIFY = 0x0001;
inline constexpr UINT LBS_SORT = 0x0002;
inline constexpr UINT LBS_NOINTEGRALHEIGHT = 0x0100;
inline constexpr UINT CBS_DROPDOWN = 0x0002;
inline constexpr UINT CBS_SORT = 0x0100;
inline constexpr UINT PBS_SMOOTH = 0x0001;

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

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// ---------------------------------------------------------------------------
// Icons and string resources. The program registers its resources once; the
// layer hands them out as the window system would.
//
// An icon: 32-bit pixels, 0xAARRGGBB, not premultiplied, row by row.
struct Icon {
  int width = 0, height = 0;
  std::vector<std::uint32_t> argb;
};
using HICON = const Icon*;
using HCURSOR = HICON;

void RegisterIconResource(int id, Icon image);
// The icon with resource number `id` at the large-icon size
// (GetSystemMetrics(SM_CXICON) square), scaled from the registered image;
// null when there is none. The pointer stays valid for the whole process.
HICON LoadIcon(int id);
// The registered image itself, at its own size; null when there is none.
const Icon* IconResourceImage(int id);
void RegisterStringResource(UINT id, std::string text);
// Empty when the string resource does not exist.
std::string LoadString(UINT id);
// The string resource of the application's title, looked up by
// ApplicationName().
inline constexpr UINT AFX_IDS_APP_TITLE = 0xE000;

// ---------------------------------------------------------------------------
// Control models: the state of each control, with the semantics of the
// window system's controls. Owned by their dialog's window; views read them.
class DialogWindow;
class CWnd;

enum class ControlKind { kPushButton, kGroupBox, kStatic, kIcon, kEdit, kListBox, kComboBox, kProgress, kOther };

class ControlModel {
 public:
  ControlModel(DialogWindow& owner, const ControlTemplate& controlTemplate, Rect pixels);
  virtual ~ControlModel();
  ControlModel(const ControlModel&) = delete;
  ControlModel& operator=(const ControlModel&) = delete;

  ControlKind kind() const { return kind_; }
  int id() const { return template_.id; }
  const ControlTemplate& controlTemplate() const { return template_; }
  UINT style() const { return template_.style; }
  // Position and size in pixels, relative to the dialog's client area.
  Rect rect() const { return rect_; }
  DialogWindow& owner() const { return owner_; }

  bool enabled() const { return enabled_; }
  // Returns TRUE when the control was disabled before (EnableWindow).
  BOOL SetEnabled(bool enabled);
  bool visible() const { return (template_.style & WS_VISIBLE) != 0; }
  bool tabStop() const { return (template_.style & WS_TABSTOP) != 0; }
  bool IsDefaultPushButton() const;

  const std::string& text() const { return text_; }
  // WM_SETTEXT.
  virtual void SetText(const std::string& text);

 protected:
  void Changed();
  std::string text_;

 private:
  friend class CWnd;
  friend class DialogWindow;
  friend void DDX_Control(class CDataExchange* pDX, int id, CWnd& control);
  DialogWindow& owner_;
  ControlTemplate template_;
  ControlKind kind_;
  Rect rect_;
  bool enabled_;
  CWnd* boundTo_ = nullptr;  // the member object DDX_Control attached
};

// A single-line edit field: its text and the selection in it. The combo box
// has one too, for its edit field.
struct TextSelection {
  int start = 0, end = 0;  // end exclusive; start == end: no selection
};

class EditModel : public ControlModel {
 public:
  using ControlModel::ControlModel;
  void SetText(const std::string& text) override;  // caret to the start, nothing selected
  TextSelection selection() const { return selection_; }
  void SetSelection(int start, int end);  // -1 as end: to the end of the text
  void Clear();                           // WM_CLEAR: deletes the selected text, if any
  // The operator typed or edited: text and caret as the view reports them.
  void OperatorEdited(const std::string& text, TextSelection selection);

 private:
  TextSelection selection_;
};

class ListBoxModel : public ControlModel {
 public:
  static constexpr int LB_ERR = -1;
  static constexpr int LB_ERRSPACE = -2;
  ListBoxModel(DialogWindow& owner, const ControlTemplate& controlTemplate, Rect pixels, int itemHeight);
  const std::vector<std::string>& rows() const { return rows_; }
  int count() const { return static_cast<int>(rows_.size()); }
  // LB_INSERTSTRING: at `index`, or at the end for -1, never sorted. LB_ERR
  // for an index beyond the end, LB_ERRSPACE when the list is full; either
  // failure changes nothing.
  int InsertString(int index, const std::string& text);
  // LB_ADDSTRING: sorted in (letter case ignored) under LBS_SORT, else at
  // the end.
  int AddString(const std::string& text);
  // LB_SETCURSEL: selects row `index` and scrolls it into view; -1 removes
  // the selection and, as the window system does, answers LB_ERR. Any other
  // index outside the rows answers LB_ERR and changes nothing.
  int SetCurSel(int index);
  int curSel() const { return curSel_; }
  int topIndex() const { return topIndex_; }
  // Rows that fit wholly in the visible area (at least 1).
  int visibleRows() const;
  int itemHeight() const { return itemHeight_; }
  // Storage limit standing in for the window system running out of memory.
  void SetMaxCount(int maxCount) { maxCount_ = maxCount; }
  // The operator scrolled or clicked a row.
  void OperatorScrolled(int topIndex);
  void OperatorSelected(int index);
  // Change counters for views that mirror the rows: revision() grows with
  // every change of the rows; while lastReorderRevision() stays below what a
  // view has seen, every change since was an append at the end.
  std::uint64_t revision() const { return revision_; }
  std::uint64_t lastReorderRevision() const { return lastReorderRevision_; }

 private:
  void ScrollIntoView(int index);
  std::uint64_t revision_ = 0;
  std::uint64_t lastReorderRevision_ = 0;
  std::vector<std::string> rows_;
  int curSel_ = -1;
  int topIndex_ = 0;
  int itemHeight_;
  int maxCount_ = 1 << 30;
};

class ComboBoxModel : public ControlModel {
 public:
  static constexpr int CB_ERR = -1;
  using ControlModel::ControlModel;
  const std::vector<std::string>& rows() const { return rows_; }
  int count() const { return static_cast<int>(rows_.size()); }
  // CB_ADDSTRING: sorted in (letter case ignored, after equal rows) under
  // CBS_SORT, else at the end. Returns the row's index. The selection keeps
  // pointing at the row it selected.
  int AddString(const std::string& text);
  // CB_SETCURSEL by row index: the edit field shows the row's text (selected
  // as SetText says). -1 or an index outside the rows clears the selection
  // and the edit field and answers CB_ERR.
  int SetCurSel(int index);
  int curSel() const { return curSel_; }
  // CB_RESETCONTENT: every row, the selection and the edit field's text.
  void ResetContent();
  // WM_CLEAR: deletes the edit field's selected text; rows stay.
  void Clear();
  // CB_SELECTSTRING: selects the first row after `startAfter` (-1: from the
  // top; the search wraps) whose text begins with `prefix`, letter case
  // ignored. CB_ERR, and nothing changes, when no row does.
  int SelectString(int startAfter, const std::string& prefix);
  // The edit field's text. As the window system does, the whole text is
  // selected when the combo has the focus, else nothing is.
  void SetText(const std::string& text) override;
  TextSelection editSelection() const { return editSelection_; }
  void SetEditSelection(int start, int end);
  void OperatorEdited(const std::string& text, TextSelection selection);
  // The operator picked a row in the drop-down list (CBN_SELCHANGE follows).
  void OperatorSelected(int index);

 private:
  std::vector<std::string> rows_;
  int curSel_ = -1;
  TextSelection editSelection_;
};

class ProgressModel : public ControlModel {
 public:
  using ControlModel::ControlModel;
  // PBM_SETPOS: returns the previous position; clamps to the range 0..100.
  int SetPos(int pos);
  int pos() const { return pos_; }
  int lower() const { return 0; }
  int upper() const { return 100; }

 private:
  int pos_ = 0;
};

// ---------------------------------------------------------------------------
// Control member objects. Each is bound to one control model by
// DDX_Control; unbound, every call fails (LB_ERR, CB_ERR, FALSE, "").
class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  // TRUE when the control was disabled before.
  BOOL EnableWindow(BOOL enable);
  BOOL IsWindowEnabled() const;
  void SetWindowText(const std::string& text);
  std::string GetWindowText() const;
  bool IsBound() const { return model_ != nullptr; }
  int GetDlgCtrlID() const;
  // The control messages the program sends (WM_CLEAR, CB_*, LB_*, PBM_SETPOS,
  // WM_SETTEXT with a `const char*` in lParam).
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  ControlModel* model() const { return model_; }

 protected:
  friend class CDataExchange;
  friend void DDX_Control(class CDataExchange* pDX, int id, CWnd& control);
  friend class DialogWindow;
  friend class ControlModel;
  friend class CDialog;
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

 private:
  ListBoxModel* list() const;
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

 private:
  ComboBoxModel* combo() const;
};

class CProgressCtrl : public CWnd {
 public:
  int SetPos(int pos);  // PBM_SETPOS: returns the previous position; clamps to 0..100
  int GetPos() const;

 private:
  ProgressModel* progress() const;
};

// ---------------------------------------------------------------------------
// Window handles: opaque numbers from a thread-safe table, so a worker can
// post to a window that may already be gone without touching freed memory.
// A handle is never reused within a process.
using HWND = std::uint64_t;
inline constexpr HWND kNoWindow = 0;

// Posts a message to a window from any thread. Messages posted to windows
// are handled on the user-interface thread in the order posted (one queue
// for all windows), in whatever Qt event loop runs there, nested ones
// included. False when the window does not exist (any more); a message
// whose window is destroyed before it is handled is dropped.
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
class CDialog;

class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, BOOL saveAndValidate) : dialog_(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* dialog_;
  BOOL m_bSaveAndValidate;
};

// The three kinds of exchange the dialogs use. None of them ever fails.
// The first exchange attaches the control to the member; later ones do
// nothing more.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);
// FALSE: the control's text becomes `value`. TRUE: `value` becomes the
// control's whole text.
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// FALSE: selects the first row beginning with `value` (CB_SELECTSTRING from
// the top), or when none does sets the edit text to it. TRUE: reads the
// combo's current (edit field) text.
void DDX_CBString(CDataExchange* pDX, int id, std::string& value);

class CMenu {
 public:
  struct Item {
    UINT flags = 0;  // MF_STRING or MF_SEPARATOR
    UINT id = 0;
    std::string text;
  };
  static constexpr UINT MF_STRING = 0x0000;
  static constexpr UINT MF_GRAYED = 0x0001;
  static constexpr UINT MF_SEPARATOR = 0x0800;
  BOOL AppendMenu(UINT flags, UINT id = 0, const std::string& text = {});
  const std::vector<Item>& items() const { return items_; }
  void Reset(std::vector<Item> items) { items_ = std::move(items); }

 private:
  std::vector<Item> items_;
};

// What one WM_PAINT drew, recorded by the window for the view (and tests).
struct PaintRecord {
  bool began = false;                 // a paint context was opened
  bool iconBackgroundErased = false;  // WM_ICONERASEBKGND reached the base handling
  WPARAM erasedDc = 0;                // with this device context
  struct DrawnIcon {
    int x = 0, y = 0;
    HICON icon = nullptr;
  };
  std::vector<DrawnIcon> icons;
};

// Painting, as the layer hands it to OnPaint: the device context records
// what is drawn into the window's PaintRecord.
class CPaintDC {
 public:
  explicit CPaintDC(CDialog* dialog);
  ~CPaintDC();
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;
  WPARAM GetSafeHdc() const;
  void DrawIcon(int x, int y, HICON icon);

 private:
  CDialog* dialog_;
  WPARAM hdc_;
};

// ---------------------------------------------------------------------------
// The dialog manager's view of the keyboard: the keys it acts on itself.
enum class DialogKey { kEnter, kEscape, kAltSpace };

enum class WindowState { kNormal, kMinimized, kMaximized };

// A window menu entry as shown to the operator.
struct MenuEntry {
  UINT id = 0;  // 0 with separator
  std::string text;
  bool separator = false;
  bool enabled = true;
};

class View;

// Font metrics of a dialog font, from which dialog units become pixels.
struct FontMetrics {
  int averageCharWidth = 6;  // of the dialog font, in pixels
  int charHeight = 13;
};
// The window of a dialog while it exists (from DoModal/Create until the end):
// its control models, state and the operator's input. Views mirror it.
class DialogWindow {
 public:
  DialogWindow(CDialog& dialog, HWND hwnd, std::shared_ptr<View> view, FontMetrics metrics);
  ~DialogWindow();
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  CDialog& dialog() const { return dialog_; }
  HWND hwnd() const { return hwnd_; }
  FontMetrics metrics() const { return metrics_; }
  const std::vector<std::unique_ptr<ControlModel>>& controls() const { return controls_; }
  ControlModel* Control(int id) const;  // the first control with this id, null if none
  // Client area size in pixels, as the template gives it.
  int templateWidth() const { return templateSize_.Width(); }
  int templateHeight() const { return templateSize_.Height(); }
  Rect clientRect() const { return {0, 0, clientWidth_, clientHeight_}; }

  // Enabled for input; a modal dialog disables its owner while it runs.
  bool enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  WindowState state() const { return state_; }
  int focusedId() const { return focusedId_; }
  // Moves the focus to a control that is visible and enabled; 0 for none.
  bool SetFocus(int id);
  CMenu& systemMenu() { return systemMenu_; }
  bool hasSystemMenu() const;
  HICON icon(bool big) const { return big ? bigIcon_ : smallIcon_; }
  void SetIcon(HICON icon, bool big);
  const PaintRecord& lastPaint() const { return lastPaint_; }
  PaintRecord& paintInProgress() { return lastPaint_; }

  // The operator's input, as a view (or a test) reports it. Refused while
  // the window is disabled, as the window system refuses it.
  void OperatorClick(int id);            // a push button: BN_CLICKED
  void OperatorKey(DialogKey key);       // Enter, Escape, Alt+Space
  void OperatorFocus(int id);            // focus moved by click or Tab
  void OperatorEditText(int id, const std::string& text, TextSelection selection);
  void OperatorSelectComboRow(int id, int row);  // CBN_SELCHANGE follows
  void OperatorSelectListRow(int id, int row);   // LBN_SELCHANGE follows (LBS_NOTIFY)
  void OperatorScrollList(int id, int topIndex);
  void OperatorContextMenu(int x, int y);  // right button on the dialog's background
  void OperatorCloseButton();               // the caption's close button, Alt+F4
  // The window menu: its entries as they would be shown now (greyed
  // according to the window's state), and one chosen by the operator.
  std::vector<MenuEntry> WindowMenuEntries() const;
  void OpenWindowMenu(int x, int y);
  void OperatorWindowMenuCommand(UINT id);

  // The platform changed the window (the window manager minimised it, the
  // view learned its real size). Paints the icon when it becomes minimised.
  void PlatformStateChanged(WindowState state, int clientWidth, int clientHeight);

  // Timers of this window (for views and tests).
  bool HasTimer(UINT_PTR id) const;
  std::optional<UINT> TimerInterval(UINT_PTR id) const;

  // The view that shows this window, null when headless.
  View* view() const { return view_.get(); }
  bool shown() const { return shown_; }

 private:
  friend class CDialog;
  friend class ControlModel;
  void NotifyChanged(int id);
  void SendCommand(int id, UINT code);
  void ApplyState(WindowState state);

  CDialog& dialog_;
  HWND hwnd_;
  std::shared_ptr<View> view_;
  bool shown_ = false;
  FontMetrics metrics_;
  Rect templateSize_;
  int clientWidth_ = 0, clientHeight_ = 0;
  std::vector<std::unique_ptr<ControlModel>> controls_;
  // Wrappers handed out by GetDlgItem; destroyed before the models.
  std::map<int, std::unique_ptr<CWnd>> items_;
  bool enabled_ = true;
  WindowState state_ = WindowState::kNormal;
  int focusedId_ = 0;
  CMenu systemMenu_;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  PaintRecord lastPaint_;
  struct Timers;
  std::unique_ptr<Timers> timers_;
  bool destroying_ = false;
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
  // it runs. Returns the EndDialog result, -1 when the window cannot be made
  // (no QCoreApplication, not on its thread, or a window exists already).
  virtual INT_PTR DoModal();
  // Ends the modal loop with `result`; the window is destroyed when DoModal
  // returns. On a window made by Create, records the result and leaves the
  // window to DestroyWindow.
  void EndDialog(int result);

  // The window without a modal loop: created, initialised (WM_INITDIALOG)
  // and shown as DoModal would, for a caller that runs the event loop
  // itself (tests, a program that drives the dialog from its own loop).
  BOOL Create();
  void DestroyWindow();
  bool HasEnded() const { return ended_; }
  INT_PTR Result() const { return result_; }

  // Runs DoDataExchange in one direction; TRUE takes controls into members.
  // FALSE without a window.
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
  // Setting a running id again restarts it with the new period. Returns
  // `id`, or 0 without a window. A killed timer sends no more ticks.
  UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs);
  BOOL KillTimer(UINT_PTR id);
  bool IsTimerRunning(UINT_PTR id) const;

  HWND GetSafeHwnd() const { return hwnd_; }
  // A control of this window, null when there is none (or no window).
  CWnd* GetDlgItem(int id);
  // The window menu, or null when the window has none (no WS_SYSMENU). TRUE
  // restores the standard entries and returns null.
  CMenu* GetSystemMenu(BOOL revert);
  BOOL IsIconic() const;
  void GetClientRect(Rect* rect) const;
  void SetIcon(HICON icon, BOOL big);  // WM_SETICON
  HICON GetIcon(BOOL big) const;
  int FocusedControlId() const;

  const DialogTemplate& dialogTemplate() const { return template_; }
  CDialog* parent() const { return parent_; }
  DialogWindow* window() const { return window_.get(); }

 protected:
  // The base handling of a message (what the window system does by default).
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnSysCommand(UINT id, LPARAM lParam);  // base: the usual course
  virtual void OnPaint();                              // base: nothing to add

 private:
  friend class DialogWindow;
  bool CreateWindowAndInit();
  void DestroyWindowNow();

  DialogTemplate template_;
  CDialog* parent_;
  HWND hwnd_ = kNoWindow;
  std::unique_ptr<DialogWindow> window_;
  CDialog* disabledOwner_ = nullptr;
  HWND disabledOwnerHwnd_ = kNoWindow;
  ::QEventLoop* loop_ = nullptr;
  bool ended_ = false;
  INT_PTR result_ = -1;
};

// ---------------------------------------------------------------------------
// The application object: the one CWinApp of the process, found by
// AfxWinMain, whose InitInstance runs the program.
class CWinApp {
 public:
  // `appName` null: the name comes from AFX_IDS_APP_TITLE, and without it
  // from the executable's file name.
  explicit CWinApp(const char* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual BOOL InitInstance();  // base: TRUE
  virtual int ExitInstance();   // base: 0, the process's exit code
  CDialog* m_pMainWnd = nullptr;
  const std::optional<std::string>& appName() const { return appName_; }

 private:
  std::optional<std::string> appName_;
};
CWinApp* AfxGetApp();
// The entry point of the framework: needs a QCoreApplication (the front end
// makes it and installs its view and HID backend first). Calls
// InitInstance; returns ExitInstance's result when it returns FALSE,
// otherwise runs the event loop until it quits. 1 without an application.
int AfxWinMain();
// OLE has no meaning here: always succeeds.
BOOL AfxOleInit();

// The application's main window (the owner of dialogs that have no parent):
// the application object's m_pMainWnd. Forgotten when its window ends.
void SetMainWindow(CDialog* dialog);
CDialog* MainWindow();

// ---------------------------------------------------------------------------
// Device notifications: after registration the window receives
// WM_DEVICECHANGE with DBT_DEVICEREMOVECOMPLETE and a broadcast record (as
// lParam, valid for the duration of the handler) for each removed HID
// interface that korrin::hid::System() reports, posted in order with the
// window's other messages. A window gets one broadcast per removal however
// often it registered. Returns a nonzero registration handle, 0 when the
// window does not exist. A window's registrations end with it.
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
  const FileDialogRequest& request() const { return request_; }

 private:
  FileDialogRequest request_;
  FileDialogAnswer answer_;
};

// The window menu as a popup: returns the chosen entry's id, 0 when the
// operator dismissed it. Tests answer it; without a hook the view shows it.
using PopupMenuHook = std::function<UINT(CDialog& dialog, const std::vector<MenuEntry>& entries)>;
void SetPopupMenuHook(PopupMenuHook hook);

// Called whenever a dialog's modal loop starts (after OnInitDialog) and
// ends; tests use it to drive or close nested dialogs such as the About box.
// A dialog made by Create calls it too, when it is shown and destroyed.
using ModalHook = std::function<void(CDialog& dialog, bool starting)>;
void SetModalHook(ModalHook hook);

// Sees every message before the window's WindowProc does (tests, tracing).
using MessageSpy = std::function<void(HWND window, UINT message, WPARAM wParam, LPARAM lParam)>;
void SetMessageSpy(MessageSpy spy);

// The caption of message boxes: the application's name, which by default is
// the executable's file name without extension.
std::string ApplicationName();

// ---------------------------------------------------------------------------
// View backends. The model calls the view to show itself and to learn the
// font metrics used to turn dialog units into pixels. Without a view (the
// headless backend) a dialog still works in full, with the metrics of the
// template's font at 96 dots per inch (FontMetrics' defaults).
//
// x = units * averageCharWidth / 4, y = units * charHeight / 8, rounded to
// the nearest pixel, as the window system converts dialog units.
Rect DialogUnitsToPixels(const FontMetrics& metrics, int x, int y, int cx, int cy);
int MulDiv(int number, int numerator, int denominator);

class View {
 public:
  virtual ~View() = default;
  virtual FontMetrics Metrics(const DialogTemplate& dialogTemplate) = 0;
  // Called when a dialog's window is created / destroyed; the view mirrors
  // the models and reports the operator's input back through DialogWindow.
  virtual void Attach(CDialog& dialog) = 0;
  virtual void Detach(CDialog& dialog) = 0;
  // A model changed: refresh what is shown of control `id` (0: the dialog
  // itself: its state, icon, enabled state).
  virtual void Refresh(CDialog& dialog, int id) = 0;
  virtual int ShowMessageBox(const MessageBoxRequest& request) = 0;
  virtual FileDialogAnswer ShowFileDialog(const FileDialogRequest& request) = 0;
  // Shows the window menu at (x, y) in the dialog's client coordinates and
  // returns the chosen id, 0 when dismissed.
  virtual UINT TrackPopupMenu(CDialog& dialog, const std::vector<MenuEntry>& entries, int x, int y) = 0;
};
// Installs the view backend used for dialogs created from now on; null means
// headless (no display: message boxes answer IDOK, file dialogs IDCANCEL,
// the window menu is dismissed, and each says on standard error what it
// would have shown).
void SetView(std::shared_ptr<View> view);
std::shared_ptr<View> CurrentView();

}  // namespace korrin::window
