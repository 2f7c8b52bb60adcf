// Windows, message routing, timers, posted messages, device notifications,
// modal runs and the application object, on Qt's event loop (QtCore only).
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <deque>
#include <mutex>
#include <unistd.h>
#include <unordered_map>

#include "platform/hid/hid.h"
#include "platform/window/window.h"

namespace korrin::window {
namespace {

// ---------------------------------------------------------------------------
// Hooks and the view.
struct Hooks {
  std::shared_ptr<View> view;
  MessageBoxHook messageBox;
  FileDialogHook fileDialog;
  PopupMenuHook popupMenu;
  ModalHook modal;
  MessageSpy spy;
};
Hooks& TheHooks() {
  static Hooks hooks;
  return hooks;
}

bool OnUiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

// ---------------------------------------------------------------------------
// The handle table: which windows exist. Looked up from any thread by
// PostMessage; changed and dereferenced on the user-interface thread only.
struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HWND, CDialog*> windows;
  HWND next = 1;
};
HandleTable& Table() {
  static HandleTable table;
  return table;
}

HWND AddWindow(CDialog* dialog) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  const HWND hwnd = t.next++;
  t.windows.emplace(hwnd, dialog);
  return hwnd;
}

void RemoveWindow(HWND hwnd) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.windows.erase(hwnd);
}

CDialog* FindWindow(HWND hwnd) {
  HandleTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(hwnd);
  return it == t.windows.end() ? nullptr : it->second;
}

bool WindowExists(HWND hwnd) { return FindWindow(hwnd) != nullptr; }

// ---------------------------------------------------------------------------
// Posted messages: one locked queue for every window, drained on the
// user-interface thread one message per wake event, with one wake event
// outstanding at a time. The next wake is posted before a message is
// delivered: a handler that runs a modal loop then lets that loop take the
// next messages in turn (an event loop started inside an event's delivery
// only wakes for events posted after it started), so the order holds
// whatever the nesting.
struct Posted {
  HWND hwnd = kNoWindow;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::optional<std::string> removedPath;  // a device removal broadcast
};

class Dispatcher;
struct Queue {
  std::mutex mutex;
  std::deque<Posted> messages;
  Dispatcher* dispatcher = nullptr;  // guarded by mutex
  bool wakePending = false;          // guarded by mutex
};
Queue& TheQueue() {
  static Queue queue;
  return queue;
}

QEvent::Type WakeType() {
  static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
  return type;
}

// Posts the wake event unless one is outstanding; the queue's lock is held.
void WakeLocked(Queue& q);

void Deliver(const Posted& posted) {
  CDialog* dialog = FindWindow(posted.hwnd);
  if (dialog == nullptr) return;  // the window ended after the message was posted
  if (posted.removedPath) {
    const std::vector<std::uint8_t> record = BuildInterfaceBroadcast(DBT_DEVTYP_DEVICEINTERFACE, *posted.removedPath);
    dialog->SendMessage(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(record.data()));
    return;
  }
  dialog->SendMessage(posted.message, posted.wParam, posted.lParam);
}

class Dispatcher final : public QObject {
 public:
  Dispatcher() : QObject(QCoreApplication::instance()) {}
  ~Dispatcher() override {
    Queue& q = TheQueue();
    std::lock_guard lock(q.mutex);
    if (q.dispatcher == this) {
      q.dispatcher = nullptr;
      q.messages.clear();
      q.wakePending = false;
    }
  }
  bool event(QEvent* event) override {
    // A wake event is made on the posting thread under the queue's lock, and
    // Qt's own event queue, which hands it over, is invisible to
    // ThreadSanitizer: look at it under the same lock.
    bool wake;
    {
      std::lock_guard lock(TheQueue().mutex);
      wake = event->type() == WakeType();
    }
    if (!wake) return QObject::event(event);
    Posted next;
    {
      Queue& q = TheQueue();
      std::lock_guard lock(q.mutex);
      q.wakePending = false;
      if (q.messages.empty()) return true;
      next = std::move(q.messages.front());
      q.messages.pop_front();
      if (!q.messages.empty()) WakeLocked(q);
    }
    Deliver(next);
    return true;
  }
};

