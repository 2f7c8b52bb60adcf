// The pure rules of the image: version text, block cutting, length limits
// and the progress reported per block.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "image/image.h"

namespace korrin::image {
namespace {

struct VersionCase {
  const char* name;
  friend void PrintTo(const VersionCase& c, std::ostream* out) { *out << c.name; }
  std::vector<std::uint8_t> firstBytes;
  const char* text;
};

class VersionTextTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionTextTest, MajorFromByte3MinorFromByte2) {
  EXPECT_EQ(VersionText(GetParam().firstBytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VersionTextTest,
    ::testing::Values(VersionCase{"low_word_ignored", {0x34, 0x12, 0x05, 0x02}, "2.5"},
                      VersionCase{"one_zero", {0x00, 0x00, 0x00, 0x01}, "1.0"},
                      VersionCase{"two_digit_minor", {0xFF, 0xFF, 0x0D, 0x02}, "2.13"},
                      VersionCase{"unsigned_bytes", {0x00, 0x00, 0xFF, 0xFF}, "255.255"},
                      VersionCase{"all_zero", {0x00, 0x00, 0x00, 0x00}, "0.0"}),
    [](const auto& info) { return std::string(info.param.name); });

struct CuttingCase {
  const char* name;
  friend void PrintTo(const CuttingCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t payload;
  std::vector<Block> blocks;
};

class BlockCuttingTest : public ::testing::TestWithParam<CuttingCase> {};

TEST_P(BlockCuttingTest, CountsOffsetsLengthsAndAddresses) {
  const auto& c = GetParam();
  ASSERT_EQ(BlockCount(c.payload), c.blocks.size());
  std::uint64_t covered = 0;
  for (std::uint32_t i = 0; i < c.blocks.size(); ++i) {
    EXPECT_EQ(BlockAt(c.payload, i), c.blocks[i]) << "block " << i;
    covered += BlockAt(c.payload, i).length;
  }
  EXPECT_EQ(covered, c.payload) << "the blocks together must hold the whole payload, no more";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlockCuttingTest,
    ::testing::Values(CuttingCase{"empty_payload_one_empty_block", 0, {{0, 0, 0}}},
                      CuttingCase{"under_one_block", 4031, {{0, 4031, 0}}},
                      CuttingCase{"exactly_one_block_then_empty", 4032, {{0, 4032, 0}, {4032, 0, 63}}},
                      CuttingCase{"two_whole_blocks_then_empty", 8064, {{0, 4032, 0}, {4032, 4032, 63}, {8064, 0, 126}}},
                      CuttingCase{"remainder_1936", 10000, {{0, 4032, 0}, {4032, 4032, 63}, {8064, 1936, 126}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlockCuttingLimits, LargestPayloadEndsAtTheLastSixteenBitAddress) {
  EXPECT_EQ(kMaxPayload, 4197311u);
  ASSERT_EQ(BlockCount(kMaxPayload), 1041u);
  EXPECT_EQ(BlockAt(kMaxPayload, 1040), (Block{1040 * 4032, 4031, 65520}));
  // One byte more would need a block whose address no longer fits 16 bits.
  EXPECT_EQ(BlockCount(kMaxPayload + 1), 1042u);
  EXPECT_GT(BlockAt(kMaxPayload + 1, 1041).address, 0xFFFFu);
}

struct LengthCase {
  const char* name;
  friend void PrintTo(const LengthCase& c, std::ostream* out) { *out << c.name; }
  std::uint64_t length;
  LengthVerdict verdict;
};

class LengthLimitTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(LengthLimitTest, Verdict) { EXPECT_EQ(CheckLength(GetParam().length), GetParam().verdict); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LengthLimitTest,
    ::testing::Values(LengthCase{"empty", 0, LengthVerdict::kTooShort},
                      LengthCase{"one_short_of_header", 195, LengthVerdict::kTooShort},
                      LengthCase{"header_only", 196, LengthVerdict::kFits},
                      LengthCase{"largest_image", 196 + 4197311, LengthVerdict::kFits},
                      LengthCase{"one_byte_over", 196 + 4197312, LengthVerdict::kTooLong},
                      // Its low 32 bits would read as a small, valid-looking image.
                      LengthCase{"four_gib_plus_small", (std::uint64_t{1} << 32) + 1196, LengthVerdict::kTooLong}),
    [](const auto& info) { return std::string(info.param.name); });

// The values a transfer of `count` blocks reports, in order.
std::vector<std::uint32_t> Sequence(std::uint32_t count) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = 0; i < count; ++i) {
    const BlockProgress p = ProgressAt(i, count);
    if (p.before) out.push_back(*p.before);
    out.push_back(p.after);
  }
  return out;
}

struct ProgressCase {
  const char* name;
  friend void PrintTo(const ProgressCase& c, std::ostream* out) { *out << c.name; }
  std::uint32_t blocks;
  std::vector<std::uint32_t> sequence;
};

class ProgressSequenceTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressSequenceTest, ExactSequence) { EXPECT_EQ(Sequence(GetParam().blocks), GetParam().sequence); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgressSequenceTest,
    ::testing::Values(ProgressCase{"one_block_is_first_and_last", 1, {95, 100}},
                      ProgressCase{"two_blocks", 2, {0, 95, 100}},
                      ProgressCase{"three_blocks", 3, {0, 45, 50, 95, 100}},
                      ProgressCase{"eleven_blocks", 11, {0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50,
                                                         55, 60, 65, 70, 75, 80, 85, 90, 95, 100}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProgressSequence, HundredAndOneBlocksStepBackBeforeEachWrite) {
  const auto seq = Sequence(101);
  const std::vector<std::uint32_t> head{0, 1, 2, 3, 4, 5, 1, 6, 2, 7, 3, 8};
  const std::vector<std::uint32_t> tail{94, 99, 95, 100};
  ASSERT_EQ(seq.size(), 101u + 95u);  // one value per block, one more for each block past 5 %
  EXPECT_EQ(std::vector<std::uint32_t>(seq.begin(), seq.begin() + head.size()), head);
  EXPECT_EQ(std::vector<std::uint32_t>(seq.end() - tail.size(), seq.end()), tail);
}

TEST(ProgressSequence, LargestImageStaysInRangeAndEndsAtExactly100) {
  const auto seq = Sequence(kMaxBlocks);
  for (std::uint32_t v : seq) ASSERT_LE(v, 100u);
  EXPECT_EQ(seq.back(), 100u);
  EXPECT_EQ(ProgressAt(kMaxBlocks - 2, kMaxBlocks).after, 99u);  // only the last block reaches 100
}

}  // namespace
}  // namespace korrin::image
