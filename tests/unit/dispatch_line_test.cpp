// Line settings, DTR/RTS, flow control, RS-485, priorities, and the
// modem-status and line-error shadows of the dispatcher.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "serial/support/error_codes.h"
#include "tests/common/memory_dispatcher.h"

namespace {

using sio_test::TMemoryDispatcher;

class LineControl : public ::testing::Test {
 protected:
  void SetUp() override {
    d = std::make_unique<TMemoryDispatcher>(nullptr, false);
    ASSERT_EQ(d->Open(), 0);
  }
  sio::platform::CommDcb Dcb() const { return d->DeviceDcb(); }
  std::unique_ptr<TMemoryDispatcher> d;
};

// --- Line settings ------------------------------------------------------------

TEST_F(LineControl, NoChangeValuesChangeNothingAndWriteNothing) {
  const int32_t calls = d->SetComStateCalls.load();
  EXPECT_EQ(d->SetLine(0, 5, 9, 3), 0);
  EXPECT_EQ(d->SetLine(115200, 0, 8, 1), 0);
  EXPECT_EQ(d->SetComStateCalls.load(), calls);
  EXPECT_EQ(d->SetLine(9600, 5, 9, 3), 0);
  EXPECT_EQ(d->SetComStateCalls.load(), calls + 1);
  EXPECT_EQ(Dcb().BaudRate, 9600u);
  EXPECT_EQ(Dcb().ByteSize, 8);
  EXPECT_EQ(d->Baud, 9600u);
}

TEST_F(LineControl, StopBitCodesFollowTheDataBits) {
  struct Case {
    uint8_t dataBits, stopBits;
    uint8_t wantSize, wantCode;
  } cases[] = {
      {8, 2, 8, 2}, {8, 1, 8, 0}, {8, 0, 8, 0}, {8, 7, 8, 2},  // 0 is one, above 2 is two
      {5, 1, 5, 1}, {5, 2, 5, 1},                              // five data bits: one and a half
      {8, 2, 8, 2}, {5, 3, 5, 1},                              // explicit 5, kept stop bits
      {9, 3, 5, 1},                                            // all kept
      {7, 3, 7, 1},                                            // a kept code stays as it was
  };
  for (const auto& c : cases) {
    (void)d->SetLine(0, 5, c.dataBits, c.stopBits);
    EXPECT_EQ(Dcb().ByteSize, c.wantSize) << int(c.dataBits) << "/" << int(c.stopBits);
    EXPECT_EQ(Dcb().StopBits, c.wantCode) << int(c.dataBits) << "/" << int(c.stopBits);
  }
  (void)d->SetLine(0, 2, 9, 3);
  EXPECT_EQ(Dcb().Parity, 2);
  uint32_t baud;
  uint8_t parity, bits, stop;
  d->GetLine(baud, parity, bits, stop);
  EXPECT_EQ(baud, 115200u);
  EXPECT_EQ(parity, 2);
  EXPECT_EQ(bits, 7);
  EXPECT_EQ(stop, 2) << "one and a half reads as two";
}

TEST_F(LineControl, BaudCodesMapToTheirSpeeds) {
  using D = sio::TSioBaseDispatcher;
  EXPECT_EQ(D::NumericBaud(0xFEFF), 115200u);
  EXPECT_EQ(D::NumericBaud(0xFF10), 110u);
  EXPECT_EQ(D::NumericBaud(0xFF16), 9600u);
  EXPECT_EQ(D::NumericBaud(0xFF1B), 38400u);
  EXPECT_EQ(D::NumericBaud(0xFF27), 256000u);
  EXPECT_EQ(D::NumericBaud(0xFF19), 0xFF19u) << "an empty entry stands for itself";
  EXPECT_EQ(D::NumericBaud(0xFF28), 0xFF28u);
  EXPECT_EQ(D::NumericBaud(57600), 57600u);
  (void)d->SetLine(0xFF16, 5, 9, 3);
  uint32_t baud;
  uint8_t parity, bits, stop;
  d->GetLine(baud, parity, bits, stop);
  EXPECT_EQ(baud, 9600u);
  EXPECT_EQ(Dcb().BaudRate, 0xFF16u) << "the device gets the value as given";
}

TEST_F(LineControl, AChangeWaitsForTheOutputToDrainAndEighteenCharacterTimes) {
  ASSERT_EQ(d->SetLine(9600, 0, 8, 1), 0);
  ASSERT_EQ(d->PutBlock("pending!", 8), 0);
  std::thread writer([this] {
    sio::platform::SleepMs(100);
    d->DrainOutput();
  });
  const uint32_t start = sio::MillisecondClock();
  EXPECT_EQ(d->SetLine(19200, 5, 9, 3), 0);
  const uint32_t took = sio::MillisecondClock() - start;
  writer.join();
  // 100 ms of draining, then 18 characters of 10 bits at 9600 baud (19 ms).
  EXPECT_GE(took, 118u);
  EXPECT_LT(took, 3000u);
  EXPECT_EQ(Dcb().BaudRate, 19200u);
  EXPECT_EQ(d->Written(), "pending!");
}

TEST_F(LineControl, WithoutTheIdleWaitTheSameSettingsAreAppliedAndPendingOutputStaysQueued) {
  const struct {
    uint32_t baud;
    uint8_t parity, dataBits, stopBits;
  } cases[] = {
      {9600, 0, 8, 1}, {38400, 5, 9, 3}, {115200, 2, 7, 2}, {0, 1, 5, 3}, {19200, 5, 9, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.parity) + " " +
                 std::to_string(c.dataBits) + " " + std::to_string(c.stopBits));
    TMemoryDispatcher waiting(nullptr, false);
    TMemoryDispatcher direct(nullptr, false);
    ASSERT_EQ(waiting.Open(), 0);
    ASSERT_EQ(direct.Open(), 0);
    ASSERT_EQ(waiting.SetLine(c.baud, c.parity, c.dataBits, c.stopBits), 0);
    // Output that is drained only if the change is still under way after
    // 2 s: a change that waited for an idle line would return only after
    // the drain, with the output written.
    ASSERT_EQ(direct.PutBlock("pending!", 8), 0);
    std::atomic<bool> returned{false};
    std::thread drainer([&] {
      for (int i = 0; i < 400 && !returned.load(); ++i)
        sio::platform::SleepMs(5);
      if (!returned.load()) direct.DrainOutput();
    });
    const int32_t r = direct.ApplyLine(c.baud, c.parity, c.dataBits, c.stopBits, false);
    returned = true;
    drainer.join();
    ASSERT_EQ(r, 0);
    EXPECT_EQ(direct.OutBuffUsed(), 8u);
    EXPECT_EQ(direct.Written(), "");
    const sio::platform::CommDcb a = waiting.DeviceDcb();
    const sio::platform::CommDcb b = direct.DeviceDcb();
    EXPECT_EQ(b.BaudRate, a.BaudRate);
    EXPECT_EQ(b.Parity, a.Parity);
    EXPECT_EQ(b.ByteSize, a.ByteSize);
    EXPECT_EQ(b.StopBits, a.StopBits);
    EXPECT_EQ(direct.Baud, waiting.Baud);
  }
}

