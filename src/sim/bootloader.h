// The simulated bootloader device: a faithful peer of the programmer, not a
// mock. It checks every output report against the frame layout, keeps the
// image it is sent, answers version and CRC requests as the device does and
// reaches its own CRC verdict. It knows nothing of any transport: the
// in-process HID backend (platform/hid/sim_backend.h) and a uhid emulator
// both feed it reports and carry its answers.
//
// The device keeps its own copy of the frame layout on purpose. It is the
// other end of the wire; sharing the programmer's constants would let a
// mistake in them pass unnoticed on both sides.
//
// Error convention: the device never fails a call. What a host does wrong is
// recorded, as readable texts, in ProtocolErrors() (frame layout) and
// UpdateProblems() (order of the update), and shows in the next CRC verdict.
// Decoders return an empty optional for bytes they cannot read. Nothing here
// throws except on a broken precondition of a constructor (see Device).
//
// Threads: every member function of Bootloader and Device may be called from
// any thread; each object serialises its own state.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace korrin::sim {

// ---------------------------------------------------------------- the wire

inline constexpr std::size_t kReportSize = 4096;
using Report = std::array<std::uint8_t, kReportSize>;
// An input report as the device sends it; byte 0 is the report id.
using Answer = Report;

inline constexpr std::uint8_t kCommandReportId = 0x01;
inline constexpr std::uint8_t kDataReportId = 0x02;
inline constexpr std::uint8_t kSync1 = 0x7F;
inline constexpr std::uint8_t kSync2 = 0xA5;
inline constexpr std::uint8_t kEndMarker = 0xFF;
inline constexpr std::uint8_t kReadInfoCommand = 0x00;
inline constexpr std::uint16_t kReadInfoValue = 4;
inline constexpr std::uint8_t kImageInfoCommand = 0x80;
inline constexpr std::uint8_t kDataCommand = 0x81;
inline constexpr std::uint8_t kFinishCommand = 0x82;
inline constexpr std::uint16_t kFinishValueEnd = 0;
inline constexpr std::uint16_t kFinishValueCrc = 3;
inline constexpr std::size_t kImageInfoSize = 16;
inline constexpr std::size_t kPayloadOffset = 7;
// The longest data frame ends on the last byte of the report.
inline constexpr std::uint16_t kMaxDataValue = kReportSize - 9;  // 4087
// A data block's address counts 64-byte units of the payload.
inline constexpr std::uint32_t kAddressUnit = 64;

// 0xFF minus the 8-bit sum of the bytes.
std::uint8_t FrameChecksum(std::span<const std::uint8_t> summed);

// -------------------------------------------------- image info convention
//
// The 16 bytes of image info are opaque to the programmer. Images that this
// project generates fill them so that this device can check what it got:
//   bytes 0-3  payload length, bytes 4-7 CRC-32 (IEEE, as zlib's crc32) of
//   the payload, byte 8 firmware minor, byte 9 firmware major, 10-15 zero;
//   little-endian.
struct ImageInfo {
  std::uint32_t payloadLength = 0;
  std::uint32_t payloadCrc32 = 0;
  std::uint8_t firmwareMinor = 0;
  std::uint8_t firmwareMajor = 0;
  bool operator==(const ImageInfo&) const = default;
};
std::array<std::uint8_t, kImageInfoSize> EncodeImageInfo(const ImageInfo& info);
// Empty when bytes 10-15 are not zero: then the bytes do not follow the
// convention and the device cannot check the payload against them.
std::optional<ImageInfo> DecodeImageInfo(std::span<const std::uint8_t, kImageInfoSize> bytes);

std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// ------------------------------------------------------------------ capture
//
// Every report the device received and every answer it sent, in order.
// Text form, one line per report:
//   out 02 7f a5 00 81 06 00 3f 00 01 02 03 04 2f ff [4081 zero bytes]
//   in 01 7f a5 00 82 01 00 01 7b ff [4086 zero bytes]
// "out" is an output report (host to device), "in" an input report (device
// to host), named as HID names them from the host. Trailing zero bytes are
// left out and counted in the bracketed marker, so the line is lossless: the
// report's length is the bytes shown plus the count. A report with no
// trailing zeros has no marker.
struct CaptureEntry {
  enum class Direction { kOut, kIn };
  Direction direction;
  std::vector<std::uint8_t> bytes;
};
std::string FormatCaptureLine(const CaptureEntry& entry);
// Parses a line as written by FormatCaptureLine; empty on anything else.
std::optional<CaptureEntry> ParseCaptureLine(const std::string& line);

