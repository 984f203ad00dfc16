// Output files through open/write/close; errno is translated to the Windows
// error number a Windows program would see in the same situation.
#include "platform/file_output.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kTooManyOpenFiles = 4;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kWriteFault = 29;
constexpr uint32_t kGenFailure = 31;
constexpr uint32_t kSharingViolation = 32;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kDiskFull = 112;
constexpr uint32_t kInvalidName = 123;
constexpr uint32_t kFilenameTooLong = 206;
constexpr uint32_t kIoDevice = 1117;

bool DirectoryOfExists(const char* name) {
  const std::string path(name);
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return true;  // the current directory
  const std::string directory = slash == 0 ? std::string("/") : path.substr(0, slash);
  struct stat info {};
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

uint32_t OpenError(int error, const char* name) {
  switch (error) {
    case ENOENT:
      // Windows tells a missing file from a missing directory on the way.
      return DirectoryOfExists(name) ? kFileNotFound : kPathNotFound;
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kAccessDenied;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case ENAMETOOLONG:
      return kFilenameTooLong;
    case ETXTBSY:
    case EBUSY:
      return kSharingViolation;
    case EINVAL:
      return kInvalidParameter;
    case ELOOP:
      return kInvalidName;
    case EIO:
      return kIoDevice;
    default:
      return kGenFailure;
  }
}

uint32_t WriteError(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
      return kDiskFull;
    case EBADF:
      return kInvalidHandle;
    case EINVAL:
      return kInvalidParameter;
    default:
      return kWriteFault;
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
  const int fd = ::open(name, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return OpenError(errno, name);
  handle_ = fd;
  return 0;
}

uint32_t OutputFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return kInvalidHandle;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(Descriptor(handle_), next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return WriteError(errno);
    }
    if (written == 0) return kWriteFault;
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

uint32_t OutputFile::Close() {
  if (!IsOpen()) return kInvalidHandle;
  const int fd = Descriptor(handle_);
  handle_ = kNoHandle;
  // Linux releases the descriptor even when close is interrupted; retrying
  // could close a descriptor another thread has just been given.
  if (::close(fd) != 0 && errno != EINTR) return WriteError(errno);
  return 0;
}

}  // namespace platform
