// A plain packet matcher written straight from the matching rules, with no
// buffer, manager or state machine: the whole received stream is searched at
// once. The differential test and the fuzzer hold the real matcher against
// it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "tests/common/memory_dispatcher.h"

namespace sio_test {

struct PacketConfig {
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

// A prepared match string: one entry per character, -1 for a wildcard.
struct MatchPattern {
  std::vector<int> ch;
};

int AsciiUp(int c);

// Escapes removed, wildcards marked, letters upper-cased when ignoreCase.
MatchPattern PreparePattern(const std::string& text, bool ignoreCase);

// The packets a matcher with this configuration reports for the stream, in
// order, as OnPacket sees them.
std::vector<std::string> ReferencePackets(const PacketConfig& c, const std::string& stream);

// Whether StartMatching accepts the configuration (no empty strings, a size
// that fits the start string, an end condition for any-data packets).
bool ReferenceAccepts(const PacketConfig& c);

// A port whose dispatcher is fed by hand, so matchers can be driven
// deterministically without a device.
class TMemoryPort : public sio::TSioComPort {
 public:
  using sio::TSioComPort::TSioComPort;
  sio::TSioBaseDispatcher* CreateDispatcher() override {
    return new sio_test::TMemoryDispatcher(this, false);
  }
};

// What a matcher's OnPacket and OnStringPacket were given, in order.
struct Collector {
  std::vector<std::string> packets;
  std::vector<std::string> strings;
  void Packet(sio::TComponent*, const void* data, int32_t size) {
    packets.emplace_back(static_cast<const char*>(data), static_cast<size_t>(size));
  }
  void String(sio::TComponent*, const std::string& s) { strings.push_back(s); }
};

// A matcher set up from c, reporting to got; the caller gives it its port
// and enables it (and, for caseFlipped, then restores IgnoreCase).
void SetUpMatcher(sio::TSioDataPacket& m, const PacketConfig& c, Collector& got);

// The block handed to the dispatcher, and its passes run until the matchers
// have been given all of it.
void Deliver(TMemoryDispatcher& d, const std::string& block);

// The configuration and the stream, printable, for a failure's account.
std::string Describe(const PacketConfig& c, const std::string& stream);

}  // namespace sio_test