TEST_F(LineControl, ADeviceWithoutASpeedDoesNotStopTheChange) {
  sio::platform::CommDcb dcb = Dcb();
  dcb.BaudRate = 0;
  d->SetDeviceDcb(dcb);
  EXPECT_EQ(d->SetLine(0, 2, 9, 3), 0);
  EXPECT_EQ(Dcb().Parity, 2);
}

TEST_F(LineControl, RefusedSettingsReportTheDeviceError) {
  d->FailSetComState = 87;
  EXPECT_EQ(d->SetLine(4800, 5, 9, 3), -87);
  d->FailGetComState = true;
  uint32_t hw, sw;
  char on, off;
  EXPECT_EQ(d->GetFlowOptions(hw, sw, on, off), -1);
}

TEST_F(LineControl, WritingTheDcbKeepsTheLinesAsRequested) {
  ASSERT_EQ(d->SetDTR(false), 0);
  ASSERT_EQ(d->SetRTS(true), 0);
  sio::platform::CommDcb dcb = Dcb();
  dcb.Flags |=
      sio::platform::dcbDtrHandshake | sio::platform::dcbRtsToggle | sio::platform::dcbOutX;
  const size_t before = d->EscapeCalls().size();
  EXPECT_EQ(d->SetComStatePrim(dcb), 0);
  EXPECT_EQ(Dcb().Flags & sio::platform::dcbDtrControlMask, 0u);
  EXPECT_EQ(Dcb().Flags & sio::platform::dcbRtsControlMask, sio::platform::dcbRtsEnable);
  EXPECT_NE(Dcb().Flags & sio::platform::dcbOutX, 0u) << "other bits are kept";
  const auto calls = d->EscapeCalls();
  ASSERT_EQ(calls.size(), before + 2);
  EXPECT_EQ(calls[before], sio::platform::escClrDtr);
  EXPECT_EQ(calls[before + 1], sio::platform::escSetRts);
}

