// The registered ports: the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which every serial driver fills in with its port's COM name; what each
// port is, from SetupAPI's Ports class.
#include "platform/host_ports.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <map>

#include "platform/dll_search_win32.h"
#include "platform/text_win32.h"

namespace sio::platform {

namespace {

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
static_assert(kRegistryText == REG_SZ && kRegistryExpandText == REG_EXPAND_SZ,
              "the portable rules name the registry's text types by their numbers");

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() {
    if (key_ != nullptr) ::RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // A key that cannot be opened is read as a key without values.
  void OpenForReading(HKEY root, const char* path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, path, 0, KEY_READ, &key) == ERROR_SUCCESS) key_ = key;
  }

  std::vector<std::string> ValueNames() const {
    std::vector<std::string> names;
    if (key_ == nullptr) return names;
    DWORD maxNameLength = 0;
    if (::RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &maxNameLength, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return names;
    }
    std::vector<char> buffer(static_cast<size_t>(maxNameLength) + 1);
    for (DWORD index = 0;; ++index) {
      DWORD length = static_cast<DWORD>(buffer.size());
      const LSTATUS rc =
          ::RegEnumValueA(key_, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_MORE_DATA) {
        // A value added since the size query: grow and read the same index.
        buffer.resize(buffer.size() * 2 + 256);
        --index;
        continue;
      }
      if (rc != ERROR_SUCCESS) break;
      names.emplace_back(buffer.data(), length);
    }
    return names;
  }

