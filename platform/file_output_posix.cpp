// Output files through open/write/close; errno is translated to the Windows
// error number a Windows program would see in the same situation.
#include "platform/file_output.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/error_numbers.h"

namespace sio::platform {

namespace {

bool DirectoryOfExists(const char* name) {
  const std::string path(name);
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;  // the current directory
  const std::string directory = slash == 0 ? std::string("/") : path.substr(0, slash);
  struct stat info {};
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Windows tells a missing file from a missing directory on the way.
uint32_t OpenError(int error, const char* name) {
  if (error == ENOENT && !DirectoryOfExists(name)) return errPathNotFound;
  return WindowsErrorFromErrno(error);
}

// A write fails as a write fault unless the cause has a number of its own.
uint32_t WriteError(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EBADF:
    case EINVAL:
      return WindowsErrorFromErrno(error);
    default:
      return errWriteFault;
  }
}

int Descriptor(intptr_t handle) {
  return static_cast<int>(handle);
}

}  // namespace

OutputFile::~OutputFile() {
  Close();
}

uint32_t OutputFile::Create(const char* name) {
  Close();
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return OpenError(errno, name);
  handle_ = fd;
  return 0;
}

uint32_t OutputFile::OpenForAppend(const char* name) {
  Close();
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return OpenError(errno, name);
  handle_ = fd;
  return 0;
}

uint32_t OutputFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return errInvalidHandle;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(Descriptor(handle_), next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return WriteError(errno);
    }
    if (written == 0) return errWriteFault;
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

uint32_t OutputFile::Close() {
  if (!IsOpen()) return errInvalidHandle;
  const int fd = Descriptor(handle_);
  handle_ = kNoHandle;
  // Linux releases the descriptor even when close is interrupted; retrying
  // could close a descriptor another thread has just been given.
  if (::close(fd) != 0 && errno != EINTR) return WriteError(errno);
  return 0;
}

}  // namespace sio::platform
