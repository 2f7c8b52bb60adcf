// korrin-sim-uhid: presents the simulated bootloader as a real HID device
// through /dev/uhid, so that the kernel's HID core, hidraw and the program's
// Linux backend sit between the programmer and the device model.
//
// Output reports from the host go to the model as they arrive; its answers go
// back as input reports. The kernel queues only a few dozen output reports for
// us and drops the rest silently, so this loop must keep up: run it at
// real-time priority (chrt -f 50) on a slow machine.
//
// Standard output gets two kinds of lines, for the scripts that drive it:
//   started                   the kernel has started the HID device
//   receiving                 the first data frame of the run has arrived
//   unplugged                 the device has been destroyed
//   summary reports=N data_frames=N verdicts=ok,failed protocol_errors=N
//           first_report_ms=N
// first_report_ms is the time from the kernel starting the device (its
// hidraw node appearing) to the first report the host wrote, or -1.
// Diagnostics go to standard error. Exit status: 0 after a clean end, 1 when
// uhid fails, 2 for wrong arguments.
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "sim/bootloader.h"
#include "sim/image_gen.h"

namespace {

using korrin::sim::Bootloader;
using korrin::sim::BootloaderConfig;

// One vendor collection: a numbered input report (id 1) and numbered output
// reports 1 (commands) and 2 (data), each 4095 bytes after the id, so every
// report is 4096 bytes, the largest uhid carries.
constexpr unsigned char kReportDescriptor[] = {
    0x06, 0x00, 0xFF,  // usage page: vendor 0xFF00
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x96, 0xFF, 0x0F,  //   report count 4095
    0x85, 0x01,        //   report id 1
    0x09, 0x01,        //   usage 1
    0x81, 0x02,        //   input: data, variable, absolute
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output: data, variable, absolute
    0x85, 0x02,        //   report id 2
    0x09, 0x01,        //   usage 1
    0x91, 0x02,        //   output: data, variable, absolute
    0xC0,              // end collection
};

struct Options {
  std::uint16_t vendor = 0x16D0;
  std::uint16_t product = 0x0001;
  std::uint16_t version = 0x0100;
  // USB, as the real device; hidapi lists no virtual-bus devices at all.
  std::uint16_t bus = 0x03;
  std::string name = "Korrin simulated bootloader";
  BootloaderConfig bootloader;
  std::optional<unsigned> unplugAtData;
  std::optional<unsigned> unplugAfterUpdateMs;
  std::string captureFile;
  std::string payloadFile;
};

const char kUsage[] =
    "usage: korrin-sim-uhid [options]\n"
    "Presents the simulated bootloader as a HID device through /dev/uhid until\n"
    "SIGINT or SIGTERM, or until it unplugs itself as asked.\n"
    "  --vendor HEX --product HEX --version HEX   identity (default 16D0 0001 0100)\n"
    "  --bus usb|bluetooth|virtual               bus type (default usb)\n"
    "  --name TEXT                               the HID device's name\n"
    "  --bootloader M.N --firmware M.N           versions the device reports\n"
    "  --negative-verdict                        every CRC verdict fails\n"
    "  --silent                                  answer nothing\n"
    "  --unplug-at-data N                        destroy the device when data frame N arrives\n"
    "  --unplug-after-update MS                  destroy it MS ms after the version answer\n"
    "                                            that follows a CRC verdict\n"
    "  --capture FILE                            write every report exchanged at the end\n"
    "  --payload FILE                            write the payload received at the end\n";

bool ParseNumber(std::string_view text, int base, unsigned long max, unsigned long* value) {
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  unsigned long parsed = std::strtoul(copy.c_str(), &end, base);
  if (copy.empty() || *end || errno || parsed > max) return false;
  *value = parsed;
  return true;
}

// False with a message on standard error when the arguments are wrong.
bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string_view(argv[++i]);
    };
    auto fail = [&](const char* why) {
      std::fprintf(stderr, "korrin-sim-uhid: %s: %.*s\n%s", why, static_cast<int>(arg.size()), arg.data(), kUsage);
      return false;
    };
    unsigned long number = 0;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--negative-verdict") {
      options->bootloader.negativeVerdict = true;
    } else if (arg == "--silent") {
      options->bootloader.silent = true;
    } else if (arg == "--vendor" || arg == "--product" || arg == "--version") {
      auto text = value();
      if (!text || !ParseNumber(*text, 16, 0xFFFF, &number)) return fail("needs a 16-bit hexadecimal number");
      (arg == "--vendor" ? options->vendor : arg == "--product" ? options->product : options->version) =
          static_cast<std::uint16_t>(number);
    } else if (arg == "--bus") {
      auto text = value();
      if (text == "usb")
        options->bus = 0x03;
      else if (text == "bluetooth")
        options->bus = 0x05;
      else if (text == "virtual")
        options->bus = 0x06;
      else
        return fail("needs usb, bluetooth or virtual");
    } else if (arg == "--name") {
      auto text = value();
      if (!text || text->size() >= sizeof(uhid_create2_req::name)) return fail("needs a name of under 128 bytes");
      options->name = *text;
    } else if (arg == "--bootloader" || arg == "--firmware") {
      auto text = value();
      auto version = text ? korrin::sim::ParseVersion(*text) : std::nullopt;
      if (!version) return fail("needs a version MAJOR.MINOR");
      (arg == "--bootloader" ? options->bootloader.bootloader : options->bootloader.firmware) = *version;
    } else if (arg == "--unplug-at-data" || arg == "--unplug-after-update") {
      auto text = value();
      if (!text || !ParseNumber(*text, 10, 1000000, &number)) return fail("needs a number");
      (arg == "--unplug-at-data" ? options->unplugAtData : options->unplugAfterUpdateMs) = static_cast<unsigned>(number);
    } else if (arg == "--capture" || arg == "--payload") {
      auto text = value();
      if (!text || text->empty()) return fail("needs a file name");
      (arg == "--capture" ? options->captureFile : options->payloadFile) = *text;
    } else {
      return fail("unknown argument");
    }
  }
  return true;
}

