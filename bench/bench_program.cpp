// The program's speed and memory against the limits that matter, each next
// to its reference in the same run:
// - the host's time per data block on the data path, as a share of what the
//   bus needs for one 4096-byte report (high speed about 0.17 ms, full speed
//   64 ms);
// - the largest image (1041 blocks, 4,197,311 bytes of payload) programmed
//   end to end through the real handlers on the simulated bus: wall and CPU
//   time, with the device model's own share measured apart;
// - one polling tick with no matching device among ten other interfaces, and
//   the share of one core that ticking at 10 Hz costs;
// - the time from a device being there to its first data frame.
// The window program's peak memory is bench_window_memory.cpp, in a process
// of its own so that nothing measured before it is counted.
// The goals are printed with the figures; nothing here enforces them.
#include <cstring>
#include <optional>
#include <thread>

#include "program_harness.h"

namespace {

using namespace korrin::bench;
constexpr double kHighSpeedReportUs = 170;       // 4096 bytes at USB high speed
constexpr double kFullSpeedReportUs = 64 * 1000;  // 64 bytes per millisecond

// ------------------------------------------------------------ the data path

// WriteBlock of one 4032-byte block, as the worker calls it, from the image
// buffer to the backend. Arg 0: a sink that takes the report (the host
// alone); arg 1: the simulated device, which checks and stores every frame.
void BM_DataPathPerBlock(benchmark::State& state) {
  const bool withDevice = state.range(0) == 1;
  const std::string path = WriteImage("largest.bin", LargestImage());
  auto image = korrin::image::LoadedImage::Load(path);
  std::shared_ptr<sim::Device> device;
  if (withDevice) {
    auto bus = korrin::hid::sim::SimBus::Create();
    device = QuietDevice();
    bus->Plug(device);
    korrin::hid::InstallSystem(bus);
  } else {
    auto sink = std::make_shared<SinkBackend>();
    sink->Plug();
    korrin::hid::InstallSystem(sink);
  }
  const std::string devicePath = withDevice ? device->path() : SinkBackend::kPath;
  g_Comm.m_hDevice = korrin::hid::System().Open(devicePath);
  std::uint32_t i = 0;
  const std::uint32_t count = image->BlockCount() - 1;  // full blocks only
  // The thread's CPU time, not the wall clock: on a busy machine the wall
  // clock also counts the time other processes had the core.
  timespec cpuStart{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuStart);
  const auto start = Steady::now();
  for (auto _ : state) {
    const korrin::image::Block block = image->BlockAt(i);
    const bool written = g_Comm.WriteBlock(korrin::protocol::kCmdDataBlock, block.length, block.address, image->BlockData(i));
    benchmark::DoNotOptimize(written);
    if (++i == count) i = 0;
  }
  timespec cpuEnd{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpuEnd);
  const double wallUs = std::chrono::duration<double, std::micro>(Steady::now() - start).count() / state.iterations();
  const double us = ((cpuEnd.tv_sec - cpuStart.tv_sec) * 1e6 + (cpuEnd.tv_nsec - cpuStart.tv_nsec) / 1e3) /
                    static_cast<double>(state.iterations());
  (void)korrin::hid::System().CloseHandle(g_Comm.m_hDevice);
  g_Comm.m_hDevice = 0;
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  state.counters["host_cpu_us_per_block"] = us;
  state.counters["wall_us_per_block"] = wallUs;
  state.counters["bus_high_speed_us"] = kHighSpeedReportUs;
  state.counters["share_of_high_speed_pct"] = 100 * us / kHighSpeedReportUs;
  state.counters["share_of_full_speed_pct"] = 100 * us / kFullSpeedReportUs;
  state.SetLabel(withDevice ? "host + device model (goal: host alone < 2% of high speed)"
                            : "host alone (goal < 2% of high speed)");
}
BENCHMARK(BM_DataPathPerBlock)->Arg(0)->Arg(1)->ArgName("with_device_model");

// Reference for the copy the data path cannot avoid: one 4032-byte block
// into a report.
void BM_ReferenceCopyOneBlock(benchmark::State& state) {
  std::vector<std::uint8_t> block(4032, 0x5A), report(4096, 0);
  for (auto _ : state) {
    std::memcpy(report.data() + 9, block.data(), block.size());
    benchmark::DoNotOptimize(report.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ReferenceCopyOneBlock);

// ---------------------------------------------------------- the largest image

// The whole job: plug, attach (versions, announcement), 1041 blocks from the
// worker, completion (end, verdict, versions), pull. Arg 0: on the sink (the
// host's work alone; there is no verdict); arg 1: on the simulated device.
void BM_LargestImageEndToEnd(benchmark::State& state) {
  const bool withDevice = state.range(0) == 1;
  VirtualTime virtualTime;
  const std::string path = WriteImage("largest.bin", LargestImage());
  auto bus = korrin::hid::sim::SimBus::Create();
  auto sink = std::make_shared<SinkBackend>();
  if (withDevice) {
    korrin::hid::InstallSystem(bus);
  } else {
    korrin::hid::InstallSystem(sink);
  }
  double cpu = 0, wall = 0;
  bool allOk = true;
  {
    Program program(path);
    for (auto _ : state) {
      std::shared_ptr<sim::Device> device;
      const double cpuStart = ProcessCpuSeconds();
      const auto wallStart = Steady::now();
      if (withDevice) {
        device = QuietDevice();
        bus->Plug(device);
      } else {
        sink->Plug();
      }
      program.Tick();
      allOk &= program.WaitForCompletion();
      allOk &= !withDevice || program.LastLineStartsWith("Current Firmware Version: 1.10");
      if (withDevice) {
        bus->Unplug(device);
      } else {
        sink->Unplug();
      }
      allOk &= program.WaitForRemoval();
      cpu += ProcessCpuSeconds() - cpuStart;
      wall += std::chrono::duration<double>(Steady::now() - wallStart).count();
    }
  }
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  state.counters["cpu_ms"] = 1000 * cpu / state.iterations();
  state.counters["wall_ms"] = 1000 * wall / state.iterations();
  state.counters["blocks"] = 1041;
  state.SetLabel(std::string(allOk ? "" : "FAILED ") +
                 (withDevice ? "simulated device, CRC check OK" : "host alone (goal < 50 ms CPU)"));
}
BENCHMARK(BM_LargestImageEndToEnd)->Arg(0)->Arg(1)->ArgName("with_device_model")->Unit(benchmark::kMillisecond)
    ->UseRealTime()->Iterations(10);

// Reference: the device model alone taking the same update (image info, 1041
// data frames, end, verdict), the share of the end-to-end figure that is not
// the program's.
void BM_ReferenceDeviceModelAlone(benchmark::State& state) {
  const std::vector<std::uint8_t> file = sim::MakeImage(LargestImage());
  std::vector<std::array<std::uint8_t, 4096>> frames;
  std::array<std::uint8_t, 4096> report{};
  korrin::protocol::BuildImageInfoFrame(report, file.data() + 44);
  frames.push_back(report);
  const std::uint32_t payload = static_cast<std::uint32_t>(file.size() - 196);
  for (std::uint32_t i = 0; i < korrin::image::BlockCount(payload); ++i) {
    const korrin::image::Block block = korrin::image::BlockAt(payload, i);
    (void)korrin::protocol::BuildDataFrame(report, 0x81, block.length, block.address, file.data() + 196 + block.offset);
    frames.push_back(report);
  }
  korrin::protocol::BuildFinishFrame(report);
  frames.push_back(report);
  korrin::protocol::BuildCrcRequestFrame(report);
  frames.push_back(report);
  bool ok = true;
  for (auto _ : state) {
    sim::Bootloader device;
    device.SetCaptureEnabled(false);
    std::optional<sim::Answer> last;
    for (const auto& frame : frames) last = device.HandleOutputReport(frame);
    ok &= last && (*last)[7] == 1;
  }
  state.SetLabel(ok ? "verdict good" : "FAILED");
}
BENCHMARK(BM_ReferenceDeviceModelAlone)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------- polling

// One polling tick through the window's message routing, no device of ours
// among `range(0)` other interfaces.
void BM_PollingTick(benchmark::State& state) {
  VirtualTime virtualTime;
  auto bus = korrin::hid::sim::SimBus::Create();
  std::vector<std::shared_ptr<sim::Device>> others;
  for (int i = 0; i < state.range(0); ++i) {
    sim::DeviceConfig config;
    config.vendorId = static_cast<std::uint16_t>(0x046D + i);
    config.productId = static_cast<std::uint16_t>(0xC000 + i);
    others.push_back(std::make_shared<sim::Device>(config));
    bus->Plug(others.back());
  }
  korrin::hid::InstallSystem(bus);
  double cpu = 0;
  {
    Program program(ScratchDir() + "/none.bin");
    const double cpuStart = ProcessCpuSeconds();
    for (auto _ : state) program.Tick();
    cpu = (ProcessCpuSeconds() - cpuStart) / state.iterations();
    if (g_bAttached) state.SkipWithError("a device was attached");
  }
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  state.counters["cpu_us_per_tick"] = cpu * 1e6;
  // Ten ticks a second: the share of one core is ten ticks' time per second.
  state.counters["share_of_one_core_at_10Hz_pct"] = 100 * cpu * 10;
  state.SetLabel(state.range(0) == 0 ? "reference: no interface at all" : "goal < 0.1% of one core");
}
BENCHMARK(BM_PollingTick)->Arg(10)->Arg(0)->ArgName("other_interfaces");

// ------------------------------------------------- from plug-in to first frame

// From the tick that finds a present device to its first data frame on the
// bus: the attach sequence (version request and answer, announcement) and the
// worker's start. The polling period comes on top: a device waits up to
// 100 ms (50 ms on average) for the tick. Arg 0: the virtual clock (the
// program's own work); arg 1: the real clock, with the pause that the
// version read makes after its answer.
void BM_AppearanceToFirstFrame(benchmark::State& state) {
  const bool realClock = state.range(0) == 1;
  std::optional<VirtualTime> virtualTime;
  if (!realClock) virtualTime.emplace();
  sim::ImageSpec params = LargestImage();
  params.payloadBytes = 10 * 4032;
  const std::string path = WriteImage("small.bin", params);
  auto bus = korrin::hid::sim::SimBus::Create();
  auto watching = std::make_shared<FirstFrameBackend>(bus);
  korrin::hid::InstallSystem(watching);
  bool ok = true;
  double attachSeconds = 0;
  {
    Program program(path);
    for (auto _ : state) {
      auto device = QuietDevice();
      bus->Plug(device);
      watching->Arm();
      const auto start = Steady::now();
      program.Tick();
      attachSeconds += std::chrono::duration<double>(Steady::now() - start).count();
      ok &= program.PumpUntil([&] { return watching->FirstFrame().has_value(); });
      const auto first = watching->FirstFrame().value_or(start);
      state.SetIterationTime(std::chrono::duration<double>(first - start).count());
      ok &= program.WaitForCompletion();
      bus->Unplug(device);
      ok &= program.WaitForRemoval();
    }
  }
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  state.counters["poll_period_ms"] = 100;
  // The attach sequence alone, on the user-interface thread; the rest is the
  // worker's start and its loading of the image.
  state.counters["attach_sequence_us"] = 1e6 * attachSeconds / static_cast<double>(state.iterations());
  state.SetLabel(std::string(ok ? "" : "FAILED ") + (realClock ? "real clock" : "virtual clock"));
}
BENCHMARK(BM_AppearanceToFirstFrame)->Arg(0)->Arg(1)->ArgName("real_clock")->UseManualTime()
    ->Unit(benchmark::kMicrosecond)->Iterations(20);

// Reference for the figure above: how long a new thread takes to run its
// first instruction on this machine, after the same kind of idle moment
// (here 20 ms) that a device's arrival follows. A virtual machine's idle
// processor can take milliseconds to wake.
void BM_ReferenceThreadStart(benchmark::State& state) {
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic<Steady::rep> started{0};
    const auto start = Steady::now();
    std::thread thread([&] { started.store(Steady::now().time_since_epoch().count()); });
    thread.join();
    state.SetIterationTime(std::chrono::duration<double>(Steady::time_point(Steady::duration(started.load())) - start).count());
  }
}
BENCHMARK(BM_ReferenceThreadStart)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) { return korrin::bench::RunBenchmarks(argc, argv); }
