// errno onto the Windows error numbers, once for every service.
#include <cerrno>

#include "platform/error_numbers.h"

namespace platform {

uint32_t WindowsErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return errFileNotFound;
    case ENOTDIR:
      return errPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return errAccessDenied;
    case EMFILE:
    case ENFILE:
      return errTooManyOpenFiles;
    case EBADF:
      return errInvalidHandle;
    case ENOMEM:
      return errNotEnoughMemory;
    case EBUSY:
    case ETXTBSY:
      return errSharingViolation;
    case EINVAL:
      return errInvalidParameter;
    case ENOSPC:
    case EDQUOT:
      return errDiskFull;
    case ELOOP:
      return errInvalidName;
    case ENAMETOOLONG:
      return errFilenameTooLong;
    case EIO:
      return errIoDevice;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return errNotSupported;
    default:
      return errGenFailure;
  }
}

}  // namespace platform
