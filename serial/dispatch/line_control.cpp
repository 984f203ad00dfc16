// Line settings, DTR/RTS, hardware and XON/XOFF flow control, RS-485 mode,
// thread priorities, and the modem-status and line-error shadows.
#include <algorithm>

#include "serial/dispatch/dispatcher.h"

#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/error_codes.h"

namespace sio {

namespace {

// Stop-bit codes of the DCB.
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOneAndHalfStopBits = 1;
constexpr uint8_t kTwoStopBits = 2;

// The "no change" arguments of SetLine.
constexpr uint8_t kKeepParity = 5;
constexpr uint8_t kKeepDataBits = 9;
constexpr uint8_t kKeepStopBits = 3;

constexpr int32_t kNormalLevel = 3;

}  // namespace

uint32_t TSioBaseDispatcher::NumericBaud(uint32_t baud) {
  // 0xFF10 + index; 0 marks an entry that stands for itself.
  static constexpr uint32_t kTable[24] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                          19200, 0,   0,   38400,  0,    0,    0,    56000,
                                          0,     0,   0,   128000, 0,    0,    0,    256000};
  if (baud == 0xFEFF) return 115200;
  if (baud >= 0xFF10 && baud <= 0xFF27) {
    const uint32_t mapped = kTable[baud - 0xFF10];
    return mapped != 0 ? mapped : baud;
  }
  return baud;
}

// ---------------------------------------------------------------------------
// Line settings

int32_t TSioBaseDispatcher::SetLine(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                    uint8_t stopBits) {
  return ApplyLine(baud, parity, dataBits, stopBits, true);
}

int32_t TSioBaseDispatcher::ApplyLine(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                      uint8_t stopBits, bool waitForIdle) {
  uint32_t newBaud;
  uint8_t newParity;
  uint8_t newSize;
  uint8_t newStop;
  {
    platform::CriticalSectionLock guard(DataSection);
    (void)GetComState(LineSettings);
    newBaud = baud == 0 ? LineSettings.BaudRate : baud;
    newParity = parity == kKeepParity ? LineSettings.Parity : parity;
    newSize = dataBits == kKeepDataBits ? LineSettings.ByteSize : dataBits;
    if (stopBits == kKeepStopBits) {
      newStop = dataBits == 5 ? kOneAndHalfStopBits : LineSettings.StopBits;
    } else {
      const uint8_t bits = stopBits == 0 ? 1 : std::min<uint8_t>(stopBits, 2);
      newStop = bits == 1 ? kOneStopBit : kTwoStopBits;
      if (newSize == 5) newStop = kOneAndHalfStopBits;
    }
    if (newBaud == LineSettings.BaudRate && newParity == LineSettings.Parity &&
        newSize == LineSettings.ByteSize && newStop == LineSettings.StopBits) {
      return 0;
    }
  }
  // The bytes already on their way go out at the old settings.
  if (waitForIdle) WaitTxIdle();
  platform::CriticalSectionLock guard(DataSection);
  (void)GetComState(LineSettings);
  LineSettings.BaudRate = newBaud;
  LineSettings.Parity = newParity;
  LineSettings.ByteSize = newSize;
  LineSettings.StopBits = newStop;
  return SetComStatePrim(LineSettings);
}

void TSioBaseDispatcher::GetLine(uint32_t& baud, uint8_t& parity, uint8_t& dataBits,
                                 uint8_t& stopBits) {
  platform::CriticalSectionLock guard(DataSection);
  (void)GetComState(LineSettings);
  baud = NumericBaud(LineSettings.BaudRate);
  parity = LineSettings.Parity;
  dataBits = LineSettings.ByteSize;
  stopBits = LineSettings.StopBits != kOneStopBit ? 2 : 1;
}

void TSioBaseDispatcher::WaitTxIdle() {
  for (int32_t round = 0; round < 5000; ++round) {
    if (OutBuffUsed() == 0) break;
    platform::SleepMs(2);
  }
  uint64_t bits;
  uint32_t numeric;
  {
    platform::CriticalSectionLock guard(DataSection);
    (void)GetComState(LineSettings);
    bits = static_cast<uint64_t>(LineSettings.ByteSize) + 2;
    if (LineSettings.Parity != 0) ++bits;
    if (LineSettings.StopBits != kOneStopBit) ++bits;
    numeric = NumericBaud(LineSettings.BaudRate);
  }
  // A device that reports no speed has no character time to wait for (and
  // would divide by zero).
  if (numeric == 0) return;
  // 18 character times in units of 100 ns.
  uint64_t d = (10000000u / numeric) * bits * 18;
  if (d < 10000) d *= 2;
  const uint64_t ms = (d + 9999) / 10000;
  platform::SleepMs(static_cast<uint32_t>(std::min<uint64_t>(ms, 0xFFFFFFFEu)));
}

