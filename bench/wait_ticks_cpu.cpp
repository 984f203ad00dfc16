// How much processor time a one-second wait costs, with and without message
// processing, next to the wall time it lasts. A spinning wait would use about
// one whole core; a blocking one uses next to nothing.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>

#include "serial/support/ticks.h"

namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_WaitTicks18(benchmark::State& state) {
  const bool processMessages = state.range(0) != 0;
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double cpuStart = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(sio::WaitTicks(18, processMessages));
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += ProcessCpuSeconds() - cpuStart;
  }
  state.counters["cpu_ms"] = benchmark::Counter(cpu * 1000.0, benchmark::Counter::kAvgIterations);
  state.counters["wall_ms"] = benchmark::Counter(wall * 1000.0, benchmark::Counter::kAvgIterations);
  state.counters["cpu_percent_of_core"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
}
BENCHMARK(BM_WaitTicks18)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
