// A pseudo-terminal pair as a serial device and its peer.
#include "tests/common/pty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__) || defined(__GLIBC__)
#include <pty.h>
#else
#include <util.h>
#endif

namespace sio_test {

namespace {

using Clock = std::chrono::steady_clock;

class PtyPeer : public SerialPeer {
 public:
  PtyPeer(int master, int slave, std::string name)
      : master_(master), slave_(slave), name_(std::move(name)) {}
  ~PtyPeer() override {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }

  std::string DeviceName() const override { return name_; }

  bool Write(const void* data, size_t size) override {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
      if (master_ < 0 || Clock::now() >= deadline) return false;
      const ssize_t n = ::write(master_, p, size);
      if (n > 0) {
        p += n;
        size -= static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      pollfd fd{master_, POLLOUT, 0};
      ::poll(&fd, 1, 50);
    }
    return true;
  }

  size_t Read(void* data, size_t size, uint32_t timeoutMs) override {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* p = static_cast<unsigned char*>(data);
    size_t got = 0;
    while (got < size && master_ >= 0) {
      const ssize_t n = ::read(master_, p + got, size - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
        continue;
      }
      const auto now = Clock::now();
      if (now >= deadline) break;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
      pollfd fd{master_, POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left < 50 ? left : 50));
    }
    return got;
  }

  void Drain() override {
    unsigned char sink[4096];
    while (master_ >= 0 && ::read(master_, sink, sizeof sink) > 0) {
    }
  }

  bool Unplug(std::string&) override {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    return true;
  }

 private:
  int master_;
  int slave_;  // held so that the master stays usable while the device is closed
  std::string name_;
};

}  // namespace

PtyPair::~PtyPair() {
  CloseMaster();
  if (slave >= 0) ::close(slave);
}

bool PtyPair::Open() {
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  slaveName = name;
  return true;
}

void PtyPair::CloseMaster() {
  if (master >= 0) ::close(master);
  master = -1;
}

std::unique_ptr<SerialPeer> SerialPeer::Create(std::string& whyNot) {
  PtyPair pair;
  if (!pair.Open()) {
    whyNot = "openpty failed";
    return nullptr;
  }
  auto peer = std::make_unique<PtyPeer>(pair.master, pair.slave, pair.slaveName);
  pair.master = pair.slave = -1;
  return peer;
}

bool RunningUnderWine() {
  return false;
}

double ProcessCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace sio_test
