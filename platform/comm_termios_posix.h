// The DCB as a terminal holds it: the fields termios can carry, read out of
// and written into a termios record without touching a device, so that the
// translation is the same in GetState and SetState and can be tested alone.
// Private to the POSIX device code.
#pragma once

#include <termios.h>

#include "platform/comm_types.h"

namespace sio::platform::comm_posix {

// `dcb` with byte size, parity, stop bits, parity checking, CTS output flow,
// XON/XOFF both ways and the two flow characters taken from `t`; the rate and
// every other field are left as they are.
CommDcb DcbFromTermios(const termios& t, const CommDcb& dcb);

// `t` with those fields of `dcb` written in (parity checking only with a
// parity); every other termios setting is left as it is. Mark and space
// parity need CMSPAR; without it they read as no parity.
termios TermiosFromDcb(const CommDcb& dcb, const termios& t);

}  // namespace sio::platform::comm_posix
