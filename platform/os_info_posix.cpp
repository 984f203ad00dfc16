// Error texts and the host description from the C library and uname.
#include "platform/os_info.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/utsname.h>

namespace platform {

namespace {

// strerror_r comes in two shapes: XSI returns an int and fills the buffer,
// GNU returns the text (which may or may not be the buffer). Overloads pick
// whichever the library declares.
[[maybe_unused]] const char* ErrorTextFrom(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorTextFrom(const char* text, const char*) {
  return text;
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

std::string SystemErrorText(uint32_t errorNumber) {
  // Numbers beyond int have no text anywhere; casting them would name
  // another error.
  if (errorNumber > static_cast<uint32_t>(INT_MAX)) return std::string();
  char buffer[256] = {};
  const char* text =
      ErrorTextFrom(strerror_r(static_cast<int>(errorNumber), buffer, sizeof buffer), buffer);
  if (text == nullptr || text[0] == '\0') return std::string();
  // The library's stand-ins for a number it does not know are not texts.
  if (StartsWith(text, "Unknown error") || StartsWith(text, "No error information")) {
    return std::string();
  }
  std::string result(text);
  if (result.size() > 255) result.resize(255);
  return result;
}

uint32_t LastSystemError() {
  return static_cast<uint32_t>(errno);
}

std::string DescribeOperatingSystem() {
  utsname name{};
  if (uname(&name) != 0) return "Unknown";
  // The release starts "major.minor"; what follows (patch level, flavour)
  // is left out as the version record leaves out the build.
  char* end = nullptr;
  const unsigned long major = std::strtoul(name.release, &end, 10);
  unsigned long minor = 0;
  if (end != nullptr && *end == '.') minor = std::strtoul(end + 1, nullptr, 10);
  return std::string(name.sysname) + " " + std::to_string(major) + "." + std::to_string(minor) +
         " " + name.version;
}

}  // namespace platform
