// The serial ports the host has registered, and the device behind each COM
// name.
//
// Windows: the values under HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM;
// the device of "COMn" is "\\.\COMn" itself.
//
// Other hosts have no such list, so one is made: the serial devices the kernel
// has, each with a COM number that depends on that device alone, so that an
// adapter keeps its number whatever else is plugged in. The rule:
//
//   Every device family owns a fixed block of 32 numbers; device <family><k>
//   (k = 0..31, written without leading zeros) is COM(first + k). Devices with
//   k >= 32 are not listed.
//
//     ttyS      COM1   - COM32    on-board and PCI UARTs (only those that exist)
//     ttyUSB    COM33  - COM64    USB serial converters (FTDI, CH340, PL2303, CP210x)
//     ttyACM    COM65  - COM96    USB CDC-ACM devices
//     rfcomm    COM97  - COM128   Bluetooth serial links
//     ttyAMA    COM129 - COM160   ARM PrimeCell UARTs (Raspberry Pi)
//     ttyO      COM161 - COM192   OMAP UARTs (BeagleBone)
//     ttymxc    COM193 - COM224   i.MX UARTs
//     ttySAC    COM225 - COM256   Samsung UARTs
//     ttyTHS    COM257 - COM288   Tegra high-speed UARTs
//     ttyMSM    COM289 - COM320   Qualcomm UARTs
//     ttyHS     COM321 - COM352   Qualcomm high-speed UARTs
//     ttyLP     COM353 - COM384   i.MX low-power UARTs
//     ttySC     COM385 - COM416   SPI/I2C UART bridges
//     ttyXRUSB  COM417 - COM448   Exar USB UARTs
//     ttyGS     COM449 - COM480   USB gadget serial
//     ttyAML    COM481 - COM512   Amlogic UARTs
//     ttyPS     COM513 - COM544   Xilinx Zynq UARTs
//     ttyUL     COM545 - COM576   Xilinx UART Lite
//
//   So ttyS0 is COM1, ttyUSB0 is COM33, ttyACM0 is COM65 and rfcomm0 is
//   COM97. New families are only ever added after the last block.
//
//   The kernel keeps nodes ttyS0..ttySn whether or not a UART sits behind
//   them, so a ttyS device is listed only when a real UART answers: its type in
//   /sys/class/tty/ttyS<k>/type is not 0 (PORT_UNKNOWN), or, where the kernel
//   gives no such file, the device opens (non-blocking, not as a controlling
//   terminal) and TIOCGSERIAL reports a type other than PORT_UNKNOWN. The
//   other families' nodes exist only while their device does.
//
//   A terminal that is the kernel's active console (named in
//   /sys/class/tty/console/active, as with console=ttyS0) is left out: it is
//   somebody's console, not a free port. SIO_PORTS may still name it.
//
//   The environment variable SIO_PORTS replaces the scan entirely when it is
//   set (even to the empty text): "3=/dev/pts/4,7=/tmp/ttyV0" makes COM3 and
//   COM7 those devices. Entries are separated by commas; blanks around an
//   entry are ignored; an entry is a port number 1..65535 in decimal without
//   leading zeros, "=", and an absolute path without ";" (a ";" is taken for
//   a mistaken separator). Entries of any other shape are ignored, and of two
//   entries with the same number the first wins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sio::platform {

// The highest port number a COM name can carry (the port number is 16-bit).
constexpr uint32_t kMaxComNumber = 65535;

// One port of the host's table.
struct HostPort {
  uint32_t number = 0;  // n of "COMn"
  std::string name;     // "COMn"
  std::string path;     // the device to open: "\\.\COMn" on Windows, the device file elsewhere
};

// The registered ports' names in the host's own order. Windows: the data of
// every value under SERIALCOMM whose first three characters are exactly "COM"
// (case-sensitive), as stored, so "COM" alone or "COMx" come through as they
// are; data of size 0 reads as the empty text. Other hosts: "COMn" for every
// port of the table, ascending.
//
// Returns false when a value's data is not text; `error` is then
// "Invalid data type for '<value name>'" and `names` holds what was read
// before it. A missing key is an empty list, not an error.
bool RegisteredPortNames(std::vector<std::string>& names, std::string& error);

// The registered ports that carry a proper COM name ("COM" and a number
// 1..65535), ascending by number, each number once (the first one listed
// wins). Fails as RegisteredPortNames does.
bool ListHostPorts(std::vector<HostPort>& ports, std::string& error);

