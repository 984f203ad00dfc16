// Packet matchers over a real serial device (a pseudo-terminal; under Wine,
// pseudo-terminals mapped as COM ports) with the port's threads running and
// the user-interface thread serving messages inside WaitTicks: the byte
// rules, the property checks, time-outs, several matchers on one port,
// closing and reopening, and the faults of freeing, detaching, closing and
// raising while a packet is being delivered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/host_ports.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "serial/support/messages.h"
#include "serial/support/ticks.h"
#include "tests/common/exposed_dispatcher.h"
#include "tests/common/pty.h"
#include "tests/common/error_report.h"
#include "tests/integration/port_table.h"

namespace {

using sio::TSioComPort;
using sio::TSioDataPacket;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPort = 78;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Set while the test thread is inside WaitTicks.
bool insideWait = false;

// What a matcher's events were given, and where they ran.
struct Sink {
  std::vector<std::string> packets;
  std::vector<std::string> strings;
  int timeouts = 0;
  bool allOnTestThread = true;
  bool allInsideWait = true;
  uint64_t testThread = sio::platform::CurrentThreadId();
  std::function<void(TSioDataPacket*)> onPacket;
  std::function<void(TSioDataPacket*)> onTimeout;

  void Where() {
    if (sio::platform::CurrentThreadId() != testThread) allOnTestThread = false;
    if (!insideWait) allInsideWait = false;
  }
  void Packet(sio::TComponent* sender, const void* data, int32_t size) {
    Where();
    packets.emplace_back(static_cast<const char*>(data), static_cast<size_t>(size));
    if (onPacket) onPacket(static_cast<TSioDataPacket*>(sender));
  }
  void String(sio::TComponent*, const std::string& s) { strings.push_back(s); }
  void Timeout(sio::TComponent* sender) {
    Where();
    ++timeouts;
    if (onTimeout) onTimeout(static_cast<TSioDataPacket*>(sender));
  }
  void Hook(TSioDataPacket& p) {
    p.SetOnPacket(sio::TPacketNotifyEvent::Of<&Sink::Packet>(this));
    p.SetOnStringPacket(sio::TStringPacketNotifyEvent::Of<&Sink::String>(this));
    p.SetOnTimeout(sio::TNotifyEvent::Of<&Sink::Timeout>(this));
  }
};

// Serves messages inside WaitTicks until done() or the time passes.
bool WaitUntil(const std::function<bool()>& done, int64_t ms = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > ms) return done();
    insideWait = true;
    sio::WaitTicks(1, true);
    insideWait = false;
  }
  return true;
}

void WaitTicksServing(int32_t ticks) {
  insideWait = true;
  sio::WaitTicks(ticks, true);
  insideWait = false;
}

using sio_test::RecordReport;
using sio_test::Reported;

class Packet : public ::testing::Test {
 protected:
  void SetUp() override {
    sio::platform::InitUserInterfaceThread();
    std::string why;
    peer_ = sio_test::SerialPeer::Create(why);
    if (!peer_) GTEST_SKIP() << "no serial device pair: " << why;
    const std::string name = devtest::UseComPort(peer_->DeviceName(), kPort);
    uint32_t n = 0;
    ASSERT_TRUE(sio::platform::ParseComName(name, n));
    port_ = std::make_unique<TSioComPort>();
    port_->SetComNumber(static_cast<uint16_t>(n));
    port_->SetBaud(115200);
    port_->SetAutoOpen(false);
    Reported().clear();
    sio::SetThreadExceptionReporter(&RecordReport);
    insideWait = false;
  }
  void TearDown() override {
    matchers_.clear();
    if (port_) port_->SetOpen(false);
    port_.reset();
    // Empty managers are freed through their posted release.
    WaitUntil([] { return sio::PacketManagers().Count() == 0; }, 2000);
    sio::SetThreadExceptionReporter(nullptr);
    peer_.reset();
    devtest::ForgetPortTable();
  }

