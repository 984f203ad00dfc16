// Triggers, their handles and records, the delivery of their events with the
// consume protocol, and the dispatcher thread: first driven step by step from
// the test, then through the real dispatcher thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/common/trigger_reference.h"

namespace {

using sio_test::THandlerProbe;
using sio_test::TMemoryDispatcher;
using sio_test::WaitFor;
constexpr uint32_t kRing = sio::DispatchBufferSize;

uint32_t LParamOf(const sio::TSioBaseDispatcher& d, uint32_t data) {
  return static_cast<uint32_t>(d.GetHandleIndex()) * 65536u + data;
}

class Triggers : public ::testing::Test {
 protected:
  void SetUp() override {
    d = std::make_unique<TMemoryDispatcher>(nullptr, false);
    ASSERT_EQ(d->Open(), 0);
  }
  void Receive(const std::string& bytes) {
    d->FeedBytes(bytes);
    d->FillDispatchBuffer();
  }
  std::unique_ptr<TMemoryDispatcher> d;
};

// --- Handles ------------------------------------------------------------------

TEST_F(Triggers, HandlesAreMultiplesOfEightAndStartAgainAfterOpen) {
  EXPECT_EQ(d->AddTimerTrigger(), 8);
  EXPECT_EQ(d->AddTimerTrigger(), 16);
  EXPECT_EQ(d->AddDataTrigger("OK", false), 24);
  EXPECT_EQ(d->AddStatusTrigger(sio::stLine), 32 + sio::stLine);
  d->DonePort();
  ASSERT_EQ(d->Open(), 0);
  EXPECT_TRUE(d->TimerTriggers.empty());
  EXPECT_EQ(d->AddTimerTrigger(), 8);
}

TEST_F(Triggers, OnceTheCounterIsSpentFreeHandlesUpTo4096AreReused) {
  {
    sio::platform::CriticalSectionLock guard(d->DataSection);
    d->NextHandle = sio::TriggerHandleLimit;
  }
  const int32_t status = d->AddStatusTrigger(sio::stOutSent);
  EXPECT_EQ(status, 8 + sio::stOutSent) << "the search starts at 8";
  for (int32_t h = 16; h <= 4096; h += 8)
    ASSERT_EQ(d->AddTimerTrigger(), h);
  EXPECT_EQ(d->AddTimerTrigger(), sio::ecNoMoreTriggers);
  EXPECT_EQ(d->AddDataTrigger("x", false), sio::ecNoMoreTriggers);
  EXPECT_EQ(d->TimerTriggers.size(), 511u);
  ASSERT_EQ(d->RemoveTrigger(800), 0);
  EXPECT_EQ(d->AddTimerTrigger(), 800);
  ASSERT_EQ(d->RemoveTrigger(status), 0);
  EXPECT_EQ(d->AddTimerTrigger(), 8) << "a status trigger's handle counts without its type bits";
}

TEST_F(Triggers, RemoveAndFindKnowEveryKind) {
  const int32_t timer = d->AddTimerTrigger();
  const int32_t data = d->AddDataTrigger("AB", false);
  const int32_t status = d->AddStatusTrigger(sio::stModem);
  void* rec = nullptr;
  int32_t kind = -1;
  EXPECT_EQ(d->FindTriggerFromHandle(timer, false, rec, kind), 0);
  EXPECT_EQ(kind, sio::tkTimer);
  EXPECT_EQ(static_cast<sio::TTimerTrigger*>(rec)->Handle, timer);
  EXPECT_EQ(d->FindTriggerFromHandle(data, false, rec, kind), 0);
  EXPECT_EQ(kind, sio::tkData);
  EXPECT_EQ(d->FindTriggerFromHandle(status, false, rec, kind), 0);
  EXPECT_EQ(kind, sio::tkStatus);
  EXPECT_EQ(d->FindTriggerFromHandle(1, false, rec, kind), sio::ecBadTriggerHandle);
  EXPECT_EQ(kind, sio::tkNone);

  EXPECT_EQ(d->SetTimerTrigger(data, 1, true), sio::ecBadTriggerHandle);
  EXPECT_EQ(d->SetStatusTrigger(timer, 1, true), sio::ecBadTriggerHandle);
  EXPECT_EQ(d->RemoveTrigger(0), sio::ecBadTriggerHandle);
  d->ChangeLengthTrigger(5);
  EXPECT_EQ(d->RemoveTrigger(1), 0);
  EXPECT_EQ(d->TrigAvailLength, 0);
  EXPECT_EQ(d->RemoveTrigger(timer), 0);
  EXPECT_EQ(d->RemoveTrigger(timer), sio::ecBadTriggerHandle);
  EXPECT_EQ(d->SetTimerTrigger(timer, 1, true), sio::ecBadTriggerHandle);
  EXPECT_EQ(d->RemoveTrigger(status), 0);
  EXPECT_EQ(d->RemoveTrigger(data), 0);
  EXPECT_TRUE(d->TimerTriggers.empty() && d->DataTriggers.empty() && d->StatusTriggers.empty());
}

TEST_F(Triggers, TriggerChangesAreLogged) {
  d->OpenDispatchLog(0);
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 0x01020304, true);
  (void)d->SetTimerTrigger(h, 0, false);
  const int32_t s = d->AddStatusTrigger(sio::stLine);
  (void)d->RemoveTrigger(s);
  (void)d->RemoveTrigger(h);
  std::vector<std::string> rows;
  while (sio::TIOBuffer* item = d->TraceLog->LogQueue().RemoveFirst()) {
    auto* e = static_cast<sio::TLogBuffer*>(item);
    std::string row = std::to_string(e->Type) + "/" + std::to_string(e->SubType) + "/" +
                      std::to_string(e->Data) + ":";
    for (int32_t i = 0; i < e->DataSize; ++i)
      row += std::to_string(e->Buffer[i]) + ",";
    rows.push_back(row);
    delete e;
  }
  const std::vector<std::string> expected = {
      "5/14/8:", "9/14/8:4,3,2,1,",
      "9/14/8:68,101,97,99,116,105,118,97,116,101,100,",  // "Deactivated"
      "6/15/18:2,", "6/6/8:"};
  EXPECT_EQ(rows, expected);
}

