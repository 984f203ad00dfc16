// TCGETS2 reports any speed, including those set with BOTHER, as a number.
// Its header cannot share a translation unit with <termios.h>, hence this
// file of its own.
#include "tools/elm327-sim/pty_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace elmsim {

namespace {

uint32_t SpeedOfCode(unsigned code) {
  struct Entry {
    unsigned code;
    uint32_t baud;
  };
  static constexpr Entry kTable[] = {
      {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
      {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
      {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
      {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000},
  };
  for (const Entry& entry : kTable) {
    if (entry.code == code) return entry.baud;
  }
  return 0;
}

}  // namespace

uint32_t TerminalSpeed(int fd) {
  termios2 settings{};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return 0;
  const unsigned code = settings.c_cflag & CBAUD;
  // A standard code is the speed; c_ospeed may lag behind it after a plain
  // TCSETS. Only BOTHER leaves the number to c_ospeed.
  if (code == BOTHER) return settings.c_ospeed;
  const uint32_t baud = SpeedOfCode(code);
  return baud != 0 ? baud : settings.c_ospeed;
}

}  // namespace elmsim
