// The frames as bytes: each case builds one report into a buffer that holds
// an older frame's leftovers and compares all 4096 bytes with what the
// device expects.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <numeric>

#include "protocol/protocol.h"
#include "report_matchers.h"

namespace korrin::protocol {
namespace {

using korrin::testing::Bytes;
using korrin::testing::FullReport;
using korrin::testing::Hex;
using korrin::testing::Repeat;
using korrin::testing::SameBytes;
using korrin::testing::operator+;

using Buffer = std::array<std::uint8_t, kReportSize>;

// What a reused report buffer might still hold.
Buffer Dirty() {
  Buffer b;
  b.fill(0xCC);
  return b;
}

struct FrameCase {
  const char* name;
  std::function<void(hid::Report)> build;
  Bytes expectedHead;  // zeros follow to offset 4095
};

void PrintTo(const FrameCase& c, std::ostream* os) { *os << c.name; }

auto DataFrame(std::uint32_t address, Bytes data) {
  return [address, data](hid::Report r) {
    ASSERT_TRUE(BuildDataFrame(r, kCmdDataBlock, static_cast<std::uint32_t>(data.size()), address, data.data()));
  };
}

Bytes Sequence(std::size_t count) {
  Bytes b(count);
  std::iota(b.begin(), b.end(), std::uint8_t{0});
  return b;
}

const FrameCase kFrames[] = {
    {"ReadRequest", [](hid::Report r) { BuildReadRequestFrame(r, kCmdReadInfo, kReadInfoValue); },
     Hex("01 7F A5 01 00 04 00 FA FF")},
    {"ReadRequestOtherArguments", [](hid::Report r) { BuildReadRequestFrame(r, 0x12, 0x3456); },
     Hex("01 7F A5 01 12 56 34 62 FF")},
    {"End", [](hid::Report r) { BuildFinishFrame(r); }, Hex("01 7F A5 00 82 00 00 7D FF")},
    {"CrcRequest", [](hid::Report r) { BuildCrcRequestFrame(r); }, Hex("01 7F A5 01 82 03 00 79 FF")},
    {"ImageInfo00To0F",
     [](hid::Report r) {
       const Bytes info = Sequence(16);
       BuildImageInfoFrame(r, info.data());
     },
     Hex("01 7F A5 00 80 10 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F F7 FF")},
    {"ImageInfoAllFF",
     [](hid::Report r) {
       const Bytes info = Repeat(0xFF, 16);
       BuildImageInfoFrame(r, info.data());
     },
     // 0x90 + 16 * 0xFF = 0x1080 -> sum 0x80, checksum 0x7F.
     Hex("01 7F A5 00 80 10 00") + Repeat(0xFF, 16) + Hex("7F FF")},
    {"DataFourBytesAt63", DataFrame(63, Hex("01 02 03 04")), Hex("02 7F A5 00 81 06 00 3F 00 01 02 03 04 2F FF")},
    {"Data4032ZerosAt63", DataFrame(63, Repeat(0, 4032)),
     Hex("02 7F A5 00 81 C2 0F 3F 00") + Repeat(0, 4032) + Hex("6E FF")},
    // 0x81 + 0xF7 + 0x0F + 4085 * 1 = 0x27C -> checksum 0x83 at 4094, end marker at 4095.
    {"Data4085FillsReport", DataFrame(0, Repeat(0x01, 4085)),
     Hex("02 7F A5 00 81 F7 0F 00 00") + Repeat(0x01, 4085) + Hex("83 FF")},
    {"DataEmptyBlock", DataFrame(0x1234, {}), Hex("02 7F A5 00 81 02 00 34 12 36 FF")},
    {"DataAddressLow16Bits", DataFrame(0x12345678, Hex("AA")), Hex("02 7F A5 00 81 03 00 78 56 AA 03 FF")},
    {"DataAddressFFFF", DataFrame(0xFFFF, Hex("10")), Hex("02 7F A5 00 81 03 00 FF FF 10 6D FF")},
};

class FrameTable : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTable, WholeReportMatches) {
  Buffer report = Dirty();
  GetParam().build(report);
  EXPECT_TRUE(SameBytes(FullReport(GetParam().expectedHead), report));
}

INSTANTIATE_TEST_SUITE_P(Frames, FrameTable, ::testing::ValuesIn(kFrames),
                         [](const auto& info) { return std::string(info.param.name); });

// Lengths around the copy's internal chunking, with data whose sum changes
// at every byte: the frame must still sum to 0xFF over bytes 3 .. checksum.
class DataFrameLengths : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(DataFrameLengths, CopiesEveryByteAndChecksumCloses) {
  const std::uint32_t length = GetParam();
  Bytes data(length);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37 + 11);
  Buffer report = Dirty();
  ASSERT_TRUE(BuildDataFrame(report, kCmdDataBlock, length, 0x0201, data.data()));