void Say(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool Send(int fd, const uhid_event& event) {
  for (;;) {
    ssize_t written = write(fd, &event, sizeof event);
    if (written == static_cast<ssize_t>(sizeof event)) return true;
    if (written < 0 && errno == EINTR) continue;
    std::fprintf(stderr, "korrin-sim-uhid: writing to /dev/uhid failed: %s\n",
                 written < 0 ? std::strerror(errno) : "short write");
    return false;
  }
}

class UhidDevice {
 public:
  UhidDevice(const Options& options, Bootloader& model) : options_(options), model_(model) {}
  ~UhidDevice() {
    Destroy();
    if (fd_ >= 0) close(fd_);
  }

  bool Create() {
    fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      std::fprintf(stderr, "korrin-sim-uhid: cannot open /dev/uhid: %s\n", std::strerror(errno));
      return false;
    }
    uhid_event event{};
    event.type = UHID_CREATE2;
    auto& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "%s", options_.name.c_str());
    std::snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "korrin-sim-uhid/%d", getpid());
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "korrin-sim-%d", getpid());
    create.rd_size = sizeof kReportDescriptor;
    std::memcpy(create.rd_data, kReportDescriptor, sizeof kReportDescriptor);
    create.bus = options_.bus;
    create.vendor = options_.vendor;
    create.product = options_.product;
    create.version = options_.version;
    if (!Send(fd_, event)) return false;
    created_ = true;
    return true;
  }

  void Destroy() {
    if (!created_) return;
    created_ = false;
    uhid_event event{};
    event.type = UHID_DESTROY;
    if (Send(fd_, event)) Say("unplugged");
  }

  bool created() const { return created_; }
  int fd() const { return fd_; }

  // Handles one event from the kernel. False when uhid failed.
  bool HandleEvent() {
    uhid_event event{};
    ssize_t got = read(fd_, &event, sizeof event);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) return true;
      std::fprintf(stderr, "korrin-sim-uhid: reading /dev/uhid failed: %s\n", std::strerror(errno));
      return false;
    }
    switch (event.type) {
      case UHID_START:
        startedAt_ = std::chrono::steady_clock::now();
        Say("started");
        return true;
      case UHID_OUTPUT:
        if (event.u.output.rtype != UHID_OUTPUT_REPORT) return true;
        return Output(event.u.output.data, event.u.output.size);
      case UHID_GET_REPORT: {
        // The device has no feature or pollable input reports.
        uhid_event reply{};
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = event.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
        return Send(fd_, reply);
      }
      case UHID_SET_REPORT: {
        uhid_event reply{};
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = event.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
        return Send(fd_, reply);
      }
      default:
        return true;  // open, close, stop: nothing to do
    }
  }

  // When the device should unplug itself after an update, the time it will.
  std::optional<std::chrono::steady_clock::time_point> unplugAt() const { return unplugAt_; }

  long FirstReportMs() const {
    if (!startedAt_ || !firstReportAt_) return -1;
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(*firstReportAt_ - *startedAt_).count());
  }

 private:
  bool Output(const std::uint8_t* data, std::size_t size) {
    if (!firstReportAt_) firstReportAt_ = std::chrono::steady_clock::now();
    if (data[0] == korrin::sim::kDataReportId && size > 0) {
      if (++dataFrames_ == 1) Say("receiving");
      if (options_.unplugAtData && dataFrames_ == *options_.unplugAtData) {
        Destroy();
        return true;
      }
    }
    const std::size_t verdictsBefore = model_.Verdicts().size();
    auto answer = model_.HandleOutputReport(std::span<const std::uint8_t>(data, size));
    if (model_.Verdicts().size() > verdictsBefore) verdictSeen_ = true;
    if (!answer) return true;
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<std::uint16_t>(answer->size());
    std::memcpy(event.u.input2.data, answer->data(), answer->size());
    if (!Send(fd_, event)) return false;
    // The host reads the versions once more after the verdict; that answer
    // ends the update. Unplugging at once could fail the host's read of it,
    // so the device waits a while first.
    if (verdictSeen_ && (*answer)[4] == korrin::sim::kReadInfoCommand && options_.unplugAfterUpdateMs && !unplugAt_)
      unplugAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(*options_.unplugAfterUpdateMs);
    return true;
  }

  const Options& options_;
  Bootloader& model_;
  int fd_ = -1;
  bool created_ = false;
  unsigned dataFrames_ = 0;
  bool verdictSeen_ = false;
  std::optional<std::chrono::steady_clock::time_point> unplugAt_;
  std::optional<std::chrono::steady_clock::time_point> startedAt_;
  std::optional<std::chrono::steady_clock::time_point> firstReportAt_;
};

