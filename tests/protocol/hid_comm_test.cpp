// HID_COMM against a scripted interface: each case is one exchange, the
// calls expected on the HID layer and the clock in order, the canned answers
// in, and the channel's result and state out.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <tuple>

#include "fake_device.h"
#include "protocol/protocol.h"
#include "report_matchers.h"

namespace korrin::protocol {
namespace {

using namespace std::chrono_literals;
using korrin::testing::Bytes;
using korrin::testing::Call;
using korrin::testing::Cancel;
using korrin::testing::FullReport;
using korrin::testing::Hex;
using korrin::testing::Pause;
using korrin::testing::Read;
using korrin::testing::Repeat;
using korrin::testing::SameBytes;
using korrin::testing::ScriptedRead;
using korrin::testing::Write;
using korrin::testing::operator+;

constexpr std::uint8_t kStaleByte = 0x33;  // what m_InReport holds before each case
const char* const kOldBootloader = "old-boot";
const char* const kOldFirmware = "old-firm";

// An answer as the device would send it, with bytes 7..10 given and a last
// byte that shows the whole report was taken.
Bytes Answer(const char* bytes7to10) {
  Bytes answer = FullReport(Hex("01 7F A5 00 00 04 00") + Hex(bytes7to10));
  answer.back() = 0x5C;
  return answer;
}
ScriptedRead Ok(const char* bytes7to10) { return {hid::ReadResult::kOk, Answer(bytes7to10)}; }
ScriptedRead Fails() { return {hid::ReadResult::kFailed, {}}; }
ScriptedRead TimesOut() { return {hid::ReadResult::kTimeout, {}}; }

std::vector<ScriptedRead> Times(int n, const std::function<ScriptedRead(int)>& make) {
  std::vector<ScriptedRead> out;
  for (int i = 0; i < n; ++i) out.push_back(make(i));
  return out;
}

std::vector<Call> Repeated(int n, std::vector<Call> group) {
  std::vector<Call> out;
  for (int i = 0; i < n; ++i) out.insert(out.end(), group.begin(), group.end());
  return out;
}

std::vector<ScriptedRead> operator+(std::vector<ScriptedRead> a, const std::vector<ScriptedRead>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<Call> operator+(std::vector<Call> a, const std::vector<Call>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kEndFrame = FullReport(Hex("01 7F A5 00 82 00 00 7D FF"));
const Bytes kCrcFrame = FullReport(Hex("01 7F A5 01 82 03 00 79 FF"));
const Bytes kReadFrame = FullReport(Hex("01 7F A5 01 00 04 00 FA FF"));
const Bytes kInfoFrame =
    FullReport(Hex("01 7F A5 00 80 10 00 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F F7 FF"));
const Bytes kInfo16 = Hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
const Bytes kBlock4085 = Repeat(0x01, 4085);

// Compares two traces call by call; prints both traces when they differ.
::testing::AssertionResult SameTrace(const std::vector<Call>& expected, const std::vector<Call>& actual) {
  auto list = [](const std::vector<Call>& calls) {
    std::string s;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (i == 12 && calls.size() > 16) {
        s += "\n    ... " + std::to_string(calls.size() - 16) + " more ...";
        i = calls.size() - 4;
      }
      s += "\n    " + korrin::testing::Describe(calls[i]);
    }
    return s.empty() ? std::string("\n    (no calls)") : s;
  };
  for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const bool bothHave = i < expected.size() && i < actual.size();
    if (bothHave && expected[i].kind == actual[i].kind && expected[i].ms == actual[i].ms) {
      if (auto same = SameBytes(expected[i].bytes, actual[i].bytes); !same)
        return ::testing::AssertionFailure() << "call " << i << " wrote other bytes:\n" << same.message();
      continue;
    }
    return ::testing::AssertionFailure() << "traces differ at call " << i << " (expected " << expected.size()
                                         << " calls, got " << actual.size() << ")\n  expected:" << list(expected)
                                         << "\n  actual:" << list(actual);
  }
  return ::testing::AssertionSuccess();
}

// One HID_COMM on a freshly opened fake interface, with the fake clock.
class ChannelFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    iface_ = std::make_shared<korrin::testing::FakeInterface>(trace_);
    hid::InstallSystem(std::make_shared<korrin::testing::FakeBackend>(iface_));
    platform::InstallClock(std::make_shared<korrin::testing::FakeClock>(trace_));
    handle_ = hid::System().Open(korrin::testing::FakeBackend::kPath);
    ASSERT_NE(handle_, hid::kInvalidHandle);
    Prime(comm_);
  }
  void TearDown() override {
    hid::InstallSystem(hid::MakeNullBackend());
    platform::InstallClock(nullptr);
  }
  // The state a channel has after earlier exchanges.
  void Prime(HID_COMM& comm) {
    comm.m_hDevice = handle_;
    comm.m_strBootloaderVersion = kOldBootloader;
    comm.m_strFirmwareVersion = kOldFirmware;
    std::fill(std::begin(comm.m_InReport), std::end(comm.m_InReport), kStaleByte);
  }
  Bytes InReport(const HID_COMM& comm) const { return Bytes(std::begin(comm.m_InReport), std::end(comm.m_InReport)); }

