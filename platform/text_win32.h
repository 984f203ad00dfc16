// UTF-16 text of the Win32 API as the UTF-8 the serial layer keeps.
#pragma once

#include <cstddef>
#include <string>

namespace sio::platform {

// The first `length` characters of text in UTF-8; empty for length 0 or
// text the system cannot convert.
std::string NarrowUtf16(const wchar_t* text, size_t length);

}  // namespace sio::platform
