// The DCB <-> termios translation of the POSIX device code.
#include "platform/comm_termios_posix.h"

namespace sio::platform::comm_posix {

CommDcb DcbFromTermios(const termios& t, const CommDcb& dcb) {
  CommDcb r = dcb;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      r.ByteSize = 5;
      break;
    case CS6:
      r.ByteSize = 6;
      break;
    case CS7:
      r.ByteSize = 7;
      break;
    default:
      r.ByteSize = 8;
      break;
  }
  const bool odd = (t.c_cflag & PARODD) != 0;
  if (!(t.c_cflag & PARENB)) {
    r.Parity = 0;
#if defined(CMSPAR)
  } else if (t.c_cflag & CMSPAR) {
    r.Parity = odd ? 3 : 4;
#endif
  } else {
    r.Parity = odd ? 1 : 2;
  }
  r.StopBits = (t.c_cflag & CSTOPB) ? (r.ByteSize == 5 ? 1 : 2) : 0;
  auto flag = [&r](uint32_t bit, bool on) { r.Flags = on ? (r.Flags | bit) : (r.Flags & ~bit); };
  flag(dcbOutxCtsFlow, (t.c_cflag & CRTSCTS) != 0);
  flag(dcbOutX, (t.c_iflag & IXON) != 0);
  flag(dcbInX, (t.c_iflag & IXOFF) != 0);
  flag(dcbParity, (t.c_iflag & INPCK) != 0);
  r.XonChar = static_cast<char>(t.c_cc[VSTART]);
  r.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  return r;
}

termios TermiosFromDcb(const CommDcb& dcb, const termios& in) {
  termios t = in;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#if defined(CMSPAR)
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[dcb.ByteSize >= 5 && dcb.ByteSize <= 8 ? dcb.ByteSize - 5 : 3];
  switch (dcb.Parity) {
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
#if defined(CMSPAR)
    case 3:
      t.c_cflag |= PARENB | PARODD | CMSPAR;
      break;
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;
#endif
    default:
      break;
  }
  if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;
  if (dcb.Flags & dcbOutxCtsFlow) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
  if ((dcb.Flags & dcbParity) && dcb.Parity != 0) t.c_iflag |= INPCK;
  if (dcb.Flags & dcbOutX) t.c_iflag |= IXON;
  if (dcb.Flags & dcbInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  return t;
}

}  // namespace sio::platform::comm_posix