  std::shared_ptr<korrin::testing::Trace> trace_ = std::make_shared<korrin::testing::Trace>();
  std::shared_ptr<korrin::testing::FakeInterface> iface_;
  hid::Handle handle_ = hid::kInvalidHandle;
  HID_COMM comm_;
};

struct ExchangeCase {
  const char* name;
  std::function<bool(HID_COMM&)> op;
  bool writeOk;
  std::vector<ScriptedRead> reads;
  bool result;
  std::vector<Call> calls;
  Bytes inReport;  // m_InReport afterwards
  const char* bootloader;
  const char* firmware;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) { *os << c.name; }

bool WriteFourAt63(HID_COMM& c) {
  const Bytes data = Hex("01 02 03 04");
  return c.WriteBlock(kCmdDataBlock, 4, 63, data.data());
}
bool Write4085(HID_COMM& c) { return c.WriteBlock(kCmdDataBlock, 4085, 0, kBlock4085.data()); }
bool Write4086(HID_COMM& c) {
  const Bytes data(4086, 0x01);
  return c.WriteBlock(kCmdDataBlock, 4086, 0, data.data());
}
bool WriteMaxLength(HID_COMM& c) {
  const Bytes data(kReportSize, 0x01);
  return c.WriteBlock(kCmdDataBlock, 0xFFFFFFFFu, 0, data.data());
}
bool Info(HID_COMM& c) { return c.WriteImageInfo(kInfo16.data()); }
bool Finish(HID_COMM& c) { return c.SendFinish(); }
bool Crc(HID_COMM& c) { return c.QueryCrc(); }
bool ReadVersions(HID_COMM& c) { return c.ReadInfo(kCmdReadInfo, kReadInfoValue); }

const Bytes kStale = Repeat(kStaleByte, kReportSize);
const Bytes kCleared = Repeat(0, kReportSize);

