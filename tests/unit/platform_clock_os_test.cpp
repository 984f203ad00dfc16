// The time sources and the host facts.
#include "platform/clock.h"
#include "platform/os_info.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// ------------------------------------------------------------------ clock

TEST(PlatformPerformanceCounter, HasAFrequency) {
  uint64_t frequency = 0;
  ASSERT_TRUE(sio::platform::QueryPerformanceFrequency(frequency));
  // At least a count per microsecond, or the millisecond clock built on it
  // would be coarse.
  EXPECT_GE(frequency, 1000000u);
}

TEST(PlatformPerformanceCounter, NeverRunsBackwards) {
  uint64_t previous = sio::platform::QueryPerformanceCounter();
  for (int i = 0; i < 200000; ++i) {
    const uint64_t now = sio::platform::QueryPerformanceCounter();
    ASSERT_GE(now, previous) << "read " << i;
    previous = now;
  }
}

TEST(PlatformPerformanceCounter, CountsAtItsFrequency) {
  uint64_t frequency = 0;
  ASSERT_TRUE(sio::platform::QueryPerformanceFrequency(frequency));
  const auto wallStart = Clock::now();
  const uint64_t start = sio::platform::QueryPerformanceCounter();
  sio::platform::SleepMs(300);
  const uint64_t end = sio::platform::QueryPerformanceCounter();
  const auto wallEnd = Clock::now();

  const double counted = static_cast<double>(end - start) / static_cast<double>(frequency);
  const double wall = SecondsBetween(wallStart, wallEnd);
  EXPECT_GE(counted, 0.300);
  // The reads sit inside the wall-clock bracket; a wrong frequency would be
  // off by a factor, far beyond this slack.
  EXPECT_LE(counted, wall + 0.005);
  EXPECT_GE(counted, wall * 0.9 - 0.020);
}

TEST(PlatformMultimediaTimer, AdvancesInMilliseconds) {
  const auto wallStart = Clock::now();
  const uint32_t start = sio::platform::TimeGetTimeMs();
  sio::platform::SleepMs(250);
  const uint32_t end = sio::platform::TimeGetTimeMs();
  const auto wallEnd = Clock::now();
  // Unsigned difference: right across the 2^32 wrap as well.
  const uint32_t counted = end - start;
  // The multimedia timer may step in units of up to a scheduler tick
  // (16 ms); it cannot show less than the sleep minus one step.
  EXPECT_GE(counted, 250u - 16u);
  EXPECT_LE(counted, static_cast<uint32_t>(SecondsBetween(wallStart, wallEnd) * 1000.0) + 16u);
}

TEST(PlatformMultimediaTimer, FollowsThePerformanceCounter) {
  uint64_t frequency = 0;
  ASSERT_TRUE(sio::platform::QueryPerformanceFrequency(frequency));
  const uint64_t counterStart = sio::platform::QueryPerformanceCounter();
  const uint32_t msStart = sio::platform::TimeGetTimeMs();
  sio::platform::SleepMs(200);
  const uint32_t msEnd = sio::platform::TimeGetTimeMs();
  const uint64_t counterEnd = sio::platform::QueryPerformanceCounter();
  const double counterMs =
      static_cast<double>(counterEnd - counterStart) * 1000.0 / static_cast<double>(frequency);
  EXPECT_NEAR(static_cast<double>(msEnd - msStart), counterMs, 40.0);
}

// ----------------------------------------------------------- error texts

TEST(PlatformSystemErrorText, KnowsTheCommonNumbers) {
  // 2 is "file not found" on both kinds of host.
  const std::string text = sio::platform::SystemErrorText(2);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(Lower(text).find("file"), std::string::npos) << text;
  EXPECT_LE(text.size(), 255u);
  EXPECT_FALSE(sio::platform::SystemErrorText(5).empty());
  EXPECT_FALSE(sio::platform::SystemErrorText(32).empty());
}

TEST(PlatformSystemErrorText, IsEmptyForNumbersTheSystemDoesNotKnow) {
  EXPECT_EQ(sio::platform::SystemErrorText(987654321u), "");
  EXPECT_EQ(sio::platform::SystemErrorText(0x7FFFFFFFu), "");
  EXPECT_EQ(sio::platform::SystemErrorText(0xFFFFFFFFu), "");
  EXPECT_EQ(sio::platform::SystemErrorText(65000u), "");
#ifndef _WIN32
  // Elsewhere, nor for Windows numbers the layer never reports, whatever
  // errno they would be (1 is EPERM, 24 EMFILE).
  EXPECT_EQ(sio::platform::SystemErrorText(1), "");
  EXPECT_EQ(sio::platform::SystemErrorText(24), "");
#endif
}

