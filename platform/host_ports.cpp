// Port names and the rules that turn device names and the override text into
// COM numbers: plain text handling, the same on every host.
#include "platform/host_ports.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace sio::platform {

namespace {

struct DeviceFamily {
  std::string_view prefix;
  uint32_t first;  // COM number of device 0
};

constexpr uint32_t kFamilyBlock = 32;

// Order and blocks are fixed: a family's numbers never move. New families go
// at the end only.
constexpr std::array<DeviceFamily, 18> kFamilies = {{
    {"ttyS", 1},
    {"ttyUSB", 33},
    {"ttyACM", 65},
    {"rfcomm", 97},
    {"ttyAMA", 129},
    {"ttyO", 161},
    {"ttymxc", 193},
    {"ttySAC", 225},
    {"ttyTHS", 257},
    {"ttyMSM", 289},
    {"ttyHS", 321},
    {"ttyLP", 353},
    {"ttySC", 385},
    {"ttyXRUSB", 417},
    {"ttyGS", 449},
    {"ttyAML", 481},
    {"ttyPS", 513},
    {"ttyUL", 545},
}};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Decimal digits only, no sign, no leading zero (so every number has exactly
// one spelling), at most `maxValue`.
bool ParseDecimal(std::string_view text, uint32_t maxValue, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  uint64_t result = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  if (result > maxValue) return false;
  value = static_cast<uint32_t>(result);
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(text[i]) != Upper(prefix[i])) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

}  // namespace

bool ParseComName(std::string_view name, uint32_t& number) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (name.substr(0, kDevicePrefix.size()) == kDevicePrefix)
    name.remove_prefix(kDevicePrefix.size());
  if (!StartsWithNoCase(name, "COM")) return false;
  uint32_t value = 0;
  if (!ParseDecimal(name.substr(3), kMaxComNumber, value) || value == 0) return false;
  number = value;
  return true;
}

std::string ComName(uint32_t number) {
  return "COM" + std::to_string(number);
}

std::string ComDeviceName(uint32_t number) {
  return "\\\\.\\COM" + std::to_string(number);
}

std::vector<HostPort> ParsePortOverride(std::string_view text) {
  std::vector<RejectedPortEntry> ignored;
  return ParsePortOverride(text, ignored);
}

std::vector<HostPort> ParsePortOverride(std::string_view text,
                                        std::vector<RejectedPortEntry>& rejected) {
  constexpr std::string_view kShape = " (expected N=/absolute/path, as in 3=/dev/ttyUSB0)";
  std::vector<HostPort> ports;
  rejected.clear();
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view entry = TrimBlanks(text.substr(0, comma));
    const size_t equals = entry.find('=');
    const std::string_view path =
        equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
    uint32_t number = 0;
    std::string why;
    if (entry.empty()) {
      // Stray commas (",,", a trailing one) name nothing.
    } else if (equals == std::string_view::npos) {
      why = "no \"=\"" + std::string(kShape);
    } else if (!ParseDecimal(entry.substr(0, equals), kMaxComNumber, number) || number == 0) {
      why = "\"" + std::string(entry.substr(0, equals)) +
            "\" is not a port number 1..65535 in decimal without leading zeros" +
            std::string(kShape);
    } else if (path.empty() || path.front() != '/') {
      why = "\"" + std::string(path) + "\" is not an absolute path" + std::string(kShape);
    } else if (path.find(';') != std::string_view::npos) {
      // Most likely ";" was meant to separate entries, as in Windows lists.
      why = "the path holds \";\" (entries are separated by \",\")";
    } else if (path.find('\0') != std::string_view::npos) {
      why = "the path holds a NUL byte";
    } else if (const auto same =
                   std::find_if(ports.begin(), ports.end(),
                                [number](const HostPort& p) { return p.number == number; });
               same != ports.end()) {
      why = "COM" + std::to_string(number) + " is given already (as " + same->path + ")";
    } else {
      ports.push_back(HostPort{number, ComName(number), std::string(path)});
    }
    if (!why.empty()) rejected.push_back(RejectedPortEntry{std::string(entry), why});
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  std::sort(ports.begin(), ports.end(),
            [](const HostPort& a, const HostPort& b) { return a.number < b.number; });
  return ports;
}

