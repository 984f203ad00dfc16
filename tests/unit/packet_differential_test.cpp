// Random byte streams, cut into random blocks, through a port component,
// its packet manager and one matcher with random start and end conditions,
// against a plain matcher written here from the matching rules: both must
// report the same packets, in the same order, byte for byte. The port runs
// on a memory device layer whose dispatcher the test drives pass by pass,
// so thousands of streams take seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "tests/common/memory_dispatcher.h"

namespace {

using sio::TSioDataPacket;

struct Config {
  sio::TPacketStartCond startCond = sio::scString;
  std::string start;
  sio::TPacketEndSet endCond = 0;
  std::string end;
  int32_t size = 0;
  bool ignoreCase = true;
  bool include = true;
  // IgnoreCase was changed after the matcher started: its strings stay
  // prepared for the other setting until its first packet restarts it.
  bool caseFlipped = false;
};

// --- The plain matcher ---

struct Pattern {
  std::vector<int> ch;  // -1: any byte
};

int Up(int c) {
  return c >= 'a' && c <= 'z' ? c - 32 : c;
}

Pattern Prepare(const std::string& text, bool ignoreCase) {
  Pattern p;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[++i]);
        p.ch.push_back(ignoreCase ? Up(next) : next);
      }
    } else if (c == '?') {
      p.ch.push_back(-1);
    } else {
      p.ch.push_back(ignoreCase ? Up(c) : c);
    }
  }
  return p;
}

bool MatchAt(const std::string& s, size_t at, const Pattern& p, bool ignoreCase) {
  if (at + p.ch.size() > s.size()) return false;
  for (size_t k = 0; k < p.ch.size(); ++k) {
    const int c = static_cast<unsigned char>(s[at + k]);
    if (p.ch[k] != -1 && (ignoreCase ? Up(c) : c) != p.ch[k]) return false;
  }
  return true;
}

// The first position at or after from where p matches, or npos.
size_t Find(const std::string& s, size_t from, const Pattern& p, bool ignoreCase) {
  for (size_t at = from; at + p.ch.size() <= s.size(); ++at)
    if (MatchAt(s, at, p, ignoreCase)) return at;
  return std::string::npos;
}

std::vector<std::string> Reference(const Config& c, const std::string& s) {
  const bool bySizeOn = (c.endCond & sio::EndCondBit(sio::ecPacketSize)) != 0;
  const bool byStringOn = (c.endCond & sio::EndCondBit(sio::ecString)) != 0;
  const size_t startLen = Prepare(c.start, c.ignoreCase).ch.size();
  const size_t npos = std::string::npos;
  std::vector<std::string> out;
  size_t base = 0;
  for (;;) {
    const bool preparedCase = c.caseFlipped && out.empty() ? !c.ignoreCase : c.ignoreCase;
    const Pattern start = Prepare(c.start, preparedCase);
    const Pattern end = Prepare(c.end, preparedCase);
    size_t begin;
    size_t collectFrom;
    if (c.startCond == sio::scString) {
      begin = Find(s, base, start, c.ignoreCase);
      if (begin == npos) break;
      if (c.endCond == 0) {
        out.push_back(c.include ? s.substr(begin, startLen) : std::string());
        base = begin + startLen;
        continue;
      }
      collectFrom = begin + startLen;
    } else {
      if (base >= s.size()) break;
      begin = base;
      collectFrom = base;
    }
    size_t sizeEnd = npos;
    if (bySizeOn) sizeEnd = std::max(collectFrom, begin + static_cast<size_t>(c.size) - 1);
    size_t stringEnd = npos;
    if (byStringOn) {
      const size_t e = Find(s, collectFrom, end, c.ignoreCase);
      if (e != npos) stringEnd = e + end.ch.size() - 1;
    }
    if (sizeEnd >= s.size()) sizeEnd = npos;
    if (sizeEnd == npos && stringEnd == npos) break;
    const bool bySize = sizeEnd <= stringEnd;
    const size_t last = bySize ? sizeEnd : stringEnd;
    std::string data = s.substr(begin, last - begin + 1);
    if (c.startCond == sio::scString && !c.include) data.erase(0, startLen);
    if (!c.include && !bySize) data.erase(data.size() - end.ch.size());
    out.push_back(data);
    base = last + 1;
  }
  return out;
}

// --- The real one ---

class TMemoryPort : public sio::TSioComPort {
 public:
  using sio::TSioComPort::TSioComPort;
  sio::TSioBaseDispatcher* CreateDispatcher() override {
    return new sio_test::TMemoryDispatcher(this, false);
  }
};

struct Collector {
  std::vector<std::string> packets;
  std::vector<std::string> strings;
  void Packet(sio::TComponent*, const void* data, int32_t size) {
    packets.emplace_back(static_cast<const char*>(data), static_cast<size_t>(size));
  }
  void String(sio::TComponent*, const std::string& s) { strings.push_back(s); }
};

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
  } while (Prepare(c.start, c.ignoreCase).ch.empty());
  if (chance(60)) c.endCond |= sio::EndCondBit(sio::ecString);
  if (chance(40)) c.endCond |= sio::EndCondBit(sio::ecPacketSize);
  if (c.startCond == sio::scAnyData && c.endCond == 0) c.endCond = sio::EndCondBit(sio::ecString);
  do {
    c.end = RandomText(rng, "bB?\\\r\n", 1, 3);
  } while (Prepare(c.end, c.ignoreCase).ch.empty());
  const auto startLen = c.startCond == sio::scString
                            ? static_cast<int32_t>(Prepare(c.start, c.ignoreCase).ch.size())
                            : 1;
  c.size = std::uniform_int_distribution<int32_t>(startLen, startLen + 6)(rng);
  return c;
}

