// Random byte streams, cut into random blocks, through a port component,
// its packet manager and one matcher with random start and end conditions,
// against the plain matcher of tests/common: both must
// report the same packets, in the same order, byte for byte. The port runs
// on a memory device layer whose dispatcher the test drives pass by pass,
// so thousands of streams take seconds. The same port, every event in the
// order the test chooses, serves the rules of several matchers at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/message_loop.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "serial/support/error_codes.h"
#include "tests/common/error_report.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/common/packet_reference.h"

namespace {

using sio::TSioDataPacket;

using Config = sio_test::PacketConfig;
using sio_test::PreparePattern;

// --- The real one ---

using sio_test::Collector;
using sio_test::TMemoryPort;

std::string RandomText(std::mt19937& rng, const std::string& alphabet, size_t minLen,
                       size_t maxLen) {
  std::uniform_int_distribution<size_t> len(minLen, maxLen);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::string s(len(rng), '\0');
  for (char& ch : s)
    ch = alphabet[pick(rng)];
  return s;
}

Config RandomConfig(std::mt19937& rng) {
  auto chance = [&](int percent) {
    return std::uniform_int_distribution<int>(0, 99)(rng) < percent;
  };
  Config c;
  c.ignoreCase = chance(50);
  c.include = chance(60);
  c.startCond = chance(80) ? sio::scString : sio::scAnyData;
  do {
    c.start = RandomText(rng, "abA?\\x", 1, 4);
  } while (PreparePattern(c.start, c.ignoreCase).ch.empty());
  if (chance(60)) c.endCond |= sio::EndCondBit(sio::ecString);
  if (chance(40)) c.endCond |= sio::EndCondBit(sio::ecPacketSize);
  if (c.startCond == sio::scAnyData && c.endCond == 0) c.endCond = sio::EndCondBit(sio::ecString);
  do {
    c.end = RandomText(rng, "bB?\\\r\n", 1, 3);
  } while (PreparePattern(c.end, c.ignoreCase).ch.empty());
  const auto startLen = c.startCond == sio::scString
                            ? static_cast<int32_t>(PreparePattern(c.start, c.ignoreCase).ch.size())
                            : 1;
  c.size = std::uniform_int_distribution<int32_t>(startLen, startLen + 6)(rng);
  return c;
}

// A fresh matcher set up from c on the port, the stream fed to it in random
// blocks of 1 to maxBlock bytes: what its OnPacket and OnStringPacket saw.
Collector RunMatcher(TMemoryPort& port, sio_test::TMemoryDispatcher& d, const Config& c,
                     const std::string& bytes, size_t maxBlock, std::mt19937& rng) {
  Collector got;
  TSioDataPacket m;
  sio_test::SetUpMatcher(m, c, got);
  m.SetComPort(&port);
  m.SetEnabled(true);
  if (c.caseFlipped) m.SetIgnoreCase(c.ignoreCase);
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t n =
        std::min(bytes.size() - at, std::uniform_int_distribution<size_t>(1, maxBlock)(rng));
    sio_test::Deliver(d, bytes.substr(at, n));
    at += n;
  }
  m.SetComPort(nullptr);
  return got;
}

// A port on the memory device layer, open for the whole test.
class PacketDifferential : public ::testing::Test {
 protected:
  void SetUp() override {
    sio::platform::InitUserInterfaceThread();
    port.SetComNumber(1);
    port.SetAutoOpen(false);
    port.SetOpen(true);
    d = dynamic_cast<sio_test::TMemoryDispatcher*>(port.GetDispatcher());
    ASSERT_NE(d, nullptr);
  }
  void TearDown() override {
    port.SetOpen(false);
    for (int i = 0; i < 20 && sio::PacketManagers().Count() > 0; ++i)
      sio_test::WaitFor([] { return sio::PacketManagers().Count() == 0; }, 100);
  }
  TMemoryPort port;
  sio_test::TMemoryDispatcher* d = nullptr;
};

