// korrin-sim-program: programs one simulated device with an image through
// the command channel, in the order the program's attach, transfer and
// completion use it, and says what happened at each step.
//
// Waits run on a virtual clock, so the run takes no real time; the time the
// protocol's pauses and the simulated bus would have taken is printed.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "image/image.h"
#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "platform/hid/sim_backend.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"
#include "sim/virtual_clock.h"

namespace {

constexpr const char* kUsage =
    "usage: korrin-sim-program IMAGE [options]\n"
    "\n"
    "Plugs one simulated device into an in-process bus and programs it with\n"
    "IMAGE: version query, image info, the payload in blocks of 4032 bytes at\n"
    "addresses 63*k (with the last, maybe empty, block), end, CRC check request,\n"
    "version query. Prints each step and the device's verdict.\n"
    "Exit status: 0 when the verdict is good, 1 when it is not or the transfer\n"
    "stopped, 2 on a usage or file error.\n"
    "\n"
    "  --capture FILE             write every report exchanged to FILE\n"
    "  --full-speed               each report takes 64 ms on the bus (USB full speed)\n"
    "  --bootloader MAJOR.MINOR   the device's bootloader version (default 2.0)\n"
    "  --firmware MAJOR.MINOR     its firmware before the update (default 1.0)\n"
    "  --negative-verdict         the device answers every CRC check with 0\n"
    "  --fail-write N             the device's N-th write fails (from 1)\n"
    "  --remove-before-block N    the device is pulled out before data frame N (from 1)\n"
    "  --help                     show this text\n";

int Usage(const std::string& problem) {
  std::fprintf(stderr, "korrin-sim-program: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

std::optional<std::uint32_t> ParseCount(const char* text) {
  if (!text || !*text || *text == '-' || *text == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

const char* Ok(bool ok) { return ok ? "ok" : "failed"; }

}  // namespace

int main(int argc, char** argv) {
  using korrin::sim::ParseVersion;
  std::string imagePath, capturePath;
  korrin::sim::DeviceConfig config;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--capture") {
      const char* text = value();
      if (!text) return Usage("--capture needs a file");
      capturePath = text;
    } else if (arg == "--full-speed") {
      config.faults.reportTime = korrin::sim::kFullSpeedReportTime;
    } else if (arg == "--bootloader" || arg == "--firmware") {
      const char* text = value();
      auto version = text ? ParseVersion(text) : std::nullopt;
      if (!version) return Usage(std::string(arg) + " needs MAJOR.MINOR, each from 0 to 255");
      (arg == "--bootloader" ? config.bootloader.bootloader : config.bootloader.firmware) = *version;
    } else if (arg == "--negative-verdict") {
      config.bootloader.negativeVerdict = true;
    } else if (arg == "--fail-write") {
      auto n = ParseCount(value());
      if (!n) return Usage("--fail-write needs a number from 1");
      config.faults.failWrites.insert(*n);
    } else if (arg == "--remove-before-block") {
      auto n = ParseCount(value());
      if (!n) return Usage("--remove-before-block needs a number from 1");
      config.faults.removeBeforeDataFrame = *n;
    } else if (!arg.empty() && arg.front() == '-') {
      return Usage("unknown option " + std::string(arg));
    } else if (imagePath.empty()) {
      imagePath = arg;
    } else {
      return Usage("only one image may be given");
    }
  }
  if (imagePath.empty()) return Usage("no image given");

  korrin::image::LoadError loadError;
  auto image = korrin::image::LoadedImage::Load(imagePath, &loadError);
  if (!image) {
    std::fprintf(stderr, "korrin-sim-program: %s\n", loadError.detail.c_str());
    return 2;
  }
  const std::uint32_t blocks = image->BlockCount();
  std::printf("image %s: version %s, payload %u bytes in %u blocks\n", imagePath.c_str(), image->Version().c_str(),
              image->PayloadLength(), blocks);

  auto clock = std::make_shared<korrin::sim::VirtualClock>();
  korrin::platform::InstallClock(clock);
  auto bus = korrin::hid::sim::SimBus::Create();
  auto device = std::make_shared<korrin::sim::Device>(config);
  korrin::hid::InstallSystem(bus);
  (void)bus->Plug(device);
  auto& system = korrin::hid::System();
  std::string error;
  const korrin::hid::Handle handle = system.Open(device->path(), &error);
  if (handle == korrin::hid::kInvalidHandle) {
    std::fprintf(stderr, "korrin-sim-program: %s\n", error.c_str());
    return 2;
  }
  std::printf("device %s: VendorID:0x%04X; ProductID:0x%04X; Version: 0x%04X\n", device->path().c_str(),
              device->vendorId(), device->productId(), device->versionNumber());
  g_Comm.m_hDevice = handle;

  // Attach: versions, then the announcement; the transfer starts whatever
  // the announcement's result, as in the program.
  bool wrote = g_Comm.ReadInfo(korrin::protocol::kCmdReadInfo, korrin::protocol::kReadInfoValue);
  std::printf("ReadInfo: %s, bootloader %s, firmware %s\n", Ok(wrote), g_Comm.m_strBootloaderVersion.c_str(),
              g_Comm.m_strFirmwareVersion.c_str());
  wrote = g_Comm.WriteImageInfo(image->ImageInfo());
  std::printf("WriteImageInfo: %s\n", Ok(wrote));

  std::uint32_t sent = 0;
  for (; sent < blocks; ++sent) {
    const auto block = image->BlockAt(sent);
    wrote = g_Comm.WriteBlock(korrin::protocol::kCmdDataBlock, block.length, block.address, image->BlockData(sent));
    std::printf("WriteBlock %u: address %u, %u bytes: %s\n", sent, block.address, block.length, Ok(wrote));
    if (!wrote) break;
  }

  int status = 1;
  if (sent < blocks) {
    // The worker ends at its first failed block and the completion never runs.
    std::printf("transfer stopped at block %u of %u; no completion\n", sent, blocks);
  } else {
    wrote = g_Comm.SendFinish();
    std::printf("SendFinish: %s\n", Ok(wrote));
    const bool good = g_Comm.QueryCrc();
    std::printf("QueryCrc: %s\n", good ? "CRC check OK" : "CRC check failed");
    wrote = g_Comm.ReadInfo(korrin::protocol::kCmdReadInfo, korrin::protocol::kReadInfoValue);
    std::printf("ReadInfo: %s, bootloader %s, firmware %s\n", Ok(wrote), g_Comm.m_strBootloaderVersion.c_str(),
                g_Comm.m_strFirmwareVersion.c_str());
    std::printf("verdict: %d\n", good ? 1 : 0);
    status = good ? 0 : 1;
  }

  // What the device saw, so a bad verdict can be explained.
  const auto& model = device->bootloader();
  for (const auto& text : model.ProtocolErrorTexts()) std::printf("device protocol error: %s\n", text.c_str());
  for (const auto& text : model.Update().problems) std::printf("device update problem: %s\n", text.c_str());
  std::printf("device received %zu reports; simulated time %lld ms\n", model.ReportsReceived(),
              static_cast<long long>(clock->Elapsed().count()));

  if (!capturePath.empty()) {
    if (!model.WriteCaptureFile(capturePath, &error)) {
      std::fprintf(stderr, "korrin-sim-program: %s\n", error.c_str());
      status = 2;
    } else {
      std::printf("capture written to %s\n", capturePath.c_str());
    }
  }
  (void)system.CloseHandle(handle);
  g_Comm.m_hDevice = korrin::hid::kInvalidHandle;
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  korrin::platform::InstallClock(nullptr);
  return status;
}
