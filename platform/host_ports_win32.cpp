// The registered ports: the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// which every serial driver fills in with its port's COM name.
#include "platform/host_ports.h"

#include <windows.h>

#include <algorithm>

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

bool ResolveComDevice(const std::string& name, std::string& path) {
  if (name.empty()) return false;
  uint32_t number = 0;
  // COM10 and above open only with the device prefix.
  path = ParseComName(name, number) ? ComDeviceName(number) : name;
  return true;
}

}  // namespace sio::platform