TEST_F(PacketDifferential, RandomStreamsGiveThePacketsOfThePlainMatcher) {
  std::mt19937 rng(20261209);
  int delivered = 0;
  for (int stream = 0; stream < 4000; ++stream) {
    const Config c = RandomConfig(rng);
    std::string bytes = RandomText(rng, std::string("abABx?\\\r\n\0", 10), 0, 60);
    // Now and then a stream rich in the start text itself.
    if (stream % 5 == 0) bytes = c.start + bytes + c.start + c.end;
    const Collector got = RunMatcher(port, *d, c, bytes, 12, rng);
    const std::vector<std::string> want = sio_test::ReferencePackets(c, bytes);
    ASSERT_EQ(got.packets, want) << "stream " << stream << " " << sio_test::Describe(c, bytes);
    ASSERT_EQ(got.strings, want);
    delivered += static_cast<int>(want.size());
  }
  // The streams were not all empty of packets.
  EXPECT_GT(delivered, 2000);
}

// Bytes that can begin none of the strings the generator makes.
const std::string kFiller("zZ019~ \x80\xfe\xff", 10);

// Long stretches of such bytes around short runs of the usual ones, now and
// then the start or end text itself: what the scan passes over in one step
// lies on every side of block borders and of partial matches.
std::string SparseStream(std::mt19937& rng, const Config& c) {
  std::uniform_int_distribution<int> pieces(1, 8);
  std::uniform_int_distribution<int> kind(0, 9);
  std::string s;
  for (int n = pieces(rng); n > 0; --n) {
    s += RandomText(rng, kFiller, 0, 90);
    const int k = kind(rng);
    if (k < 2) {
      s += c.start;
    } else if (k < 3) {
      s += c.end;
    } else {
      s += RandomText(rng, std::string("abABx?\\\r\n\0", 10), 0, 5);
    }
  }
  return s;
}

TEST_F(PacketDifferential, SparseStreamsInLargeBlocksGiveThePacketsOfThePlainMatcher) {
  std::mt19937 rng(20261210);
  int delivered = 0;
  int flipped = 0;
  for (int stream = 0; stream < 2000; ++stream) {
    Config c = RandomConfig(rng);
    c.caseFlipped = stream % 4 == 3;
    const std::string bytes = SparseStream(rng, c);
    const Collector got = RunMatcher(port, *d, c, bytes, 120, rng);
    const std::vector<std::string> want = sio_test::ReferencePackets(c, bytes);
    ASSERT_EQ(got.packets, want) << "stream " << stream << " " << sio_test::Describe(c, bytes);
    ASSERT_EQ(got.strings, want);
    delivered += static_cast<int>(want.size());
    if (c.caseFlipped && !want.empty()) ++flipped;
  }
  EXPECT_GT(delivered, 1000);
  EXPECT_GT(flipped, 100);
}

// An OnPacket that runs f on the matcher that delivered.
struct Hook {
  std::function<void(TSioDataPacket*)> f;
  void Packet(sio::TComponent* s, const void*, int32_t) { f(static_cast<TSioDataPacket*>(s)); }
};

using PacketManager = PacketDifferential;

TEST_F(PacketManager, AFailingRestartStaysWithItsMatcherWhicheverCallRanIt) {
  sio_test::Reported().clear();
  sio::SetThreadExceptionReporter(&sio_test::RecordReport);
  const sio::TPacketEndSet str = sio::EndCondBit(sio::ecString);
  Collector got[3];
  TSioDataPacket a, b, k;
  sio_test::SetUpMatcher(a, {.start = "<", .endCond = str, .end = ">"}, got[0]);
  sio_test::SetUpMatcher(b, {.start = "[", .endCond = str, .end = "]"}, got[1]);
  sio_test::SetUpMatcher(k, {.start = "K", .end = ""}, got[2]);
  // b leaves itself nothing to start with for its next packet.
  Hook breaker{[](TSioDataPacket* self) { self->SetStartString(""); }};
  b.SetOnPacket(sio::TPacketNotifyEvent::Of<&Hook::Packet>(&breaker));
  for (TSioDataPacket* p : {&a, &b, &k}) {
    p->SetComPort(&port);
    p->SetEnabled(true);
  }
  sio_test::Deliver(*d, "<a[bc]d");
  // Releasing a's capture lets b deliver "[bc]" inside this call.
  EXPECT_NO_THROW(a.SetEnabled(false));
  sio_test::Deliver(*d, "e]fK<g>");
  const std::vector<std::string> failures{std::to_string(sio::ecStartStringEmpty)};
  EXPECT_TRUE(sio_test::WaitFor([&] { return sio_test::Reported() == failures; }, 1000));
  sio::SetThreadExceptionReporter(nullptr);
  EXPECT_TRUE(!a.GetEnabled() && a.GetMode() == sio::dpIdle && got[0].packets.empty());
  EXPECT_FALSE(b.GetEnabled());
  EXPECT_EQ(got[2].packets, (std::vector<std::string>{"K"}));
}

