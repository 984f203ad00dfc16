#include <windows.h>

#include "tests/common/process_cpu.h"

namespace sio_test {

uint64_t ProcessCpuMicroseconds() {
  FILETIME creation{}, exitTime{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exitTime, &kernel, &user)) return 0;
  const auto hundredNs = [](const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  };
  return (hundredNs(kernel) + hundredNs(user)) / 10u;
}

}  // namespace sio_test