// --- Data triggers and the byte matcher ---------------------------------------

TEST_F(Triggers, DataTriggersAreLimitedTo22CharactersAndKeptUpperCaseWhenCaseIsIgnored) {
  EXPECT_EQ(d->AddDataTrigger(std::string(23, 'x'), false), sio::ecTriggerTooLong);
  EXPECT_EQ(d->AddDataTrigger("", false), sio::ecBadArgument);
  EXPECT_GT(d->AddDataTrigger(std::string(22, 'x'), false), 0);
  const int32_t h = d->AddDataTrigger("Elm327_clone", true);
  ASSERT_GT(h, 0);
  EXPECT_STREQ(d->DataTriggers.back()->Text, "ELM327_CLONE");
  EXPECT_EQ(d->DataTriggers.back()->Length, 12);
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  Receive("..elm327_Clone..");
  while (d->CheckDataTriggers()) {
  }
  ASSERT_EQ(probe.Count(), 1u);
  EXPECT_EQ(probe.Calls()[0].Msg, sio::kMsgTriggerData);
  EXPECT_EQ(probe.Calls()[0].Trigger, static_cast<uint32_t>(h));
  EXPECT_EQ(probe.Calls()[0].Data, LParamOf(*d, 12));
}

TEST(MatchTriggerByte, AgreesWithAPlainMatcherOnRandomStreams) {
  std::mt19937 rng(20261209);
  size_t matches = 0;
  for (int round = 0; round < 20000; ++round) {
    const int32_t length = 1 + static_cast<int32_t>(rng() % (round % 10 == 0 ? 22 : 6));
    const char alphabet = static_cast<char>(2 + rng() % 3);
    std::string text;
    for (int32_t i = 0; i < length; ++i)
      text.push_back(static_cast<char>('a' + rng() % alphabet));
    std::string stream;
    for (int i = 0; i < 80; ++i)
      stream.push_back(static_cast<char>('a' + rng() % alphabet));
    if (round % 3 == 0) stream.insert(rng() % stream.size(), text + text.substr(1));
    int32_t slots[sio::MaxTriggerLength] = {};
    char stored[sio::TriggerTextSize] = {};
    text.copy(stored, text.size());
    const std::vector<bool> expected = sio_test::ReferenceMatches(text, stream);
    for (size_t j = 0; j < stream.size(); ++j) {
      const bool got = sio::TSioBaseDispatcher::MatchTriggerByte(
          slots, static_cast<uint8_t>(stream[j]), length, false, stored);
      ASSERT_EQ(got, expected[j]) << "text \"" << text << "\" after \"" << stream.substr(0, j + 1)
                                  << "\"";
      matches += got ? 1 : 0;
    }
  }
  EXPECT_GT(matches, 10000u);
}

TEST(MatchTriggerByte, OverlappingCandidatesAndCase) {
  int32_t slots[sio::MaxTriggerLength] = {};
  const char text[sio::TriggerTextSize] = "AAB";
  std::string got;
  for (char c : std::string("AAAABAAB"))
    got += sio::TSioBaseDispatcher::MatchTriggerByte(slots, static_cast<uint8_t>(c), 3, false, text)
               ? '1'
               : '0';
  EXPECT_EQ(got, "00001001");
  int32_t slots2[sio::MaxTriggerLength] = {};
  EXPECT_FALSE(sio::TSioBaseDispatcher::MatchTriggerByte(slots2, 'a', 3, true, text));
  EXPECT_FALSE(sio::TSioBaseDispatcher::MatchTriggerByte(slots2, 'a', 3, true, text));
  EXPECT_TRUE(sio::TSioBaseDispatcher::MatchTriggerByte(slots2, 'b', 3, true, text));
  int32_t slots3[sio::MaxTriggerLength] = {};
  EXPECT_FALSE(sio::TSioBaseDispatcher::MatchTriggerByte(slots3, 'a', 1, false, text));
  EXPECT_TRUE(sio::TSioBaseDispatcher::MatchTriggerByte(slots3, 'A', 1, false, text));
  // Case folding covers the whole alphabet, edge letters included, and
  // nothing beside it: '`' and '{' are not '@' and '['.
  const struct {
    const char* stored;
    const char* input;
    bool matches;
  } folds[] = {{"AZ", "az", true}, {"ZA", "za", true}, {"@[", "`{", false}, {"`{", "`{", true}};
  for (const auto& f : folds) {
    int32_t s[sio::MaxTriggerLength] = {};
    char stored[sio::TriggerTextSize] = {};
    std::strncpy(stored, f.stored, sizeof stored - 1);
    const bool first = sio::TSioBaseDispatcher::MatchTriggerByte(
        s, static_cast<uint8_t>(f.input[0]), 2, true, stored);
    const bool second = sio::TSioBaseDispatcher::MatchTriggerByte(
        s, static_cast<uint8_t>(f.input[1]), 2, true, stored);
    EXPECT_FALSE(first) << f.stored;
    EXPECT_EQ(second, f.matches) << f.stored << " against " << f.input;
  }
}

// --- The consume protocol -----------------------------------------------------

