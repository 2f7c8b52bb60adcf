// The Linux backend of the HID layer: hidraw nodes through hidapi, removal
// notifications from a libudev monitor. Everything of hidapi and libudev stays
// inside linux_backend.cpp; this header is all a front end needs.
//
// What the calls of hid.h mean here:
// - Enumerate lists every hidraw node once, in node-number order, with the
//   vendor and product ids of the HID device and the version number of its USB
//   parent (0 for a device without one, such as a virtual uhid device). Nodes
//   come from hidapi, which knows devices on USB, Bluetooth, I2C and SPI and
//   leaves out those on the virtual bus. The
//   path is the node, /dev/hidrawN; after an unplug the same device may come
//   back under another number, so a path is never worth keeping across scans.
// - Open opens the node for reading and writing. When that fails, the error
//   text says why in words an operator can act on (for a node he may not open:
//   install the udev rule).
// - Write sends exactly one 4096-byte output report; byte 0 is the report id.
// - Read waits at most its bound for one input report. hidraw keeps input
//   reports queued in the kernel until they are read, so a report that came
//   before the read is delivered first. Bytes of the buffer beyond a report
//   shorter than 4096 are zeroed.
// - Cancel: hidraw has no asynchronous requests to abandon; writes complete
//   before the call returns and queued input stays queued. Cancel therefore
//   means "wake the reads that are waiting now": each of them returns kFailed
//   within a few milliseconds. Reads that start after Cancel are unaffected,
//   so the channel's cancel-before-every-write does no harm.
// - Close waits for a call in flight on another thread to leave hidapi (at
//   most one read slice), then releases the device; later calls fail.
// - Removal notifications come from a monitor thread, with the node path of
//   each removed hidraw device. Its netlink source is "udev" where udevd runs
//   (its control socket /run/udev/control exists) and "kernel" elsewhere
//   (containers, a bare initramfs).
//
// Diagnostics: unlike the rest of the HID layer this backend has one thing to
// say on its own, because only it knows the reason: the first time an
// interface of the watched vendor is found but cannot be opened, it writes one
// line naming the path and the reason to the diagnostics sink (standard error
// unless the front end gives another). The same goes, once, for a removal
// monitor that cannot be started. The program's own log never sees these.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/hid/hid.h"

namespace korrin::hid {

struct LinuxBackendOptions {
  // Interfaces of this vendor that cannot be opened are reported once per
  // path; nullopt reports every interface that cannot be opened.
  std::optional<std::uint16_t> noticeVendor = 0x16D0;
  // Where diagnostic lines go (one call per line, no trailing newline). Null
  // writes them to standard error.
  std::function<void(const std::string& line)> diagnostics;
  // "udev", "kernel", or empty to choose as described above.
  std::string monitorSource;
};

std::shared_ptr<Backend> MakeLinuxBackend(LinuxBackendOptions options = {});

// The netlink source the backend picks when none is given: "udev" when
// udevd's control socket exists, else "kernel".
std::string DefaultMonitorSource();

}  // namespace korrin::hid
