// The answer decoder and the command channel's two waits, on any answers.
//
// The input scripts what the device does after a request: a run of reads,
// each of which delivers an answer (whose bytes 7 to 10 come from the input
// and every other byte is noise), times out, or fails. ReadInfo and then
// QueryCrc run against that script on the virtual clock, and their results,
// texts and pauses are checked against the rules they follow: the first
// answer that arrives decides, within 100 reads (10 ms pauses) for the
// versions and 50 reads (100 ms pauses) for the verdict, and nothing else in
// an answer is looked at.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/clock.h"
#include "platform/hid/hid.h"
#include "protocol/protocol.h"
#include "sim/virtual_clock.h"

namespace {

using korrin::hid::ReadResult;

struct ScriptedRead {
  ReadResult result = ReadResult::kTimeout;
  std::uint8_t bytes7to10[4] = {};
  std::uint8_t noise = 0;
};

struct Script {
  bool writeFails = false;
  std::deque<ScriptedRead> reads;
  int writes = 0;
  int readsMade = 0;
};

class ScriptedInterface final : public korrin::hid::OpenInterface {
 public:
  explicit ScriptedInterface(Script* script) : script_(script) {}
  bool Write(korrin::hid::ConstReport) override {
    ++script_->writes;
    return !script_->writeFails;
  }
  ReadResult Read(korrin::hid::Report into, std::chrono::milliseconds) override {
    ++script_->readsMade;
    if (script_->reads.empty()) return ReadResult::kTimeout;
    const ScriptedRead read = script_->reads.front();
    script_->reads.pop_front();
    if (read.result != ReadResult::kOk) {
      // What a failed read leaves in the caller's buffer must not count.
      std::memset(into.data(), 0xA5, into.size());
      return read.result;
    }
    std::memset(into.data(), read.noise, into.size());
    std::memcpy(into.data() + 7, read.bytes7to10, 4);
    return ReadResult::kOk;
  }
  void Cancel() override {}
  void Close() override {}

 private:
  Script* script_;
};

class ScriptedBackend final : public korrin::hid::Backend {
 public:
  explicit ScriptedBackend(Script* script) : script_(script) {}
  std::vector<korrin::hid::InterfaceRecord> Enumerate() override { return {}; }
  std::shared_ptr<korrin::hid::OpenInterface> Open(const std::string&, std::string*) override {
    return std::make_shared<ScriptedInterface>(script_);
  }
  void SetRemovalCallback(korrin::hid::RemovalCallback) override {}

 private:
  Script* script_;
};

Script Parse(const std::uint8_t* data, std::size_t size) {
  Script script;
  std::size_t at = 0;
  if (at < size) script.writeFails = (data[at++] & 0x0F) == 0;
  while (at < size) {
    ScriptedRead read;
    const std::uint8_t tag = data[at++];
    switch (tag % 4) {
      case 0:
      case 1:
        read.result = ReadResult::kOk;
        for (auto& b : read.bytes7to10) b = at < size ? data[at++] : 0;
        read.noise = tag;
        break;
      case 2: read.result = ReadResult::kTimeout; break;
      default: read.result = ReadResult::kFailed; break;
    }
    script.reads.push_back(read);
  }
  return script;
}

std::string Text(std::uint8_t first, std::uint8_t second) {
  return std::to_string(first) + "." + std::to_string(second);
}

// The first read among the next `attempts` that delivers, as the channel
// must find it, and how many reads it takes to get there.
struct Expected {
  const ScriptedRead* answer = nullptr;
  int reads = 0;
};
Expected FirstAnswer(const std::deque<ScriptedRead>& reads, int attempts) {
  Expected expected;
  for (int i = 0; i < attempts; ++i) {
    ++expected.reads;
    if (i < static_cast<int>(reads.size()) && reads[i].result == ReadResult::kOk) {
      expected.answer = &reads[i];
      break;
    }
  }
  return expected;
}

void CheckPauses(const korrin::sim::VirtualClock& clock, int count, std::chrono::milliseconds each) {
  const auto pauses = clock.Pauses();
  FUZZ_CHECK(static_cast<int>(pauses.size()) == count);
  FUZZ_CHECK(std::all_of(pauses.begin(), pauses.end(), [&](auto p) { return p == each; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The pure decoders on a whole report made of the input.
  std::vector<std::uint8_t> report(korrin::protocol::kReportSize, 0);
  std::memcpy(report.data(), data, std::min(size, report.size()));
  const korrin::protocol::Versions decoded = korrin::protocol::DecodeVersions(report.data());
  FUZZ_CHECK(decoded.bootloader == Text(report[8], report[7]));
  FUZZ_CHECK(decoded.firmware == Text(report[10], report[9]));
  FUZZ_CHECK(korrin::protocol::DecodeCrcVerdict(report.data()) == (report[7] == 1));

  Script script = Parse(data, size);
  const Script original = script;
  korrin::hid::InstallSystem(std::make_shared<ScriptedBackend>(&script));
  HID_COMM channel;
  channel.m_hDevice = korrin::hid::System().Open("scripted");
  FUZZ_CHECK(channel.m_hDevice != korrin::hid::kInvalidHandle);
  channel.m_strBootloaderVersion = "was";
  channel.m_strFirmwareVersion = "was";

  // The versions.
  auto clock = std::make_shared<korrin::sim::VirtualClock>();
  korrin::platform::InstallClock(clock);
  const bool requested = channel.ReadInfo(korrin::protocol::kCmdReadInfo, korrin::protocol::kReadInfoValue);
  FUZZ_CHECK(requested == !original.writeFails);
  std::deque<ScriptedRead> rest = original.reads;
  if (original.writeFails) {
    FUZZ_CHECK(script.readsMade == 0 && channel.m_strBootloaderVersion == "was");
    CheckPauses(*clock, 0, {});
  } else {
    const Expected expected = FirstAnswer(rest, korrin::protocol::kInfoReadAttempts);
    FUZZ_CHECK(script.readsMade == expected.reads);
    CheckPauses(*clock, expected.reads, korrin::protocol::kInfoPause);
    const ScriptedRead none;
    const ScriptedRead& answer = expected.answer ? *expected.answer : none;
    FUZZ_CHECK(channel.m_strBootloaderVersion == Text(answer.bytes7to10[1], answer.bytes7to10[0]));
    FUZZ_CHECK(channel.m_strFirmwareVersion == Text(answer.bytes7to10[3], answer.bytes7to10[2]));
    rest.erase(rest.begin(), rest.begin() + std::min<std::size_t>(rest.size(), expected.reads));
  }

  // The verdict, from where the versions left the script.
  clock = std::make_shared<korrin::sim::VirtualClock>();
  korrin::platform::InstallClock(clock);
  const int readsBefore = script.readsMade;
  const bool good = channel.QueryCrc();
  if (original.writeFails) {
    FUZZ_CHECK(!good && script.readsMade == readsBefore);
    CheckPauses(*clock, 0, {});
  } else {
    const Expected expected = FirstAnswer(rest, korrin::protocol::kCrcReadAttempts);
    FUZZ_CHECK(script.readsMade - readsBefore == expected.reads);
    CheckPauses(*clock, expected.reads, korrin::protocol::kCrcPause);
    FUZZ_CHECK(good == (expected.answer != nullptr && expected.answer->bytes7to10[0] == 1));
  }
  FUZZ_CHECK(script.writes == 2);

  korrin::platform::InstallClock(nullptr);
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  return 0;
}