  const std::size_t checksumAt = 9 + length;
  EXPECT_EQ(report[5] | (report[6] << 8), static_cast<int>(length + 2));
  EXPECT_TRUE(SameBytes(data, std::span<const std::uint8_t>(report.data() + 9, length)));
  unsigned sum = 0;
  for (std::size_t i = 3; i <= checksumAt; ++i) sum += report[i];
  EXPECT_EQ(sum & 0xFF, 0xFFu) << "bytes 3.." << checksumAt << " must sum to 0xFF with the checksum";
  EXPECT_EQ(report[checksumAt + 1], kEndMarker);
  const Bytes tail(report.begin() + static_cast<std::ptrdiff_t>(checksumAt + 2), report.end());
  EXPECT_TRUE(SameBytes(Bytes(tail.size(), 0), tail)) << "tail after the end marker";
}

INSTANTIATE_TEST_SUITE_P(Frames, DataFrameLengths,
                         ::testing::Values(1u, 31u, 32u, 33u, 63u, 64u, 65u, 4031u, 4032u, 4084u, 4085u),
                         [](const auto& info) { return "L" + std::to_string(info.param); });

struct RefusedCase {
  const char* name;
  std::uint32_t length;
  bool nullData;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedDataFrame : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedDataFrame, ReturnsFalseAndLeavesReportAsItWas) {
  const Bytes data(kReportSize, 0x42);
  Buffer report = Dirty();
  EXPECT_FALSE(BuildDataFrame(report, kCmdDataBlock, GetParam().length, 0,
                              GetParam().nullData ? nullptr : data.data()));
  const Buffer untouched = Dirty();
  EXPECT_TRUE(SameBytes(untouched, report));
}

INSTANTIATE_TEST_SUITE_P(Frames, RefusedDataFrame,
                         ::testing::Values(RefusedCase{"L4086", 4086, false}, RefusedCase{"L4087", 4087, false},
                                           // L + 2 wraps to 0 and 1 in 32 bits.
                                           RefusedCase{"LWrapsToZero", 0xFFFFFFFEu, false},
                                           RefusedCase{"LMax", 0xFFFFFFFFu, false},
                                           RefusedCase{"NullDataWithLength", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Frames, EmptyBlockMayHaveNoData) {
  Buffer report = Dirty();
  ASSERT_TRUE(BuildDataFrame(report, kCmdDataBlock, 0, 0, nullptr));
  EXPECT_TRUE(SameBytes(FullReport(Hex("02 7F A5 00 81 02 00 00 00 7C FF")), report));
}

TEST(Frames, ChecksumOfHeaderBytes) {
  EXPECT_EQ(Checksum(Hex("00 82 00 00").data(), 4), 0x7D);
  EXPECT_EQ(Checksum(Hex("01 82 03 00").data(), 4), 0x79);
  EXPECT_EQ(Checksum(Hex("01 00 04 00").data(), 4), 0xFA);
  EXPECT_EQ(Checksum(nullptr, 0), 0xFF);
  // Wraps modulo 256: 0x80 + 0x80 sums to 0.
  EXPECT_EQ(Checksum(Hex("80 80").data(), 2), 0xFF);
}

struct AnswerCase {
  const char* name;
  std::uint8_t fill;  // every byte outside 7..10
  Bytes bytes7to10;
  bool crcOk;
  const char* bootloader;
  const char* firmware;
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class AnswerTable : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerTable, DecodesBytes7To10Only) {
  const AnswerCase& c = GetParam();
  Buffer answer;
  answer.fill(c.fill);
  std::copy(c.bytes7to10.begin(), c.bytes7to10.end(), answer.begin() + 7);
  EXPECT_EQ(DecodeCrcVerdict(answer.data()), c.crcOk);
  const Versions v = DecodeVersions(answer.data());
  EXPECT_EQ(v.bootloader, c.bootloader);
  EXPECT_EQ(v.firmware, c.firmware);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTable,
    ::testing::Values(AnswerCase{"AllZero", 0x00, Hex("00 00 00 00"), false, "0.0", "0.0"},
                      AnswerCase{"AllFF", 0xFF, Hex("FF FF FF FF"), false, "255.255", "255.255"},
                      AnswerCase{"Example", 0x00, Hex("00 02 0A 01"), false, "2.0", "1.10"},
                      AnswerCase{"VerdictOne", 0x00, Hex("01 02 03 04"), true, "2.1", "4.3"},
                      AnswerCase{"VerdictTwo", 0x00, Hex("02 00 00 00"), false, "0.2", "0.0"},
                      AnswerCase{"HighBitNotSigned", 0x00, Hex("80 C8 64 FE"), false, "200.128", "254.100"},
                      // Report id, sync bytes and checksum are all wrong here (0x5A everywhere).
                      AnswerCase{"WrongHeaderAndChecksum", 0x5A, Hex("01 00 07 0C"), true, "0.1", "12.7"},
                      AnswerCase{"OnlyByte7Decides", 0x01, Hex("00 01 01 01"), false, "1.0", "1.1"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korrin::protocol
