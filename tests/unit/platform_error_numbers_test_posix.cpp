// errno onto Windows error numbers, and the texts of those numbers, as a
// Windows program would see them: each row says what the failure is and
// which number (and text) a user of the layer gets for it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/error_numbers.h"
#include "platform/os_info.h"

namespace {

TEST(PlatformErrnoTable, EveryDriverErrnoHasItsWindowsTwin) {
  const struct {
    const char* what;
    int error;
    uint32_t file;    // a file's open or write
    uint32_t device;  // a serial device's open, or a call on it
    bool gone;        // after the open: the device has gone
  } rows[] = {
      {"no such file", ENOENT, 2, 2, false},
      {"a file on the way is not a directory", ENOTDIR, 3, 3, false},
      {"symbolic link loop", ELOOP, 1921, 3, false},
      {"name too long", ENAMETOOLONG, 206, 3, false},
      {"a directory", EISDIR, 5, 2, false},
      {"node without a device", ENXIO, 20, 2, true},
      {"node without a driver", ENODEV, 20, 2, true},
      {"no medium", ENOMEDIUM, 21, 21, false},
      {"permission", EACCES, 5, 5, false},
      {"not permitted", EPERM, 5, 5, false},
      {"read-only file system", EROFS, 19, 5, false},
      {"exclusive port held", EBUSY, 32, 5, false},
      {"text file busy", ETXTBSY, 32, 5, false},
      {"try again", EAGAIN, 32, 5, false},
      {"too many open files", EMFILE, 4, 4, false},
      {"file table full", ENFILE, 4, 4, false},
      {"no memory", ENOMEM, 8, 8, false},
      {"no buffer space", ENOBUFS, 1450, 1450, false},
      {"out of streams resources", ENOSR, 1450, 1450, false},
      {"no space", ENOSPC, 112, 1450, false},
      {"quota", EDQUOT, 112, 112, false},
      {"file too large", EFBIG, 223, 223, false},
      {"bad descriptor", EBADF, 6, 6, false},
      {"descriptor in bad state", EBADFD, 6, 6, false},
      {"invalid argument", EINVAL, 87, 87, false},
      {"bad address", EFAULT, 998, 998, false},
      {"interrupted", EINTR, 995, 995, false},
      {"to be restarted", ERESTART, 995, 995, false},
      {"not a terminal", ENOTTY, 50, 50, false},
      {"no such call", ENOSYS, 50, 50, false},
      {"not supported", EOPNOTSUPP, 50, 50, false},
      {"overflow", EOVERFLOW, 223, 23, false},
      {"illegal byte sequence", EILSEQ, 1113, 23, false},
      {"I/O error", EIO, 1117, 1167, true},
      {"broken pipe", EPIPE, 109, 1167, true},
      {"endpoint shut down", ESHUTDOWN, 1167, 1167, true},
      {"protocol error", EPROTO, 1117, 1167, true},
      {"Bluetooth: connection timed out", ETIMEDOUT, 121, 121, false},
      {"Bluetooth: device unreachable (rfcomm bound, device off)", EHOSTUNREACH, 53, 121, false},
      {"Bluetooth: page timeout", EHOSTDOWN, 53, 121, false},
      {"network unreachable", ENETUNREACH, 53, 121, false},
      {"network down", ENETDOWN, 53, 121, false},
      {"Bluetooth: refused", ECONNREFUSED, 53, 121, false},
      {"Bluetooth: remote ended the link", ECONNRESET, 64, 121, true},
      {"Bluetooth: local end ended the link", ECONNABORTED, 64, 121, true},
      {"Bluetooth: not connected", ENOTCONN, 64, 121, true},
      {"Bluetooth: too many links", EMLINK, 121, 121, false},
      {"Bluetooth: link already being made", EALREADY, 121, 121, false},
      {"Bluetooth: link in progress", EINPROGRESS, 121, 121, false},
      {"link severed", ENOLINK, 121, 121, false},
      {"communication error on send", ECOMM, 121, 121, false},
      {"anything else", EXDEV, 31, 31, false},
      {"no error number at all", 0, 31, 31, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(platform::WindowsErrorFromErrno(r.error), r.file);
    EXPECT_EQ(platform::CommErrorFromErrno(r.error), r.device);
    EXPECT_EQ(platform::ErrnoMeansDeviceGone(r.error), r.gone);
    // Whatever the number, it has a text that says what it is.
    EXPECT_FALSE(platform::SystemErrorText(r.file).empty()) << r.file;
    EXPECT_FALSE(platform::SystemErrorText(r.device).empty()) << r.device;
  }
}

TEST(PlatformSystemErrorText, GivesWindowsOwnTextsForWindowsNumbers) {
  const struct {
    uint32_t number;
    const char* text;  // as FormatMessage gives it, "" for none
  } rows[] = {
      {2, "The system cannot find the file specified.\r\n"},
      {3, "The system cannot find the path specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {31, "A device attached to the system is not functioning.\r\n"},
      {32, "The process cannot access the file because it is being used by another process.\r\n"},
      {50, "The request is not supported.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {109, "The pipe has been ended.\r\n"},
      {112, "There is not enough space on the disk.\r\n"},
      {121, "The semaphore timeout period has expired.\r\n"},
      {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
      {995,
       "The I/O operation has been aborted because of either a thread exit or an application "
       "request.\r\n"},
      {1117, "The request could not be performed because of an I/O device error.\r\n"},
      {1167, "The device is not connected.\r\n"},
      {1460, "This operation returned because the timeout period expired.\r\n"},
      {1921, "The name of the file cannot be resolved by the system.\r\n"},
      // Numbers the layer never reports have no text, whatever errno they
      // would be: 1 is EPERM, 24 EMFILE.
      {1, ""},
      {24, ""},
      {0, ""},
      {65000, ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.number);
    EXPECT_EQ(platform::SystemErrorText(r.number), r.text);
  }
}

TEST(PlatformLastSystemError, IsAWindowsNumberNotAnErrno) {
  const struct {
    const char* path;
    uint32_t expected;
  } rows[] = {
      {"/no/such/directory/kelvane-missing.txt", 2},
      {"/proc/self/status/beneath-a-file", 3},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    std::FILE* file = std::fopen(r.path, "rb");
    ASSERT_EQ(file, nullptr);
    EXPECT_EQ(platform::LastSystemError(), r.expected);
  }
  // A would-be errno of 24 (EMFILE) is "too many open files" (4) here.
  errno = EMFILE;
  EXPECT_EQ(platform::LastSystemError(), 4u);
  errno = 0;
  EXPECT_EQ(platform::LastSystemError(), 0u);
}

}  // namespace
