// The processor time the whole process has used so far, for tests that check
// that a wait does not keep a processor busy.
#pragma once

#include <cstdint>

namespace sio_test {

// User plus system time of all threads of the process, in microseconds.
uint64_t ProcessCpuMicroseconds();

}  // namespace sio_test
