// The device layer against the simulated scan tool: the identification
// command and its answer through the real threads at the device's speed.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tools/elm327-sim/elm327_sim.h"
#include "platform/message_loop.h"
#include "serial/dispatch/device_dispatcher.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/integration/port_table.h"

namespace {

std::string Exchange(sio::TSioWin32Dispatcher& d, const std::string& command,
                     uint32_t timeoutMs = 5000) {
  EXPECT_EQ(d.PutBlock(command.data(), static_cast<uint32_t>(command.size())), 0);
  std::string got;
  sio_test::WaitFor(
      [&] {
        const uint32_t n = d.InBuffUsed();
        if (n > 0) {
          std::string chunk(n, '\0');
          if (d.GetBlock(chunk.data(), n) == static_cast<int32_t>(n)) got += chunk;
        }
        return !got.empty() && got.back() == '>';
      },
      timeoutMs);
  return got;
}

TEST(DeviceElm327, IdentificationRoundTripAtEachSpeed) {
  sio::platform::InitUserInterfaceThread();
  for (const uint32_t baud : {115200u, 38400u, 9600u}) {
    SCOPED_TRACE(baud);
    elmsim::Options options;
    options.baud = baud;
    elmsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    const std::string name = devtest::UseComPort(sim.SlavePath(), 12);
    {
      sio::TSioWin32Dispatcher d(nullptr);
      ASSERT_EQ(d.InitPort(name.c_str(), baud, 0, 8, 1, 4096, 4096, sio::ipDTROn | sio::ipRTSOn),
                0);
      EXPECT_EQ(Exchange(d, "AT@1\r"), "AT@1\rOBDII to RS232 Interpreter\r\r>");
      EXPECT_EQ(Exchange(d, "AT@2\r"), "AT@2\r?\r\r>");
      d.DonePort();
    }
    EXPECT_EQ(sim.ReceivedText(), "AT@1\rAT@2\r");
    devtest::ForgetPortTable();
  }
}

TEST(DeviceElm327, AtTheWrongSpeedNoPromptArrives) {
  sio::platform::InitUserInterfaceThread();
  elmsim::Options options;
  options.baud = 38400;
  elmsim::Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.Start(error)) << error;
  const std::string name = devtest::UseComPort(sim.SlavePath(), 12);
  sio::TSioWin32Dispatcher d(nullptr);
  ASSERT_EQ(d.InitPort(name.c_str(), 9600, 0, 8, 1, 4096, 4096, 0), 0);
  const std::string got = Exchange(d, "AT@1\r", 1500);
  EXPECT_EQ(got.find('>'), std::string::npos) << got;
  EXPECT_EQ(got.find("OBDII"), std::string::npos) << got;
  d.DonePort();
  devtest::ForgetPortTable();
}

}  // namespace