// What a data frame carried, as the device read it.
struct DataFrameSeen {
  std::uint16_t address = 0;
  std::uint32_t length = 0;  // image data bytes, without the address
  bool operator==(const DataFrameSeen&) const = default;
};

// -------------------------------------------------------------- the model

struct Version {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  bool operator==(const Version&) const = default;
};

struct BootloaderConfig {
  Version bootloader{2, 0};
  Version firmware{1, 0};  // what the device reports before any update
  // Faults that live in the device itself, so that they hold over any
  // transport.
  bool negativeVerdict = false;  // every CRC verdict is 0
  bool silent = false;           // takes every report, answers none
};

// One frame-layout deviation. `offset` counts from the report's byte 0 and
// is empty for faults of the whole report (its length).
struct ProtocolError {
  std::size_t report = 0;  // ordinal of the report received, from 1
  std::optional<std::size_t> offset;
  std::string text;
  // "report 5, offset 1: first sync byte is 0x00, expected 0x7F"
  std::string Describe() const;
};

// The update the device is in, for tests and the demo to inspect.
struct UpdateState {
  bool started = false;  // an image info arrived
  bool ended = false;    // then the end frame
  bool inOrder = true;   // every data block continued where the last ended
  std::uint32_t contiguousBytes = 0;  // payload received in order from 0
  std::optional<ImageInfo> announced;  // decoded image info, if it follows the convention
  std::array<std::uint8_t, kImageInfoSize> imageInfoBytes{};
  std::vector<std::string> problems;  // why the update would not pass, besides protocol errors
};

class Bootloader {
 public:
  explicit Bootloader(BootloaderConfig config = {});

  // Takes one output report, as the host wrote it (byte 0 the report id),
  // and returns the input report the device sends in reply, if any. A report
  // that deviates from the frame layout in any way is recorded and not
  // acted on: the device cannot trust any of its bytes.
  std::optional<Answer> HandleOutputReport(std::span<const std::uint8_t> report);

  // Faults that may be switched while the device runs.
  void SetNegativeVerdict(bool on);
  void SetSilent(bool on);

  Version bootloaderVersion() const;
  Version firmwareVersion() const;
  std::vector<ProtocolError> ProtocolErrors() const;
  std::vector<std::string> ProtocolErrorTexts() const;  // each Describe()d
  UpdateState Update() const;
  // Payload bytes of the current update, each at 64 x its block's address;
  // bytes between blocks that never came are zero.
  std::vector<std::uint8_t> Payload() const;
  // The verdicts sent so far, in order.
  std::vector<bool> Verdicts() const;
  std::size_t ReportsReceived() const;

  std::vector<CaptureEntry> Capture() const;
  // Well-formed data frames in order of arrival, recorded while capture is on.
  std::vector<DataFrameSeen> DataFramesSeen() const;
  void SetCaptureEnabled(bool on);  // on by default; off for long benchmark runs
  void ClearCapture();
  // One line per entry (see FormatCaptureLine). False when the stream fails.
  [[nodiscard]] bool WriteCapture(std::ostream& out) const;
  // Writes the capture to a file; on failure false and a reason in `error`.
  [[nodiscard]] bool WriteCaptureFile(const std::string& path, std::string* error) const;

 private:
  struct Frame {
    std::uint8_t reportId;
    std::uint8_t flag;
    std::uint8_t command;
    std::uint16_t value;
    std::span<const std::uint8_t> payload;
  };
  // Records every deviation and returns the frame when there is none.
  std::optional<Frame> Check(std::span<const std::uint8_t> report);
  void Error(std::optional<std::size_t> offset, std::string text);
  std::optional<Answer> Act(const Frame& frame);
  bool Verdict();
  Answer MakeAnswer(std::uint8_t command, std::span<const std::uint8_t> payload) const;
  void Record(CaptureEntry::Direction direction, std::span<const std::uint8_t> bytes);

