// The host's serial devices, found in the device directory and numbered by
// the fixed-block rule, or taken from SIO_PORTS.
#include "platform/host_ports.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/serial.h>

namespace sio::platform {

namespace {

constexpr int kPortUnknown = 0;  // PORT_UNKNOWN of the serial core

// What the kernel says of ttyS<k> without touching the line: the port type in
// its class directory. -1 when there is no such file (no sysfs, or not a
// serial-core port).
int SysfsPortType(const std::string& sysClassTtyDir, const std::string& name) {
  std::ifstream file(sysClassTtyDir + "/" + name + "/type");
  int type = -1;
  if (!(file >> type)) return -1;
  return type;
}

// The port type TIOCGSERIAL reports, or -1 when the device cannot be opened
// or is not a serial port. O_NONBLOCK keeps the open from waiting for
// carrier; O_NOCTTY keeps it from becoming our controlling terminal.
int IoctlPortType(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  serial_struct info{};
  const int rc = ::ioctl(fd, TIOCGSERIAL, &info);
  ::close(fd);
  return rc == 0 ? info.type : -1;
}

// The kernel keeps ttyS nodes for UARTs that are not there; only a port
// whose type is known is real.
bool UartAnswers(const PortScanRoots& roots, const std::string& name) {
  const int sysfsType = SysfsPortType(roots.sysClassTtyDir, name);
  if (sysfsType >= 0) return sysfsType != kPortUnknown;
  const int ioctlType = IoctlPortType(roots.devDir + "/" + name);
  return ioctlType > kPortUnknown;
}

// The terminals the kernel writes its console to ("tty0 ttyS0"), by name.
// Probing one types commands into the console and changes its settings under
// whoever uses it, so they are no ports of ours.
std::vector<std::string> ActiveConsoles(const std::string& sysClassTtyDir) {
  std::ifstream file(sysClassTtyDir + "/console/active");
  std::vector<std::string> names;
  std::string name;
  while (file >> name)
    names.push_back(name);
  return names;
}

}  // namespace

std::vector<HostPort> ScanSerialDevices(const PortScanRoots& roots) {
  std::vector<HostPort> ports;
  DIR* dir = ::opendir(roots.devDir.c_str());
  if (dir == nullptr) return ports;
  const std::vector<std::string> consoles = ActiveConsoles(roots.sysClassTtyDir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    uint32_t number = 0;
    if (!ComNumberForDevice(name, number)) continue;
    if (std::find(consoles.begin(), consoles.end(), name) != consoles.end()) continue;
    const std::string path = roots.devDir + "/" + name;
    struct stat info {};
    // A directory of that name is not a device; a dangling link is no
    // device either.
    if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
    const bool ttyS = number <= 32;  // the ttyS block
    if (ttyS && !UartAnswers(roots, name)) continue;
    ports.push_back(HostPort{number, ComName(number), path});
  }
  ::closedir(dir);
  std::sort(ports.begin(), ports.end(),
            [](const HostPort& a, const HostPort& b) { return a.number < b.number; });
  return ports;
}

std::vector<HostPort> HostPortTable() {
  if (const char* override = std::getenv("SIO_PORTS")) return ParsePortOverride(override);
  return ScanSerialDevices();
}

std::vector<RejectedPortEntry> RejectedPortOverrideEntries() {
  std::vector<RejectedPortEntry> rejected;
  if (const char* override = std::getenv("SIO_PORTS")) ParsePortOverride(override, rejected);
  return rejected;
}

bool RegisteredPortNames(std::vector<std::string>& names, std::string& error) {
  error.clear();
  names.clear();
  for (const HostPort& port : HostPortTable())
    names.push_back(port.name);
  return true;
}

bool ListHostPorts(std::vector<HostPort>& ports, std::string& error) {
  error.clear();
  ports = HostPortTable();
  return true;
}

std::string ListedDeviceOf(uint32_t number) {
  std::string path;
  if (!ResolveComDevice(ComName(number), path)) return std::string();
  return path;
}

bool ResolveComDevice(const std::string& name, std::string& path) {
  if (name.find('/') != std::string::npos) {
    path = name;
    return true;
  }
  uint32_t number = 0;
  if (!ParseComName(name, number)) return false;
  for (const HostPort& port : HostPortTable()) {
    if (port.number == number) {
      path = port.path;
      return true;
    }
  }
  return false;
}

}  // namespace sio::platform
