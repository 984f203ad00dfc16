// The version resource of a program file (version.dll's API).
#include "platform/file_version.h"

#include <windows.h>

#include <vector>

#include "platform/dll_search_win32.h"
#include "platform/text_win32.h"

namespace sio::platform {

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

// version.dll is not one of the system's known DLLs: imported, it would be
// looked for in the program's folder first. Taken from the system's folder
// instead, once for the process.
struct VersionApi {
  using GetSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using GetInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryValueFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  GetSizeFunction getSize = nullptr;
  GetInfoFunction getInfo = nullptr;
  QueryValueFunction queryValue = nullptr;
};

template <typename Function>
Function Lookup(HMODULE module, const char* name) {
  FARPROC proc = ::GetProcAddress(module, name);
  // Through the generic function type, which converts to any other without
  // a cast-function-type warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

const VersionApi& Version() {
  static const VersionApi api = [] {
    VersionApi found;
    HMODULE module = LoadSystemDll(L"version.dll");
    if (module == nullptr) return found;
    found.getSize = Lookup<VersionApi::GetSizeFunction>(module, "GetFileVersionInfoSizeW");
    found.getInfo = Lookup<VersionApi::GetInfoFunction>(module, "GetFileVersionInfoW");
    found.queryValue = Lookup<VersionApi::QueryValueFunction>(module, "VerQueryValueW");
    return found;
  }();
  return api;
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
    if (n < buffer.size()) return NarrowUtf16(buffer.data(), n);
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ReadFileVersion(const std::string& path) {
  const VersionApi& api = Version();
  if (api.getSize == nullptr || api.getInfo == nullptr || api.queryValue == nullptr)
    return std::string();
  const std::wstring wide = Widen(path);
  DWORD ignored = 0;
  const DWORD size = api.getSize(wide.c_str(), &ignored);
  if (size == 0) return std::string();
  std::vector<unsigned char> block(size);
  if (!api.getInfo(wide.c_str(), 0, size, block.data())) return std::string();
  void* value = nullptr;
  UINT length = 0;
  if (!api.queryValue(block.data(), L"\\StringFileInfo\\040904E4\\FileVersion", &value, &length) ||
      value == nullptr || length == 0) {
    return std::string();
  }
  // The length counts characters; the text ends at its terminating zero.
  const auto* text = static_cast<const wchar_t*>(value);
  size_t n = 0;
  while (n < length && text[n] != L'\0')
    ++n;
  return NarrowUtf16(text, n);
}

}  // namespace sio::platform
