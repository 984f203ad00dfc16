// The Windows error numbers this layer reports, on every host, so that a
// number (and its negation in the serial layer's codes) means the same to
// every caller whichever system produced it.
#pragma once

#include <cstdint>

namespace platform {

constexpr uint32_t errFileNotFound = 2;
constexpr uint32_t errPathNotFound = 3;
constexpr uint32_t errTooManyOpenFiles = 4;
constexpr uint32_t errAccessDenied = 5;
constexpr uint32_t errInvalidHandle = 6;
constexpr uint32_t errNotEnoughMemory = 8;
constexpr uint32_t errNotReady = 21;
constexpr uint32_t errBadCommand = 22;
constexpr uint32_t errWriteFault = 29;
constexpr uint32_t errGenFailure = 31;
constexpr uint32_t errSharingViolation = 32;
constexpr uint32_t errNotSupported = 50;
constexpr uint32_t errInvalidParameter = 87;
constexpr uint32_t errBrokenPipe = 109;
constexpr uint32_t errDiskFull = 112;
constexpr uint32_t errInvalidName = 123;
constexpr uint32_t errFilenameTooLong = 206;
constexpr uint32_t errNoSuchDevice = 433;
constexpr uint32_t errOperationAborted = 995;
constexpr uint32_t errIoIncomplete = 996;
constexpr uint32_t errIoPending = 997;
constexpr uint32_t errIoDevice = 1117;
constexpr uint32_t errDeviceNotConnected = 1167;
constexpr uint32_t errNotFound = 1168;
constexpr uint32_t errInvalidWindowHandle = 1400;
constexpr uint32_t errTimeout = 1460;
constexpr uint32_t errDeviceRemoved = 1617;

#ifndef _WIN32
// The number a Windows program would see for the same failure of a file or
// device call. A service whose calls give an errno its own meaning (a busy
// serial device, a missing directory on the way to a file) refines this.
uint32_t WindowsErrorFromErrno(int error);
#endif

}  // namespace platform
