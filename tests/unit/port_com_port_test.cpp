// The port component with no device: what it keeps while closed, which
// device layers it accepts, and the search for a port in a component tree.
#include <gtest/gtest.h>

#include "serial/port/com_port.h"

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

}  // namespace