void WakeLocked(Queue& q) {
  if (q.wakePending || q.dispatcher == nullptr) return;
  q.wakePending = true;
  QCoreApplication::postEvent(q.dispatcher, new QEvent(WakeType()));
}

// Made on the user-interface thread when the first window is created.
void EnsureDispatcher() {
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  if (q.dispatcher == nullptr) {
    q.dispatcher = new Dispatcher();
    q.wakePending = false;
    WakeLocked(q);
  }
}

bool Enqueue(Posted posted) {
  if (!WindowExists(posted.hwnd)) return false;
  Queue& q = TheQueue();
  std::lock_guard lock(q.mutex);
  if (q.dispatcher == nullptr) return false;
  q.messages.push_back(std::move(posted));
  WakeLocked(q);
  return true;
}

// ---------------------------------------------------------------------------
// Device notifications: one subscription to the HID system for the process,
// fanned out to the registered windows. The subscription's callback holds a
// marker; when the HID system it was made on is replaced (and so destroyed),
// the marker goes with it and the next registration subscribes anew.
struct Notifications {
  std::mutex mutex;
  std::unordered_map<HDEVNOTIFY, HWND> registrations;
  HDEVNOTIFY next = 1;
  std::weak_ptr<int> subscription;
};
Notifications& TheNotifications() {
  static Notifications notifications;
  return notifications;
}

void DeliverRemoval(const std::string& path) {
  std::vector<HWND> windows;
  {
    Notifications& n = TheNotifications();
    std::lock_guard lock(n.mutex);
    for (const auto& [handle, hwnd] : n.registrations) {
      if (std::find(windows.begin(), windows.end(), hwnd) == windows.end()) windows.push_back(hwnd);
    }
  }
  std::sort(windows.begin(), windows.end());
  for (HWND hwnd : windows) {
    Posted posted;
    posted.hwnd = hwnd;
    posted.message = WM_DEVICECHANGE;
    posted.wParam = DBT_DEVICEREMOVECOMPLETE;
    posted.removedPath = path;
    (void)Enqueue(std::move(posted));
  }
}

void ForgetRegistrations(HWND hwnd) {
  Notifications& n = TheNotifications();
  std::lock_guard lock(n.mutex);
  std::erase_if(n.registrations, [hwnd](const auto& entry) { return entry.second == hwnd; });
}

// ---------------------------------------------------------------------------
// The application object and the main window.
CWinApp*& TheApp() {
  static CWinApp* app = nullptr;
  return app;
}
CDialog*& MainWindowWithoutApp() {
  static CDialog* main = nullptr;
  return main;
}

std::string ExecutableBaseName() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  if (path.empty() && QCoreApplication::instance() != nullptr) {
    path = QCoreApplication::applicationFilePath().toStdString();
  }
  std::string name = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::vector<CMenu::Item> StandardWindowMenu(UINT style) {
  std::vector<CMenu::Item> items;
  const bool minimize = (style & WS_MINIMIZEBOX) != 0;
  const bool maximize = (style & WS_MAXIMIZEBOX) != 0;
  if (minimize || maximize) items.push_back({CMenu::MF_STRING, SC_RESTORE, "&Restore"});
  if (minimize) items.push_back({CMenu::MF_STRING, SC_MINIMIZE, "Mi&nimize"});
  if (maximize) items.push_back({CMenu::MF_STRING, SC_MAXIMIZE, "Ma&ximize"});
  if (!items.empty()) items.push_back({CMenu::MF_SEPARATOR, 0, {}});
  items.push_back({CMenu::MF_STRING, SC_CLOSE, "&Close\tAlt+F4"});
  return items;
}

// What the headless backend shows of a maximised or minimised window: a
// 1024 x 768 screen, and the classic minimised client area of a 32-pixel
// icon with a 2-pixel margin.
constexpr int kHeadlessScreenWidth = 1024;
constexpr int kHeadlessScreenHeight = 768;
constexpr int kHeadlessIconicClient = 36;

}  // namespace

