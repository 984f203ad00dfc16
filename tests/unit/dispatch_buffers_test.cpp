// The dispatcher registry, opening and closing a port, the 8192-byte
// dispatch buffer and the output ring, driven without the dispatcher thread
// so that every step is the test's own.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "serial/support/error_codes.h"
#include "tests/common/memory_dispatcher.h"

namespace {

using sio_test::TMemoryDispatcher;
constexpr uint32_t kRing = sio::DispatchBufferSize;

std::string Pattern(size_t n, uint32_t seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// Every queued dispatch-log entry, oldest first, as "type/subtype/data:bytes".
std::vector<std::string> TakeLog(sio::TSioBaseDispatcher& d) {
  std::vector<std::string> out;
  while (sio::TIOBuffer* item = sio::TSioDispatcherProbe::TraceLog(d).LogQueue().RemoveFirst()) {
    auto* e = static_cast<sio::TLogBuffer*>(item);
    std::string bytes = e->Buffer ? std::string(reinterpret_cast<char*>(e->Buffer),
                                                static_cast<size_t>(e->DataSize))
                                  : std::string();
    out.push_back(std::to_string(e->Type) + "/" + std::to_string(e->SubType) + "/" +
                  std::to_string(e->Data) + ":" + bytes);
    delete e;
  }
  return out;
}

class DispatchBuffers : public ::testing::Test {
 protected:
  void SetUp() override {
    d = std::make_unique<TMemoryDispatcher>(nullptr, false);
    ASSERT_EQ(d->Open(16), 0);
  }
  // Moves n bytes into the dispatch buffer and consumes them, so that the
  // head and tail stand at n.
  void Advance(uint32_t n) {
    d->FeedBytes(Pattern(n, 99));
    d->FillDispatchBuffer();
    std::string sink(n, '\0');
    ASSERT_EQ(d->GetBlock(sink.data(), n), static_cast<int32_t>(n));
  }
  std::unique_ptr<TMemoryDispatcher> d;
};

// --- Registry ---------------------------------------------------------------

TEST(DispatchRegistry, SlotsAreReusedAndTrailingEmptySlotsTrimmed) {
  auto a = std::make_unique<TMemoryDispatcher>(nullptr, false);
  auto b = std::make_unique<TMemoryDispatcher>(nullptr, false);
  auto c = std::make_unique<TMemoryDispatcher>(nullptr, false);
  EXPECT_EQ(b->HandleIndex, a->HandleIndex + 1);
  EXPECT_EQ(c->HandleIndex, b->HandleIndex + 1);
  EXPECT_EQ(sio::DispatcherFromHandleIndex(b->HandleIndex), b.get());
  const int32_t bIndex = b->HandleIndex;
  b.reset();
  EXPECT_EQ(sio::DispatcherFromHandleIndex(bIndex), nullptr);
  // The first empty slot is taken again.
  auto e = std::make_unique<TMemoryDispatcher>(nullptr, false);
  EXPECT_EQ(e->HandleIndex, bIndex);
  const int32_t count = sio::DispatcherRegistryCount();
  EXPECT_EQ(count, c->HandleIndex + 1);
  c.reset();
  e.reset();
  // c's slot was last, and e's became last once c's was gone: both trimmed.
  EXPECT_EQ(sio::DispatcherRegistryCount(), a->HandleIndex + 1);
  EXPECT_EQ(sio::DispatcherFromHandleIndex(-1), nullptr);
  EXPECT_EQ(sio::DispatcherFromHandleIndex(count + 5), nullptr);
}

// --- Opening and closing -------------------------------------------------------

TEST(DispatchOpen, OpenAppliesLineAndLinesAndStartsClean) {
  TMemoryDispatcher d(nullptr, false);
  ASSERT_EQ(d.InitPort("\\\\.\\COM3", 38400, 2, 7, 2, 4096, 512, sio::ipDTROn), 0);
  const sio::platform::CommDcb dcb = d.DeviceDcb();
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(d.Baud, 38400u);
  // DTR on, RTS off; the DCB carries the same.
  EXPECT_TRUE(d.DTRState);
  EXPECT_FALSE(d.RTSState);
  EXPECT_EQ(dcb.Flags & sio::platform::dcbDtrControlMask, sio::platform::dcbDtrEnable);
  EXPECT_EQ(dcb.Flags & sio::platform::dcbRtsControlMask, 0u);
  EXPECT_EQ(d.InQue, 4096u);
  EXPECT_EQ(d.OutQue, 512u);
  EXPECT_NE(d.DBuffer, nullptr);
  EXPECT_EQ(d.InBuffUsed(), 0u);
  EXPECT_EQ(d.OutBuffFree(), 512u);
  EXPECT_FALSE(d.TraceLog->TracingOn());
  EXPECT_FALSE(d.TraceLog->LoggingOn());
}

TEST(DispatchOpen, LinesUnderFlowControlAreNotSetByHand) {
  TMemoryDispatcher d(nullptr, false);
  ASSERT_EQ(d.InitPort("x", 9600, 0, 8, 1, 64, 64, sio::ipDTRFlow | sio::ipRTSOn), 0);
  EXPECT_TRUE(d.DTRAuto);
  EXPECT_FALSE(d.RTSAuto);
  for (int32_t f : d.EscapeCalls()) {
    EXPECT_NE(f, sio::platform::escSetDtr);
    EXPECT_NE(f, sio::platform::escClrDtr);
  }
  EXPECT_EQ(d.SetDTR(false), 1);
}

TEST(DispatchOpen, FailuresCloseAgainAndReportTheDeviceError) {
  {
    TMemoryDispatcher d(nullptr, false);
    d.FailOpen = 2;
    EXPECT_EQ(d.Open(), -2);
    EXPECT_EQ(d.DBuffer, nullptr);
    EXPECT_LT(d.DeviceHandle.load(), 0);
    EXPECT_GE(d.DonePortPrimCalls.load(), 1);
  }
  {
    TMemoryDispatcher d(nullptr, false);
    d.FailOpen = sio::ecOutOfMemory;
    EXPECT_EQ(d.Open(), sio::ecOutOfMemory);
  }
  {
    // A device that fails without saying why must not read as success.
    TMemoryDispatcher d(nullptr, false);
    d.FailOpen = -1;
    const int32_t r = d.Open();
    EXPECT_LT(r, 0);
  }
  {
    TMemoryDispatcher d(nullptr, false);
    d.FailSetup = 5;
    EXPECT_EQ(d.Open(), -5);
    EXPECT_LT(d.DeviceHandle.load(), 0);
    EXPECT_EQ(d.DBuffer, nullptr);
  }
  {
    TMemoryDispatcher d(nullptr, false);
    d.FailSetComState = 87;
    EXPECT_EQ(d.Open(), -87);
    EXPECT_EQ(d.DBuffer, nullptr);
    EXPECT_EQ(d.OutBuffer, nullptr);
  }
}

TEST(DispatchOpen, DonePortFlushesClosesAndReleases) {
  TMemoryDispatcher d(nullptr, false);
  ASSERT_EQ(d.Open(), 0);
  d.FeedBytes("abc");
  ASSERT_EQ(d.PutBlock("xyz", 3), 0);
  d.DonePort();
  EXPECT_EQ(d.DeviceHandle.load(), -1);
  EXPECT_EQ(d.InQueue->Count(), 0);
  EXPECT_EQ(d.DBuffer, nullptr);
  EXPECT_EQ(d.OutBuffer, nullptr);
  EXPECT_EQ(d.DonePortPrimCalls.load(), 1);
  // A released port answers without touching its buffers.
  char c;
  EXPECT_EQ(d.GetBlock(&c, 1), sio::ecCommNotOpen);
  EXPECT_EQ(d.PutBlock("a", 1), sio::ecCommNotOpen);
  EXPECT_FALSE(d.FillDispatchBuffer());
}

// --- The dispatch buffer ----------------------------------------------------

TEST(DispatchBufferCount, OneRuleForEveryHeadAndTail) {
  EXPECT_EQ(sio::TSioBaseDispatcher::BufferedCount(5, 5, false), 0u);
  EXPECT_EQ(sio::TSioBaseDispatcher::BufferedCount(5, 5, true), kRing);
  EXPECT_EQ(sio::TSioBaseDispatcher::BufferedCount(10, 3, false), 7u);
  EXPECT_EQ(sio::TSioBaseDispatcher::BufferedCount(3, 10, false), kRing - 7);
  EXPECT_EQ(sio::TSioBaseDispatcher::BufferedCount(0, kRing - 1, false), 1u);
}

TEST_F(DispatchBuffers, GetBlockCopiesAndConsumesOrRefusesWhole) {
  d->FeedBytes("hello world");
  EXPECT_TRUE(d->FillDispatchBuffer());
  EXPECT_EQ(d->InBuffUsed(), 11u);
  char buf[16] = {};
  EXPECT_EQ(d->GetBlock(buf, 12), sio::ecBufferIsEmpty);
  EXPECT_EQ(d->InBuffUsed(), 11u);
  EXPECT_EQ(d->GetBlock(buf, 0), 0);
  EXPECT_EQ(d->GetBlock(buf, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(d->InBuffUsed(), 6u);
  uint32_t newTail = 0;
  EXPECT_EQ(d->PeekBlockPrim(buf, 1, newTail, 5), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(newTail, 11u);
  EXPECT_EQ(d->InBuffUsed(), 6u) << "a peek consumes nothing";
  EXPECT_EQ(d->PeekBlockPrim(buf, 2, newTail, 5), sio::ecBufferIsEmpty);
}

TEST_F(DispatchBuffers, AWrappingBlockIsFilledAndCopiedInTwoPiecesAndConsumedAsOne) {
  Advance(kRing - 3);
  ASSERT_EQ(d->DBufHead, kRing - 3);
  d->FeedBytes("ABCDEFGHIJ");
  EXPECT_TRUE(d->FillDispatchBuffer());
  EXPECT_EQ(d->DBufHead, 7u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(d->DBuffer.get()) + kRing - 3, 3), "ABC");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(d->DBuffer.get()), 7), "DEFGHIJ");
  char buf[10];
  ASSERT_EQ(d->GetBlock(buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), "ABCDEFGHIJ");
  EXPECT_EQ(d->DBufTail, 7u);
  EXPECT_EQ(d->InBuffUsed(), 0u);
}

TEST_F(DispatchBuffers, AReadEndingAtTheEndOfTheRingLeavesTheTailAtZero) {
  Advance(8000);
  d->FeedBytes(Pattern(kRing - 8000, 5));
  d->FillDispatchBuffer();
  EXPECT_EQ(d->DBufHead, 0u);
  std::string buf(kRing - 8000, '\0');
  ASSERT_EQ(d->GetBlock(buf.data(), kRing - 8000), static_cast<int32_t>(kRing - 8000));
  EXPECT_EQ(buf, Pattern(kRing - 8000, 5));
  EXPECT_EQ(d->DBufTail, 0u);
  uint32_t newTail = 1;
  d->FeedBytes("z");
  d->FillDispatchBuffer();
  EXPECT_EQ(d->PeekBlockPrim(buf.data(), 0, newTail, 1), 1);
  EXPECT_EQ(newTail, 1u);
}

TEST_F(DispatchBuffers, AnExactlyFullRingHoldsEverythingAndReadsNothingMore) {
  d->OpenDispatchLog(0);
  const std::string data = Pattern(kRing + 50, 1);
  d->FeedBytes(data);
  EXPECT_TRUE(d->FillDispatchBuffer());
  EXPECT_TRUE(d->DBufFull);
  EXPECT_EQ(d->DBufHead, d->DBufTail);
  EXPECT_EQ(d->InBuffUsed(), kRing);
  TakeLog(*d);
  // Full: nothing is read, nothing is lost, and the reason is logged.
  EXPECT_TRUE(d->FillDispatchBuffer());
  EXPECT_EQ(d->InQueueUsed() + 0u, 50u);
  const auto log = TakeLog(*d);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "1/8/0:Dispatch buffer full.");
  // Room for one byte: exactly one more comes in.
  char c;
  ASSERT_EQ(d->GetBlock(&c, 1), 1);
  EXPECT_FALSE(d->DBufFull);
  d->FillDispatchBuffer();
  EXPECT_TRUE(d->DBufFull);
  std::string all(kRing, '\0');
  ASSERT_EQ(d->GetBlock(all.data(), kRing), static_cast<int32_t>(kRing));
  EXPECT_EQ(all, data.substr(1, kRing));
  EXPECT_EQ(d->InBuffUsed(), 0u);
}

TEST_F(DispatchBuffers, FillStopsAtAStatusItemAndLogsWhatItRead) {
  d->OpenDispatchLog(0);
  d->FeedBytes("ab");
  d->FeedEvent(sio::platform::evCts);
  d->FeedBytes("cd");
  EXPECT_TRUE(d->FillDispatchBuffer());
  EXPECT_EQ(d->InBuffUsed(), 2u);
  auto log = TakeLog(*d);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "1/1/2:ab");
  // Nothing to read: false.
  TMemoryDispatcher empty(nullptr, false);
  ASSERT_EQ(empty.Open(), 0);
  EXPECT_FALSE(empty.FillDispatchBuffer());
}

