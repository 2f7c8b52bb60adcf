// The simulated device's frame checker on any reports.
//
// The first input byte picks one of two ways to use the rest:
// - raw: the rest is cut into reports of any length (2-byte length prefix)
//   and fed to one device in turn, reaching its update state with anything;
// - built: the rest is a list of frames made by the programmer's own frame
//   builders, each perhaps with one byte changed. An unchanged frame must be
//   taken without a protocol error (the host's builders and the device's
//   checker agree), and answered exactly when it asks for an answer; a frame
//   with any one byte changed outside its value field must be refused with a
//   protocol error and no answer. (A changed value moves the checksum, so a
//   frame could still come out well-formed by chance.)
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "platform/hid/hid.h"
#include "protocol/protocol.h"
#include "sim/bootloader.h"

namespace {

namespace protocol = korrin::protocol;
using korrin::sim::Bootloader;

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
  std::span<const std::uint8_t> Take(std::size_t n) {
    const std::size_t count = std::min(n, size_ - std::min(at_, size_));
    auto taken = std::span<const std::uint8_t>(data_ + at_, count);
    at_ += count;
    return taken;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Enough reports for any order of an update's frames; more would only spend
// the time on checking padding that the first ones already covered.
constexpr int kMaxReports = 32;

void Raw(Input& in) {
  Bootloader device;
  device.SetCaptureEnabled(false);  // nothing reads it, and it would copy every report
  for (int n = 0; n < kMaxReports && !in.empty(); ++n) {
    const std::size_t length = in.Word() % (korrin::hid::kReportSize + 64);
    std::vector<std::uint8_t> report(length);
    const auto bytes = in.Take(length);
    if (!bytes.empty()) std::memcpy(report.data(), bytes.data(), bytes.size());
    const std::size_t errorsBefore = device.ProtocolErrors().size();
    const auto answer = device.HandleOutputReport(report);
    if (length != korrin::hid::kReportSize) {
      FUZZ_CHECK(!answer && device.ProtocolErrors().size() > errorsBefore);
    }
  }
  (void)device.Update();
  (void)device.Payload();
}

void Built(Input& in) {
  Bootloader device;
  device.SetCaptureEnabled(false);  // nothing reads it, and it would copy every report
  std::vector<std::uint8_t> data(protocol::kMaxDataLength + 8);
  for (int n = 0; n < kMaxReports && !in.empty(); ++n) {
    std::array<std::uint8_t, korrin::hid::kReportSize> report{};
    bool asksAnswer = false;
    switch (in.Byte() % 5) {
      case 0:
        protocol::BuildReadRequestFrame(report, protocol::kCmdReadInfo, protocol::kReadInfoValue);
        asksAnswer = true;
        break;
      case 1: {
        std::uint8_t info[protocol::kImageInfoSize] = {};
        const auto bytes = in.Take(sizeof info);
        std::memcpy(info, bytes.data(), bytes.size());
        protocol::BuildImageInfoFrame(report, info);
        break;
      }
      case 2: {
        const std::uint32_t length = in.Word() % (protocol::kMaxDataLength + 6);
        const std::uint32_t address = in.Word() | (std::uint32_t{in.Byte()} << 16);
        const std::uint8_t seed = in.Byte();
        for (std::uint32_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 13);
        const bool built = protocol::BuildDataFrame(report, protocol::kCmdDataBlock, length, address, data.data());
        FUZZ_CHECK(built == (length <= protocol::kMaxDataLength));
        if (!built) continue;
        FUZZ_CHECK(report[7] == (address & 0xFF) && report[8] == ((address >> 8) & 0xFF));
        break;
      }
      case 3:
        protocol::BuildFinishFrame(report);
        break;
      default:
        protocol::BuildCrcRequestFrame(report);
        asksAnswer = true;
        break;
    }
    const std::uint8_t change = in.Byte();
    const std::uint16_t offset = in.Word() % korrin::hid::kReportSize;
    const bool changed = (change & 0x80) != 0 && offset != 5 && offset != 6;
    if (changed) report[offset] ^= static_cast<std::uint8_t>(change | 1);

    const std::size_t errorsBefore = device.ProtocolErrors().size();
    const auto answer = device.HandleOutputReport(report);
    const std::size_t newErrors = device.ProtocolErrors().size() - errorsBefore;
    if (changed) {
      FUZZ_CHECK(newErrors > 0 && !answer);
    } else {
      FUZZ_CHECK(newErrors == 0);
      FUZZ_CHECK(answer.has_value() == asksAnswer);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  if (in.Byte() & 1) {
    Built(in);
  } else {
    Raw(in);
  }
  return 0;
}
