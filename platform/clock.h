// Raw time sources. Windows: QueryPerformanceCounter/Frequency and the
// system's millisecond count (GetTickCount64, the count timeGetTime gives).
// Linux: CLOCK_MONOTONIC presented as a counter of fixed frequency, and a
// millisecond count of the same clock for the fallback.
#pragma once

#include <cstdint>

namespace sio::platform {

// Counts per second of the performance counter. Returns false when the host
// has none (the caller then falls back to TimeGetTimeMs); the value written is
// whatever the system reported.
bool QueryPerformanceFrequency(uint64_t& frequency);
uint64_t QueryPerformanceCounter();
// Milliseconds since the system started, wrapping at 2^32, as the
// multimedia timer (timeGetTime) counts them; it steps in units of up to a
// scheduler tick (16 ms).
uint32_t TimeGetTimeMs();

}  // namespace sio::platform
