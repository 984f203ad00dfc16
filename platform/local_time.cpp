// The host-independent part of the locale separators: reading one out of a
// strftime format.
#include "platform/local_time.h"

#include <cctype>

namespace sio::platform {

namespace {

// The composite conversions spelled out, so that their separators show.
std::string ExpandComposites(std::string_view format) {
  std::string out;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char c = format[i + 1];
      const char* expansion = nullptr;
      if (c == 'D') expansion = "%m/%d/%y";
      if (c == 'F') expansion = "%Y-%m-%d";
      if (c == 'T') expansion = "%H:%M:%S";
      if (c == 'R') expansion = "%H:%M";
      if (c == 'r') expansion = "%I:%M:%S %p";
      if (expansion != nullptr) {
        out += expansion;
      } else {
        out += format.substr(i, 2);
      }
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

// Index just past the conversion that starts at format[i] == '%'.
std::size_t SkipConversion(const std::string& format, std::size_t i) {
  ++i;
  while (i < format.size() &&
         (format[i] == '_' || format[i] == '-' || format[i] == '0' || format[i] == '^' ||
          format[i] == '#' || std::isdigit(static_cast<unsigned char>(format[i])) != 0)) {
    ++i;
  }
  if (i < format.size() && (format[i] == 'E' || format[i] == 'O')) ++i;
  if (i < format.size()) ++i;
  return i;
}

}  // namespace

std::string SeparatorInFormat(std::string_view rawFormat, std::string_view fallback) {
  const std::string format = ExpandComposites(rawFormat);
  std::size_t i = format.find('%');
  if (i == std::string::npos) return std::string(fallback);
  i = SkipConversion(format, i);
  std::string literal;
  while (i < format.size()) {
    if (format[i] == '%') {
      if (i + 1 < format.size() && format[i + 1] == '%') {
        literal += '%';
        i += 2;
        continue;
      }
      return literal.empty() ? std::string(fallback) : literal;
    }
    literal += format[i];
    ++i;
  }
  // No second conversion: nothing separates two fields.
  return std::string(fallback);
}

}  // namespace sio::platform
