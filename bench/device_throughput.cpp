// The device layer as a programmer linking it would use it, next to a plain
// poll() + read() loop on the same kind of pseudo-terminal, in one process:
// throughput and process CPU per MiB of a large transfer read by an
// availability handler with GetBlock (every byte compared with the source),
// the time from one byte written by the peer to the handler seeing it, the
// cost of InitPort + DonePort, and the processor time of an open port that
// is idle or whose peer never reads. Rounds interleave the two readers, so
// that a change in the machine's load hits both alike.
//
//   device_throughput [--mib N] [--rounds N] [--idle-seconds N]
//
// A measurement, never a pass/fail test.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "serial/dispatch/device_dispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 4096;
constexpr int kLatencySamples = 200;
constexpr int kOpenCloseCycles = 5;

double ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Voluntary and forced context switches of the whole process so far.
double ContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The byte at stream position i: not periodic in any small power of two, so
// a lost, doubled or shifted piece shows.
inline uint8_t Expected(uint64_t i) {
  return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

// The peer side of a pseudo-terminal: the master, blocking. The slave is
// opened by whoever reads.
struct Pty {
  int master = -1;
  std::string slave;
  bool Open() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
    const char* name = ::ptsname(master);
    if (name == nullptr) return false;
    slave = name;
    return true;
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Writes `total` bytes of the stream in 4 KiB writes.
void Produce(int fd, uint64_t total) {
  uint8_t chunk[kChunk];
  for (uint64_t at = 0; at < total;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - at));
    for (size_t i = 0; i < n; ++i)
      chunk[i] = Expected(at + i);
    if (!WriteAll(fd, chunk, n)) return;
    at += n;
  }
}

// A one-shot flag to wait on without spinning.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mu_);
    set_ = true;
    cv_.notify_all();
  }
  bool Wait(int ms) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool ok = cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
    set_ = false;
    return ok;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool set_ = false;
};

struct Throughput {
  double mibPerS = 0;
  double cpuMsPerMib = 0;
  double switchesPerMib = 0;
  uint64_t bad = 0;  // bytes missing or different
};

struct Latency {
  double p50 = 0;
  double p99 = 0;
  int lost = 0;
};

Latency Percentiles(std::vector<double> us, int lost) {
  Latency l;
  l.lost = lost;
  if (us.empty()) return l;
  std::sort(us.begin(), us.end());
  l.p50 = us[us.size() / 2];
  l.p99 = us[std::min(us.size() - 1, static_cast<size_t>(static_cast<double>(us.size()) * 0.99))];
  return l;
}

// ---- the plain loop -----------------------------------------------------

int OpenRawSlave(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

Throughput PlainThroughput(uint64_t total) {
  Pty pty;
  Throughput r;
  if (!pty.Open()) return r;
  const int fd = OpenRawSlave(pty.slave);
  if (fd < 0) return r;
  const double cpu0 = ProcessCpuMs();
  const double cs0 = ContextSwitches();
  const auto t0 = Clock::now();
  std::thread writer(Produce, pty.master, total);
  uint8_t buf[kChunk];
  uint64_t at = 0;
  uint64_t bad = 0;
  while (at < total) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) break;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      break;
    }
    for (ssize_t i = 0; i < n; ++i)
      bad += buf[i] != Expected(at + static_cast<uint64_t>(i));
    at += static_cast<uint64_t>(n);
  }
  const auto t1 = Clock::now();
  const double cpu1 = ProcessCpuMs();
  const double cs1 = ContextSwitches();
  writer.join();
  ::close(fd);
  const double mib = static_cast<double>(at) / (1024.0 * 1024.0);
  r.mibPerS = mib / Seconds(t1 - t0);
  r.cpuMsPerMib = (cpu1 - cpu0) / mib;
  r.switchesPerMib = (cs1 - cs0) / mib;
  r.bad = bad + (total - at);
  return r;
}