TEST_F(DispatchBuffers, AFailedDeviceReadCountsAsNothingAndAsksForTheEventMask) {
  d->FeedBytes("abc");
  d->FailReads = 1;
  d->FillDispatchBuffer();
  EXPECT_EQ(d->InBuffUsed(), 0u);
  EXPECT_EQ(d->GetComEventMaskCalls.load(), 1);
  d->FillDispatchBuffer();
  EXPECT_EQ(d->InBuffUsed(), 3u);
}

TEST_F(DispatchBuffers, FlushInDiscardsReceivedDataAndMatchState) {
  ASSERT_GT(d->AddDataTrigger("OK", false), 0);
  d->FeedBytes("xxO");
  d->FillDispatchBuffer();
  EXPECT_FALSE(d->CheckDataTriggers());
  d->FeedBytes("queued");
  EXPECT_EQ(d->FlushInBuffer(), 0);
  EXPECT_EQ(d->InBuffUsed(), 0u);
  EXPECT_EQ(d->InQueue->Count(), 0);
  // The half-seen "O" is forgotten: a lone "K" is no match.
  d->FeedBytes("K");
  d->FillDispatchBuffer();
  EXPECT_FALSE(d->CheckDataTriggers());
  for (const auto& t : d->DataTriggers)
    EXPECT_EQ(t->Matched, 0);
}

