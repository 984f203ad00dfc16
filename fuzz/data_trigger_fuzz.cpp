// Data triggers against the plain rule (a match at every byte that completes
// an occurrence of the text beginning after the previous match): first the
// slot matcher alone, byte by byte, then a dispatcher with up to three
// triggers fed in blocks, whose match events must come in stream order, the
// triggers that match at one byte last-added first.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/support/error_codes.h"
#include "tests/common/memory_dispatcher.h"
#include "tests/common/trigger_reference.h"

namespace {

struct Trigger {
  std::string text;  // as stored: upper case when ignoring case
  bool ignoreCase;
  int32_t handle;
};

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

// A small alphabet makes overlapping candidates, the matcher's hard part,
// common; the provider may still hand any byte.
std::string Text(FuzzedDataProvider& in, size_t maxLen) {
  static const char kAlphabet[] = "aAbB\r\n";
  const size_t len = in.ConsumeIntegralInRange<size_t>(1, maxLen);
  std::string s;
  for (size_t i = 0; i < len && in.remaining_bytes() > 0; ++i) {
    const uint8_t b = in.ConsumeIntegral<uint8_t>();
    s.push_back(b < 240 ? kAlphabet[b % 6] : static_cast<char>(b));
  }
  return s.empty() ? std::string("a") : s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  std::vector<Trigger> triggers;
  const int count = in.ConsumeIntegralInRange<int>(1, 3);
  for (int i = 0; i < count; ++i) {
    const bool ignoreCase = in.ConsumeBool();
    const std::string text = Text(in, sio::MaxTriggerLength);
    triggers.push_back({ignoreCase ? Upper(text) : text, ignoreCase, 0});
  }
  std::vector<size_t> cuts;
  std::string stream;
  while (in.remaining_bytes() > 0 && stream.size() < 2000) {
    const size_t n = in.ConsumeIntegralInRange<size_t>(1, 64);
    stream += Text(in, n);
    cuts.push_back(stream.size());
  }

  // The slot matcher alone.
  for (const Trigger& t : triggers) {
    int32_t slots[sio::MaxTriggerLength] = {};
    char stored[sio::TriggerTextSize] = {};
    t.text.copy(stored, t.text.size());
    const std::vector<bool> want = sio_test::ReferenceMatches(t.text, stream, t.ignoreCase);
    for (size_t j = 0; j < stream.size(); ++j) {
      const bool got = sio::TSioBaseDispatcher::MatchTriggerByte(
          slots, static_cast<uint8_t>(stream[j]), static_cast<int32_t>(t.text.size()), t.ignoreCase,
          stored);
      FUZZ_CHECK(got == want[j], "text \"" + sio_fuzz::Visible(t.text) + "\" case " +
                                     std::to_string(t.ignoreCase) + " after \"" +
                                     sio_fuzz::Visible(stream.substr(0, j + 1)) + "\"");
    }
  }

  // A dispatcher with all of them, fed block by block. One open dispatcher
  // serves every input (an open waits for the line to settle); each input
  // starts from no triggers and no unread bytes.
  static sio_test::TMemoryDispatcher* const d = [] {
    auto* dispatcher = new sio_test::TMemoryDispatcher(nullptr, false);
    FUZZ_CHECK(dispatcher->Open() == 0, "open");
    return dispatcher;
  }();
  d->ClearTriggers();
  (void)d->FlushInBuffer();
  for (Trigger& t : triggers) {
    t.handle = d->AddDataTrigger(t.text, t.ignoreCase);
    FUZZ_CHECK(t.handle > 0, "add \"" + sio_fuzz::Visible(t.text) + "\"");
  }
  sio_test::THandlerProbe probe(d);
  d->RegisterEventTriggerHandler(probe.Method());
  size_t from = 0;
  for (const size_t to : cuts) {
    d->FeedBytes(stream.substr(from, to - from));
    d->FillDispatchBuffer();
    from = to;
    for (int guard = 0; guard < 4096 && d->CheckDataTriggers(); ++guard) {
    }
  }

  struct Event {
    uint32_t trigger;
    uint32_t data;
  };
  std::vector<Event> want;
  std::vector<std::vector<bool>> matches;
  for (const Trigger& t : triggers)
    matches.push_back(sio_test::ReferenceMatches(t.text, stream, t.ignoreCase));
  for (size_t j = 0; j < stream.size(); ++j)
    for (size_t k = triggers.size(); k-- > 0;)
      if (matches[k][j])
        want.push_back({static_cast<uint32_t>(triggers[k].handle),
                        static_cast<uint32_t>(d->GetHandleIndex()) * 65536u +
                            static_cast<uint32_t>(triggers[k].text.size())});
  const std::vector<sio_test::THandlerProbe::Call> got = probe.Calls();
  std::string detail = "stream \"" + sio_fuzz::Visible(stream) + "\" triggers";
  for (const Trigger& t : triggers)
    detail += " " + std::to_string(t.handle) + ":\"" + sio_fuzz::Visible(t.text) + "\"/" +
              std::to_string(t.ignoreCase);
  detail += " events " + std::to_string(got.size()) + " want " + std::to_string(want.size());
  FUZZ_CHECK(got.size() == want.size(), detail);
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].Msg == sio::kMsgTriggerData, detail);
    FUZZ_CHECK(got[i].Trigger == want[i].trigger, detail + " at event " + std::to_string(i));
    FUZZ_CHECK(got[i].Data == want[i].data, detail + " at event " + std::to_string(i));
  }
  d->DeregisterEventTriggerHandler(probe.Method());
  return 0;
}
