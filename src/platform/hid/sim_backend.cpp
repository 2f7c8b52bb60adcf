#include "platform/hid/sim_backend.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <utility>

#include "platform/clock.h"

namespace korrin::hid::sim {

using korrin::sim::Answer;
using korrin::sim::Device;
using std::chrono::milliseconds;

namespace {
// A host that stops reading loses the oldest answers, as a kernel's input
// ring does, instead of letting the queue grow without end.
constexpr std::size_t kQueueLimit = 64;
}  // namespace

// One plug-in of one device. A later plug-in of the same device is a new
// Plugged, so handles of the old one stay gone.
struct SimBus::Plugged {
  explicit Plugged(std::shared_ptr<Device> d) : device(std::move(d)) {}
  void Broadcast(const Answer& answer, std::chrono::steady_clock::time_point readyAt, std::uint32_t failures);

  const std::shared_ptr<Device> device;
  std::atomic<bool> gone{false};
  std::mutex mutex;  // guards readers
  std::vector<std::weak_ptr<Interface>> readers;  // handles open on the bootloader interface
};

class SimBus::Interface final : public OpenInterface {
 public:
  Interface(std::weak_ptr<SimBus> bus, std::shared_ptr<Plugged> plugged, std::size_t index)
      : bus_(std::move(bus)), plugged_(std::move(plugged)), index_(index) {}

  bool Write(ConstReport report) override;
  ReadResult Read(Report into, milliseconds bound) override;
  void Cancel() override { cancels_.fetch_add(1); }
  void Close() override;
  void Deliver(const Answer& answer, std::chrono::steady_clock::time_point readyAt, std::uint32_t failures);

 private:
  struct Pending {
    Answer answer;
    std::chrono::steady_clock::time_point readyAt;
    std::uint32_t failuresLeft;
  };
  bool Usable() const { return !closed_.load() && !plugged_->gone.load(); }
  void RemoveDevice();

  const std::weak_ptr<SimBus> bus_;
  const std::shared_ptr<Plugged> plugged_;
  const std::size_t index_;
  std::atomic<bool> closed_{false};
  std::atomic<std::uint64_t> cancels_{0};
  std::mutex mutex_;  // guards queue_
  std::deque<Pending> queue_;
};

void SimBus::Plugged::Broadcast(const Answer& answer, std::chrono::steady_clock::time_point readyAt,
                                std::uint32_t failures) {
  std::lock_guard lock(mutex);
  std::erase_if(readers, [](const std::weak_ptr<Interface>& reader) { return reader.expired(); });
  for (auto& weak : readers) {
    if (auto reader = weak.lock()) reader->Deliver(answer, readyAt, failures);
  }
}

void SimBus::Interface::Deliver(const Answer& answer, std::chrono::steady_clock::time_point readyAt,
                                std::uint32_t failures) {
  if (closed_.load()) return;
  std::lock_guard lock(mutex_);
  if (queue_.size() >= kQueueLimit) queue_.pop_front();
  queue_.push_back(Pending{answer, readyAt, failures});
}

void SimBus::Interface::RemoveDevice() {
  if (auto bus = bus_.lock()) {
    bus->Remove(plugged_);
  } else {
    plugged_->gone.store(true);
  }
}

bool SimBus::Interface::Write(ConstReport report) {
  if (!Usable()) return false;
  // The device's other collections declare no report of this size.
  if (index_ != 0) return false;
  Device& device = *plugged_->device;
  const auto faults = device.faults();
  switch (device.OnWrite(report)) {
    case Device::WriteFate::kRemove:
      RemoveDevice();
      return false;
    case Device::WriteFate::kFail:
      return false;
    case Device::WriteFate::kDeliver:
      break;
  }
  auto& clock = platform::CurrentClock();
  if (faults.reportTime > milliseconds::zero()) clock.Sleep(faults.reportTime);
  // The device may have gone while the report was on the bus.
  if (!Usable()) return false;
  if (auto answer = device.bootloader().HandleOutputReport(report))
    plugged_->Broadcast(*answer, clock.Now() + faults.answerDelay, faults.failedReadsBeforeAnswer);
  return true;
}

ReadResult SimBus::Interface::Read(Report into, milliseconds bound) {
  if (!Usable()) return ReadResult::kFailed;
  if (index_ != 0) return ReadResult::kTimeout;
  Device& device = *plugged_->device;
  switch (device.OnRead()) {
    case Device::ReadFate::kRemove:
      RemoveDevice();
      return ReadResult::kFailed;
    case Device::ReadFate::kFail:
      return ReadResult::kFailed;
    case Device::ReadFate::kProceed:
      break;
  }
  const std::uint64_t cancelsAtStart = cancels_.load();
  auto& clock = platform::CurrentClock();
  const auto now = clock.Now();
  milliseconds wait{0};
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return ReadResult::kTimeout;
    Pending& head = queue_.front();
    if (head.failuresLeft > 0) {
      --head.failuresLeft;
      return ReadResult::kFailed;
    }
    if (head.readyAt > now) wait = std::chrono::ceil<milliseconds>(head.readyAt - now);
  }
  if (wait > bound) {
    if (bound > milliseconds::zero()) clock.Sleep(bound);
    return Usable() ? ReadResult::kTimeout : ReadResult::kFailed;
  }
  if (wait > milliseconds::zero()) clock.Sleep(wait);
  const auto reportTime = device.faults().reportTime;
  if (reportTime > milliseconds::zero()) clock.Sleep(reportTime);
  std::lock_guard lock(mutex_);
  // Removed, closed or cancelled while waiting: the read fails as an
  // aborted one does.
  if (!Usable() || cancels_.load() != cancelsAtStart) return ReadResult::kFailed;
  if (queue_.empty()) return ReadResult::kTimeout;  // another read on this handle took it
  std::copy(queue_.front().answer.begin(), queue_.front().answer.end(), into.begin());
  queue_.pop_front();
  return ReadResult::kOk;
}

