#include "tests/common/packet_reference.h"

#include <algorithm>

#include "tests/common/visible.h"

namespace sio_test {

namespace {

bool MatchAt(const std::string& s, size_t at, const MatchPattern& p, bool ignoreCase) {
  if (at + p.ch.size() > s.size()) return false;
  for (size_t k = 0; k < p.ch.size(); ++k) {
    const int c = static_cast<unsigned char>(s[at + k]);
    if (p.ch[k] != -1 && (ignoreCase ? AsciiUp(c) : c) != p.ch[k]) return false;
  }
  return true;
}

// The first position at or after from where p matches, or npos.
size_t Find(const std::string& s, size_t from, const MatchPattern& p, bool ignoreCase) {
  for (size_t at = from; at + p.ch.size() <= s.size(); ++at)
    if (MatchAt(s, at, p, ignoreCase)) return at;
  return std::string::npos;
}

}  // namespace

int AsciiUp(int c) {
  return c >= 'a' && c <= 'z' ? c - 32 : c;
}

MatchPattern PreparePattern(const std::string& text, bool ignoreCase) {
  MatchPattern p;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[++i]);
        p.ch.push_back(ignoreCase ? AsciiUp(next) : next);
      }
    } else if (c == '?') {
      p.ch.push_back(-1);
    } else {
      p.ch.push_back(ignoreCase ? AsciiUp(c) : c);
    }
  }
  return p;
}

bool ReferenceAccepts(const PacketConfig& c) {
  const bool bySize = (c.endCond & sio::EndCondBit(sio::ecPacketSize)) != 0;
  const bool byString = (c.endCond & sio::EndCondBit(sio::ecString)) != 0;
  if (c.startCond == sio::scString) {
    const size_t startLen = PreparePattern(c.start, c.ignoreCase).ch.size();
    if (startLen == 0) return false;
    if (bySize && static_cast<int64_t>(startLen) > c.size) return false;
  } else if (c.endCond == 0) {
    return false;
  }
  if (byString && PreparePattern(c.end, c.ignoreCase).ch.empty()) return false;
  if (bySize && c.size == 0) return false;
  return true;
}

std::vector<std::string> ReferencePackets(const PacketConfig& c, const std::string& s) {
  const bool bySizeOn = (c.endCond & sio::EndCondBit(sio::ecPacketSize)) != 0;
  const bool byStringOn = (c.endCond & sio::EndCondBit(sio::ecString)) != 0;
  const size_t startLen = PreparePattern(c.start, c.ignoreCase).ch.size();
  const size_t npos = std::string::npos;
  std::vector<std::string> out;
  size_t base = 0;
  for (;;) {
    const bool preparedCase = c.caseFlipped && out.empty() ? !c.ignoreCase : c.ignoreCase;
    const MatchPattern start = PreparePattern(c.start, preparedCase);
    const MatchPattern end = PreparePattern(c.end, preparedCase);
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
    // The size counts from the packet's first byte, start string included,
    // and is checked from the start string's last byte on (a start as long
    // as the size is the whole packet), or from an any-data packet's first.
    size_t sizeEnd = npos;
    if (bySizeOn) {
      const size_t earliest = c.startCond == sio::scString ? collectFrom - 1 : collectFrom;
      const int64_t last = static_cast<int64_t>(begin) + c.size - 1;
      sizeEnd = std::max(earliest, last < 0 ? size_t{0} : static_cast<size_t>(last));
    }
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

void SetUpMatcher(sio::TSioDataPacket& m, const PacketConfig& c, Collector& got) {
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
}

void Deliver(TMemoryDispatcher& d, const std::string& block) {
  d.FeedBytes(block, block.size());
  for (int pass = 0; pass < 8 && d.InQueue->Count() > 0; ++pass)
    d.ProcessCommEvents();
  d.ProcessCommEvents();
}

std::string Describe(const PacketConfig& c, const std::string& stream) {
  return "start \"" + Visible(c.start) + "\" cond " + std::to_string(c.startCond) + " end \"" +
         Visible(c.end) + "\" endcond " + std::to_string(c.endCond) + " size " +
         std::to_string(c.size) + " case " + std::to_string(c.ignoreCase) + " flipped " +
         std::to_string(c.caseFlipped) + " include " + std::to_string(c.include) + " stream \"" +
         Visible(stream) + "\"";
}

}  // namespace sio_test
