// The serial port component against simulated scan tools: the
// identification exchange at each line speed, and a port moved to another
// device while open.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/message_loop.h"
#include "serial/port/com_port.h"
#include "tests/common/memory_dispatcher.h"
#include "tools/elm327-sim/elm327_sim.h"
#include "tests/integration/port_table.h"

namespace {

namespace fs = std::filesystem;

// Collects what the port receives, through its availability event.
struct Receiver {
  std::string got;
  void Avail(sio::TComponent* c, uint16_t count) {
    std::string chunk(count, '\0');
    auto* d = static_cast<sio::TSioComPort*>(c)->GetDispatcher();
    if (d->GetBlock(chunk.data(), count) == count) got += chunk;
  }
  std::string Exchange(sio::TSioComPort& port, const std::string& command) {
    got.clear();
    port.OutputString(command);
    sio_test::WaitFor([&] { return !got.empty() && got.back() == '>'; }, 5000);
    return got;
  }
};

// A user that adds a timer trigger whenever it hears the port opened.
struct TimerUser {
  explicit TimerUser(sio::TSioComPort* p) : port(p) {}
  sio::TSioComPort* port;
  int32_t timer = 0;
  std::vector<int> heard;
  void Callback(sio::TComponent*, uint8_t kind) {
    heard.push_back(kind);
    if (kind == sio::ctOpen) timer = port->AddTimerTrigger();
  }
};

class ComPortElm327 : public ::testing::Test {
 protected:
  void SetUp() override { sio::platform::InitUserInterfaceThread(); }
  void TearDown() override { devtest::ForgetPortTable(); }
};

TEST_F(ComPortElm327, IdentificationAtEachSpeed) {
  for (const uint32_t baud : {115200u, 38400u, 9600u}) {
    SCOPED_TRACE(baud);
    elmsim::Options options;
    options.baud = baud;
    elmsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    devtest::UsePortTable("12=" + sim.SlavePath());
    sio::TSioComPort port;
    port.SetComNumber(12);
    port.SetBaud(static_cast<int32_t>(baud));
    port.SetAutoOpen(false);
    Receiver rx;
    port.SetOnTriggerAvail(sio::TTriggerAvailEvent::Of<&Receiver::Avail>(&rx));
    port.SetOpen(true);
    EXPECT_EQ(rx.Exchange(port, "AT@1\r"), "AT@1\rOBDII to RS232 Interpreter\r\r>");
    EXPECT_EQ(rx.Exchange(port, "AT@2\r"), "AT@2\r?\r\r>");
    port.SetOpen(false);
    EXPECT_EQ(sim.ReceivedText(), "AT@1\rAT@2\r");
  }
}

TEST_F(ComPortElm327, ComNumberChangedWhileOpenMovesToTheNewDeviceWithTraceLogAndTriggers) {
  elmsim::Simulator first;
  elmsim::Options scanTool;
  scanTool.scanTool = true;
  elmsim::Simulator second(scanTool);
  std::string error;
  ASSERT_TRUE(first.Start(error)) << error;
  ASSERT_TRUE(second.Start(error)) << error;
  devtest::UsePortTable("12=" + first.SlavePath() + ",13=" + second.SlavePath());
  const fs::path dir = fs::temp_directory_path() / ("sio-port-" + std::to_string(::getpid()));
  fs::create_directories(dir);

  sio::TSioComPort port;
  port.SetComNumber(12);
  port.SetBaud(38400);
  port.SetAutoOpen(false);
  port.SetTraceName((dir / "port.trc").string());
  port.SetLogName((dir / "port.log").string());
  port.SetTracing(sio::tlOn);
  port.SetLogging(sio::tlOn);
  Receiver rx;
  port.SetOnTriggerAvail(sio::TTriggerAvailEvent::Of<&Receiver::Avail>(&rx));
  TimerUser user(&port);
  (void)port.RegisterUserCallbackEx(sio::TPortCallbackEx::Of<&TimerUser::Callback>(&user));
  port.SetOpen(true);
  const int32_t kept = port.AddTimerTrigger();
  EXPECT_EQ(rx.Exchange(port, "AT@1\r"), "AT@1\rOBDII to RS232 Interpreter\r\r>");

  port.SetComNumber(13);
  EXPECT_EQ(port.GetOpenState(), sio::osOpen);
  EXPECT_EQ(port.GetComNumber(), 13);
  EXPECT_EQ(user.heard,
            (std::vector<int>{sio::ctOpen, sio::ctClosing, sio::ctClosed, sio::ctOpen}));
  // The active trace and log were written at the close, and run again.
  EXPECT_GT(fs::file_size(dir / "port.trc"), 0u);
  EXPECT_GT(fs::file_size(dir / "port.log"), 0u);
  EXPECT_EQ(port.GetTracing(), sio::tlOn);
  EXPECT_EQ(port.GetLogging(), sio::tlOn);
  // The triggers of before the move and the one the user added on reopening.
  for (const int32_t handle : {kept, user.timer}) {
    void* t = nullptr;
    int32_t kind = sio::tkNone;
    EXPECT_EQ(port.GetDispatcher()->FindTriggerFromHandle(handle, false, t, kind), 0) << handle;
    EXPECT_EQ(kind, sio::tkTimer) << handle;
  }
  EXPECT_EQ(rx.Exchange(port, "AT@1\r"), "AT@1\rKELVANE OBD-II Scan Tool\r\r>");
  port.SetOpen(false);
  EXPECT_EQ(first.ReceivedText(), "AT@1\r");
  EXPECT_EQ(second.ReceivedText(), "AT@1\r");
  fs::remove_all(dir);
}

}  // namespace
