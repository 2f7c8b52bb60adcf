#include "sim/bootloader.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>
#include <utility>

namespace korrin::sim {
namespace {

std::string Hex2(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

const char* FrameName(std::uint8_t command, std::uint16_t value) {
  switch (command) {
    case kReadInfoCommand: return "read request";
    case kImageInfoCommand: return "image info";
    case kDataCommand: return "data frame";
    case kFinishCommand:
      if (value == kFinishValueEnd) return "end frame";
      if (value == kFinishValueCrc) return "CRC check request";
      return "frame 0x82";
    default: return "frame";
  }
}

bool KnownCommand(std::uint8_t command) {
  return command == kReadInfoCommand || command == kImageInfoCommand || command == kDataCommand ||
         command == kFinishCommand;
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::uint8_t FrameChecksum(std::span<const std::uint8_t> summed) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : summed) sum = static_cast<std::uint8_t>(sum + byte);
  return static_cast<std::uint8_t>(0xFF - sum);
}

std::array<std::uint8_t, kImageInfoSize> EncodeImageInfo(const ImageInfo& info) {
  std::array<std::uint8_t, kImageInfoSize> bytes{};
  PutLe32(&bytes[0], info.payloadLength);
  PutLe32(&bytes[4], info.payloadCrc32);
  bytes[8] = info.firmwareMinor;
  bytes[9] = info.firmwareMajor;
  return bytes;
}

std::optional<ImageInfo> DecodeImageInfo(std::span<const std::uint8_t, kImageInfoSize> bytes) {
  if (std::any_of(bytes.begin() + 10, bytes.end(), [](std::uint8_t b) { return b != 0; })) return std::nullopt;
  return ImageInfo{Le32(&bytes[0]), Le32(&bytes[4]), bytes[8], bytes[9]};
}

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most a uInt per call.
  std::size_t done = 0;
  while (done < bytes.size()) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    crc = crc32(crc, bytes.data() + done, chunk);
    done += chunk;
  }
  return static_cast<std::uint32_t>(crc);
}

// ------------------------------------------------------------------ capture

std::string FormatCaptureLine(const CaptureEntry& entry) {
  std::size_t shown = entry.bytes.size();
  while (shown > 0 && entry.bytes[shown - 1] == 0) --shown;
  std::string line = entry.direction == CaptureEntry::Direction::kOut ? "out" : "in";
  line.reserve(line.size() + 3 * shown + 24);
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < shown; ++i) {
    line += ' ';
    line += digits[entry.bytes[i] >> 4];
    line += digits[entry.bytes[i] & 0x0F];
  }
  if (shown < entry.bytes.size()) line += " [" + std::to_string(entry.bytes.size() - shown) + " zero bytes]";
  return line;
}

std::optional<CaptureEntry> ParseCaptureLine(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word)) return std::nullopt;
  CaptureEntry entry;
  if (word == "out") {
    entry.direction = CaptureEntry::Direction::kOut;
  } else if (word == "in") {
    entry.direction = CaptureEntry::Direction::kIn;
  } else {
    return std::nullopt;
  }
  while (in >> word) {
    if (word.front() == '[') {
      std::size_t count = 0;
      std::string zero, bytes;
      try {
        count = std::stoul(word.substr(1));
      } catch (...) {
        return std::nullopt;
      }
      if (!(in >> zero >> bytes) || zero != "zero" || bytes != "bytes]") return std::nullopt;
      if (in >> word) return std::nullopt;  // the marker ends the line
      entry.bytes.insert(entry.bytes.end(), count, 0);
      return entry;
    }
    if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
        !std::isxdigit(static_cast<unsigned char>(word[1])))
      return std::nullopt;
    entry.bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return entry;
}

// -------------------------------------------------------------- the model

std::string ProtocolError::Describe() const {
  std::string text = "report " + std::to_string(report);
  if (offset) text += ", offset " + std::to_string(*offset);
  return text + ": " + this->text;
}

Bootloader::Bootloader(BootloaderConfig config) : config_(config) {}

std::optional<Answer> Bootloader::HandleOutputReport(std::span<const std::uint8_t> report) {
  std::lock_guard lock(mutex_);
  ++received_;
  Record(CaptureEntry::Direction::kOut, report);
  auto frame = Check(report);
  if (!frame) return std::nullopt;
  auto answer = Act(*frame);
  if (!answer || config_.silent) return std::nullopt;
  Record(CaptureEntry::Direction::kIn, *answer);
  return answer;
}

