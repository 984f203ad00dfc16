// The host's serial devices, found in the device directory and numbered by
// the fixed-block rule, or taken from SIO_PORTS.
#include "platform/host_ports.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <linux/serial.h>
#include <sys/socket.h>

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

namespace fs = std::filesystem;

// The first line of a sysfs attribute, blanks around it removed; empty
// when there is no such file.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  const size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
}

// "0403" -> 0x0403; false for anything but one to four hex digits.
bool HexId(const std::string& text, uint16_t& value) {
  if (text.empty() || text.size() > 4) return false;
  uint32_t v = 0;
  for (char c : text) {
    const int digit = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                               : -1;
    if (digit < 0) return false;
    v = v * 16 + static_cast<uint32_t>(digit);
  }
  value = static_cast<uint16_t>(v);
  return true;
}

// "00:1a:7d:da:71:13" as "00:1A:7D:DA:71:13"; empty for anything else and
// for the zero address.
std::string BluetoothAddress(const std::string& text) {
  if (text.size() != 17 || text == "00:00:00:00:00:00") return std::string();
  std::string address = text;
  for (size_t i = 0; i < address.size(); ++i) {
    char& c = address[i];
    if (i % 3 == 2) {
      if (c != ':') return std::string();
      continue;
    }
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::string();
  }
  return address;
}

// The remote address of /dev/rfcomm<index> as the kernel's rfcomm layer
// gives it (what "rfcomm show" prints): RFCOMMGETDEVINFO on a Bluetooth
// socket, which needs no privilege. Empty without Bluetooth in the kernel.
std::string RfcommRemoteAddress(uint32_t index) {
  constexpr int kAfBluetooth = 31;   // AF_BLUETOOTH
  constexpr int kBtProtoRfcomm = 3;  // BTPROTO_RFCOMM
  // struct rfcomm_dev_info of the kernel; bdaddr_t is six bytes, the last
  // one first.
  struct RfcommDevInfo {
    int16_t id;
    uint32_t flags;
    uint16_t state;
    uint8_t src[6];
    uint8_t dst[6];
    uint8_t channel;
  };
  static_assert(sizeof(RfcommDevInfo) == 24, "the kernel's struct rfcomm_dev_info");
  constexpr unsigned long kRfcommGetDevInfo = _IOR('R', 211, int);
  const int s = ::socket(kAfBluetooth, SOCK_RAW | SOCK_CLOEXEC, kBtProtoRfcomm);
  if (s < 0) return std::string();
  RfcommDevInfo info{};
  info.id = static_cast<int16_t>(index);
  const int rc = ::ioctl(s, kRfcommGetDevInfo, &info);
  ::close(s);
  if (rc != 0) return std::string();
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", info.dst[5], info.dst[4],
                info.dst[3], info.dst[2], info.dst[1], info.dst[0]);
  return BluetoothAddress(text);
}

// The USB device a tty's hardware belongs to: the first directory at or
// above it with idVendor and idProduct, up to sysfs' devices directory.
bool FindUsbDevice(fs::path dir, fs::path& usb) {
  for (int depth = 0; depth < 16 && !dir.empty() && dir.filename() != "devices"; ++depth) {
    std::error_code ignored;
    if (fs::exists(dir / "idVendor", ignored) && fs::exists(dir / "idProduct", ignored)) {
      usb = dir;
      return true;
    }
    if (dir == dir.parent_path()) break;
    dir = dir.parent_path();
  }
  return false;
}

}  // namespace

PortDescription DescribeDevice(const std::string& path, const PortScanRoots& roots) {
  PortDescription d;
  std::error_code error;
  // Links followed: /dev/serial/by-id/... and an SIO_PORTS link are the
  // device they lead to.
  const fs::path device = fs::weakly_canonical(path, error);
  const std::string name = error ? std::string() : device.filename().string();
  const fs::path tty = fs::path(roots.sysClassTtyDir) / name;
  if (name.empty() || name == "." || name == ".." || !fs::exists(tty, error)) {
    // No tty of the class: a pseudo-terminal (or another character device)
    // is virtual; anything else the host says nothing of.
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) d.kind = PortKind::kVirtual;
    return d;
  }
  if (name.compare(0, 6, "rfcomm") == 0) {
    d.kind = PortKind::kBluetooth;
    d.driver = "rfcomm";
    // The running kernel answers for its own sysfs only; a tree of a test's
    // own has the attribute the kernel writes as well.
    const std::string index = name.substr(6);
    if (roots.sysClassTtyDir == PortScanRoots().sysClassTtyDir && !index.empty() &&
        index.size() <= 3 && index.find_first_not_of("0123456789") == std::string::npos) {
      d.bluetoothAddress = RfcommRemoteAddress(static_cast<uint32_t>(std::stoul(index)));
    }
    if (d.bluetoothAddress.empty())
      d.bluetoothAddress = BluetoothAddress(Attribute(tty / "address"));
    return d;
  }
  const fs::path hardware = fs::canonical(tty / "device", error);
  if (error) {
    d.kind = PortKind::kVirtual;  // a gadget's far end, a console, ...
    return d;
  }
  const fs::path driver = fs::canonical(hardware / "driver", error);
  if (!error) d.driver = driver.filename().string();
  fs::path usb;
  if (!FindUsbDevice(hardware, usb) || !HexId(Attribute(usb / "idVendor"), d.vendorId) ||
      !HexId(Attribute(usb / "idProduct"), d.productId)) {
    d.kind = PortKind::kUart;
    d.vendorId = d.productId = 0;
    return d;
  }
  d.hasUsbIds = true;
  d.kind = d.driver == "cdc_acm" ? PortKind::kAcm : PortKind::kUsb;
  d.manufacturer = Attribute(usb / "manufacturer");
  d.product = Attribute(usb / "product");
  d.serialNumber = Attribute(usb / "serial");
  return d;
}

std::vector<PortDescription> DescribeHostPorts(const std::vector<HostPort>& ports) {
  std::vector<PortDescription> descriptions;
  for (const HostPort& port : ports)
    descriptions.push_back(DescribeDevice(port.path));
  return descriptions;
}

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
