// Port names, the override text and the device numbering rule: the text
// handling behind the host's port table, the same on every host.
#include "platform/host_ports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using sio::platform::ComNumberForDevice;
using sio::platform::HostPort;
using sio::platform::ParseComName;
using sio::platform::ParsePortOverride;

uint32_t NumberOf(std::string_view name) {
  uint32_t number = 0xDEAD;
  return ParseComName(name, number) ? number : 0;
}

TEST(ComName, AcceptsBothFormsInAnyCase) {
  EXPECT_EQ(NumberOf("COM3"), 3u);
  EXPECT_EQ(NumberOf("\\\\.\\COM12"), 12u);
  EXPECT_EQ(NumberOf("com7"), 7u);
  EXPECT_EQ(NumberOf("\\\\.\\cOm65535"), 65535u);
}

TEST(ComName, RejectsEverythingElseAndLeavesTheNumberAlone) {
  for (const char* bad :
       {"", "COM", "COM0", "COM01", "COM65536", "COM99999999999", "COMx", "COM3 ", " COM3", "COM-3",
        "COM+3", "LPT1", "\\\\.\\", "\\\\?\\COM3", "\\\\.COM3", "\\\\.\\\\COM3", "/dev/ttyS0"}) {
    uint32_t number = 4242;
    EXPECT_FALSE(ParseComName(bad, number)) << bad;
    EXPECT_EQ(number, 4242u) << bad;
  }
}

TEST(ComName, DeviceNameOfTheLargestPortFitsThirteenCharacters) {
  EXPECT_EQ(sio::platform::ComName(9), "COM9");
  EXPECT_EQ(sio::platform::ComDeviceName(3), "\\\\.\\COM3");
  // Two backslashes, a point, a backslash, COM and five digits, then the NUL.
  EXPECT_EQ(sio::platform::ComDeviceName(sio::platform::kMaxComNumber).size() + 1, 13u);
  EXPECT_EQ(NumberOf(sio::platform::ComDeviceName(40000)), 40000u);
}

std::vector<std::pair<uint32_t, std::string>> Pairs(const std::vector<HostPort>& ports) {
  std::vector<std::pair<uint32_t, std::string>> pairs;
  for (const HostPort& port : ports) {
    EXPECT_EQ(port.name, "COM" + std::to_string(port.number));
    pairs.emplace_back(port.number, port.path);
  }
  return pairs;
}

using PairList = std::vector<std::pair<uint32_t, std::string>>;

TEST(PortOverride, ReadsTheDocumentedExample) {
  EXPECT_EQ(Pairs(ParsePortOverride("3=/dev/pts/4,7=/tmp/ttyV0")),
            (PairList{{3, "/dev/pts/4"}, {7, "/tmp/ttyV0"}}));
}

TEST(PortOverride, ListsAscendingWhateverTheOrderGiven) {
  EXPECT_EQ(Pairs(ParsePortOverride("10=/a,2=/b,1=/c")),
            (PairList{{1, "/c"}, {2, "/b"}, {10, "/a"}}));
}

TEST(PortOverride, IgnoresBadEntriesAndKeepsTheGoodOnes) {
  const char* text =
      "0=/zero,03=/lead,x=/x,4=,5=relative,=/nonumber,6/dev/x,70000=/big,-8=/neg,"
      "9=/ok,,11 = /inner-blank,12=/a=b,65535=/max,65536=/over";
  EXPECT_EQ(Pairs(ParsePortOverride(text)), (PairList{{9, "/ok"}, {12, "/a=b"}, {65535, "/max"}}));
}

TEST(PortOverride, FirstOfTwoEntriesForOneNumberWins) {
  EXPECT_EQ(Pairs(ParsePortOverride("5=/first,6=/six,5=/second,bad,5=/third")),
            (PairList{{5, "/first"}, {6, "/six"}}));
}

TEST(PortOverride, BlanksAroundEntriesAreIgnored) {
  EXPECT_EQ(Pairs(ParsePortOverride(" 3=/dev/pts/4 ,\t7=/tmp/ttyV0\t, ")),
            (PairList{{3, "/dev/pts/4"}, {7, "/tmp/ttyV0"}}));
}

TEST(PortOverride, EmptyOrHopelessTextGivesNoPorts) {
  EXPECT_TRUE(ParsePortOverride("").empty());
  EXPECT_TRUE(ParsePortOverride(",,,").empty());
  EXPECT_TRUE(ParsePortOverride("COM3=/dev/ttyS0").empty());
  EXPECT_TRUE(ParsePortOverride(std::string_view("3=/a\0b", 6)).empty());
}

uint32_t DeviceNumber(std::string_view device) {
  uint32_t number = 0;
  return ComNumberForDevice(device, number) ? number : 0;
}