  TSioDataPacket& Matcher(const std::string& start, Sink& sink) {
    matchers_.push_back(std::make_unique<TSioDataPacket>());
    TSioDataPacket& p = *matchers_.back();
    p.SetStartString(start);
    p.SetComPort(port_.get());
    sink.Hook(p);
    return p;
  }
  void Send(const std::string& bytes) { ASSERT_TRUE(peer_->Write(bytes.data(), bytes.size())); }
  sio::TSioDataPacketManager* Manager() {
    return sio::PacketManagers().GetPortManager(port_.get());
  }

  std::unique_ptr<sio_test::SerialPeer> peer_;
  std::unique_ptr<TSioComPort> port_;
  std::vector<std::unique_ptr<TSioDataPacket>> matchers_;
};

// ---- the byte rules ----

TEST_F(Packet, WildcardEscapeAndCaseRulesDecideWhatIsFound) {
  struct Case {
    const char* start;
    bool ignoreCase;
    const char* received;
    std::vector<std::string> found;
  };
  const std::vector<Case> cases = {
      {"ab?d", true, "..ABxD..", {"ABxD"}},
      {"ab?d", true, "..abzd..", {"abzd"}},
      {"ab?d", false, "..ABxD..", {}},
      {"a\\?b", true, "axb a?b", {"a?b"}},
      {"a\\\\b", true, "ab a\\b", {"a\\b"}},
      {"ab\\", true, "xaby", {"ab"}},
      {"aab", true, "aaab", {"aab"}},
      // Case folding is ASCII only: a byte above 127 matches only itself.
      {"\xe9t\xc9", true, "\xc9T\xc9 \xe9T\xc9", {"\xe9T\xc9"}},
  };
  Sink end;
  port_->SetOpen(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    Sink sink;
    TSioDataPacket& p = Matcher(c.start, sink);
    p.SetIgnoreCase(c.ignoreCase);
    p.SetEnabled(true);
    // A second matcher after it tells when every byte has been looked at.
    TSioDataPacket& marker = Matcher("#END#", end);
    marker.SetEnabled(true);
    const size_t ends = end.packets.size();
    Send(std::string(c.received) + "#END#");
    ASSERT_TRUE(WaitUntil([&] { return end.packets.size() > ends; }));
    EXPECT_EQ(sink.packets, c.found);
    EXPECT_EQ(sink.strings, c.found);
    p.SetEnabled(false);
    marker.SetEnabled(false);
  }
}

