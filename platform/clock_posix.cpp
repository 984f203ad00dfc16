// The monotonic clock in the shape of the Windows time sources: a counter of
// 100-ns units (fixed frequency) and a wrapping millisecond count.
#include "platform/clock.h"

#include <ctime>

namespace sio::platform {

namespace {

constexpr uint64_t kCountsPerSecond = 10000000;  // 100 ns per count

timespec Monotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

}  // namespace

bool QueryPerformanceFrequency(uint64_t& frequency) {
  frequency = kCountsPerSecond;
  return true;
}

uint64_t QueryPerformanceCounter() {
  const timespec now = Monotonic();
  return static_cast<uint64_t>(now.tv_sec) * kCountsPerSecond +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}

uint32_t TimeGetTimeMs() {
  const timespec now = Monotonic();
  const uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

}  // namespace sio::platform