// --- DTR and RTS --------------------------------------------------------------

TEST_F(LineControl, LinesAreSetThroughTheDeviceUnlessFlowControlOwnsThem) {
  const size_t before = d->EscapeCalls().size();
  EXPECT_EQ(d->SetDTR(true), 0);
  EXPECT_EQ(d->SetDTR(false), 0);
  EXPECT_EQ(d->SetRTS(true), 0);
  EXPECT_EQ(d->SetRTS(false), 0);
  auto calls = d->EscapeCalls();
  EXPECT_EQ(std::vector<int32_t>(calls.begin() + static_cast<std::ptrdiff_t>(before), calls.end()),
            (std::vector<int32_t>{5, 6, 3, 4}));
  d->FailEscape = true;
  EXPECT_EQ(d->SetDTR(true), sio::ecBadArgument);
  d->FailEscape = false;
  ASSERT_EQ(d->SetHWFlow(100, 10, sio::hfUseDTR | sio::hfUseRTS), 0);
  const size_t owned = d->EscapeCalls().size();
  EXPECT_EQ(d->SetDTR(true), 1);
  EXPECT_EQ(d->SetRTS(false), 1);
  EXPECT_EQ(d->EscapeCalls().size(), owned);
}

// --- Flow control -------------------------------------------------------------

TEST_F(LineControl, HardwareFlowLimitsAndBits) {
  EXPECT_EQ(d->SetHWFlow(4097, 0, 0), sio::ecBadArgument);
  EXPECT_EQ(d->SetHWFlow(10, 20, 0), sio::ecBadArgument);
  const int32_t calls = d->SetComStateCalls.load();
  EXPECT_EQ(d->SetComStateCalls.load(), calls) << "refused arguments change nothing";
  ASSERT_EQ(d->SetHWFlow(4096, 100,
                         sio::hfUseDTR | sio::hfUseRTS | sio::hfRequireDSR | sio::hfRequireCTS),
            0);
  sio::platform::CommDcb dcb = Dcb();
  EXPECT_EQ(dcb.XoffLim, 0);
  EXPECT_EQ(dcb.XonLim, 100);
  EXPECT_EQ(dcb.Flags & sio::platform::dcbDtrControlMask, sio::platform::dcbDtrHandshake);
  EXPECT_EQ(dcb.Flags & sio::platform::dcbRtsControlMask, sio::platform::dcbRtsHandshake);
  EXPECT_NE(dcb.Flags & sio::platform::dcbOutxDsrFlow, 0u);
  EXPECT_NE(dcb.Flags & sio::platform::dcbOutxCtsFlow, 0u);
  EXPECT_TRUE(d->DTRAuto && d->RTSAuto);
  uint32_t hw, sw;
  char on, off;
  ASSERT_EQ(d->GetFlowOptions(hw, sw, on, off), 0);
  EXPECT_EQ(hw, 0x0Fu);
  EXPECT_EQ(sw, 0u);
  // Off again: the lines go back to what was asked of them by hand.
  ASSERT_EQ(d->SetHWFlow(3000, 100, 0), 0);
  dcb = Dcb();
  EXPECT_EQ(dcb.XoffLim, 4096 - 3000);
  EXPECT_EQ(dcb.Flags & sio::platform::dcbDtrControlMask, sio::platform::dcbDtrEnable);
  EXPECT_EQ(dcb.Flags & (sio::platform::dcbOutxDsrFlow | sio::platform::dcbOutxCtsFlow), 0u);
  EXPECT_FALSE(d->DTRAuto || d->RTSAuto);
}