// ---------------------------------------------------------------------------
bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Posted posted;
  posted.hwnd = window;
  posted.message = message;
  posted.wParam = wParam;
  posted.lParam = lParam;
  return Enqueue(std::move(posted));
}

HDEVNOTIFY RegisterDeviceNotification(HWND window) {
  if (!WindowExists(window)) return 0;
  Notifications& n = TheNotifications();
  std::lock_guard lock(n.mutex);
  if (n.subscription.expired()) {
    auto marker = std::make_shared<int>(0);
    korrin::hid::System().SubscribeRemoval([marker](const std::string& path) { DeliverRemoval(path); });
    n.subscription = marker;
  }
  const HDEVNOTIFY handle = n.next++;
  n.registrations.emplace(handle, window);
  return handle;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY notification) {
  Notifications& n = TheNotifications();
  std::lock_guard lock(n.mutex);
  return n.registrations.erase(notification) != 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
void SetView(std::shared_ptr<View> view) { TheHooks().view = std::move(view); }
std::shared_ptr<View> CurrentView() { return TheHooks().view; }
void SetMessageBoxHook(MessageBoxHook hook) { TheHooks().messageBox = std::move(hook); }
void SetFileDialogHook(FileDialogHook hook) { TheHooks().fileDialog = std::move(hook); }
void SetPopupMenuHook(PopupMenuHook hook) { TheHooks().popupMenu = std::move(hook); }
void SetModalHook(ModalHook hook) { TheHooks().modal = std::move(hook); }
void SetMessageSpy(MessageSpy spy) { TheHooks().spy = std::move(spy); }

std::string ApplicationName() {
  if (CWinApp* app = AfxGetApp(); app != nullptr && app->appName()) return *app->appName();
  if (std::string title = LoadString(AFX_IDS_APP_TITLE); !title.empty()) return title;
  static const std::string name = ExecutableBaseName();
  return name;
}

int AfxMessageBox(const std::string& text, UINT type, UINT /*helpId*/) {
  MessageBoxRequest request{text, ApplicationName(), type};
  Hooks& hooks = TheHooks();
  if (hooks.messageBox) return hooks.messageBox(request);
  if (hooks.view) return hooks.view->ShowMessageBox(request);
  std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
  return IDOK;
}

CFileDialog::CFileDialog(bool openFileDialog, const std::string& defaultExtension, const std::string& fileName,
                         UINT flags, const std::string& filter, CDialog* /*parent*/)
    : request_{openFileDialog, defaultExtension, fileName, flags, filter} {}

INT_PTR CFileDialog::DoModal() {
  Hooks& hooks = TheHooks();
  if (hooks.fileDialog) {
    answer_ = hooks.fileDialog(request_);
  } else if (hooks.view) {
    answer_ = hooks.view->ShowFileDialog(request_);
  } else {
    std::fprintf(stderr, "%s: no display to choose a file on\n", ApplicationName().c_str());
    answer_ = {};
  }
  if (answer_.result != IDOK) answer_.pathName.clear();
  return answer_.result;
}

std::string CFileDialog::GetPathName() const { return answer_.pathName; }

std::string CFileDialog::GetFileName() const {
  const std::size_t slash = answer_.pathName.find_last_of('/');
  return slash == std::string::npos ? answer_.pathName : answer_.pathName.substr(slash + 1);
}

std::string CFileDialog::GetFileExt() const {
  const std::string name = GetFileName();
  const std::size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

// ---------------------------------------------------------------------------
BOOL CMenu::AppendMenu(UINT flags, UINT id, const std::string& text) {
  if ((flags & MF_SEPARATOR) != 0) {
    items_.push_back({flags, 0, {}});
  } else {
    items_.push_back({flags, id, text});
  }
  return TRUE;
}

CPaintDC::CPaintDC(CDialog* dialog) : dialog_(dialog), hdc_(0) {
  if (dialog_ == nullptr || dialog_->window() == nullptr) return;
  PaintRecord& record = dialog_->window()->paintInProgress();
  record = PaintRecord{};
  record.began = true;
  // A device context value of our own: nonzero, and tied to the window.
  hdc_ = static_cast<WPARAM>(0xDC000000u) ^ static_cast<WPARAM>(dialog_->GetSafeHwnd());
}

CPaintDC::~CPaintDC() = default;

WPARAM CPaintDC::GetSafeHdc() const { return hdc_; }

void CPaintDC::DrawIcon(int x, int y, HICON icon) {
  if (hdc_ == 0 || dialog_->window() == nullptr) return;
  dialog_->window()->paintInProgress().icons.push_back({x, y, icon});
}

// ---------------------------------------------------------------------------
struct DialogWindow::Timers {
  std::unordered_map<UINT_PTR, std::unique_ptr<QTimer>> timers;
};

DialogWindow::DialogWindow(CDialog& dialog, HWND hwnd, std::shared_ptr<View> view, FontMetrics metrics)
    : dialog_(dialog), hwnd_(hwnd), view_(std::move(view)), metrics_(metrics), timers_(std::make_unique<Timers>()) {
  const DialogTemplate& t = dialog.dialogTemplate();
  const Rect size = DialogUnitsToPixels(metrics_, 0, 0, t.cx, t.cy);
  templateSize_ = {0, 0, size.Width(), size.Height()};
  clientWidth_ = templateSize_.Width();
  clientHeight_ = templateSize_.Height();
  for (const ControlTemplate& c : t.controls) {
    const Rect r = DialogUnitsToPixels(metrics_, c.x, c.y, c.cx, c.cy);
    std::unique_ptr<ControlModel> model;
    if (c.className == "EDIT") {
      model = std::make_unique<EditModel>(*this, c, r);
    } else if (c.className == "LISTBOX") {
      model = std::make_unique<ListBoxModel>(*this, c, r, metrics_.charHeight);
    } else if (c.className == "COMBOBOX") {
      model = std::make_unique<ComboBoxModel>(*this, c, r);
    } else if (c.className == "msctls_progress32") {
      model = std::make_unique<ProgressModel>(*this, c, r);
    } else {
      model = std::make_unique<ControlModel>(*this, c, r);
    }
    controls_.push_back(std::move(model));
  }
  if ((t.style & WS_SYSMENU) != 0) systemMenu_.Reset(StandardWindowMenu(t.style));
}

DialogWindow::~DialogWindow() {
  destroying_ = true;
  items_.clear();
  // Member objects bound by data exchange are detached with their controls.
  for (auto& control : controls_) {
    if (control->boundTo_ != nullptr) {
      control->boundTo_->model_ = nullptr;
      control->boundTo_ = nullptr;
    }
  }
}

ControlModel* DialogWindow::Control(int id) const {
  for (const auto& control : controls_) {
    if (control->id() == id) return control.get();
  }
  return nullptr;
}

void DialogWindow::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  NotifyChanged(0);
}

bool DialogWindow::SetFocus(int id) {
  ControlModel* control = id == 0 ? nullptr : Control(id);
  if (id != 0 && (control == nullptr || !control->visible() || !control->enabled())) return false;
  if (focusedId_ == id) return true;
  focusedId_ = id;
  // A combo box selects the whole of its edit field when it gets the focus.
  if (auto* combo = dynamic_cast<ComboBoxModel*>(control)) combo->SetEditSelection(0, -1);
  NotifyChanged(0);
  return true;
}

bool DialogWindow::hasSystemMenu() const { return (dialog_.dialogTemplate().style & WS_SYSMENU) != 0; }

void DialogWindow::SetIcon(HICON icon, bool big) {
  (big ? bigIcon_ : smallIcon_) = icon;
  NotifyChanged(0);
}

void DialogWindow::NotifyChanged(int id) {
  if (shown_ && !destroying_ && view_) view_->Refresh(dialog_, id);
}

void DialogWindow::SendCommand(int id, UINT code) {
  dialog_.SendMessage(WM_COMMAND, MakeCommandParam(id, code), 0);
}

void DialogWindow::OperatorClick(int id) {
  if (!enabled_) return;
  ControlModel* control = Control(id);
  if (control == nullptr || !control->enabled() || control->kind() != ControlKind::kPushButton) return;
  SendCommand(id, BN_CLICKED);
}

void DialogWindow::OperatorKey(DialogKey key) {
  if (!enabled_) return;
  switch (key) {
    case DialogKey::kEnter: {
      // A focused push button takes Enter itself; otherwise the dialog's
      // default push button does, or IDOK when it has none.
      ControlModel* focused = focusedId_ != 0 ? Control(focusedId_) : nullptr;
      int id = IDOK;
      if (focused != nullptr && focused->kind() == ControlKind::kPushButton) {
        id = focused->id();
      } else {
        for (const auto& control : controls_) {
          if (control->IsDefaultPushButton()) {
            id = control->id();
            break;
          }
        }
      }
      ControlModel* target = Control(id);
      if (target != nullptr && !target->enabled()) return;
      SendCommand(id, BN_CLICKED);
      return;
    }
    case DialogKey::kEscape: {
      ControlModel* cancel = Control(IDCANCEL);
      if (cancel != nullptr && !cancel->enabled()) return;
      SendCommand(IDCANCEL, BN_CLICKED);
      return;
    }
    case DialogKey::kAltSpace:
      OpenWindowMenu(0, 0);
      return;
  }
}

void DialogWindow::OperatorFocus(int id) {
  if (!enabled_) return;
  (void)SetFocus(id);
}

void DialogWindow::OperatorEditText(int id, const std::string& text, TextSelection selection) {
  if (!enabled_) return;
  ControlModel* control = Control(id);
  if (control == nullptr || !control->enabled()) return;
  if (auto* edit = dynamic_cast<EditModel*>(control)) edit->OperatorEdited(text, selection);
  if (auto* combo = dynamic_cast<ComboBoxModel*>(control)) combo->OperatorEdited(text, selection);
}

void DialogWindow::OperatorSelectComboRow(int id, int row) {
  if (!enabled_) return;
  auto* combo = dynamic_cast<ComboBoxModel*>(Control(id));
  if (combo == nullptr || !combo->enabled() || row < 0 || row >= combo->count()) return;
  (void)SetFocus(id);
  combo->OperatorSelected(row);
  SendCommand(id, CBN_SELCHANGE);
}

void DialogWindow::OperatorSelectListRow(int id, int row) {
  if (!enabled_) return;
  auto* list = dynamic_cast<ListBoxModel*>(Control(id));
  if (list == nullptr || !list->enabled() || row < 0 || row >= list->count()) return;
  (void)SetFocus(id);
  list->OperatorSelected(row);
  if ((list->style() & LBS_NOTIFY) != 0) SendCommand(id, LBN_SELCHANGE);
}

void DialogWindow::OperatorScrollList(int id, int topIndex) {
  if (auto* list = dynamic_cast<ListBoxModel*>(Control(id))) list->OperatorScrolled(topIndex);
}

void DialogWindow::OperatorContextMenu(int x, int y) {
  if (!enabled_) return;
  OpenWindowMenu(x, y);
}

void DialogWindow::OperatorCloseButton() {
  if (!enabled_) return;
  dialog_.SendMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::vector<MenuEntry> DialogWindow::WindowMenuEntries() const {
  std::vector<MenuEntry> entries;
  if (!hasSystemMenu()) return entries;
  for (const CMenu::Item& item : systemMenu_.items()) {
    MenuEntry entry;
    if ((item.flags & CMenu::MF_SEPARATOR) != 0) {
      entry.separator = true;
      entries.push_back(entry);
      continue;
    }
    entry.id = item.id;
    entry.text = item.text;
    entry.enabled = (item.flags & CMenu::MF_GRAYED) == 0;
    switch (item.id) {
      case SC_RESTORE:
        entry.enabled = entry.enabled && state_ != WindowState::kNormal;
        break;
      case SC_MINIMIZE:
        entry.enabled = entry.enabled && state_ != WindowState::kMinimized;
        break;
      case SC_MAXIMIZE:
        entry.enabled = entry.enabled && state_ != WindowState::kMaximized;
        break;
      default:
        break;
    }
    entries.push_back(entry);
  }
  return entries;
}

void DialogWindow::OpenWindowMenu(int x, int y) {
  if (!enabled_ || !hasSystemMenu()) return;
  const std::vector<MenuEntry> entries = WindowMenuEntries();
  UINT chosen = 0;
  Hooks& hooks = TheHooks();
  if (hooks.popupMenu) {
    chosen = hooks.popupMenu(dialog_, entries);
  } else if (view_) {
    chosen = view_->TrackPopupMenu(dialog_, entries, x, y);
  }
  if (chosen == 0) return;
  // Only an entry that was there and enabled can be chosen.
  const bool offered = std::any_of(entries.begin(), entries.end(),
                                   [chosen](const MenuEntry& e) { return !e.separator && e.enabled && e.id == chosen; });
  if (offered) OperatorWindowMenuCommand(chosen);
}

void DialogWindow::OperatorWindowMenuCommand(UINT id) { dialog_.SendMessage(WM_SYSCOMMAND, id, 0); }

void DialogWindow::ApplyState(WindowState state) {
  const WindowState previous = state_;
  state_ = state;
  switch (state) {
    case WindowState::kNormal:
      clientWidth_ = templateSize_.Width();
      clientHeight_ = templateSize_.Height();
      break;
    case WindowState::kMaximized:
      clientWidth_ = std::max(templateSize_.Width(), kHeadlessScreenWidth);
      clientHeight_ = std::max(templateSize_.Height(), kHeadlessScreenHeight);
      break;
    case WindowState::kMinimized:
      clientWidth_ = kHeadlessIconicClient;
      clientHeight_ = kHeadlessIconicClient;
      break;
  }
  NotifyChanged(0);
  if (state == WindowState::kMinimized && previous != WindowState::kMinimized) {
    (void)korrin::window::PostMessage(hwnd_, WM_PAINT, 0, 0);
  }
}

void DialogWindow::PlatformStateChanged(WindowState state, int clientWidth, int clientHeight) {
  const WindowState previous = state_;
  state_ = state;
  clientWidth_ = clientWidth;
  clientHeight_ = clientHeight;
  if (state == WindowState::kMinimized && previous != WindowState::kMinimized) {
    (void)korrin::window::PostMessage(hwnd_, WM_PAINT, 0, 0);
  }
}

bool DialogWindow::HasTimer(UINT_PTR id) const {
  auto it = timers_->timers.find(id);
  return it != timers_->timers.end() && it->second->isActive();
}

std::optional<UINT> DialogWindow::TimerInterval(UINT_PTR id) const {
  if (!HasTimer(id)) return std::nullopt;
  return static_cast<UINT>(timers_->timers.at(id)->interval());
}

// ---------------------------------------------------------------------------
CDialog::CDialog(const DialogTemplate& dialogTemplate, CDialog* parent) : template_(dialogTemplate), parent_(parent) {}

CDialog::~CDialog() {
  if (window_) DestroyWindowNow();
}

bool CDialog::CreateWindowAndInit() {
  if (window_ || !OnUiThread()) return false;
  EnsureDispatcher();
  std::shared_ptr<View> view = CurrentView();
  const FontMetrics metrics = view ? view->Metrics(template_) : FontMetrics{};
  hwnd_ = AddWindow(this);
  window_ = std::make_unique<DialogWindow>(*this, hwnd_, view, metrics);
  ended_ = false;
  result_ = -1;
  // TRUE from WM_INITDIALOG: the dialog manager gives the focus to the first
  // control that takes it by Tab.
  if (SendMessage(WM_INITDIALOG, 0, 0) != FALSE && window_) {
    for (const auto& control : window_->controls()) {
      if (control->tabStop() && control->visible() && control->enabled()) {
        (void)window_->SetFocus(control->id());
        break;
      }
    }
  }
  if (!window_) return false;
  window_->shown_ = true;
  if (view) view->Attach(*this);
  if (TheHooks().modal) TheHooks().modal(*this, true);
  return true;
}

void CDialog::DestroyWindowNow() {
  if (!window_) return;
  if (disabledOwner_ != nullptr) {
    // The owner may have ended meanwhile; only a live one is enabled again.
    if (CDialog* owner = FindWindow(disabledOwnerHwnd_); owner == disabledOwner_ && owner->window_) {
      owner->window_->SetEnabled(true);
    }
    disabledOwner_ = nullptr;
  }
  if (MainWindow() == this) SetMainWindow(nullptr);
  if (window_->shown_ && window_->view_) window_->view_->Detach(*this);
  window_->shown_ = false;
  ForgetRegistrations(hwnd_);
  RemoveWindow(hwnd_);
  window_.reset();
  hwnd_ = kNoWindow;
}

INT_PTR CDialog::DoModal() {
  if (window_ || !OnUiThread()) return -1;
  CDialog* owner = parent_ != nullptr ? parent_ : MainWindow();
  if (owner == this) owner = nullptr;
  CDialog* disabled = nullptr;
  if (owner != nullptr && owner->window_ && owner->window_->enabled()) {
    owner->window_->SetEnabled(false);
    disabled = owner;
  }
  disabledOwner_ = disabled;
  disabledOwnerHwnd_ = disabled != nullptr ? disabled->hwnd_ : kNoWindow;
  if (!CreateWindowAndInit()) {
    if (disabled != nullptr && disabled->window_) disabled->window_->SetEnabled(true);
    disabledOwner_ = nullptr;
    return -1;
  }
  if (!ended_) {
    QEventLoop loop;
    loop_ = &loop;
    loop.exec(QEventLoop::AllEvents);
    loop_ = nullptr;
  }
  if (TheHooks().modal) TheHooks().modal(*this, false);
  const INT_PTR result = result_;
  DestroyWindowNow();
  return result;
}

void CDialog::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  if (loop_ != nullptr) loop_->exit(0);
}

BOOL CDialog::Create() { return CreateWindowAndInit() ? TRUE : FALSE; }

void CDialog::DestroyWindow() {
  if (!window_) return;
  if (TheHooks().modal) TheHooks().modal(*this, false);
  DestroyWindowNow();
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  if (!window_) return FALSE;
  CDataExchange exchange(this, saveAndValidate);
  DoDataExchange(&exchange);
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange* /*pDX*/) {}

BOOL CDialog::OnInitDialog() {
  (void)UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND:
      if (CommandCode(wParam) == BN_CLICKED) {
        if (CommandId(wParam) == IDOK) {
          OnOK();
          return 0;
        }
        if (CommandId(wParam) == IDCANCEL) {
          OnCancel();
          return 0;
        }
      }
      return Default(message, wParam, lParam);
    case WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam), lParam);
      return 0;
    case WM_PAINT:
      OnPaint();
      return 0;
    default:
      return Default(message, wParam, lParam);
  }
}

