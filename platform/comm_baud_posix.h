// Line speed and the saved settings of a terminal. Kept apart from the rest
// of the device code because Linux sets any line speed only through termios2 from <asm/termbits.h>,
// which clashes with <termios.h>: comm_baud_posix.cpp includes the one, comm_posix.cpp the other,
// and this header, which includes neither, is all they share. Private to the POSIX device code.
#pragma once

#include <cstdint>

namespace sio::platform::comm_posix {

// Sets both directions to `baud`: any rate on Linux, the standard rates
// elsewhere. A standard rate is always set by its standard code, so that
// cfgetospeed() at either end of the line reads it. False when the device
// does not take it (errno tells why).
bool SetLineSpeed(int fd, uint32_t baud);
// The output speed. False when it cannot be read or is no known rate.
bool GetLineSpeed(int fd, uint32_t& baud);

// A terminal's settings as they were at one moment, the exact speed included
// (on Linux the termios2 record, on other systems the termios one), kept as
// bytes so that neither header is needed here.
struct SavedLineSettings {
  alignas(8) unsigned char bytes[128];
  bool valid = false;
};

// False (and `saved` not valid) when the settings cannot be read.
bool SaveLineSettings(int fd, SavedLineSettings& saved);
// Puts them back at once, without waiting for output to drain. False when
// `saved` is not valid or the device refuses.
bool RestoreLineSettings(int fd, const SavedLineSettings& saved);

}  // namespace sio::platform::comm_posix
