// Raw time sources. Windows: QueryPerformanceCounter/Frequency and timeGetTime.
// Linux: CLOCK_MONOTONIC presented as a counter of fixed frequency, and a
// millisecond count of the same clock for the fallback.
#pragma once

#include <cstdint>

namespace platform {

// Counts per second of the performance counter. Returns false when the host
// has none (the caller then falls back to TimeGetTimeMs); the value written is
// whatever the system reported.
bool QueryPerformanceFrequency(uint64_t& frequency);
uint64_t QueryPerformanceCounter();
// The multimedia timer's millisecond count, wrapping at 2^32.
uint32_t TimeGetTimeMs();

}  // namespace platform
