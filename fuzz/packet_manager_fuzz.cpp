// A port's packet manager and one matcher with fuzzed start and end
// conditions, wildcards, escapes and case, fed the fuzzed stream in fuzzed
// blocks, against the plain matcher: the same packets in the same order,
// byte for byte, through OnPacket and OnStringPacket alike; a configuration
// the matcher refuses must be one the rules refuse. The port runs on the
// tests' memory device layer, its dispatcher driven pass by pass here, so a
// run is deterministic and needs no device.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/message_loop.h"
#include "serial/packet/data_packet.h"
#include "serial/packet/packet_manager.h"
#include "serial/port/com_port.h"
#include "serial/support/exceptions.h"
#include "serial/support/ticks.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/common/packet_reference.h"

namespace {

using sio_test::Collector;
using sio_test::TMemoryPort;

// Texts from a small alphabet rich in wildcards, escapes and case pairs.
std::string Text(FuzzedDataProvider& in, const char* alphabet, size_t maxLen) {
  const std::string a(alphabet);
  const size_t len = in.ConsumeIntegralInRange<size_t>(0, maxLen);
  std::string s;
  for (size_t i = 0; i < len && in.remaining_bytes() > 0; ++i) {
    const uint8_t b = in.ConsumeIntegral<uint8_t>();
    s.push_back(b < 248 ? a[b % a.size()] : static_cast<char>(b));
  }
  return s;
}

TMemoryPort& Port() {
  static TMemoryPort* port = [] {
    sio::platform::InitUserInterfaceThread();
    auto* p = new TMemoryPort;
    p->SetComNumber(1);
    p->SetAutoOpen(false);
    p->SetOpen(true);
    return p;
  }();
  return *port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  sio_test::PacketConfig c;
  c.ignoreCase = in.ConsumeBool();
  c.include = in.ConsumeBool();
  c.startCond = in.ConsumeIntegralInRange<int>(0, 4) == 0 ? sio::scAnyData : sio::scString;
  c.start = Text(in, "abA?\\x", 5);
  c.endCond = static_cast<sio::TPacketEndSet>(in.ConsumeIntegralInRange<int>(0, 3));
  c.end = Text(in, "bB?\\\r\n", 4);
  c.size = in.ConsumeIntegralInRange<int32_t>(-2, 12);

  auto* d = dynamic_cast<sio_test::TMemoryDispatcher*>(Port().GetDispatcher());
  FUZZ_CHECK(d != nullptr, "memory dispatcher");
  Collector got;
  {
    sio::TSioDataPacket m;
    sio_test::SetUpMatcher(m, c, got);
    m.SetComPort(&Port());
    bool accepted = true;
    try {
      m.SetEnabled(true);
    } catch (const sio::ESioException&) {
      accepted = false;
    }
    FUZZ_CHECK(accepted == sio_test::ReferenceAccepts(c), sio_test::Describe(c, ""));
    FUZZ_CHECK(m.GetEnabled() == accepted, sio_test::Describe(c, ""));

    std::string stream;
    while (accepted && in.remaining_bytes() > 0 && stream.size() < 4096) {
      const size_t n = in.ConsumeIntegralInRange<size_t>(1, 24);
      const std::string block = Text(in, "abABx?\\\r\n", n);
      if (block.empty()) continue;
      stream += block;
      sio_test::Deliver(*d, block);
    }
    const std::vector<std::string> want =
        accepted ? sio_test::ReferencePackets(c, stream) : std::vector<std::string>();
    std::string detail = sio_test::Describe(c, stream) + " got";
    for (const auto& p : got.packets)
      detail += " \"" + sio_fuzz::Visible(p) + "\"";
    detail += " want";
    for (const auto& p : want)
      detail += " \"" + sio_fuzz::Visible(p) + "\"";
    FUZZ_CHECK(got.packets == want, detail);
    FUZZ_CHECK(got.strings == want, detail);
    m.SetComPort(nullptr);
  }
  // The manager's release message, and whatever else the run posted.
  while (sio::PumpOneMessage() != 0) {
  }
  // Nothing held over to the next input: the manager let go of its bytes.
  FUZZ_CHECK(d->InQueue->Count() == 0, "input queue drained");
  return 0;
}
