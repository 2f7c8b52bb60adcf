// The simulated bootloader as a peer: what it accepts, what it answers, and
// when its CRC verdict is good.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "sim/bootloader.h"

namespace korrin::sim {
namespace {

using testing::AskVerdict;
using testing::Bytes;
using testing::CrcRequest;
using testing::DataFrame;
using testing::EndFrame;
using testing::ImageInfoFrame;
using testing::MakeUpdate;
using testing::ReadRequest;
using testing::Send;
using testing::SendUpdate;
using testing::Update;

Bytes Head(const Bytes& report, std::size_t count) { return Bytes(report.begin(), report.begin() + count); }

bool AllZeroFrom(std::span<const std::uint8_t> bytes, std::size_t from) {
  return std::all_of(bytes.begin() + from, bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The hand-built frames must be the protocol's own bytes, or every test
// below proves nothing.
TEST(FrameHelpers, MatchTheWorkedExamples) {
  const Bytes data{1, 2, 3, 4};
  EXPECT_EQ(Head(DataFrame(63, data), 15), (Bytes{0x02, 0x7F, 0xA5, 0x00, 0x81, 0x06, 0x00, 0x3F, 0x00, 0x01, 0x02,
                                                  0x03, 0x04, 0x2F, 0xFF}));
  const Bytes zeros(4032, 0);
  const Bytes big = DataFrame(63, zeros);
  EXPECT_EQ(Head(big, 9), (Bytes{0x02, 0x7F, 0xA5, 0x00, 0x81, 0xC2, 0x0F, 0x3F, 0x00}));
  EXPECT_EQ(big[9 + 4032], 0x6E);
  EXPECT_EQ(big[10 + 4032], 0xFF);
  Bytes info(16);
  for (int i = 0; i < 16; ++i) info[i] = static_cast<std::uint8_t>(i);
  const Bytes infoFrame = ImageInfoFrame(info);
  EXPECT_EQ(infoFrame[23], 0xF7);
  EXPECT_EQ(infoFrame[24], 0xFF);
  EXPECT_EQ(Head(EndFrame(), 9), (Bytes{0x01, 0x7F, 0xA5, 0x00, 0x82, 0x00, 0x00, 0x7D, 0xFF}));
  EXPECT_EQ(Head(CrcRequest(), 9), (Bytes{0x01, 0x7F, 0xA5, 0x01, 0x82, 0x03, 0x00, 0x79, 0xFF}));
  EXPECT_EQ(Head(ReadRequest(), 9), (Bytes{0x01, 0x7F, 0xA5, 0x01, 0x00, 0x04, 0x00, 0xFA, 0xFF}));
  for (const Bytes* frame : {&infoFrame, &big}) EXPECT_EQ(frame->size(), kReportSize);
}

// An answer must be a frame a careful host could check.
void ExpectWellFormedAnswer(const Answer& a, std::uint8_t command, const Bytes& payload) {
  EXPECT_EQ(a[0], 0x01);
  EXPECT_EQ(a[1], 0x7F);
  EXPECT_EQ(a[2], 0xA5);
  EXPECT_EQ(a[4], command);
  ASSERT_EQ(a[5] | (a[6] << 8), static_cast<int>(payload.size()));
  EXPECT_EQ(Bytes(a.begin() + 7, a.begin() + 7 + payload.size()), payload);
  const std::size_t cs = 7 + payload.size();
  unsigned sum = 0;
  for (std::size_t i = 3; i < cs; ++i) sum += a[i];
  EXPECT_EQ(a[cs], static_cast<std::uint8_t>(~sum & 0xFF)) << "answer checksum";
  EXPECT_EQ(a[cs + 1], 0xFF);
  EXPECT_TRUE(AllZeroFrom(a, cs + 2));
}

TEST(Bootloader, GoodUpdateGivesVerdictOneAndTheAnnouncedVersion) {
  Bootloader device(BootloaderConfig{Version{2, 0}, Version{1, 10}});
  auto before = device.HandleOutputReport(ReadRequest());
  ASSERT_TRUE(before);
  ExpectWellFormedAnswer(*before, 0x00, Bytes{0, 2, 10, 1});

  const Update u = MakeUpdate(10000, Version{3, 7});
  SendUpdate(device, u);
  auto verdict = device.HandleOutputReport(CrcRequest());
  ASSERT_TRUE(verdict);
  ExpectWellFormedAnswer(*verdict, 0x82, Bytes{1});

  auto after = device.HandleOutputReport(ReadRequest());
  ASSERT_TRUE(after);
  ExpectWellFormedAnswer(*after, 0x00, Bytes{0, 2, 7, 3});
  EXPECT_EQ(device.firmwareVersion(), (Version{3, 7}));

  EXPECT_TRUE(device.ProtocolErrors().empty());
  EXPECT_EQ(device.Payload(), u.payload);
  EXPECT_EQ(device.DataFramesSeen(), (std::vector<DataFrameSeen>{{0, 4032}, {63, 4032}, {126, 1936}}));
  EXPECT_EQ(device.Verdicts(), std::vector<bool>{true});
  // read, image info, 3 blocks, end, CRC request, read: 8 out; 3 answers in.
  const auto capture = device.Capture();
  ASSERT_EQ(capture.size(), 11u);
  EXPECT_EQ(capture[1].direction, CaptureEntry::Direction::kIn);
  EXPECT_EQ(capture[8].direction, CaptureEntry::Direction::kIn);
  EXPECT_EQ(capture[8].bytes, Bytes(verdict->begin(), verdict->end()));
  EXPECT_EQ(capture[2].bytes, ImageInfoFrame(u.imageInfo));
}

TEST(Bootloader, ReadRequestsReflectDifferentVersions) {
  Bootloader device(BootloaderConfig{Version{255, 255}, Version{0, 0}});
  auto answer = device.HandleOutputReport(ReadRequest());
  ASSERT_TRUE(answer);
  EXPECT_EQ(Bytes(answer->begin() + 7, answer->begin() + 11), (Bytes{255, 255, 0, 0}));
}

// ---- one wrong byte in a frame

enum class Kind { kRead, kImageInfo, kData, kEnd, kCrc };

Bytes Base(Kind kind) {
  switch (kind) {
    case Kind::kRead: return ReadRequest();
    case Kind::kImageInfo: {
      Bytes info(16);
      for (int i = 0; i < 16; ++i) info[i] = static_cast<std::uint8_t>(0x40 + i);
      return ImageInfoFrame(info);
    }
    case Kind::kData: return DataFrame(63, Bytes{1, 2, 3, 4});
    case Kind::kEnd: return EndFrame();
    case Kind::kCrc: return CrcRequest();
  }
  return {};
}

struct Corruption {
  std::string name;
  Kind kind;
  std::size_t offset;
  std::uint8_t value;
  std::size_t firstErrorAt;
};

class OneWrongByte : public ::testing::TestWithParam<Corruption> {};

// The corrupted frame comes after a complete good update. It must be
// recorded, not acted on (the second verdict is still good: nothing was
// restarted, stored or ended by it), and spoil exactly the next verdict.
TEST_P(OneWrongByte, IsRecordedAndSpoilsTheNextVerdict) {
  const Corruption& c = GetParam();
  Bootloader device;
  const Update u = MakeUpdate(8064, Version{4, 1});
  SendUpdate(device, u);
  Bytes frame = Base(c.kind);
  ASSERT_NE(frame[c.offset], c.value) << "the row does not change its byte";
  frame[c.offset] = c.value;

  EXPECT_FALSE(device.HandleOutputReport(frame).has_value()) << "a corrupted frame is never answered";
  const auto errors = device.ProtocolErrors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front().offset, c.firstErrorAt) << errors.front().Describe();
  for (const auto& e : errors) EXPECT_EQ(e.report, device.ReportsReceived()) << e.Describe();
  EXPECT_NE(errors.front().Describe().find("offset " + std::to_string(c.firstErrorAt)), std::string::npos);

  EXPECT_EQ(AskVerdict(device), 0);
  EXPECT_EQ(device.firmwareVersion(), (Version{1, 0}));
  EXPECT_EQ(AskVerdict(device), 1);
  EXPECT_EQ(device.Payload(), u.payload);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, OneWrongByte,
    ::testing::Values(
        Corruption{"read_report_id", Kind::kRead, 0, 0x02, 0}, Corruption{"read_sync1", Kind::kRead, 1, 0x7E, 1},
        Corruption{"read_sync2", Kind::kRead, 2, 0x00, 2}, Corruption{"read_answer_flag", Kind::kRead, 3, 0x00, 3},
        Corruption{"read_unknown_command", Kind::kRead, 4, 0x01, 4},
        Corruption{"read_value", Kind::kRead, 5, 0x05, 5}, Corruption{"read_checksum", Kind::kRead, 7, 0xFB, 7},
        Corruption{"read_end_marker", Kind::kRead, 8, 0xFE, 8}, Corruption{"read_padding", Kind::kRead, 9, 0x01, 9},
        Corruption{"info_report_id", Kind::kImageInfo, 0, 0x03, 0},
        Corruption{"info_sync1", Kind::kImageInfo, 1, 0xFF, 1},
        Corruption{"info_sync2", Kind::kImageInfo, 2, 0xA4, 2},
        Corruption{"info_answer_flag", Kind::kImageInfo, 3, 0x01, 3},
        Corruption{"info_unknown_command", Kind::kImageInfo, 4, 0x90, 4},
        Corruption{"info_value_low", Kind::kImageInfo, 5, 17, 5},
        Corruption{"info_value_high", Kind::kImageInfo, 6, 1, 5},
        Corruption{"info_payload_byte_shows_in_checksum", Kind::kImageInfo, 10, 0x00, 23},
        Corruption{"info_checksum", Kind::kImageInfo, 23, 0x00, 23},
        Corruption{"info_end_marker", Kind::kImageInfo, 24, 0x7F, 24},
        Corruption{"info_padding", Kind::kImageInfo, 2000, 0x01, 2000},
        Corruption{"info_last_byte", Kind::kImageInfo, 4095, 0x80, 4095},
        Corruption{"data_report_id", Kind::kData, 0, 0x01, 0}, Corruption{"data_sync1", Kind::kData, 1, 0x00, 1},
        Corruption{"data_sync2", Kind::kData, 2, 0x5A, 2}, Corruption{"data_answer_flag", Kind::kData, 3, 0x01, 3},
        Corruption{"data_command_of_a_command_frame", Kind::kData, 4, 0x80, 0},
        Corruption{"data_value_beyond_report", Kind::kData, 6, 0x10, 5},
        Corruption{"data_value_one_short", Kind::kData, 5, 0x05, 12},
        Corruption{"data_checksum", Kind::kData, 13, 0x30, 13},
        Corruption{"data_end_marker", Kind::kData, 14, 0x00, 14},
        Corruption{"data_padding", Kind::kData, 15, 0x80, 15}, Corruption{"end_answer_flag", Kind::kEnd, 3, 1, 3},
        Corruption{"end_value", Kind::kEnd, 5, 1, 5}, Corruption{"end_checksum", Kind::kEnd, 7, 0x7C, 7},
        Corruption{"crc_answer_flag", Kind::kCrc, 3, 0, 3}, Corruption{"crc_value", Kind::kCrc, 5, 2, 5},
        Corruption{"crc_end_marker", Kind::kCrc, 8, 0x09, 8},
        Corruption{"crc_padding_last_byte", Kind::kCrc, 4095, 0x01, 4095}),
    [](const auto& info) { return info.param.name; });

TEST(Bootloader, ReportOfTheWrongLengthIsAProtocolError) {
  for (std::size_t size : {std::size_t{4095}, std::size_t{4097}, std::size_t{64}}) {
    SCOPED_TRACE(size);
    Bootloader device;
    SendUpdate(device, MakeUpdate(5000, Version{1, 1}));
    Bytes report = ReadRequest();
    report.resize(size, 0);
    EXPECT_FALSE(device.HandleOutputReport(report).has_value());
    const auto errors = device.ProtocolErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_FALSE(errors[0].offset.has_value());
    EXPECT_NE(errors[0].text.find(std::to_string(size)), std::string::npos) << errors[0].text;
    EXPECT_EQ(AskVerdict(device), 0);
  }
}

// ---- the order and content of an update

struct UpdateCase {
  std::string name;
  std::uint32_t payloadBytes;
  std::function<void(Bootloader&, Update&)> send;
  int verdict;
};

class UpdateSequence : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateSequence, DecidesTheVerdict) {
  const UpdateCase& c = GetParam();
  Bootloader device;
  Update u = MakeUpdate(c.payloadBytes, Version{5, 5});
  c.send(device, u);
  EXPECT_EQ(AskVerdict(device), c.verdict);
  EXPECT_EQ(device.firmwareVersion(), c.verdict == 1 ? (Version{5, 5}) : (Version{1, 0}));
  EXPECT_TRUE(device.ProtocolErrors().empty()) << "these cases are all well-formed frames";
}

void Reannounce(Update& u, const std::function<void(ImageInfo&)>& change) {
  auto info = DecodeImageInfo(std::span<const std::uint8_t, 16>(u.imageInfo.data(), 16));
  ASSERT_TRUE(info);
  change(*info);
  const auto bytes = EncodeImageInfo(*info);
  u.imageInfo.assign(bytes.begin(), bytes.end());
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, UpdateSequence,
    ::testing::Values(
        UpdateCase{"as_the_programmer_sends_it", 10000, [](Bootloader& d, Update& u) { SendUpdate(d, u); }, 1},
        UpdateCase{"whole_blocks_and_empty_last_block", 8064, [](Bootloader& d, Update& u) { SendUpdate(d, u); }, 1},
        UpdateCase{"without_the_empty_last_block", 8064,
                   [](Bootloader& d, Update& u) {
                     u.blocks.pop_back();
                     SendUpdate(d, u);
                   },
                   1},
        UpdateCase{"blocks_out_of_order", 10000,
                   [](Bootloader& d, Update& u) {
                     std::swap(u.blocks[1], u.blocks[2]);
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"a_block_missing", 10000,
                   [](Bootloader& d, Update& u) {
                     u.blocks.erase(u.blocks.begin() + 1);
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"a_block_repeated", 10000,
                   [](Bootloader& d, Update& u) {
                     u.blocks.insert(u.blocks.begin() + 1, u.blocks[1]);
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"no_end_frame", 10000, [](Bootloader& d, Update& u) { SendUpdate(d, u, false); }, 0},
        UpdateCase{"data_after_the_end_frame", 8064,
                   [](Bootloader& d, Update& u) {
                     SendUpdate(d, u);
                     Send(d, DataFrame(126, Bytes{}));
                   },
                   0},
        UpdateCase{"no_image_info", 10000,
                   [](Bootloader& d, Update& u) {
                     for (const auto& block : u.blocks) Send(d, block);
                     Send(d, EndFrame());
                   },
                   0},
        UpdateCase{"announced_length_one_longer", 10000,
                   [](Bootloader& d, Update& u) {
                     Reannounce(u, [](ImageInfo& i) { ++i.payloadLength; });
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"announced_length_one_shorter", 10000,
                   [](Bootloader& d, Update& u) {
                     Reannounce(u, [](ImageInfo& i) { --i.payloadLength; });
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"announced_crc_differs", 10000,
                   [](Bootloader& d, Update& u) {
                     Reannounce(u, [](ImageInfo& i) { i.payloadCrc32 ^= 0x00010000; });
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"one_payload_byte_changed_in_a_well_formed_block", 10000,
                   [](Bootloader& d, Update& u) {
                     Bytes changed = u.payload;
                     changed[5000] ^= 0x01;
                     u.blocks[1] = DataFrame(63, std::span<const std::uint8_t>(changed.data() + 4032, 4032));
                     SendUpdate(d, u);
                   },
                   0},
        UpdateCase{"image_info_off_the_convention", 10000,
                   [](Bootloader& d, Update& u) {
                     u.imageInfo[15] = 1;
                     SendUpdate(d, u);
                   },
                   0}),
    [](const auto& info) { return info.param.name; });

TEST(Bootloader, ImageInfoStartsAnUpdateAfresh) {
  Bootloader device;
  const Update first = MakeUpdate(20000, Version{9, 9}, 1);
  const Update second = MakeUpdate(5000, Version{6, 2}, 2);
  Send(device, ImageInfoFrame(first.imageInfo));
  for (std::size_t k = 0; k < 3; ++k) Send(device, first.blocks[k]);
  SendUpdate(device, second);
  EXPECT_EQ(AskVerdict(device), 1);
  EXPECT_EQ(device.Payload(), second.payload) << "the first update's bytes must be forgotten";
  EXPECT_EQ(device.firmwareVersion(), (Version{6, 2}));
}

TEST(Bootloader, ProblemsOfAnAbandonedUpdateDoNotReachTheNextOne) {
  Bootloader device;
  Update broken = MakeUpdate(10000, Version{2, 2});
  Send(device, ImageInfoFrame(broken.imageInfo));
  Send(device, broken.blocks[1]);  // out of order
  EXPECT_FALSE(device.Update().problems.empty());
  const Update good = MakeUpdate(10000, Version{2, 3}, 99);
  SendUpdate(device, good);
  EXPECT_TRUE(device.Update().problems.empty());
  EXPECT_EQ(AskVerdict(device), 1);
}

TEST(Bootloader, AProtocolErrorBeforeTheUpdateStillSpoilsTheVerdict) {
  Bootloader device;
  Bytes badRead = ReadRequest();
  badRead[7] ^= 0x01;
  EXPECT_FALSE(device.HandleOutputReport(badRead).has_value());
  SendUpdate(device, MakeUpdate(10000, Version{2, 3}));
  EXPECT_EQ(AskVerdict(device), 0);
}

// ---- faults that live in the device

TEST(Bootloader, NegativeVerdictFault) {
  Bootloader device(BootloaderConfig{Version{2, 0}, Version{1, 0}, /*negativeVerdict=*/true});
  SendUpdate(device, MakeUpdate(10000, Version{3, 0}));
  EXPECT_EQ(AskVerdict(device), 0);
  EXPECT_EQ(device.firmwareVersion(), (Version{1, 0}));
  device.SetNegativeVerdict(false);
  EXPECT_EQ(AskVerdict(device), 1) << "the update itself was good";
}

TEST(Bootloader, SilentDeviceTakesEverythingAndAnswersNothing) {
  Bootloader device;
  device.SetSilent(true);
  EXPECT_FALSE(device.HandleOutputReport(ReadRequest()).has_value());
  SendUpdate(device, MakeUpdate(10000, Version{3, 0}));
  EXPECT_EQ(AskVerdict(device), -1);
  EXPECT_EQ(device.Verdicts(), std::vector<bool>{true}) << "it reached its verdict, it only did not send it";
  for (const auto& entry : device.Capture()) EXPECT_EQ(entry.direction, CaptureEntry::Direction::kOut);
}

// ---- image info convention and checksums

TEST(ImageInfoConvention, EncodesLittleEndianFields) {
  const auto bytes = EncodeImageInfo(ImageInfo{0x00040A0B, 0xCBF43926, 0x07, 0x02});
  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()),
            (Bytes{0x0B, 0x0A, 0x04, 0x00, 0x26, 0x39, 0xF4, 0xCB, 0x07, 0x02, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(DecodeImageInfo(bytes), (ImageInfo{0x00040A0B, 0xCBF43926, 0x07, 0x02}));
  for (std::size_t i = 10; i < 16; ++i) {
    auto off = bytes;
    off[i] = 1;
    EXPECT_FALSE(DecodeImageInfo(off).has_value()) << "byte " << i;
  }
}

TEST(ImageInfoConvention, Crc32IsTheIeeeOne) {
  const std::string check = "123456789";
  EXPECT_EQ(Crc32(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())),
            0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
}

}  // namespace
}  // namespace korrin::sim
