// The serial device records and constants, with the values and bit meanings
// Windows gives them. The dispatcher keeps and edits these records; the
// device layer hands them to the device (Windows: unchanged; POSIX:
// translated to termios).
#pragma once

#include <cstdint>

#include "error_numbers.h"

namespace sio::platform {

// Device control block. Flags packs the Windows DCB bit fields.
struct CommDcb {
  uint32_t BaudRate = 9600;  // bits per second
  uint32_t Flags = 0x0001;   // dcb* bits; binary mode by default
  uint16_t XonLim = 0;       // input flow control resumes the sender at this many bytes queued
  uint16_t XoffLim = 0;      // and stops it at this many bytes free
  uint8_t ByteSize = 8;      // data bits, 5 to 8
  uint8_t Parity = 0;        // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;      // 0 one, 1 one and a half, 2 two
  char XonChar = 0x11;       // XON, sent and received by software flow control
  char XoffChar = 0x13;      // XOFF, likewise
  char ErrorChar = 0;        // replaces bytes received with a parity error (dcbErrorChar)
  char EofChar = 0;          // the end-of-data character
  char EvtChar = 0;          // the character whose arrival is evRxFlag
};

//@{
// CommDcb::Flags bits.
constexpr uint32_t dcbBinary = 0x0001;
constexpr uint32_t dcbParity = 0x0002;
constexpr uint32_t dcbOutxCtsFlow = 0x0004;
constexpr uint32_t dcbOutxDsrFlow = 0x0008;
constexpr uint32_t dcbDtrEnable = 0x0010;     // DTR-control field = enable
constexpr uint32_t dcbDtrHandshake = 0x0020;  // DTR-control field = handshake
constexpr uint32_t dcbDtrControlMask = 0x0030;
constexpr uint32_t dcbDsrSensitivity = 0x0040;
constexpr uint32_t dcbTxContinueOnXoff = 0x0080;
constexpr uint32_t dcbOutX = 0x0100;
constexpr uint32_t dcbInX = 0x0200;
constexpr uint32_t dcbErrorChar = 0x0400;
constexpr uint32_t dcbNull = 0x0800;
constexpr uint32_t dcbRtsEnable = 0x1000;     // RTS-control field = enable
constexpr uint32_t dcbRtsHandshake = 0x2000;  // RTS-control field = handshake
constexpr uint32_t dcbRtsToggle = 0x3000;     // RTS-control field = toggle
constexpr uint32_t dcbRtsControlMask = 0x3000;
constexpr uint32_t dcbAbortOnError = 0x4000;
//@}

//@{
// Line-error bits (CE_).
constexpr uint32_t ceRxOver = 0x0001;
constexpr uint32_t ceOverrun = 0x0002;
constexpr uint32_t ceRxParity = 0x0004;
constexpr uint32_t ceFrame = 0x0008;
constexpr uint32_t ceBreak = 0x0010;
//@}

//@{
// Communication events (EV_).
constexpr uint32_t evRxChar = 0x0001;
constexpr uint32_t evRxFlag = 0x0002;
constexpr uint32_t evTxEmpty = 0x0004;
constexpr uint32_t evCts = 0x0008;
constexpr uint32_t evDsr = 0x0010;
constexpr uint32_t evRlsd = 0x0020;
constexpr uint32_t evBreak = 0x0040;
constexpr uint32_t evErr = 0x0080;
constexpr uint32_t evRing = 0x0100;
// Trailing edge of ring: known to older systems only, refused by some drivers.
constexpr uint32_t evRingTrailing = 0x2000;
//@}

//@{
// Modem status (MS_ bits of the status register; delta bits in the low nibble).
constexpr uint8_t msDeltaCts = 0x01;
constexpr uint8_t msDeltaDsr = 0x02;
constexpr uint8_t msTrailingEdgeRing = 0x04;
constexpr uint8_t msDeltaDcd = 0x08;
constexpr uint8_t msCtsOn = 0x10;
constexpr uint8_t msDsrOn = 0x20;
constexpr uint8_t msRingOn = 0x40;
constexpr uint8_t msDcdOn = 0x80;
//@}

//@{
// Escape functions.
constexpr uint32_t escSetXoff = 1;
constexpr uint32_t escSetXon = 2;
constexpr uint32_t escSetRts = 3;
constexpr uint32_t escClrRts = 4;
constexpr uint32_t escSetDtr = 5;
constexpr uint32_t escClrDtr = 6;
constexpr uint32_t escResetDev = 7;
constexpr uint32_t escSetBreak = 8;
constexpr uint32_t escClrBreak = 9;
//@}

//@{
// Purge flags.
constexpr uint32_t purgeTxAbort = 0x0001;
constexpr uint32_t purgeRxAbort = 0x0002;
constexpr uint32_t purgeTxClear = 0x0004;
constexpr uint32_t purgeRxClear = 0x0008;
//@}

// COMSTAT: what holds the device back and what its queues hold.
struct CommStat {
  uint32_t Flags = 0;     // cs* bits
  uint32_t cbInQue = 0;   // bytes in the input queue
  uint32_t cbOutQue = 0;  // bytes in the output queue
};

// Time-outs of reads and writes in milliseconds (COMMTIMEOUTS). All 0: reads
// and writes wait for the whole block.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;          // longest gap between two received bytes
  uint32_t ReadTotalTimeoutMultiplier = 0;   // a read's limit: this per byte asked for,
  uint32_t ReadTotalTimeoutConstant = 0;     // plus this
  uint32_t WriteTotalTimeoutMultiplier = 0;  // a write's limit: this per byte,
  uint32_t WriteTotalTimeoutConstant = 0;    // plus this
};
// The time-outs' special value. ReadIntervalTimeout at it and both read
// totals 0: a read returns at once with what has arrived; with the
// multiplier at it as well, a read ends at its first byte or after the
// constant.
constexpr uint32_t kCommMaxTimeout = 0xFFFFFFFFu;

//@{
// CommStat::Flags bits.
constexpr uint32_t csCtsHold = 0x01;
constexpr uint32_t csDsrHold = 0x02;
constexpr uint32_t csRlsdHold = 0x04;
constexpr uint32_t csXoffHold = 0x08;
constexpr uint32_t csXoffSent = 0x10;
constexpr uint32_t csEof = 0x20;
constexpr uint32_t csTxim = 0x40;
//@}

// How long an open waits for the system to open the device before it gives
// up with 121, as Windows does for a Bluetooth COM port whose device does
// not answer (such a port connects to its device in the open).
constexpr uint32_t kCommOpenLimitMs = 5000;

}  // namespace sio::platform
