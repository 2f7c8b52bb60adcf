// A private temporary directory for one test, removed with everything in it
// when the test ends, and the image files the tests write into it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korrin::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korrin-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    root_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path(const std::string& name) const { return (root_ / name).string(); }

  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string path = Path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) ADD_FAILURE() << "could not write " << path;
    return path;
  }

 private:
  std::filesystem::path root_;
};

// An image file's bytes: the version word's bytes 2 (minor) and 3 (major),
// 16 bytes of image info counting up from `infoSeed`, and a payload of
// `payloadLength` bytes whose byte k is (k * 7 + 3) mod 251, so that a block
// cut at the wrong offset shows.
inline std::vector<std::uint8_t> ImageBytes(std::uint32_t payloadLength, std::uint8_t major = 1, std::uint8_t minor = 0,
                                            std::uint8_t infoSeed = 0xA0) {
  std::vector<std::uint8_t> bytes(196 + static_cast<std::size_t>(payloadLength), 0xEE);
  bytes[0] = 0x34;
  bytes[1] = 0x12;
  bytes[2] = minor;
  bytes[3] = major;
  for (std::size_t i = 0; i < 16; ++i) bytes[44 + i] = static_cast<std::uint8_t>(infoSeed + i);
  for (std::uint32_t k = 0; k < payloadLength; ++k) bytes[196 + k] = static_cast<std::uint8_t>((k * 7u + 3u) % 251u);
  return bytes;
}

}  // namespace korrin::testing