TEST(DeviceNumbering, EachFamilyStartsAtItsFixedBlock) {
  EXPECT_EQ(DeviceNumber("ttyS0"), 1u);
  EXPECT_EQ(DeviceNumber("ttyS31"), 32u);
  EXPECT_EQ(DeviceNumber("ttyUSB0"), 33u);
  EXPECT_EQ(DeviceNumber("ttyUSB5"), 38u);
  EXPECT_EQ(DeviceNumber("ttyACM0"), 65u);
  EXPECT_EQ(DeviceNumber("rfcomm0"), 97u);
  EXPECT_EQ(DeviceNumber("ttyAMA0"), 129u);
  EXPECT_EQ(DeviceNumber("ttyO0"), 161u);
  EXPECT_EQ(DeviceNumber("ttymxc0"), 193u);
  EXPECT_EQ(DeviceNumber("ttySAC0"), 225u);
  EXPECT_EQ(DeviceNumber("ttySC1"), 386u);
  EXPECT_EQ(DeviceNumber("ttyUL31"), 576u);
}

TEST(DeviceNumbering, NamesOutsideTheRuleHaveNoNumber) {
  for (const char* bad : {"", "tty0", "tty", "ttyS", "ttyS32", "ttyUSB32", "ttyUSB01", "ttyUSB-1",
                          "ttyusb0", "ttyUSB0x", "ttyUSB 0", "ttyS0 ", "console", "ptmx", "pts",
                          "ttyUSB99999999999", "ttyX0", "ttySAC"}) {
    EXPECT_EQ(DeviceNumber(bad), 0u) << bad;
  }
}

TEST(DeviceNumbering, NoTwoDevicesShareANumber) {
  const char* families[] = {"ttyS",   "ttyUSB",   "ttyACM", "rfcomm", "ttyAMA", "ttyO",
                            "ttymxc", "ttySAC",   "ttyTHS", "ttyMSM", "ttyHS",  "ttyLP",
                            "ttySC",  "ttyXRUSB", "ttyGS",  "ttyAML", "ttyPS",  "ttyUL"};
  std::set<uint32_t> seen;
  for (const char* family : families) {
    for (int k = 0; k < 32; ++k) {
      const std::string device = family + std::to_string(k);
      const uint32_t number = DeviceNumber(device);
      ASSERT_NE(number, 0u) << device;
      EXPECT_LE(number, sio::platform::kMaxComNumber) << device;
      EXPECT_TRUE(seen.insert(number).second) << device << " shares COM" << number;
    }
  }
}

TEST(ListHostPorts, NamesPathsAndOrderAgree) {
  std::vector<HostPort> ports;
  std::string error = "stale";
  std::vector<std::string> names;
  const bool namesOk = sio::platform::RegisteredPortNames(names, error);
  const bool portsOk = sio::platform::ListHostPorts(ports, error);
  ASSERT_EQ(namesOk, portsOk);
  if (portsOk) {
    EXPECT_EQ(error, "");
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    EXPECT_EQ(ports[i].name, sio::platform::ComName(ports[i].number));
    if (i > 0) {
      EXPECT_LT(ports[i - 1].number, ports[i].number);
    }
    std::string path;
    EXPECT_TRUE(sio::platform::ResolveComDevice(ports[i].name, path)) << ports[i].name;
    EXPECT_EQ(path, ports[i].path);
  }
}

}  // namespace

