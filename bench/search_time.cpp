// A whole search, as the Start button runs it, over N simulated devices
// (each an elm327-sim process on a pseudo-terminal, so its processor time is
// not ours): wall time against the floor the controller's waits set, the
// work each probe does outside its waits, and the processor time of the
// finder's process per second of search. In every round the waits alone
// (the same WaitTicks calls, no port) are measured beside the searches, as
// the reference.
//
//   search_time [--sizes 1,4,16] [--rounds 3] [--reference-probes 4]
//
// The floor. A probe makes three waits: WaitTicks(5), WaitTicks(5) and
// WaitTicks(10). A wait of n ticks ends when the tick count (milliseconds
// / 55) has passed its start tick + n, so it lasts (n+1)*55 ms minus how far
// into its first tick it began. Each wait ends on a tick boundary, so the
// next one starts just after one and lasts the full (n+1) ticks: a probe
// whose work outside the waits stays under one tick takes 6 + 6 + 11 = 23
// ticks (1265 ms), and a search of P probes P * 1265 ms. Work outside the
// waits costs wall time only in whole ticks, so it is measured directly as
// well: from the log line's start to the first command's "." (port number,
// open, "\r" sent) plus from the result to the probe's end (the identifier
// command where it is due, the close).
//
// A measurement, never a pass/fail test.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/bench_support.h"
#include "finder/main_form.h"
#include "finder/view.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/support/ticks.h"
#include "tests/common/collecting_view.h"

