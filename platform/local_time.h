// The local date and time, and the date and time separators of the user's
// locale (Windows: the user's regional settings; POSIX: the LC_TIME locale
// the program has selected, "C" unless it called setlocale).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sio::platform {

struct LocalDateTime {
  int32_t Year = 0;  // four digits
  int32_t Month = 0;
  int32_t Day = 0;
  int32_t Hour = 0;  // 0 to 23
  int32_t Minute = 0;
  int32_t Second = 0;
};

LocalDateTime CurrentLocalDateTime();

// "/" and ":" when the locale names none.
std::string LocaleDateSeparator();
std::string LocaleTimeSeparator();

// The literal text between the first two conversions of a strftime format
// ("%d.%m.%Y" gives "."), or fallback when there is none. Conversion
// modifiers (%E, %O) and flags count as part of their conversion.
std::string SeparatorInFormat(std::string_view format, std::string_view fallback);

}  // namespace sio::platform
