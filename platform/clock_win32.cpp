// The performance counter and the multimedia timer.
#include "platform/clock.h"

#include <windows.h>
#include <mmsystem.h>

namespace platform {

bool QueryPerformanceFrequency(uint64_t& frequency) {
  LARGE_INTEGER value;
  value.QuadPart = 0;
  const BOOL ok = ::QueryPerformanceFrequency(&value);
  frequency = static_cast<uint64_t>(value.QuadPart);
  return ok != FALSE;
}

uint64_t QueryPerformanceCounter() {
  LARGE_INTEGER value;
  value.QuadPart = 0;
  ::QueryPerformanceCounter(&value);
  return static_cast<uint64_t>(value.QuadPart);
}

uint32_t TimeGetTimeMs() {
  return static_cast<uint32_t>(::timeGetTime());
}

}  // namespace platform