TEST_F(Packet, EndStringArrivingOneByteAtATimeEndsAtItsEarliestCompleteOccurrence) {
  Sink sink;
  TSioDataPacket& p = Matcher("S", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString("\r\n");
  p.SetEnabled(true);
  port_->SetOpen(true);
  for (const char c : std::string("xS\r\r\nrest")) {
    Send(std::string(1, c));
    WaitTicksServing(0);
  }
  ASSERT_TRUE(WaitUntil([&] { return !sink.packets.empty(); }));
  WaitTicksServing(2);
  EXPECT_EQ(sink.packets, (std::vector<std::string>{"S\r\r\n"}));
}

TEST_F(Packet, StartOnlyMatcherFiresForEveryOccurrenceInOneBlock) {
  Sink with;
  Sink without;
  port_->SetOpen(true);
  TSioDataPacket& a = Matcher("KELVANE", with);
  a.SetEnabled(true);
  Send("KELVANEKELVANE");
  ASSERT_TRUE(WaitUntil([&] { return with.packets.size() >= 2; }));
  a.SetEnabled(false);
  TSioDataPacket& b = Matcher("kelvane", without);
  b.SetIncludeStrings(false);
  b.SetEnabled(true);
  Send("xKELVANEKELVANEx");
  ASSERT_TRUE(WaitUntil([&] { return without.packets.size() >= 2; }));
  WaitTicksServing(2);
  EXPECT_EQ(with.packets, (std::vector<std::string>{"KELVANE", "KELVANE"}));
  EXPECT_EQ(without.packets, (std::vector<std::string>{"", ""}));
  EXPECT_TRUE(b.GetEnabled());
}

TEST_F(Packet, SizeAndEndStringEndThePacketWhicheverComesFirstSizeOnATie) {
  struct Case {
    int32_t size;
    bool include;
    const char* received;
    const char* packet;
  };
  const std::vector<Case> cases = {
      {4, false, "<ab>", "ab>"},      // both on the '>': by size, the end string stays
      {4, true, "<ab>", "<ab>"},      //
      {10, false, "<a>", "a"},        // the end string first
      {4, false, "<abcdef>", "abc"},  // the size first
      {10, false, "<a<>", "a<"},      // the end string never overlaps the start
      {10, true, "<>b>", "<>"},       //
      {1, true, "<ab>", "<"},         // a size as long as the start: the start alone
  };
  port_->SetOpen(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.received);
    Sink sink;
    TSioDataPacket& p = Matcher("<", sink);
    p.SetEndCond(sio::EndCondBit(sio::ecString) | sio::EndCondBit(sio::ecPacketSize));
    p.SetEndString(">");
    p.SetPacketSize(c.size);
    p.SetIncludeStrings(c.include);
    p.SetAutoEnable(false);
    p.SetEnabled(true);
    Send(c.received);
    ASSERT_TRUE(WaitUntil([&] { return !sink.packets.empty(); }));
    EXPECT_EQ(sink.packets, (std::vector<std::string>{c.packet}));
    EXPECT_FALSE(p.GetEnabled());
  }
}

TEST_F(Packet, AnyDataPacketsCountFromTheFirstByte) {
  Sink sink;
  port_->SetOpen(true);
  TSioDataPacket& p = Matcher("", sink);
  p.SetStartCond(sio::scAnyData);
  p.SetEndCond(sio::EndCondBit(sio::ecPacketSize));
  p.SetPacketSize(3);
  p.SetEnabled(true);
  EXPECT_EQ(p.GetMode(), sio::dpCollecting);
  Send(std::string("ab\0cdef", 7));
  ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() >= 2; }));
  EXPECT_EQ(sink.packets, (std::vector<std::string>{std::string("ab\0", 3), "cde"}));
  EXPECT_EQ(sink.strings, sink.packets);
}

// ---- the property checks ----

TEST_F(Packet, StartingChecksTheSettingsInOrderAndHoldsNothingAfterAFailure) {
  struct Case {
    const char* what;
    sio::TPacketStartCond startCond;
    const char* start;
    sio::TPacketEndSet endCond;
    const char* end;
    int32_t size;
    int32_t code;
  };
  const sio::TPacketEndSet str = sio::EndCondBit(sio::ecString);
  const sio::TPacketEndSet size = sio::EndCondBit(sio::ecPacketSize);
  const std::vector<Case> cases = {
      {"empty start", sio::scString, "", size, "", 0, sio::ecStartStringEmpty},
      {"start of one backslash", sio::scString, "\\", 0, "", 0, sio::ecStartStringEmpty},
      {"size below start", sio::scString, "abcdef", size, "", 5, sio::ecPacketTooSmall},
      {"escapes shorten the start", sio::scString, "a\\bc", size, "", 3, 0},
      {"any data without end", sio::scAnyData, "", 0, "", 0, sio::ecNoEndCharCount},
      {"empty end", sio::scString, "a", str, "", 0, sio::ecEmptyEndString},
      {"end of one backslash", sio::scAnyData, "", str, "\\", 0, sio::ecEmptyEndString},
      {"zero size", sio::scAnyData, "", size, "", 0, sio::ecZeroSizePacket},
      {"zero size after the end", sio::scString, "a", str | size, "b", 0, sio::ecPacketTooSmall},
  };
  port_->SetOpen(true);
  Sink other;
  TSioDataPacket& watcher = Matcher("zz", other);
  watcher.SetEnabled(true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Sink sink;
    TSioDataPacket& p = Matcher(c.start, sink);
    p.SetStartCond(c.startCond);
    p.SetEndCond(c.endCond);
    p.SetEndString(c.end);
    p.SetPacketSize(c.size);
    int32_t raised = 0;
    try {
      p.SetEnabled(true);
    } catch (const sio::EInvalidProperty& e) {
      raised = e.ErrorCode();
      EXPECT_EQ(std::string(e.what()), sio::MessageForCode(c.code));
    }
    EXPECT_EQ(raised, c.code);
    EXPECT_EQ(p.GetEnabled(), c.code == 0);
    if (c.code != 0) {
      EXPECT_EQ(p.GetMode(), sio::dpIdle);
      EXPECT_FALSE(p.GetHasCapture());
      EXPECT_EQ(Manager()->GetCapturePacket(), nullptr);
    }
    p.SetEnabled(false);
  }
  // No failed start kept the others from their bytes.
  Send("zz");
  EXPECT_TRUE(WaitUntil([&] { return other.packets.size() == 1; }));
}

