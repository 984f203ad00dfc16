#include "platform/device_access.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sio::platform {

bool DeviceAccessDenied(const std::string& path) {
  if (path.empty()) return false;
  // The effective ids decide an open, so ask with them.
  return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 && errno == EACCES;
}

bool DeviceNodeExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

}  // namespace sio::platform