namespace {

using sio::platform::RegistryPortValue;

// The registry's value lists as a Windows host reads them, on any host.
TEST(RegistryPortList, ValuesBecomeNamesAndNamesBecomePorts) {
  const std::string nul(1, '\0');
  struct Case {
    const char* what;
    std::vector<RegistryPortValue> values;
    bool ok;
    std::vector<std::string> names;
    std::string error;
    std::vector<uint32_t> ports;
  } cases[] = {
      {"text and expandable text, terminator dropped, case-sensitive prefix",
       {{"a", 1, "COM3" + nul}, {"b", 2, "COM12"}, {"c", 1, "com4"}, {"d", 1, "XCOM5"}},
       true,
       {"COM3", "COM12"},
       "",
       {3, 12}},
      {"text ends at its first NUL; COM alone and COMx kept as names, not ports",
       {{"a", 1, "COM7" + nul + "9"}, {"b", 1, "COM"}, {"c", 1, "COMx"}, {"d", 1, "COM07"}},
       true,
       {"COM7", "COM", "COMx", "COM07"},
       "",
       {7}},
      {"size 0 reads as the empty text whatever its type; a vanished value too",
       {{"a", 4, ""}, {"b", 0, ""}, {"c", 1, "COM2"}},
       true,
       {"COM2"},
       "",
       {2}},
      {"data that is not text stops the list with the value's name",
       {{"a", 1, "COM1"}, {"\\Device\\Odd", 3, "COM2"}, {"c", 1, "COM3"}},
       false,
       {"COM1"},
       "Invalid data type for '\\Device\\Odd'",
       {1}},
      {"ascending, first of a number wins, range 1..65535",
       {{"a", 1, "COM9"},
        {"b", 1, "COM2"},
        {"c", 1, "COM9"},
        {"d", 1, "COM65535"},
        {"e", 1, "COM65536"},
        {"f", 1, "COM0"}},
       true,
       {"COM9", "COM2", "COM9", "COM65535", "COM65536", "COM0"},
       "",
       {2, 9, 65535}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> names{"stale"};
    std::string error = "stale";
    EXPECT_EQ(sio::platform::PortNamesFromRegistryValues(c.values, names, error), c.ok) << c.what;
    EXPECT_EQ(names, c.names) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    const std::vector<HostPort> ports = sio::platform::PortsFromRegisteredNames(names);
    std::vector<uint32_t> numbers;
    for (const HostPort& p : ports) {
      numbers.push_back(p.number);
      EXPECT_EQ(p.name, "COM" + std::to_string(p.number)) << c.what;
      EXPECT_EQ(p.path, "\\\\.\\COM" + std::to_string(p.number)) << c.what;
    }
    EXPECT_EQ(numbers, c.ports) << c.what;
  }
}

// SetupAPI's texts of a Ports-class device, as real Windows machines give
// them, and what the port list makes of them.
TEST(SetupApiDevice, KindIdsSerialAndAddressComeFromTheDeviceIds) {
  using sio::platform::SetupApiPortDevice;
  const struct {
    SetupApiPortDevice device;
    const char* expected;  // kind, VID:PID, serial number, Bluetooth address, product
  } cases[] = {
      // FTDI's own bus driver: the channel letter after the serial is no part of it.
      {{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "FTDIBUS\\COMPORT&VID_0403&PID_6001", "",
        "FTSER2K", "FTDI", "", "USB Serial Port"},
       "usb 0403:6001 [A50285BI] [] [USB Serial Port]"},
      // No serial number: Windows makes the last part up.
      {{"USB\\VID_1A86&PID_7523\\5&2A3B4C5D&0&2", "USB\\VID_1A86&PID_7523&REV_0264", "",
        "CH341SER_A64", "wch.cn", "USB Serial", "USB-SERIAL CH340"},
       "usb 1a86:7523 [] [] [USB Serial]"},
      {{"USB\\VID_2341&PID_0043\\75334323935351D0C1E1", "USB\\VID_2341&PID_0043&REV_0001", "",
        "usbser", "Microsoft", "", "USB Serial Device"},
       "acm 2341:0043 [75334323935351D0C1E1] [] [USB Serial Device]"},
      // An interface of a composite device: the serial is its parent's.
      {{"USB\\VID_2341&PID_8036&MI_00\\6&3A1B2C3D&0&0000", "USB\\VID_2341&PID_8036&REV_0100&MI_00",
        "USB\\VID_2341&PID_8036\\HIDPC1", "usbser", "Microsoft", "Leonardo", ""},
       "acm 2341:8036 [HIDPC1] [] [Leonardo]"},
      {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1B0C3A4&0&001A7DDA7113_"
        "C00000000",
        "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002", "", "BTHMODEM",
        "Microsoft", "", "Standard Serial over Bluetooth link"},
       "bluetooth - [] [00:1A:7D:DA:71:13] [Standard Serial over Bluetooth link]"},
      // Bluetooth's vendor ids are not USB ids.
      {{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_VID&0001005D_PID&223B\\7&2AC3F1B3&0&"
        "98d331f6d9c1_C00000000",
        "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001005d_PID&223b", "", "BTHMODEM", "",
        "", "Standard Serial over Bluetooth link"},
       "bluetooth - [] [98:D3:31:F6:D9:C1] [Standard Serial over Bluetooth link]"},
      {{"ACPI\\PNP0501\\1", "ACPI\\PNP0501", "", "Serial", "(Standard port types)", "",
        "Communications Port"},
       "uart - [] [] [Communications Port]"},
      // A virtual-port driver; ids that only look like USB ones are none.
      {{"COM0COM\\PORT\\CNCA0", "COM0COM\\PORT", "", "com0com", "Vyacheslav Frolov", "",
        "com0com - serial port emulator"},
       "virtual - [] [] [com0com - serial port emulator]"},
      {{"ROOT\\PORTS\\0000", "XVID_0403&PID_6001", "", "", "", "", ""}, "virtual - [] [] []"},
      {{"USB\\VID_04031&PID_6001\\X", "USB\\VID_04031&PID_6001", "", "", "", "", ""},
       "usb - [X] [] []"},
      {{}, "unknown - [] [] []"},
  };
  for (const auto& c : cases) {
    const sio::platform::PortDescription d = sio::platform::DescribeSetupApiDevice(c.device);
    char ids[16] = "-";
    if (d.hasUsbIds) std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendorId, d.productId);
    EXPECT_EQ(std::string(sio::platform::PortKindName(d.kind)) + " " + ids + " [" + d.serialNumber +
                  "] [" + d.bluetoothAddress + "] [" + d.product + "]",
              c.expected)
        << c.device.instanceId;
    EXPECT_EQ(d.driver, c.device.service) << c.device.instanceId;
  }
}

}  // namespace