bool ComNumberForDevice(std::string_view deviceName, uint32_t& number) {
  for (const DeviceFamily& family : kFamilies) {
    if (deviceName.substr(0, family.prefix.size()) != family.prefix) continue;
    uint32_t index = 0;
    // "ttySAC0" also starts with "ttyS"; the digits test sends it on to its
    // own family.
    if (!ParseDecimal(deviceName.substr(family.prefix.size()), kFamilyBlock - 1, index)) continue;
    number = family.first + index;
    return true;
  }
  return false;
}

bool PortNamesFromRegistryValues(const std::vector<RegistryPortValue>& values,
                                 std::vector<std::string>& names, std::string& error) {
  names.clear();
  error.clear();
  for (const RegistryPortValue& value : values) {
    std::string text;
    if (!value.data.empty()) {
      if (value.type != kRegistryText && value.type != kRegistryExpandText) {
        error = "Invalid data type for '" + value.name + "'";
        return false;
      }
      text = value.data.substr(0, value.data.find('\0'));
    }
    if (text.compare(0, 3, "COM") == 0) names.push_back(text);
  }
  return true;
}

std::vector<HostPort> PortsFromRegisteredNames(const std::vector<std::string>& names) {
  std::vector<HostPort> ports;
  for (const std::string& name : names) {
    uint32_t number = 0;
    if (!ParseComName(name, number)) continue;
    const bool taken = std::any_of(ports.begin(), ports.end(),
                                   [number](const HostPort& p) { return p.number == number; });
    if (!taken) ports.push_back(HostPort{number, ComName(number), ComDeviceName(number)});
  }
  std::stable_sort(ports.begin(), ports.end(),
                   [](const HostPort& a, const HostPort& b) { return a.number < b.number; });
  return ports;
}

const char* PortKindName(PortKind kind) {
  switch (kind) {
    case PortKind::kUsb:
      return "usb";
    case PortKind::kAcm:
      return "acm";
    case PortKind::kBluetooth:
      return "bluetooth";
    case PortKind::kUart:
      return "uart";
    case PortKind::kVirtual:
      return "virtual";
    case PortKind::kUnknown:
      break;
  }
  return "unknown";
}

