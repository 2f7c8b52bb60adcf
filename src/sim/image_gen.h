// Firmware images made up for tests, the demo, benchmarks and the tools.
//
// Layout written: a 196-byte header, zero except for the version word (file
// byte 3 the major number, byte 2 the minor) and the 16 bytes of image info
// at offset 44 in the convention of bootloader.h (payload length, CRC-32 and
// firmware version, so the simulated device can check what it receives);
// then the payload. The payload is a pure function of its size and seed:
// the little-endian bytes of successive splitmix64 outputs of the seed.
//
// Error convention: WriteImageFile returns false with a reason naming the
// file; the other functions cannot fail. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bootloader.h"

namespace korrin::sim {

inline constexpr std::size_t kImageHeaderSize = 196;
inline constexpr std::size_t kImageInfoFileOffset = 44;

struct ImageSpec {
  std::uint32_t payloadBytes = 10000;
  Version version{1, 0};
  std::uint64_t seed = 1;
};

std::vector<std::uint8_t> MakePayload(std::uint32_t bytes, std::uint64_t seed);
// The image info an image of this payload and version carries.
ImageInfo ImageInfoFor(std::span<const std::uint8_t> payload, Version version);
// Header and payload, as the file holds them.
std::vector<std::uint8_t> MakeImage(const ImageSpec& params);
[[nodiscard]] bool WriteImageFile(const std::string& path, const ImageSpec& params, std::string* error);

// "MAJOR.MINOR", each 0 to 255 in decimal; empty on anything else.
std::optional<Version> ParseVersion(std::string_view text);

}  // namespace korrin::sim
