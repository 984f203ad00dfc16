// What every serial device refuses, checked before the device sees it.
#include "platform/comm.h"

namespace platform {

uint32_t CheckCommDcb(const CommDcb& dcb) {
  if (dcb.BaudRate == 0) return errInvalidParameter;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return errInvalidParameter;
  if (dcb.Parity > 4 || dcb.StopBits > 2) return errInvalidParameter;
  if (dcb.ByteSize == 5 && dcb.StopBits == 2) return errInvalidParameter;
  if (dcb.ByteSize != 5 && dcb.StopBits == 1) return errInvalidParameter;
  if ((dcb.Flags & (dcbOutX | dcbInX)) && dcb.XonChar == dcb.XoffChar) return errInvalidParameter;
  return 0;
}

}  // namespace platform