namespace {

using bench::Clock;
using bench::MsBetween;

constexpr double kTickMs = 55.0;
constexpr int kTicksPerProbe = 6 + 6 + 11;  // each wait of n lasts n + 1 ticks back to back
constexpr int kNominalTicksPerProbe = 5 + 5 + 10;

struct Stamp {
  Clock::time_point at;
  std::string text;
};

struct ProbeTimes {
  double before = 0;  // "Looking on" to the first "."
  double wait[3] = {0, 0, 0};
  double after = 0;         // the result to the probe's end
  bool identifier = false;  // the last wait's piece holds the identifier command too
};

struct SearchRun {
  bool ok = false;
  int probes = 0;
  int found = 0;
  double wallMs = 0;
  double cpuMs = 0;
  double listMs = 0;  // Start to the first probe: the port list read and shown
  std::vector<ProbeTimes> times;
};

// The probes of a search from the log's stamps and each probe's end.
std::vector<ProbeTimes> ProbesOf(const std::vector<Stamp>& stamps,
                                 const std::vector<Clock::time_point>& ends,
                                 const std::vector<bool>& identifier) {
  std::vector<ProbeTimes> out;
  size_t probe = 0;
  for (size_t i = 0; i < stamps.size(); ++i) {
    if (stamps[i].text.rfind("  Looking on COM", 0) != 0) continue;
    // The three dots, then the first piece of the result.
    if (i + 4 >= stamps.size() || probe >= ends.size()) break;
    ProbeTimes t;
    t.before = MsBetween(stamps[i].at, stamps[i + 1].at);
    for (int w = 0; w < 3; ++w)
      t.wait[w] = MsBetween(stamps[i + 1 + static_cast<size_t>(w)].at,
                            stamps[i + 2 + static_cast<size_t>(w)].at);
    t.after = MsBetween(stamps[i + 4].at, ends[probe]);
    t.identifier = identifier[probe];
    out.push_back(t);
    ++probe;
  }
  return out;
}

SearchRun RunSearch(size_t devices) {
  SearchRun run;
  std::vector<std::unique_ptr<bench::SimProcess>> sims;
  std::string table;
  for (size_t i = 0; i < devices; ++i) {
    sims.push_back(std::make_unique<bench::SimProcess>(bench::MixedDevice(i)));
    if (!sims.back()->Ok()) {
      std::fprintf(stderr, "cannot start %s\n", bench::SimulatorProgram().c_str());
      return run;
    }
    table += (table.empty() ? "" : ",") + std::to_string(101 + i) + "=" + sims.back()->Path();
  }
  ::setenv("SIO_PORTS", table.c_str(), 1);
  // The window notes when each piece of the log was written.
  finder_test::CollectingView view;
  std::vector<Stamp> stamps;
  view.onAppend = [&stamps](std::string_view text) {
    stamps.push_back({Clock::now(), std::string(text)});
  };
  std::vector<Clock::time_point> ends;
  std::vector<bool> identifier;
  Clock::time_point started;
  {
    finder::TfrmMain form(view);
    form.Controller().OnProbe = [&](const finder::TProbeRecord& p) {
      ends.push_back(Clock::now());
      identifier.push_back(p.IdentifierSent);
      run.found += p.Found ? 1 : 0;
    };
    // Started just after a tick boundary, as every probe but the first
    // starts, so that the first wait's phase does not blur the figure.
    sio::WaitTicks(1, true);
    const double cpu0 = bench::ProcessCpuMs();
    const auto t0 = Clock::now();
    started = t0;
    run.ok = form.StartClicked();
    const auto t1 = Clock::now();
    run.cpuMs = bench::ProcessCpuMs() - cpu0;
    run.wallMs = MsBetween(t0, t1);
    form.Controller().OnProbe = nullptr;
  }
  run.times = ProbesOf(stamps, ends, identifier);
  for (const Stamp& st : stamps) {
    if (st.text.rfind("  Looking on COM", 0) == 0) {
      run.listMs = MsBetween(started, st.at);
      break;
    }
  }
  run.probes = static_cast<int>(ends.size());
  for (const std::string& b : view.boxes)
    std::fprintf(stderr, "[message box] %s\n", b.c_str());
  for (const std::string& e : view.errors)
    std::fprintf(stderr, "[error] %s\n", e.c_str());
  run.ok = run.ok && view.boxes.empty() && run.probes == static_cast<int>(3 * devices);
  return run;
}

// The waits of `probes` probes alone: milliseconds per probe.
double WaitsAlone(int probes) {
  sio::WaitTicks(1, true);
  const auto t0 = Clock::now();
  for (int i = 0; i < probes; ++i) {
    sio::WaitTicks(5, true);
    sio::WaitTicks(5, true);
    sio::WaitTicks(10, true);
  }
  return MsBetween(t0, Clock::now()) / probes;
}

std::vector<size_t> ParseSizes(const char* text) {
  std::vector<size_t> sizes;
  for (const char* p = text; *p != 0;) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(p, &end, 10);
    if (end == p) break;
    if (v > 0) sizes.push_back(v);
    p = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes = {1, 4, 16};
  int rounds = 3;
  int referenceProbes = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--sizes") {
      sizes = ParseSizes(argv[i + 1]);
    } else if (a == "--rounds") {
      rounds = std::max(1, std::atoi(argv[i + 1]));
    } else if (a == "--reference-probes") {
      referenceProbes = std::max(1, std::atoi(argv[i + 1]));
    }
  }
  sio::platform::InitUserInterfaceThread();
  sio::SetThreadExceptionReporter(
      [](std::exception_ptr) { std::fprintf(stderr, "a port's thread failed\n"); });
  std::printf("load average before: %s\n", bench::LoadAverage().c_str());

  struct PerSize {
    std::vector<double> wall, overheadFloor, overheadRef, outside, before, after, cpuPercent;
    std::vector<double> wait[3];
    std::vector<double> identifier, list;
    int bad = 0;
  };
  std::vector<PerSize> per(sizes.size());
  std::vector<double> reference;
  for (int r = 0; r < rounds; ++r) {
    const double ref = WaitsAlone(referenceProbes);
    reference.push_back(ref);
    for (size_t s = 0; s < sizes.size(); ++s) {
      const SearchRun run = RunSearch(sizes[s]);
      PerSize& p = per[s];
      if (!run.ok || run.times.empty()) {
        ++p.bad;
        continue;
      }
      const double probes = run.probes;
      p.wall.push_back(run.wallMs);
      p.overheadFloor.push_back((run.wallMs - probes * kTicksPerProbe * kTickMs) / probes);
      p.overheadRef.push_back((run.wallMs - probes * ref) / probes);
      p.cpuPercent.push_back(100.0 * run.cpuMs / run.wallMs);
      p.list.push_back(run.listMs);
      // Where the identifier command went out, the last wait's piece holds
      // it too: its share is that piece less this run's plain last wait.
      std::vector<double> plainLast;
      for (const ProbeTimes& t : run.times)
        if (!t.identifier) plainLast.push_back(t.wait[2]);
      const double lastWait = bench::Summarise(plainLast).median;
      for (const ProbeTimes& t : run.times) {
        double outside = t.before + t.after;
        p.before.push_back(t.before);
        p.after.push_back(t.after);
        p.wait[0].push_back(t.wait[0]);
        p.wait[1].push_back(t.wait[1]);
        if (t.identifier) {
          p.identifier.push_back(t.wait[2] - lastWait);
          outside += t.wait[2] - lastWait;
        } else {
          p.wait[2].push_back(t.wait[2]);
        }
        p.outside.push_back(outside);
      }
    }
  }

  const bench::Stats ref = bench::Summarise(reference);
  std::printf(
      "\nrounds %d; reference, the waits alone: %s ms per probe (the tick rule: %d ticks = "
      "%.0f ms; nominal %d ticks = %.0f ms)\n\n",
      rounds, bench::Show(ref).c_str(), kTicksPerProbe, kTicksPerProbe * kTickMs,
      kNominalTicksPerProbe, kNominalTicksPerProbe * kTickMs);
  std::printf(
      "| devices | probes | search wall ms | floor ms | over floor ms/probe | "
      "over reference ms/probe | outside the waits ms/probe | CPU %% of a core |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (size_t s = 0; s < sizes.size(); ++s) {
    const PerSize& p = per[s];
    const int probes = static_cast<int>(3 * sizes[s]);
    std::printf("| %zu | %d | %s | %.0f | %s | %s | %s | %s |%s\n", sizes[s], probes,
                bench::Show(bench::Summarise(p.wall), 0).c_str(), probes * kTicksPerProbe * kTickMs,
                bench::Show(bench::Summarise(p.overheadFloor)).c_str(),
                bench::Show(bench::Summarise(p.overheadRef)).c_str(),
                bench::Show(bench::Summarise(p.outside), 2).c_str(),
                bench::Show(bench::Summarise(p.cpuPercent), 2).c_str(),
                p.bad > 0 ? " (searches that went wrong left out)" : "");
  }
  std::printf("\nOne probe, all sizes and rounds together (ms):\n\n");
  std::printf("| piece | measured | the tick rule |\n|---|---|---|\n");
  std::vector<double> before, after, wait[3], identifier, list;
  for (const PerSize& p : per) {
    list.insert(list.end(), p.list.begin(), p.list.end());
    identifier.insert(identifier.end(), p.identifier.begin(), p.identifier.end());
    before.insert(before.end(), p.before.begin(), p.before.end());
    after.insert(after.end(), p.after.begin(), p.after.end());
    for (int w = 0; w < 3; ++w)
      wait[w].insert(wait[w].end(), p.wait[w].begin(), p.wait[w].end());
  }
  std::printf("| once a search: Start to the first probe (the port list) | %s | - |\n",
              bench::Show(bench::Summarise(list), 2).c_str());
  std::printf("| number, open, \"\\r\" sent | %s | - |\n",
              bench::Show(bench::Summarise(before), 2).c_str());
  const int ticks[3] = {5, 5, 10};
  for (int w = 0; w < 3; ++w) {
    std::printf("| WaitTicks(%d) | %s | %.0f-%.0f |\n", ticks[w],
                bench::Show(bench::Summarise(wait[w]), 1).c_str(), ticks[w] * kTickMs,
                (ticks[w] + 1) * kTickMs);
  }
  std::printf("| identifier command sent and drained (%zu probes) | %s | - |\n", identifier.size(),
              bench::Show(bench::Summarise(identifier), 2).c_str());
  std::printf("| result, close | %s | - |\n", bench::Show(bench::Summarise(after), 2).c_str());
  std::printf("\nload average after: %s\n", bench::LoadAverage().c_str());
  return 0;
}
