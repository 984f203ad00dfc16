// The headless runner's port list for a person: aligned columns, "-" for
// what is not known, texts with blanks quoted, a Bluetooth address last.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "finder/headless_view.h"

namespace {

using sio::platform::PortKind;

TEST(PortList, OneAlignedLinePerPortTextsWithBlanksQuoted) {
  sio::platform::PortDescription ftdi;
  ftdi.kind = PortKind::kUsb;
  ftdi.hasUsbIds = true;
  ftdi.vendorId = 0x0403;
  ftdi.productId = 0x6001;
  ftdi.product = "FT232R USB UART";
  ftdi.serialNumber = "A50285BI";
  sio::platform::PortDescription bluetooth;
  bluetooth.kind = PortKind::kBluetooth;
  bluetooth.bluetoothAddress = "00:1A:7D:DA:71:13";
  // The third port has no description: nothing is known of it.
  EXPECT_EQ(finder::PortListText({{33, "COM33", "/dev/ttyUSB0"},
                                  {97, "COM97", "/dev/rfcomm0"},
                                  {5, "COM5", "/tmp/my port"}},
                                 {ftdi, bluetooth}),
            "COM33  /dev/ttyUSB0    usb        0403:6001  \"FT232R USB UART\"  A50285BI\n"
            "COM97  /dev/rfcomm0    bluetooth  -          -                  -         "
            "00:1A:7D:DA:71:13\n"
            "COM5   \"/tmp/my port\"  unknown    -          -                  -\n");
}

}  // namespace