void Bootloader::Error(std::optional<std::size_t> offset, std::string text) {
  errors_.push_back(ProtocolError{received_, offset, std::move(text)});
  errorSinceVerdict_ = true;
}

std::optional<Bootloader::Frame> Bootloader::Check(std::span<const std::uint8_t> r) {
  if (r.size() != kReportSize) {
    Error(std::nullopt, "report is " + std::to_string(r.size()) + " bytes long, expected " +
                            std::to_string(kReportSize));
    return std::nullopt;
  }
  const std::size_t before = errors_.size();
  const std::uint8_t id = r[0], flag = r[3], command = r[4];
  const std::uint16_t value = Le16(&r[5]);
  const bool known = KnownCommand(command);
  const std::string name = FrameName(command, value);

  // The command byte decides what the rest of the frame must be, so a wrong
  // report id is told against the command it carries.
  if (id != kCommandReportId && id != kDataReportId) {
    Error(0, name + ": report id is " + Hex2(id) + ", expected 0x01 (command) or 0x02 (data)");
  } else if (known) {
    const std::uint8_t expected = command == kDataCommand ? kDataReportId : kCommandReportId;
    if (id != expected)
      Error(0, name + ": report id is " + Hex2(id) + ", but command " + Hex2(command) + " travels in report id " +
                   Hex2(expected));
  }
  if (r[1] != kSync1) Error(1, name + ": first sync byte is " + Hex2(r[1]) + ", expected 0x7F");
  if (r[2] != kSync2) Error(2, name + ": second sync byte is " + Hex2(r[2]) + ", expected 0xA5");
  if (!known) {
    // Without a known command nothing tells where the frame ends.
    Error(4, "unknown command " + Hex2(command));
    return std::nullopt;
  }

  std::size_t n = 0;
  std::optional<std::uint8_t> expectedFlag;
  std::optional<std::string> valueError;
  switch (command) {
    case kReadInfoCommand:
      expectedFlag = 1;
      if (value != kReadInfoValue) valueError = "value is " + std::to_string(value) + ", expected 4";
      break;
    case kImageInfoCommand:
      expectedFlag = 0;
      n = kImageInfoSize;
      if (value != kImageInfoSize) valueError = "value is " + std::to_string(value) + ", expected 16";
      break;
    case kDataCommand:
      expectedFlag = 0;
      if (value < 2 || value > kMaxDataValue) {
        valueError = "value is " + std::to_string(value) + ", a data frame carries 2 to 4087 bytes";
      }
      n = value;
      break;
    case kFinishCommand:
      if (value == kFinishValueEnd) {
        expectedFlag = 0;
      } else if (value == kFinishValueCrc) {
        expectedFlag = 1;
      } else {
        valueError = "value is " + std::to_string(value) + ", expected 0 (end) or 3 (CRC check request)";
      }
      break;
  }
  if (expectedFlag && flag != *expectedFlag)
    Error(3, name + ": answer flag is " + Hex2(flag) + ", expected " + Hex2(*expectedFlag));
  if (valueError) Error(5, name + ": " + *valueError);
  if (command == kDataCommand && (value < 2 || value > kMaxDataValue)) return std::nullopt;

  const std::size_t cs = kPayloadOffset + n;
  const std::uint8_t expectedSum = FrameChecksum(r.subspan(3, cs - 3));
  if (r[cs] != expectedSum)
    Error(cs, name + ": checksum is " + Hex2(r[cs]) + ", expected " + Hex2(expectedSum));
  if (r[cs + 1] != kEndMarker) Error(cs + 1, name + ": end marker is " + Hex2(r[cs + 1]) + ", expected 0xFF");
  std::optional<std::size_t> firstPadding;
  std::size_t nonZero = 0;
  for (std::size_t i = cs + 2; i < kReportSize; ++i) {
    if (r[i] == 0) continue;
    if (!firstPadding) firstPadding = i;
    ++nonZero;
  }
  if (firstPadding)
    Error(*firstPadding, name + ": padding byte is " + Hex2(r[*firstPadding]) + ", expected 0x00 (" +
                             std::to_string(nonZero) + " non-zero padding byte" + (nonZero == 1 ? "" : "s") +
                             " in all)");

  if (errors_.size() != before) return std::nullopt;
  return Frame{id, flag, command, value, r.subspan(kPayloadOffset, n)};
}