LRESULT CDialog::Default(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!window_) return 0;
  switch (message) {
    case WM_SYSCOMMAND:
      switch (static_cast<UINT>(wParam) & 0xFFF0) {
        case SC_CLOSE:
          SendMessage(WM_CLOSE, 0, 0);
          break;
        case SC_MINIMIZE:
          if ((template_.style & WS_MINIMIZEBOX) != 0) window_->ApplyState(WindowState::kMinimized);
          break;
        case SC_MAXIMIZE:
          if ((template_.style & WS_MAXIMIZEBOX) != 0) window_->ApplyState(WindowState::kMaximized);
          break;
        case SC_RESTORE:
          window_->ApplyState(WindowState::kNormal);
          break;
        default:
          break;  // moving and sizing are the window manager's
      }
      return 0;
    case WM_CLOSE:
      // The dialog manager turns a close into the Cancel command.
      SendMessage(WM_COMMAND, MakeCommandParam(IDCANCEL, BN_CLICKED), 0);
      return 0;
    case WM_ICONERASEBKGND:
      window_->lastPaint_.iconBackgroundErased = true;
      window_->lastPaint_.erasedDc = wParam;
      return 1;
    case WM_PAINT:
      window_->lastPaint_ = PaintRecord{};
      return 0;
    case WM_SETICON: {
      const bool big = wParam == ICON_BIG;
      HICON previous = window_->icon(big);
      window_->SetIcon(reinterpret_cast<HICON>(lParam), big);
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_DEVICECHANGE:
      return TRUE;
    default:
      return 0;
  }
}

