#include "platform/hid/linux_backend.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace korrin::hid {
namespace {

// hidapi keeps its last global error in a shared string that hid_init,
// hid_enumerate and hid_open_path all rewrite, so those calls take turns.
std::mutex& HidapiGlobalMutex() {
  static std::mutex mutex;
  return mutex;
}

// A read waits in slices of this length so that Cancel and Close are noticed
// quickly; hidapi offers no way to wake a read that waits in its own poll().
constexpr std::chrono::milliseconds kReadSlice{10};

std::string ProgramName() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "korrin-hid";
}

std::string Hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%.4X", static_cast<unsigned>(value));
  return text;
}

// The number in /dev/hidrawN, for ordering; nodes that do not look like that
// sort after all numbered ones.
long NodeNumber(const std::string& path) {
  static constexpr char kPrefix[] = "/dev/hidraw";
  if (path.rfind(kPrefix, 0) != 0) return -1;
  const char* digits = path.c_str() + sizeof kPrefix - 1;
  if (!*digits) return -1;
  char* end = nullptr;
  long number = std::strtol(digits, &end, 10);
  return *end ? -1 : number;
}

bool NodeOrder(const InterfaceRecord& a, const InterfaceRecord& b) {
  long na = NodeNumber(*a.path), nb = NodeNumber(*b.path);
  if ((na < 0) != (nb < 0)) return nb < 0;
  if (na != nb) return na < nb;
  return *a.path < *b.path;
}

// Why open(2) fails on a node, in words the operator can act on.
std::string ReasonForErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "permission denied: install the udev rule 70-korrin-hid.rules (see the README)";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device (it was removed)";
    case EBUSY:
      return "the device is busy";
    default:
      return std::strerror(error);
  }
}

// One open hidraw node. All hidapi calls on one hid_device take turns: hidapi
// rewrites the device's error string in every read and write, so two calls at
// once would race on it. A read holds its turn for one slice at a time, and a
// waiting writer goes before the next slice, so a write never waits longer
// than a slice behind a long read.
class LinuxInterface final : public OpenInterface {
 public:
  explicit LinuxInterface(hid_device* device) : device_(device) {}
  ~LinuxInterface() override { Close(); }

  bool Write(ConstReport report) override {
    if (!Acquire(true)) return false;
    int written = hid_write(device_, report.data(), report.size());
    Release();
    return written == static_cast<int>(report.size());
  }

  ReadResult Read(Report into, std::chrono::milliseconds bound) override {
    const std::uint64_t generation = cancelGeneration_.load();
    const auto deadline = std::chrono::steady_clock::now() + std::max(bound, std::chrono::milliseconds{0});
    for (;;) {
      if (cancelGeneration_.load() != generation) return ReadResult::kFailed;
      auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto slice = std::clamp(remaining, std::chrono::milliseconds{0}, kReadSlice);
      if (!Acquire(false)) return ReadResult::kFailed;
      int count = hid_read_timeout(device_, into.data(), into.size(), static_cast<int>(slice.count()));
      Release();
      if (count < 0) return ReadResult::kFailed;
      if (count > 0) {
        std::fill(into.begin() + std::min<std::size_t>(count, into.size()), into.end(), std::uint8_t{0});
        return ReadResult::kOk;
      }
      if (remaining <= std::chrono::milliseconds{0}) return ReadResult::kTimeout;
    }
  }

  void Cancel() override { cancelGeneration_.fetch_add(1); }

  void Close() override {
    hid_device* device = nullptr;
    {
      std::unique_lock lock(mutex_);
      if (closed_) return;
      closed_ = true;
      cancelGeneration_.fetch_add(1);
      turnFree_.wait(lock, [&] { return !busy_; });
      device = std::exchange(device_, nullptr);
    }
    if (device) hid_close(device);
  }

