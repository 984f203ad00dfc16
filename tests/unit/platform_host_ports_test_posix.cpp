// The port table on POSIX hosts: the scan of a device directory (a directory
// of our own with fake entries), the UART check of ttyS devices, and the
// SIO_PORTS override that replaces the scan.
#include "platform/host_ports.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using sio::platform::HostPort;
using sio::platform::PortScanRoots;
using PairList = std::vector<std::pair<uint32_t, std::string>>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "sio-ports-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void Touch(const fs::path& file) {
  std::ofstream out(file);
  ASSERT_TRUE(out.good()) << file;
}

void WriteText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file);
  out << text;
  ASSERT_TRUE(out.good()) << file;
}

class DeviceScan : public ::testing::Test {
 protected:
  PortScanRoots Roots() const {
    return PortScanRoots{(dir_.path() / "dev").string(), (dir_.path() / "sys").string()};
  }
  fs::path Dev(const std::string& name) const { return dir_.path() / "dev" / name; }
  void SetUp() override {
    fs::create_directories(dir_.path() / "dev");
    fs::create_directories(dir_.path() / "sys");
  }
  PairList Scan() const {
    PairList pairs;
    for (const HostPort& port : sio::platform::ScanSerialDevices(Roots())) {
      EXPECT_EQ(port.name, sio::platform::ComName(port.number));
      pairs.emplace_back(port.number, fs::path(port.path).filename().string());
    }
    return pairs;
  }

  TempDir dir_;
};

TEST_F(DeviceScan, DeviceKeepsItsNumberWhateverElseIsPluggedIn) {
  Touch(Dev("ttyACM0"));
  EXPECT_EQ(Scan(), (PairList{{65, "ttyACM0"}}));

  Touch(Dev("ttyUSB0"));
  EXPECT_EQ(Scan(), (PairList{{33, "ttyUSB0"}, {65, "ttyACM0"}}));

  // The first converter goes away and another one comes: neither the ACM
  // device nor the newcomer takes over a freed number.
  fs::remove(Dev("ttyUSB0"));
  Touch(Dev("ttyUSB1"));
  Touch(Dev("rfcomm0"));
  EXPECT_EQ(Scan(), (PairList{{34, "ttyUSB1"}, {65, "ttyACM0"}, {97, "rfcomm0"}}));
}

TEST_F(DeviceScan, PathsPointIntoTheScannedDirectory) {
  Touch(Dev("ttyUSB3"));
  const std::vector<HostPort> ports = sio::platform::ScanSerialDevices(Roots());
  ASSERT_EQ(ports.size(), 1u);
  EXPECT_EQ(ports[0].path, (dir_.path() / "dev" / "ttyUSB3").string());
  EXPECT_EQ(ports[0].name, "COM36");
}

TEST_F(DeviceScan, IgnoresOtherNamesDirectoriesAndDanglingLinks) {
  for (const char* name : {"tty0", "console", "ptmx", "ttyUSB", "ttyUSB07", "ttyUSB32", "ttyusb1",
                           "ttyACM0.lock", "random"}) {
    Touch(Dev(name));
  }
  fs::create_directories(Dev("ttyUSB2"));
  fs::create_directories(Dev("pts"));
  Touch(Dev("pts") / "ttyUSB4");  // not at the top of the device directory
  fs::create_symlink(dir_.path() / "nowhere", Dev("ttyACM3"));
  Touch(dir_.path() / "real-adapter");
  fs::create_symlink(dir_.path() / "real-adapter", Dev("ttyACM4"));
  EXPECT_EQ(Scan(), (PairList{{69, "ttyACM4"}}));
}

TEST_F(DeviceScan, MissingDeviceDirectoryGivesAnEmptyList) {
  const PortScanRoots roots{(dir_.path() / "no-such-dir").string(), (dir_.path() / "sys").string()};
  EXPECT_TRUE(sio::platform::ScanSerialDevices(roots).empty());
}

