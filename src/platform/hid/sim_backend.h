// The simulated HID bus: a Backend whose interfaces are simulated bootloader
// devices (sim/bootloader.h) plugged in and pulled out by tests, the demo's
// scenario thread or a tool, from any thread.
//
// What the bus promises, beyond the Backend contract of hid.h:
// - Enumerate lists the interfaces of the plugged devices in plug order, and
//   each device's interfaces in the order it declares them. An interface may
//   be configured so that its path or its attributes cannot be read.
// - Open fails, with a reason, for a path that no plugged device presents or
//   an interface configured to refuse opens ("permission denied").
// - Reports written on a device's first interface reach its one bootloader;
//   its answers are queued on every handle open on that interface (as the
//   kernel gives each open node its own copy), at most 64 per handle, the
//   oldest dropped first. The device's other interfaces take no report
//   (writes fail) and send none (reads time out at once).
// - A read delivers the oldest queued answer. When none is queued none can
//   come, because the device answers while the request is written: the read
//   returns kTimeout at once instead of waiting out its bound. An answer
//   delay is waited on the installable clock (platform/clock.h) and measured
//   with its Now(), so it needs a clock whose time moves with Sleep
//   (the real one, or sim::VirtualClock); so is the report time of a slow bus.
// - Unplug marks the device's interfaces gone: every later operation on
//   their handles fails, a read still waiting returns kFailed, and the
//   removal callback is called with each interface path, on the thread that
//   unplugged, before Unplug returns. The same holds when a fault of the
//   device (LinkFaults) removes it in the middle of a write or read.
// - A handle opened before an unplug never works again, even after the same
//   device is plugged back in; the host must open it anew.
//
// Error convention: as hid.h. Plug and Unplug return false when there is
// nothing to do. Nothing throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid/hid.h"
#include "sim/bootloader.h"

namespace korrin::hid::sim {

class SimBus final : public Backend, public std::enable_shared_from_this<SimBus> {
 public:
  static std::shared_ptr<SimBus> Create();

  // False when the device is plugged already, or one of its paths is taken
  // by a plugged device.
  bool Plug(std::shared_ptr<korrin::sim::Device> device);
  // False when the device is not plugged.
  bool Unplug(const std::shared_ptr<korrin::sim::Device>& device);
  bool IsPlugged(const korrin::sim::Device& device) const;

  struct Counters {
    std::size_t opens = 0;        // successful opens
    std::size_t failedOpens = 0;  // opens refused
    std::size_t closes = 0;       // handles closed (each counted once)
    std::size_t openNow() const { return opens - closes; }
  };
  Counters counters() const;

  std::vector<InterfaceRecord> Enumerate() override;
  std::shared_ptr<OpenInterface> Open(const std::string& path, std::string* error) override;
  void SetRemovalCallback(RemovalCallback callback) override;

 private:
  struct Plugged;
  class Interface;
  SimBus() = default;
  void Remove(const std::shared_ptr<Plugged>& plugged);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Plugged>> plugged_;
  // Held while the callback runs, so that once SetRemovalCallback(nullptr)
  // returns the old callback is never called again. Recursive because a
  // callback may itself unplug or close.
  std::recursive_mutex callbackMutex_;
  RemovalCallback callback_;
  std::atomic<std::size_t> opens_{0};
  std::atomic<std::size_t> failedOpens_{0};
  std::atomic<std::size_t> closes_{0};
};

}  // namespace korrin::hid::sim
