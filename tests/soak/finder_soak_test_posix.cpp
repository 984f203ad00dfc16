// Forty whole searches in a row in one process over one simulated scan tool,
// the waits real: every search gives the same log, and the process ends up
// holding what it held after the first one (descriptors and threads exactly,
// resident memory within a little slack).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "finder/main_form.h"
#include "platform/message_loop.h"
#include "tests/common/collecting_view.h"
#include "tests/common/process_usage.h"
#include "tools/elm327-sim/elm327_sim.h"

namespace {

using namespace std::chrono_literals;

// Memory the first search has not settled yet (allocator arenas growing to
// their working size, lazily made tables) may still come; a leak of one
// port's buffers per search would pass this within a few searches.
constexpr uint64_t kResidentSlackKiB = 4096;
// The sanitizers keep freed memory aside and grow their own records as the
// run goes on: there the resident size says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeMeaningful = false;
#else
constexpr bool kResidentSizeMeaningful = true;
#endif
constexpr int kSearches = 40;

TEST(FinderSoak, FortySearchesLeaveNoDescriptorThreadOrMemoryBehind) {
  sio::platform::InitUserInterfaceThread();
  elmsim::Options options;
  options.scanTool = true;
  options.baud = 38400;
  elmsim::Simulator tool(options);
  std::string error;
  ASSERT_TRUE(tool.Start(error)) << error;
  const char* previous = std::getenv("SIO_PORTS");
  const std::string kept = previous == nullptr ? "" : previous;
  ::setenv("SIO_PORTS", ("5=" + tool.SlavePath()).c_str(), 1);

  const sio_test::ProcessUsage start = sio_test::CurrentProcessUsage();
  {
    finder_test::CollectingView view;
    finder::TfrmMain form(view);
    sio_test::ProcessUsage first;
    std::string firstLog;
    uint64_t peakKiB = 0;
    for (int i = 0; i < kSearches; ++i) {
      ASSERT_TRUE(form.StartClicked()) << "search " << i;
      const std::string& log = form.StatusLog().Text();
      if (i == 0) {
        firstLog = log;
        EXPECT_NE(log.find("  Looking on COM5...found scan tool! \r"), std::string::npos) << log;
        first = sio_test::SettledProcessUsage(start, 2000ms);
      } else {
        // The device has heard commands by now and answers the bare "\r"
        // with the last one; its answers still carry the banner.
        EXPECT_EQ(log, firstLog) << "search " << i;
      }
      const sio_test::ProcessUsage now = sio_test::CurrentProcessUsage();
      peakKiB = std::max(peakKiB, now.residentKiB);
      EXPECT_FALSE(form.SioComPort()->GetOpen());
    }
    EXPECT_TRUE(view.boxes.empty()) << view.boxes.front();
    EXPECT_TRUE(view.errors.empty()) << view.errors.front();

    const sio_test::ProcessUsage last = sio_test::SettledProcessUsage(first, 3000ms);
    std::printf(
        "soak: %d searches; fds %d/%d/%d, threads %d/%d/%d (start/first/last); "
        "resident %llu KiB after the first, %llu KiB after the last, peak %llu KiB\n",
        kSearches, start.fds, first.fds, last.fds, start.threads, first.threads, last.threads,
        static_cast<unsigned long long>(first.residentKiB),
        static_cast<unsigned long long>(last.residentKiB),
        static_cast<unsigned long long>(peakKiB));
    EXPECT_LE(last.fds, first.fds) << sio_test::OpenDescriptors();
    EXPECT_LE(last.threads, first.threads);
    if (kResidentSizeMeaningful) {
      EXPECT_LE(last.residentKiB, first.residentKiB + kResidentSlackKiB)
          << "after the first search " << first.residentKiB << " KiB, peak " << peakKiB << " KiB";
    }
    // Closed between searches, the port holds nothing: the first search
    // already ended where the process started.
    EXPECT_LE(first.fds, start.fds) << sio_test::OpenDescriptors();
    EXPECT_LE(first.threads, start.threads);
  }
  const sio_test::ProcessUsage end = sio_test::SettledProcessUsage(start, 3000ms);
  EXPECT_LE(end.fds, start.fds) << sio_test::OpenDescriptors();
  EXPECT_LE(end.threads, start.threads);
  tool.Stop();
  if (previous == nullptr) {
    ::unsetenv("SIO_PORTS");
  } else {
    ::setenv("SIO_PORTS", kept.c_str(), 1);
  }
}

}  // namespace
