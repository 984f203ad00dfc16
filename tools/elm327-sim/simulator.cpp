// The simulated device's wire: a pty master served by one thread that echoes,
// answers after the configured delay, in pieces if asked, turns everything
// into noise when the host's speed is not the device's, and "unplugs" on
// request.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "tools/elm327-sim/elm327_sim.h"
#include "tools/elm327-sim/engine.h"
#include "tools/elm327-sim/pty_speed.h"

namespace elmsim {

namespace {

using Clock = std::chrono::steady_clock;

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

char FloodByte(size_t index) {
  return static_cast<char>('0' + index % 10);
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(Options opts) : options(std::move(opts)), engine(options) {}

  // Everything below the mutex is shared with callers; the rest belongs to
  // the device thread once it runs.
  Options options;
  std::string slavePath;
  std::thread thread;
  std::atomic<bool> stopping{false};
  int wake[2] = {-1, -1};
  Clock::time_point start;
  bool linkMade = false;
  bool used = false;  // one run per simulator: a device is plugged in once

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  int master = -1;
  int slave = -1;
  std::vector<ReceivedByte> received;
  std::string identifier;
  bool hungUp = false;

  Engine engine;
  FILE* log = nullptr;
  struct Pending {
    Clock::time_point due;
    std::string bytes;
  };
  std::deque<Pending> queue;
  std::string sending;  // due bytes, as they go onto the wire
  Clock::time_point lastDue;
  uint32_t noiseCounter = 0;
  uint32_t speedAtStart = 0;  // read before a host can have opened the slave
  size_t floodCounter = 0;

  bool RightSpeed() {
    if (options.baud == 0) return true;
    std::lock_guard<std::mutex> lock(mutex);
    return master >= 0 && TerminalSpeed(master) == options.baud;
  }

  // Keeps the wire in order: nothing overtakes what was queued before it.
  void Enqueue(Clock::time_point due, std::string bytes) {
    if (bytes.empty()) return;
    due = std::max(due, lastDue);
    lastDue = due;
    queue.push_back(Pending{due, std::move(bytes)});
  }

  void EnqueueAnswer(Clock::time_point now, const std::string& answer, uint32_t extraDelayMs) {
    if (answer.empty()) return;
    Clock::time_point due = now + std::chrono::milliseconds(options.delayMs + extraDelayMs);
    const size_t pieces = std::clamp<size_t>(options.splitPieces, 1, answer.size());
    const size_t size = (answer.size() + pieces - 1) / pieces;
    for (size_t offset = 0; offset < answer.size(); offset += size) {
      Enqueue(due, answer.substr(offset, size));
      due += std::chrono::milliseconds(options.gapMs);
    }
  }

  void Record(Clock::time_point now, const uint8_t* bytes, size_t count) {
    const double ms = std::chrono::duration<double, std::milli>(now - start).count();
    if (log != nullptr) {
      for (size_t i = 0; i < count; ++i)
        std::fprintf(log, "%.3f %02X\n", ms, bytes[i]);
      std::fflush(log);
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (size_t i = 0; i < count && received.size() < kReceivedLogLimit; ++i) {
      received.push_back(ReceivedByte{ms, bytes[i]});
    }
    changed.notify_all();
  }

  void OnInput(Clock::time_point now, const uint8_t* bytes, size_t count) {
    Record(now, bytes, count);
    if (options.silent) return;
    if (options.flood > 0) {
      std::string flood;
      for (uint32_t i = 0; i < options.flood; ++i)
        flood.push_back(FloodByte(floodCounter++));
      EnqueueAnswer(now, flood, 0);
      return;
    }
    if (!RightSpeed()) {
      // Garbage to the device: echoed (and so noise again to the host), never
      // a command.
      if (engine.EchoOn()) Enqueue(now, std::string(reinterpret_cast<const char*>(bytes), count));
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      const Engine::Reply reply = engine.Receive(bytes[i]);
      Enqueue(now, reply.echo);
      EnqueueAnswer(now, reply.answer, reply.extraDelayMs);
    }
    std::lock_guard<std::mutex> lock(mutex);
    identifier = engine.Identifier();
  }

  // At a wrong speed every byte arrives as noise: high bit set, never ">".
  std::string OnWire(std::string bytes) {
    if (RightSpeed()) return bytes;
    for (char& c : bytes) {
      const unsigned value = static_cast<uint8_t>(c) * 0x3Bu + (noiseCounter++) * 0x11u;
      c = static_cast<char>(0x80u | (value & 0x7Fu));
    }
    return bytes;
  }

  void CloseDevice() {
    std::lock_guard<std::mutex> lock(mutex);
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
    master = -1;
    slave = -1;
  }

  void RemoveLink() {
    if (!linkMade) return;
    ::unlink(options.link.c_str());
    linkMade = false;
  }

  // The name goes first: whoever sees the hang-up finds the device gone too,
  // as with a pulled adapter whose node goes with it.
  void HangUp() {
    RemoveLink();
    CloseDevice();
    std::lock_guard<std::mutex> lock(mutex);
    hungUp = true;
    changed.notify_all();
  }

  void Run();
};

void Simulator::Impl::Run() {
  const bool hangs = options.hangupAfterMs >= 0;
  const Clock::time_point hangupAt =
      start + std::chrono::milliseconds(hangs ? options.hangupAfterMs : 0);
  int fd = master;  // only this thread closes it, and only on the way out
  uint8_t buffer[4096];
  uint64_t receivedTotal = 0;
  while (!stopping.load()) {
    Clock::time_point now = Clock::now();
    if (hangs && now >= hangupAt) {
      HangUp();
      return;
    }
    if (options.hangupOnOpen && TerminalSpeed(fd) != speedAtStart) {
      HangUp();
      return;
    }
    while (!queue.empty() && queue.front().due <= now) {
      sending += OnWire(std::move(queue.front().bytes));
      queue.pop_front();
    }
    bool blocked = false;
    if (!sending.empty()) {
      const ssize_t written = ::write(fd, sending.data(), sending.size());
      if (written > 0) {
        sending.erase(0, static_cast<size_t>(written));
      } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        blocked = true;  // the host is not reading: wait for room
      } else if (written < 0 && errno != EINTR) {
        sending.clear();  // nobody to hear it
      }
    }
    Clock::time_point until = now + std::chrono::seconds(1);
    if (!queue.empty()) until = std::min(until, queue.front().due);
    if (hangs) until = std::min(until, hangupAt);
    int timeout =
        static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
    if (!sending.empty() && !blocked) timeout = 0;
    // Watching for an open means watching the line settings closely.
    if (options.hangupOnOpen) timeout = std::min(timeout, 1);
    const short reading = options.noRead ? 0 : POLLIN;
    pollfd fds[2] = {{fd, static_cast<short>(reading | (blocked ? POLLOUT : 0)), 0},
                     {wake[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, std::max(timeout, 0));
    // A host writes only after its open has set the line: checked again
    // before reading, so nothing it sent is heard.
    if (options.hangupOnOpen && TerminalSpeed(fd) != speedAtStart) {
      HangUp();
      return;
    }
    if (ready <= 0) continue;
    if (fds[1].revents != 0) {
      char drain[16];
      while (::read(wake[0], drain, sizeof drain) > 0) {
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t count = ::read(fd, buffer, sizeof buffer);
      if (count > 0) {
        size_t taken = static_cast<size_t>(count);
        const bool pulled =
            options.hangupAfterBytes >= 0 &&
            receivedTotal + taken >= static_cast<uint64_t>(options.hangupAfterBytes);
        // The bytes past the limit were on the wire as it was cut: never heard.
        if (pulled) taken = static_cast<size_t>(options.hangupAfterBytes) - receivedTotal;
        receivedTotal += taken;
        if (taken > 0) OnInput(Clock::now(), buffer, taken);
        if (pulled) {
          HangUp();
          return;
        }
      }
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
      // Cannot happen while our own slave descriptor is open; never spin on it.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  impl_->identifier = impl_->options.identifier;
}

Simulator::~Simulator() {
  Stop();
}

bool Simulator::Start(std::string& error) {
  Impl& d = *impl_;
  if (d.used) {
    error = "already started";
    return false;
  }
  d.used = true;
  if (!d.options.identifier.empty() && !IsValidIdentifier(d.options.identifier)) {
    error = "the identifier must be 12 characters from '!' to '_'";
    return false;
  }
  auto fail = [&](const std::string& message) {
    error = message;
    d.CloseDevice();
    for (int& end : d.wake) {
      if (end >= 0) ::close(end);
      end = -1;
    }
    d.RemoveLink();
    return false;
  };
  d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (d.master < 0) return fail(SystemError("posix_openpt"));
  if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0) return fail(SystemError("unlockpt"));
  char name[256];
  if (::ptsname_r(d.master, name, sizeof name) != 0) return fail(SystemError("ptsname_r"));
  d.slavePath = name;
  // Our own slave descriptor keeps the device present while hosts come and
  // go, and lets us put the line in raw mode: a serial device has no line
  // discipline that would echo or translate.
  d.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (d.slave < 0) return fail(SystemError("open slave"));
  termios settings{};
  if (::tcgetattr(d.slave, &settings) != 0) return fail(SystemError("tcgetattr"));
  ::cfmakeraw(&settings);
  ::cfsetispeed(&settings, B38400);
  ::cfsetospeed(&settings, B38400);
  if (::tcsetattr(d.slave, TCSANOW, &settings) != 0) return fail(SystemError("tcsetattr"));
  const int flags = ::fcntl(d.master, F_GETFL);
  if (flags < 0 || ::fcntl(d.master, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(SystemError("fcntl"));
  }
  if (::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) return fail(SystemError("pipe"));
  if (!d.options.link.empty()) {
    struct stat info {};
    if (::lstat(d.options.link.c_str(), &info) == 0) {
      if (!S_ISLNK(info.st_mode)) return fail(d.options.link + " exists and is not a link");
      ::unlink(d.options.link.c_str());
    }
    if (::symlink(name, d.options.link.c_str()) != 0) return fail(SystemError("symlink"));
    d.linkMade = true;
  }
  if (!d.options.logFile.empty()) {
    d.log = std::fopen(d.options.logFile.c_str(), "w");
    if (d.log == nullptr) return fail(SystemError("log file"));
  }
  d.speedAtStart = TerminalSpeed(d.master);
  d.start = Clock::now();
  d.lastDue = d.start;
  d.thread = std::thread([&d] { d.Run(); });
  return true;
}

void Simulator::Stop() {
  Impl& d = *impl_;
  d.stopping.store(true);
  if (d.wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(d.wake[1], &byte, 1);
  }
  if (d.thread.joinable()) d.thread.join();
  d.CloseDevice();
  d.RemoveLink();
  for (int& end : d.wake) {
    if (end >= 0) ::close(end);
    end = -1;
  }
  if (d.log != nullptr) std::fclose(d.log);
  d.log = nullptr;
}

const std::string& Simulator::SlavePath() const {
  return impl_->slavePath;
}

const Options& Simulator::GetOptions() const {
  return impl_->options;
}

std::vector<ReceivedByte> Simulator::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

std::string Simulator::ReceivedText() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::string text;
  for (const ReceivedByte& entry : impl_->received)
    text.push_back(static_cast<char>(entry.byte));
  return text;
}

bool Simulator::WaitForReceived(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->received.size() >= count; });
}

bool Simulator::HungUp() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->hungUp;
}

bool Simulator::WaitForHangUp(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->hungUp; });
}

std::string Simulator::StoredIdentifier() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->identifier;
}

uint32_t Simulator::LineSpeed() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->master >= 0 ? TerminalSpeed(impl_->master) : 0;
}

}  // namespace elmsim