TEST_F(PacketManager, ACloseAskedInOnPacketCompletesOnceTheDeliveryHasReturned) {
  Collector unused;
  TSioDataPacket k;
  sio_test::SetUpMatcher(k, {.start = "K", .end = ""}, unused);
  sio::OpenState inHandler = sio::osOpen;
  Hook closer{[&](TSioDataPacket*) {
    port.SetOpen(false);
    inHandler = port.GetOpenState();
  }};
  k.SetOnPacket(sio::TPacketNotifyEvent::Of<&Hook::Packet>(&closer));
  k.SetComPort(&port);
  k.SetEnabled(true);
  sio_test::Deliver(*d, "xKyK");
  // The delivery still runs on the dispatcher: it is released after it.
  EXPECT_EQ(inHandler, sio::osClosing);
  EXPECT_TRUE(sio_test::WaitFor([&] { return port.GetOpenState() == sio::osClosed; }, 1000));
}

TEST_F(PacketManager, SettingsThatCannotMatchAreRefusedAtEnableAndAtAWriteWhereverThePortIs) {
  constexpr sio::TPacketEndSet both =
      sio::EndCondBit(sio::ecString) | sio::EndCondBit(sio::ecPacketSize);
  const Config text{.start = "<", .endCond = both, .end = ">", .size = 2};
  const Config any{
      .startCond = sio::scAnyData, .start = "", .endCond = both, .end = ">", .size = 2};
  struct Case {
    const Config& valid;
    std::function<void(TSioDataPacket&)> spoil;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {text, [](auto& p) { p.SetStartString("\\"); }, sio::ecStartStringEmpty},
      {text, [](auto& p) { p.SetStartString("<<<"); }, sio::ecPacketTooSmall},
      {any, [](auto& p) { p.SetEndCond(0); }, sio::ecNoEndCharCount},
      {any, [](auto& p) { p.SetEndString(""); }, sio::ecEmptyEndString},
      {any, [](auto& p) { p.SetPacketSize(0); }, sio::ecZeroSizePacket},
      {any, [](auto& p) { p.SetStartCond(sio::scString); }, sio::ecStartStringEmpty},
  };
  auto raised = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const sio::EInvalidProperty& e) {
      return e.ErrorCode();
    }
    return 0;
  };
  auto settings = [](const TSioDataPacket& p) {
    return std::tuple(p.GetStartCond(), p.GetStartString(), p.GetEndCond(), p.GetEndString(),
                      p.GetPacketSize());
  };
  for (const Case& c : cases) {
    for (const int where : {0, 1, 2}) {  // no port, a closed port, an open one
      SCOPED_TRACE(std::to_string(c.code) + " where " + std::to_string(where));
      port.SetOpen(where == 2);
      Collector got;
      TSioDataPacket p;
      sio_test::SetUpMatcher(p, c.valid, got);
      if (where != 0) p.SetComPort(&port);
      p.SetEnabled(true);
      const auto before = settings(p);
      EXPECT_EQ(raised([&] { c.spoil(p); }), c.code);
      EXPECT_EQ(settings(p), before);
      EXPECT_TRUE(p.GetEnabled());
      // A disabled matcher may hold it, as properties come one at a time.
      p.SetEnabled(false);
      c.spoil(p);
      EXPECT_EQ(raised([&] { p.SetEnabled(true); }), c.code);
      EXPECT_FALSE(p.GetEnabled());
      port.SetOpen(true);
    }
  }
  // Enabled while loading, before its settings: refused once they are in.
  port.SetOpen(false);
  TSioDataPacket q;
  q.SetLoading();
  q.SetEnabled(true);
  q.SetComPort(&port);
  EXPECT_EQ(raised([&] { q.Loaded(); }), sio::ecStartStringEmpty);
  EXPECT_FALSE(q.GetEnabled());
  port.SetOpen(true);
}

}  // namespace
