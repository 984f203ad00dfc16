// Match-string preparation against the escape rules written out plainly:
// the prepared text and its wildcard mask must be what the reference makes of
// the same text, and never longer than it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "serial/packet/data_packet.h"
#include "tests/common/packet_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string prepared;
  std::vector<bool> mask;
  sio::TSioDataPacket::PrepareMatchString(text, prepared, mask);
  const sio_test::MatchPattern want = sio_test::PreparePattern(text, false);

  const std::string detail =
      "text \"" + sio_fuzz::Visible(text) + "\" prepared \"" + sio_fuzz::Visible(prepared) + "\"";
  FUZZ_CHECK(prepared.size() == mask.size(), detail);
  FUZZ_CHECK(prepared.size() == want.ch.size(), detail);
  FUZZ_CHECK(prepared.size() <= text.size(), detail);
  for (size_t i = 0; i < prepared.size(); ++i) {
    if (want.ch[i] == -1) {
      FUZZ_CHECK(mask[i] && prepared[i] == '?', detail + " at " + std::to_string(i));
    } else {
      FUZZ_CHECK(!mask[i], detail + " at " + std::to_string(i));
      FUZZ_CHECK(static_cast<unsigned char>(prepared[i]) == want.ch[i],
                 detail + " at " + std::to_string(i));
    }
  }
  // Every wildcard comes from an unescaped "?": there are never more of them
  // than question marks in the text.
  size_t questionMarks = 0;
  size_t wildcards = 0;
  for (const char c : text)
    questionMarks += c == '?' ? 1 : 0;
  for (const bool m : mask)
    wildcards += m ? 1 : 0;
  FUZZ_CHECK(wildcards <= questionMarks, detail);
  return 0;
}
