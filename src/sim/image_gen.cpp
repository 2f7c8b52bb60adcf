#include "sim/image_gen.h"

#include <algorithm>
#include <charconv>
#include <fstream>

namespace korrin::sim {

std::vector<std::uint8_t> MakePayload(std::uint32_t bytes, std::uint64_t seed) {
  std::vector<std::uint8_t> payload(bytes);
  std::uint64_t state = seed;
  for (std::size_t i = 0; i < payload.size(); i += 8) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    for (std::size_t k = 0; k < 8 && i + k < payload.size(); ++k) payload[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
  }
  return payload;
}

ImageInfo ImageInfoFor(std::span<const std::uint8_t> payload, Version version) {
  return ImageInfo{static_cast<std::uint32_t>(payload.size()), Crc32(payload), version.minor, version.major};
}

std::vector<std::uint8_t> MakeImage(const ImageSpec& params) {
  const auto payload = MakePayload(params.payloadBytes, params.seed);
  std::vector<std::uint8_t> image(kImageHeaderSize, 0);
  image[2] = params.version.minor;
  image[3] = params.version.major;
  const auto info = EncodeImageInfo(ImageInfoFor(payload, params.version));
  std::copy(info.begin(), info.end(), image.begin() + kImageInfoFileOffset);
  image.insert(image.end(), payload.begin(), payload.end());
  return image;
}

bool WriteImageFile(const std::string& path, const ImageSpec& params, std::string* error) {
  const auto image = MakeImage(params);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    if (error) *error = "cannot create the image file " + path;
    return false;
  }
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.flush();
  if (!out) {
    if (error) *error = "cannot write the image file " + path;
    return false;
  }
  return true;
}

std::optional<Version> ParseVersion(std::string_view text) {
  const auto dot = text.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto number = [](std::string_view part) -> std::optional<std::uint8_t> {
    unsigned value = 0;
    if (part.empty() || part.size() > 3) return std::nullopt;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (ec != std::errc() || end != part.data() + part.size() || value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
  };
  auto major = number(text.substr(0, dot));
  auto minor = number(text.substr(dot + 1));
  if (!major || !minor) return std::nullopt;
  return Version{*major, *minor};
}

}  // namespace korrin::sim