// The device to open for a port name. "\\.\COMn" and "COMn" (the letters in
// any case) go through the host's table: Windows gives "\\.\COMn"; elsewhere
// the device file of port n, and false when the table has no port n. On
// POSIX hosts a name containing "/" is a device path and resolves to itself;
// on Windows any other non-empty name is passed through unchanged.
bool ResolveComDevice(const std::string& name, std::string& path);

// What a port list shows after port n's number: its device file where the
// COM numbers are ours (POSIX hosts: "/dev/ttyUSB0"), so the user can tell
// which adapter it is; empty where the numbers are the host's own (Windows)
// or the table has no port n.
std::string ListedDeviceOf(uint32_t number);

// "COMn" or "\\.\COMn" (letters in any case, n = 1..65535 in decimal without
// leading zeros) -> n. Anything else -> false.
bool ParseComName(std::string_view name, uint32_t& number);

// "COMn".
std::string ComName(uint32_t number);
// "\\.\COMn".
std::string ComDeviceName(uint32_t number);

// The ports of an SIO_PORTS text (rules above), ascending by number.
std::vector<HostPort> ParsePortOverride(std::string_view text);

// An SIO_PORTS entry that the table leaves out, and why.
struct RejectedPortEntry {
  std::string entry;   // as given, blanks around it removed
  std::string reason;  // what is wrong with it and what was expected
};

// ParsePortOverride, also giving every entry it leaves out (empty ones
// apart), in the order given; a program can refuse such a table.
std::vector<HostPort> ParsePortOverride(std::string_view text,
                                        std::vector<RejectedPortEntry>& rejected);

// The entries of SIO_PORTS that the host's table leaves out; none when the
// variable is not set or the host does not read it (Windows).
std::vector<RejectedPortEntry> RejectedPortOverrideEntries();

// The COM number of a device file name such as "ttyUSB0" under the rule
// above; false for names outside it.
bool ComNumberForDevice(std::string_view deviceName, uint32_t& number);

// One value of the registry's port list as the registry gives it: its name,
// its data type (REG_SZ 1, REG_EXPAND_SZ 2, any other number is not text)
// and its raw data bytes. A value that vanished between listing and reading
// has type 0 and no data.
struct RegistryPortValue {
  std::string name;   // the value's name
  uint32_t type = 0;  // its data type
  std::string data;   // its data, as stored
};
constexpr uint32_t kRegistryText = 1;        // REG_SZ
constexpr uint32_t kRegistryExpandText = 2;  // REG_EXPAND_SZ

// RegisteredPortNames over values already read (the rules above: data of
// size 0 is the empty text, text data ends at its first NUL, a name is kept
// when its text starts with "COM"). Every host compiles it, so the rules are
// tested and fuzzed on any of them.
bool PortNamesFromRegistryValues(const std::vector<RegistryPortValue>& values,
                                 std::vector<std::string>& names, std::string& error);

// ListHostPorts' rule over registered names: proper COM names only,
// ascending by number, the first of a number wins, each opened as "\\.\COMn".
std::vector<HostPort> PortsFromRegisteredNames(const std::vector<std::string>& names);

// Where a scan looks: the device directory and the kernel's tty class
// directory (port types, and the active consoles in console/active). Tests
// point both at directories of their own.
struct PortScanRoots {
  std::string devDir = "/dev";                    // the device directory
  std::string sysClassTtyDir = "/sys/class/tty";  // the kernel's tty class directory
};

// ---- What each port is
//
// Beside the table, what the host knows of the device behind each port, so
// that a user can tell two adapters apart: the kind, the USB ids, the texts
// the device gives and the driver.
//
// Linux reads sysfs, never the device: <sysClassTtyDir>/<name> for the
// device file's name (symbolic links followed, so /dev/serial/by-id/... and
// SIO_PORTS entries that lead to /dev/ttyUSB0 count as ttyUSB0). Its
// "device" link leads to the hardware; the first directory above it with
// idVendor and idProduct is the USB device, whose manufacturer, product and
// serial files hold its texts; the device's "driver" link names the driver.
// rfcomm ports are Bluetooth, their remote address from the kernel's
// RFCOMMGETDEVINFO (on a Bluetooth socket, no privilege needed; asked only
// when the roots are the system's own), else from the tty's "address"
// file. A tty without a "device" link, or a character device that is no
// tty of the class (a pseudo-terminal), is virtual.
//
// Windows asks SetupAPI (loaded from the system's folder at run time, read
// only) for the present devices of the Ports class, matches each to its port
// by the "PortName" value of its device key, and reads its instance and
// hardware ids, the service, the manufacturer and the description.

