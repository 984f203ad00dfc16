// Line speed of a terminal device. Linux takes any rate through termios2
// (BOTHER); its kernel header clashes with <termios.h>, so this file keeps it
// apart from the rest of the device code. Other systems take the standard
// rates only.
//
// A rate that has a standard code is set by that code on Linux too: real
// drivers turn BOTHER at a standard rate back into the code, but a
// pseudo-terminal keeps BOTHER, and a program at its other end (a device
// simulator, a virtual port) that reads the speed with cfgetospeed() or stty
// would find no speed it knows.
//
// The settings saved at open and put back at close live here too, since on
// Linux only termios2 holds the exact speed.
#include <cstdint>
#include <cstring>

#include "platform/comm_baud_posix.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#else
#include <termios.h>
#endif

namespace sio::platform::comm_posix {

#if defined(__linux__)

namespace {

struct SpeedCode {
  uint32_t baud;
  unsigned code;
};

// Every standard code the kernel has.
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned CodeOf(uint32_t baud) {
  for (const SpeedCode& s : kSpeeds) {
    if (s.baud == baud) return s.code;
  }
  return BOTHER;
}

}  // namespace

bool SetLineSpeed(int fd, uint32_t baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  const unsigned code = CodeOf(baud);
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  // A standard code leaves the input bits 0 (input speed as output), as
  // cfsetispeed() and cfsetospeed() do; the kernel fills in both numbers.
  tio.c_cflag |= code;
  if (code == BOTHER) tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

bool GetLineSpeed(int fd, uint32_t& baud) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  const unsigned code = tio.c_cflag & CBAUD;
  // The code is the speed; only BOTHER leaves the number to c_ospeed.
  for (const SpeedCode& s : kSpeeds) {
    if (s.code == code) {
      baud = s.baud;
      return true;
    }
  }
  baud = tio.c_ospeed;
  return true;
}

// The whole record, speed numbers included.
using SavedRecord = struct termios2;
bool ReadRecord(int fd, SavedRecord& tio) {
  return ::ioctl(fd, TCGETS2, &tio) == 0;
}
bool WriteRecord(int fd, const SavedRecord& tio) {
  return ::ioctl(fd, TCSETS2, &tio) == 0;
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

using SavedRecord = termios;
bool ReadRecord(int fd, SavedRecord& tio) {
  return ::tcgetattr(fd, &tio) == 0;
}
bool WriteRecord(int fd, const SavedRecord& tio) {
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

#endif

static_assert(sizeof(SavedRecord) <= sizeof(SavedLineSettings::bytes));

bool SaveLineSettings(int fd, SavedLineSettings& saved) {
  SavedRecord tio{};
  saved.valid = ReadRecord(fd, tio);
  if (saved.valid) std::memcpy(saved.bytes, &tio, sizeof tio);
  return saved.valid;
}

bool RestoreLineSettings(int fd, const SavedLineSettings& saved) {
  if (!saved.valid) return false;
  SavedRecord tio{};
  std::memcpy(&tio, saved.bytes, sizeof tio);
  return WriteRecord(fd, tio);
}

}  // namespace sio::platform::comm_posix
