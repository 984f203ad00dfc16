// Local time from GetLocalTime; separators from the user's regional settings.
#include "platform/local_time.h"

#include <windows.h>

namespace sio::platform {

namespace {

std::string LocaleText(LCTYPE item, const char* fallback) {
  // LOCALE_SDATE and LOCALE_STIME hold at most four characters.
  char buffer[16] = {};
  const int length =
      GetLocaleInfoA(LOCALE_USER_DEFAULT, item, buffer, static_cast<int>(sizeof buffer));
  if (length <= 1) return fallback;
  return std::string(buffer);
}

}  // namespace

LocalDateTime CurrentLocalDateTime() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  LocalDateTime result;
  result.Year = now.wYear;
  result.Month = now.wMonth;
  result.Day = now.wDay;
  result.Hour = now.wHour;
  result.Minute = now.wMinute;
  result.Second = now.wSecond;
  return result;
}

std::string LocaleDateSeparator() {
  return LocaleText(LOCALE_SDATE, "/");
}

std::string LocaleTimeSeparator() {
  return LocaleText(LOCALE_STIME, ":");
}

}  // namespace sio::platform