 private:
  bool Acquire(bool writer) {
    std::unique_lock lock(mutex_);
    if (writer) ++writersWaiting_;
    turnFree_.wait(lock, [&] { return closed_ || (!busy_ && (writer || writersWaiting_ == 0)); });
    if (writer) --writersWaiting_;
    if (closed_) {
      // A reader held back for this writer must re-check its condition.
      if (writer) turnFree_.notify_all();
      return false;
    }
    busy_ = true;
    return true;
  }

  void Release() {
    {
      std::lock_guard lock(mutex_);
      busy_ = false;
    }
    turnFree_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable turnFree_;
  hid_device* device_;
  bool busy_ = false;
  bool closed_ = false;
  int writersWaiting_ = 0;
  std::atomic<std::uint64_t> cancelGeneration_{0};
};

// Listens for hidraw removals on its own thread. The thread sleeps in poll()
// on the monitor's socket and an eventfd that Stop writes, so stopping never
// waits for a device event.
class RemovalMonitor {
 public:
  using Sink = std::function<void(const std::string&)>;

  RemovalMonitor(std::string source, Sink diagnostics)
      : source_(std::move(source)), diagnostics_(std::move(diagnostics)) {}
  // Must not run on the monitor thread, i.e. from inside a removal callback.
  ~RemovalMonitor() { SetCallback(nullptr); }

  void SetCallback(RemovalCallback callback) {
    bool start;
    {
      std::lock_guard lock(callbackMutex_);
      callback_ = std::move(callback);
      start = static_cast<bool>(callback_);
    }
    if (start)
      Start();
    else
      Stop();
  }

 private:
  struct Session {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    int wakeFd = -1;
    std::atomic<bool> stop{false};
    std::thread thread;

    bool OnOwnThread() const { return std::this_thread::get_id() == thread.get_id(); }
    void Wake() const {
      std::uint64_t one = 1;
      [[maybe_unused]] auto ignored = write(wakeFd, &one, sizeof one);
    }
    ~Session() {
      if (thread.joinable()) {
        if (OnOwnThread())
          thread.detach();
        else
          thread.join();
      }
      if (monitor) udev_monitor_unref(monitor);
      if (context) udev_unref(context);
      if (wakeFd >= 0) close(wakeFd);
    }
  };

  void Start() {
    std::unique_ptr<Session> finishing;
    {
      std::lock_guard lock(sessionMutex_);
      if (session_ && !session_->stop) return;
      if (session_ && session_->OnOwnThread()) {
        // A callback turned notifications off and on again: keep listening.
        session_->stop = false;
        return;
      }
      finishing = std::move(session_);
    }
    // A session stopped from inside its own callback ends once the callback
    // has returned; wait for that before listening again.
    finishing.reset();

    auto session = std::make_unique<Session>();
    std::string error;
    if (!OpenMonitor(*session, &error)) {
      std::lock_guard lock(sessionMutex_);
      if (!reportedFailure_) {
        reportedFailure_ = true;
        diagnostics_(ProgramName() + ": removal of HID devices will not be noticed: " + error);
      }
      return;
    }
    Session* raw = session.get();
    {
      std::lock_guard lock(sessionMutex_);
      if (session_) return;  // another thread started one meanwhile; ours is dropped
      session_ = std::move(session);
      raw->thread = std::thread([this, raw] { Run(*raw); });
    }
  }

  void Stop() {
    std::unique_ptr<Session> stopping;
    {
      std::lock_guard lock(sessionMutex_);
      if (!session_) return;
      session_->stop = true;
      // From inside a callback the thread cannot join itself; it leaves its
      // loop when the callback returns and is joined by the next Start or by
      // the destructor.
      if (session_->OnOwnThread()) return;
      stopping = std::move(session_);
    }
    stopping->Wake();
    stopping.reset();  // joins
  }