TEST_F(Triggers, HandlersOfOneAvailabilityEventSeeTheSameBytesAndTheLargestReadCounts) {
  THandlerProbe three(d.get());
  THandlerProbe five(d.get());
  three.ReadOnAvail = 3;
  five.ReadOnAvail = 5;
  d->RegisterEventTriggerHandler(three.Method());
  d->RegisterEventTriggerHandler(five.Method());
  d->ChangeLengthTrigger(1);
  Receive("abcdefgh");
  EXPECT_FALSE(d->CheckDataTriggers()) << "8 were reported, only 5 taken";
  ASSERT_EQ(three.Count(), 1u);
  ASSERT_EQ(five.Count(), 1u);
  EXPECT_EQ(three.Calls()[0].Trigger, 8u);
  EXPECT_EQ(three.Calls()[0].Bytes, "abc");
  EXPECT_EQ(five.Calls()[0].Bytes, "abcde");
  EXPECT_EQ(d->DBufTail, 5u);
  EXPECT_EQ(d->InBuffUsed(), 3u);
  // The same head: no second report of the same bytes.
  EXPECT_FALSE(d->CheckDataTriggers());
  EXPECT_EQ(three.Count(), 1u);
  // New bytes: everything unread is reported again.
  Receive("ij");
  three.ReadOnAvail = -1;
  five.ReadOnAvail = -1;
  EXPECT_TRUE(d->CheckDataTriggers());
  EXPECT_EQ(five.Calls()[1].Trigger, 5u);
  EXPECT_EQ(five.Calls()[1].Bytes, "fghij");
  EXPECT_EQ(d->InBuffUsed(), 0u);
}

TEST_F(Triggers, TwoReadsInOneHandlerGetConsecutiveBytes) {
  std::string first;
  std::string second;
  struct Reader {
    TMemoryDispatcher* d;
    std::string* first;
    std::string* second;
    void Handle(uint32_t, uint32_t, uint32_t) {
      char buf[8] = {};
      const int32_t a = d->GetBlock(buf, 3);
      first->assign(buf, static_cast<size_t>(std::max(a, 0)));
      const int32_t b = d->GetBlock(buf, 4);
      second->assign(buf, static_cast<size_t>(std::max(b, 0)));
    }
  } reader{d.get(), &first, &second};
  d->RegisterEventTriggerHandler(sio::TTriggerEvent::Of<&Reader::Handle>(&reader));
  d->ChangeLengthTrigger(1);
  Receive("abcdefg");
  EXPECT_TRUE(d->CheckDataTriggers());
  EXPECT_EQ(first, "abc");
  EXPECT_EQ(second, "defg");
  EXPECT_EQ(d->InBuffUsed(), 0u) << "both reads count";
}

TEST_F(Triggers, AHandlerThatReadsNothingLeavesTheBytesAndEndsThePass) {
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  d->FeedBytes("xyz");
  d->ProcessCommEvents();
  EXPECT_EQ(probe.Count(), 1u);
  EXPECT_EQ(d->InBuffUsed(), 3u);
  d->ProcessCommEvents();
  EXPECT_EQ(probe.Count(), 1u) << "reported again only when the head moves";
  d->FeedBytes("!");
  d->ProcessCommEvents();
  ASSERT_EQ(probe.Count(), 2u);
  EXPECT_EQ(probe.Calls()[1].Trigger, 4u);
}

TEST_F(Triggers, AvailabilityHonoursItsThreshold) {
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = -1;
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(4);
  Receive("abc");
  EXPECT_FALSE(d->CheckDataTriggers());
  EXPECT_EQ(probe.Count(), 0u);
  Receive("d");
  EXPECT_TRUE(d->CheckDataTriggers());
  ASSERT_EQ(probe.Count(), 1u);
  EXPECT_EQ(probe.Calls()[0].Bytes, "abcd");
}

TEST_F(Triggers, ADataMatchFirstReportsTheBytesBeforeItAsAvailable) {
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = -1;
  const int32_t ok = d->AddDataTrigger("OK", false);
  probe.OnCall = [this](const THandlerProbe::Call& call) {
    if (call.Msg == sio::kMsgTriggerData) {
      char text[2];
      EXPECT_EQ(d->GetBlock(text, 2), 2);
      EXPECT_EQ(std::string(text, 2), "OK");
    }
  };
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  Receive("abcOKxyz");
  while (d->CheckDataTriggers()) {
  }
  const auto calls = probe.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].Msg, sio::kMsgTriggerAvail);
  EXPECT_EQ(calls[0].Bytes, "abc");
  EXPECT_EQ(calls[1].Msg, sio::kMsgTriggerData);
  EXPECT_EQ(calls[1].Trigger, static_cast<uint32_t>(ok));
  EXPECT_EQ(calls[1].Data, LParamOf(*d, 2));
  EXPECT_EQ(calls[2].Msg, sio::kMsgTriggerAvail);
  EXPECT_EQ(calls[2].Bytes, "xyz");
  EXPECT_EQ(d->InBuffUsed(), 0u);
}

TEST_F(Triggers, AMatchAtTheVeryStartReportsNothingBeforeIt) {
  THandlerProbe probe(d.get());
  (void)d->AddDataTrigger("OK", false);
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  Receive("OK");
  EXPECT_TRUE(d->CheckDataTriggers());
  ASSERT_EQ(probe.Count(), 1u);
  EXPECT_EQ(probe.Calls()[0].Msg, sio::kMsgTriggerData);
}

TEST_F(Triggers, ARingThatFillsBackToTheLastReportedPositionIsStillScannedAndReported) {
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = -1;
  const int32_t tail = d->AddDataTrigger("TAIL", false);
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  Receive(std::string(100, '.'));
  EXPECT_TRUE(d->CheckDataTriggers());
  ASSERT_EQ(d->DBufTail, 100u);
  // Exactly one ring's worth arrives at once: the head comes back to where
  // the last report was made, and the ring is full.
  std::string burst(kRing, '-');
  burst.replace(kRing - 4, 4, "TAIL");
  d->FeedBytes(burst);
  d->FillDispatchBuffer();  // up to the end of the ring
  d->FillDispatchBuffer();  // and on from its start
  ASSERT_TRUE(d->DBufFull);
  ASSERT_EQ(d->DBufHead, 100u);
  while (d->CheckDataTriggers()) {
  }
  // The bytes before the match, the match, then the matched text itself
  // (nobody took it) as available.
  const auto calls = probe.Calls();
  ASSERT_EQ(calls.size(), 4u) << "a full ring must not stall unreported";
  EXPECT_EQ(calls[1].Msg, sio::kMsgTriggerAvail);
  EXPECT_EQ(calls[1].Trigger, kRing - 4);
  EXPECT_EQ(calls[1].Bytes, burst.substr(0, kRing - 4));
  EXPECT_EQ(calls[2].Msg, sio::kMsgTriggerData);
  EXPECT_EQ(calls[2].Trigger, static_cast<uint32_t>(tail));
  EXPECT_EQ(calls[3].Msg, sio::kMsgTriggerAvail);
  EXPECT_EQ(calls[3].Bytes, "TAIL");
  EXPECT_FALSE(d->DBufFull);
}

