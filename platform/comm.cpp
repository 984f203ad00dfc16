// What every serial device refuses, checked before the device sees it, and
// the decisions the device code of every host shares.
#include "platform/comm.h"

namespace sio::platform {

uint32_t CheckCommDcb(const CommDcb& dcb) {
  if (dcb.BaudRate == 0) return errInvalidParameter;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return errInvalidParameter;
  if (dcb.Parity > 4 || dcb.StopBits > 2) return errInvalidParameter;
  if (dcb.ByteSize == 5 && dcb.StopBits == 2) return errInvalidParameter;
  if (dcb.ByteSize != 5 && dcb.StopBits == 1) return errInvalidParameter;
  if ((dcb.Flags & (dcbOutX | dcbInX)) && dcb.XonChar == dcb.XoffChar) return errInvalidParameter;
  return 0;
}

CommDcb DcbForOpen(const CommDcb& kept, uint32_t askedFor) {
  CommDcb dcb = kept;
  dcb.Flags = (dcb.Flags & ~kOpenClearedDcbFlags) | (askedFor & kOpenClearedDcbFlags);
  return dcb;
}

bool RetryAfterLineError(uint32_t error, uint32_t dcbFlags, bool atOnce, uint32_t lineErrors,
                         uint32_t retries) {
  if (error != errOperationAborted || (dcbFlags & dcbAbortOnError) == 0) return false;
  if (retries >= kLineErrorRetries) return false;
  return atOnce || (lineErrors & kAbortingLineErrors) != 0;
}

uint32_t DeviceCallError(uint32_t error, bool& gone) {
  if (gone) return errDeviceNotConnected;
  switch (error) {
    case 0:
      return errGenFailure;
    // USB serial drivers differ in which of these a device that has gone
    // gives on a handle still open.
    case errAccessDenied:
    case errNotReady:
    case errBadCommand:
    case errGenFailure:
    case errBrokenPipe:
    case errNoSuchDevice:
    case errDeviceNotConnected:
    case errDeviceRemoved:
      gone = true;
      return errDeviceNotConnected;
    default:
      return error;
  }
}

}  // namespace sio::platform