void SimBus::Interface::Close() {
  if (closed_.exchange(true)) return;
  {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }
  if (auto bus = bus_.lock()) bus->closes_.fetch_add(1);
}

std::shared_ptr<SimBus> SimBus::Create() { return std::shared_ptr<SimBus>(new SimBus()); }

bool SimBus::Plug(std::shared_ptr<Device> device) {
  if (!device) return false;
  std::lock_guard lock(mutex_);
  for (const auto& plugged : plugged_) {
    if (plugged->device == device) return false;
    for (const auto& mine : device->interfaces())
      for (const auto& theirs : plugged->device->interfaces())
        if (mine.path == theirs.path) return false;
  }
  plugged_.push_back(std::make_shared<Plugged>(std::move(device)));
  return true;
}

bool SimBus::Unplug(const std::shared_ptr<Device>& device) {
  std::shared_ptr<Plugged> found;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(plugged_.begin(), plugged_.end(), [&](const auto& p) { return p->device == device; });
    if (it == plugged_.end()) return false;
    found = *it;
  }
  Remove(found);
  return true;
}

void SimBus::Remove(const std::shared_ptr<Plugged>& plugged) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(plugged_.begin(), plugged_.end(), plugged);
    // Already removed by another thread (an unplug racing a fault): tell
    // the host once.
    if (it == plugged_.end()) return;
    plugged_.erase(it);
    plugged->gone.store(true);
  }
  std::lock_guard lock(callbackMutex_);
  // A copy, so that a callback which replaces the callback does not destroy
  // the one running.
  const RemovalCallback callback = callback_;
  if (!callback) return;
  for (const auto& params : plugged->device->interfaces()) callback(params.path);
}

bool SimBus::IsPlugged(const Device& device) const {
  std::lock_guard lock(mutex_);
  return std::any_of(plugged_.begin(), plugged_.end(), [&](const auto& p) { return p->device.get() == &device; });
}

SimBus::Counters SimBus::counters() const { return Counters{opens_.load(), failedOpens_.load(), closes_.load()}; }

std::vector<InterfaceRecord> SimBus::Enumerate() {
  std::lock_guard lock(mutex_);
  std::vector<InterfaceRecord> records;
  for (const auto& plugged : plugged_) {
    const Device& device = *plugged->device;
    for (const auto& params : device.interfaces()) {
      InterfaceRecord record;
      if (!params.pathUnreadable) record.path = params.path;
      if (!params.attributesUnreadable)
        record.attributes = Attributes{device.vendorId(), device.productId(), device.versionNumber()};
      records.push_back(std::move(record));
    }
  }
  return records;
}

std::shared_ptr<OpenInterface> SimBus::Open(const std::string& path, std::string* error) {
  std::lock_guard lock(mutex_);
  for (const auto& plugged : plugged_) {
    const auto& ifaces = plugged->device->interfaces();
    for (std::size_t i = 0; i < ifaces.size(); ++i) {
      if (ifaces[i].path != path) continue;
      if (!ifaces[i].openError.empty()) {
        if (error) *error = "cannot open " + path + ": " + ifaces[i].openError;
        failedOpens_.fetch_add(1);
        return nullptr;
      }
      auto iface = std::make_shared<Interface>(weak_from_this(), plugged, i);
      if (i == 0) {
        std::lock_guard readersLock(plugged->mutex);
        plugged->readers.push_back(iface);
      }
      opens_.fetch_add(1);
      return iface;
    }
  }
  if (error) *error = "cannot open " + path + ": no such device";
  failedOpens_.fetch_add(1);
  return nullptr;
}

void SimBus::SetRemovalCallback(RemovalCallback callback) {
  std::lock_guard lock(callbackMutex_);
  callback_ = std::move(callback);
}

}  // namespace korrin::hid::sim
