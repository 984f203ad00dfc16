// elm327-sim: a simulated OBD-II interface on a pseudo-terminal, for tests,
// benchmarks and demonstrations. Prints the terminal's path, then serves it
// until SIGINT/SIGTERM/SIGHUP or until it "unplugs" (--hangup-after).
#include <csignal>
#include <cstdio>
#include <string>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "tools/elm327-sim/elm327_sim.h"

int main(int argc, char** argv) {
  elmsim::Options options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::fputs(elmsim::Usage().c_str(), stdout);
      return 0;
    }
  }
  if (!elmsim::ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "elm327-sim: %s\n%s", error.c_str(), elmsim::Usage().c_str());
    return 2;
  }
  // The device thread inherits this mask, so the signals reach sigtimedwait
  // below and nowhere else.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  elmsim::Simulator simulator(options);
  if (!simulator.Start(error)) {
    std::fprintf(stderr, "elm327-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s\n", simulator.SlavePath().c_str());
  std::fflush(stdout);

  const timespec poll{0, 100 * 1000 * 1000};
  while (!simulator.HungUp()) {
    if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) break;
  }
  simulator.Stop();
  return 0;
}
