// The host description shared by every platform: the version-record table
// and the compiler's name.
#include "platform/os_info.h"

namespace sio::platform {

namespace {

constexpr uint32_t kPlatformWin32s = 0;
constexpr uint32_t kPlatformWindows9x = 1;
constexpr uint32_t kPlatformNt = 2;
constexpr uint32_t kWindowsMeBuild = 73010104;

// The second character of the service-pack text with blanks and control
// characters trimmed away; empty when the text is shorter than that.
std::string SecondCharacterTrimmed(const std::string& text) {
  if (text.size() < 2) return std::string();
  const char c = text[1];
  if (static_cast<unsigned char>(c) <= ' ') return std::string();
  return std::string(1, c);
}

std::string BaseText9x(const OsVersionRecord& record) {
  const std::string marker = SecondCharacterTrimmed(record.servicePack);
  switch (record.minor) {
    case 0:
      return marker == "B" ? "Win32 on Windows 95 OSR 2 " : "Win32 on Windows 95 OSR 1 ";
    case 10:
      return marker == "A" ? "Win32 on Windows 98 OSR 2 " : "Win32 on Windows 98 OSR 1 ";
    case 90:
      return record.build == kWindowsMeBuild ? "Win32 on Windows ME " : "";
    default:
      return "Win32 on Windows 9x";
  }
}

std::string BaseTextNt(const OsVersionRecord& record) {
  switch (record.major) {
    case 3:
      return "Windows NT 3.5 ";
    case 4:
      return "Windows NT 4 ";
    case 5:
      if (record.minor == 0) return "Windows 2000 ";
      if (record.minor == 1) return "Windows XP ";
      return "";
    default:
      return "WinNT ";
  }
}

}  // namespace

std::string DescribeVersionRecord(const OsVersionRecord& record) {
  std::string base;
  bool withServicePack = false;
  switch (record.platformId) {
    case kPlatformWin32s:
      base = "Win32s on Windows ";
      withServicePack = true;
      break;
    case kPlatformWindows9x:
      base = BaseText9x(record);
      break;
    case kPlatformNt:
      base = BaseTextNt(record);
      withServicePack = true;
      break;
    default:
      base = "Unknown";
      break;
  }
  std::string text = base + std::to_string(record.major) + "." + std::to_string(record.minor) + " ";
  if (withServicePack) text += record.servicePack;
  return text;
}

#define SIO_STRINGIFY_TEXT(x) #x
#define SIO_STRINGIFY(x) SIO_STRINGIFY_TEXT(x)

std::string CompilerDescription() {
#if defined(__clang__)
  return "Clang " SIO_STRINGIFY(__clang_major__) "." SIO_STRINGIFY(
      __clang_minor__) "." SIO_STRINGIFY(__clang_patchlevel__);
#elif defined(__GNUC__) && defined(__MINGW64_VERSION_MAJOR)
  return "MinGW-w64 GNU C++ " SIO_STRINGIFY(__GNUC__) "." SIO_STRINGIFY(
      __GNUC_MINOR__) "." SIO_STRINGIFY(__GNUC_PATCHLEVEL__);
#elif defined(__GNUC__) && defined(__MINGW32__)
  return "MinGW GNU C++ " SIO_STRINGIFY(__GNUC__) "." SIO_STRINGIFY(
      __GNUC_MINOR__) "." SIO_STRINGIFY(__GNUC_PATCHLEVEL__);
#elif defined(__GNUC__)
  return "GNU C++ " SIO_STRINGIFY(__GNUC__) "." SIO_STRINGIFY(__GNUC_MINOR__) "." SIO_STRINGIFY(
      __GNUC_PATCHLEVEL__);
#elif defined(_MSC_FULL_VER)
  return "Microsoft C++ " SIO_STRINGIFY(_MSC_FULL_VER);
#else
  return "Unknown";
#endif
}

}  // namespace sio::platform
