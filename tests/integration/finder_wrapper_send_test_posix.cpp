// The finder's port wrapper on a pseudo-terminal: what it waits for after a
// command that a close must not cut off.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "finder/kelvane_com_port.h"
#include "platform/message_loop.h"
#include "tests/common/pty.h"
#include "tests/integration/port_table.h"

namespace {

class Boxes : public finder::TMessageBoxes {
 public:
  void ShowMessage(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// Everything the peer has by now.
std::string Drain(int master) {
  std::string got;
  char buf[512];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1) break;
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(FinderWrapperSend, WaitUntilSentAllowsTheLineTimeOfTheLastTextAndNoMoreThanItsLimit) {
  sio::platform::InitUserInterfaceThread();
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  devtest::UseComPort(pty.slaveName, 47);
  const struct {
    int32_t baud;
    std::string text;
    int32_t maxTicks;
    double atLeastMs;  // the text's ten bits a byte at the speed, + 5 ms; or the limit
    double belowMs;
  } cases[] = {
      {9600, "AT@3 ELM327_CLONE\r", 5, 19 + 5, 275 + 1000},
      {115200, "AT@3 ELM327_CLONE\r", 5, 2 + 5, 275 + 1000},
      {300, "AT@1\r", 5, 167 + 5, 275 + 1000},
      // 100 bytes at 300 baud would need 3.3 s: the limit ends the wait.
      {300, std::string(99, 'x') + "\r", 5, 275 - 2, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.text.size()));
    sio::TSioComPort port;
    port.SetAutoOpen(false);
    port.SetComNumber(47);
    port.SetBaud(c.baud);
    Boxes boxes;
    finder::TKelvaneComPort wrapper(&port, boxes);
    ASSERT_TRUE(wrapper.OpenPort());
    Drain(pty.master);
    wrapper.Send(c.text);
    const auto start = std::chrono::steady_clock::now();
    wrapper.WaitUntilSent(c.maxTicks);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // The text has left the port before the wait ends, so a close now
    // cannot cut it off.
    EXPECT_EQ(Drain(pty.master), c.text);
    // Less 1 ms: the wait counts whole milliseconds of the serial clock.
    EXPECT_GE(ms, c.atLeastMs - 1);
    EXPECT_LT(ms, c.belowMs);
    wrapper.ClosePort();
    EXPECT_TRUE(boxes.shown.empty());
  }
  devtest::ForgetPortTable();
}

}  // namespace
