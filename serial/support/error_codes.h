// Result codes of the serial layer: 0 success, negative errors. Positive
// codes in the message table are status texts and dispatch-log words.
#pragma once

#include <cstdint>

namespace sio {

// The operating-system and file I/O errors (negated error numbers). Codes in
// this range without a class of their own raise EInOutError; -8 raises the
// out-of-memory exception.
constexpr int32_t ecFirstIoError = -2;   // the range's first code
constexpr int32_t ecLastIoError = -162;  // and its last

// ecOK, ecFileNotFound, ecBadId, ...: one constant per named row.
#define SIO_ERROR(code, name, text, cls) constexpr int32_t name = code;
#define SIO_ERROR_UNNAMED(code, text, cls)
#include "error_table.h"

//@{
// Dispatch-log words, read with MessageForCode. Type T reads
// kLogTypeWordBase + T, subtype S (S >= 1) reads kLogSubTypeWordBase + S;
// subtype 0 has no word. Modem-status bit b (0 to 7) reads
// kModemStatusBitWordBase + b; Telnet option n (0 to kLastTelnetOptionWord)
// reads kTelnetOptionWordBase + n.
constexpr int32_t kLogTypeWordBase = 15001;
constexpr int32_t kLogSubTypeWordBase = 15100;
constexpr int32_t kLogHeaderTitles = 15501;  // the log's column titles
constexpr int32_t kLogHeaderRule = 15502;    // the rule under them
constexpr int32_t kModemStatusBitWordBase = 15601;
constexpr int32_t kTelnetOptionWordBase = 15700;
constexpr int32_t kLastTelnetOptionWord = 42;
//@}

}  // namespace sio