TEST_F(DeviceScan, OnBoardUartIsListedOnlyWhenTheKernelKnowsItsType) {
  for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS3"})
    Touch(Dev(name));
  WriteText(dir_.path() / "sys" / "ttyS0" / "type", "4\n");  // a 16550A
  WriteText(dir_.path() / "sys" / "ttyS1" / "type", "0\n");  // a node without a UART
  WriteText(dir_.path() / "sys" / "ttyS3" / "type", "garbage\n");
  // ttyS2 and ttyS3 have no readable type: the device itself is asked, and a
  // plain file answers no TIOCGSERIAL.
  EXPECT_EQ(Scan(), (PairList{{1, "ttyS0"}}));

  // The last number of the block follows the same rule.
  Touch(Dev("ttyS31"));
  EXPECT_EQ(Scan(), (PairList{{1, "ttyS0"}})) << "ttyS31 without a UART";
  WriteText(dir_.path() / "sys" / "ttyS31" / "type", "4\n");
  EXPECT_EQ(Scan(), (PairList{{1, "ttyS0"}, {32, "ttyS31"}}));
}

TEST_F(DeviceScan, TheKernelsActiveConsoleIsNoPort) {
  // ttyS0 and ttyS1 are both real UARTs; whichever the kernel's console is
  // is left out, and so is a USB adapter that serves as the console.
  const struct {
    const char* active;  // nullptr: no console/active file
    PairList expected;
  } cases[] = {
      {nullptr, {{1, "ttyS0"}, {2, "ttyS1"}, {33, "ttyUSB0"}}},
      {"tty0 ttyS0\n", {{2, "ttyS1"}, {33, "ttyUSB0"}}},
      {"ttyS1\n", {{1, "ttyS0"}, {33, "ttyUSB0"}}},
      {"ttyUSB0 ttyS0\n", {{2, "ttyS1"}}},
      {"tty0\n", {{1, "ttyS0"}, {2, "ttyS1"}, {33, "ttyUSB0"}}},
      {"", {{1, "ttyS0"}, {2, "ttyS1"}, {33, "ttyUSB0"}}},
      // Only whole names count.
      {"ttyS ttyS10 ttyUSB\n", {{1, "ttyS0"}, {2, "ttyS1"}, {33, "ttyUSB0"}}},
  };
  for (const char* name : {"ttyS0", "ttyS1", "ttyUSB0"}) {
    Touch(Dev(name));
  }
  WriteText(dir_.path() / "sys" / "ttyS0" / "type", "4\n");
  WriteText(dir_.path() / "sys" / "ttyS1" / "type", "4\n");
  const fs::path active = dir_.path() / "sys" / "console" / "active";
  for (const auto& c : cases) {
    std::error_code ignored;
    fs::remove(active, ignored);
    if (c.active != nullptr) WriteText(active, c.active);
    EXPECT_EQ(Scan(), c.expected) << (c.active ? c.active : "(no file)");
  }
}

TEST_F(DeviceScan, PseudoTerminalIsNoUart) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  fs::create_symlink(::ptsname(master), Dev("ttyS5"));
  fs::create_symlink(::ptsname(master), Dev("ttyUSB5"));
  // Only the ttyS name is put to the UART test; other families are devices
  // that exist whenever their node does.
  EXPECT_EQ(Scan(), (PairList{{38, "ttyUSB5"}}));
  ::close(master);
}

// A sysfs of our own, laid out as the kernel lays it out: each tty under
// devices/ (below its hardware, or under virtual/), linked from class/tty,
// with "device" and "driver" links up to the hardware and its driver.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_.path() / "dev"); }
  fs::path Sys() const { return dir_.path() / "sys"; }
  fs::path Dev(const std::string& name) const { return dir_.path() / "dev" / name; }
  PortScanRoots Roots() const {
    return PortScanRoots{(dir_.path() / "dev").string(), (Sys() / "class" / "tty").string()};
  }
  static void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(target);
    fs::create_directories(link.parent_path());
    fs::create_symlink(fs::relative(target, link.parent_path()), link);
  }
  // hardware: below devices/, empty for a virtual tty; driver: below bus/.
  void AddTty(const std::string& name, const std::string& hardware, const std::string& driver) {
    const fs::path device = Sys() / "devices" / (hardware.empty() ? "virtual" : hardware);
    const fs::path tty = device / "tty" / name;
    Link(tty, Sys() / "class" / "tty" / name);
    if (hardware.empty()) return;
    Link(device, tty / "device");
    if (!driver.empty()) Link(Sys() / "bus" / driver, device / "driver");
  }
  // Attributes of a device: "idVendor=0403,product=FT232R USB UART".
  void UsbDevice(const std::string& path, const std::string& attributes) {
    std::istringstream items(attributes);
    for (std::string item; std::getline(items, item, ',');)
      WriteText(Sys() / "devices" / path / item.substr(0, item.find('=')),
                item.substr(item.find('=') + 1) + "\n");
  }
  sio::platform::PortDescription Describe(const std::string& device) const {
    return sio::platform::DescribeDevice(Dev(device).string(), Roots());
  }

  TempDir dir_;
};

