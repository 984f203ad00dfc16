// Local time from localtime_r; separators from the LC_TIME locale's formats.
#include "platform/local_time.h"

#include <ctime>

#include <langinfo.h>

namespace sio::platform {

LocalDateTime CurrentLocalDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  LocalDateTime result;
  if (localtime_r(&now, &parts) == nullptr) return result;
  result.Year = parts.tm_year + 1900;
  result.Month = parts.tm_mon + 1;
  result.Day = parts.tm_mday;
  result.Hour = parts.tm_hour;
  result.Minute = parts.tm_min;
  // A leap second (60) still shows as two digits.
  result.Second = parts.tm_sec;
  return result;
}

std::string LocaleDateSeparator() {
  const char* format = nl_langinfo(D_FMT);
  return SeparatorInFormat(format != nullptr ? format : "", "/");
}

std::string LocaleTimeSeparator() {
  const char* format = nl_langinfo(T_FMT);
  return SeparatorInFormat(format != nullptr ? format : "", ":");
}

}  // namespace sio::platform