std::vector<ExchangeCase> ExchangeCases() {
  const auto crcAttempt = std::vector<Call>{Pause(100ms), Read(100ms)};
  const auto infoAttempt = std::vector<Call>{Read(10ms), Pause(10ms)};
  const auto sendCrc = std::vector<Call>{Cancel(), Write(kCrcFrame)};
  const auto sendRead = std::vector<Call>{Cancel(), Write(kReadFrame)};
  const char* B = kOldBootloader;
  const char* F = kOldFirmware;
  return {
      {"WriteBlockFourBytesAt63", WriteFourAt63, true, {}, true,
       {Cancel(), Write(FullReport(Hex("02 7F A5 00 81 06 00 3F 00 01 02 03 04 2F FF")))}, kStale, B, F},
      {"WriteBlock4085", Write4085, true, {}, true,
       {Cancel(), Write(Hex("02 7F A5 00 81 F7 0F 00 00") + kBlock4085 + Hex("83 FF"))}, kStale, B, F},
      {"WriteBlock4086Refused", Write4086, true, {}, false, {}, kStale, B, F},
      {"WriteBlockLengthWrapRefused", WriteMaxLength, true, {}, false, {}, kStale, B, F},
      {"WriteBlockWriteFails", WriteFourAt63, false, {}, false,
       {Cancel(), Write(FullReport(Hex("02 7F A5 00 81 06 00 3F 00 01 02 03 04 2F FF")))}, kStale, B, F},
      {"WriteImageInfo", Info, true, {}, true, {Cancel(), Write(kInfoFrame)}, kStale, B, F},
      {"WriteImageInfoWriteFails", Info, false, {}, false, {Cancel(), Write(kInfoFrame)}, kStale, B, F},
      {"SendFinish", Finish, true, {}, true, {Cancel(), Write(kEndFrame)}, kStale, B, F},
      {"SendFinishWriteFails", Finish, false, {}, false, {Cancel(), Write(kEndFrame)}, kStale, B, F},
      // The second answer is never read: the first successful read decides.
      {"QueryCrcFirstAnswerZero", Crc, true, {Ok("00 00 00 00"), Ok("01 00 00 00")}, false, sendCrc + crcAttempt,
       Answer("00 00 00 00"), B, F},
      {"QueryCrcFirstAnswerOne", Crc, true, {Ok("01 00 00 00")}, true, sendCrc + crcAttempt, Answer("01 00 00 00"), B,
       F},
      {"QueryCrcAnswerTwoFails", Crc, true, {Ok("02 00 00 00")}, false, sendCrc + crcAttempt, Answer("02 00 00 00"),
       B, F},
      {"QueryCrc49FailuresThenOne", Crc, true,
       Times(49, [](int i) { return i % 2 ? TimesOut() : Fails(); }) + std::vector{Ok("01 00 00 00")}, true,
       sendCrc + Repeated(50, crcAttempt), Answer("01 00 00 00"), B, F},
      // Without a successful read, m_InReport keeps what it held.
      {"QueryCrcAllFail", Crc, true, Times(50, [](int) { return TimesOut(); }) + std::vector{Ok("01 00 00 00")},
       false, sendCrc + Repeated(50, crcAttempt), kStale, B, F},
      {"QueryCrcWriteFails", Crc, false, {Ok("01 00 00 00")}, false, sendCrc, kStale, B, F},
      {"ReadInfoFirstAnswer", ReadVersions, true, {Ok("00 02 0A 01")}, true, sendRead + infoAttempt,
       Answer("00 02 0A 01"), "2.0", "1.10"},
      {"ReadInfoFailThenAnswer", ReadVersions, true, {Fails(), Ok("07 03 09 04")}, true,
       sendRead + Repeated(2, infoAttempt), Answer("07 03 09 04"), "3.7", "4.9"},
      {"ReadInfoTimeoutThenAnswer", ReadVersions, true, {TimesOut(), Ok("07 03 09 04")}, true,
       sendRead + Repeated(2, infoAttempt), Answer("07 03 09 04"), "3.7", "4.9"},
      {"ReadInfoAllFail", ReadVersions, true, Times(100, [](int i) { return i % 3 ? Fails() : TimesOut(); }), true,
       sendRead + Repeated(100, infoAttempt), kCleared, "0.0", "0.0"},
      {"ReadInfoWriteFails", ReadVersions, false, {Ok("00 02 0A 01")}, false, sendRead, kCleared, B, F},
      {"ReadInfoOtherArguments", [](HID_COMM& c) { return c.ReadInfo(0x12, 0x3456); }, true, {Ok("05 06 07 08")},
       true, {Cancel(), Write(FullReport(Hex("01 7F A5 01 12 56 34 62 FF"))), Read(10ms), Pause(10ms)},
       Answer("05 06 07 08"), "6.5", "8.7"},
  };
}

class Exchange : public ChannelFixture, public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(Exchange, CallsResultAndState) {
  const ExchangeCase& c = GetParam();
  iface_->writeOk = c.writeOk;
  iface_->reads.assign(c.reads.begin(), c.reads.end());

  EXPECT_EQ(c.op(comm_), c.result);
  EXPECT_TRUE(SameTrace(c.calls, trace_->Take()));
  EXPECT_TRUE(SameBytes(c.inReport, InReport(comm_))) << "m_InReport afterwards";
  EXPECT_EQ(comm_.m_strBootloaderVersion, c.bootloader);
  EXPECT_EQ(comm_.m_strFirmwareVersion, c.firmware);
}

