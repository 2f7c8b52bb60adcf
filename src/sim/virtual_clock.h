// A clock on which time passes only when someone sleeps: Sleep returns at
// once and moves Now forward by the pause. Tests, the tools and benchmarks
// install it (platform::InstallClock) so that the protocol's waits and the
// simulated bus's report times cost no real time, and count the pauses.
//
// Error convention: none; these calls cannot fail. Thread-safe.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace korrin::sim {

class VirtualClock final : public platform::Clock {
 public:
  void Sleep(std::chrono::milliseconds duration) override {
    std::lock_guard lock(mutex_);
    now_ += duration;
    pauses_.push_back(duration);
  }
  std::chrono::steady_clock::time_point Now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  // Every pause taken so far, in order.
  std::vector<std::chrono::milliseconds> Pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  std::chrono::milliseconds Elapsed() const {
    std::lock_guard lock(mutex_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - std::chrono::steady_clock::time_point{});
  }

 private:
  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point now_{};
  std::vector<std::chrono::milliseconds> pauses_;
};

}  // namespace korrin::sim
