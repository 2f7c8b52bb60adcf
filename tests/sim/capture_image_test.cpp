// The device's capture in its text form, and the generated images.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "frames.h"
#include "sim/bootloader.h"
#include "sim/image_gen.h"

namespace korrin::sim {
namespace {

using testing::Bytes;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korrin-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot make a temporary folder";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(CaptureLine, ElidesTrailingZerosWithACountedMarker) {
  const CaptureEntry entry{CaptureEntry::Direction::kOut, testing::DataFrame(63, Bytes{1, 2, 3, 4})};
  EXPECT_EQ(FormatCaptureLine(entry), "out 02 7f a5 00 81 06 00 3f 00 01 02 03 04 2f ff [4081 zero bytes]");
  const CaptureEntry noZeros{CaptureEntry::Direction::kIn, Bytes{0xAB, 0x00, 0x01}};
  EXPECT_EQ(FormatCaptureLine(noZeros), "in ab 00 01");
  const CaptureEntry allZero{CaptureEntry::Direction::kIn, Bytes(5, 0)};
  EXPECT_EQ(FormatCaptureLine(allZero), "in [5 zero bytes]");
}

TEST(CaptureLine, ParsingUndoesFormatting) {
  const std::vector<CaptureEntry> entries = {
      {CaptureEntry::Direction::kOut, testing::MakeUpdate(5000, Version{1, 2}).blocks[0]},
      {CaptureEntry::Direction::kIn, Bytes{0, 0, 1, 0, 0}},
      {CaptureEntry::Direction::kIn, Bytes{}},
      {CaptureEntry::Direction::kOut, Bytes(4096, 0xFF)},
  };
  for (const auto& entry : entries) {
    auto parsed = ParseCaptureLine(FormatCaptureLine(entry));
    ASSERT_TRUE(parsed) << FormatCaptureLine(entry).substr(0, 80);
    EXPECT_EQ(parsed->direction, entry.direction);
    EXPECT_EQ(parsed->bytes, entry.bytes);
  }
  for (const char* bad : {"", "sideways 01", "out 1", "out 0g", "out 01 [3 zero bytes] 02", "in [x zero bytes]",
                          "in [3 zeros]"})
    EXPECT_FALSE(ParseCaptureLine(bad).has_value()) << bad;
}

TEST(CaptureFile, HoldsOneLinePerReportInOrder) {
  TempDir dir;
  Bootloader device;
  (void)device.HandleOutputReport(testing::ReadRequest());
  testing::SendUpdate(device, testing::MakeUpdate(4032, Version{1, 1}));
  (void)device.HandleOutputReport(testing::CrcRequest());
  std::string error;
  ASSERT_TRUE(device.WriteCaptureFile(dir.File("run.txt"), &error)) << error;

  std::ifstream in(dir.File("run.txt"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // read request + answer, image info, 2 blocks, end, CRC request + answer.
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "out 01 7f a5 01 00 04 00 fa ff [4087 zero bytes]");
  EXPECT_EQ(lines[1].rfind("in 01 7f a5 00 00 04 00 00 02 00 01 ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[7].rfind("in 01 7f a5 00 82 01 00 01 ", 0), 0u) << lines[7];
  const auto capture = device.Capture();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto parsed = ParseCaptureLine(lines[i]);
    ASSERT_TRUE(parsed) << "line " << i;
    EXPECT_EQ(parsed->bytes, capture[i].bytes) << "line " << i;
  }
}

TEST(CaptureFile, UnwritablePathIsReportedWithThePath) {
  Bootloader device;
  std::string error;
  const std::string path = "/nonexistent-folder-for-korrin/run.txt";
  EXPECT_FALSE(device.WriteCaptureFile(path, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
}

TEST(Capture, CanBeSwitchedOffAndCleared) {
  Bootloader device;
  (void)device.HandleOutputReport(testing::ReadRequest());
  device.ClearCapture();
  EXPECT_TRUE(device.Capture().empty());
  device.SetCaptureEnabled(false);
  testing::SendUpdate(device, testing::MakeUpdate(5000, Version{1, 1}));
  EXPECT_TRUE(device.Capture().empty());
  EXPECT_EQ(testing::AskVerdict(device), 1) << "capture does not affect the update";
}

// ---- generated images

TEST(GeneratedImage, HasTheHeaderLayoutThatTheProgrammerReads) {
  const ImageSpec params{10000, Version{2, 13}, 42};
  const Bytes image = MakeImage(params);
  ASSERT_EQ(image.size(), 196u + 10000u);
  EXPECT_EQ(image[2], 13);
  EXPECT_EQ(image[3], 2);
  const Bytes payload(image.begin() + 196, image.end());
  EXPECT_EQ(payload, MakePayload(10000, 42));
  const auto info = DecodeImageInfo(std::span<const std::uint8_t, 16>(image.data() + 44, 16));
  ASSERT_TRUE(info);
  EXPECT_EQ(*info, (ImageInfo{10000, Crc32(payload), 13, 2}));
  for (std::size_t i = 0; i < 196; ++i) {
    if (i == 2 || i == 3 || (i >= 44 && i < 60)) continue;
    EXPECT_EQ(image[i], 0) << "header byte " << i;
  }
}

TEST(GeneratedImage, PayloadDependsOnSeedAndSizeOnly) {
  EXPECT_EQ(MakePayload(1000, 5), MakePayload(1000, 5));
  EXPECT_NE(MakePayload(1000, 5), MakePayload(1000, 6));
  const Bytes longer = MakePayload(1003, 5);
  EXPECT_EQ(Bytes(longer.begin(), longer.begin() + 1000), MakePayload(1000, 5)) << "a prefix, whatever the size";
  EXPECT_TRUE(MakePayload(0, 5).empty());
  // Not a constant fill: a stuck generator would make CRC checks toothless.
  const Bytes p = MakePayload(4096, 1);
  EXPECT_GT(std::count(p.begin(), p.end(), p[0]), 0);
  EXPECT_LT(std::count(p.begin(), p.end(), p[0]), 100);
}

TEST(GeneratedImage, FileHoldsExactlyTheImage) {
  TempDir dir;
  const ImageSpec params{8064, Version{1, 0}, 3};
  std::string error;
  ASSERT_TRUE(WriteImageFile(dir.File("fw.bin"), params, &error)) << error;
  EXPECT_EQ(ReadFile(dir.File("fw.bin")), MakeImage(params));
  EXPECT_FALSE(WriteImageFile("/nonexistent-folder-for-korrin/fw.bin", params, &error));
  EXPECT_NE(error.find("/nonexistent-folder-for-korrin/fw.bin"), std::string::npos) << error;
}

struct VersionText {
  const char* text;
  std::optional<Version> parsed;
};

class VersionParsing : public ::testing::TestWithParam<VersionText> {};

TEST_P(VersionParsing, AcceptsOnlyTwoBytesInDecimal) { EXPECT_EQ(ParseVersion(GetParam().text), GetParam().parsed); }

INSTANTIATE_TEST_SUITE_P(Texts, VersionParsing,
                         ::testing::Values(VersionText{"1.0", Version{1, 0}}, VersionText{"2.13", Version{2, 13}},
                                           VersionText{"255.255", Version{255, 255}},
                                           VersionText{"0.0", Version{0, 0}}, VersionText{"256.0", std::nullopt},
                                           VersionText{"1.256", std::nullopt}, VersionText{"1", std::nullopt},
                                           VersionText{"1.2.3", std::nullopt}, VersionText{"", std::nullopt},
                                           VersionText{".1", std::nullopt}, VersionText{"1.", std::nullopt},
                                           VersionText{"-1.0", std::nullopt}, VersionText{" 1.0", std::nullopt},
                                           VersionText{"a.b", std::nullopt}),
                         [](const auto& info) {
                           std::string name = "row" + std::to_string(info.index) + "_";
                           for (const char* c = info.param.text; *c; ++c) name += std::isalnum(*c) ? *c : '_';
                           return name;
                         });

}  // namespace
}  // namespace korrin::sim