TEST_F(LineControl, SoftwareFlowAndItsCharacters) {
  EXPECT_EQ(d->SWFlowEnable(5000, 0, sio::sfReceive), sio::ecBadArgument);
  ASSERT_EQ(d->SWFlowEnable(3000, 500, sio::sfReceive | sio::sfTransmit), 0);
  sio::platform::CommDcb dcb = Dcb();
  EXPECT_NE(dcb.Flags & sio::platform::dcbInX, 0u);
  EXPECT_NE(dcb.Flags & sio::platform::dcbOutX, 0u);
  EXPECT_EQ(dcb.XoffLim, 1096);
  EXPECT_EQ(dcb.XonLim, 500);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffChar, 19);
  ASSERT_EQ(d->SWFlowChars('A', 'B'), 0);
  uint32_t hw, sw;
  char on, off;
  ASSERT_EQ(d->GetFlowOptions(hw, sw, on, off), 0);
  EXPECT_EQ(sw, sio::sfReceive | sio::sfTransmit);
  EXPECT_EQ(on, 'A');
  EXPECT_EQ(off, 'B');
  ASSERT_EQ(d->SWFlowDisable(), 0);
  ASSERT_EQ(d->GetFlowOptions(hw, sw, on, off), 0);
  EXPECT_EQ(sw, 0u);
}

// --- RS-485, priorities and flags -----------------------------------------------

TEST_F(LineControl, RS485LetsTheDriverToggleRTS) {
  d->SetRS485Mode(true);
  ASSERT_EQ(d->SetHWFlow(100, 10, 0), 0);
  EXPECT_EQ(Dcb().Flags & sio::platform::dcbRtsControlMask, sio::platform::dcbRtsToggle);
  EXPECT_TRUE(d->RTSAuto);
  EXPECT_EQ(d->PutBlock("x", 1), 0);
}

TEST_F(LineControl, WithoutDriverToggledRTSTheWriteRaisesItAndNeedsTheBaseAddress) {
  d->LegacyRts = true;
  d->SetRS485Mode(true);
  EXPECT_EQ(d->BaseAddress, 0);
  EXPECT_EQ(d->PutBlock("x", 1), sio::ecBaseAddressNotSet);
  EXPECT_EQ(d->OutBuffUsed(), 0u);
  d->UartBase = 0x3F8;
  d->SetRS485Mode(true);
  EXPECT_EQ(d->BaseAddress, 0x3F8);
  ASSERT_EQ(d->SetRTS(false), 0);
  const size_t before = d->EscapeCalls().size();
  EXPECT_EQ(d->PutBlock("x", 1), 0);
  const auto calls = d->EscapeCalls();
  ASSERT_EQ(calls.size(), before + 1);
  EXPECT_EQ(calls.back(), sio::platform::escSetRts);
  EXPECT_EQ(d->OutBuffUsed(), 1u);
}

TEST_F(LineControl, FlagsAreSetAndCleared) {
  d->SetFlag(4);
  d->SetFlag(1);
  d->ClearFlag(1);
  EXPECT_EQ(d->Flags, 4u);
}

