// Error texts and the host description. The layer's error numbers are the
// Windows ones on every host, so their texts are Windows' own, as
// FormatMessage gives them (line break included): the C library's text for
// the same number would name another error.
#include "platform/os_info.h"

#include <cerrno>
#include <cstdlib>

#include <sys/utsname.h>

#include "platform/error_numbers.h"

namespace sio::platform {

namespace {

struct SystemText {
  uint32_t number;
  const char* text;
};

// Every number the layer produces, and those of the file and I/O codes that
// have no text of their own in the serial layer's table.
constexpr SystemText kSystemTexts[] = {
    {errFileNotFound, "The system cannot find the file specified.\r\n"},
    {errPathNotFound, "The system cannot find the path specified.\r\n"},
    {errTooManyOpenFiles, "The system cannot open the file.\r\n"},
    {errAccessDenied, "Access is denied.\r\n"},
    {errInvalidHandle, "The handle is invalid.\r\n"},
    {errNotEnoughMemory, "Not enough memory resources are available to process this command.\r\n"},
    {errWriteProtect, "The media is write protected.\r\n"},
    {errBadUnit, "The system cannot find the device specified.\r\n"},
    {errNotReady, "The device is not ready.\r\n"},
    {errBadCommand, "The device does not recognize the command.\r\n"},
    {errCrc, "Data error (cyclic redundancy check).\r\n"},
    {errWriteFault, "The system cannot write to the specified device.\r\n"},
    {errGenFailure, "A device attached to the system is not functioning.\r\n"},
    {errSharingViolation,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {errNotSupported, "The request is not supported.\r\n"},
    {errBadNetPath, "The network path was not found.\r\n"},
    {errNetNameDeleted, "The specified network name is no longer available.\r\n"},
    {errInvalidParameter, "The parameter is incorrect.\r\n"},
    {errBrokenPipe, "The pipe has been ended.\r\n"},
    {errDiskFull, "There is not enough space on the disk.\r\n"},
    {errSemTimeout, "The semaphore timeout period has expired.\r\n"},
    {errInvalidName, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {errFilenameTooLong, "The filename or extension is too long.\r\n"},
    {errFileTooLarge, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {errNoSuchDevice, "A device which does not exist was specified.\r\n"},
    {errOperationAborted,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request.\r\n"},
    {errIoIncomplete, "Overlapped I/O event is not in a signaled state.\r\n"},
    {errIoPending, "Overlapped I/O operation is in progress.\r\n"},
    {errNoAccess, "Invalid access to memory location.\r\n"},
    {errNoUnicodeTranslation,
     "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {errIoDevice, "The request could not be performed because of an I/O device error.\r\n"},
    {errDeviceNotConnected, "The device is not connected.\r\n"},
    {errNotFound, "Element not found.\r\n"},
    {errInvalidWindowHandle, "Invalid window handle.\r\n"},
    {errNoSystemResources,
     "Insufficient system resources exist to complete the requested service.\r\n"},
    {errTimeout, "This operation returned because the timeout period expired.\r\n"},
    {errDeviceRemoved, "The device has been removed.\r\n"},
    {errCantResolveFilename, "The name of the file cannot be resolved by the system.\r\n"},
};

}  // namespace

std::string SystemErrorText(uint32_t errorNumber) {
  for (const SystemText& entry : kSystemTexts) {
    if (entry.number == errorNumber) return entry.text;
  }
  return std::string();
}

uint32_t LastSystemError() {
  // In the layer's numbering, like every other error it reports.
  const int error = errno;
  return error == 0 ? 0 : WindowsErrorFromErrno(error);
}

std::string DescribeOperatingSystem() {
  utsname name{};
  if (uname(&name) != 0) return "Unknown";
  // The release starts "major.minor"; what follows (patch level, flavour)
  // is left out as the version record leaves out the build.
  char* end = nullptr;
  const unsigned long major = std::strtoul(name.release, &end, 10);
  unsigned long minor = 0;
  if (end != nullptr && *end == '.') minor = std::strtoul(end + 1, nullptr, 10);
  return std::string(name.sysname) + " " + std::to_string(major) + "." + std::to_string(minor) +
         " " + name.version;
}

}  // namespace sio::platform
