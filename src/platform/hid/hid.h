// The HID layer: the whole surface through which the program reaches HID
// interfaces. The dialog's handlers and the command channel call only this.
//
// Error convention: operations report failure by their result (false, an
// empty optional, kInvalidHandle or a ReadResult other than kOk) and, where a
// caller may want to tell the operator why, by an error text. Nothing here
// throws, and nothing here logs.
//
// Threads: every function of HidSystem may be called from any thread at any
// time. Handles are plain numbers issued from a locked table; an operation
// looks its handle up, holds the open interface only for the duration of the
// call, and so never touches a closed interface's memory. Closing a handle,
// or removal of its interface, makes every later operation on it fail; an
// operation in flight on another thread when the handle is closed fails or
// completes, but never crashes.
//
// Backends: a Backend knows how to list and open interfaces. The simulated
// backend is always built; the Linux one (hidraw) is a separate target.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace korrin::hid {

// Every report exchanged with the device is this long, byte 0 being the
// report id.
inline constexpr std::size_t kReportSize = 4096;

using Report = std::span<std::uint8_t, kReportSize>;
using ConstReport = std::span<const std::uint8_t, kReportSize>;

// An opaque handle. 0 is never issued (a handle that was never set, as in
// static storage) and kInvalidHandle means "no device"; both fail every
// operation.
using Handle = std::uint64_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};

struct Attributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;
};

// One present HID interface as enumeration found it. A field that the
// platform could not read is empty; a scan passes over such an interface.
struct InterfaceRecord {
  std::optional<std::string> path;
  std::optional<Attributes> attributes;
};

enum class ReadResult {
  kOk,        // one whole input report was delivered
  kTimeout,   // nothing arrived within the bound
  kFailed,    // the handle is invalid or closed, the device is gone, or I/O failed
};

// An interface opened by a backend. Implementations must make Write, Read
// and Cancel safe to call concurrently with each other and with destruction
// of the last reference from another thread (HidSystem keeps each open
// interface alive through shared ownership while a call is in flight).
class OpenInterface {
 public:
  virtual ~OpenInterface() = default;
  // Sends one whole output report. False when the report was not sent.
  [[nodiscard]] virtual bool Write(ConstReport report) = 0;
  // Waits at most `bound` for one input report.
  [[nodiscard]] virtual ReadResult Read(Report into, std::chrono::milliseconds bound) = 0;
  // Abandons I/O that is pending on this interface (a waiting Read returns).
  virtual void Cancel() = 0;
  // Called once, by HidSystem, when the handle is closed: release the
  // underlying resource. Calls still in flight must then fail, not crash.
  virtual void Close() = 0;
};

// Called with the interface path of each removed interface, on whatever
// thread the backend notices it. Receivers hand it on to their own thread.
using RemovalCallback = std::function<void(const std::string& path)>;

class Backend {
 public:
  virtual ~Backend() = default;
  // The HID interfaces present now, in a stable order.
  virtual std::vector<InterfaceRecord> Enumerate() = 0;
  // Opens one interface for synchronous report I/O. On failure returns null
  // and, when `error` is given, sets it to a reason a person can act on.
  virtual std::shared_ptr<OpenInterface> Open(const std::string& path, std::string* error) = 0;
  // Starts (non-null) or stops (null) removal notifications. Backends call
  // the callback from any thread; after a call with null returns, the old
  // callback is never called again.
  virtual void SetRemovalCallback(RemovalCallback callback) = 0;
};

// The handle table in front of one backend.
class HidSystem {
 public:
  explicit HidSystem(std::shared_ptr<Backend> backend);
  ~HidSystem();
  HidSystem(const HidSystem&) = delete;
  HidSystem& operator=(const HidSystem&) = delete;

  std::vector<InterfaceRecord> EnumerateInterfaces();
  // kInvalidHandle on failure, with the reason in `error` when given.
  [[nodiscard]] Handle Open(const std::string& path, std::string* error = nullptr);
  [[nodiscard]] bool WriteReport(Handle handle, ConstReport report);
  [[nodiscard]] ReadResult ReadReport(Handle handle, Report into, std::chrono::milliseconds bound);
  // Cancels pending I/O; quietly does nothing for an unknown handle.
  void CancelIo(Handle handle);
  // False when the handle was not open. Invalidates the handle at once.
  bool CloseHandle(Handle handle);
  // True while the handle is in the table.
  bool IsOpen(Handle handle) const;
  // Number of handles open now (tests check that scans leak none).
  std::size_t OpenHandleCount() const;

  // Removal notifications of the backend. Several subscribers may listen;
  // the returned token ends a subscription with Unsubscribe. Once Unsubscribe
  // returns, the callback is not running on any thread and is never called
  // again.
  int SubscribeRemoval(RemovalCallback callback);
  void Unsubscribe(int token);

  Backend& backend() { return *backend_; }

 private:
  std::shared_ptr<OpenInterface> Find(Handle handle) const;
  void DeliverRemoval(const std::string& path);

  std::shared_ptr<Backend> backend_;
  mutable std::mutex mutex_;
  std::unordered_map<Handle, std::shared_ptr<OpenInterface>> open_;
  Handle next_ = 1;
  // Recursive so that a callback may unsubscribe itself while it is called.
  std::recursive_mutex deliveryMutex_;
  std::mutex subscribersMutex_;
  std::unordered_map<int, RemovalCallback> subscribers_;
  int nextToken_ = 1;
};

// The process-wide HID system that the program's handlers and the command
// channel use. The front end installs one at start (a test installs its
// own); until then a system on an empty backend stands in, so every call
// fails cleanly rather than crashing.
HidSystem& System();
// Replaces the process-wide system. Not thread-safe against concurrent use
// of System(): install before the handlers run.
void InstallSystem(std::shared_ptr<Backend> backend);

// A backend with no interfaces at all: the seam that always builds.
std::shared_ptr<Backend> MakeNullBackend();

}  // namespace korrin::hid