TEST(LineThreads, ThreadBoostRaisesTheThreadsOfThePort) {
  TMemoryDispatcher d(nullptr, true);
  ASSERT_EQ(d.Open(), 0);
  auto priority = [&d] {
    sio::platform::CriticalSectionLock guard(d.ThreadSection);
    sio::TSioDispatcherThread* t = d.DispThread.load();
    return t ? t->GetPriority() : sio::platform::ThreadPriority::Idle;
  };
  EXPECT_EQ(priority(), sio::platform::ThreadPriority::Normal);
  d.SetThreadBoost(2);
  EXPECT_EQ(d.ThreadBoost, 2);
  EXPECT_EQ(priority(), sio::platform::ThreadPriority::Highest);
  d.SetThreadBoost(9);
  EXPECT_EQ(priority(), sio::platform::ThreadPriority::TimeCritical) << "levels stop at the top";
  d.SetThreadBoost(0);
  EXPECT_EQ(priority(), sio::platform::ThreadPriority::Normal);
}

// --- Modem status and line errors -------------------------------------------------

TEST_F(LineControl, LineErrorsAreReportedInOrderAndBreakOutlastsTheOthers) {
  d->PendingErrors = sio::platform::ceFrame | sio::platform::ceBreak;
  d->RefreshLineError();
  EXPECT_EQ(d->GetLineError(), 4);
  EXPECT_EQ(d->LastError, sio::platform::ceBreak);
  EXPECT_EQ(d->GetLineError(), 9);
  EXPECT_EQ(d->LastError, sio::platform::ceBreak) << "the break bit stays for CheckLineBreak";
  EXPECT_TRUE(d->CheckLineBreak());
  EXPECT_FALSE(d->CheckLineBreak());
  EXPECT_EQ(d->GetLineError(), 0);

  d->PendingErrors = sio::platform::ceRxParity | sio::platform::ceOverrun | sio::platform::ceRxOver;
  d->RefreshLineError();
  EXPECT_EQ(d->GetLineError(), 1) << "all four low bits go with the first report";
  EXPECT_EQ(d->GetLineError(), 0);
  d->PendingErrors = sio::platform::ceRxParity | sio::platform::ceOverrun;
  d->RefreshLineError();
  EXPECT_EQ(d->GetLineError(), 2);
  d->PendingErrors = 0xE0 | sio::platform::ceRxParity;
  d->RefreshLineError();
  EXPECT_EQ(d->LastError, sio::platform::ceRxParity) << "only the five line-error bits are kept";
  EXPECT_EQ(d->GetLineError(), 3);
}

TEST_F(LineControl, ModemStatusReportsChangeBitsOnceAndTheRing) {
  d->ModemLines = sio::platform::msCtsOn | sio::platform::msDsrOn;
  d->RefreshModemStatus();
  uint8_t s = d->GetModemStatus();
  EXPECT_EQ(s, sio::platform::msCtsOn | sio::platform::msDsrOn | sio::platform::msDeltaCts |
                   sio::platform::msDeltaDsr);
  s = d->GetModemStatus();
  EXPECT_EQ(s, sio::platform::msCtsOn | sio::platform::msDsrOn)
      << "change bits are cleared once read";
  d->ModemLines = sio::platform::msCtsOn;
  d->FeedEvent(sio::platform::evDsr | sio::platform::evRing);
  d->ProcessCommEvents();
  s = d->GetModemStatus();
  EXPECT_EQ(s,
            sio::platform::msCtsOn | sio::platform::msDeltaDsr | sio::platform::msTrailingEdgeRing)
      << "changes seen by the dispatcher thread persist until read";
  EXPECT_EQ(d->GetModemStatus(), sio::platform::msCtsOn);
  // Lines that cannot be read keep their last state: no invented change.
  d->FailModemQuery = true;
  d->RefreshModemStatus();
  EXPECT_EQ(d->GetModemStatus(), sio::platform::msCtsOn);
}

}  // namespace
