// driver-check: what the serial layer does on a real kernel driver, run
// inside the driver guest (tests/drivers/run-guest.sh), and the guest's own
// tools for setting devices up. Each check prints "check NAME: ok" or
// "check NAME: FAIL why" and exits non-zero on a failure.
//
//   driver-check lines PATH              DTR/RTS through the layer, read back
//                                        with TIOCMGET; modem status as the driver says
//   driver-check exclusive PATH          a second open is refused, by the layer and by
//                                        another program
//   driver-check speed PATH BAUD MS      sets BAUD, says so, holds the port MS
//   driver-check hangup PATH FILE TEXT   a pending read when TEXT is written to FILE
//                                        (a device disconnect) ends as "device gone"
//   driver-check idle PATH MS            holds the port open through the port component
//                                        (its four threads), idle, for MS; says which
//                                        way its modem lines are watched
//   driver-check open-error PATH         the text of the error an open through the port
//                                        component fails with
//   driver-check serve-scan-tool PATH    answers as a scan tool on a terminal (the
//                                        far end of a USB gadget), at any speed
//   driver-check rfcomm-bind N ADDR CH   binds /dev/rfcommN to a Bluetooth address
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/comm.h"
#include "platform/error_numbers.h"
#include "platform/host_ports.h"
#include "platform/message_loop.h"
#include "serial/dispatch/device_dispatcher.h"
#include "serial/port/com_port.h"
#include "serial/support/ticks.h"
#include "tools/elm327-sim/engine.h"

