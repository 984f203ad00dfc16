// The Windows error numbers this layer reports, on every host, so that a
// number (and its negation in the serial layer's codes) means the same to
// every caller whichever system produced it.
#pragma once

#include <cstdint>

namespace sio::platform {

//@{
// The Windows error number of the same name (ERROR_FILE_NOT_FOUND and so on).
constexpr uint32_t errFileNotFound = 2;
constexpr uint32_t errPathNotFound = 3;
constexpr uint32_t errTooManyOpenFiles = 4;
constexpr uint32_t errAccessDenied = 5;
constexpr uint32_t errInvalidHandle = 6;
constexpr uint32_t errNotEnoughMemory = 8;
constexpr uint32_t errWriteProtect = 19;
constexpr uint32_t errBadUnit = 20;
constexpr uint32_t errNotReady = 21;
constexpr uint32_t errBadCommand = 22;
constexpr uint32_t errCrc = 23;
constexpr uint32_t errWriteFault = 29;
constexpr uint32_t errGenFailure = 31;
constexpr uint32_t errSharingViolation = 32;
constexpr uint32_t errNotSupported = 50;
constexpr uint32_t errBadNetPath = 53;
constexpr uint32_t errNetNameDeleted = 64;
constexpr uint32_t errInvalidParameter = 87;
constexpr uint32_t errBrokenPipe = 109;
constexpr uint32_t errDiskFull = 112;
// What Windows reports for a Bluetooth COM port whose device does not answer.
constexpr uint32_t errSemTimeout = 121;
constexpr uint32_t errInvalidName = 123;
constexpr uint32_t errFilenameTooLong = 206;
constexpr uint32_t errFileTooLarge = 223;
constexpr uint32_t errNoSuchDevice = 433;
constexpr uint32_t errOperationAborted = 995;
constexpr uint32_t errIoIncomplete = 996;
constexpr uint32_t errIoPending = 997;
constexpr uint32_t errNoAccess = 998;
constexpr uint32_t errNoUnicodeTranslation = 1113;
constexpr uint32_t errIoDevice = 1117;
constexpr uint32_t errDeviceNotConnected = 1167;
constexpr uint32_t errNotFound = 1168;
constexpr uint32_t errInvalidWindowHandle = 1400;
constexpr uint32_t errNoSystemResources = 1450;
constexpr uint32_t errTimeout = 1460;
constexpr uint32_t errDeviceRemoved = 1617;
constexpr uint32_t errCantResolveFilename = 1921;
//@}

#ifndef _WIN32
// The number a Windows program would see for the same failure of a file
// call. errno values without a twin become 31.
uint32_t WindowsErrorFromErrno(int error);
// The same for the open of a serial device and the calls on it: where a
// device means something else by an errno (a busy port, a Bluetooth link
// that cannot be made, a path that leads to no device), the number Windows
// gives for that port.
uint32_t CommErrorFromErrno(int error);
// Whether the errno, from a call on an open serial device, says that the
// device has gone (hang-up, adapter pulled, link lost): the call then
// reports 1167.
bool ErrnoMeansDeviceGone(int error);
#endif

}  // namespace sio::platform
