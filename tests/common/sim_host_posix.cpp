// Host side of a simulated device over a pseudo-terminal slave.
#include "tests/common/sim_host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace sio_test {

namespace {

speed_t SpeedCode(uint32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

}  // namespace

SimHost::~SimHost() {
  Close();
}

bool SimHost::Open(const std::string& path, uint32_t baud, std::string& error) {
  Close();
  fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!SetSpeed(baud)) {
    error = "cannot set " + std::to_string(baud) + " baud on " + path;
    Close();
    return false;
  }
  return true;
}

void SimHost::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool SimHost::SetSpeed(uint32_t baud) {
  const speed_t code = SpeedCode(baud);
  termios settings{};
  if (code == B0 || ::tcgetattr(fd_, &settings) != 0) return false;
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&settings, code);
  ::cfsetospeed(&settings, code);
  return ::tcsetattr(fd_, TCSANOW, &settings) == 0;
}

bool SimHost::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<size_t>(written));
    } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

bool SimHost::LineGone() const {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool SimHost::ReadSome(std::string& into, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) return false;
  char buffer[4096];
  const ssize_t count = ::read(fd_, buffer, sizeof buffer);
  if (count <= 0) return false;
  into.append(buffer, static_cast<size_t>(count));
  return true;
}

std::string SimHost::ReadUntil(std::string_view terminator, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  while (!(text.size() >= terminator.size() &&
           text.compare(text.size() - terminator.size(), terminator.size(), terminator) == 0)) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    if (!ReadSome(text, deadline) && LineGone()) break;
  }
  return text;
}

std::string SimHost::ReadCount(size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string text;
  while (text.size() < count && std::chrono::steady_clock::now() < deadline) {
    if (!ReadSome(text, deadline) && LineGone()) break;
  }
  return text;
}

std::string SimHost::ReadFor(std::chrono::milliseconds duration) {
  const auto deadline = std::chrono::steady_clock::now() + duration;
  std::string text;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!ReadSome(text, deadline) && LineGone()) break;
  }
  return text;
}

std::string SimHost::Exchange(std::string_view command, std::chrono::milliseconds timeout) {
  if (!Write(command)) return std::string();
  return ReadUntil(">", timeout);
}

}  // namespace sio_test
