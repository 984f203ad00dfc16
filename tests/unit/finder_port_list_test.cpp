// The headless runner's port list: aligned columns for a person, JSON for a
// program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "finder/headless_view.h"

namespace {

using sio::platform::HostPort;
using sio::platform::PortDescription;
using sio::platform::PortKind;

TEST(PortList, OneAlignedLinePerPortTextsWithBlanksQuoted) {
  const std::vector<HostPort> ports{
      {33, "COM33", "/dev/ttyUSB0"}, {97, "COM97", "/dev/rfcomm0"}, {5, "COM5", "/tmp/my port"}};
  PortDescription ftdi;
  ftdi.kind = PortKind::kUsb;
  ftdi.hasUsbIds = true;
  ftdi.vendorId = 0x0403;
  ftdi.productId = 0x6001;
  ftdi.manufacturer = "FTDI";
  ftdi.product = "FT232R USB UART";
  ftdi.serialNumber = "A50285BI";
  ftdi.driver = "ftdi_sio";
  PortDescription bluetooth;
  bluetooth.kind = PortKind::kBluetooth;
  bluetooth.driver = "rfcomm";
  bluetooth.bluetoothAddress = "00:1A:7D:DA:71:13";
  // The third port has no description: it is unknown.
  const std::vector<PortDescription> descriptions{ftdi, bluetooth};

  EXPECT_EQ(finder::PortListText(ports, descriptions),
            "COM33  /dev/ttyUSB0    usb        0403:6001  \"FT232R USB UART\"  A50285BI\n"
            "COM97  /dev/rfcomm0    bluetooth  -          -                  -         "
            "00:1A:7D:DA:71:13\n"
            "COM5   \"/tmp/my port\"  unknown    -          -                  -\n");
  // The same fields in JSON, each absent one null.
  const std::string json = finder::PortListJson(ports, descriptions);
  EXPECT_NE(json.find("{\"port\": \"COM97\", \"device\": \"/dev/rfcomm0\", \"kind\": "
                      "\"bluetooth\", \"vid\": null, \"pid\": null, \"manufacturer\": null, "
                      "\"product\": null, \"serial_number\": null, \"driver\": \"rfcomm\", "
                      "\"bluetooth_address\": \"00:1A:7D:DA:71:13\"},\n"),
            std::string::npos)
      << json;
  EXPECT_EQ(finder::PortListText({}, {}), "");
  EXPECT_EQ(finder::PortListJson({}, {}), "{\n  \"ports\": []\n}\n");
}

}  // namespace
