// The performance counter and the system's millisecond count.
#include "platform/clock.h"

#include <windows.h>

namespace sio::platform {

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
  // timeGetTime's count without importing winmm.dll, which is not one of
  // the system's known DLLs and so would be looked for beside the program
  // first. Both count from the system's start.
  return static_cast<uint32_t>(::GetTickCount64());
}

}  // namespace sio::platform