std::string Summary(const sio::platform::PortDescription& d) {
  char ids[16] = "-";
  if (d.hasUsbIds) std::snprintf(ids, sizeof ids, "%04x:%04x", d.vendorId, d.productId);
  return std::string(sio::platform::PortKindName(d.kind)) + " " + ids + " [" + d.manufacturer +
         "] [" + d.product + "] [" + d.serialNumber + "] " + d.driver + " " + d.bluetoothAddress;
}

TEST_F(FakeSysfs, EachKindOfPortIsToldByWhatSysfsSaysOfIt) {
  const std::string hc = "pci0000:00/0000:00:14.0/usb1/";
  const struct {
    const char* name;
    std::string hardware;      // below devices/
    const char* driver;        // below bus/
    std::string attributesAt;  // below devices/
    const char* attributes;
    const char* expected;
  } cases[] = {
      {"ttyUSB0", hc + "1-1/1-1:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio", hc + "1-1",
       "idVendor=0403,idProduct=6001,manufacturer=FTDI,product=FT232R USB UART,serial=A50285BI",
       "usb 0403:6001 [FTDI] [FT232R USB UART] [A50285BI] ftdi_sio "},
      // No manufacturer and no serial number: none made up.
      {"ttyUSB1", hc + "1-2/1-2:1.0/ttyUSB1", "usb-serial/drivers/ch341-uart", hc + "1-2",
       "idVendor=1a86,idProduct=7523,product=USB Serial",
       "usb 1a86:7523 [] [USB Serial] [] ch341-uart "},
      // Behind a hub that has ids of its own: the nearest USB device counts.
      {"ttyUSB2", hc + "1-3/1-3.4/1-3.4:1.0/ttyUSB2", "usb-serial/drivers/cp210x", hc + "1-3/1-3.4",
       "idVendor=10c4,idProduct=ea60,manufacturer=Silicon Labs,"
       "product=CP2102 USB to UART Bridge Controller,serial=0001",
       "usb 10c4:ea60 [Silicon Labs] [CP2102 USB to UART Bridge Controller] [0001] cp210x "},
      {"ttyACM0", hc + "1-4/1-4:1.0", "usb/drivers/cdc_acm", hc + "1-4",
       "idVendor=2341,idProduct=0043,manufacturer=Arduino (www.arduino.cc),"
       "serial=75334323935351D0C1E1",
       "acm 2341:0043 [Arduino (www.arduino.cc)] [] [75334323935351D0C1E1] cdc_acm "},
      {"rfcomm0", "", "", "virtual/tty/rfcomm0", "address=00:1a:7d:da:71:13,channel=1",
       "bluetooth - [] [] [] rfcomm 00:1A:7D:DA:71:13"},
      {"ttyS0", "pnp0/00:04", "pnp/drivers/serial", "", nullptr, "uart - [] [] [] serial "},
      {"ttyGS0", "", "", "", nullptr, "virtual - [] [] []  "},
  };
  for (const auto& c : cases) {
    AddTty(c.name, c.hardware, c.driver);
    if (c.attributes != nullptr) UsbDevice(c.attributesAt, c.attributes);
  }
  UsbDevice(hc + "1-3", "idVendor=05e3,idProduct=0608,product=USB2.0 Hub");
  for (const auto& c : cases)
    EXPECT_EQ(Summary(Describe(c.name)), c.expected) << c.name;

  // A link such as /dev/serial/by-id/... is the device it leads to; a file
  // that is neither a tty of the class nor a character device is unknown.
  Touch(Dev("ttyUSB0"));
  fs::create_symlink(Dev("ttyUSB0"), Dev("usb-FTDI-if00-port0"));
  EXPECT_EQ(Summary(Describe("usb-FTDI-if00-port0")), Summary(Describe("ttyUSB0")));
  EXPECT_EQ(Summary(Describe("usb-FTDI-if00-port0")).substr(0, 14), "usb 0403:6001 ");
  Touch(Dev("ttyV0"));
  EXPECT_EQ(Summary(Describe("ttyV0")), "unknown - [] [] []  ");
}

