#include "platform/hid/hid.h"

#include <utility>

namespace korrin::hid {

HidSystem::HidSystem(std::shared_ptr<Backend> backend) : backend_(std::move(backend)) {
  backend_->SetRemovalCallback([this](const std::string& path) { DeliverRemoval(path); });
}

HidSystem::~HidSystem() {
  backend_->SetRemovalCallback(nullptr);
  std::unordered_map<Handle, std::shared_ptr<OpenInterface>> open;
  {
    std::lock_guard lock(mutex_);
    open.swap(open_);
  }
  for (auto& [handle, iface] : open) iface->Close();
}

std::vector<InterfaceRecord> HidSystem::EnumerateInterfaces() { return backend_->Enumerate(); }

Handle HidSystem::Open(const std::string& path, std::string* error) {
  auto iface = backend_->Open(path, error);
  if (!iface) return kInvalidHandle;
  std::lock_guard lock(mutex_);
  // Handles are never reused within a run, so a stale copy of a closed handle
  // can never reach the interface that a later open got.
  Handle handle = next_++;
  open_.emplace(handle, std::move(iface));
  return handle;
}

std::shared_ptr<OpenInterface> HidSystem::Find(Handle handle) const {
  std::lock_guard lock(mutex_);
  auto it = open_.find(handle);
  return it == open_.end() ? nullptr : it->second;
}

bool HidSystem::WriteReport(Handle handle, ConstReport report) {
  auto iface = Find(handle);
  return iface && iface->Write(report);
}

ReadResult HidSystem::ReadReport(Handle handle, Report into, std::chrono::milliseconds bound) {
  auto iface = Find(handle);
  if (!iface) return ReadResult::kFailed;
  return iface->Read(into, bound);
}

void HidSystem::CancelIo(Handle handle) {
  if (auto iface = Find(handle)) iface->Cancel();
}

bool HidSystem::CloseHandle(Handle handle) {
  std::shared_ptr<OpenInterface> iface;
  {
    std::lock_guard lock(mutex_);
    auto it = open_.find(handle);
    if (it == open_.end()) return false;
    iface = std::move(it->second);
    open_.erase(it);
  }
  // Wake a read waiting on another thread before the resource goes.
  iface->Cancel();
  iface->Close();
  return true;
}

bool HidSystem::IsOpen(Handle handle) const { return Find(handle) != nullptr; }

std::size_t HidSystem::OpenHandleCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

int HidSystem::SubscribeRemoval(RemovalCallback callback) {
  std::lock_guard lock(subscribersMutex_);
  int token = nextToken_++;
  subscribers_.emplace(token, std::move(callback));
  return token;
}

void HidSystem::Unsubscribe(int token) {
  // Taking the delivery lock first means a delivery under way on another
  // thread has finished before the subscriber may go away.
  std::lock_guard delivering(deliveryMutex_);
  std::lock_guard lock(subscribersMutex_);
  subscribers_.erase(token);
}

void HidSystem::DeliverRemoval(const std::string& path) {
  std::lock_guard delivering(deliveryMutex_);
  std::vector<RemovalCallback> callbacks;
  {
    std::lock_guard lock(subscribersMutex_);
    for (auto& [token, callback] : subscribers_) callbacks.push_back(callback);
  }
  for (auto& callback : callbacks) callback(path);
}

namespace {

class NullBackend final : public Backend {
 public:
  std::vector<InterfaceRecord> Enumerate() override { return {}; }
  std::shared_ptr<OpenInterface> Open(const std::string& path, std::string* error) override {
    if (error) *error = "no HID backend is installed, so " + path + " cannot be opened";
    return nullptr;
  }
  void SetRemovalCallback(RemovalCallback) override {}
};

std::unique_ptr<HidSystem>& Slot() {
  // Initialised once, thread-safely, before anyone can use it.
  static std::unique_ptr<HidSystem> system = std::make_unique<HidSystem>(MakeNullBackend());
  return system;
}

}  // namespace

std::shared_ptr<Backend> MakeNullBackend() { return std::make_shared<NullBackend>(); }

HidSystem& System() { return *Slot(); }

void InstallSystem(std::shared_ptr<Backend> backend) {
  Slot() = std::make_unique<HidSystem>(std::move(backend));
}

}  // namespace korrin::hid
