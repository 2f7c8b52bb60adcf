#include <array>
#include <cstring>

#include "protocol/protocol.h"
#include "platform/clock.h"

using korrin::hid::Handle;
using korrin::hid::kInvalidHandle;
using korrin::hid::ReadResult;
using korrin::protocol::kReportSize;

HID_COMM g_Comm;

namespace {

using ReportBuffer = std::array<std::uint8_t, kReportSize>;

// Cancel, then write the whole report. "No device" never reaches the HID
// layer at all.
bool Send(Handle device, const ReportBuffer& report) {
  if (device == kInvalidHandle) return false;
  auto& system = korrin::hid::System();
  system.CancelIo(device);
  return system.WriteReport(device, report);
}

// One bounded read. The answer is taken into `inReport` only when a whole
// report arrived, so a failed or timed-out read cannot leave half a report,
// or whatever the driver scribbled, for the decoder to find.
bool ReadAnswer(Handle device, std::uint8_t (&inReport)[kReportSize], std::chrono::milliseconds bound) {
  ReportBuffer answer;
  if (korrin::hid::System().ReadReport(device, answer, bound) != ReadResult::kOk) return false;
  std::memcpy(inReport, answer.data(), kReportSize);
  return true;
}

}  // namespace

bool HID_COMM::WriteBlock(std::uint8_t command, std::uint32_t length, std::uint32_t address,
                          const std::uint8_t* data) {
  ReportBuffer report;
  // The builder refuses an oversized block before anything is written.
  if (!korrin::protocol::BuildDataFrame(report, command, length, address, data)) return false;
  return Send(m_hDevice.load(), report);
}

bool HID_COMM::WriteImageInfo(const std::uint8_t* imageInfo16) {
  if (imageInfo16 == nullptr) return false;
  ReportBuffer report;
  korrin::protocol::BuildImageInfoFrame(report, imageInfo16);
  return Send(m_hDevice.load(), report);
}

bool HID_COMM::SendFinish() {
  ReportBuffer report;
  korrin::protocol::BuildFinishFrame(report);
  return Send(m_hDevice.load(), report);
}

bool HID_COMM::QueryCrc() {
  const Handle device = m_hDevice.load();
  ReportBuffer report;
  korrin::protocol::BuildCrcRequestFrame(report);
  if (!Send(device, report)) return false;
  for (int attempt = 0; attempt < korrin::protocol::kCrcReadAttempts; ++attempt) {
    // The device needs time to compute its verdict before it can answer.
    korrin::platform::Sleep(korrin::protocol::kCrcPause);
    if (ReadAnswer(device, m_InReport, korrin::protocol::kCrcPause)) return korrin::protocol::DecodeCrcVerdict(m_InReport);
  }
  return false;
}

bool HID_COMM::ReadInfo(std::uint8_t command, std::uint16_t value) {
  // Cleared even when nothing can be sent, so a stale answer is never
  // decoded as this device's versions.
  std::memset(m_InReport, 0, sizeof m_InReport);
  const Handle device = m_hDevice.load();
  ReportBuffer report;
  korrin::protocol::BuildReadRequestFrame(report, command, value);
  if (!Send(device, report)) return false;
  for (int attempt = 0; attempt < korrin::protocol::kInfoReadAttempts; ++attempt) {
    const bool answered = ReadAnswer(device, m_InReport, korrin::protocol::kInfoPause);
    korrin::platform::Sleep(korrin::protocol::kInfoPause);
    if (answered) break;
  }
  // With no answer the cleared report decodes as 0.0 and 0.0; callers show
  // that rather than a failure.
  auto versions = korrin::protocol::DecodeVersions(m_InReport);
  m_strBootloaderVersion = std::move(versions.bootloader);
  m_strFirmwareVersion = std::move(versions.firmware);
  return true;
}
