// Line speed of a terminal device. Linux takes any rate through termios2
// (BOTHER); its kernel header clashes with <termios.h>, so this file keeps it
// apart from the rest of the device code. Other systems take the standard
// rates only.
#include <cstdint>

#include "platform/comm_baud_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace platform::comm_posix {

#if defined(__linux__)

bool SetLineSpeed(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

bool GetLineSpeed(int fd, uint32_t& baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  baud = tio.c_ospeed;
  return true;
}

#else

namespace {

struct SpeedCode {
  uint32_t baud;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

}  // namespace

bool SetLineSpeed(int fd, uint32_t baud) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.baud != baud) continue;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfsetispeed(&tio, s.code);
    ::cfsetospeed(&tio, s.code);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
  }
  return false;
}

bool GetLineSpeed(int fd, uint32_t& baud) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  const speed_t code = ::cfgetospeed(&tio);
  for (const SpeedCode& s : kSpeeds) {
    if (s.code == code) {
      baud = s.baud;
      return true;
    }
  }
  return false;
}

#endif

}  // namespace platform::comm_posix