Latency PlainLatency() {
  Pty pty;
  std::vector<double> us;
  if (!pty.Open()) return Percentiles(us, kLatencySamples);
  const int fd = OpenRawSlave(pty.slave);
  if (fd < 0) return Percentiles(us, kLatencySamples);
  std::atomic<bool> stop{false};
  Signal seen;
  Clock::time_point seenAt;
  std::thread reader([&] {
    uint8_t b[64];
    while (!stop.load()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      if (::read(fd, b, sizeof b) > 0) {
        seenAt = Clock::now();
        seen.Set();
      }
    }
  });
  int lost = 0;
  for (int i = 0; i < kLatencySamples; ++i) {
    const uint8_t byte = Expected(static_cast<uint64_t>(i));
    const auto t0 = Clock::now();
    WriteAll(pty.master, &byte, 1);
    if (seen.Wait(1000)) {
      us.push_back(Micros(seenAt - t0));
    } else {
      ++lost;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop.store(true);
  reader.join();
  ::close(fd);
  return Percentiles(us, lost);
}

// ---- the device layer ---------------------------------------------------

// The availability handler: takes everything on each event (threshold 1)
// and checks it against the stream.
class Reader {
 public:
  explicit Reader(sio::TSioWin32Dispatcher* d) : d_(d) {}
  sio::TTriggerEvent Method() { return sio::TTriggerEvent::Of<&Reader::OnTrigger>(this); }

  void Expect(uint64_t total) {
    total_ = total;
    at_.store(0);
    bad_ = 0;
  }
  uint64_t At() const { return at_.load(); }
  uint64_t Bad() const { return bad_; }
  Signal done;
  Clock::time_point lastSeen;

 private:
  void OnTrigger(uint32_t msg, uint32_t, uint32_t) {
    if (msg != sio::kMsgTriggerAvail) return;
    for (;;) {
      const uint32_t n = std::min<uint32_t>(d_->InBuffUsed(), sizeof buf_);
      if (n == 0) break;
      if (d_->GetBlock(buf_, n) != static_cast<int32_t>(n)) break;
      lastSeen = Clock::now();
      uint64_t at = at_.load();
      for (uint32_t i = 0; i < n; ++i)
        bad_ += buf_[i] != Expected(at + i);
      at += n;
      at_.store(at);
      if (at >= total_) done.Set();
    }
  }

  sio::TSioWin32Dispatcher* const d_;
  uint8_t buf_[sio::DispatchBufferSize];
  uint64_t total_ = 0;
  std::atomic<uint64_t> at_{0};
  uint64_t bad_ = 0;
};

std::unique_ptr<sio::TSioWin32Dispatcher> OpenPort(const std::string& name, uint32_t baud) {
  auto d = std::make_unique<sio::TSioWin32Dispatcher>(nullptr);
  if (d->InitPort(name.c_str(), baud, 0, 8, 1, 4096, 4096, sio::ipDTROn | sio::ipRTSOn) != 0) {
    std::fprintf(stderr, "InitPort %s failed\n", name.c_str());
    return nullptr;
  }
  return d;
}

Throughput LayerThroughput(uint64_t total) {
  Pty pty;
  Throughput r;
  r.bad = total;
  if (!pty.Open()) return r;
  auto d = OpenPort(pty.slave, 115200);
  if (!d) return r;
  Reader reader(d.get());
  reader.Expect(total);
  d->RegisterEventTriggerHandler(reader.Method());
  d->ChangeLengthTrigger(1);
  const double cpu0 = ProcessCpuMs();
  const double cs0 = ContextSwitches();
  const auto t0 = Clock::now();
  std::thread writer(Produce, pty.master, total);
  // Waits as long as bytes keep coming.
  uint64_t before = 0;
  while (!reader.done.Wait(2000)) {
    if (reader.At() == before) break;
    before = reader.At();
  }
  const auto t1 = reader.At() >= total ? reader.lastSeen : Clock::now();
  const double cpu1 = ProcessCpuMs();
  const double cs1 = ContextSwitches();
  writer.join();
  d->DonePort();
  d.reset();
  const double mib = static_cast<double>(reader.At()) / (1024.0 * 1024.0);
  r.mibPerS = mib / Seconds(t1 - t0);
  r.cpuMsPerMib = (cpu1 - cpu0) / mib;
  r.switchesPerMib = (cs1 - cs0) / mib;
  r.bad = reader.Bad() + (total - std::min(total, reader.At()));
  return r;
}

Latency LayerLatency() {
  Pty pty;
  std::vector<double> us;
  if (!pty.Open()) return Percentiles(us, kLatencySamples);
  auto d = OpenPort(pty.slave, 115200);
  if (!d) return Percentiles(us, kLatencySamples);
  Reader reader(d.get());
  reader.Expect(0);
  d->RegisterEventTriggerHandler(reader.Method());
  d->ChangeLengthTrigger(1);
  int lost = 0;
  for (int i = 0; i < kLatencySamples; ++i) {
    const uint8_t byte = Expected(static_cast<uint64_t>(i));
    const auto t0 = Clock::now();
    WriteAll(pty.master, &byte, 1);
    if (reader.done.Wait(1000)) {
      us.push_back(Micros(reader.lastSeen - t0));
    } else {
      ++lost;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  lost += static_cast<int>(reader.Bad());
  d->DonePort();
  d.reset();
  return Percentiles(us, lost);
}

struct OpenClose {
  double initMs = 0;
  double doneMs = 0;
  double deleteMs = 0;
};

OpenClose LayerOpenClose() {
  Pty pty;
  std::vector<OpenClose> all;
  if (!pty.Open()) return {};
  for (int i = 0; i < kOpenCloseCycles; ++i) {
    const auto t0 = Clock::now();
    auto d = OpenPort(pty.slave, 38400);
    const auto t1 = Clock::now();
    if (!d) return {};
    d->DonePort();
    const auto t2 = Clock::now();
    d.reset();
    const auto t3 = Clock::now();
    all.push_back({Seconds(t1 - t0) * 1e3, Seconds(t2 - t1) * 1e3, Seconds(t3 - t2) * 1e3});
  }
  std::sort(all.begin(), all.end(), [](const OpenClose& a, const OpenClose& b) {
    return a.initMs + a.doneMs < b.initMs + b.doneMs;
  });
  return all[all.size() / 2];
}

// Processor time of the whole process while a port sits open for `seconds`:
// idle, or (peerNeverReads) with output the peer never takes.
double OpenPortCpuMs(int seconds, bool peerNeverReads) {
  Pty pty;
  if (!pty.Open()) return -1;
  auto d = OpenPort(pty.slave, 115200);
  if (!d) return -1;
  if (peerNeverReads) {
    // Fill the pseudo-terminal and the output ring until nothing more goes.
    std::vector<uint8_t> block(1024, 'w');
    const auto until = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < until) {
      if (d->OutBuffFree() >= block.size()) {
        (void)d->PutBlock(block.data(), static_cast<uint32_t>(block.size()));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const double cpu0 = ProcessCpuMs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu1 = ProcessCpuMs();
  d->DonePort();
  d.reset();
  return cpu1 - cpu0;
}

// ---- the report ---------------------------------------------------------

struct Stat {
  double median = 0, lo = 0, hi = 0;
};

Stat Summary(std::vector<double> v) {
  Stat s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.median = v[v.size() / 2];
  s.lo = v.front();
  s.hi = v.back();
  return s;
}

std::string Fmt(const char* f, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, f, a, b, c);
  return text;
}

// The median and, in brackets, the range, all in the same format.
std::string Ranged(const char* f, const Stat& s) {
  return Fmt(f, s.median) + " (" + Fmt(f, s.lo) + "-" + Fmt(f, s.hi) + ")";
}

}  // namespace

int main(int argc, char** argv) {
  int mibTotal = 32;
  int rounds = 7;
  int idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (opt == "--mib") mibTotal = std::max(1, value);
    if (opt == "--rounds") rounds = std::max(1, value);
    if (opt == "--idle-seconds") idleSeconds = std::max(1, value);
  }
  sio::platform::InitUserInterfaceThread();
  const uint64_t total = static_cast<uint64_t>(mibTotal) * 1024 * 1024;

  std::vector<double> plainRate, plainCpu, layerRate, layerCpu, ratio, cpuRatio;
  std::vector<double> plainSwitches, layerSwitches;
  std::vector<double> plainP50, plainP99, layerP50, layerP99;
  std::vector<double> initDone, init, done, del;
  uint64_t bad = 0;
  int lost = 0;
  for (int r = 0; r < rounds; ++r) {
    const Throughput p = PlainThroughput(total);
    const Throughput l = LayerThroughput(total);
    const Latency pl = PlainLatency();
    const Latency ll = LayerLatency();
    const OpenClose oc = LayerOpenClose();
    bad += p.bad + l.bad;
    lost += pl.lost + ll.lost;
    plainRate.push_back(p.mibPerS);
    plainCpu.push_back(p.cpuMsPerMib);
    plainSwitches.push_back(p.switchesPerMib);
    layerSwitches.push_back(l.switchesPerMib);
    layerRate.push_back(l.mibPerS);
    layerCpu.push_back(l.cpuMsPerMib);
    ratio.push_back(p.mibPerS > 0 ? l.mibPerS / p.mibPerS : 0);
    cpuRatio.push_back(p.cpuMsPerMib > 0 ? l.cpuMsPerMib / p.cpuMsPerMib : 0);
    plainP50.push_back(pl.p50);
    plainP99.push_back(pl.p99);
    layerP50.push_back(ll.p50);
    layerP99.push_back(ll.p99);
    initDone.push_back(oc.initMs + oc.doneMs);
    init.push_back(oc.initMs);
    done.push_back(oc.doneMs);
    del.push_back(oc.deleteMs);
    std::fprintf(stderr,
                 "round %d: plain %.1f MiB/s %.2f ms/MiB, layer %.1f MiB/s %.2f ms/MiB, "
                 "p99 %.0f/%.0f us, open+close %.1f ms\n",
                 r + 1, p.mibPerS, p.cpuMsPerMib, l.mibPerS, l.cpuMsPerMib, pl.p99, ll.p99,
                 oc.initMs + oc.doneMs);
  }
  const double idleCpu = OpenPortCpuMs(idleSeconds, false);
  const double stuckCpu = OpenPortCpuMs(idleSeconds, true);

  std::printf("%d MiB in 4 KiB writes per round, %d interleaved rounds: median (range)\n\n",
              mibTotal, rounds);
  std::printf("| | plain loop | `TSioWin32Dispatcher` | goal |\n|---|---|---|---|\n");
  std::printf("| throughput | %s MiB/s | %s MiB/s (ratio %s) | ratio >= 0.9 |\n",
              Ranged("%.1f", Summary(plainRate)).c_str(),
              Ranged("%.1f", Summary(layerRate)).c_str(), Ranged("%.3f", Summary(ratio)).c_str());
  std::printf("| process CPU per MiB | %s ms | %s ms (%sx plain) | <= 1.5x plain |\n",
              Ranged("%.2f", Summary(plainCpu)).c_str(), Ranged("%.2f", Summary(layerCpu)).c_str(),
              Ranged("%.2f", Summary(cpuRatio)).c_str());
  std::printf(
      "| one byte, device write -> handler sees it | p50 %s us, p99 %s us | p50 %s us, p99 %s us "
      "| p99 <= 1 ms |\n",
      Ranged("%.0f", Summary(plainP50)).c_str(), Ranged("%.0f", Summary(plainP99)).c_str(),
      Ranged("%.0f", Summary(layerP50)).c_str(), Ranged("%.0f", Summary(layerP99)).c_str());
  std::printf(
      "| `InitPort` + `DonePort` at 38400 | - | %s ms (`InitPort` %s, `DonePort` %s; `delete` "
      "%s more) | <= 10 ms |\n",
      Ranged("%.2f", Summary(initDone)).c_str(), Ranged("%.2f", Summary(init)).c_str(),
      Ranged("%.2f", Summary(done)).c_str(), Ranged("%.2f", Summary(del)).c_str());
  std::printf("\ncontext switches per MiB (process): plain loop %s, `TSioWin32Dispatcher` %s\n",
              Ranged("%.0f", Summary(plainSwitches)).c_str(),
              Ranged("%.0f", Summary(layerSwitches)).c_str());
  std::printf(
      "process CPU of an open port over %d s: idle %.1f ms (%.3f %% of a core), "
      "peer never reads %.1f ms (%.3f %% of a core)\n",
      idleSeconds, idleCpu, idleCpu / (idleSeconds * 10.0), stuckCpu,
      stuckCpu / (idleSeconds * 10.0));
  std::printf("bytes lost or different: %llu; one-byte samples lost: %d\n",
              static_cast<unsigned long long>(bad), lost);
  return bad == 0 && lost == 0 ? 0 : 1;
}