TEST(HostUart, DeviceAnswerAgreesWithTheKernelsRecord) {
  // On a host with a ttyS0 node and a kernel record for it, asking the device
  // (no record given) must come to the same verdict as the record.
  if (!fs::exists("/dev/ttyS0") || !fs::exists("/sys/class/tty/ttyS0/type")) {
    GTEST_SKIP() << "no ttyS0 on this host";
  }
  if (::access("/dev/ttyS0", R_OK | W_OK) != 0) GTEST_SKIP() << "ttyS0 not accessible";
  TempDir emptySys;
  // The kernel's record alone, without its console list: ttyS0 is often the
  // console, which neither answer would list.
  TempDir recordOnly;
  std::string type;
  ASSERT_TRUE(std::getline(std::ifstream("/sys/class/tty/ttyS0/type"), type));
  WriteText(recordOnly.path() / "ttyS0" / "type", type + "\n");
  auto listsCom1 = [](const PortScanRoots& roots) {
    for (const HostPort& port : sio::platform::ScanSerialDevices(roots)) {
      if (port.number == 1) return true;
    }
    return false;
  };
  EXPECT_EQ(listsCom1(PortScanRoots{"/dev", emptySys.path().string()}),
            listsCom1(PortScanRoots{"/dev", recordOnly.path().string()}));
}

// Sets SIO_PORTS (or removes it) for one test and restores what was there.
class EnvironmentGuard {
 public:
  explicit EnvironmentGuard(const char* value) {
    if (const char* old = std::getenv("SIO_PORTS")) saved_ = old;
    if (value != nullptr) {
      ::setenv("SIO_PORTS", value, 1);
    } else {
      ::unsetenv("SIO_PORTS");
    }
  }
  ~EnvironmentGuard() {
    if (saved_) {
      ::setenv("SIO_PORTS", saved_->c_str(), 1);
    } else {
      ::unsetenv("SIO_PORTS");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(PortOverrideEnvironment, ReplacesTheScanAndResolvesBothNameForms) {
  EnvironmentGuard env("7=/tmp/ttyV0,3=/dev/pts/4,bad");
  std::vector<std::string> names;
  std::string error = "stale";
  ASSERT_TRUE(sio::platform::RegisteredPortNames(names, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(names, (std::vector<std::string>{"COM3", "COM7"}));

  std::vector<HostPort> ports;
  ASSERT_TRUE(sio::platform::ListHostPorts(ports, error));
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[1].path, "/tmp/ttyV0");

  std::string path;
  ASSERT_TRUE(sio::platform::ResolveComDevice("\\\\.\\COM3", path));
  EXPECT_EQ(path, "/dev/pts/4");
  ASSERT_TRUE(sio::platform::ResolveComDevice("COM7", path));
  EXPECT_EQ(path, "/tmp/ttyV0");
  ASSERT_TRUE(sio::platform::ResolveComDevice("com7", path));
  EXPECT_EQ(path, "/tmp/ttyV0");
}

TEST(PortOverrideEnvironment, UnlistedPortsAndOtherNamesDoNotResolve) {
  EnvironmentGuard env("3=/dev/pts/4");
  std::string path = "untouched";
  for (const char* name : {"COM4", "\\\\.\\COM4", "COM0", "COM03", "ttyS0", "", "LPT1"}) {
    EXPECT_FALSE(sio::platform::ResolveComDevice(name, path)) << name;
  }
  EXPECT_EQ(path, "untouched");
  // A device path names itself, listed or not.
  ASSERT_TRUE(sio::platform::ResolveComDevice("/dev/ttyUSB9", path));
  EXPECT_EQ(path, "/dev/ttyUSB9");
  ASSERT_TRUE(sio::platform::ResolveComDevice("./ttyV1", path));
  EXPECT_EQ(path, "./ttyV1");
}

TEST(PortOverrideEnvironment, EmptyOverrideHidesEveryDevice) {
  EnvironmentGuard env("");
  std::vector<std::string> names{"stale"};
  std::string error;
  ASSERT_TRUE(sio::platform::RegisteredPortNames(names, error));
  EXPECT_TRUE(names.empty());
  std::string path;
  EXPECT_FALSE(sio::platform::ResolveComDevice("COM1", path));
}

TEST(PortOverrideEnvironment, WithoutOverrideTheTableIsTheScanOfDev) {
  EnvironmentGuard env(nullptr);
  const std::vector<HostPort> table = sio::platform::HostPortTable();
  const std::vector<HostPort> scan = sio::platform::ScanSerialDevices();
  ASSERT_EQ(table.size(), scan.size());
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].number, scan[i].number);
    EXPECT_EQ(table[i].path, scan[i].path);
  }
}

}  // namespace
