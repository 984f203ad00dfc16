// Error texts from the system's message table and the version record from
// ntdll (GetVersionEx lies to programs without a manifest).
#include "platform/os_info.h"

#include <windows.h>

namespace sio::platform {

std::string SystemErrorText(uint32_t errorNumber) {
  // Let the system size the buffer, then cut to 255: a long message is
  // shortened rather than lost.
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, errorNumber, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result;
  if (length != 0 && text != nullptr) result.assign(text, length < 255 ? length : 255);
  if (text != nullptr) ::LocalFree(text);
  return result;
}

uint32_t LastSystemError() {
  return static_cast<uint32_t>(::GetLastError());
}

namespace {

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);

std::string Narrow(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.resize(static_cast<size_t>(size - 1));
  return result;
}

}  // namespace

std::string DescribeOperatingSystem() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return "Unknown";
  FARPROC proc = ::GetProcAddress(ntdll, "RtlGetVersion");
  if (proc == nullptr) return "Unknown";
  // Through the generic function type, which converts to any other without
  // a cast-function-type warning.
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(proc));
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (rtlGetVersion(&info) != 0) return "Unknown";

  OsVersionRecord record;
  record.platformId = info.dwPlatformId;
  record.major = info.dwMajorVersion;
  record.minor = info.dwMinorVersion;
  record.build = info.dwBuildNumber;
  info.szCSDVersion[sizeof info.szCSDVersion / sizeof info.szCSDVersion[0] - 1] = L'\0';
  record.servicePack = Narrow(info.szCSDVersion);
  return DescribeVersionRecord(record);
}

}  // namespace sio::platform