int32_t TSioBaseDispatcher::SetComStatePrim(platform::CommDcb& dcb) {
  platform::CriticalSectionLock guard(DataSection);
  if (!DTRAuto) {
    dcb.Flags &= ~platform::dcbDtrControlMask;
    if (DTRState) dcb.Flags |= platform::dcbDtrEnable;
  }
  if (!RTSAuto) {
    dcb.Flags &= ~platform::dcbRtsControlMask;
    if (RTSState) dcb.Flags |= platform::dcbRtsEnable;
  }
  const int32_t result = SetComState(dcb);
  Baud = dcb.BaudRate;
  // The lines are set again as they were; the line settings' own result is
  // the one that says whether the device took them.
  (void)SetDTR(DTRState);
  if (!RS485Mode) (void)SetRTS(RTSState);
  return result;
}

int32_t TSioBaseDispatcher::SetDTR(bool onOff) {
  platform::CriticalSectionLock guard(DataSection);
  if (DTRAuto) return 1;
  const int32_t r = EscapeComFunction(onOff ? platform::escSetDtr : platform::escClrDtr);
  DTRState = onOff;
  return r < 0 ? ecBadArgument : r;
}

int32_t TSioBaseDispatcher::SetRTS(bool onOff) {
  platform::CriticalSectionLock guard(DataSection);
  if (RTSAuto) return 1;
  const int32_t r = EscapeComFunction(onOff ? platform::escSetRts : platform::escClrRts);
  RTSState = onOff;
  return r < 0 ? ecBadArgument : r;
}

// ---------------------------------------------------------------------------
// Flow control

int32_t TSioBaseDispatcher::SetHWFlow(uint32_t bufferFull, uint32_t bufferResume,
                                      uint32_t options) {
  platform::CriticalSectionLock guard(DataSection);
  if (bufferFull < bufferResume || bufferFull > InQue) return ecBadArgument;
  (void)GetComState(LineSettings);
  LineSettings.Flags &= ~(platform::dcbDtrControlMask | platform::dcbRtsControlMask |
                          platform::dcbOutxCtsFlow | platform::dcbOutxDsrFlow);
  DTRAuto = false;
  RTSAuto = false;
  if ((options & hfUseDTR) != 0) {
    LineSettings.Flags |= platform::dcbDtrHandshake;
    DTRAuto = true;
  } else if (DTRState) {
    LineSettings.Flags |= platform::dcbDtrEnable;
  }
  if ((options & hfUseRTS) != 0) {
    LineSettings.Flags |= platform::dcbRtsHandshake;
    RTSAuto = true;
  } else if (RTSState) {
    LineSettings.Flags |= platform::dcbRtsEnable;
  }
  if (RS485Mode && DriverTogglesRTS()) {
    LineSettings.Flags =
        (LineSettings.Flags & ~platform::dcbRtsControlMask) | platform::dcbRtsToggle;
    RTSAuto = true;
  }
  LineSettings.XoffLim = static_cast<uint16_t>(InQue - bufferFull);
  LineSettings.XonLim = static_cast<uint16_t>(bufferResume);
  if ((options & hfRequireDSR) != 0) LineSettings.Flags |= platform::dcbOutxDsrFlow;
  if ((options & hfRequireCTS) != 0) LineSettings.Flags |= platform::dcbOutxCtsFlow;
  return SetComStatePrim(LineSettings);
}

int32_t TSioBaseDispatcher::SWFlowEnable(uint32_t bufferFull, uint32_t bufferResume,
                                         uint32_t options) {
  platform::CriticalSectionLock guard(DataSection);
  if (bufferFull < bufferResume || bufferFull > InQue) return ecBadArgument;
  (void)GetComState(LineSettings);
  if ((options & sfReceive) != 0) {
    LineSettings.Flags |= platform::dcbInX;
    LineSettings.XoffLim = static_cast<uint16_t>(InQue - bufferFull);
    LineSettings.XonLim = static_cast<uint16_t>(bufferResume);
  }
  if ((options & sfTransmit) != 0) LineSettings.Flags |= platform::dcbOutX;
  if ((options & (sfReceive | sfTransmit)) != 0) {
    LineSettings.XonChar = 17;
    LineSettings.XoffChar = 19;
  }
  return SetComStatePrim(LineSettings);
}

int32_t TSioBaseDispatcher::SWFlowDisable() {
  platform::CriticalSectionLock guard(DataSection);
  (void)GetComState(LineSettings);
  LineSettings.Flags &= ~(platform::dcbInX | platform::dcbOutX);
  return SetComStatePrim(LineSettings);
}

int32_t TSioBaseDispatcher::SWFlowChars(char xOnChar, char xOffChar) {
  platform::CriticalSectionLock guard(DataSection);
  (void)GetComState(LineSettings);
  LineSettings.XonChar = xOnChar;
  LineSettings.XoffChar = xOffChar;
  return SetComStatePrim(LineSettings);
}

