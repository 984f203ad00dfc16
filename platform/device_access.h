// Whether the calling user may open a device at all, apart from anyone else
// holding it.
#pragma once

#include <string>

namespace platform {

// True when the device exists but the user lacks the permission to open it
// for reading and writing (POSIX: typically not in the device's group, such
// as "dialout"). Windows grants serial ports to every user: always false.
bool DeviceAccessDenied(const std::string& path);

}  // namespace platform
