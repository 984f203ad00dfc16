// How long the "Select Port" form takes to make its list: FormCreate probes
// ports 1 to 50, each with an exclusive open and close through a temporary
// dispatcher. Measured over a port table of two pseudo-terminals (COM3,
// COM12) and 48 absent ports, and over the host's own ports (the sysfs scan).
#include <benchmark/benchmark.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "serial/port/com_select.h"

namespace {

struct Pty {
  int master = -1;
  int slave = -1;
  std::string name;
  Pty() {
    char path[128] = {};
    if (openpty(&master, &slave, path, nullptr, nullptr) == 0) name = path;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

void BM_FormCreate(benchmark::State& state) {
  Pty a;
  Pty b;
  if (state.range(0) != 0) {
    setenv("SIO_PORTS", ("3=" + a.name + ",12=" + b.name).c_str(), 1);
  } else {
    unsetenv("SIO_PORTS");
  }
  size_t entries = 0;
  for (auto _ : state) {
    sio::TComSelectForm form;
    entries = form.Entries().size();
    benchmark::DoNotOptimize(entries);
  }
  state.counters["entries"] = static_cast<double>(entries);
  unsetenv("SIO_PORTS");
}
BENCHMARK(BM_FormCreate)->ArgName("pty_table")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