namespace {

using Clock = std::chrono::steady_clock;

int Fail(const char* check, const std::string& why) {
  std::printf("check %s: FAIL %s\n", check, why.c_str());
  std::fflush(stdout);
  return 1;
}

int Ok(const char* check, const std::string& detail = std::string()) {
  std::printf("check %s: ok%s%s\n", check, detail.empty() ? "" : " ", detail.c_str());
  std::fflush(stdout);
  return 0;
}

// The lines as the driver itself reports them, on a descriptor of our own
// (opened without the exclusive lock, before the layer takes it).
bool DriverLines(int fd, int& lines) {
  return ::ioctl(fd, TIOCMGET, &lines) == 0;
}

std::string LineText(int lines) {
  std::string text;
  auto add = [&](int bit, const char* name) {
    if (lines & bit) text += text.empty() ? name : std::string("|") + name;
  };
  add(TIOCM_DTR, "DTR");
  add(TIOCM_RTS, "RTS");
  add(TIOCM_CTS, "CTS");
  add(TIOCM_DSR, "DSR");
  add(TIOCM_CD, "CD");
  add(TIOCM_RI, "RI");
  return text.empty() ? "none" : text;
}

int CheckLines(const std::string& path) {
  // The driver's own view comes through a second descriptor opened before
  // the layer's exclusive open; the lines belong to the device, not to
  // the descriptor.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail("lines", "open: " + std::string(std::strerror(errno)));
  int lines = 0;
  if (!DriverLines(fd, lines)) {
    ::close(fd);
    return Fail("lines", "the driver has no modem lines: " + std::string(std::strerror(errno)));
  }
  sio::platform::CommDevice device;
  if (const uint32_t rc = device.Open(path)) {
    ::close(fd);
    return Fail("lines", "layer open: " + std::to_string(rc));
  }
  struct Step {
    uint32_t function;
    int bit;
    bool on;
  };
  const Step steps[] = {{sio::platform::escClrDtr, TIOCM_DTR, false},
                        {sio::platform::escSetDtr, TIOCM_DTR, true},
                        {sio::platform::escClrRts, TIOCM_RTS, false},
                        {sio::platform::escSetRts, TIOCM_RTS, true}};
  std::string seen;
  for (const Step& step : steps) {
    if (const uint32_t rc = device.Escape(step.function)) {
      ::close(fd);
      return Fail("lines", "escape " + std::to_string(step.function) + ": " + std::to_string(rc));
    }
    if (!DriverLines(fd, lines) || ((lines & step.bit) != 0) != step.on) {
      ::close(fd);
      return Fail("lines", "after escape " + std::to_string(step.function) + " the driver says " +
                               LineText(lines));
    }
    seen += LineText(lines) + " ";
  }
  // Input lines as the layer reports them must be the driver's, not the
  // steady stand-in for devices without modem lines.
  uint32_t status = 0;
  if (const uint32_t rc = device.GetModemStatus(status)) {
    ::close(fd);
    return Fail("lines", "modem status: " + std::to_string(rc));
  }
  DriverLines(fd, lines);
  ::close(fd);
  const bool same = ((status & sio::platform::msCtsOn) != 0) == ((lines & TIOCM_CTS) != 0) &&
                    ((status & sio::platform::msDsrOn) != 0) == ((lines & TIOCM_DSR) != 0) &&
                    ((status & sio::platform::msDcdOn) != 0) == ((lines & TIOCM_CD) != 0) &&
                    ((status & sio::platform::msRingOn) != 0) == ((lines & TIOCM_RI) != 0);
  if (!same) {
    return Fail("lines", "layer status " + std::to_string(status) + ", driver " + LineText(lines));
  }
  return Ok("lines", seen + "status " + LineText(lines));
}

int CheckExclusive(const std::string& path) {
  sio::platform::CommDevice first;
  if (const uint32_t rc = first.Open(path)) return Fail("exclusive", "open: " + std::to_string(rc));
  sio::platform::CommDevice second;
  const uint32_t again = second.Open(path);
  if (again != sio::platform::errAccessDenied) {
    return Fail("exclusive", "second open by the layer gave " + std::to_string(again));
  }
  // Another program that knows nothing of our lock: the terminal's own
  // exclusive mode keeps it out (root would pass it).
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int openErrno = errno;
  if (fd >= 0) {
    ::close(fd);
    if (::geteuid() != 0) return Fail("exclusive", "a plain open got through");
  } else if (openErrno != EBUSY) {
    return Fail("exclusive", "a plain open failed with " + std::string(std::strerror(openErrno)));
  }
  first.Close();
  sio::platform::CommDevice third;
  if (const uint32_t rc = third.Open(path)) {
    return Fail("exclusive", "open after the close: " + std::to_string(rc));
  }
  return Ok("exclusive");
}

int CheckSpeed(const std::string& path, uint32_t baud, uint32_t holdMs) {
  sio::platform::CommDevice device;
  if (const uint32_t rc = device.Open(path)) return Fail("speed", "open: " + std::to_string(rc));
  sio::platform::CommDcb dcb;
  if (const uint32_t rc = device.GetState(dcb)) return Fail("speed", "get: " + std::to_string(rc));
  dcb.BaudRate = baud;
  if (const uint32_t rc = device.SetState(dcb)) return Fail("speed", "set: " + std::to_string(rc));
  sio::platform::CommDcb back;
  device.GetState(back);
  // The far end (the host side of the emulated UART or adapter) reads the
  // speed while the port is held.
  std::printf("speed-set %s %u\n", path.c_str(), back.BaudRate);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  return back.BaudRate == baud ? Ok("speed", std::to_string(back.BaudRate))
                               : Fail("speed", "reads back " + std::to_string(back.BaudRate));
}

int CheckHangup(const std::string& path, const std::string& trigger, const std::string& text) {
  sio::platform::CommDevice device;
  if (const uint32_t rc = device.Open(path)) return Fail("hangup", "open: " + std::to_string(rc));
  sio::platform::CommTimeouts timeouts;  // all 0: the read waits for its whole block
  device.SetTimeouts(timeouts);
  sio::platform::CommIo io;
  char buffer[64];
  uint32_t count = 0;
  const uint32_t started = device.StartRead(io, buffer, sizeof buffer, count);
  if (started != sio::platform::errIoPending) {
    return Fail("hangup", "the read did not wait: " + std::to_string(started));
  }
  const auto pulled = Clock::now();
  {
    const int fd = ::open(trigger.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      return Fail("hangup", "cannot write " + trigger + ": " + std::strerror(errno));
    }
    ::close(fd);
  }
  if (io.Wait(5000) != sio::platform::WaitResult::Signaled) {
    return Fail("hangup", "the read still waits 5 s after the disconnect");
  }
  const auto seen = Clock::now();
  const uint32_t result = device.GetResult(io, count, false);
  if (result != sio::platform::errDeviceNotConnected) {
    return Fail("hangup", "the read ended with " + std::to_string(result));
  }
  // Every later call says so too, and the node goes with the device.
  uint32_t status = 0;
  const uint32_t later = device.GetModemStatus(status);
  if (later != sio::platform::errDeviceNotConnected) {
    return Fail("hangup", "a later call gave " + std::to_string(later));
  }
  struct stat info {};
  bool nodeGone = false;
  for (int i = 0; i < 100 && !nodeGone; ++i) {
    nodeGone = ::stat(path.c_str(), &info) != 0;
    if (!nodeGone) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  device.Close();
  if (!nodeGone) return Fail("hangup", "the node is still there");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(seen - pulled).count();
  return Ok("hangup", "seen after " + std::to_string(ms) + " ms");
}

const char* WatchName(sio::platform::CommLineWatch watch) {
  switch (watch) {
    case sio::platform::CommLineWatch::None:
      return "none";
    case sio::platform::CommLineWatch::Emulated:
      return "emulated";
    case sio::platform::CommLineWatch::Notified:
      return "notified";
    case sio::platform::CommLineWatch::Polled:
      return "polled";
  }
  return "?";
}

// An open port with nothing to do: what it costs the device is counted at
// the far end (the host counts the adapter's control requests meanwhile).
int CheckIdle(const std::string& path, uint32_t ms) {
  uint32_t number = 0;
  const std::string base = path.substr(path.rfind('/') + 1);
  if (!sio::platform::ComNumberForDevice(base, number))
    return Fail("idle", "no COM number: " + path);
  sio::platform::InitUserInterfaceThread();
  sio::TSioComPort port;
  port.SetComNumber(static_cast<uint16_t>(number));
  port.SetBaud(38400);
  try {
    port.SetOpen(true);
  } catch (const std::exception& e) {
    return Fail("idle", std::string("open: ") + e.what());
  }
  auto* dispatcher = dynamic_cast<sio::TSioWin32Dispatcher*>(port.GetDispatcher());
  if (dispatcher == nullptr) return Fail("idle", "no device dispatcher");
  // Settled first: the open's own requests are not the idle port's.
  sio::WaitTicks(10, true);
  const sio::platform::CommLineWatch watch = dispatcher->Device->LineWatch();
  std::printf("idle-begin %s %s\n", path.c_str(), WatchName(watch));
  std::fflush(stdout);
  sio::WaitTicks(static_cast<int32_t>(ms) / sio::MillisecondsPerTick, true);
  std::printf("idle-end %s\n", path.c_str());
  std::fflush(stdout);
  // The close's own requests come after the host has seen the end mark.
  sio::WaitTicks(20, true);
  port.SetOpen(false);
  return Ok("idle", WatchName(watch));
}

// What the user is told when a real driver refuses the open: the error's
// own text, whatever number the layer carries it as.
int CheckOpenError(const std::string& path) {
  uint32_t number = 0;
  const std::string base = path.substr(path.rfind('/') + 1);
  if (!sio::platform::ComNumberForDevice(base, number)) {
    return Fail("open-error", "no COM number: " + path);
  }
  sio::platform::InitUserInterfaceThread();
  sio::TSioComPort port;
  port.SetComNumber(static_cast<uint16_t>(number));
  try {
    port.SetOpen(true);
  } catch (const std::exception& e) {
    std::printf("open-error %s: %s\n", path.c_str(), e.what());
    std::fflush(stdout);
    return 0;
  }
  return Fail("open-error", "the open succeeded");
}

// The far end of the USB gadget: no speed of its own, a scan tool at any.
int ServeScanTool(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Fail("serve", path + ": " + std::strerror(errno));
  termios t{};
  if (::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  elmsim::Options options;
  options.scanTool = true;
  options.baud = 0;
  elmsim::Engine engine(options);
  uint8_t buffer[256];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The host side went away (disconnect): wait for it to come back.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    std::string out;
    for (ssize_t i = 0; i < n; ++i) {
      const elmsim::Engine::Reply reply = engine.Receive(buffer[i]);
      out += reply.echo;
      out += reply.answer;
    }
    if (!out.empty()) (void)!::write(fd, out.data(), out.size());
  }
}

// What "rfcomm bind" does: a tty for a Bluetooth address, connected only
// when it is opened. The kernel's structures, as its headers give them.
constexpr int kAfBluetooth = 31;
constexpr int kBtProtoRfcomm = 3;
constexpr unsigned long kRfcommCreateDev = 0x400452C8;  // _IOW('R', 200, int)
struct RfcommDevReq {
  int16_t devId;
  uint32_t flags;
  uint8_t src[6];
  uint8_t dst[6];
  uint8_t channel;
};

int RfcommBind(int index, const std::string& address, int channel) {
  RfcommDevReq req{};
  req.devId = static_cast<int16_t>(index);
  unsigned b[6];
  if (std::sscanf(address.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) !=
      6) {
    return Fail("rfcomm-bind", "bad address " + address);
  }
  // The kernel keeps addresses least significant byte first.
  for (int i = 0; i < 6; ++i)
    req.dst[i] = static_cast<uint8_t>(b[5 - i]);
  req.channel = static_cast<uint8_t>(channel);
  const int s = ::socket(kAfBluetooth, SOCK_RAW, kBtProtoRfcomm);
  if (s < 0) return Fail("rfcomm-bind", std::string("socket: ") + std::strerror(errno));
  const int rc = ::ioctl(s, kRfcommCreateDev, &req);
  const int e = errno;
  ::close(s);
  if (rc < 0) return Fail("rfcomm-bind", std::string("ioctl: ") + std::strerror(e));
  return Ok("rfcomm-bind", "/dev/rfcomm" + std::to_string(index));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "lines" && argc == 3) return CheckLines(argv[2]);
  if (what == "exclusive" && argc == 3) return CheckExclusive(argv[2]);
  if (what == "speed" && argc == 5) {
    return CheckSpeed(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)),
                      static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)));
  }
  if (what == "idle" && argc == 4) {
    return CheckIdle(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
  }
  if (what == "hangup" && argc == 5) return CheckHangup(argv[2], argv[3], argv[4]);
  if (what == "open-error" && argc == 3) return CheckOpenError(argv[2]);
  if (what == "serve-scan-tool" && argc == 3) return ServeScanTool(argv[2]);
  if (what == "rfcomm-bind" && argc == 5) {
    return RfcommBind(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
  }
  std::fprintf(stderr,
               "usage: driver-check lines|exclusive PATH | speed PATH BAUD MS | "
               "idle PATH MS | open-error PATH | hangup PATH FILE TEXT | serve-scan-tool PATH | "
               "rfcomm-bind N ADDR CH\n");
  return 2;
}
