// The port component with no device: what it keeps while closed, which
// device layers it accepts, and the search for a port in a component tree.
#include <gtest/gtest.h>

#include <functional>

#include "platform/message_loop.h"
#include "serial/port/com_port.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/common/packet_reference.h"

namespace {

using sio::TSioComPort;

TEST(PortComPort, ClosedPortKeepsItsSettingsWithTheirLimits) {
  TSioComPort port;
  EXPECT_EQ(port.GetVersion(), "v4.07");
  EXPECT_EQ(port.GetBaud(), 19200);
  EXPECT_EQ(port.GetInSize(), 4096);
  EXPECT_EQ(port.GetTraceName(), "SIO.TRC");
  EXPECT_EQ(port.GetLogName(), "SIO.LOG");
  EXPECT_TRUE(port.GetPromptForPort());
  EXPECT_TRUE(port.GetAutoOpen());
  EXPECT_EQ(port.GetAvailThreshold(), 1);
  port.SetUseMSRShadow(false);
  EXPECT_TRUE(port.GetUseMSRShadow());
  port.SetTraceSize(4000001);
  EXPECT_EQ(port.GetTraceSize(), 4000000u);
  port.SetLogSize(0xFFFFFFFFu);
  EXPECT_EQ(port.GetLogSize(), 16000000u);
  port.SetTraceName(std::string(300, 'n'));
  EXPECT_EQ(port.GetTraceName().size(), 255u);
  // RS-485 takes RTS out of the flow control and drops RTS, open or not.
  port.SetHWFlowOptions(sio::hwfUseRTS | sio::hwfUseDTR);
  port.SetRS485Mode(true);
  EXPECT_EQ(port.GetHWFlowOptions(), sio::hwfUseDTR);
  EXPECT_FALSE(port.GetRTS());
  EXPECT_TRUE(port.GetRS485Mode());
  // A closed port answers without opening.
  EXPECT_EQ(port.LineError(), 0);
  EXPECT_FALSE(port.LineBreak());
  EXPECT_EQ(port.GetOpenState(), sio::osClosed);
}

TEST(PortComPort, DeviceLayerChangesOnlyToAnAllowedLayer) {
  TSioComPort port;
  port.SetDeviceLayer(sio::dlWinsock);
  EXPECT_EQ(port.GetDeviceLayer(), sio::dlWin32);
  port.SetDeviceLayers(sio::DeviceLayerBit(sio::dlWin32) | sio::DeviceLayerBit(sio::dlWinsock));
  port.SetDeviceLayer(sio::dlWinsock);
  EXPECT_EQ(port.GetDeviceLayer(), sio::dlWinsock);
}

TEST(PortComPort, FindComPortSearchesDepthFirstInOrder) {
  sio::TComponent form;
  auto* panel = new sio::TComponent(&form);
  auto* inner = new TSioComPort(panel);
  auto* later = new TSioComPort(&form);
  EXPECT_EQ(sio::FindComPort(&form), inner);
  EXPECT_EQ(sio::FindComPort(panel), inner);
  EXPECT_EQ(sio::FindComPort(later), nullptr);
  EXPECT_EQ(sio::FindComPort(nullptr), nullptr);
  delete panel;
  EXPECT_EQ(sio::FindComPort(&form), later);
}

// Every line and flow setting reaches the device: written on a closed port,
// at the open; written on an open port, at once.
TEST(PortComPort, LineAndFlowSettingsReachTheDeviceOpenOrClosed) {
  using sio::platform::CommDcb;
  struct Row {
    const char* name;
    std::function<void(TSioComPort&)> write;
    std::function<bool(const CommDcb&)> applied;
  };
  const Row rows[] = {
      {"baud 57600", [](TSioComPort& p) { p.SetBaud(57600); },
       [](const CommDcb& d) { return d.BaudRate == 57600; }},
      {"parity even", [](TSioComPort& p) { p.SetParity(sio::pEven); },
       [](const CommDcb& d) { return d.Parity == 2; }},
      {"7 data bits", [](TSioComPort& p) { p.SetDataBits(7); },
       [](const CommDcb& d) { return d.ByteSize == 7; }},
      {"2 stop bits", [](TSioComPort& p) { p.SetStopBits(2); },
       [](const CommDcb& d) { return d.StopBits == 2; }},
      {"RTS/CTS flow",
       [](TSioComPort& p) { p.SetHWFlowOptions(sio::hwfUseRTS | sio::hwfRequireCTS); },
       [](const CommDcb& d) {
         return (d.Flags & sio::platform::dcbOutxCtsFlow) != 0 &&
                (d.Flags & sio::platform::dcbRtsControlMask) == sio::platform::dcbRtsHandshake;
       }},
      {"XON/XOFF both ways", [](TSioComPort& p) { p.SetSWFlowOptions(sio::swfBoth); },
       [](const CommDcb& d) {
         return (d.Flags & (sio::platform::dcbOutX | sio::platform::dcbInX)) ==
                (sio::platform::dcbOutX | sio::platform::dcbInX);
       }},
      {"XON character",
       [](TSioComPort& p) {
         p.SetSWFlowOptions(sio::swfBoth);
         p.SetXOnChar('\x05');
       },
       [](const CommDcb& d) { return d.XonChar == '\x05'; }},
      {"XOFF character",
       [](TSioComPort& p) {
         p.SetSWFlowOptions(sio::swfBoth);
         p.SetXOffChar('\x06');
       },
       [](const CommDcb& d) { return d.XoffChar == '\x06'; }},
  };
  sio::platform::InitUserInterfaceThread();
  for (const Row& row : rows) {
    for (const bool open : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (open ? ", written open" : ", written closed"));
      sio_test::TMemoryPort port;
      port.SetComNumber(1);
      if (open) port.SetOpen(true);
      row.write(port);
      if (!open) port.SetOpen(true);
      auto* device = static_cast<sio_test::TMemoryDispatcher*>(port.GetDispatcher());
      ASSERT_NE(device, nullptr);
      EXPECT_TRUE(row.applied(device->DeviceDcb()));
      port.SetOpen(false);
    }
  }
}

}  // namespace