INSTANTIATE_TEST_SUITE_P(Channel, Exchange, ::testing::ValuesIn(ExchangeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Handles the channel cannot use: "no device", never set (0, as in static
// storage), and one closed at removal.
enum class BadHandle { kInvalid, kNeverSet, kClosed };

struct OperationCase {
  const char* name;
  std::function<bool(HID_COMM&)> op;
  bool clearsInReport;
};

void PrintTo(const OperationCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(BadHandle h, std::ostream* os) {
  static const char* const kNames[] = {"Invalid", "NeverSet", "Closed"};
  *os << kNames[static_cast<int>(h)];
}

std::string UnusableHandleName(const ::testing::TestParamInfo<std::tuple<BadHandle, OperationCase>>& info) {
  static const char* const kHandle[] = {"Invalid", "NeverSet", "Closed"};
  return std::string(kHandle[static_cast<int>(std::get<0>(info.param))]) + "_" + std::get<1>(info.param).name;
}

class UnusableHandle : public ChannelFixture,
                       public ::testing::WithParamInterface<std::tuple<BadHandle, OperationCase>> {};

TEST_P(UnusableHandle, FailsWithoutTouchingDeviceOrTexts) {
  const auto& [which, c] = GetParam();
  switch (which) {
    case BadHandle::kInvalid: comm_.m_hDevice = hid::kInvalidHandle; break;
    case BadHandle::kNeverSet: comm_.m_hDevice = 0; break;
    case BadHandle::kClosed:
      ASSERT_TRUE(hid::System().CloseHandle(handle_));
      trace_->Take();
      break;
  }
  iface_->reads.assign({Ok("01 02 03 04")});

  EXPECT_FALSE(c.op(comm_));
  EXPECT_TRUE(SameTrace({}, trace_->Take())) << "no I/O and no pause";
  EXPECT_TRUE(SameBytes(c.clearsInReport ? kCleared : kStale, InReport(comm_)));
  EXPECT_EQ(comm_.m_strBootloaderVersion, kOldBootloader);
  EXPECT_EQ(comm_.m_strFirmwareVersion, kOldFirmware);
}

INSTANTIATE_TEST_SUITE_P(
    Channel, UnusableHandle,
    ::testing::Combine(::testing::Values(BadHandle::kInvalid, BadHandle::kNeverSet, BadHandle::kClosed),
                       ::testing::Values(OperationCase{"WriteBlock", WriteFourAt63, false},
                                         OperationCase{"WriteImageInfo", Info, false},
                                         OperationCase{"SendFinish", Finish, false},
                                         OperationCase{"QueryCrc", Crc, false},
                                         OperationCase{"ReadInfo", ReadVersions, true})),
    UnusableHandleName);

TEST_F(ChannelFixture, SuccessiveVersionAnswersReplaceTheTexts) {
  Prime(g_Comm);
  iface_->reads.assign({Ok("00 02 0A 01"), Ok("03 02 00 01")});

  ASSERT_TRUE(g_Comm.ReadInfo(kCmdReadInfo, kReadInfoValue));
  EXPECT_EQ(g_Comm.m_strBootloaderVersion, "2.0");
  EXPECT_EQ(g_Comm.m_strFirmwareVersion, "1.10");
  ASSERT_TRUE(g_Comm.ReadInfo(kCmdReadInfo, kReadInfoValue));
  EXPECT_EQ(g_Comm.m_strBootloaderVersion, "2.3");
  EXPECT_EQ(g_Comm.m_strFirmwareVersion, "1.0");

  g_Comm.m_hDevice = 0;
  g_Comm.m_strBootloaderVersion.clear();
  g_Comm.m_strFirmwareVersion.clear();
}

// A whole update's worth of frames through one channel: every report is a
// full 4096 bytes with nothing after its end marker, and the device sees
// the frames in the order the programmer sends them.
TEST_F(ChannelFixture, UpdateSequenceWritesWholeReports) {
  const Bytes block = Repeat(0xA5, 4032);
  iface_->reads.assign({Ok("00 02 0A 01"), Ok("01 00 00 00"), Ok("00 02 0B 01")});

  ASSERT_TRUE(comm_.ReadInfo(kCmdReadInfo, kReadInfoValue));
  ASSERT_TRUE(comm_.WriteImageInfo(kInfo16.data()));
  ASSERT_TRUE(comm_.WriteBlock(kCmdDataBlock, 4032, 0, block.data()));
  ASSERT_TRUE(comm_.WriteBlock(kCmdDataBlock, 100, 63, block.data()));
  ASSERT_TRUE(comm_.SendFinish());
  ASSERT_TRUE(comm_.QueryCrc());
  ASSERT_TRUE(comm_.ReadInfo(kCmdReadInfo, kReadInfoValue));
  EXPECT_EQ(comm_.m_strFirmwareVersion, "1.11");

  std::vector<Bytes> written;
  std::string order;
  for (const Call& call : trace_->Take()) {
    if (call.kind == Call::Kind::kWrite) written.push_back(call.bytes);
    order += call.kind == Call::Kind::kCancel ? 'c' : call.kind == Call::Kind::kWrite ? 'w' : call.kind == Call::Kind::kRead ? 'r' : 'p';
  }
  EXPECT_EQ(order, "cwrp" "cw" "cw" "cw" "cw" "cwpr" "cwrp");
  ASSERT_EQ(written.size(), 7u);
  // Report id and payload length of each frame, in the order sent.
  const std::pair<std::uint8_t, std::size_t> frames[] = {{0x01, 0}, {0x01, 16}, {0x02, 4034}, {0x02, 102},
                                                         {0x01, 0}, {0x01, 0}, {0x01, 0}};
  for (std::size_t i = 0; i < written.size(); ++i) {
    const Bytes& r = written[i];
    ASSERT_EQ(r.size(), kReportSize) << "report " << i;
    EXPECT_EQ(r[0], frames[i].first) << "report " << i;
    const std::size_t end = 8 + frames[i].second;
    EXPECT_EQ(r[end], kEndMarker) << "report " << i;
    EXPECT_TRUE(SameBytes(Bytes(kReportSize - end - 1, 0), Bytes(r.begin() + static_cast<std::ptrdiff_t>(end) + 1, r.end())))
        << "report " << i << " after its end marker";
  }
}

}  // namespace
}  // namespace korrin::protocol