TEST(PacketDifferential, RandomStreamsGiveThePacketsOfThePlainMatcher) {
  platform::InitUserInterfaceThread();
  TMemoryPort port;
  port.SetComNumber(1);
  port.SetAutoOpen(false);
  port.SetOpen(true);
  auto* d = dynamic_cast<sio_test::TMemoryDispatcher*>(port.GetDispatcher());
  ASSERT_NE(d, nullptr);
  std::mt19937 rng(20261209);
  int delivered = 0;
  for (int stream = 0; stream < 4000; ++stream) {
    const Config c = RandomConfig(rng);
    std::string bytes = RandomText(rng, std::string("abABx?\\\r\n\0", 10), 0, 60);
    // Now and then a stream rich in the start text itself.
    if (stream % 5 == 0) bytes = c.start + bytes + c.start + c.end;
    Collector got;
    TSioDataPacket m;
    m.SetStartCond(c.startCond);
    m.SetStartString(c.start);
    m.SetEndCond(c.endCond);
    m.SetEndString(c.end);
    m.SetPacketSize(c.size);
    m.SetIgnoreCase(c.ignoreCase);
    m.SetIncludeStrings(c.include);
    m.SetTimeOut(0);
    m.SetOnPacket(sio::TPacketNotifyEvent::Of<&Collector::Packet>(&got));
    m.SetOnStringPacket(sio::TStringPacketNotifyEvent::Of<&Collector::String>(&got));
    m.SetComPort(&port);
    m.SetEnabled(true);
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t n =
          std::min(bytes.size() - at, std::uniform_int_distribution<size_t>(1, 12)(rng));
      d->FeedBytes(bytes.substr(at, n), n);
      at += n;
      for (int pass = 0; pass < 8 && d->InQueue.Count() > 0; ++pass)
        d->ProcessCommEvents();
      d->ProcessCommEvents();
    }
    const std::vector<std::string> want = Reference(c, bytes);
    ASSERT_EQ(got.packets, want) << "stream " << stream << " start '" << c.start << "' cond "
                                 << int(c.startCond) << " end '" << c.end << "' endcond "
                                 << int(c.endCond) << " size " << c.size << " case " << c.ignoreCase
                                 << " include " << c.include << " bytes '" << bytes << "'";
    ASSERT_EQ(got.strings, want);
    delivered += static_cast<int>(want.size());
    m.SetComPort(nullptr);
  }
  // The streams were not all empty of packets.
  EXPECT_GT(delivered, 2000);
  port.SetOpen(false);
  for (int i = 0; i < 20 && sio::PacketManagers().Count() > 0; ++i)
    sio_test::WaitFor([] { return sio::PacketManagers().Count() == 0; }, 100);
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

TEST(PacketDifferential, SparseStreamsInLargeBlocksGiveThePacketsOfThePlainMatcher) {
  platform::InitUserInterfaceThread();
  TMemoryPort port;
  port.SetComNumber(1);
  port.SetAutoOpen(false);
  port.SetOpen(true);
  auto* d = dynamic_cast<sio_test::TMemoryDispatcher*>(port.GetDispatcher());
  ASSERT_NE(d, nullptr);
  std::mt19937 rng(20261210);
  int delivered = 0;
  int flipped = 0;
  for (int stream = 0; stream < 2000; ++stream) {
    Config c = RandomConfig(rng);
    c.caseFlipped = stream % 4 == 3;
    const std::string bytes = SparseStream(rng, c);
    Collector got;
    TSioDataPacket m;
    m.SetStartCond(c.startCond);
    m.SetStartString(c.start);
    m.SetEndCond(c.endCond);
    m.SetEndString(c.end);
    m.SetPacketSize(c.size);
    m.SetIgnoreCase(c.caseFlipped ? !c.ignoreCase : c.ignoreCase);
    m.SetIncludeStrings(c.include);
    m.SetTimeOut(0);
    m.SetOnPacket(sio::TPacketNotifyEvent::Of<&Collector::Packet>(&got));
    m.SetOnStringPacket(sio::TStringPacketNotifyEvent::Of<&Collector::String>(&got));
    m.SetComPort(&port);
    m.SetEnabled(true);
    if (c.caseFlipped) m.SetIgnoreCase(c.ignoreCase);
    size_t at = 0;
    while (at < bytes.size()) {
      const size_t n =
          std::min(bytes.size() - at, std::uniform_int_distribution<size_t>(1, 120)(rng));
      d->FeedBytes(bytes.substr(at, n), n);
      at += n;
      for (int pass = 0; pass < 8 && d->InQueue.Count() > 0; ++pass)
        d->ProcessCommEvents();
      d->ProcessCommEvents();
    }
    const std::vector<std::string> want = Reference(c, bytes);
    ASSERT_EQ(got.packets, want) << "stream " << stream << " start '" << c.start << "' cond "
                                 << int(c.startCond) << " end '" << c.end << "' endcond "
                                 << int(c.endCond) << " size " << c.size << " case " << c.ignoreCase
                                 << " flipped " << c.caseFlipped << " include " << c.include
                                 << " bytes '" << bytes << "'";
    ASSERT_EQ(got.strings, want);
    delivered += static_cast<int>(want.size());
    if (c.caseFlipped && !want.empty()) ++flipped;
    m.SetComPort(nullptr);
  }
  EXPECT_GT(delivered, 1000);
  EXPECT_GT(flipped, 100);
  port.SetOpen(false);
  for (int i = 0; i < 20 && sio::PacketManagers().Count() > 0; ++i)
    sio_test::WaitFor([] { return sio::PacketManagers().Count() == 0; }, 100);
}

}  // namespace
