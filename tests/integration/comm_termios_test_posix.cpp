// The POSIX serial device against the terminal itself: what the DCB becomes
// in termios, any line speed, the locks of an exclusive open, names through
// the port table, and a hang-up while nothing is pending.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "platform/comm.h"
#include "tests/common/pty.h"

namespace {

using sio::platform::CommDcb;
using sio::platform::CommDevice;
using sio::platform::CommIo;
using sio::platform::WaitResult;
using Clock = std::chrono::steady_clock;

class CommTermios : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Open());
    ASSERT_EQ(0u, dev_.Open(pty_.slaveName));
  }

  termios Tio() {
    termios t{};
    EXPECT_EQ(0, ::tcgetattr(pty_.slave, &t));
    return t;
  }

  CommDcb State() {
    CommDcb dcb;
    EXPECT_EQ(0u, dev_.GetState(dcb));
    return dcb;
  }

  sio_test::PtyPair pty_;
  CommDevice dev_;
};

TEST_F(CommTermios, OpenLeavesTheLineRaw) {
  const termios t = Tio();
  EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(0u, t.c_oflag & OPOST);
  EXPECT_EQ(0u, t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP));
  EXPECT_NE(0u, t.c_cflag & CREAD);
  EXPECT_NE(0u, t.c_cflag & CLOCAL);
}

TEST_F(CommTermios, AnyLineSpeedReadsBack) {
  for (uint32_t rate : {10400u, 31250u, 250000u, 115200u}) {
    CommDcb dcb = State();
    dcb.BaudRate = rate;
    ASSERT_EQ(0u, dev_.SetState(dcb)) << rate;
    EXPECT_EQ(rate, State().BaudRate);
  }
}

TEST_F(CommTermios, StopBitsAndFlowBecomeTermiosFlags) {
  CommDcb dcb = State();
  dcb.StopBits = 2;
  dcb.Flags |= sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX;
  dcb.XonChar = 0x21;
  dcb.XoffChar = 0x22;
  ASSERT_EQ(0u, dev_.SetState(dcb));
  const termios t = Tio();
  EXPECT_NE(0u, t.c_cflag & CSTOPB);
  EXPECT_NE(0u, t.c_cflag & CRTSCTS);
  EXPECT_NE(0u, t.c_iflag & IXON);
  EXPECT_NE(0u, t.c_iflag & IXOFF);
  EXPECT_EQ(0x21, t.c_cc[VSTART]);
  EXPECT_EQ(0x22, t.c_cc[VSTOP]);
  const CommDcb back = State();
  EXPECT_EQ(2, back.StopBits);
  EXPECT_EQ(sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX,
            back.Flags &
                (sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX));

  dcb.Flags &= ~(sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX);
  dcb.StopBits = 0;
  ASSERT_EQ(0u, dev_.SetState(dcb));
  const termios off = Tio();
  EXPECT_EQ(0u, off.c_cflag & (CSTOPB | CRTSCTS));
  EXPECT_EQ(0u, off.c_iflag & (IXON | IXOFF));
}

TEST_F(CommTermios, FramingTheDriverWillNotTakeIsRefusedAndUndone) {
  // A pseudo-terminal forces 8 data bits and no parity.
  CommDcb dcb = State();
  dcb.StopBits = 2;
  dcb.Flags |= sio::platform::dcbOutxCtsFlow;
  ASSERT_EQ(0u, dev_.SetState(dcb));
  const termios before = Tio();
  const struct {
    uint8_t byteSize, parity, stopBits;
  } refused[] = {{7, 2, 0}, {8, 1, 0}, {8, 3, 0}, {8, 4, 2}, {5, 0, 1}, {6, 0, 0}};
  for (const auto& r : refused) {
    CommDcb bad = dcb;
    bad.ByteSize = r.byteSize;
    bad.Parity = r.parity;
    bad.StopBits = r.stopBits;
    bad.BaudRate = 9600;
    EXPECT_EQ(sio::platform::errInvalidParameter, dev_.SetState(bad))
        << int(r.byteSize) << "/" << int(r.parity) << "/" << int(r.stopBits);
    const termios after = Tio();
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
  }
  const CommDcb back = State();
  EXPECT_EQ(dcb.BaudRate, back.BaudRate);
  EXPECT_EQ(8, back.ByteSize);
  EXPECT_EQ(0, back.Parity);
  EXPECT_EQ(2, back.StopBits);
}

TEST_F(CommTermios, WriteReportsTheTransmitterEmpty) {
  ASSERT_EQ(0u, dev_.SetEventMask(sio::platform::evTxEmpty));
  CommIo io;
  uint32_t n = 0;
  ASSERT_EQ(0u, dev_.StartWrite(io, "hello", 5, n));
  EXPECT_EQ(5u, n);
  uint32_t events = 0;
  uint32_t rc = dev_.StartWaitEvent(io, events);
  if (rc == sio::platform::errIoPending) {
    ASSERT_EQ(WaitResult::Signaled, io.Wait(2000));
    rc = dev_.GetResult(io, n, false);
    events = io.Events();
  }
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(sio::platform::evTxEmpty, events);
  // Reported once: the next wait stays pending.
  ASSERT_EQ(sio::platform::errIoPending, dev_.StartWaitEvent(io, events));
  EXPECT_EQ(WaitResult::Timeout, io.Wait(150));
  EXPECT_EQ(0u, dev_.CancelIo(io));
}

