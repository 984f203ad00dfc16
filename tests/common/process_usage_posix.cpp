#include "tests/common/process_usage.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

namespace sio_test {

namespace {

namespace fs = std::filesystem;

int Entries(const char* directory) {
  std::error_code error;
  int count = 0;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

uint64_t ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      uint64_t kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

}  // namespace

ProcessUsage CurrentProcessUsage() {
  ProcessUsage usage;
  // The iterator's own descriptor is counted as well; it is there in every
  // reading, so comparisons are not affected.
  usage.fds = Entries("/proc/self/fd");
  usage.threads = Entries("/proc/self/task");
  usage.residentKiB = ResidentKiB();
  return usage;
}

ProcessUsage SettledProcessUsage(const ProcessUsage& baseline, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const ProcessUsage now = CurrentProcessUsage();
    if ((now.fds <= baseline.fds && now.threads <= baseline.threads) ||
        std::chrono::steady_clock::now() >= deadline) {
      return now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string OpenDescriptors() {
  std::string text;
  std::error_code error;
  for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code ignored;
    text += it->path().filename().string() + " -> " +
            fs::read_symlink(it->path(), ignored).string() + "\n";
  }
  return text;
}

}  // namespace sio_test
