// How long one open and close of a pseudo-terminal through the port
// component takes: the dispatcher with its four threads, the settings
// re-applied, the hidden window, the users told, and all of it undone.
// Reported as the median of the single cycles.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "serial/port/com_port.h"

namespace {

constexpr uint16_t kPort = 90;

void BM_ComPortOpenClose(benchmark::State& state) {
  sio::platform::InitUserInterfaceThread();
  int master = -1;
  int slave = -1;
  char name[128] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  ::setenv("SIO_PORTS", (std::to_string(kPort) + "=" + name).c_str(), 1);
  sio::TSioComPort port;
  port.SetComNumber(kPort);
  port.SetBaud(38400);
  port.SetAutoOpen(false);
  std::vector<double> cycles;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    port.SetOpen(true);
    port.SetOpen(false);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    cycles.push_back(ms);
    state.SetIterationTime(ms / 1000.0);
  }
  std::sort(cycles.begin(), cycles.end());
  if (!cycles.empty()) {
    const size_t n = cycles.size();
    state.counters["median_ms"] =
        n % 2 == 1 ? cycles[n / 2] : (cycles[n / 2 - 1] + cycles[n / 2]) / 2.0;
    state.counters["max_ms"] = cycles.back();
  }
  ::close(slave);
  ::close(master);
}
BENCHMARK(BM_ComPortOpenClose)->Iterations(50)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
