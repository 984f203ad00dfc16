// Whether the user may open a device at all: the finder tells a user outside
// the device's group so, instead of calling the port busy.
#include "platform/device_access.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(DeviceAccess, DeniedOnlyWhenTheFileExistsAndTheUserLacksReadAndWrite) {
  const fs::path dir = fs::temp_directory_path() / ("sio-access-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path closed = dir / "closed";
  const fs::path open = dir / "open";
  std::ofstream(closed).put('x');
  std::ofstream(open).put('x');
  ASSERT_EQ(::chmod(closed.c_str(), 0600), 0);
  ASSERT_EQ(::chmod(open.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  // As root every file is open to us, so the question is asked as another
  // user (nobody) in a child process; otherwise as ourselves with a file we
  // shut to ourselves.
  const bool root = ::geteuid() == 0;
  if (!root) {
    ASSERT_EQ(::chmod(closed.c_str(), 0000), 0);
  }
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    int bits = 0;
    if (sio::platform::DeviceAccessDenied(closed.string())) bits |= 1;
    if (sio::platform::DeviceAccessDenied(open.string())) bits |= 2;
    if (sio::platform::DeviceAccessDenied((dir / "missing").string())) bits |= 4;
    if (sio::platform::DeviceAccessDenied("")) bits |= 8;
    ::_exit(bits);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 10) << "could not become another user";
  EXPECT_EQ(WEXITSTATUS(status), 1) << "closed denied, open, missing and empty not";
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