void CDialog::OnSysCommand(UINT id, LPARAM lParam) { (void)Default(WM_SYSCOMMAND, id, lParam); }

void CDialog::OnPaint() { (void)Default(WM_PAINT, 0, 0); }

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!window_) return 0;
  if (TheHooks().spy) TheHooks().spy(hwnd_, message, wParam, lParam);
  return WindowProc(message, wParam, lParam);
}

bool CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return korrin::window::PostMessage(hwnd_, message, wParam, lParam);
}

UINT_PTR CDialog::SetTimer(UINT_PTR id, UINT elapseMs) {
  if (!window_ || id == 0) return 0;
  auto& timers = window_->timers_->timers;
  auto it = timers.find(id);
  if (it == timers.end()) {
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [this, id] {
      if (window_) SendMessage(WM_TIMER, id, 0);
    });
    it = timers.emplace(id, std::move(timer)).first;
  }
  // The window system's shortest period is 10 ms.
  const UINT period = std::clamp<UINT>(elapseMs, 10, static_cast<UINT>(INT_MAX));
  it->second->start(static_cast<int>(period));
  return id;
}

BOOL CDialog::KillTimer(UINT_PTR id) {
  if (!window_) return FALSE;
  auto& timers = window_->timers_->timers;
  auto it = timers.find(id);
  if (it == timers.end() || !it->second->isActive()) return FALSE;
  // Stopped, not deleted: KillTimer is often called from the timer's own
  // tick, and the timer object is reused by the next SetTimer.
  it->second->stop();
  return TRUE;
}