bool WriteOutputs(const Options& options, const Bootloader& model, long firstReportMs) {
  bool ok = true;
  std::string error;
  if (!options.captureFile.empty() && !model.WriteCaptureFile(options.captureFile, &error)) {
    std::fprintf(stderr, "korrin-sim-uhid: %s\n", error.c_str());
    ok = false;
  }
  if (!options.payloadFile.empty()) {
    auto payload = model.Payload();
    std::ofstream out(options.payloadFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "korrin-sim-uhid: cannot write the payload to %s\n", options.payloadFile.c_str());
      ok = false;
    }
  }
  for (const auto& text : model.ProtocolErrorTexts()) std::fprintf(stderr, "korrin-sim-uhid: %s\n", text.c_str());
  std::string verdicts;
  for (bool verdict : model.Verdicts()) verdicts += std::string(verdicts.empty() ? "" : ",") + (verdict ? "ok" : "failed");
  std::printf("summary reports=%zu data_frames=%zu verdicts=%s protocol_errors=%zu first_report_ms=%ld\n",
              model.ReportsReceived(), model.DataFramesSeen().size(), verdicts.empty() ? "none" : verdicts.c_str(),
              model.ProtocolErrors().size(), firstReportMs);
  std::fflush(stdout);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::fprintf(stderr, "korrin-sim-uhid: signalfd failed: %s\n", std::strerror(errno));
    return 1;
  }

  Bootloader model(options.bootloader);
  UhidDevice device(options, model);
  if (!device.Create()) return 1;

  bool failed = false;
  while (device.created()) {
    int timeout = -1;
    if (auto at = device.unplugAt()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*at - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        device.Destroy();
        break;
      }
      timeout = static_cast<int>(left);
    }
    pollfd fds[2] = {{device.fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    int ready = poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "korrin-sim-uhid: poll failed: %s\n", std::strerror(errno));
      failed = true;
      break;
    }
    if (fds[1].revents & POLLIN) {
      // Reports the host wrote before the signal still count: take what the
      // kernel holds for us before the device goes.
      pollfd pending{device.fd(), POLLIN, 0};
      while (device.created() && poll(&pending, 1, 0) > 0 && (pending.revents & POLLIN))
        if (!device.HandleEvent()) {
          failed = true;
          break;
        }
      break;
    }
    if (fds[0].revents & POLLIN) {
      if (!device.HandleEvent()) {
        failed = true;
        break;
      }
    } else if (fds[0].revents & (POLLERR | POLLHUP)) {
      std::fprintf(stderr, "korrin-sim-uhid: /dev/uhid hung up\n");
      failed = true;
      break;
    }
  }
  device.Destroy();
  bool written = WriteOutputs(options, model, device.FirstReportMs());
  close(signalFd);
  return failed || !written ? 1 : 0;
}
