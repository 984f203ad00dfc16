// What the test process itself holds: open descriptors, threads, resident
// memory, read from /proc/self. POSIX (Linux) only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace sio_test {

struct ProcessUsage {
  int fds = 0;
  int threads = 0;
  uint64_t residentKiB = 0;
};

ProcessUsage CurrentProcessUsage();

// Threads free themselves when they end and a closed port's descriptors go
// with its threads, so a count may drop a moment after the close returns:
// polls until fds and threads are back to at most `baseline`, or `limit`
// passes; returns the last reading.
ProcessUsage SettledProcessUsage(const ProcessUsage& baseline, std::chrono::milliseconds limit);

// The names of the descriptors open now, one per line ("7 -> /dev/pts/3"),
// for a failure message.
std::string OpenDescriptors();

}  // namespace sio_test