// ---- time-outs and restarts ----

TEST_F(Packet, TimeOutDisablesTheMatcherAndDiscardsTheBytesZeroNeverTimesOut) {
  port_->SetOpen(true);
  Sink never;
  TSioDataPacket& q = Matcher("[", never);
  q.SetEndCond(sio::EndCondBit(sio::ecString));
  q.SetEndString("]");
  q.SetTimeOut(0);
  q.SetEnabled(true);
  Send("[abc");
  ASSERT_TRUE(WaitUntil([&] { return q.GetMode() == sio::dpCollecting; }));
  WaitTicksServing(4);
  EXPECT_EQ(never.timeouts, 0);
  EXPECT_EQ(q.GetMode(), sio::dpCollecting);
  Send("]");
  ASSERT_TRUE(WaitUntil([&] { return never.packets.size() == 1; }));
  EXPECT_EQ(never.packets[0], "[abc]");
  q.SetEnabled(false);

  Sink sink;
  TSioDataPacket& p = Matcher("<", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString(">");
  p.SetTimeOut(1);
  p.SetEnabled(true);
  const auto sent = Clock::now();
  Send("<abc");
  ASSERT_TRUE(WaitUntil([&] { return sink.timeouts == 1; }));
  EXPECT_GE(MsSince(sent), 55);
  EXPECT_TRUE(sink.allOnTestThread);
  EXPECT_FALSE(p.GetEnabled());
  EXPECT_EQ(p.GetMode(), sio::dpIdle);
  EXPECT_EQ(Manager()->GetDataLen(), 0);
  EXPECT_EQ(Manager()->GetCapturePacket(), nullptr);
  // Disabled until asked again; the discarded bytes are gone for good.
  Send("d>");
  WaitTicksServing(3);
  EXPECT_TRUE(sink.packets.empty());
  p.SetEnabled(true);
  Send("<e>");
  ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() == 1; }));
  EXPECT_EQ(sink.packets[0], "<e>");
  EXPECT_EQ(sink.timeouts, 1);
}

TEST_F(Packet, ChangingTheEndStringRestartsAnEnabledMatcherAtOnce) {
  port_->SetOpen(true);
  Sink sink;
  TSioDataPacket& p = Matcher("<", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString(">");
  p.SetEnabled(true);
  Send("<ab");
  ASSERT_TRUE(WaitUntil([&] { return p.GetMode() == sio::dpCollecting; }));
  p.SetEndString("]");
  EXPECT_TRUE(p.GetEnabled());
  EXPECT_EQ(p.GetMode(), sio::dpWaiting);
  // Start strings are read only when matching starts: the new one counts
  // from the restart after the next delivery.
  p.SetStartString("{");
  Send("c>]<x]<z]{y]");
  ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() >= 2; }));
  WaitTicksServing(2);
  EXPECT_EQ(sink.packets, (std::vector<std::string>{"<x]", "{y]"}));
}