std::optional<Answer> Bootloader::Act(const Frame& frame) {
  switch (frame.command) {
    case kReadInfoCommand: {
      const std::uint8_t versions[] = {config_.bootloader.minor, config_.bootloader.major, config_.firmware.minor,
                                       config_.firmware.major};
      return MakeAnswer(kReadInfoCommand, versions);
    }
    case kImageInfoCommand: {
      // A new update begins; whatever came before it is forgotten.
      update_ = UpdateState{};
      update_.started = true;
      std::copy(frame.payload.begin(), frame.payload.end(), update_.imageInfoBytes.begin());
      update_.announced = DecodeImageInfo(std::span<const std::uint8_t, kImageInfoSize>(update_.imageInfoBytes));
      if (!update_.announced) update_.problems.push_back("image info bytes 10 to 15 are not zero");
      payload_.clear();
      return std::nullopt;
    }
    case kDataCommand: {
      const std::uint16_t address = Le16(frame.payload.data());
      const auto data = frame.payload.subspan(2);
      const std::uint32_t offset = address * kAddressUnit;
      const auto length = static_cast<std::uint32_t>(data.size());
      const std::string where = "data frame at address " + std::to_string(address);
      if (!update_.started) update_.problems.push_back(where + " came before any image info");
      if (update_.ended) update_.problems.push_back(where + " came after the end frame");
      if (update_.inOrder && offset != update_.contiguousBytes) {
        update_.inOrder = false;
        update_.problems.push_back(where + " starts at payload offset " + std::to_string(offset) + ", expected " +
                                   std::to_string(update_.contiguousBytes));
      }
      if (update_.inOrder) update_.contiguousBytes += length;
      if (payload_.size() < offset + length) payload_.resize(offset + length, 0);
      std::copy(data.begin(), data.end(), payload_.begin() + offset);
      if (capture_) dataFrames_.push_back(DataFrameSeen{address, length});
      return std::nullopt;
    }
    case kFinishCommand:
      if (frame.value == kFinishValueEnd) {
        if (!update_.started) update_.problems.push_back("end frame came before any image info");
        update_.ended = true;
        return std::nullopt;
      } else {
        const std::uint8_t verdict = Verdict() ? 1 : 0;
        return MakeAnswer(kFinishCommand, std::span<const std::uint8_t>(&verdict, 1));
      }
  }
  return std::nullopt;
}

bool Bootloader::Verdict() {
  bool pass = update_.started && update_.ended && update_.inOrder && update_.problems.empty() &&
              update_.announced && !errorSinceVerdict_ && !config_.negativeVerdict;
  if (pass) {
    const ImageInfo& info = *update_.announced;
    pass = update_.contiguousBytes == info.payloadLength &&
           Crc32(std::span<const std::uint8_t>(payload_.data(), update_.contiguousBytes)) == info.payloadCrc32;
  }
  errorSinceVerdict_ = false;
  verdicts_.push_back(pass);
  // The device now runs, and reports, the firmware it was sent.
  if (pass) config_.firmware = Version{update_.announced->firmwareMajor, update_.announced->firmwareMinor};
  return pass;
}

Answer Bootloader::MakeAnswer(std::uint8_t command, std::span<const std::uint8_t> payload) const {
  Answer answer{};
  answer[0] = kCommandReportId;
  answer[1] = kSync1;
  answer[2] = kSync2;
  answer[3] = 0;
  answer[4] = command;
  answer[5] = static_cast<std::uint8_t>(payload.size());
  answer[6] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), answer.begin() + kPayloadOffset);
  const std::size_t cs = kPayloadOffset + payload.size();
  answer[cs] = FrameChecksum(std::span<const std::uint8_t>(answer).subspan(3, cs - 3));
  answer[cs + 1] = kEndMarker;
  return answer;
}

