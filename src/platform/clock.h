// The one place where the program waits. The command channel's pauses (the
// CRC wait, the version wait) go through Sleep here, so a test installs a
// clock that records each pause and returns at once.
//
// Error convention: none; these calls cannot fail.
#pragma once

#include <chrono>
#include <memory>

namespace korrin::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
  virtual std::chrono::steady_clock::time_point Now() = 0;
};

// The real clock: std::this_thread::sleep_for and steady_clock.
std::shared_ptr<Clock> MakeSystemClock();

// The process-wide clock (the real one until another is installed).
Clock& CurrentClock();
// Installs `clock` as the process-wide clock; null restores the real one.
// Install before other threads use it.
void InstallClock(std::shared_ptr<Clock> clock);

// Pauses the calling thread on the process-wide clock.
inline void Sleep(std::chrono::milliseconds duration) { CurrentClock().Sleep(duration); }

}  // namespace korrin::platform
