#include "platform/device_access.h"

#include <windows.h>

namespace sio::platform {

bool DeviceAccessDenied(const std::string&) {
  return false;
}

bool DeviceNodeExists(const std::string& path) {
  const std::string prefix = "\\\\.\\";
  const std::string name =
      path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
  if (name.empty()) return false;
  char target[1024];
  if (::QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) return true;
  return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER;  // there, with a long target
}

}  // namespace sio::platform