// ---- several matchers on one port ----

TEST_F(Packet, FirstMatcherInListOrderWinsAndACollectorHidesTheOthers) {
  port_->SetOpen(true);
  Sink obd;
  Sink clone;
  TSioDataPacket& a = Matcher("OBDII to RS232 Interpreter", obd);
  TSioDataPacket& b = Matcher("ELM327_CLONE", clone);
  a.SetEnabled(true);
  b.SetEnabled(true);
  Send("AT@2\rELM327_CLONE\r\r>");
  ASSERT_TRUE(WaitUntil([&] { return clone.packets.size() == 1; }));
  Send("ELM327_CLONE OBDII to RS232 Interpreter\r\r>");
  ASSERT_TRUE(WaitUntil([&] { return obd.packets.size() == 1; }));
  WaitTicksServing(2);
  EXPECT_EQ(clone.packets.size(), 1u);
  a.SetEnabled(false);
  b.SetEnabled(false);

  Sink framed;
  Sink key;
  TSioDataPacket& c = Matcher("<", framed);
  c.SetEndCond(sio::EndCondBit(sio::ecString));
  c.SetEndString(">");
  TSioDataPacket& d = Matcher("KEY", key);
  c.SetEnabled(true);
  d.SetEnabled(true);
  Send("<aKEYb");
  ASSERT_TRUE(WaitUntil([&] { return c.GetHasCapture(); }));
  Send("KEY>KEY");
  ASSERT_TRUE(WaitUntil([&] { return framed.packets.size() == 1 && key.packets.size() == 1; }));
  WaitTicksServing(2);
  EXPECT_EQ(framed.packets, (std::vector<std::string>{"<aKEYbKEY>"}));
  EXPECT_EQ(key.packets, (std::vector<std::string>{"KEY"}));
}

TEST_F(Packet, AMatchThatStraddlesBlocksSurvivesAnotherMatchersDelivery) {
  port_->SetOpen(true);
  Sink first;
  Sink second;
  TSioDataPacket& a = Matcher("OBDII", first);
  TSioDataPacket& b = Matcher("KEY", second);
  a.SetEnabled(true);
  b.SetEnabled(true);
  // The second matcher's packet comes before the first's partial match.
  Send("KEY OBD");
  ASSERT_TRUE(WaitUntil([&] { return second.packets.size() == 1; }));
  Send("II");
  EXPECT_TRUE(WaitUntil([&] { return first.packets.size() == 1; }));
}

// ---- closing and reopening ----

TEST_F(Packet, ClosingStopsEveryMatcherAndFreesTheBufferReopeningStartsAfresh) {
  Sink sink;
  Sink plain;
  TSioDataPacket& p = Matcher("<", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString(">");
  p.SetEnabled(true);
  TSioDataPacket& q = Matcher("KELVANE", plain);
  q.SetEnabled(true);
  EXPECT_EQ(p.GetMode(), sio::dpIdle);
  port_->SetOpen(true);
  EXPECT_EQ(p.GetMode(), sio::dpWaiting);
  sio::TSioBaseDispatcher* d = port_->GetDispatcher();
  EXPECT_EQ(Manager()->GetTimerTrigger() > 0, true);
  Send("<ab");
  ASSERT_TRUE(WaitUntil([&] { return Manager()->GetDataLen() == 3; }));
  port_->SetOpen(false);
  EXPECT_TRUE(p.GetEnabled());
  EXPECT_EQ(p.GetMode(), sio::dpIdle);
  EXPECT_EQ(q.GetMode(), sio::dpIdle);
  EXPECT_FALSE(Manager()->GetActive());
  EXPECT_FALSE(Manager()->GetAttached());
  EXPECT_EQ(Manager()->GetDataLen(), 0);
  EXPECT_EQ(Manager()->GetCapacity(), 0);
  EXPECT_EQ(Manager()->GetCapturePacket(), nullptr);
  (void)d;
  port_->SetOpen(true);
  EXPECT_EQ(p.GetMode(), sio::dpWaiting);
  EXPECT_EQ(q.GetMode(), sio::dpWaiting);
  Send("c>KELVANE");
  ASSERT_TRUE(WaitUntil([&] { return plain.packets.size() == 1; }));
  Send("<x>");
  ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() == 1; }));
  EXPECT_EQ(sink.packets[0], "<x>");
  EXPECT_TRUE(sink.allOnTestThread);
  EXPECT_TRUE(sink.allInsideWait);
}