  bool OpenMonitor(Session& session, std::string* error) const {
    std::string source = source_.empty() ? DefaultMonitorSource() : source_;
    session.context = udev_new();
    if (!session.context) {
      *error = std::string("udev_new failed: ") + std::strerror(errno);
      return false;
    }
    session.monitor = udev_monitor_new_from_netlink(session.context, source.c_str());
    if (!session.monitor) {
      *error = "cannot listen to the \"" + source + "\" device events: " + std::strerror(errno ? errno : EINVAL);
      return false;
    }
    int result = udev_monitor_filter_add_match_subsystem_devtype(session.monitor, "hidraw", nullptr);
    if (result >= 0) result = udev_monitor_enable_receiving(session.monitor);
    if (result < 0) {
      *error = "cannot listen to the \"" + source + "\" device events: " + std::strerror(-result);
      return false;
    }
    session.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (session.wakeFd < 0) {
      *error = std::string("eventfd failed: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  void Run(Session& session) {
    pollfd fds[2] = {{udev_monitor_get_fd(session.monitor), POLLIN, 0}, {session.wakeFd, POLLIN, 0}};
    while (!session.stop) {
      int ready = poll(fds, 2, -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
      if (!(fds[0].revents & POLLIN)) continue;
      udev_device* device = udev_monitor_receive_device(session.monitor);
      if (!device) continue;
      const char* action = udev_device_get_action(device);
      const char* node = udev_device_get_devnode(device);
      std::string path = node ? node : "";
      bool removed = action && std::strcmp(action, "remove") == 0 && !path.empty();
      udev_device_unref(device);
      if (removed) Deliver(path);
    }
  }

  void Deliver(const std::string& path) {
    // Held across the call so that once SetCallback(nullptr) returns on
    // another thread the old callback is never entered again. Recursive, so
    // a callback may itself change the callback.
    std::lock_guard lock(callbackMutex_);
    if (callback_) callback_(path);
  }

  const std::string source_;
  const Sink diagnostics_;
  std::recursive_mutex callbackMutex_;
  RemovalCallback callback_;
  std::mutex sessionMutex_;
  std::unique_ptr<Session> session_;
  bool reportedFailure_ = false;
};

class LinuxBackend final : public Backend {
 public:
  explicit LinuxBackend(LinuxBackendOptions options)
      : noticeVendor_(options.noticeVendor),
        diagnostics_(options.diagnostics ? std::move(options.diagnostics) : WriteToStandardError),
        monitor_(std::move(options.monitorSource), diagnostics_) {
    std::lock_guard lock(HidapiGlobalMutex());
    hid_init();
  }

  std::vector<InterfaceRecord> Enumerate() override {
    std::vector<InterfaceRecord> records;
    {
      std::lock_guard lock(HidapiGlobalMutex());
      hid_device_info* list = hid_enumerate(0, 0);
      // hidapi lists a node once per top-level usage of its report
      // descriptor; the program deals in nodes.
      std::set<std::string> seen;
      for (hid_device_info* info = list; info; info = info->next) {
        if (!info->path || !seen.insert(info->path).second) continue;
        InterfaceRecord record;
        record.path = info->path;
        record.attributes = Attributes{info->vendor_id, info->product_id, info->release_number};
        records.push_back(std::move(record));
      }
      hid_free_enumeration(list);
    }
    std::sort(records.begin(), records.end(), NodeOrder);
    std::lock_guard lock(mutex_);
    for (const auto& record : records) lastSeen_[*record.path] = *record.attributes;
    return records;
  }

  std::shared_ptr<OpenInterface> Open(const std::string& path, std::string* error) override {
    hid_device* device = nullptr;
    std::string hidapiError;
    // hidapi 0.13 corrupts its heap when hid_open_path opens something that
    // is not a hidraw node (it frees the device and then writes its error
    // into it), so nothing else is handed to it.
    if (std::string reason = WhyNotHidraw(path); !reason.empty()) {
      if (error) *error = "cannot open " + path + ": " + reason;
      Notice(path, reason);
      return nullptr;
    }
    {
      std::lock_guard lock(HidapiGlobalMutex());
      device = hid_open_path(path.c_str());
      if (!device) {
        const wchar_t* text = hid_error(nullptr);
        if (text) hidapiError = Narrow(text);
      }
    }
    if (device) return std::make_shared<LinuxInterface>(device);

    std::string reason = WhyOpenFails(path, hidapiError);
    if (error) *error = "cannot open " + path + ": " + reason;
    Notice(path, reason);
    return nullptr;
  }

  void SetRemovalCallback(RemovalCallback callback) override { monitor_.SetCallback(std::move(callback)); }

 private:
  static void WriteToStandardError(const std::string& line) {
    std::string text = line + "\n";
    [[maybe_unused]] auto ignored = write(STDERR_FILENO, text.data(), text.size());
  }

  static std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text; ++text) narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return narrow;
  }

  // Empty when `path` is a hidraw character device this process may open,
  // else the reason.
  static std::string WhyNotHidraw(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return ReasonForErrno(errno);
    // Permission first: it is the one cause an operator can mend himself.
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) return ReasonForErrno(errno);
    if (!S_ISCHR(status.st_mode)) return "not a HID device (no hidraw node)";
    std::string link = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                       std::to_string(minor(status.st_rdev)) + "/subsystem";
    char target[256];
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return "not a HID device (no hidraw node)";
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    if (std::strcmp(name ? name + 1 : target, "hidraw") != 0) return "not a HID device (no hidraw node)";
    return {};
  }