TEST(PlatformLastSystemError, ReportsTheFailureOfTheLastCall) {
  std::FILE* file = std::fopen("/no/such/directory/kelvane-missing.txt", "rb");
  ASSERT_EQ(file, nullptr);
  const uint32_t error = sio::platform::LastSystemError();
  // "path not found" (3) on Windows, ENOENT (2) on POSIX.
  EXPECT_TRUE(error == 2 || error == 3) << error;
  EXPECT_FALSE(sio::platform::SystemErrorText(error).empty());
}

// ------------------------------------------------------- version records

TEST(PlatformDescribeVersionRecord, NamesEachFamilyAsItsRecordSays) {
  const struct {
    uint32_t platformId, major, minor, build;
    const char* servicePack;
    const char* text;
  } rows[] = {
      // NT: the version's name where it has one, then the service pack.
      {2, 5, 1, 2600, "Service Pack 3", "Windows XP 5.1 Service Pack 3"},
      {2, 6, 2, 9200, "", "WinNT 6.2 "},
      {2, 10, 0, 19045, "", "WinNT 10.0 "},
      {2, 3, 51, 1057, "Service Pack 5", "Windows NT 3.5 3.51 Service Pack 5"},
      {2, 4, 0, 1381, "Service Pack 6", "Windows NT 4 4.0 Service Pack 6"},
      {2, 5, 0, 2195, "Service Pack 4", "Windows 2000 5.0 Service Pack 4"},
      {2, 5, 2, 3790, "Service Pack 2", "5.2 Service Pack 2"},
      // 9x: no service-pack text; its second character marks the release.
      {1, 4, 0, 950, " B ", "Win32 on Windows 95 OSR 2 4.0 "},
      {1, 4, 0, 950, " C ", "Win32 on Windows 95 OSR 1 4.0 "},
      {1, 4, 10, 2222, " A ", "Win32 on Windows 98 OSR 2 4.10 "},
      {1, 4, 10, 1998, " ", "Win32 on Windows 98 OSR 1 4.10 "},
      {1, 4, 90, 73010104, "", "Win32 on Windows ME 4.90 "},
      {1, 4, 90, 3000, "", "4.90 "},
      {1, 4, 3, 0, " X ", "Win32 on Windows 9x4.3 "},
      // A marker elsewhere, or a text too short to hold one: no marker, and
      // no reading past the end of the text.
      {1, 4, 0, 0, "B", "Win32 on Windows 95 OSR 1 4.0 "},
      {1, 4, 0, 0, "", "Win32 on Windows 95 OSR 1 4.0 "},
      {1, 4, 0, 0, "xB", "Win32 on Windows 95 OSR 2 4.0 "},
      {1, 4, 10, 0, "  A", "Win32 on Windows 98 OSR 1 4.10 "},
      {1, 4, 10, 0, " a ", "Win32 on Windows 98 OSR 1 4.10 "},
      // Win32s and platforms without a name.
      {0, 3, 11, 0, "1.30", "Win32s on Windows 3.11 1.30"},
      {3, 5, 0, 0, "ignored", "Unknown5.0 "},
  };
  for (const auto& row : rows) {
    sio::platform::OsVersionRecord record;
    record.platformId = row.platformId;
    record.major = row.major;
    record.minor = row.minor;
    record.build = row.build;
    record.servicePack = row.servicePack;
    EXPECT_EQ(sio::platform::DescribeVersionRecord(record), row.text)
        << row.platformId << " " << row.major << "." << row.minor << " build " << row.build << " \""
        << row.servicePack << "\"";
  }
}

// ------------------------------------------------------------- the host

TEST(PlatformDescribeOperatingSystem, NamesTheHostWithItsVersion) {
  const std::string text = sio::platform::DescribeOperatingSystem();
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.rfind("Unknown", 0), 0u) << text;
  // base text, then major "." minor and a blank
  EXPECT_TRUE(std::regex_search(text, std::regex("[0-9]+\\.[0-9]+ "))) << text;
}

TEST(PlatformCompilerDescription, NamesTheToolchainAndItsVersion) {
  const std::string text = sio::platform::CompilerDescription();
  EXPECT_NE(text, "Unknown");
  EXPECT_TRUE(std::regex_search(text, std::regex("^[A-Za-z][A-Za-z0-9 +-]* [0-9]+(\\.[0-9]+)*$")))
      << text;
}

}  // namespace