  // The value's type and raw data; a value gone since it was listed reads
  // as type 0 without data.
  RegistryPortValue ReadValue(const std::string& name) const {
    RegistryPortValue value;
    value.name = name;
    if (key_ == nullptr) return value;
    std::vector<BYTE> data(64);
    DWORD type = REG_NONE;
    LSTATUS rc = ERROR_MORE_DATA;
    DWORD size = 0;
    while (rc == ERROR_MORE_DATA) {
      size = static_cast<DWORD>(data.size());
      rc = ::RegQueryValueExA(key_, name.c_str(), nullptr, &type, data.data(), &size);
      if (rc == ERROR_MORE_DATA) data.resize(std::max<size_t>(size, data.size() * 2));
    }
    if (rc != ERROR_SUCCESS) return value;
    value.type = type;
    value.data.assign(reinterpret_cast<const char*>(data.data()), size);
    return value;
  }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

bool RegisteredPortNamesFromKey(bool currentUser, const std::string& keyPath,
                                std::vector<std::string>& names, std::string& error) {
  RegistryKey key;
  key.OpenForReading(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, keyPath.c_str());
  std::vector<RegistryPortValue> values;
  for (const std::string& valueName : key.ValueNames())
    values.push_back(key.ReadValue(valueName));
  return PortNamesFromRegistryValues(values, names, error);
}

// The registry is the list here; SIO_PORTS is not read.
std::vector<RejectedPortEntry> RejectedPortOverrideEntries() {
  return {};
}

bool RegisteredPortNames(std::vector<std::string>& names, std::string& error) {
  return RegisteredPortNamesFromKey(false, kSerialCommKey, names, error);
}

bool ListHostPorts(std::vector<HostPort>& ports, std::string& error) {
  std::vector<std::string> names;
  const bool ok = RegisteredPortNames(names, error);
  ports = PortsFromRegisteredNames(names);
  return ok;
}

std::string ListedDeviceOf(uint32_t) {
  return std::string();
}

namespace {

// Text up to its first NUL (of a multi-string: its first string).
std::string NarrowFirst(const std::vector<wchar_t>& text) {
  size_t n = 0;
  while (n < text.size() && text[n] != L'\0')
    ++n;
  return NarrowUtf16(text.data(), n);
}

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  FARPROC proc = module == nullptr ? nullptr : ::GetProcAddress(module, name);
  // Through the generic function type, which converts to any other without
  // a cast-function-type warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

// setupapi.dll, taken from the system's folder at run time: an import
// would be one more DLL for the loader to look for beside the program. Only
// reading functions; the device property and the parent are optional
// (Windows Vista, and setupapi's configuration-manager exports).
struct SetupApi {
  decltype(&::SetupDiGetClassDevsW) getClassDevs = nullptr;
  decltype(&::SetupDiEnumDeviceInfo) enumDeviceInfo = nullptr;
  decltype(&::SetupDiDestroyDeviceInfoList) destroyList = nullptr;
  decltype(&::SetupDiOpenDevRegKey) openDevRegKey = nullptr;
  decltype(&::SetupDiGetDeviceInstanceIdW) getInstanceId = nullptr;
  decltype(&::SetupDiGetDeviceRegistryPropertyW) getRegistryProperty = nullptr;
  decltype(&::SetupDiGetDevicePropertyW) getProperty = nullptr;
  decltype(&::CM_Get_Parent) getParent = nullptr;
  decltype(&::CM_Get_Device_IDW) getDeviceId = nullptr;
  bool Usable() const {
    return getClassDevs != nullptr && enumDeviceInfo != nullptr && destroyList != nullptr &&
           openDevRegKey != nullptr && getInstanceId != nullptr && getRegistryProperty != nullptr;
  }
};

const SetupApi& Setup() {
  static const SetupApi api = [] {
    SetupApi found;
    HMODULE module = LoadSystemDll(L"setupapi.dll");
    found.getClassDevs = Lookup<decltype(found.getClassDevs)>(module, "SetupDiGetClassDevsW");
    found.enumDeviceInfo = Lookup<decltype(found.enumDeviceInfo)>(module, "SetupDiEnumDeviceInfo");
    found.destroyList = Lookup<decltype(found.destroyList)>(module, "SetupDiDestroyDeviceInfoList");
    found.openDevRegKey = Lookup<decltype(found.openDevRegKey)>(module, "SetupDiOpenDevRegKey");
    found.getInstanceId =
        Lookup<decltype(found.getInstanceId)>(module, "SetupDiGetDeviceInstanceIdW");
    found.getRegistryProperty =
        Lookup<decltype(found.getRegistryProperty)>(module, "SetupDiGetDeviceRegistryPropertyW");
    found.getProperty = Lookup<decltype(found.getProperty)>(module, "SetupDiGetDevicePropertyW");
    found.getParent = Lookup<decltype(found.getParent)>(module, "CM_Get_Parent");
    found.getDeviceId = Lookup<decltype(found.getDeviceId)>(module, "CM_Get_Device_IDW");
    return found;
  }();
  return api;
}

// {4D36E978-E325-11CE-BFC1-08002BE10318}: GUID_DEVCLASS_PORTS, here so
// that no GUID library is linked.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// DEVPKEY_Device_BusReportedDeviceDesc: the product text the device gives.
constexpr DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(const SetupApi& api)
      : api_(api), set_(api.getClassDevs(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT)) {}
  ~DeviceInfoSet() {
    if (set_ != INVALID_HANDLE_VALUE) api_.destroyList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  bool Next(DWORD index, SP_DEVINFO_DATA& data) const {
    data = SP_DEVINFO_DATA{};
    data.cbSize = sizeof data;
    return set_ != INVALID_HANDLE_VALUE && api_.enumDeviceInfo(set_, index, &data);
  }

  // The "PortName" value of the device's own key: "COM5".
  std::string PortName(SP_DEVINFO_DATA& data) const {
    HKEY key = api_.openDevRegKey(set_, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return std::string();
    std::vector<wchar_t> text(64, L'\0');
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    const LSTATUS rc = ::RegQueryValueExW(key, L"PortName", nullptr, &type,
                                          reinterpret_cast<BYTE*>(text.data()), &size);
    ::RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return std::string();
    return NarrowFirst(text);
  }

  std::string InstanceId(SP_DEVINFO_DATA& data) const {
    std::vector<wchar_t> text(MAX_DEVICE_ID_LEN + 1, L'\0');
    if (!api_.getInstanceId(set_, &data, text.data(), static_cast<DWORD>(text.size()), nullptr))
      return std::string();
    return NarrowFirst(text);
  }

  std::string ParentInstanceId(const SP_DEVINFO_DATA& data) const {
    if (api_.getParent == nullptr || api_.getDeviceId == nullptr) return std::string();
    DEVINST parent = 0;
    if (api_.getParent(&parent, data.DevInst, 0) != CR_SUCCESS) return std::string();
    std::vector<wchar_t> text(MAX_DEVICE_ID_LEN + 1, L'\0');
    if (api_.getDeviceId(parent, text.data(), static_cast<ULONG>(text.size() - 1), 0) !=
        CR_SUCCESS) {
      return std::string();
    }
    return NarrowFirst(text);
  }

  // A text property (of a multi-string, the first string).
  std::string Property(SP_DEVINFO_DATA& data, DWORD property) const {
    std::vector<wchar_t> text(256, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
      DWORD type = REG_NONE;
      DWORD required = 0;
      const DWORD bytes = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
      if (api_.getRegistryProperty(set_, &data, property, &type,
                                   reinterpret_cast<BYTE*>(text.data()), bytes, &required)) {
        return type == REG_SZ || type == REG_MULTI_SZ ? NarrowFirst(text) : std::string();
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
      text.assign(required / sizeof(wchar_t) + 2, L'\0');
    }
    return std::string();
  }

  std::string BusReportedName(SP_DEVINFO_DATA& data) const {
    if (api_.getProperty == nullptr) return std::string();
    std::vector<wchar_t> text(256, L'\0');
    DEVPROPTYPE type = 0;
    const DWORD bytes = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    if (!api_.getProperty(set_, &data, &kBusReportedDeviceDesc, &type,
                          reinterpret_cast<BYTE*>(text.data()), bytes, nullptr, 0) ||
        type != DEVPROP_TYPE_STRING) {
      return std::string();
    }
    return NarrowFirst(text);
  }

 private:
  const SetupApi& api_;
  HDEVINFO set_;
};

// The present Ports-class devices by COM number.
std::map<uint32_t, SetupApiPortDevice> PortsClassDevices() {
  std::map<uint32_t, SetupApiPortDevice> devices;
  const SetupApi& api = Setup();
  if (!api.Usable()) return devices;
  const DeviceInfoSet set(api);
  SP_DEVINFO_DATA data;
  for (DWORD index = 0; set.Next(index, data); ++index) {
    uint32_t number = 0;
    if (!ParseComName(set.PortName(data), number) || devices.count(number) != 0) continue;
    SetupApiPortDevice& device = devices[number];
    device.instanceId = set.InstanceId(data);
    device.hardwareId = set.Property(data, SPDRP_HARDWAREID);
    device.parentInstanceId = set.ParentInstanceId(data);
    device.service = set.Property(data, SPDRP_SERVICE);
    device.manufacturer = set.Property(data, SPDRP_MFG);
    device.busReportedName = set.BusReportedName(data);
    device.deviceDescription = set.Property(data, SPDRP_DEVICEDESC);
  }
  return devices;
}

}  // namespace

std::vector<PortDescription> DescribeHostPorts(const std::vector<HostPort>& ports) {
  const std::map<uint32_t, SetupApiPortDevice> devices = PortsClassDevices();
  std::vector<PortDescription> descriptions;
  for (const HostPort& port : ports) {
    const auto found = devices.find(port.number);
    descriptions.push_back(found == devices.end() ? PortDescription()
                                                  : DescribeSetupApiDevice(found->second));
  }
  return descriptions;
}

bool ResolveComDevice(const std::string& name, std::string& path) {
  if (name.empty()) return false;
  uint32_t number = 0;
  // COM10 and above open only with the device prefix.
  path = ParseComName(name, number) ? ComDeviceName(number) : name;
  return true;
}

}  // namespace sio::platform
