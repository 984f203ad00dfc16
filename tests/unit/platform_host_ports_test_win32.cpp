// The registered ports on Windows: values of a registry key read the way the
// port list reads SERIALCOMM. The tests fill a key of their own under
// HKEY_CURRENT_USER, so the machine's port list is never touched.
#include "platform/host_ports.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr char kTestKey[] = "Software\\KelvaneSioTests\\SERIALCOMM";

class RegistryPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KelvaneSioTests");
    ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    if (key_ != nullptr) ::RegCloseKey(key_);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\KelvaneSioTests");
  }

  void SetText(const char* name, const std::string& data) {
    ASSERT_EQ(::RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                               static_cast<DWORD>(data.size() + 1)),
              ERROR_SUCCESS);
  }
  void SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }

  bool Read(std::vector<std::string>& names, std::string& error) {
    return sio::platform::RegisteredPortNamesFromKey(true, kTestKey, names, error);
  }

  HKEY key_ = nullptr;
};

TEST_F(RegistryPorts, KeepsDataBeginningWithComInRegistryOrder) {
  SetText("\\Device\\Serial0", "COM10");
  SetText("\\Device\\Serial1", "COM2");
  SetText("\\Device\\Serial2", "com4");
  SetText("\\Device\\Serial3", "LPT1");
  SetText("\\Device\\Serial4", "COM1");
  SetText("\\Device\\Serial5", "COMx");
  SetText("\\Device\\Serial6", "COM");
  SetText("\\Device\\Serial7", " COM5");

  // The registry's own enumeration order is the order to keep.
  std::vector<std::string> expected;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD nameLength = sizeof name;
    BYTE data[256];
    DWORD dataLength = sizeof data;
    if (::RegEnumValueA(key_, index, name, &nameLength, nullptr, nullptr, data, &dataLength) !=
        ERROR_SUCCESS) {
      break;
    }
    const std::string text(reinterpret_cast<const char*>(data));
    if (text.compare(0, 3, "COM") == 0) expected.push_back(text);
  }
  ASSERT_EQ(expected.size(), 5u);

  std::vector<std::string> names;
  std::string error = "stale";
  ASSERT_TRUE(Read(names, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(names, expected);
}

TEST_F(RegistryPorts, ExpandableTextAndEmbeddedNulAreText) {
  const char expandable[] = "COM7";
  SetRaw("a", REG_EXPAND_SZ, expandable, sizeof expandable);
  const char withNul[] = "COM8\0COM9";
  SetRaw("b", REG_SZ, withNul, sizeof withNul);
  const char unterminated[] = {'C', 'O', 'M', '3'};
  SetRaw("c", REG_SZ, unterminated, sizeof unterminated);
  std::vector<std::string> names;
  std::string error;
  ASSERT_TRUE(Read(names, error));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"COM3", "COM7", "COM8"}));
}

TEST_F(RegistryPorts, EmptyDataOfAnyTypeReadsAsEmptyText) {
  SetRaw("empty-binary", REG_BINARY, nullptr, 0);
  SetRaw("empty-text", REG_SZ, nullptr, 0);
  SetText("port", "COM4");
  std::vector<std::string> names;
  std::string error = "stale";
  ASSERT_TRUE(Read(names, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(names, (std::vector<std::string>{"COM4"}));
}

TEST_F(RegistryPorts, DataThatIsNotTextIsAnErrorNamingTheValue) {
  const DWORD number = 3;
  SetRaw("\\Device\\Odd", REG_DWORD, &number, sizeof number);
  std::vector<std::string> names;
  std::string error;
  EXPECT_FALSE(Read(names, error));
  EXPECT_EQ(error, "Invalid data type for '\\Device\\Odd'");

  const BYTE bytes[] = {'C', 'O', 'M', '1'};
  ::RegDeleteValueA(key_, "\\Device\\Odd");
  SetRaw("bin", REG_BINARY, bytes, sizeof bytes);
  EXPECT_FALSE(Read(names, error));
  EXPECT_EQ(error, "Invalid data type for 'bin'");
}

TEST_F(RegistryPorts, MissingKeyIsAnEmptyListNotAnError) {
  std::vector<std::string> names{"stale"};
  std::string error = "stale";
  EXPECT_TRUE(sio::platform::RegisteredPortNamesFromKey(true, "Software\\KelvaneSioTests\\Nothing",
                                                        names, error));
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(error, "");
}

TEST(MachinePorts, SerialCommReadsAndEveryPortResolvesToItsDeviceName) {
  // Whatever the machine has registered (under Wine: the mapped ports, maybe
  // none), the list reads without error and names proper devices.
  std::vector<sio::platform::HostPort> ports;
  std::string error;
  ASSERT_TRUE(sio::platform::ListHostPorts(ports, error)) << error;
  for (const sio::platform::HostPort& port : ports) {
    EXPECT_EQ(port.path, sio::platform::ComDeviceName(port.number));
  }
  // Checked by hand under Wine: with a pseudo-terminal mapped in
  // HKLM\Software\Wine\Ports the mapped COM number appears here.
  if (const char* expected = std::getenv("SIO_TEST_EXPECT_PORT")) {
    bool listed = false;
    for (const sio::platform::HostPort& port : ports)
      listed = listed || port.name == expected;
    EXPECT_TRUE(listed) << expected;
  }
}

TEST(ResolveComDevice, ComNamesGetTheDevicePrefixOtherNamesPassThrough) {
  std::string path;
  ASSERT_TRUE(sio::platform::ResolveComDevice("COM12", path));
  EXPECT_EQ(path, "\\\\.\\COM12");
  ASSERT_TRUE(sio::platform::ResolveComDevice("\\\\.\\COM3", path));
  EXPECT_EQ(path, "\\\\.\\COM3");
  ASSERT_TRUE(sio::platform::ResolveComDevice("com5", path));
  EXPECT_EQ(path, "\\\\.\\COM5");
  ASSERT_TRUE(sio::platform::ResolveComDevice("\\\\.\\CNCA0", path));
  EXPECT_EQ(path, "\\\\.\\CNCA0");
  path = "untouched";
  EXPECT_FALSE(sio::platform::ResolveComDevice("", path));
  EXPECT_EQ(path, "untouched");
}

}  // namespace
