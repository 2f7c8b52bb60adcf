// What polling costs with the real Linux backend: the program enumerates
// every 100 ms for as long as no device is attached, so one enumeration's
// cost, and the share of one core that a 100 ms period of them takes, are
// the figures that matter. Run on the machine in question, with whatever HID
// devices it has (none is the case the program idles in).
//
//   korrin_bench_hid_linux                          both figures
//   korrin_bench_hid_linux --benchmark_filter=Poll  the 10 s polling run only
#include <time.h>

#include <chrono>
#include <thread>

#include <benchmark/benchmark.h>

#include "platform/hid/linux_backend.h"

namespace {

using korrin::hid::MakeLinuxBackend;

// The scheduler's own account of the process's run time, in nanoseconds,
// all threads together; getrusage would sample it at the tick instead.
double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

void BM_Enumerate(benchmark::State& state) {
  auto backend = MakeLinuxBackend();
  std::size_t interfaces = 0;
  for (auto _ : state) {
    auto records = backend->Enumerate();
    interfaces = records.size();
    benchmark::DoNotOptimize(records);
  }
  state.counters["interfaces"] = static_cast<double>(interfaces);
}
BENCHMARK(BM_Enumerate);

// The program's idle state: an enumeration every 100 ms for 10 s, with the
// removal monitor listening as it does in the program. Reports the CPU time
// of the whole process over the wall time, as a share of one core. The
// reference is the same loop waking up without enumerating: what is left
// over is the enumeration's own share.
void PollFor10s(benchmark::State& state, bool enumerate) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kPeriod = std::chrono::milliseconds(100);
  constexpr int kTicks = 100;
  auto backend = MakeLinuxBackend();
  backend->SetRemovalCallback([](const std::string&) {});
  double share = 0;
  for (auto _ : state) {
    const double cpuStart = ProcessCpuSeconds();
    const auto wallStart = Clock::now();
    auto next = wallStart;
    for (int tick = 0; tick < kTicks; ++tick) {
      if (enumerate) benchmark::DoNotOptimize(backend->Enumerate());
      next += kPeriod;
      std::this_thread::sleep_until(next);
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    share = (ProcessCpuSeconds() - cpuStart) / wall;
  }
  backend->SetRemovalCallback(nullptr);
  state.counters["cpu_share_of_one_core_percent"] = share * 100;
}
void BM_PollEvery100msFor10s(benchmark::State& state) { PollFor10s(state, true); }
void BM_ReferenceWakeEvery100msFor10s(benchmark::State& state) { PollFor10s(state, false); }
BENCHMARK(BM_PollEvery100msFor10s)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceWakeEvery100msFor10s)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