int32_t TSioBaseDispatcher::GetFlowOptions(uint32_t& hwOpts, uint32_t& swOpts, char& xOnChar,
                                           char& xOffChar) {
  platform::CriticalSectionLock guard(DataSection);
  const int32_t result = GetComState(LineSettings);
  const uint32_t f = LineSettings.Flags;
  hwOpts = 0;
  if ((f & platform::dcbDtrControlMask) == platform::dcbDtrHandshake) hwOpts |= hfUseDTR;
  if ((f & platform::dcbRtsControlMask) == platform::dcbRtsHandshake) hwOpts |= hfUseRTS;
  if ((f & platform::dcbOutxDsrFlow) != 0) hwOpts |= hfRequireDSR;
  if ((f & platform::dcbOutxCtsFlow) != 0) hwOpts |= hfRequireCTS;
  swOpts = 0;
  if ((f & platform::dcbOutX) != 0) swOpts |= sfTransmit;
  if ((f & platform::dcbInX) != 0) swOpts |= sfReceive;
  xOnChar = LineSettings.XonChar;
  xOffChar = LineSettings.XoffChar;
  return result;
}

// ---------------------------------------------------------------------------
// RS-485, priorities and flags

void TSioBaseDispatcher::SetRS485Mode(bool onOff) {
  platform::CriticalSectionLock guard(DataSection);
  RS485Mode = onOff;
  if (onOff && !DriverTogglesRTS()) {
    uint16_t address = 0;
    BaseAddress = GetUartBaseAddress(address) ? address : 0;
  }
  platform::CriticalSectionLock threads(ThreadSection);
  if (TSioDispatcherThread* t = WriteThread.load()) {
    t->SetPriority(PriorityLevel(ThreadBoost + kNormalLevel + (onOff ? 1 : 0)));
  }
}

void TSioBaseDispatcher::SetThreadBoost(uint8_t boost) {
  bool rs485;
  {
    platform::CriticalSectionLock guard(DataSection);
    if (boost == ThreadBoost) return;
    ThreadBoost = boost;
    rs485 = RS485Mode;
  }
  platform::CriticalSectionLock threads(ThreadSection);
  for (auto* slot : {&ReadThread, &DispThread, &WriteThread, &StatusThread}) {
    TSioDispatcherThread* t = slot->load();
    if (t == nullptr) continue;
    const int32_t extra = (slot == &WriteThread && rs485) ? 1 : 0;
    t->SetPriority(PriorityLevel(boost + kNormalLevel + extra));
  }
}

void TSioBaseDispatcher::SetFlag(uint32_t mask) {
  platform::CriticalSectionLock guard(DataSection);
  Flags |= mask;
}

void TSioBaseDispatcher::ClearFlag(uint32_t mask) {
  platform::CriticalSectionLock guard(DataSection);
  Flags &= ~mask;
}

// ---------------------------------------------------------------------------
// Modem status and line errors

uint8_t TSioBaseDispatcher::ApplyModemStatus(bool known, uint32_t raw, uint8_t clearMask) {
  // Lines that could not be read keep their last known state rather than
  // reading as a change to "all off".
  const uint32_t lines = known ? (raw & 0xF0) : (ModemStatus & 0xF0);
  ModemStatus = lines | (ModemStatus & 0x0F);
  if (RingFlag.exchange(false)) ModemStatus |= platform::msTrailingEdgeRing;
  const auto result = static_cast<uint8_t>(ModemStatus & 0xFF);
  ModemStatus &= clearMask;
  return result;
}

uint8_t TSioBaseDispatcher::GetModemStatusPrim(uint8_t clearMask) {
  uint32_t raw = 0;
  // Asked before DataSection is taken: the device may be slow to answer.
  const bool known = GetModemStatusRaw(raw);
  platform::CriticalSectionLock guard(DataSection);
  return ApplyModemStatus(known, raw, clearMask);
}

uint8_t TSioBaseDispatcher::GetModemStatus() {
  return GetModemStatusPrim(0xF0);
}

void TSioBaseDispatcher::RefreshModemStatus() {
  uint32_t raw = 0;
  const bool known = GetModemStatusRaw(raw);
  platform::CriticalSectionLock guard(DataSection);
  const uint32_t old = ModemStatus;
  ApplyModemStatus(known, raw, 0xFF);
  ModemStatus |= ((ModemStatus ^ old) & 0xF0) >> 4;
}

platform::CommStat TSioBaseDispatcher::RefreshLineErrorStat() {
  platform::CommStat stat;
  const uint32_t errors = GetComError(stat);
  platform::CriticalSectionLock guard(DataSection);
  LastError |= errors & 0x1F;
  ComStatus = stat;
  return stat;
}

void TSioBaseDispatcher::RefreshLineError() {
  RefreshLineErrorStat();
}

int32_t TSioBaseDispatcher::GetLineError() {
  platform::CriticalSectionLock guard(DataSection);
  static constexpr struct {
    uint32_t bit;
    int32_t code;
  } kOrder[] = {{platform::ceRxOver, 1},
                {platform::ceOverrun, 2},
                {platform::ceRxParity, 3},
                {platform::ceFrame, 4},
                {platform::ceBreak, 9}};
  for (const auto& e : kOrder) {
    if ((LastError & e.bit) != 0) {
      LastError &= ~0x0Fu;
      return e.code;
    }
  }
  return 0;
}

bool TSioBaseDispatcher::CheckLineBreak() {
  platform::CriticalSectionLock guard(DataSection);
  const bool pending = (LastError & platform::ceBreak) != 0;
  LastError &= ~platform::ceBreak;
  return pending;
}

}  // namespace sio
