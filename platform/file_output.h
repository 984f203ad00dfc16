// A file written from start to end: created (or truncated), or opened to
// append. Failures are the Windows error numbers (2 file not found, 3 path
// not found, 5 access denied, ...) on every host, so that a negated number
// means the same to every caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sio::platform {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // closes, ignoring a close error
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file, or truncates an existing one. 0 or the error number.
  uint32_t Create(const char* name);
  // Opens the file, or creates it when it does not exist, and positions at
  // its end: one call, so that nothing can tell "exists" differently from
  // the open itself. 0 or the error number.
  uint32_t OpenForAppend(const char* name);
  // Writes all size bytes. 0 or the error number.
  uint32_t Write(const void* data, std::size_t size);
  // 0 or the error number; closing a file that is not open gives 6
  // (invalid handle).
  uint32_t Close();
  bool IsOpen() const { return handle_ != kNoHandle; }

 private:
  static constexpr intptr_t kNoHandle = -1;
  intptr_t handle_ = kNoHandle;  // HANDLE on Windows, descriptor elsewhere
};

}  // namespace sio::platform