TEST_F(DispatchBuffers, GetBlockTracesWhatItReads) {
  ASSERT_EQ(d->OpenTraceBuffer(10), 0);
  d->FeedBytes("RX");
  d->FillDispatchBuffer();
  char buf[2];
  ASSERT_EQ(d->GetBlock(buf, 2), 2);
  ASSERT_EQ(d->TraceLog->Head(), 2u);
  EXPECT_EQ(d->TraceLog->Entry(0).Kind, 'R');
  EXPECT_EQ(d->TraceLog->Entry(1).Value, 'X');
}

// --- The output ring ----------------------------------------------------------

TEST_F(DispatchBuffers, PutBlockOfExactlyTheFreeRoomFillsTheRingAndOneMoreIsRefused) {
  ASSERT_EQ(d->PutBlock("0123456789", 10), 0);
  EXPECT_EQ(d->OutBuffUsed(), 10u);
  EXPECT_EQ(d->OutBuffFree(), 6u);
  EXPECT_EQ(d->PutBlock("abcdefg", 7), sio::ecOutputBufferTooSmall);
  EXPECT_EQ(d->OutBuffUsed(), 10u) << "nothing of a refused block is written";
  EXPECT_EQ(d->PutBlock("abcdef", 6), 0);
  EXPECT_TRUE(d->OutBufFull);
  EXPECT_EQ(d->OutBuffUsed(), 16u);
  EXPECT_EQ(d->OutBuffFree(), 0u);
  EXPECT_EQ(d->PutBlock("!", 1), sio::ecOutputBufferTooSmall);
  EXPECT_EQ(d->DrainOutput(), "0123456789abcdef");
  // The ring wraps: 4 bytes of room before its end, 6 at its start.
  ASSERT_EQ(d->PutBlock("............", 12), 0);
  EXPECT_EQ(d->DrainOutput().size(), 12u);
  ASSERT_EQ(d->PutBlock("WRAPPED!!!", 10), 0);
  EXPECT_EQ(d->OutHead, 6u);
  EXPECT_EQ(d->DrainOutput(), "WRAPPED!!!");
  EXPECT_EQ(d->PutBlock("", 0), 0);
}