void Bootloader::Record(CaptureEntry::Direction direction, std::span<const std::uint8_t> bytes) {
  if (capture_) capture_log_.push_back(CaptureEntry{direction, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
}

void Bootloader::SetNegativeVerdict(bool on) {
  std::lock_guard lock(mutex_);
  config_.negativeVerdict = on;
}

void Bootloader::SetSilent(bool on) {
  std::lock_guard lock(mutex_);
  config_.silent = on;
}

Version Bootloader::bootloaderVersion() const {
  std::lock_guard lock(mutex_);
  return config_.bootloader;
}

Version Bootloader::firmwareVersion() const {
  std::lock_guard lock(mutex_);
  return config_.firmware;
}

std::vector<ProtocolError> Bootloader::ProtocolErrors() const {
  std::lock_guard lock(mutex_);
  return errors_;
}

std::vector<std::string> Bootloader::ProtocolErrorTexts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& error : errors_) texts.push_back(error.Describe());
  return texts;
}

UpdateState Bootloader::Update() const {
  std::lock_guard lock(mutex_);
  return update_;
}

std::vector<std::uint8_t> Bootloader::Payload() const {
  std::lock_guard lock(mutex_);
  return payload_;
}

std::vector<bool> Bootloader::Verdicts() const {
  std::lock_guard lock(mutex_);
  return verdicts_;
}

std::size_t Bootloader::ReportsReceived() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<CaptureEntry> Bootloader::Capture() const {
  std::lock_guard lock(mutex_);
  return capture_log_;
}

std::vector<DataFrameSeen> Bootloader::DataFramesSeen() const {
  std::lock_guard lock(mutex_);
  return dataFrames_;
}

void Bootloader::SetCaptureEnabled(bool on) {
  std::lock_guard lock(mutex_);
  capture_ = on;
}

void Bootloader::ClearCapture() {
  std::lock_guard lock(mutex_);
  capture_log_.clear();
  dataFrames_.clear();
}

bool Bootloader::WriteCapture(std::ostream& out) const {
  for (const auto& entry : Capture()) out << FormatCaptureLine(entry) << '\n';
  return static_cast<bool>(out);
}

bool Bootloader::WriteCaptureFile(const std::string& path, std::string* error) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    if (error) *error = "cannot create the capture file " + path;
    return false;
  }
  if (!WriteCapture(out) || !(out.flush())) {
    if (error) *error = "cannot write the capture file " + path;
    return false;
  }
  return true;
}

// ------------------------------------------------------------------ device

namespace {
std::atomic<std::uint32_t> g_nextDevice{0};
}

Device::Device(DeviceConfig config) : config_(std::move(config)), bootloader_(config_.bootloader) {
  if (config_.interfaces.empty()) config_.interfaces.emplace_back();
  const std::uint32_t serial = g_nextDevice.fetch_add(1);
  for (std::size_t i = 0; i < config_.interfaces.size(); ++i) {
    if (config_.interfaces[i].path.empty())
      config_.interfaces[i].path = "sim-dev" + std::to_string(serial) + "-if" + std::to_string(i);
  }
  faults_ = config_.faults;
}

LinkFaults Device::faults() const {
  std::lock_guard lock(mutex_);
  return faults_;
}

void Device::SetFaults(LinkFaults faults) {
  std::lock_guard lock(mutex_);
  faults_ = std::move(faults);
}

Device::WriteFate Device::OnWrite(std::span<const std::uint8_t> report) {
  std::lock_guard lock(mutex_);
  ++writes_;
  const bool data = !report.empty() && report[0] == kDataReportId;
  if (data) ++dataFrames_;
  if (faults_.removeOnWrite == writes_) return WriteFate::kRemove;
  if (data && faults_.removeBeforeDataFrame == dataFrames_) return WriteFate::kRemove;
  if (faults_.failWrites.count(writes_)) return WriteFate::kFail;
  return WriteFate::kDeliver;
}

Device::ReadFate Device::OnRead() {
  std::lock_guard lock(mutex_);
  ++reads_;
  if (faults_.removeDuringRead == reads_) return ReadFate::kRemove;
  if (faults_.failAllReads) return ReadFate::kFail;
  return ReadFate::kProceed;
}

std::uint32_t Device::writes() const {
  std::lock_guard lock(mutex_);
  return writes_;
}

std::uint32_t Device::reads() const {
  std::lock_guard lock(mutex_);
  return reads_;
}

}  // namespace korrin::sim
