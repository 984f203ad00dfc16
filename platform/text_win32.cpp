#include "platform/text_win32.h"

#include <windows.h>

namespace sio::platform {

std::string NarrowUtf16(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n, nullptr,
                          nullptr);
  }
  return narrow;
}

}  // namespace sio::platform
