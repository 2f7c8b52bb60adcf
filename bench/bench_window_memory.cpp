// The peak resident memory of the window program during the largest
// transfer (1041 blocks): the dialog on its Qt widgets, offscreen, on the
// simulated bus. A process of its own, so that memory that earlier
// benchmarks left with the allocator cannot hide the transfer's own; run one
// argument per process (scripts/bench does) for the same reason.
//   arg 0: on the sink, the window program's memory alone;
//   arg 1: on the simulated device, which keeps its own copy of the image;
// and the largest image, or (largest_image:0) a two-block one for reference.
#include "program_harness.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace korrin::bench;

// Made in a child process: making an image of this size here would move the
// allocator's threshold for mapping large blocks, and the program's own
// buffers would then be measured under conditions it never has.
std::string WriteImageInChild(const std::string& name, const sim::ImageSpec& params) {
  const std::string path = ScratchDir() + "/" + name;
  const pid_t child = ::fork();
  if (child == 0) {
    std::string error;
    ::_exit(sim::WriteImageFile(path, params, &error) ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    std::abort();
  return path;
}

// ------------------------------------------------------------- peak memory

// The window program during the largest transfer: the dialog on its Qt
// widgets (offscreen), on the simulated bus. The peak is taken from the
// transfer alone (the kernel's high-water mark is reset before it), next to
// the resident memory of the idle window and the size of the image, which
// the program holds whole while it sends it.
void BM_WindowProgramPeakMemoryLargestTransfer(benchmark::State& state) {
  const bool withDevice = state.range(0) == 1;
  VirtualTime virtualTime;
  sim::ImageSpec params = LargestImage();
  if (state.range(1) == 0) params.payloadBytes = 4032 + 100;  // reference: two blocks, the fixed cost
  const std::string path = WriteImageInChild("image.bin", params);
  auto bus = korrin::hid::sim::SimBus::Create();
  auto sink = std::make_shared<SinkBackend>();
  if (withDevice) {
    korrin::hid::InstallSystem(bus);
  } else {
    korrin::hid::InstallSystem(sink);
  }
  korrin::window::SetView(korrin::window::MakeQtView());
  long idle = 0, peak = 0;
  bool ok = true;
  {
    Program program(path);
    QCoreApplication::processEvents();
    for (auto _ : state) {
      idle = StatusKiB("VmRSS");
      std::ofstream("/proc/self/clear_refs") << "5";
      auto device = QuietDevice();
      if (withDevice) {
        bus->Plug(device);
      } else {
        sink->Plug();
      }
      program.Tick();
      ok &= program.WaitForCompletion();
      // The sink gives no verdict; the device must have taken the image.
      ok &= !withDevice || program.LastLineStartsWith("Current Firmware Version: 1.10");
      peak = StatusKiB("VmHWM");
      if (withDevice) {
        bus->Unplug(device);
      } else {
        sink->Unplug();
      }
      ok &= program.WaitForRemoval();
    }
  }
  korrin::window::SetView(nullptr);
  korrin::hid::InstallSystem(korrin::hid::MakeNullBackend());
  state.counters["peak_rss_kib"] = static_cast<double>(peak);
  state.counters["idle_rss_kib"] = static_cast<double>(idle);
  state.counters["peak_minus_idle_kib"] = static_cast<double>(peak - idle);
  state.counters["image_kib"] = (196.0 + params.payloadBytes) / 1024;
  state.SetLabel(std::string(ok ? "" : "FAILED ") +
                 (withDevice ? "window program and device model" : "window program alone"));
}
BENCHMARK(BM_WindowProgramPeakMemoryLargestTransfer)
    ->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"with_device_model", "largest_image"})
    ->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return korrin::bench::RunBenchmarks(argc, argv); }
