#include "platform/clock.h"

#include <thread>

namespace korrin::platform {
namespace {

class SystemClock final : public Clock {
 public:
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  std::chrono::steady_clock::time_point Now() override { return std::chrono::steady_clock::now(); }
};

std::shared_ptr<Clock>& Slot() {
  static std::shared_ptr<Clock> clock = MakeSystemClock();
  return clock;
}

}  // namespace

std::shared_ptr<Clock> MakeSystemClock() { return std::make_shared<SystemClock>(); }

Clock& CurrentClock() { return *Slot(); }

void InstallClock(std::shared_ptr<Clock> clock) { Slot() = clock ? std::move(clock) : MakeSystemClock(); }

}  // namespace korrin::platform
