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
    EXPECT_EQ(sio::platform::WindowsErrorFromErrno(r.error), r.file);
    EXPECT_EQ(sio::platform::CommErrorFromErrno(r.error), r.device);
    EXPECT_EQ(sio::platform::ErrnoMeansDeviceGone(r.error), r.gone);
    // Whatever the number, it has a text that says what it is.
    EXPECT_FALSE(sio::platform::SystemErrorText(r.file).empty()) << r.file;
    EXPECT_FALSE(sio::platform::SystemErrorText(r.device).empty()) << r.device;
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
    EXPECT_EQ(sio::platform::LastSystemError(), r.expected);
  }
  // A would-be errno of 24 (EMFILE) is "too many open files" (4) here.
  errno = EMFILE;
  EXPECT_EQ(sio::platform::LastSystemError(), 4u);
  errno = 0;
  EXPECT_EQ(sio::platform::LastSystemError(), 0u);
}

}  // namespace
