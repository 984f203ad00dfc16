// What an open port leaves for the other programs on its line: the speed as
// they read it and the terminal's settings after the close.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include <termios.h>
#include <unistd.h>

#include "platform/comm.h"
#include "tests/common/pty.h"

namespace {

using sio::platform::CommDcb;
using sio::platform::CommDevice;
using Clock = std::chrono::steady_clock;

// What a program at either end of the line reads as the speed.
struct CodeAtEnds {
  speed_t slaveOut, slaveIn, masterOut;
};

CodeAtEnds SpeedCodes(const sio_test::PtyPair& pty) {
  termios s{};
  termios m{};
  EXPECT_EQ(0, ::tcgetattr(pty.slave, &s));
  EXPECT_EQ(0, ::tcgetattr(pty.master, &m));
  return {::cfgetospeed(&s), ::cfgetispeed(&s), ::cfgetospeed(&m)};
}

TEST(CommLineSpeed, StandardRatesReadAsTheirStandardCodes) {
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  CommDevice dev;
  ASSERT_EQ(0u, dev.Open(pty.slaveName));
  const struct {
    uint32_t rate;
    speed_t code;  // B0: the rate has no standard code
  } cases[] = {
      {9600, B9600},     {10400, B0},         {38400, B38400}, {31250, B0},
      {115200, B115200}, {4000000, B4000000}, {50, B50},       {250000, B0},
  };
  for (const auto& c : cases) {
    CommDcb dcb;
    ASSERT_EQ(0u, dev.GetState(dcb));
    dcb.BaudRate = c.rate;
    ASSERT_EQ(0u, dev.SetState(dcb)) << c.rate;
    CommDcb back;
    ASSERT_EQ(0u, dev.GetState(back));
    EXPECT_EQ(c.rate, back.BaudRate);
    const CodeAtEnds seen = SpeedCodes(pty);
    if (c.code == B0) {
      // No standard code can name it; it must not pass for one either.
      EXPECT_NE(B0, seen.slaveOut) << c.rate;
      EXPECT_EQ(seen.slaveOut, seen.masterOut) << c.rate;
      continue;
    }
    EXPECT_EQ(c.code, seen.slaveOut) << c.rate;
    EXPECT_EQ(c.code, seen.slaveIn) << c.rate;
    EXPECT_EQ(c.code, seen.masterOut) << c.rate;
  }
}

// ---- the terminal after the close ----

bool SameSettings(const termios& a, const termios& b, std::string& diff) {
  diff.clear();
  if (a.c_iflag != b.c_iflag) diff += " c_iflag";
  if (a.c_oflag != b.c_oflag) diff += " c_oflag";
  if (a.c_cflag != b.c_cflag) diff += " c_cflag";
  if (a.c_lflag != b.c_lflag) diff += " c_lflag";
  if (std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0) diff += " c_cc";
  if (::cfgetospeed(&a) != ::cfgetospeed(&b)) diff += " output speed";
  if (::cfgetispeed(&a) != ::cfgetispeed(&b)) diff += " input speed";
  return diff.empty();
}

TEST(CommLineRestore, CloseLeavesTheTerminalAsItWasFound) {
  const struct {
    const char* what;
    speed_t speed;
    tcflag_t iflag, oflag, lflag;
  } cases[] = {
      {"a console at 115200", B115200, ICRNL | IXON, OPOST | ONLCR, ICANON | ECHO | ISIG | IEXTEN},
      {"a raw line at 9600", B9600, 0, 0, 0},
      {"a line at 1200 with XON/XOFF both ways", B1200, IXON | IXOFF, OPOST, 0},
  };
  for (const auto& c : cases) {
    sio_test::PtyPair pty;
    ASSERT_TRUE(pty.Open());
    termios before{};
    ASSERT_EQ(0, ::tcgetattr(pty.slave, &before));
    before.c_iflag = c.iflag;
    before.c_oflag = c.oflag;
    before.c_lflag = c.lflag;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 0;
    ASSERT_EQ(0, ::cfsetspeed(&before, c.speed));
    ASSERT_EQ(0, ::tcsetattr(pty.slave, TCSANOW, &before));
    ASSERT_EQ(0, ::tcgetattr(pty.slave, &before));

    CommDevice dev;
    ASSERT_EQ(0u, dev.Open(pty.slaveName)) << c.what;
    CommDcb dcb;
    ASSERT_EQ(0u, dev.GetState(dcb));
    dcb.BaudRate = 10400;  // no standard code: set with termios2
    dcb.StopBits = 2;
    dcb.Flags |= sio::platform::dcbOutX;
    dcb.XonChar = 0x01;
    dcb.XoffChar = 0x02;
    ASSERT_EQ(0u, dev.SetState(dcb)) << c.what;
    termios during{};
    ASSERT_EQ(0, ::tcgetattr(pty.slave, &during));
    std::string diff;
    EXPECT_FALSE(SameSettings(before, during, diff)) << c.what << ": the open changed nothing";
    ASSERT_EQ(0u, dev.Close());

    termios after{};
    ASSERT_EQ(0, ::tcgetattr(pty.slave, &after));
    EXPECT_TRUE(SameSettings(before, after, diff)) << c.what << ": changed" << diff;
  }
}

TEST(CommLineRestore, CloseAfterAHangUpEndsPromptly) {
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  CommDevice dev;
  ASSERT_EQ(0u, dev.Open(pty.slaveName));
  CommDcb dcb;
  ASSERT_EQ(0u, dev.GetState(dcb));
  dcb.BaudRate = 38400;
  ASSERT_EQ(0u, dev.SetState(dcb));
  pty.CloseMaster();
  const auto start = Clock::now();
  EXPECT_EQ(0u, dev.Close());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(dev.IsOpen());
}

}  // namespace