namespace {

bool IsHexDigit(char c) {
  return IsDigit(c) || (Upper(c) >= 'A' && Upper(c) <= 'F');
}

uint32_t HexValue(std::string_view digits) {
  uint32_t value = 0;
  for (char c : digits)
    value = value * 16 + static_cast<uint32_t>(IsDigit(c) ? c - '0' : Upper(c) - 'A' + 10);
  return value;
}

// The four hex digits after `key` ("VID_") in a device id, where the key
// starts a part of it (after "\", "&" or "+") and the digits end there.
bool IdAfter(std::string_view id, std::string_view key, uint16_t& value) {
  for (size_t at = 0; at + key.size() + 4 <= id.size(); ++at) {
    if (at > 0 && id[at - 1] != '\\' && id[at - 1] != '&' && id[at - 1] != '+') continue;
    if (!StartsWithNoCase(id.substr(at), key)) continue;
    const std::string_view digits = id.substr(at + key.size(), 4);
    const size_t end = at + key.size() + 4;
    if (!std::all_of(digits.begin(), digits.end(), IsHexDigit)) continue;
    if (end < id.size() && IsHexDigit(id[end])) continue;
    value = static_cast<uint16_t>(HexValue(digits));
    return true;
  }
  return false;
}

// "A\B\C" -> {"A", "B", "C"}.
std::vector<std::string_view> IdParts(std::string_view id) {
  std::vector<std::string_view> parts;
  for (size_t from = 0;;) {
    const size_t slash = id.find('\\', from);
    parts.push_back(id.substr(from, slash == std::string_view::npos ? slash : slash - from));
    if (slash == std::string_view::npos) return parts;
    from = slash + 1;
  }
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool HasNoCase(std::string_view text, std::string_view part) {
  for (size_t at = 0; at + part.size() <= text.size(); ++at) {
    if (StartsWithNoCase(text.substr(at), part)) return true;
  }
  return false;
}

// The serial number in a USB device's instance id: "USB\VID_..&PID_..\<serial>".
// Windows makes the last part up, with "&" in it, for a device without one.
std::string UsbSerialOf(std::string_view instanceId) {
  const std::vector<std::string_view> parts = IdParts(instanceId);
  if (parts.size() != 3 || !EqualsNoCase(parts[0], "USB") || HasNoCase(parts[1], "&MI_")) return {};
  if (parts[2].empty() || parts[2].find('&') != std::string_view::npos) return {};
  return std::string(parts[2]);
}

// "...&0&001A7DDA7113_C00000000" -> "00:1A:7D:DA:71:13".
std::string BluetoothAddressOf(std::string_view instanceId) {
  std::string_view last = IdParts(instanceId).back();
  last = last.substr(0, last.find('_'));
  const size_t amp = last.rfind('&');
  if (amp != std::string_view::npos) last.remove_prefix(amp + 1);
  if (last.size() != 12 || !std::all_of(last.begin(), last.end(), IsHexDigit)) return {};
  if (last.find_first_not_of('0') == std::string_view::npos) return {};
  std::string address;
  for (size_t i = 0; i < 12; i += 2) {
    if (i > 0) address += ':';
    address += Upper(last[i]);
    address += Upper(last[i + 1]);
  }
  return address;
}

}  // namespace

PortDescription DescribeSetupApiDevice(const SetupApiPortDevice& device) {
  PortDescription d;
  if (device.instanceId.empty()) return d;
  d.manufacturer = device.manufacturer;
  d.product = device.busReportedName.empty() ? device.deviceDescription : device.busReportedName;
  d.driver = device.service;
  const std::vector<std::string_view> parts = IdParts(device.instanceId);
  const std::string_view enumerator = parts[0];
  uint16_t vendor = 0;
  uint16_t product = 0;
  const bool usb =
      (IdAfter(device.hardwareId, "VID_", vendor) && IdAfter(device.hardwareId, "PID_", product)) ||
      (IdAfter(device.instanceId, "VID_", vendor) && IdAfter(device.instanceId, "PID_", product));
  if (EqualsNoCase(enumerator, "BTHENUM")) {
    d.kind = PortKind::kBluetooth;
    d.bluetoothAddress = BluetoothAddressOf(device.instanceId);
  } else if (usb || EqualsNoCase(enumerator, "USB") || EqualsNoCase(enumerator, "FTDIBUS")) {
    d.kind = EqualsNoCase(device.service, "usbser") ? PortKind::kAcm : PortKind::kUsb;
    d.hasUsbIds = usb;
    d.vendorId = usb ? vendor : 0;
    d.productId = usb ? product : 0;
    if (EqualsNoCase(enumerator, "FTDIBUS") && parts.size() == 3) {
      // VID_0403+PID_6001+<serial><channel letter>
      const std::string_view ids = parts[1];
      const size_t second = ids.find('+', ids.find('+') + 1);
      if (ids.find('+') != std::string_view::npos && second != std::string_view::npos &&
          ids.size() - second > 2 && ids.find('&', second) == std::string_view::npos) {
        d.serialNumber = std::string(ids.substr(second + 1, ids.size() - second - 2));
      }
    } else {
      d.serialNumber = UsbSerialOf(device.instanceId);
      if (d.serialNumber.empty() && HasNoCase(device.instanceId, "&MI_"))
        d.serialNumber = UsbSerialOf(device.parentInstanceId);
    }
  } else if (EqualsNoCase(enumerator, "ACPI") || EqualsNoCase(enumerator, "PCI") ||
             EqualsNoCase(enumerator, "PNP") || EqualsNoCase(enumerator, "ISAPNP") ||
             EqualsNoCase(enumerator, "MF")) {
    d.kind = PortKind::kUart;
  } else {
    d.kind = PortKind::kVirtual;
  }
  return d;
}

}  // namespace sio::platform
