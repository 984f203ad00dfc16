// errno onto the Windows error numbers, in one table for every service: the
// number for a file, the number for a serial device where the device's
// drivers (tty, usbserial, cdc_acm, rfcomm) mean something else by it, and
// whether it says the device has gone once it is open.
#include <cerrno>
#include <cstddef>

#include "platform/error_numbers.h"

namespace sio::platform {

namespace {

struct ErrnoTwin {
  int error;
  uint32_t file;
  uint32_t device;
  bool gone;
};

// A port without a device and a path that leads to no device are both a
// port that does not exist: 2 or 3, which the component reports as a bad
// port. A Bluetooth link that cannot be made fails the open as Windows
// fails it for a Bluetooth COM port: a time-out, which costs only that
// port's probe; once the port is open, a link that drops is a device gone.
constexpr ErrnoTwin kTwins[] = {
    // The path
    {ENOENT, errFileNotFound, errFileNotFound, false},
    {ENOTDIR, errPathNotFound, errPathNotFound, false},
    {ELOOP, errCantResolveFilename, errPathNotFound, false},
    {ENAMETOOLONG, errFilenameTooLong, errPathNotFound, false},
    {EISDIR, errAccessDenied, errFileNotFound, false},
    {ENXIO, errBadUnit, errFileNotFound, true},
    {ENODEV, errBadUnit, errFileNotFound, true},
#if defined(ENOMEDIUM)
    {ENOMEDIUM, errNotReady, errNotReady, false},
#endif
    // Permission and other holders
    {EACCES, errAccessDenied, errAccessDenied, false},
    {EPERM, errAccessDenied, errAccessDenied, false},
    {EROFS, errWriteProtect, errAccessDenied, false},
    {EBUSY, errSharingViolation, errAccessDenied, false},
    {ETXTBSY, errSharingViolation, errAccessDenied, false},
    {EAGAIN, errSharingViolation, errAccessDenied, false},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, errSharingViolation, errAccessDenied, false},
#endif
    // Resources
    {EMFILE, errTooManyOpenFiles, errTooManyOpenFiles, false},
    {ENFILE, errTooManyOpenFiles, errTooManyOpenFiles, false},
    {ENOMEM, errNotEnoughMemory, errNotEnoughMemory, false},
    {ENOBUFS, errNoSystemResources, errNoSystemResources, false},
#if defined(ENOSR)
    {ENOSR, errNoSystemResources, errNoSystemResources, false},
#endif
    // A device has no disk to fill: no room is a lack of resources there.
    {ENOSPC, errDiskFull, errNoSystemResources, false},
    {EDQUOT, errDiskFull, errDiskFull, false},
    {EFBIG, errFileTooLarge, errFileTooLarge, false},
    // The call itself
    {EBADF, errInvalidHandle, errInvalidHandle, false},
#if defined(EBADFD)
    {EBADFD, errInvalidHandle, errInvalidHandle, false},
#endif
    {EINVAL, errInvalidParameter, errInvalidParameter, false},
    {EFAULT, errNoAccess, errNoAccess, false},
    {EINTR, errOperationAborted, errOperationAborted, false},
#if defined(ERESTART)
    {ERESTART, errOperationAborted, errOperationAborted, false},
#endif
    {ENOTTY, errNotSupported, errNotSupported, false},
    {ENOSYS, errNotSupported, errNotSupported, false},
    {EOPNOTSUPP, errNotSupported, errNotSupported, false},
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
    {ENOTSUP, errNotSupported, errNotSupported, false},
#endif
    // A file too large for the call's offsets; on a USB device, more data
    // than the transfer had room for, as a damaged transfer is.
    {EOVERFLOW, errFileTooLarge, errCrc, false},
    {EILSEQ, errNoUnicodeTranslation, errCrc, false},
    // The device or the transfer failing
    {EIO, errIoDevice, errDeviceNotConnected, true},
    {EPIPE, errBrokenPipe, errDeviceNotConnected, true},
    {ESHUTDOWN, errDeviceNotConnected, errDeviceNotConnected, true},
    {EPROTO, errIoDevice, errDeviceNotConnected, true},
    // A link to another machine or a Bluetooth device
    {ETIMEDOUT, errSemTimeout, errSemTimeout, false},
    {EHOSTUNREACH, errBadNetPath, errSemTimeout, false},
    {EHOSTDOWN, errBadNetPath, errSemTimeout, false},
    {ENETUNREACH, errBadNetPath, errSemTimeout, false},
    {ENETDOWN, errBadNetPath, errSemTimeout, false},
    {ECONNREFUSED, errBadNetPath, errSemTimeout, false},
    {ECONNRESET, errNetNameDeleted, errSemTimeout, true},
    {ECONNABORTED, errNetNameDeleted, errSemTimeout, true},
    {ENOTCONN, errNetNameDeleted, errSemTimeout, true},
    // Only a Bluetooth link gives these (too many links, one already being
    // made, repeated attempts refused by the device's controller).
    {EMLINK, errSemTimeout, errSemTimeout, false},
    {EALREADY, errSemTimeout, errSemTimeout, false},
    {EINPROGRESS, errSemTimeout, errSemTimeout, false},
#if defined(ENOLINK)
    {ENOLINK, errSemTimeout, errSemTimeout, false},
#endif
#if defined(ECOMM)
    {ECOMM, errSemTimeout, errSemTimeout, false},
#endif
};

const ErrnoTwin* Find(int error) {
  for (const ErrnoTwin& twin : kTwins) {
    if (twin.error == error) return &twin;
  }
  return nullptr;
}

}  // namespace

uint32_t WindowsErrorFromErrno(int error) {
  const ErrnoTwin* twin = Find(error);
  return twin != nullptr ? twin->file : errGenFailure;
}

uint32_t CommErrorFromErrno(int error) {
  const ErrnoTwin* twin = Find(error);
  return twin != nullptr ? twin->device : errGenFailure;
}

bool ErrnoMeansDeviceGone(int error) {
  const ErrnoTwin* twin = Find(error);
  return twin != nullptr && twin->gone;
}

}  // namespace sio::platform
