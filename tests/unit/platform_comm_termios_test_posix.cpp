// The DCB <-> termios translation of the POSIX device code, both ways, on
// plain records: what SetState writes into termios and what GetState reads
// back out of it.
#include "platform/comm_termios_posix.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using sio::platform::CommDcb;

#if defined(CMSPAR)
constexpr tcflag_t kMarkSpace = CMSPAR;
#else
constexpr tcflag_t kMarkSpace = 0;
#endif
constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | kMarkSpace;
constexpr tcflag_t kInputFlow = INPCK | IXON | IXOFF | IXANY;
constexpr uint32_t kFlowFlags = sio::platform::dcbParity | sio::platform::dcbOutxCtsFlow |
                                sio::platform::dcbOutX | sio::platform::dcbInX;

struct Row {
  const char* what;
  uint8_t byteSize, parity, stopBits;
  uint32_t flags;
  tcflag_t cflag;  // the framing bits written
  tcflag_t iflag;  // the input-flow bits written
  uint8_t readStopBits;
  uint32_t readFlags;  // the flow flags read back
};

TEST(PlatformCommTermios, DcbAndTermiosTranslateBothWays) {
  const Row rows[] = {
    {"8N1", 8, 0, 0, 0, CS8, 0, 0, 0},
    {"7O1 checked", 7, 1, 0, sio::platform::dcbParity, CS7 | PARENB | PARODD, INPCK, 0,
     sio::platform::dcbParity},
    {"7E2 checked", 7, 2, 2, sio::platform::dcbParity, CS7 | PARENB | CSTOPB, INPCK, 2,
     sio::platform::dcbParity},
    {"6N2", 6, 0, 2, 0, CS6 | CSTOPB, 0, 2, 0},
    {"5N1.5", 5, 0, 1, 0, CS5 | CSTOPB, 0, 1, 0},
    // Checking asked for without a parity bit has nothing to check.
    {"8N1 checking without parity", 8, 0, 0, sio::platform::dcbParity, CS8, 0, 0, 0},
    {"both flows", 8, 0, 0,
     sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX, CS8 | CRTSCTS,
     IXON | IXOFF, 0,
     sio::platform::dcbOutxCtsFlow | sio::platform::dcbOutX | sio::platform::dcbInX},
#if defined(CMSPAR)
    {"8M1", 8, 3, 0, 0, CS8 | PARENB | PARODD | CMSPAR, 0, 0, 0},
    {"8S1 checked", 8, 4, 0, sio::platform::dcbParity, CS8 | PARENB | CMSPAR, INPCK, 0,
     sio::platform::dcbParity},
#endif
  };
  // Everything the translation manages starts set, so that clearing shows;
  // the settings it does not manage must come through untouched.
  termios start{};
  start.c_cflag = kFraming | CREAD | CLOCAL;
  start.c_iflag = kInputFlow | IGNBRK;
  start.c_lflag = ECHO;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CommDcb dcb;
    dcb.ByteSize = row.byteSize;
    dcb.Parity = row.parity;
    dcb.StopBits = row.stopBits;
    dcb.Flags = sio::platform::dcbBinary | sio::platform::dcbDtrEnable | row.flags;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x23;

    const termios t = sio::platform::comm_posix::TermiosFromDcb(dcb, start);
    EXPECT_EQ(t.c_cflag & kFraming, row.cflag);
    EXPECT_EQ(t.c_cflag & ~kFraming, static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & kInputFlow, row.iflag);
    EXPECT_EQ(t.c_iflag & ~kInputFlow, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ECHO));
    EXPECT_EQ(t.c_cc[VSTART], 0x21);
    EXPECT_EQ(t.c_cc[VSTOP], 0x23);

    // Read back over a record whose other fields must survive.
    CommDcb base;
    base.BaudRate = 10400;
    base.ByteSize = 0;
    base.Parity = 9;
    base.StopBits = 9;
    base.Flags =
        sio::platform::dcbBinary | sio::platform::dcbRtsEnable | (kFlowFlags & ~row.readFlags);
    base.EvtChar = 'e';
    const CommDcb back = sio::platform::comm_posix::DcbFromTermios(t, base);
    EXPECT_EQ(back.ByteSize, row.byteSize);
    EXPECT_EQ(back.Parity, row.parity);
    EXPECT_EQ(back.StopBits, row.readStopBits);
    EXPECT_EQ(back.Flags & kFlowFlags, row.readFlags);
    EXPECT_EQ(back.Flags & ~kFlowFlags, sio::platform::dcbBinary | sio::platform::dcbRtsEnable);
    EXPECT_EQ(back.BaudRate, 10400u);
    EXPECT_EQ(back.EvtChar, 'e');
    EXPECT_EQ(back.XonChar, 0x21);
    EXPECT_EQ(back.XoffChar, 0x23);
  }

  // Parity bits termios can hold that no DCB writes still read as a code.
  struct ParityRow {
    tcflag_t cflag;
    uint8_t parity;
  };
  const ParityRow parityRows[] = {
      {CS8 | PARODD, 0},
      {CS8 | kMarkSpace, 0},
      {CS8 | PARENB | PARODD, 1},
      {CS8 | PARENB, 2},
  };
  for (const ParityRow& row : parityRows) {
    termios t{};
    t.c_cflag = row.cflag;
    EXPECT_EQ(sio::platform::comm_posix::DcbFromTermios(t, CommDcb{}).Parity, row.parity)
        << "cflag " << row.cflag;
  }
}

}  // namespace
