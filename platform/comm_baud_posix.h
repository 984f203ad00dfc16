// Kept apart from the rest of the device code because Linux sets any line
// speed only through termios2 from <asm/termbits.h>, which clashes with
// <termios.h>: comm_baud_posix.cpp includes the one, comm_posix.cpp the
// other, and this header, which includes neither, is all they share.
// Private to the POSIX device code.
#pragma once

#include <cstdint>

namespace platform::comm_posix {

// Sets both directions to `baud`: any rate on Linux, the standard rates
// elsewhere. False when the device does not take it (errno tells why).
bool SetLineSpeed(int fd, uint32_t baud);
// The output speed. False when it cannot be read or is no known rate.
bool GetLineSpeed(int fd, uint32_t& baud);

}  // namespace platform::comm_posix
