// The texts of the serial layer's result codes, status texts and dispatch-log
// words, and the lookup that turns a code into its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sio {

// One entry of the message table. The message is a static, NUL-terminated
// text; an empty text counts as "no text".
struct SioMessageNumberLookupRecord {
  int32_t code;         // a result code, or the number of a status text or log word
  const char* message;  // its text
};

// Sorted strictly ascending by the absolute value of the code; no absolute
// value occurs twice. Holds every result code of error_table.h (an empty text
// where the system's text stands) and the dispatch-log words.
extern const std::span<const SioMessageNumberLookupRecord> MessageTable;

// No text handed out by the lookup is longer than this.
constexpr std::size_t kMaxMessageLength = 255;

// The text of a code. The code is taken as a signed 16-bit value and only its
// absolute value counts, so MessageForCode(c) == MessageForCode(-c). A code
// without a table text falls back to the system's text for the absolute
// value, cleaned to one line. Empty when neither exists. Safe on any thread.
std::string MessageForCode(int32_t code);

// The table text of a code (same 16-bit, absolute-value rule), or nullptr
// when the table has none or an empty one. Never allocates: usable where
// memory may have run out.
const char* TableMessageForCode(int32_t code) noexcept;

// Cuts a text to kMaxMessageLength bytes. A valid UTF-8 text is cut before a
// character rather than through it; other texts at the byte limit.
std::string CutToMessageLength(std::string text);

// Turns a system message into one line: every control character (below 32)
// becomes a blank, and each run of blanks shrinks to one blank. A message
// that ends in a line break therefore ends in one blank.
std::string CleanSystemMessage(std::string_view text);

}  // namespace sio