bool CDialog::IsTimerRunning(UINT_PTR id) const { return window_ && window_->HasTimer(id); }

CWnd* CDialog::GetDlgItem(int id) {
  if (!window_) return nullptr;
  ControlModel* control = window_->Control(id);
  if (control == nullptr) return nullptr;
  auto& slot = window_->items_[id];
  if (!slot) {
    slot = std::make_unique<CWnd>();
    slot->model_ = control;
  }
  return slot.get();
}

CMenu* CDialog::GetSystemMenu(BOOL revert) {
  if (!window_ || !window_->hasSystemMenu()) return nullptr;
  if (revert) {
    window_->systemMenu_.Reset(StandardWindowMenu(template_.style));
    return nullptr;
  }
  return &window_->systemMenu_;
}

BOOL CDialog::IsIconic() const { return window_ && window_->state() == WindowState::kMinimized ? TRUE : FALSE; }

void CDialog::GetClientRect(Rect* rect) const {
  if (rect == nullptr) return;
  *rect = window_ ? window_->clientRect() : Rect{};
}

void CDialog::SetIcon(HICON icon, BOOL big) {
  (void)SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

HICON CDialog::GetIcon(BOOL big) const { return window_ ? window_->icon(big != FALSE) : nullptr; }

int CDialog::FocusedControlId() const { return window_ ? window_->focusedId() : 0; }

// ---------------------------------------------------------------------------
CWinApp::CWinApp(const char* appName) {
  if (appName != nullptr) appName_ = std::string(appName);
  if (TheApp() == nullptr) TheApp() = this;
}

CWinApp::~CWinApp() {
  if (TheApp() == this) TheApp() = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

CWinApp* AfxGetApp() { return TheApp(); }

BOOL AfxOleInit() { return TRUE; }

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr || !OnUiThread()) return 1;
  if (!app->InitInstance()) return app->ExitInstance();
  QCoreApplication::exec();
  return app->ExitInstance();
}

void SetMainWindow(CDialog* dialog) {
  if (CWinApp* app = AfxGetApp()) {
    app->m_pMainWnd = dialog;
  } else {
    MainWindowWithoutApp() = dialog;
  }
}

CDialog* MainWindow() {
  if (CWinApp* app = AfxGetApp()) return app->m_pMainWnd;
  return MainWindowWithoutApp();
}

}  // namespace korrin::window
