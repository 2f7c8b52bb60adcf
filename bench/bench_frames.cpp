// How fast one full data block becomes a report, next to the plain copy of
// the same bytes, so the cost of the header, the checksum and the zeroed
// tail shows as a ratio on whatever machine runs it.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "protocol/protocol.h"

namespace {

constexpr std::size_t kBlock = 4032;

std::array<std::uint8_t, kBlock> Payload() {
  std::array<std::uint8_t, kBlock> data;
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  return data;
}

void BM_BuildDataFrame4032(benchmark::State& state) {
  const auto data = Payload();
  std::array<std::uint8_t, korrin::protocol::kReportSize> report;
  report.fill(0xCC);
  std::uint32_t address = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(data.data());
    const bool built = korrin::protocol::BuildDataFrame(report, korrin::protocol::kCmdDataBlock, kBlock, address, data.data());
    benchmark::DoNotOptimize(built);
    benchmark::DoNotOptimize(report.data());
    benchmark::ClobberMemory();
    address += 63;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
  state.SetLabel("frames");
}
BENCHMARK(BM_BuildDataFrame4032);

// Argument: destination offset in the report. 9 is where a data frame puts
// the block (unaligned); 0 shows what alignment alone is worth.
void BM_Memcpy4032(benchmark::State& state) {
  const auto data = Payload();
  const auto offset = static_cast<std::size_t>(state.range(0));
  std::array<std::uint8_t, korrin::protocol::kReportSize> report;
  report.fill(0xCC);
  for (auto _ : state) {
    benchmark::DoNotOptimize(data.data());
    std::memcpy(report.data() + offset, data.data(), kBlock);
    benchmark::DoNotOptimize(report.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
  state.SetLabel("copies");
}
BENCHMARK(BM_Memcpy4032)->Arg(9)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
