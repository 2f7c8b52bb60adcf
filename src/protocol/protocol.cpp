#include "protocol/protocol.h"

#include <cstring>

namespace korrin::protocol {
namespace {

// Offsets of the fields every frame shares.
constexpr std::size_t kAnswerFlagOffset = 3;
constexpr std::size_t kCommandOffset = 4;
constexpr std::size_t kValueOffset = 5;
constexpr std::size_t kAddressSize = 2;

// Writes report id, sync bytes, answer flag, command and value, and returns
// what they add to the checksum sum (the id and sync bytes add nothing).
unsigned WriteHeader(std::uint8_t* out, std::uint8_t reportId, std::uint8_t answerFlag, std::uint8_t command,
                     std::uint16_t value) {
  const auto valueLow = static_cast<std::uint8_t>(value & 0xFF);
  const auto valueHigh = static_cast<std::uint8_t>(value >> 8);
  out[0] = reportId;
  out[1] = kSync1;
  out[2] = kSync2;
  out[kAnswerFlagOffset] = answerFlag;
  out[kCommandOffset] = command;
  out[kValueOffset] = valueLow;
  out[kValueOffset + 1] = valueHigh;
  return unsigned{answerFlag} + command + valueLow + valueHigh;
}

// Copies `count` bytes and returns their sum modulo 256, in one pass over the
// source. Whole chunks go through a fixed-size local so that the compiler
// sees no aliasing between source and destination and turns each chunk into
// a few vector loads, stores and byte-wise adds; only the mod-256 sum is
// needed, so byte lanes that wrap are exact.
std::uint8_t CopyAndSum(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) {
  constexpr std::size_t kChunk = 32;
  std::uint8_t lanes[kChunk] = {};
  std::size_t i = 0;
  for (; i + kChunk <= count; i += kChunk) {
    std::uint8_t chunk[kChunk];
    std::memcpy(chunk, src + i, kChunk);
    std::memcpy(dst + i, chunk, kChunk);
    for (std::size_t j = 0; j < kChunk; ++j) lanes[j] = static_cast<std::uint8_t>(lanes[j] + chunk[j]);
  }
  std::uint8_t sum = 0;
  for (std::size_t j = 0; j < kChunk; ++j) sum = static_cast<std::uint8_t>(sum + lanes[j]);
  for (; i < count; ++i) {
    const std::uint8_t b = src[i];
    dst[i] = b;
    sum = static_cast<std::uint8_t>(sum + b);
  }
  return sum;
}

// Writes checksum and end marker at `at` and zeros from there to the end of
// the report: the caller's report may hold an older frame.
void WriteTrailer(hid::Report report, std::size_t at, unsigned sum) {
  report[at] = static_cast<std::uint8_t>(0xFF - (sum & 0xFF));
  report[at + 1] = kEndMarker;
  const std::size_t tail = at + 2;
  if (tail < kReportSize) std::memset(report.data() + tail, 0, kReportSize - tail);
}

// A command frame without payload: the value is a parameter of the command.
void BuildBareCommand(hid::Report report, std::uint8_t answerFlag, std::uint8_t command, std::uint16_t value) {
  const unsigned sum = WriteHeader(report.data(), kCommandReportId, answerFlag, command, value);
  WriteTrailer(report, kPayloadOffset, sum);
}

}  // namespace

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
  return static_cast<std::uint8_t>(0xFF - sum);
}

bool BuildDataFrame(hid::Report report, std::uint8_t command, std::uint32_t length, std::uint32_t address,
                    const std::uint8_t* data) {
  // Compared on L itself: L + 2 in 32 bits would wrap for the largest L.
  if (length > kMaxDataLength) return false;
  if (data == nullptr && length != 0) return false;
  std::uint8_t* out = report.data();
  unsigned sum = WriteHeader(out, kDataReportId, 0x00, command, static_cast<std::uint16_t>(length + kAddressSize));
  const auto addressLow = static_cast<std::uint8_t>(address & 0xFF);
  const auto addressHigh = static_cast<std::uint8_t>((address >> 8) & 0xFF);
  out[kPayloadOffset] = addressLow;
  out[kPayloadOffset + 1] = addressHigh;
  sum += addressLow + addressHigh;
  constexpr std::size_t dataOffset = kPayloadOffset + kAddressSize;
  if (length != 0) sum += CopyAndSum(out + dataOffset, data, length);
  WriteTrailer(report, dataOffset + length, sum);
  return true;
}

void BuildImageInfoFrame(hid::Report report, const std::uint8_t* imageInfo16) {
  std::uint8_t* out = report.data();
  unsigned sum = WriteHeader(out, kCommandReportId, 0x00, kCmdImageInfo, static_cast<std::uint16_t>(kImageInfoSize));
  sum += CopyAndSum(out + kPayloadOffset, imageInfo16, kImageInfoSize);
  WriteTrailer(report, kPayloadOffset + kImageInfoSize, sum);
}

void BuildFinishFrame(hid::Report report) { BuildBareCommand(report, 0x00, kCmdFinish, kFinishValueEnd); }

void BuildCrcRequestFrame(hid::Report report) { BuildBareCommand(report, 0x01, kCmdFinish, kFinishValueCrc); }

void BuildReadRequestFrame(hid::Report report, std::uint8_t command, std::uint16_t value) {
  BuildBareCommand(report, 0x01, command, value);
}

bool DecodeCrcVerdict(const std::uint8_t* answer4096) { return answer4096[7] == 1; }

Versions DecodeVersions(const std::uint8_t* answer4096) {
  // Each number is the byte's unsigned value in decimal, as "%d" prints it.
  auto pair = [](std::uint8_t first, std::uint8_t second) {
    return std::to_string(unsigned{first}) + "." + std::to_string(unsigned{second});
  };
  return Versions{pair(answer4096[8], answer4096[7]), pair(answer4096[10], answer4096[9])};
}

}  // namespace korrin::protocol