// The kind of device behind a port.
enum class PortKind {
  kUnknown,    // the host says nothing of it (Windows: no Ports-class device; a plain file)
  kUsb,        // a USB serial converter: FTDI, CH340, CP210x, PL2303, ...
  kAcm,        // a USB CDC-ACM device (Linux: cdc_acm; Windows: usbser)
  kBluetooth,  // a Bluetooth serial link (Linux: rfcomm; Windows: BTHENUM)
  kUart,       // an on-board or expansion-card UART (8250, PCI, ACPI, SoC UARTs)
  kVirtual,    // no hardware of its own: a pseudo-terminal, a gadget's far end, a driver's
};

// "unknown", "usb", "acm", "bluetooth", "uart", "virtual".
const char* PortKindName(PortKind kind);

// What the host knows of the device behind one port.
struct PortDescription {
  PortKind kind = PortKind::kUnknown;  // what the device is
  bool hasUsbIds = false;              // USB and ACM devices
  uint16_t vendorId = 0;               // the USB vendor id, when hasUsbIds
  uint16_t productId = 0;              // the USB product id, likewise
  // Each empty where the host knows none. The texts are the device's own
  // (Linux) or the driver's (Windows: the manufacturer is the driver's,
  // the product the bus-reported name where the system has it).
  std::string manufacturer;
  std::string product;           // the product's name; empty where unknown
  std::string serialNumber;      // its serial number; likewise
  std::string driver;            // Linux: the kernel driver ("ftdi_sio"); Windows: the service
  std::string bluetoothAddress;  // the remote device, "00:1A:7D:DA:71:13"
};

// One description for each port, in the order given.
std::vector<PortDescription> DescribeHostPorts(const std::vector<HostPort>& ports);

// What SetupAPI gives of one Ports-class device, as text.
struct SetupApiPortDevice {
  std::string instanceId;  // "FTDIBUS\VID_0403+PID_6001+A50285BIA\0000"
  std::string hardwareId;  // the first hardware id: "FTDIBUS\COMPORT&VID_0403&PID_6001"
  // The parent's instance id: the USB device of an interface of a
  // composite device ("USB\VID_2341&PID_8036&MI_00\..." has its serial
  // there).
  std::string parentInstanceId;
  std::string service;            // SPDRP_SERVICE: "FTSER2K", "usbser", "BTHMODEM", "Serial"
  std::string manufacturer;       // SPDRP_MFG
  std::string busReportedName;    // DEVPKEY_Device_BusReportedDeviceDesc: "FT232R USB UART"
  std::string deviceDescription;  // SPDRP_DEVICEDESC: "USB Serial Port"
};

// A port's description from SetupAPI's texts. Every host compiles it, so
// the rules are tested on any of them:
//   kind: enumerator BTHENUM is Bluetooth; a VID_xxxx and PID_yyyy in the
//     hardware or instance id is USB, ACM when the service is usbser;
//     ACPI, PCI, PNP and MF (multi-function cards) are UARTs; any other
//     enumerator (ROOT, a virtual-port driver's own) is virtual.
//   serial number: USB\VID_..&PID_..\<serial> (the last part, unless it
//     holds "&": Windows makes such ids up for a device without a serial);
//     an interface (&MI_nn) takes its parent's; FTDIBUS\VID_..+PID_..+<serial
//     and channel letter>\0000 without the channel letter.
//   Bluetooth address: the 12 hex digits before "_" in the last part of a
//     BTHENUM instance id ("...&0&001A7DDA7113_C00000000"), none when all
//     zero (a port not bound to a device).
//   product: the bus-reported name, else the device description.
PortDescription DescribeSetupApiDevice(const SetupApiPortDevice& device);

#ifdef _WIN32
// RegisteredPortNames over another key: under HKEY_CURRENT_USER when
// `currentUser`, else under HKEY_LOCAL_MACHINE. Lets tests read a key of
// their own instead of the machine's port list.
bool RegisteredPortNamesFromKey(bool currentUser, const std::string& keyPath,
                                std::vector<std::string>& names, std::string& error);
#else
// The serial devices under roots.devDir, numbered by the rule above,
// ascending by number. SIO_PORTS is not consulted.
std::vector<HostPort> ScanSerialDevices(const PortScanRoots& roots = PortScanRoots());

// The table in force: SIO_PORTS when set, else ScanSerialDevices().
std::vector<HostPort> HostPortTable();

// The description of the device at `path`, from roots.sysClassTtyDir.
PortDescription DescribeDevice(const std::string& path,
                               const PortScanRoots& roots = PortScanRoots());
#endif

}  // namespace sio::platform