TEST_F(Packet, OnPacketRunsOnTheUserInterfaceThreadInsideTheWait) {
  Sink sink;
  TSioDataPacket& p = Matcher("KELVANE", sink);
  p.SetTimeOut(1);
  p.SetEnabled(true);
  port_->SetOpen(true);
  for (int i = 0; i < 5; ++i) {
    Send("AT@1\rKELVANE OBD\r\r>");
    ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() == static_cast<size_t>(i + 1); }));
  }
  EXPECT_TRUE(sink.allOnTestThread);
  EXPECT_TRUE(sink.allInsideWait);
  EXPECT_EQ(sink.strings.size(), 5u);
}

// ---- delivery while the world changes ----

TEST_F(Packet, APacketCompletingWhileThePortClosesNeitherBlocksTheCloseNorOutlivesIt) {
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    Sink sink;
    std::vector<std::string> order;
    struct Closer {
      std::vector<std::string>* order;
      void Closed(sio::TComponent*) { order->push_back("close"); }
    } closer{&order};
    port_->SetOnPortClose(sio::TNotifyEvent::Of<&Closer::Closed>(&closer));
    TSioDataPacket& p = Matcher("KELVANE", sink);
    sink.onPacket = [&](TSioDataPacket*) { order.push_back("packet"); };
    p.SetEnabled(true);
    port_->SetOpen(true);
    Send("KELVANE");
    // Not serving messages: the dispatcher thread reaches the hand-over
    // and waits there (or, in early rounds, is still on its way).
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 4));
    const auto start = Clock::now();
    port_->SetOpen(false);
    EXPECT_LT(MsSince(start), 1500);
    WaitTicksServing(2);
    EXPECT_LE(sink.packets.size(), 1u);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.back(), "close");
    port_->SetOnPortClose(sio::TNotifyEvent());
    matchers_.clear();
  }
}

// OnPacket runs while the dispatcher thread waits for it: a close or a new
// port number asked there returns at once and completes after the handler.
TEST_F(Packet, ClosingOrRenumberingThePortFromOnPacketDoesNotWaitForTheDispatcher) {
  constexpr uint16_t kMissingPort = 250;
  // The renumbered port's reopen finds no device, and says so.
  const std::vector<std::tuple<const char*, std::function<void()>, size_t>> rows = {
      {"close", [&] { port_->SetOpen(false); }, 0},
      {"renumber", [&] { port_->SetComNumber(kMissingPort); }, 1},
  };
  const uint16_t number = port_->GetComNumber();
  for (const auto& [what, change, reports] : rows) {
    SCOPED_TRACE(what);
    Reported().clear();
    port_->SetComNumber(number);
    Sink sink;
    TSioDataPacket& p = Matcher("KELVANE", sink);
    int64_t ms = -1;
    sink.onPacket = [&](TSioDataPacket*) {
      const auto start = Clock::now();
      change();
      ms = MsSince(start);
    };
    p.SetEnabled(true);
    port_->SetOpen(true);
    Send("KELVANE");
    ASSERT_TRUE(WaitUntil([&] { return ms >= 0 && port_->GetOpenState() == sio::osClosed; }));
    EXPECT_LT(ms, 1500);
    EXPECT_FALSE(port_->GetOpen());
    EXPECT_EQ(Reported().size(), reports);
    matchers_.clear();
  }
}