TEST_F(Triggers, WithNoHandlersTriggersStillFireButNothingIsConsumed) {
  const int32_t t = d->AddTimerTrigger();
  ASSERT_EQ(d->SetTimerTrigger(t, 1, true), 0);
  d->ChangeLengthTrigger(1);
  EXPECT_FALSE(d->HandlersPresent);
  Receive("abc");
  EXPECT_TRUE(d->CheckDataTriggers());
  EXPECT_FALSE(d->CheckDataTriggers()) << "the availability position advanced";
  EXPECT_EQ(d->InBuffUsed(), 3u);
  EXPECT_TRUE(WaitFor([&] { return d->CheckTimerTriggers(); }, 2000));
  EXPECT_EQ(d->TimerTriggers[0]->Active, 0);
  EXPECT_TRUE(d->DispatchEvent(sio::kMsgTriggerAvail, 3, 0));
}

// --- Handlers -------------------------------------------------------------------

TEST_F(Triggers, AHandlerRemovedDuringADeliveryIsSkippedAndReleasedWhenItEnds) {
  THandlerProbe first(d.get());
  THandlerProbe second(d.get());
  THandlerProbe third(d.get());
  size_t countDuring = 0;
  first.OnCall = [&](const THandlerProbe::Call&) {
    d->DeregisterEventTriggerHandler(second.Method());
    d->DeregisterEventTriggerHandler(first.Method());
    countDuring = d->EventHandlers.size();
  };
  d->RegisterEventTriggerHandler(first.Method());
  d->RegisterEventTriggerHandler(second.Method());
  d->RegisterEventTriggerHandler(third.Method());
  EXPECT_TRUE(d->DispatchEvent(sio::kMsgTriggerTimer, 8, 0));
  EXPECT_EQ(countDuring, 3u) << "records are only marked during a delivery";
  EXPECT_EQ(first.Count(), 1u);
  EXPECT_EQ(second.Count(), 0u);
  EXPECT_EQ(third.Count(), 1u);
  ASSERT_EQ(d->EventHandlers.size(), 1u);
  EXPECT_TRUE(d->EventHandlers[0]->Method == third.Method());
  EXPECT_FALSE(d->HandlersDirty);
  // Outside a delivery a removal is immediate; removing the last handler
  // leaves nobody to deliver to.
  d->DeregisterEventTriggerHandler(third.Method());
  EXPECT_TRUE(d->EventHandlers.empty());
  d->DeregisterEventTriggerHandler(third.Method());
  EXPECT_FALSE(d->HandlersPresent);
}

TEST_F(Triggers, TriggersRemovedDuringAMatchLeaveNoMarkToFireAtALaterByte) {
  const int32_t first = d->AddDataTrigger("K", false);
  const int32_t second = d->AddDataTrigger("K", false);
  const int32_t third = d->AddDataTrigger("K", false);
  THandlerProbe probe(d.get());
  probe.OnCall = [&](const THandlerProbe::Call& call) {
    if (call.Msg != sio::kMsgTriggerData || call.Trigger != static_cast<uint32_t>(third)) return;
    (void)d->RemoveTrigger(third);
    (void)d->RemoveTrigger(second);
  };
  d->RegisterEventTriggerHandler(probe.Method());
  Receive("K");
  while (d->CheckDataTriggers()) {
  }
  // Last first; the one removed before its turn is not reported; the one
  // left is reported at the "K", once, and never at "xyz".
  std::vector<uint32_t> atK;
  for (const auto& call : probe.Calls())
    atK.push_back(call.Trigger);
  EXPECT_EQ(atK,
            (std::vector<uint32_t>{static_cast<uint32_t>(third), static_cast<uint32_t>(first)}));
  Receive("xyz");
  while (d->CheckDataTriggers()) {
  }
  EXPECT_EQ(probe.Count(), atK.size()) << "a trigger fired at a byte it does not match";
  EXPECT_EQ(d->DataTriggers.size(), 1u);
}

TEST_F(Triggers, EventMethodsAreMatchedByCodeAndObject) {
  THandlerProbe a(d.get());
  THandlerProbe b(d.get());
  d->RegisterEventTriggerHandler(a.Method());
  d->RegisterEventTriggerHandler(b.Method());
  d->DeregisterEventTriggerHandler(b.Method());
  d->DispatchEvent(sio::kMsgTriggerTimer, 8, 0);
  EXPECT_EQ(a.Count(), 1u);
  EXPECT_EQ(b.Count(), 0u);
}

std::vector<std::vector<uint32_t>> procCalls;
void RecordProc(uint32_t msg, uint32_t trigger, uint32_t data) {
  procCalls.push_back({msg, trigger, data});
}