// ---- opening ----

TEST(CommOpenPosix, ThingsThatAreNoTerminalAreNotFound) {
  CommDevice dev;
  EXPECT_EQ(sio::platform::errFileNotFound, dev.Open("/dev/null"));
  EXPECT_EQ(sio::platform::errFileNotFound, dev.Open("/tmp"));
  char path[] = "/tmp/sio-comm-plain-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sio::platform::errFileNotFound, dev.Open(path));
  ::close(fd);
  ::unlink(path);
  EXPECT_FALSE(dev.IsOpen());
}

TEST(CommOpenPosix, DeviceLockedByAnotherProgramIsBusy) {
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  const int other = ::open(pty.slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, ::flock(other, LOCK_EX | LOCK_NB));
  CommDevice dev;
  EXPECT_EQ(sio::platform::errAccessDenied, dev.Open(pty.slaveName));
  ::flock(other, LOCK_UN);
  EXPECT_EQ(0u, dev.Open(pty.slaveName));
  // Now the other program cannot take the lock.
  EXPECT_NE(0, ::flock(other, LOCK_EX | LOCK_NB));
  ::close(other);
}

TEST(CommOpenPosix, ExclusiveTerminalKeepsOtherOpenersOut) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may open a terminal held with TIOCEXCL";
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  CommDevice dev;
  ASSERT_EQ(0u, dev.Open(pty.slaveName));
  const int other = ::open(pty.slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_LT(other, 0);
  if (other >= 0) ::close(other);
  ASSERT_EQ(0u, dev.Close());
  const int after = ::open(pty.slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(after, 0) << "close did not release the terminal";
  if (after >= 0) ::close(after);
}

TEST(CommOpenPosix, ComNameOpensThroughThePortTable) {
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  const char* before = std::getenv("SIO_PORTS");
  const std::string saved = before ? before : "";
  ::setenv("SIO_PORTS", ("7=" + pty.slaveName).c_str(), 1);
  CommDevice dev;
  EXPECT_EQ(sio::platform::errFileNotFound, dev.Open("\\\\.\\COM8"));
  EXPECT_EQ(0u, dev.Open("\\\\.\\COM7"));
  if (before) {
    ::setenv("SIO_PORTS", saved.c_str(), 1);
  } else {
    ::unsetenv("SIO_PORTS");
  }
  ASSERT_TRUE(dev.IsOpen());
  ASSERT_EQ(1, ::write(pty.master, "k", 1));
  sio::platform::CommTimeouts t;
  t.ReadIntervalTimeout = sio::platform::kCommMaxTimeout;
  t.ReadTotalTimeoutMultiplier = sio::platform::kCommMaxTimeout;
  t.ReadTotalTimeoutConstant = 2000;
  ASSERT_EQ(0u, dev.SetTimeouts(t));
  CommIo io;
  char c = 0;
  uint32_t n = 0;
  uint32_t rc = dev.StartRead(io, &c, 1, n);
  if (rc == sio::platform::errIoPending) rc = dev.GetResult(io, n, true);
  EXPECT_EQ(0u, rc);
  EXPECT_EQ(1u, n);
  EXPECT_EQ('k', c);
}

// ---- hang-up ----

TEST_F(CommTermios, HangUpWhileIdleIsReportedByEveryOperation) {
  pty_.CloseMaster();
  ASSERT_EQ(0u, dev_.SetEventMask(sio::platform::evRxChar));
  CommIo io;
  uint32_t events = 0;
  const auto start = Clock::now();
  uint32_t rc = dev_.StartWaitEvent(io, events);
  if (rc == sio::platform::errIoPending) {
    ASSERT_EQ(WaitResult::Signaled, io.Wait(1000));
    uint32_t n = 0;
    rc = dev_.GetResult(io, n, false);
  }
  EXPECT_EQ(sio::platform::errDeviceNotConnected, rc);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  char buf[8];
  uint32_t n = 0;
  EXPECT_EQ(sio::platform::errDeviceNotConnected, dev_.StartRead(io, buf, sizeof buf, n));
  EXPECT_EQ(sio::platform::errDeviceNotConnected, dev_.StartWrite(io, "x", 1, n));
  uint32_t status = 0;
  EXPECT_EQ(sio::platform::errDeviceNotConnected, dev_.GetModemStatus(status));
  uint32_t errors = 0;
  EXPECT_EQ(sio::platform::errDeviceNotConnected, dev_.ClearError(errors, nullptr));
  EXPECT_EQ(sio::platform::errDeviceNotConnected, dev_.Escape(sio::platform::escSetDtr));
  EXPECT_EQ(0u, dev_.Close());
}

}  // namespace