TEST_F(Packet, AMatcherFreedOrDetachedInsideItsOwnHandlerIsNotTouchedAgain) {
  port_->SetOpen(true);
  Sink freed;
  Sink after;
  TSioDataPacket* p = new TSioDataPacket();
  p->SetStartString("KELVANE");
  p->SetComPort(port_.get());
  freed.Hook(*p);
  freed.onPacket = [](TSioDataPacket* self) { delete self; };
  p->SetEnabled(true);
  TSioDataPacket& q = Matcher("K", after);
  q.SetEnabled(true);
  Send("KELVANEKELVANE");
  ASSERT_TRUE(WaitUntil([&] { return after.packets.size() >= 1; }));
  WaitTicksServing(2);
  EXPECT_EQ(freed.packets.size(), 1u);
  // Freed inside OnPacket: OnStringPacket was not called on it.
  EXPECT_TRUE(freed.strings.empty());
  // The first packet's bytes were discarded with it; the bytes after it
  // went to the matcher left, once.
  EXPECT_EQ(after.packets, (std::vector<std::string>{"K"}));
  q.SetEnabled(false);

  Sink detached;
  TSioDataPacket& t = Matcher("<", detached);
  t.SetEndCond(sio::EndCondBit(sio::ecString));
  t.SetEndString(">");
  t.SetTimeOut(1);
  detached.onTimeout = [](TSioDataPacket* self) { self->SetComPort(nullptr); };
  t.SetEnabled(true);
  Send("<abc");
  ASSERT_TRUE(WaitUntil([&] { return detached.timeouts == 1; }));
  WaitTicksServing(1);
  EXPECT_EQ(t.GetManager(), nullptr);
  EXPECT_FALSE(t.GetEnabled());
  Sink later;
  TSioDataPacket& u = Matcher("OK", later);
  u.SetEnabled(true);
  Send("OK");
  EXPECT_TRUE(WaitUntil([&] { return later.packets.size() == 1; }));
}

TEST_F(Packet, AFailureOnTheDispatcherThreadDisablesThatMatcherAndIsReported) {
  port_->SetOpen(true);
  Sink key;
  Sink broken;
  TSioDataPacket& a = Matcher("KEY", key);
  TSioDataPacket& b = Matcher("OTHER", broken);
  a.SetEnabled(true);
  b.SetEnabled(true);
  // b's packet leaves it nothing to start with: enabling it again after
  // its event raises on the dispatcher thread.
  broken.onPacket = [](TSioDataPacket* self) { self->SetStartString(""); };
  Send("OTHER");
  ASSERT_TRUE(WaitUntil([&] { return !Reported().empty(); }));
  EXPECT_EQ(Reported(), (std::vector<std::string>{std::to_string(sio::ecStartStringEmpty)}));
  EXPECT_FALSE(b.GetEnabled());
  EXPECT_TRUE(a.GetEnabled());
  // The port's dispatcher thread lives on.
  Send("KEY KEY");
  EXPECT_TRUE(WaitUntil([&] { return key.packets.size() == 2; }));
}

TEST_F(Packet, ThousandsOfCollectedPacketsInOneBlockAllArriveInOrder) {
  port_->SetOpen(true);
  Sink sink;
  TSioDataPacket& p = Matcher("<", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString(">");
  p.SetEnabled(true);
  std::string block;
  std::vector<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    expected.push_back("<" + std::to_string(i) + ">");
    block += expected.back();
  }
  Send(block);
  ASSERT_TRUE(WaitUntil([&] { return sink.packets.size() >= expected.size(); }, 30000));
  EXPECT_EQ(sink.packets, expected);
}