TEST_F(Triggers, ProcedureHandlersGetTheSameArguments) {
  procCalls.clear();
  d->RegisterProcTriggerHandler(&RecordProc);
  EXPECT_TRUE(d->HandlersPresent);
  const int32_t s = d->AddStatusTrigger(sio::stOutSent);
  (void)d->SetStatusTrigger(s, 0, true);
  (void)d->PutBlock("x", 1);
  EXPECT_TRUE(d->CheckStatusTriggers());
  ASSERT_EQ(procCalls.size(), 1u);
  EXPECT_EQ(procCalls[0], (std::vector<uint32_t>{sio::kMsgTriggerStatus, static_cast<uint32_t>(s),
                                                 LParamOf(*d, 0)}));
  d->DeregisterProcTriggerHandler(&RecordProc);
  EXPECT_TRUE(d->ProcHandlers.empty());
}

TEST_F(Triggers, HandlerFlagsFollowTheHandlersAndTheComponentsWish) {
  d->RegisterWndTriggerHandler(reinterpret_cast<sio::platform::WindowHandle>(0x10));
  d->UpdateHandlerFlags(sio::fuRecompute);
  EXPECT_FALSE(d->HandlersPresent) << "the component's own window alone wants nothing";
  d->UpdateHandlerFlags(sio::fuWantEvents);
  EXPECT_TRUE(d->HandlersPresent);
  d->UpdateHandlerFlags(sio::fuRecompute);
  EXPECT_TRUE(d->HandlersPresent);
  d->UpdateHandlerFlags(sio::fuDontWantEvents);
  EXPECT_FALSE(d->HandlersPresent);
  d->RegisterWndTriggerHandler(reinterpret_cast<sio::platform::WindowHandle>(0x20));
  d->UpdateHandlerFlags(sio::fuRecompute);
  EXPECT_TRUE(d->HandlersPresent);
}

// --- Timer and status triggers ---------------------------------------------------

TEST_F(Triggers, TimerTriggersAreOneShotUntilArmedAgain) {
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  const int32_t h = d->AddTimerTrigger();
  uint32_t start = sio::MillisecondClock();
  ASSERT_EQ(d->SetTimerTrigger(h, 2, true), 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        d->ProcessTimers();
        return probe.Count() == 1;
      },
      3000));
  EXPECT_GE(sio::MillisecondClock() - start, 2u * 55);
  EXPECT_EQ(probe.Calls()[0].Msg, sio::kMsgTriggerTimer);
  EXPECT_EQ(probe.Calls()[0].Trigger, static_cast<uint32_t>(h));
  EXPECT_EQ(probe.Calls()[0].Data, LParamOf(*d, 0));
  sio::platform::SleepMs(150);
  d->ProcessTimers();
  EXPECT_EQ(probe.Count(), 1u) << "fired once, silent until re-armed";
  // Ticks 0 re-arms with the ticks stored before.
  start = sio::MillisecondClock();
  ASSERT_EQ(d->SetTimerTrigger(h, 0, true), 0);
  ASSERT_TRUE(WaitFor(
      [&] {
        d->ProcessTimers();
        return probe.Count() == 2;
      },
      3000));
  EXPECT_GE(sio::MillisecondClock() - start, 2u * 55);
  // Disarmed, it stays quiet.
  ASSERT_EQ(d->SetTimerTrigger(h, 1, true), 0);
  ASSERT_EQ(d->SetTimerTrigger(h, 0, false), 0);
  sio::platform::SleepMs(150);
  d->ProcessTimers();
  EXPECT_EQ(probe.Count(), 2u);
}

