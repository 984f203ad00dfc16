// What packet matching costs on the receive path. In each of several
// interleaved rounds, 32 MiB go through a pseudo-terminal twice: once read by
// a plain poll() + read() loop, once received by a port component with a
// packet manager and the finder's three start-only matchers. Every byte is
// checked on both paths. Reported: both rates and their ratio (median and
// range over the rounds), and, over 2000 samples, the time from the device
// writing the last byte of "KELVANE" to OnPacket running on the
// user-interface thread (p50, p99).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "serial/support/ticks.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 91;
constexpr size_t kTotal = 32u << 20;
constexpr int kRounds = 7;
constexpr int kSamples = 2000;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The byte at stream position i: varied, and never long stretches of any
// of the three texts.
uint8_t PatternByte(size_t i) {
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u;
  x ^= x >> 15;
  return static_cast<uint8_t>(x);
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string name;
  bool Open() {
    char buf[128] = {};
    if (::openpty(&master, &slave, buf, nullptr, nullptr) != 0) return false;
    name = buf;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::tcgetattr(master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
    return true;
  }
  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
};

void WriteAll(int fd) {
  std::vector<uint8_t> block(16384);
  size_t at = 0;
  while (at < kTotal) {
    const size_t n = std::min(block.size(), kTotal - at);
    for (size_t k = 0; k < n; ++k)
      block[k] = PatternByte(at + k);
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd, block.data() + done, n - done);
      if (w > 0) {
        done += static_cast<size_t>(w);
      } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
        return;
      }
    }
    at += n;
  }
}

// Plain: poll() + read() on the slave; MiB/s, or 0 when a byte was wrong.
double PlainRound(Pty& pty) {
  const int flags = ::fcntl(pty.slave, F_GETFL);
  ::fcntl(pty.slave, F_SETFL, flags | O_NONBLOCK);
  std::vector<uint8_t> buf(4096);
  size_t got = 0;
  bool good = true;
  const auto start = Clock::now();
  std::thread writer([&] { WriteAll(pty.master); });
  while (got < kTotal) {
    pollfd p{pty.slave, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) break;
    const ssize_t r = ::read(pty.slave, buf.data(), buf.size());
    if (r <= 0) continue;
    for (ssize_t k = 0; k < r; ++k)
      good = good && buf[static_cast<size_t>(k)] == PatternByte(got + static_cast<size_t>(k));
    got += static_cast<size_t>(r);
  }
  const auto end = Clock::now();
  writer.join();
  ::fcntl(pty.slave, F_SETFL, flags);
  return good && got == kTotal ? kTotal / 1048576.0 / Seconds(start, end) : 0.0;
}

// Reads what each availability event offers and checks it, as one more
// handler of the dispatcher beside the packet manager.
struct Checker {
  sio::TSioBaseDispatcher* d = nullptr;
  std::atomic<size_t> got{0};
  std::atomic<bool> good{true};
  std::vector<uint8_t> buf = std::vector<uint8_t>(sio::DispatchBufferSize);
  void Handle(uint32_t msg, uint32_t count, uint32_t) {
    if (msg != sio::kMsgTriggerAvail) return;
    const int32_t n = d->GetBlock(buf.data(), count);
    if (n <= 0) return;
    const size_t base = got.load();
    bool ok = true;
    for (int32_t k = 0; k < n; ++k)
      ok = ok && buf[static_cast<size_t>(k)] == PatternByte(base + static_cast<size_t>(k));
    if (!ok) good.store(false);
    got.store(base + static_cast<size_t>(n));
  }
};

// OnPacket of the three matchers: when each delivery ran (user-interface
// thread only; read once the device thread has ended).
struct Flags {
  std::atomic<int> packets{0};
  std::vector<Clock::time_point> stamps;
  void Packet(sio::TComponent*, const void*, int32_t) {
    stamps.push_back(Clock::now());
    packets.fetch_add(1);
  }
};

double ComponentRound(Pty& pty, sio::TSioComPort& port, Flags&) {
  sio::TSioBaseDispatcher* d = port.GetDispatcher();
  Checker checker;
  checker.d = d;
  const auto method = sio::TTriggerEvent::Of<&Checker::Handle>(&checker);
  d->RegisterEventTriggerHandler(method);
  const auto start = Clock::now();
  std::thread writer([&] { WriteAll(pty.master); });
  auto last = Clock::now();
  size_t seen = 0;
  while (checker.got.load() < kTotal) {
    if (sio::PumpOneMessage() == 0) sio::platform::WaitForMessage(1);
    if (checker.got.load() != seen) {
      seen = checker.got.load();
      last = Clock::now();
    } else if (Seconds(last, Clock::now()) > 5.0) {
      break;
    }
  }
  const auto end = Clock::now();
  writer.join();
  d->DeregisterEventTriggerHandler(method);
  return checker.good.load() && checker.got.load() == kTotal
             ? kTotal / 1048576.0 / Seconds(start, end)
             : 0.0;
}

// Where the latency goes: when the dispatcher thread first offered the
// bytes of each sample to its handlers.
double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