TEST_F(Packet, ManagersLiveFromTheFirstMatcherToThePostedReleaseAndForgetAFreedPort) {
  Sink sink;
  auto* p = new TSioDataPacket();
  p->SetComPort(port_.get());
  sio::TSioDataPacketManager* m = Manager();
  ASSERT_NE(m, nullptr);
  port_->SetOpen(true);
  EXPECT_TRUE(m->GetAttached());
  // Told of another port: ignored.
  TSioComPort other;
  m->PortNotify(&other, sio::ctClosing);
  EXPECT_TRUE(m->GetAttached());
  p->SetComPort(nullptr);
  // Re-attached before the release is handled: the manager stays.
  p->SetComPort(port_.get());
  WaitTicksServing(2);
  EXPECT_EQ(Manager(), m);
  EXPECT_EQ(m->PacketCount(), 1);
  delete p;
  ASSERT_TRUE(WaitUntil([&] { return Manager() == nullptr; }));
  const size_t handlers = sio::TSioDispatcherProbe::EventHandlerCount(*port_->GetDispatcher());
  EXPECT_EQ(handlers, 0u);

  // A port freed before its matcher's manager.
  auto q = std::make_unique<TSioDataPacket>();
  q->SetComPort(port_.get());
  sio::TSioDataPacketManager* m2 = Manager();
  EXPECT_TRUE(m2->GetAttached());
  port_.reset();
  EXPECT_EQ(q->GetComPort(), nullptr);
  EXPECT_EQ(m2->GetPort(), nullptr);
  q.reset();
  EXPECT_TRUE(WaitUntil([&] { return sio::PacketManagers().Count() == 0; }));
}

}  // namespace

namespace {

// The user-interface thread changes matchers, adds and removes them and
// closes and reopens the port while the device keeps sending and the
// dispatcher thread keeps matching; every packet reported is a whole one.
TEST_F(Packet, MatchersChangedAndThePortClosedWhileDataFlowsReportOnlyWholePackets) {
  Sink sink;
  TSioDataPacket& p = Matcher("<", sink);
  p.SetEndCond(sio::EndCondBit(sio::ecString));
  p.SetEndString(">");
  p.SetEnabled(true);
  Sink plain;
  TSioDataPacket& k = Matcher("KELVANE", plain);
  k.SetEnabled(true);
  port_->SetOpen(true);
  std::atomic<bool> stop{false};
  std::thread device([&] {
    const std::string text = "KELVANE<abc>x<ab]>";
    for (int n = 0; n < 4000 && !stop.load(); ++n) {
      if (!peer_->Write(text.data(), text.size())) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 150; ++i) {
    p.SetEndString(i % 2 == 0 ? "]" : ">");
    k.SetEnabled(i % 3 != 0);
    if (i % 10 == 5) {
      auto extra = std::make_unique<TSioDataPacket>();
      extra->SetStartString("x");
      extra->SetComPort(port_.get());
      extra->SetEnabled(true);
      WaitTicksServing(0);
      extra.reset();
    }
    if (i % 25 == 24) {
      port_->SetOpen(false);
      port_->SetOpen(true);
    }
    if (sio::PumpOneMessage() == 0) std::this_thread::yield();
  }
  stop.store(true);
  device.join();
  p.SetEndString(">");
  k.SetEnabled(true);
  WaitTicksServing(2);
  const size_t before = plain.packets.size();
  Send("KELVANE");
  EXPECT_TRUE(WaitUntil([&] { return plain.packets.size() > before; }));
  for (const std::string& s : sink.packets) {
    // From a start string through an end string (which of the two ends it
    // depends on when the change came).
    const bool whole = s.size() >= 2 && s.front() == '<' && (s.back() == '>' || s.back() == ']');
    EXPECT_TRUE(whole) << s;
  }
  for (const std::string& s : plain.packets)
    EXPECT_EQ(s, "KELVANE");
  EXPECT_TRUE(sink.allOnTestThread);
  EXPECT_TRUE(plain.allOnTestThread);
}

}  // namespace