TEST_F(Triggers, StatusTriggersFireOnceOnTheirConditionAndCarryTheirData) {
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  const int32_t sent = d->AddStatusTrigger(sio::stOutSent);
  const int32_t used = d->AddStatusTrigger(sio::stOutBuffUsed);
  const int32_t line = d->AddStatusTrigger(sio::stLine);
  const int32_t modem = d->AddStatusTrigger(sio::stModem);
  ASSERT_EQ(d->SetStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(d->SetStatusTrigger(used, 2, true), 0);
  ASSERT_EQ(d->SetStatusTrigger(line, sio::platform::ceFrame, true), 0);
  ASSERT_EQ(d->SetStatusTrigger(modem, sio::platform::msCtsOn, true), 0);

  // Five bytes waiting: "used <= 2" does not hold; "sent" does.
  ASSERT_EQ(d->PutBlock("12345", 5), 0);
  EXPECT_TRUE(d->CheckStatusTriggers());
  EXPECT_FALSE(d->CheckStatusTriggers());
  ASSERT_EQ(probe.Count(), 1u);
  EXPECT_EQ(probe.Calls()[0].Trigger, static_cast<uint32_t>(sent));
  d->ProcessTimers();
  EXPECT_EQ(probe.Count(), 1u);
  d->DrainOutput(4);
  d->ProcessTimers();
  ASSERT_EQ(probe.Count(), 2u);
  EXPECT_EQ(probe.Calls()[1].Trigger, static_cast<uint32_t>(used));
  EXPECT_EQ(probe.Calls()[1].Data, LParamOf(*d, 1));

  // A parity error is not watched; a framing error is.
  d->PendingErrors = sio::platform::ceRxParity;
  d->FeedEvent(sio::platform::evErr);
  d->ProcessCommEvents();
  EXPECT_EQ(probe.Count(), 2u);
  d->PendingErrors = sio::platform::ceFrame;
  d->FeedEvent(sio::platform::evErr);
  d->ProcessCommEvents();
  ASSERT_EQ(probe.Count(), 3u);
  EXPECT_EQ(probe.Calls()[2].Trigger, static_cast<uint32_t>(line));
  EXPECT_EQ(probe.Calls()[2].Data,
            LParamOf(*d, sio::platform::ceRxParity | sio::platform::ceFrame));

  // CTS comes on: the modem trigger fires once.
  d->ModemLines = sio::platform::msCtsOn;
  d->FeedEvent(sio::platform::evCts);
  d->ProcessCommEvents();
  ASSERT_EQ(probe.Count(), 4u);
  EXPECT_EQ(probe.Calls()[3].Trigger, static_cast<uint32_t>(modem));
  EXPECT_EQ(probe.Calls()[3].Msg, sio::kMsgTriggerStatus);
  d->ModemLines = 0;
  d->FeedEvent(sio::platform::evCts);
  d->ProcessCommEvents();
  d->ProcessTimers();
  EXPECT_EQ(probe.Count(), 4u);
  for (const auto& t : d->StatusTriggers) {
    EXPECT_FALSE(t->Active);
    EXPECT_FALSE(t->Fired) << "fired marks are reset at the end of a pass";
  }

  // One byte still waits: "used <= 0" does not hold, "used <= 1" holds at
  // exactly its threshold.
  ASSERT_EQ(d->SetStatusTrigger(used, 0, true), 0);
  d->ProcessTimers();
  EXPECT_EQ(probe.Count(), 4u);
  ASSERT_EQ(d->SetStatusTrigger(used, 1, true), 0);
  d->ProcessTimers();
  ASSERT_EQ(probe.Count(), 5u);
  EXPECT_EQ(probe.Calls()[4].Trigger, static_cast<uint32_t>(used));
  EXPECT_EQ(probe.Calls()[4].Data, LParamOf(*d, 1));
}

// --- Saving and restoring ----------------------------------------------------------

TEST_F(Triggers, SavedTriggersComeBackAndNewHandlesDoNotCollideWithThem) {
  const int32_t t1 = d->AddTimerTrigger();
  const int32_t dt = d->AddDataTrigger("OK", true);
  const int32_t st = d->AddStatusTrigger(sio::stModem);
  ASSERT_EQ(d->SetTimerTrigger(t1, 7, true), 0);
  ASSERT_EQ(d->SetTimerTrigger(t1, 0, false), 0);
  d->ChangeLengthTrigger(3);
  sio::TriggerSave save;
  d->SaveTriggers(save);
  ASSERT_TRUE(save.TimerTriggers && save.DataTriggers && save.StatusTriggers);
  EXPECT_EQ(save.AvailLength, 3);
  d->DonePort();

  ASSERT_EQ(d->Open(), 0);
  EXPECT_EQ(d->TrigAvailLength, 0);
  d->RestoreTriggers(save);
  EXPECT_EQ(d->TrigAvailLength, 3);
  ASSERT_EQ(d->TimerTriggers.size(), 1u);
  EXPECT_EQ(d->TimerTriggers[0]->Handle, t1);
  EXPECT_EQ(d->DataTriggers[0]->Handle, dt);
  EXPECT_STREQ(d->DataTriggers[0]->Text, "OK");
  EXPECT_EQ(d->StatusTriggers[0]->Handle, st);
  const int32_t fresh = d->AddTimerTrigger();
  EXPECT_NE(fresh, t1);
  EXPECT_NE(fresh, dt);
  EXPECT_NE(fresh, st & ~7);
  EXPECT_EQ(d->SetTimerTrigger(t1, 0, true), 0);
  EXPECT_EQ(d->TimerTriggers[0]->Ticks, 7);

  sio::TSioBaseDispatcher::FreeSavedTriggers(save);
  EXPECT_FALSE(save.TimerTriggers || save.DataTriggers || save.StatusTriggers);
  // A save with missing lists restores only the threshold.
  sio::TriggerSave partial;
  partial.AvailLength = 9;
  d->RestoreTriggers(partial);
  EXPECT_EQ(d->TrigAvailLength, 9);
  EXPECT_TRUE(d->TimerTriggers.empty());
}

// --- Windows -------------------------------------------------------------------------

struct WindowLog {
  std::vector<std::vector<uintptr_t>> messages;
};

sio::platform::LResult RecordingWindow(sio::platform::WindowHandle hwnd, uint32_t msg,
                                       sio::platform::WParam wp, sio::platform::LParam lp) {
  if (msg >= sio::kMsgTriggerAvail && msg <= sio::kMsgTriggerStatus) {
    auto* log = static_cast<WindowLog*>(sio::platform::GetWindowUserData(hwnd));
    log->messages.push_back({msg, wp, static_cast<uintptr_t>(lp)});
  }
  return 0;
}

class TriggerThread : public ::testing::Test {
 protected:
  void SetUp() override {
    sio::platform::InitUserInterfaceThread();
    d = std::make_unique<TMemoryDispatcher>(nullptr, true);
    ASSERT_EQ(d->Open(), 0);
    ASSERT_NE(d->DispThread.load(), nullptr);
  }
  void TearDown() override { d.reset(); }
  std::unique_ptr<TMemoryDispatcher> d;
};

TEST_F(TriggerThread, WindowsGetMessagesOnlyWhenSomeoneWantsThem) {
  WindowLog log;
  sio::platform::WindowHandle own =
      sio::platform::CreateHiddenWindow("TestWindow", RecordingWindow, &log);
  ASSERT_NE(own, nullptr);
  d->RegisterWndTriggerHandler(own);
  d->UpdateHandlerFlags(sio::fuDontWantEvents);
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 1, true);
  sio::platform::SleepMs(200);
  EXPECT_TRUE(WaitFor(
      [&] {
        sio::platform::CriticalSectionLock guard(d->DataSection);
        return d->TimerTriggers[0]->Active == 0;
      },
      2000));
  WaitFor([] { return false; }, 100);
  EXPECT_TRUE(log.messages.empty());

  d->UpdateHandlerFlags(sio::fuWantEvents);
  d->ChangeLengthTrigger(1);
  d->FeedBytes("hey");
  ASSERT_TRUE(WaitFor([&] { return !log.messages.empty(); }, 3000));
  EXPECT_EQ(log.messages[0], (std::vector<uintptr_t>{sio::kMsgTriggerAvail, 3, LParamOf(*d, 0)}));
  d->DeregisterWndTriggerHandler(own);
  d.reset();
  sio::platform::DestroyHiddenWindow(own);
}

