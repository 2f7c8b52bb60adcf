// A scripted stand-in for one HID interface and a clock that returns at
// once. Both append to one trace, so a test sees cancels, writes, reads and
// pauses in the order they happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/hid/hid.h"

namespace korrin::testing {

struct Call {
  enum class Kind { kCancel, kWrite, kRead, kPause, kClose };
  Kind kind;
  std::vector<std::uint8_t> bytes;  // kWrite: the whole report as written
  std::chrono::milliseconds ms{0};  // kRead: the bound; kPause: the pause
};

inline Call Cancel() { return {Call::Kind::kCancel, {}, {}}; }
inline Call Write(std::vector<std::uint8_t> report) { return {Call::Kind::kWrite, std::move(report), {}}; }
inline Call Read(std::chrono::milliseconds bound) { return {Call::Kind::kRead, {}, bound}; }
inline Call Pause(std::chrono::milliseconds ms) { return {Call::Kind::kPause, {}, ms}; }

inline std::string Describe(const Call& c) {
  switch (c.kind) {
    case Call::Kind::kCancel: return "cancel";
    case Call::Kind::kClose: return "close";
    case Call::Kind::kRead: return "read " + std::to_string(c.ms.count()) + "ms";
    case Call::Kind::kPause: return "pause " + std::to_string(c.ms.count()) + "ms";
    case Call::Kind::kWrite: {
      std::string s = "write[";
      char cell[4];
      for (std::size_t i = 0; i < c.bytes.size() && i < 12; ++i) {
        std::snprintf(cell, sizeof cell, "%s%02X", i ? " " : "", c.bytes[i]);
        s += cell;
      }
      return s + (c.bytes.size() > 12 ? " ...]" : "]");
    }
  }
  return "?";
}

struct Trace {
  std::mutex mutex;
  std::vector<Call> calls;
  void Add(Call c) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(c));
  }
  std::vector<Call> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(calls, {});
  }
};

struct ScriptedRead {
  hid::ReadResult result;
  std::vector<std::uint8_t> answer;  // the whole report, when result is kOk
};

class FakeInterface final : public hid::OpenInterface {
 public:
  explicit FakeInterface(std::shared_ptr<Trace> trace) : trace_(std::move(trace)) {}

  bool writeOk = true;
  bool record = true;  // off when a test must not allocate in the fake
  std::deque<ScriptedRead> reads;  // when it runs dry, every read fails

  bool Write(hid::ConstReport report) override {
    if (record) trace_->Add(korrin::testing::Write({report.begin(), report.end()}));
    return writeOk;
  }
  hid::ReadResult Read(hid::Report into, std::chrono::milliseconds bound) override {
    if (record) trace_->Add(korrin::testing::Read(bound));
    if (reads.empty()) return Scribble(into, hid::ReadResult::kFailed);
    ScriptedRead next = std::move(reads.front());
    reads.pop_front();
    if (next.result != hid::ReadResult::kOk) return Scribble(into, next.result);
    std::memcpy(into.data(), next.answer.data(), into.size());
    return hid::ReadResult::kOk;
  }
  void Cancel() override {
    if (record) trace_->Add(korrin::testing::Cancel());
  }
  void Close() override { trace_->Add({Call::Kind::kClose, {}, {}}); }

 private:
  // A failed read promises nothing about the buffer; make that visible.
  static hid::ReadResult Scribble(hid::Report into, hid::ReadResult result) {
    std::memset(into.data(), 0xEE, into.size());
    return result;
  }
  std::shared_ptr<Trace> trace_;
};

class FakeBackend final : public hid::Backend {
 public:
  explicit FakeBackend(std::shared_ptr<FakeInterface> iface) : iface_(std::move(iface)) {}
  std::vector<hid::InterfaceRecord> Enumerate() override {
    return {hid::InterfaceRecord{std::string(kPath), hid::Attributes{0x16D0, 0x0001, 0x0100}}};
  }
  std::shared_ptr<hid::OpenInterface> Open(const std::string& path, std::string* error) override {
    if (path == kPath) return iface_;
    if (error) *error = "fake backend has no interface " + path;
    return nullptr;
  }
  void SetRemovalCallback(hid::RemovalCallback) override {}

  static constexpr const char* kPath = "fake:0";

 private:
  std::shared_ptr<FakeInterface> iface_;
};

class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(std::shared_ptr<Trace> trace) : trace_(std::move(trace)) {}
  void Sleep(std::chrono::milliseconds duration) override {
    trace_->Add(Pause(duration));
    std::lock_guard lock(mutex_);
    now_ += duration;
  }
  std::chrono::steady_clock::time_point Now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }

 private:
  std::shared_ptr<Trace> trace_;
  std::mutex mutex_;
  std::chrono::steady_clock::time_point now_{};
};

}  // namespace korrin::testing