  mutable std::mutex mutex_;
  BootloaderConfig config_;
  std::size_t received_ = 0;
  std::vector<ProtocolError> errors_;
  // A deviation makes the next verdict negative, whatever update it fell in.
  bool errorSinceVerdict_ = false;
  UpdateState update_;
  std::vector<std::uint8_t> payload_;
  std::vector<bool> verdicts_;
  bool capture_ = true;
  std::vector<CaptureEntry> capture_log_;
  std::vector<DataFrameSeen> dataFrames_;
};

// ------------------------------------------------- a device on some transport

// One HID interface the device presents.
struct InterfaceSpec {
  // Empty: the device makes up a unique one ("sim-dev<N>-if<i>"), never
  // reused within the process, as a kernel numbers its nodes.
  std::string path;
  bool pathUnreadable = false;        // enumeration cannot read its path
  bool attributesUnreadable = false;  // enumeration cannot read vendor/product/version
  std::string openError;              // non-empty: every open fails with this reason
};

// Faults of the link between host and device. The transport asks the device
// what happens to each write and read (OnWrite, OnRead); ordinals count from
// 1 over the device's whole life, across handles and plug-ins.
struct LinkFaults {
  std::set<std::uint32_t> failWrites;                  // these writes fail; the report is lost
  std::optional<std::uint32_t> removeOnWrite;          // this write finds the device gone
  std::optional<std::uint32_t> removeBeforeDataFrame;  // data frame n (from 1) finds the device gone
  std::optional<std::uint32_t> removeDuringRead;       // the device goes while this read waits
  bool failAllReads = false;                           // every read fails
  std::uint32_t failedReadsBeforeAnswer = 0;           // each answer comes on read n + 1
  // Time one report takes on the bus, output or input. At full speed the bus
  // moves 64 bytes per millisecond: kFullSpeedReportTime.
  std::chrono::milliseconds reportTime{0};
  // Time from a request to its answer being ready to read.
  std::chrono::milliseconds answerDelay{0};
};
inline constexpr std::chrono::milliseconds kFullSpeedReportTime{kReportSize / 64};

struct DeviceConfig {
  std::uint16_t vendorId = 0x16D0;
  std::uint16_t productId = 0x0001;
  std::uint16_t versionNumber = 0x0100;
  // The first interface carries the bootloader. The others stand for the
  // device's other HID collections: they enumerate and open, but take no
  // 4096-byte report (writes fail) and send nothing (reads time out).
  // Empty: one interface with a made-up path.
  std::vector<InterfaceSpec> interfaces;
  BootloaderConfig bootloader;
  LinkFaults faults;
};

class Device {
 public:
  explicit Device(DeviceConfig config = {});

  std::uint16_t vendorId() const { return config_.vendorId; }
  std::uint16_t productId() const { return config_.productId; }
  std::uint16_t versionNumber() const { return config_.versionNumber; }
  const std::vector<InterfaceSpec>& interfaces() const { return config_.interfaces; }
  const std::string& path(std::size_t interface = 0) const { return config_.interfaces.at(interface).path; }
  Bootloader& bootloader() { return bootloader_; }
  const Bootloader& bootloader() const { return bootloader_; }

  LinkFaults faults() const;
  void SetFaults(LinkFaults faults);

  enum class WriteFate { kDeliver, kFail, kRemove };
  enum class ReadFate { kProceed, kFail, kRemove };
  // Counts one write of `report` on the bootloader interface and says what
  // becomes of it.
  WriteFate OnWrite(std::span<const std::uint8_t> report);
  ReadFate OnRead();
  std::uint32_t writes() const;
  std::uint32_t reads() const;

 private:
  DeviceConfig config_;
  Bootloader bootloader_;
  mutable std::mutex mutex_;
  LinkFaults faults_;
  std::uint32_t writes_ = 0;
  std::uint32_t dataFrames_ = 0;
  std::uint32_t reads_ = 0;
};

}  // namespace korrin::sim