TEST_F(TriggerThread, DataFlowsThroughTheThreadAndTimersFireOnIt) {
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = -1;
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  std::string sent;
  for (int i = 0; i < 40; ++i) {
    const std::string piece = "piece" + std::to_string(i) + ";";
    sent += piece;
    d->FeedBytes(piece, 3);
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        std::string got;
        for (const auto& c : probe.Calls())
          got += c.Bytes;
        return got == sent;
      },
      5000));
  for (const auto& c : probe.Calls())
    EXPECT_NE(c.Thread, sio::platform::CurrentThreadId());
  const int32_t h = d->AddTimerTrigger();
  const uint32_t start = sio::MillisecondClock();
  (void)d->SetTimerTrigger(h, 3, true);
  ASSERT_TRUE(WaitFor(
      [&] {
        for (const auto& c : probe.Calls())
          if (c.Msg == sio::kMsgTriggerTimer) return true;
        return false;
      },
      3000));
  EXPECT_GE(sio::MillisecondClock() - start, 3u * 55);
}

TEST_F(TriggerThread, ACloseFromInsideAHandlerEndsTheThreadWhichReleasesThePort) {
  THandlerProbe probe(d.get());
  probe.OnCall = [this](const THandlerProbe::Call&) {
    d->DonePort();
    EXPECT_TRUE(d->ClosePending.load());
    EXPECT_NE(d->DBuffer, nullptr) << "not released under the running handler";
  };
  THandlerProbe later(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  d->RegisterEventTriggerHandler(later.Method());
  d->ChangeLengthTrigger(1);
  d->FeedBytes("bye");
  ASSERT_TRUE(WaitFor([&] { return !d->ThreadsRunning.load(); }, 5000));
  EXPECT_EQ(probe.Count(), 1u);
  EXPECT_EQ(later.Count(), 0u) << "delivery stops after the handler that closed";
  EXPECT_EQ(d->DispThread.load(), nullptr);
  EXPECT_EQ(d->DonePortPrimThread.load(), probe.Calls()[0].Thread);
  EXPECT_EQ(d->DBuffer, nullptr);
  EXPECT_EQ(d->OutBuffer, nullptr);
  EXPECT_FALSE(d->DispActive.load());
  EXPECT_EQ(d->AbandonedThreads.load(), 0);
}

TEST_F(TriggerThread, ACloseWhileEventsFlowDoesNotWaitOutTheThreadTimeOut) {
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = -1;
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 1, true);
  // Bytes keep arriving, as from a busy device, all through the close.
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    while (!stop.load()) {
      d->FeedBytes("0123456789", 4);
      sio::platform::SleepMs(1);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return probe.Count() > 20; }, 3000));
  const uint32_t start = sio::MillisecondClock();
  d->DonePort();
  const uint32_t took = sio::MillisecondClock() - start;
  stop = true;
  feeder.join();
  EXPECT_TRUE(WaitFor([&] { return !d->ThreadsRunning.load(); }, 3000));
  EXPECT_EQ(d->AbandonedThreads.load(), 0);
  EXPECT_LT(took, 1500u) << "a close must not sit out the 36-tick thread time-out";
}

TEST_F(TriggerThread, AFullRingThatNobodyReadsIsWaitedOnNotSpunOn) {
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  d->OpenDispatchLog(0);
  d->FeedBytes(std::string(kRing + 512, 'f'));
  ASSERT_TRUE(WaitFor([&] { return d->InBuffUsed() == kRing; }, 3000));
  sio::platform::SleepMs(600);
  int32_t fullEntries = 0;
  while (sio::TIOBuffer* item = d->TraceLog->LogQueue().RemoveFirst()) {
    auto* e = static_cast<sio::TLogBuffer*>(item);
    if (e->Type == sio::ltDispatch && e->SubType == sio::lsStatus) ++fullEntries;
    delete e;
  }
  EXPECT_GE(fullEntries, 5);
  EXPECT_LE(fullEntries, 40) << "about one pass per 50 ms while full";
  // Room appears: the waiting bytes follow at once.
  probe.ReadOnAvail = -1;
  std::string sink(kRing, '\0');
  d->FeedBytes("!");
  // The thread is waiting for room; a handler run makes some. Read from a
  // timer-driven handler, as the dispatcher thread is where reads belong.
  std::atomic<bool> drained{false};
  probe.OnCall = [&](const THandlerProbe::Call& call) {
    if (call.Msg == sio::kMsgTriggerTimer) {
      drained = d->GetBlock(sink.data(), kRing) == static_cast<int32_t>(kRing);
    }
  };
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 1, true);
  ASSERT_TRUE(WaitFor([&] { return drained.load(); }, 3000));
  EXPECT_TRUE(WaitFor([&] { return d->InQueue->Count() == 0 && d->InBuffUsed() == 0; }, 3000));
  d.reset();  // its thread stops before the probe it reports to goes
}

TEST_F(TriggerThread, SynchronisedHandlersRunOnTheUserInterfaceThread) {
  THandlerProbe probe(d.get());
  d->RegisterEventTriggerHandler(probe.Method(), true);
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 1, true);
  ASSERT_TRUE(WaitFor([&] { return probe.Count() == 1; }, 3000));
  EXPECT_EQ(probe.Calls()[0].Thread, sio::platform::CurrentThreadId());
}

std::atomic<int> reported{0};
std::string reportedText;
void RecordReport(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& x) {
    reportedText = x.what();
  }
  reported.fetch_add(1);
}

