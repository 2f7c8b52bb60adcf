// korrin-make-image: writes a firmware image that the simulated device can
// check (see sim/image_gen.h for the layout).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <optional>

#include "sim/image_gen.h"

namespace {

constexpr const char* kUsage =
    "usage: korrin-make-image OUTPUT [--payload-bytes N] [--version MAJOR.MINOR] [--seed S]\n"
    "\n"
    "Writes a firmware image: a 196-byte header with the version (file byte 3\n"
    "the major, byte 2 the minor number) and, at offset 44, the image info that\n"
    "the simulated device checks (payload length, CRC-32, firmware version),\n"
    "then a payload of N bytes made from the seed.\n"
    "\n"
    "  --payload-bytes N      payload length (default 10000; at most 67108864)\n"
    "  --version MAJOR.MINOR  image and firmware version, each 0-255 (default 1.0)\n"
    "  --seed S               seed of the payload bytes (default 1)\n"
    "  --help                 show this text\n";

constexpr std::uint32_t kLargestPayload = 64u << 20;
// Blocks beyond this many no longer have a 16-bit address.
constexpr std::uint64_t kAddressablePayload = 1041ull * 4032 - 1;

bool ParseUnsigned(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.front() == '-' || text.front() == '+') return false;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(copy.c_str(), &end, 0);
  return errno == 0 && end == copy.c_str() + copy.size();
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "korrin-make-image: %s\n%s", problem.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  korrin::sim::ImageSpec params;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--payload-bytes") {
      const char* text = value();
      std::uint64_t n = 0;
      if (!text || !ParseUnsigned(text, n) || n > kLargestPayload)
        return Usage("--payload-bytes needs a number from 0 to " + std::to_string(kLargestPayload));
      params.payloadBytes = static_cast<std::uint32_t>(n);
    } else if (arg == "--version") {
      const char* text = value();
      auto version = text ? korrin::sim::ParseVersion(text) : std::nullopt;
      if (!version) return Usage("--version needs MAJOR.MINOR, each from 0 to 255");
      params.version = *version;
    } else if (arg == "--seed") {
      const char* text = value();
      std::uint64_t seed = 0;
      if (!text || !ParseUnsigned(text, seed)) return Usage("--seed needs an unsigned number");
      params.seed = seed;
    } else if (!arg.empty() && arg.front() == '-') {
      return Usage("unknown option " + std::string(arg));
    } else if (output.empty()) {
      output = arg;
    } else {
      return Usage("only one output path may be given");
    }
  }
  if (output.empty()) return Usage("no output path given");

  std::string error;
  if (!korrin::sim::WriteImageFile(output, params, &error)) {
    std::fprintf(stderr, "korrin-make-image: %s\n", error.c_str());
    return 1;
  }
  const auto info = korrin::sim::ImageInfoFor(korrin::sim::MakePayload(params.payloadBytes, params.seed), params.version);
  std::printf("wrote %s: version %u.%u, payload %u bytes in %u blocks, CRC-32 0x%08X\n", output.c_str(),
              params.version.major, params.version.minor, params.payloadBytes, params.payloadBytes / 4032 + 1,
              info.payloadCrc32);
  if (params.payloadBytes > kAddressablePayload)
    std::printf("note: a payload over %llu bytes has blocks beyond the 16-bit address range\n",
                static_cast<unsigned long long>(kAddressablePayload));
  return 0;
}
