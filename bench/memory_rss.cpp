// Resident memory. (1) Per open port: K port components open on
// pseudo-terminals at once, the growth of the process's resident size over
// the same components closed, divided by K (K = 1 and K = 16 side by side).
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

namespace {

using bench::Clock;

class QuietView : public finder::TFinderView {
 public:
  void LogCleared() override {}
  void LogAppended(std::string_view, uint32_t) override {}
  void SetStartEnabled(bool) override {}
  void SetCaption(const std::string&) override {}
  void ShowMessage(const std::string& text) override { boxes.push_back(text); }
  void ShowError(const std::string& text) override { boxes.push_back(text); }
  std::vector<std::string> boxes;
};

// ---- the flooding device, in a process of its own ------------------------

// Holds a pty (and its own slave descriptor, so that the terminal outlives
// the host's opens), prints the slave's path, and answers the first byte it
// receives with `bytes` of noise; then prints how long the flood took and
// discards what comes.
int FlooderMain(uint64_t bytes) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  std::printf("%s\n", name);
  std::fflush(stdout);
  uint8_t in[4096];
  bool flooded = bytes == 0;
  uint32_t noise = 0x2545F491u;
  std::vector<uint8_t> chunk(65536);
  for (;;) {
    const ssize_t n = ::read(master, in, sizeof in);
    if (n < 0 && errno != EIO && errno != EINTR) return 0;
    if (n <= 0) {
      ::usleep(1000);  // no host has the terminal open
      continue;
    }
    if (flooded) continue;
    flooded = true;
    const auto start = Clock::now();
    uint64_t sent = 0;
    while (sent < bytes) {
      // Bytes with the high bit set, as a wrong line speed gives: never a
      // text the matchers look for.
      for (uint8_t& b : chunk) {
        noise = noise * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(0x80u | (noise >> 25));
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - sent));
      size_t at = 0;
      while (at < want) {
        const ssize_t w = ::write(master, chunk.data() + at, want - at);
        if (w > 0) {
          at += static_cast<size_t>(w);
        } else {
          ::read(master, in, sizeof in);  // keep what the host sends moving
          ::usleep(500);
        }
      }
      sent += want;
    }
    std::printf("%.0f\n", bench::MsBetween(start, Clock::now()));
    std::fflush(stdout);
  }
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
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (out_ >= 0) ::close(out_);
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
  std::string floodMs;  // how long the device took to send it all; empty: not all sent
};

PeakRun SearchPeak(uint64_t floodBytes) {
  PeakRun r;
  Flooder device(floodBytes);
  if (device.Path().empty()) return r;
  ::setenv("SIO_PORTS", ("210=" + device.Path()).c_str(), 1);
  QuietView view;
  finder::TfrmMain form(view);
  sio::WaitTicks(1, true);
  const double start = bench::StatusKiB("VmRSS");
  if (!bench::ResetPeakRss()) return r;
  r.ok = form.StartClicked() && view.boxes.empty();
  r.peakOverStartKiB = bench::StatusKiB("VmHWM") - start;
  if (floodBytes > 0) r.floodMs = device.Line(0);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--flooder")
    return FlooderMain(std::strtoull(argv[2], nullptr, 10));
  int rounds = 3;
  uint64_t mib = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (a == "--mib") mib = std::strtoull(argv[i + 1], nullptr, 10);
  }
  platform::InitUserInterfaceThread();
  std::printf("load average before: %s\n", bench::LoadAverage().c_str());
  // One open and close first, so that what the first open of a process
  // sets up once (allocator arenas, the window class) is not counted.
  double ignored = 0;
  (void)PerOpenPortKiB(1, ignored);

  std::vector<double> one, many, oneAfter, manyAfter, quiet, flooded;
  std::vector<std::string> floodTimes;
  int bad = 0;
  for (int i = 0; i < rounds; ++i) {
    double after = 0;
    one.push_back(PerOpenPortKiB(1, after));
    oneAfter.push_back(after);
    many.push_back(PerOpenPortKiB(16, after));
    manyAfter.push_back(after);
    const PeakRun q = SearchPeak(0);
    const PeakRun f = SearchPeak(mib << 20);
    if (!q.ok || !f.ok) {
      ++bad;
      continue;
    }
    quiet.push_back(q.peakOverStartKiB);
    flooded.push_back(f.peakOverStartKiB);
    floodTimes.push_back(f.floodMs.empty() ? "not all sent by the search's end" : f.floodMs);
  }
  std::printf("\n%d rounds (%d with a failed search left out)\n\n", rounds, bad);
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
  std::printf("\nthe flood took the device (ms, per round):");
  for (const std::string& t : floodTimes)
    std::printf(" %s;", t.c_str());
  std::printf("\nload average after: %s\n", bench::LoadAverage().c_str());
  return 0;
}