TEST_F(TriggerThread, AnExceptionFromAHandlerEndsTheThreadAndIsShown) {
  reported = 0;
  sio::SetThreadExceptionReporter(&RecordReport);
  THandlerProbe probe(d.get());
  probe.OnCall = [](const THandlerProbe::Call&) { throw sio::EBadArgument(sio::ecBadArgument); };
  d->RegisterEventTriggerHandler(probe.Method());
  const int32_t h = d->AddTimerTrigger();
  (void)d->SetTimerTrigger(h, 1, true);
  ASSERT_TRUE(WaitFor([&] { return reported.load() == 1; }, 3000));
  EXPECT_EQ(reportedText, "Bad argument passed to function");
  EXPECT_TRUE(WaitFor([&] { return !d->ThreadsRunning.load(); }, 3000));
  EXPECT_EQ(d->DispThread.load(), nullptr);
  EXPECT_FALSE(d->DispActive.load());
  // Released as after an unplug: later requests are answered as on a port
  // that is not open.
  EXPECT_EQ(d->DBuffer, nullptr);
  EXPECT_EQ(d->DeviceHandle.load(), -1);
  char c;
  EXPECT_EQ(d->PutBlock("x", 1), sio::ecCommNotOpen);
  EXPECT_EQ(d->GetBlock(&c, 1), sio::ecCommNotOpen);
  (void)d->SetTimerTrigger(h, 1, true);
  sio::platform::SleepMs(150);
  EXPECT_EQ(probe.Count(), 1u) << "no more events until the port is reopened";
  d.reset();
  sio::SetThreadExceptionReporter(nullptr);
}

TEST_F(TriggerThread, AReadFromAnotherThreadDuringADataEventWaitsUntilTheHandlersAreDone) {
  THandlerProbe probe(d.get());
  std::string handlerSaw;
  std::string outsider;
  std::atomic<bool> outsiderDone{false};
  std::atomic<bool> handlerDone{false};
  std::thread side;
  probe.OnCall = [&](const THandlerProbe::Call& call) {
    if (call.Msg != sio::kMsgTriggerAvail || side.joinable()) return;
    char buf[3];
    if (d->GetBlock(buf, 3) == 3) handlerSaw.append(buf, 3);
    side = std::thread([&] {
      char b[2];
      if (d->GetBlock(b, 2) == 2) outsider.assign(b, 2);
      outsiderDone = true;
    });
    // Gives the other reader every chance to cut in.
    for (int i = 0; i < 60 && !outsiderDone.load(); ++i)
      sio::platform::SleepMs(5);
    if (d->GetBlock(buf, 3) == 3) handlerSaw.append(buf, 3);
    handlerDone = true;
  };
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(8);
  d->FeedBytes("abcdefgh");
  ASSERT_TRUE(WaitFor([&] { return outsiderDone.load() && handlerDone.load(); }, 5000));
  side.join();
  EXPECT_EQ(handlerSaw, "abcdef") << "the handler lost bytes to another reader";
  EXPECT_EQ(outsider, "gh") << "the other reader got what the handler read, or nothing";
}

TEST_F(TriggerThread, AFailingWorkerStopsEveryThreadAndTheDispatcherThreadReleasesThePort) {
  reported = 0;
  reportedText.clear();
  sio::SetThreadExceptionReporter(&RecordReport);
  ASSERT_TRUE(d->StartWorker(sio::ecDeviceRead, 100));
  EXPECT_EQ(d->ActiveThreads.load(), 2);
  ASSERT_TRUE(WaitFor([&] { return !d->ThreadsRunning.load(); }, 3000));
  EXPECT_EQ(reported.load(), 1);
  EXPECT_EQ(reportedText, "Device read error");
  EXPECT_EQ(d->ReadThread.load(), nullptr);
  EXPECT_EQ(d->DispThread.load(), nullptr);
  EXPECT_EQ(d->ActiveThreads.load(), 0);
  EXPECT_EQ(d->DeviceHandle.load(), -1) << "the dispatcher thread closed the device";
  EXPECT_EQ(d->DBuffer, nullptr);
  EXPECT_NE(d->DonePortPrimThread.load(), sio::platform::CurrentThreadId());
  // The component still counts the port as open: its requests are answered
  // without touching the released buffers.
  char c;
  EXPECT_EQ(d->PutBlock("x", 1), sio::ecCommNotOpen);
  EXPECT_EQ(d->GetBlock(&c, 1), sio::ecCommNotOpen);
  d->FeedBytes("late");
  d.reset();
  sio::SetThreadExceptionReporter(nullptr);
}

TEST_F(TriggerThread, AHandlerThatWillNotReturnIsLetGoAndNothingIsFreedUnderIt) {
  std::atomic<bool> inside{false};
  std::atomic<bool> release{false};
  THandlerProbe probe(d.get());
  probe.ReadOnAvail = 1;
  probe.OnCall = [&](const THandlerProbe::Call&) {
    inside = true;
    while (!release.load())
      sio::platform::SleepMs(5);
    // Still reading after the close gave up on this thread.
    char c;
    (void)d->GetBlock(&c, 1);
  };
  d->RegisterEventTriggerHandler(probe.Method());
  d->ChangeLengthTrigger(1);
  d->FeedBytes("ab");
  ASSERT_TRUE(WaitFor([&] { return inside.load(); }, 3000));
  const uint32_t start = sio::MillisecondClock();
  d->DonePort();
  const uint32_t took = sio::MillisecondClock() - start;
  // Two waits of 36 ticks, each at least 35 whole ticks long.
  EXPECT_GE(took, 2u * 35 * 55);
  EXPECT_EQ(d->AbandonedThreads.load(), 1);
  EXPECT_EQ(d->DispThread.load(), nullptr);
  EXPECT_TRUE(d->ClosePending.load()) << "the release waits for the delivery to end";
  EXPECT_NE(d->DBuffer, nullptr);
  release = true;
  EXPECT_TRUE(WaitFor([&] { return !d->ThreadsRunning.load(); }, 3000));
  EXPECT_EQ(probe.Count(), 1u);
  d.reset();
}

TEST_F(TriggerThread, ASecondStartIsRefused) {
  EXPECT_THROW(d->StartDispatcher(), sio::ESioException);
  EXPECT_NE(d->DispThread.load(), nullptr);
  EXPECT_EQ(d->ActiveThreads.load(), 1);
}

}  // namespace