  // hidapi's own message does not keep errno, so ask the system again: the
  // answer names the cause rather than the library call that met it.
  static std::string WhyOpenFails(const std::string& path, const std::string& hidapiError) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return ReasonForErrno(errno);
    close(fd);
    return "not a HID device" + (hidapiError.empty() ? std::string() : " (" + hidapiError + ")");
  }

  // udevd applies the rule's permissions a moment after the kernel has made
  // the node, and a scan in between meets a node that only root may open.
  // That is no reason to send the operator off to install the rule: the
  // notice waits until udevd has dealt with the device. Without udevd
  // nothing will change, so there is nothing to wait for.
  static bool UdevStillSettingUp(const std::string& path) {
    if (access("/run/udev/control", F_OK) != 0) return false;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    udev* context = udev_new();
    if (!context) return false;
    udev_device* device = udev_device_new_from_devnum(context, 'c', status.st_rdev);
    const bool settingUp = device && !udev_device_get_is_initialized(device);
    if (device) udev_device_unref(device);
    udev_unref(context);
    return settingUp;
  }

  void Notice(const std::string& path, const std::string& reason) {
    std::optional<Attributes> attributes;
    {
      std::lock_guard lock(mutex_);
      if (auto it = lastSeen_.find(path); it != lastSeen_.end()) attributes = it->second;
      if (noticeVendor_ && (!attributes || attributes->vendorId != *noticeVendor_)) return;
      if (noticed_.count(path)) return;
    }
    if (UdevStillSettingUp(path)) return;
    {
      std::lock_guard lock(mutex_);
      if (!noticed_.insert(path).second) return;
    }
    std::string line = ProgramName() + ": found HID device " + path;
    if (attributes)
      line += " (vendor " + Hex4(attributes->vendorId) + ", product " + Hex4(attributes->productId) + ")";
    line += " but cannot open it: " + reason;
    diagnostics_(line);
  }

  const std::optional<std::uint16_t> noticeVendor_;
  const std::function<void(const std::string&)> diagnostics_;
  std::mutex mutex_;
  std::map<std::string, Attributes> lastSeen_;
  std::set<std::string> noticed_;
  RemovalMonitor monitor_;
};

}  // namespace

std::string DefaultMonitorSource() { return access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel"; }

std::shared_ptr<Backend> MakeLinuxBackend(LinuxBackendOptions options) {
  return std::make_shared<LinuxBackend>(std::move(options));
}

}  // namespace korrin::hid
