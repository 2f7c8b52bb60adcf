// The bootloader protocol: the frames the programmer sends, the answers it
// decodes, and HID_COMM, the one command channel (g_Comm) through which
// every frame reaches the attached device.
//
// Error convention: builders return false (and leave the report untouched)
// when a frame cannot be built; channel operations return false when a
// report was not written or, for QueryCrc, when the verdict was not good.
// Nothing here throws, logs or allocates on the data path.
//
// Frame layout (every report is 4096 bytes, little-endian fields):
//   0 report id (1 command, 2 data) | 1 0x7F | 2 0xA5 | 3 answer flag |
//   4 command | 5-6 value | 7.. payload (n bytes) | 7+n checksum | 8+n 0xFF |
//   zero to the end.
// The checksum is 0xFF minus the 8-bit sum of bytes 3 .. 6+n.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hid/hid.h"

namespace korrin::protocol {

inline constexpr std::size_t kReportSize = hid::kReportSize;
inline constexpr std::uint8_t kCommandReportId = 0x01;
inline constexpr std::uint8_t kDataReportId = 0x02;
inline constexpr std::uint8_t kSync1 = 0x7F;
inline constexpr std::uint8_t kSync2 = 0xA5;
inline constexpr std::uint8_t kEndMarker = 0xFF;

inline constexpr std::uint8_t kCmdReadInfo = 0x00;
inline constexpr std::uint16_t kReadInfoValue = 4;
inline constexpr std::uint8_t kCmdImageInfo = 0x80;
inline constexpr std::uint8_t kCmdDataBlock = 0x81;
inline constexpr std::uint8_t kCmdFinish = 0x82;  // value 0: end; value 3: CRC check request
inline constexpr std::uint16_t kFinishValueEnd = 0;
inline constexpr std::uint16_t kFinishValueCrc = 3;

inline constexpr std::size_t kImageInfoSize = 16;
inline constexpr std::size_t kPayloadOffset = 7;
// L + 2 may be at most 4087, so the longest data frame ends at offset 4095.
inline constexpr std::uint32_t kMaxDataLength = 4085;

// How long the channel waits for answers. Each read is bounded by the pause
// of its attempt, so a device that stays attached but never answers cannot
// hold the calling thread for longer than attempts x (pause + bound).
inline constexpr int kCrcReadAttempts = 50;
inline constexpr std::chrono::milliseconds kCrcPause{100};
inline constexpr int kInfoReadAttempts = 100;
inline constexpr std::chrono::milliseconds kInfoPause{10};

// 0xFF minus the 8-bit sum of `count` bytes.
[[nodiscard]] std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count);

// Each builder writes the whole report: the frame, then zeros to offset 4095,
// whatever the report held before.
// Data frame (report id 2): false, report untouched, when length > 4085 or
// when data is null with a nonzero length. Only the low 16 bits of the
// address are sent.
[[nodiscard]] bool BuildDataFrame(hid::Report report, std::uint8_t command, std::uint32_t length, std::uint32_t address,
                                  const std::uint8_t* data);
void BuildImageInfoFrame(hid::Report report, const std::uint8_t* imageInfo16);
void BuildFinishFrame(hid::Report report);
void BuildCrcRequestFrame(hid::Report report);
void BuildReadRequestFrame(hid::Report report, std::uint8_t command, std::uint16_t value);

// Answers: the program looks at bytes 7 to 10 only, and checks nothing else
// (not the report id, the sync bytes nor any checksum).
[[nodiscard]] bool DecodeCrcVerdict(const std::uint8_t* answer4096);
struct Versions {
  std::string bootloader;  // byte 8 "." byte 7
  std::string firmware;    // byte 10 "." byte 9
};
[[nodiscard]] Versions DecodeVersions(const std::uint8_t* answer4096);

}  // namespace korrin::protocol

// The command channel. Names follow the rest of the program.
//
// Every operation builds its frame in a report of its own call, cancels
// pending I/O on the handle, then writes the whole report. QueryCrc then
// makes up to 50 attempts of (pause 100 ms, read); ReadInfo up to 100
// attempts of (read, pause 10 ms), and decodes m_InReport whether or not a
// read succeeded. A read that fails or times out leaves m_InReport as it was.
// The results of SendFinish and ReadInfo may be ignored by design; say so
// with a cast to void.
//
// Not thread-safe: callers take turns (the attach and completion calls on
// the user-interface thread, WriteBlock on the transfer worker in between).
class HID_COMM {
 public:
  HID_COMM() = default;

  // False, with no call on the HID layer, when length > 4085.
  [[nodiscard]] bool WriteBlock(std::uint8_t command, std::uint32_t length, std::uint32_t address,
                                const std::uint8_t* data);
  [[nodiscard]] bool WriteImageInfo(const std::uint8_t* imageInfo16);
  [[nodiscard]] bool SendFinish();
  // True only when the first answer that arrives carries the verdict 1.
  [[nodiscard]] bool QueryCrc();
  // True when the request was written; the version texts are then replaced
  // (0.0 and 0.0 when no answer arrived). Clears m_InReport first, always.
  [[nodiscard]] bool ReadInfo(std::uint8_t command, std::uint16_t value);

  // Handle of the attached device; 0 until the first attach, and
  // hid::kInvalidHandle means "no device" (every operation then fails
  // without touching the HID layer). Atomic because the removal (user
  // interface thread) invalidates it while the worker may be reading it;
  // each operation reads it once.
  std::atomic<korrin::hid::Handle> m_hDevice{0};
  std::string m_strBootloaderVersion;
  std::string m_strFirmwareVersion;
  std::string m_strFilePath;
  std::uint8_t m_InReport[korrin::hid::kReportSize] = {};
};

extern HID_COMM g_Comm;