TEST_F(DispatchBuffers, AFailedWriteReportsFailureAccumulatesLineErrorsAndLeavesTheRingAlone) {
  {
    sio::platform::CriticalSectionLock guard(d->DataSection);
    d->LastError = sio::platform::ceBreak;
  }
  d->PendingErrors = sio::platform::ceFrame;
  d->FailWrite = 0;
  d->OutSentPending = false;
  EXPECT_EQ(d->PutBlock("0123456789abcdef", 16), sio::ecPutBlockFail);
  EXPECT_FALSE(d->OutBufFull) << "a ring marked full would resend stale bytes";
  EXPECT_EQ(d->OutBuffUsed(), 0u);
  EXPECT_TRUE(d->OutSentPending.load());
  EXPECT_EQ(d->LastError, sio::platform::ceBreak | sio::platform::ceFrame);
  EXPECT_EQ(d->DrainOutput(), "");
}

TEST_F(DispatchBuffers, PutBlockLogsAndTracesWhatWasAccepted) {
  d->OpenDispatchLog(0);
  ASSERT_EQ(d->OpenTraceBuffer(8), 0);
  ASSERT_EQ(d->PutBlock("AT@1\r", 5), 0);
  auto log = TakeLog(*d);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "1/2/5:AT@1\r");
  EXPECT_EQ(d->TraceLog->Head(), 5u);
  EXPECT_EQ(d->TraceLog->Entry(4).Kind, 'T');
  EXPECT_EQ(d->TraceLog->Entry(4).Value, '\r');
  d->FailWrite = 0;
  EXPECT_EQ(d->PutBlock("AT", 2), sio::ecPutBlockFail);
  log = TakeLog(*d);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "1/2/0:");
  EXPECT_EQ(d->TraceLog->Head(), 5u);
}

TEST_F(DispatchBuffers, FlushOutDiscardsWhatWasNotSent) {
  ASSERT_EQ(d->PutBlock("pending", 7), 0);
  (void)d->FlushOutBuffer();
  EXPECT_EQ(d->OutBuffUsed(), 0u);
  EXPECT_EQ(d->DrainOutput(), "");
}

}  // namespace
