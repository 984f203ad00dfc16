// Resident memory, each figure from a fresh process. (1) Per open port: K
// port components open on pseudo-terminals at once, the growth of the
// process's resident size over the same components closed, divided by K
// (K = 1 and K = 16 side by side).
// (2) The peak during a search whose first probe is flooded with 50 MiB of
// noise by the device (a child process that answers the first byte it
// receives with the flood), next to the peak of the same search over a
// device that never answers, in the same rounds. The peak is the process's
// high-water mark (VmHWM), started afresh before each search.
//
//   memory_rss [--rounds 3] [--mib 50]
//
// A measurement, never a pass/fail test.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
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

// ---- the flooding device, in a process of its own ------------------------

std::atomic<bool> stopFlood{false};

// Holds a pty (and its own slave descriptor, so that the terminal outlives
// the host's opens), prints the slave's path, and answers the first byte it
// receives with `bytes` of noise. On SIGTERM it prints how much of it went
// out, and in how long, and ends.
int FlooderMain(uint64_t bytes) {
  ::signal(SIGTERM, [](int) { stopFlood = true; });
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  std::printf("%s\n", name);
  std::fflush(stdout);
  uint8_t in[4096];
  bool started = false;
  Clock::time_point start;
  Clock::time_point end;
  uint64_t sent = 0;
  uint32_t noise = 0x2545F491u;
  std::vector<uint8_t> chunk(65536);
  size_t chunkAt = chunk.size();
  while (!stopFlood.load()) {
    const ssize_t n = ::read(master, in, sizeof in);
    if (n > 0 && !started && bytes > 0) {
      started = true;
      start = Clock::now();
    }
    if (!started || sent >= bytes) {
      pollfd p{master, POLLIN, 0};
      ::poll(&p, 1, 20);
      continue;
    }
    if (chunkAt == chunk.size()) {
      // Bytes with the high bit set, as a wrong line speed gives: never a
      // text the matchers look for.
      for (uint8_t& b : chunk) {
        noise = noise * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(0x80u | (noise >> 25));
      }
      chunkAt = 0;
    }
    const size_t want =
        static_cast<size_t>(std::min<uint64_t>(chunk.size() - chunkAt, bytes - sent));
    const ssize_t w = ::write(master, chunk.data() + chunkAt, want);
    if (w > 0) {
      chunkAt += static_cast<size_t>(w);
      sent += static_cast<uint64_t>(w);
      if (sent >= bytes) end = Clock::now();
    } else {
      pollfd p{master, POLLOUT, 0};
      ::poll(&p, 1, 20);  // the host is not reading, or has no port open
    }
  }
  if (sent < bytes) end = Clock::now();
  std::printf("%.1f MiB in %.0f ms\n", static_cast<double>(sent) / (1 << 20),
              started ? bench::MsBetween(start, end) : 0.0);
  std::fflush(stdout);
  return 0;
}

class Flooder {
 public:
  explicit Flooder(uint64_t bytes) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
    std::string a0 = self, a1 = "--flooder", a2 = std::to_string(bytes);
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (::posix_spawn(&pid_, self, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    path_ = Line(5000);
  }
  ~Flooder() {
    Stop();
    if (out_ >= 0) ::close(out_);
  }
  // Ends it; what it says it sent.
  std::string Stop() {
    if (pid_ <= 0) return std::string();
    ::kill(pid_, SIGTERM);
    std::string said = Line(5000);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return said;
  }
  const std::string& Path() const { return path_; }
  // A line of its output, waiting at most timeoutMs; empty when none.
  std::string Line(int timeoutMs) {
    std::string line;
    char c = 0;
    for (;;) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) != 1 || ::read(out_, &c, 1) != 1) return std::string();
      if (c == '\n') return line;
      line.push_back(c);
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string path_;
};

// ---- (1) resident size per open port ---------------------------------------

struct PtyMaster {
  int fd = -1;
  std::string slave;
  ~PtyMaster() {
    if (fd >= 0) ::close(fd);
  }
};

// KiB per open port with k ports open at once.
double PerOpenPortKiB(size_t k, double& afterCloseKiB) {
  std::vector<std::unique_ptr<PtyMaster>> ptys;
  std::string table;
  for (size_t i = 0; i < k; ++i) {
    auto p = std::make_unique<PtyMaster>();
    int s = -1;
    char name[256] = {};
    if (::openpty(&p->fd, &s, name, nullptr, nullptr) != 0) return -1;
    ::close(s);
    p->slave = name;
    table += (table.empty() ? "" : ",") + std::to_string(200 + i) + "=" + p->slave;
    ptys.push_back(std::move(p));
  }
  ::setenv("SIO_PORTS", table.c_str(), 1);
  std::vector<std::unique_ptr<sio::TSioComPort>> ports;
  for (size_t i = 0; i < k; ++i) {
    auto port = std::make_unique<sio::TSioComPort>();
    port->SetAutoOpen(false);
    port->SetComNumber(static_cast<uint16_t>(200 + i));
    port->SetBaud(38400);
    ports.push_back(std::move(port));
  }
  sio::WaitTicks(2, true);
  const double closed = bench::StatusKiB("VmRSS");
  for (auto& p : ports)
    p->SetOpen(true);
  sio::WaitTicks(4, true);  // the threads have run and touched what they use
  const double open = bench::StatusKiB("VmRSS");
  for (auto& p : ports)
    p->SetOpen(false);
  sio::WaitTicks(2, true);
  afterCloseKiB = bench::StatusKiB("VmRSS") - closed;
  return (open - closed) / static_cast<double>(k);
}

