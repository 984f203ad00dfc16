// Resident memory of an open port while 50 MiB arrive and nobody reads them:
// the dispatch buffer and the input queue fill, the rest is dropped as a
// receive overrun. Run: build/default/bench/inqueue_flood_rss
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "serial/dispatch/device_dispatcher.h"
#include "tests/common/exposed_dispatcher.h"

namespace {

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
double StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::stod(line.substr(n + 1));
  }
  return 0;
}

void BM_FloodNobodyReads(benchmark::State& state) {
  const size_t total = static_cast<size_t>(state.range(0)) << 20;
  sio::platform::InitUserInterfaceThread();
  for (auto _ : state) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      state.SkipWithError("no pseudo-terminal");
      return;
    }
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    sio::TSioWin32Dispatcher d(nullptr);
    if (d.InitPort(name, 115200, 0, 8, 1, 4096, 4096, sio::ipDTROn | sio::ipRTSOn) != 0) {
      state.SkipWithError("open failed");
      return;
    }
    ::close(slave);
    const double before = StatusKiB("VmRSS");
    double peak = before;
    std::atomic<bool> done{false};
    std::thread writer([&] {
      std::vector<char> chunk(65536, 'f');
      size_t sent = 0;
      while (sent < total) {
        const ssize_t n = ::write(master, chunk.data(), std::min(chunk.size(), total - sent));
        if (n > 0) {
          sent += static_cast<size_t>(n);
        } else {
          pollfd p{master, POLLOUT, 0};
          ::poll(&p, 1, 10);
        }
      }
      done = true;
    });
    while (!done.load()) {
      peak = std::max(peak, StatusKiB("VmRSS"));
      ::usleep(20000);
    }
    writer.join();
    // Let the read thread take the last bytes.
    while (d.InputDropped.load() +
               static_cast<uint64_t>(sio::TSioDispatcherProbe::InQueue(d).QueuedBytes()) +
               d.InBuffUsed() <
           total) {
      ::usleep(10000);
    }
    peak = std::max(peak, StatusKiB("VmRSS"));
    state.counters["rss_before_KiB"] = before;
    state.counters["rss_peak_KiB"] = peak;
    state.counters["rss_after_KiB"] = StatusKiB("VmRSS");
    state.counters["queued_bytes"] = sio::TSioDispatcherProbe::InQueue(d).QueuedBytes();
    state.counters["dropped_bytes"] = static_cast<double>(d.InputDropped.load());
    d.DonePort();
    ::close(master);
  }
}
BENCHMARK(BM_FloodNobodyReads)->Arg(50)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
