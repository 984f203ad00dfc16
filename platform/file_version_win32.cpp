// The version resource of a program file (version.dll's API).
#include "platform/file_version.h"

#include <windows.h>

#include <vector>

namespace platform {

namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  }
  return wide;
}

std::string Narrow(const wchar_t* text, size_t length) {
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

}  // namespace

std::string VersionRecordPrefix() {
  return std::string();
}

std::string ProgramFilePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) return Narrow(buffer.data(), n);
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ReadFileVersion(const std::string& path) {
  const std::wstring wide = Widen(path);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(wide.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(wide.c_str(), 0, size, block.data())) return std::string();
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904E4\\FileVersion", &value,
                        &length) ||
      value == nullptr || length == 0) {
    return std::string();
  }
  // The length counts characters; the text ends at its terminating zero.
  const auto* text = static_cast<const wchar_t*>(value);
  size_t n = 0;
  while (n < length && text[n] != L'\0')
    ++n;
  return Narrow(text, n);
}

}  // namespace platform