// ---- (2) the peak of a flooded search -----------------------------------

struct PeakRun {
  bool ok = false;
  double peakOverStartKiB = 0;
  std::string floodMs;  // what the device sent of it, and in how long
};

PeakRun SearchPeak(uint64_t floodBytes) {
  PeakRun r;
  Flooder device(floodBytes);
  if (device.Path().empty()) return r;
  ::setenv("SIO_PORTS", ("210=" + device.Path()).c_str(), 1);
  finder_test::CollectingView view;
  finder::TfrmMain form(view);
  sio::WaitTicks(1, true);
  const double start = bench::StatusKiB("VmRSS");
  if (!bench::ResetPeakRss()) return r;
  r.ok = form.StartClicked() && view.boxes.empty() && view.errors.empty();
  r.peakOverStartKiB = bench::StatusKiB("VmHWM") - start;
  r.floodMs = device.Stop();
  return r;
}

// Runs this program again with `args` and returns its output: each
// measurement in a fresh process, so that nothing an earlier one left (freed
// thread stacks kept for reuse, allocator arenas) hides what it costs.
std::string RunSelf(const std::vector<std::string>& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::string();
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return std::string();
  std::vector<std::string> all = {self};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  if (::posix_spawn(&pid, self, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  char buf[256];
  ssize_t n = 0;
  while (pid > 0 && (n = ::read(out[0], buf, sizeof buf)) > 0)
    text.append(buf, static_cast<size_t>(n));
  ::close(out[0]);
  int status = 0;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--flooder")
    return FlooderMain(std::strtoull(argv[2], nullptr, 10));
  if (argc == 3 && std::string(argv[1]) == "--open-ports") {
    sio::platform::InitUserInterfaceThread();
    double after = 0;
    const double perPort =
        PerOpenPortKiB(static_cast<size_t>(std::strtoul(argv[2], nullptr, 10)), after);
    std::printf("%.1f %.1f\n", perPort, after);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--search-peak") {
    sio::platform::InitUserInterfaceThread();
    const PeakRun r = SearchPeak(std::strtoull(argv[2], nullptr, 10));
    std::printf("%d %.1f %s\n", r.ok ? 1 : 0, r.peakOverStartKiB, r.floodMs.c_str());
    return 0;
  }
  int rounds = 3;
  uint64_t mib = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--mib") mib = std::strtoull(argv[i + 1], nullptr, 10);
  }
  std::printf("load average before: %s\n", bench::LoadAverage().c_str());
  std::vector<double> one, many, oneAfter, manyAfter, quiet, flooded;
  std::vector<std::string> floodTimes;
  int bad = 0;
  auto ports = [](size_t k, std::vector<double>& per, std::vector<double>& after) {
    double a = 0;
    double b = 0;
    if (std::sscanf(RunSelf({"--open-ports", std::to_string(k)}).c_str(), "%lf %lf", &a, &b) == 2) {
      per.push_back(a);
      after.push_back(b);
    }
  };
  auto search = [&](uint64_t bytes, std::vector<double>& peaks) {
    const std::string said = RunSelf({"--search-peak", std::to_string(bytes)});
    int ok = 0;
    double peak = 0;
    int used = 0;
    if (std::sscanf(said.c_str(), "%d %lf %n", &ok, &peak, &used) < 2 || ok != 1) {
      ++bad;
      return;
    }
    peaks.push_back(peak);
    if (bytes > 0) {
      std::string rest = said.substr(static_cast<size_t>(used));
      while (!rest.empty() && rest.back() == '\n')
        rest.pop_back();
      floodTimes.push_back(rest);
    }
  };
  for (int i = 0; i < rounds; ++i) {
    ports(1, one, oneAfter);
    ports(16, many, manyAfter);
    search(0, quiet);
    search(mib << 20, flooded);
  }
  std::printf("\n%d rounds, each measurement in a fresh process (%d failed searches left out)\n\n",
              rounds, bad);
  std::printf(
      "| open ports at once | resident size per open port, KiB | left after the close, "
      "KiB in all |\n|---|---|---|\n");
  std::printf("| 1 | %s | %s |\n", bench::Show(bench::Summarise(one), 0).c_str(),
              bench::Show(bench::Summarise(oneAfter), 0).c_str());
  std::printf("| 16 | %s | %s |\n", bench::Show(bench::Summarise(many), 0).c_str(),
              bench::Show(bench::Summarise(manyAfter), 0).c_str());
  std::printf(
      "\n| search over one device | peak resident size over its start, KiB |\n"
      "|---|---|\n");
  std::printf("| never answers (reference) | %s |\n",
              bench::Show(bench::Summarise(quiet), 0).c_str());
  std::printf("| first probe flooded with %llu MiB of noise | %s |\n",
              static_cast<unsigned long long>(mib),
              bench::Show(bench::Summarise(flooded), 0).c_str());
  std::printf("\nthe flood as the device sent it, per round:");
  for (const std::string& t : floodTimes)
    std::printf(" %s;", t.c_str());
  std::printf("\nload average after: %s\n", bench::LoadAverage().c_str());
  return 0;
}