void BM_PacketMatchingThroughput(benchmark::State& state) {
  sio::platform::InitUserInterfaceThread();
  Pty plain;
  Pty dev;
  if (!plain.Open() || !dev.Open()) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  ::setenv("SIO_PORTS", (std::to_string(kPort) + "=" + dev.name).c_str(), 1);
  sio::TSioComPort port;
  port.SetComNumber(kPort);
  port.SetBaud(115200);
  port.SetAutoOpen(false);
  Flags flags;
  sio::TSioDataPacket kelvane;
  sio::TSioDataPacket obd;
  sio::TSioDataPacket clone;
  kelvane.SetStartString("KELVANE");
  kelvane.SetTimeOut(1);
  obd.SetStartString("OBDII to RS232 Interpreter");
  clone.SetStartString("ELM327_CLONE");
  // PACKET_BENCH_BARE=1: the same port without matchers (and so without a
  // manager), to tell the device layer's share from the matching's.
  const bool bare = std::getenv("PACKET_BENCH_BARE") != nullptr;
  for (sio::TSioDataPacket* p : {&kelvane, &obd, &clone}) {
    if (bare) break;
    p->SetComPort(&port);
    p->SetOnPacket(sio::TPacketNotifyEvent::Of<&Flags::Packet>(&flags));
    p->SetEnabled(true);
  }
  port.SetOpen(true);

  std::vector<double> plainRates;
  std::vector<double> portRates;
  std::vector<double> ratios;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const double a = PlainRound(plain);
      const double b = ComponentRound(dev, port, flags);
      if (a <= 0 || b <= 0) {
        state.SkipWithError("bytes lost or wrong");
        return;
      }
      plainRates.push_back(a);
      portRates.push_back(b);
      ratios.push_back(b / a);
    }
  }

  if (bare) {
    port.SetOpen(false);
    std::printf("bare port  MiB/s median %.1f, ratio median %.3f\n", Median(portRates),
                Median(ratios));
    return;
  }
  // Latency: the device writes "KELVANE", the user-interface thread serves
  // messages inside WaitTicks.
  const size_t first = flags.stamps.size();
  flags.stamps.reserve(first + kSamples + 16);
  std::atomic<bool> done{false};
  std::vector<Clock::time_point> written(kSamples);
  std::atomic<int> sent{0};
  std::thread device([&] {
    const std::string text = "xxKELVANE";
    for (int i = 0; i < kSamples && !done.load(); ++i) {
      const int before = flags.packets.load();
      if (::write(dev.master, text.data(), text.size()) != static_cast<ssize_t>(text.size())) break;
      written[static_cast<size_t>(i)] = Clock::now();
      sent.store(i + 1);
      while (flags.packets.load() == before && !done.load())
        std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::microseconds(200 + (i % 7) * 100));
    }
  });
  const int target = flags.packets.load() + kSamples;
  const auto latencyStart = Clock::now();
  while (flags.packets.load() < target && Seconds(latencyStart, Clock::now()) < 120)
    sio::WaitTicks(1, true);
  done.store(true);
  device.join();
  port.SetOpen(false);
  std::vector<double> latencies;
  for (int i = 0; i < sent.load() && first + static_cast<size_t>(i) < flags.stamps.size(); ++i) {
    latencies.push_back(
        std::chrono::duration<double, std::micro>(flags.stamps[first + static_cast<size_t>(i)] -
                                                  written[static_cast<size_t>(i)])
            .count());
  }
  if (latencies.size() < kSamples) {
    state.SkipWithError("deliveries missing");
    return;
  }
  std::sort(latencies.begin(), latencies.end());
  const double p50 = latencies[latencies.size() / 2];
  const double p99 = latencies[latencies.size() * 99 / 100];

  state.counters["plain_MiBps_median"] = Median(plainRates);
  state.counters["port_MiBps_median"] = Median(portRates);
  state.counters["ratio_median"] = Median(ratios);
  state.counters["ratio_min"] = *std::min_element(ratios.begin(), ratios.end());
  state.counters["ratio_max"] = *std::max_element(ratios.begin(), ratios.end());
  std::printf("plain  MiB/s median %.1f range %.1f..%.1f\n", Median(plainRates),
              *std::min_element(plainRates.begin(), plainRates.end()),
              *std::max_element(plainRates.begin(), plainRates.end()));
  std::printf("port   MiB/s median %.1f range %.1f..%.1f\n", Median(portRates),
              *std::min_element(portRates.begin(), portRates.end()),
              *std::max_element(portRates.begin(), portRates.end()));
  std::printf("ratio  median %.3f range %.3f..%.3f over %d rounds\n", Median(ratios),
              *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()), kRounds);
  std::printf("KELVANE to OnPacket over %zu samples: p50 %.0f us, p99 %.0f us, max %.0f us\n",
              latencies.size(), p50, p99, latencies.back());
  state.counters["latency_p50_us"] = p50;
  state.counters["latency_p99_us"] = p99;
}
BENCHMARK(BM_PacketMatchingThroughput)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
