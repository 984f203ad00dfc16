// Whether the calling user may open a device at all, apart from anyone else
// holding it.
#pragma once

#include <string>

namespace sio::platform {

// True when the device exists but the user lacks the permission to open it
// for reading and writing (POSIX: typically not in the device's group, such
// as "dialout"). Windows grants serial ports to every user: always false.
bool DeviceAccessDenied(const std::string& path);

// Whether the device a port resolves to is there now, judged without opening
// it (an open of a device may reset it or connect to it). POSIX: the device
// file exists; Windows: the system knows the DOS device name ("COMn" of
// "\\.\COMn").
bool DeviceNodeExists(const std::string& path);

}  // namespace sio::platform
