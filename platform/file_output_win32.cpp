// Output files through CreateFileA/WriteFile/CloseHandle; the error numbers
// are the system's own.
#include "platform/file_output.h"

#include <windows.h>

#include "platform/error_numbers.h"

namespace sio::platform {

namespace {

HANDLE AsHandle(intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

OutputFile::~OutputFile() {
  Close();
}

uint32_t OutputFile::Create(const char* name) {
  Close();
  const HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  handle_ = reinterpret_cast<intptr_t>(file);
  return 0;
}

uint32_t OutputFile::OpenForAppend(const char* name) {
  Close();
  const HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  LARGE_INTEGER distance{};
  if (!SetFilePointerEx(file, distance, nullptr, FILE_END)) {
    const uint32_t error = GetLastError();
    CloseHandle(file);
    return error;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return 0;
}

uint32_t OutputFile::Write(const void* data, std::size_t size) {
  if (!IsOpen()) return errInvalidHandle;
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(AsHandle(handle_), next, chunk, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    next += written;
    size -= written;
  }
  return 0;
}

uint32_t OutputFile::Close() {
  if (!IsOpen()) return errInvalidHandle;
  const HANDLE file = AsHandle(handle_);
  handle_ = kNoHandle;
  if (!CloseHandle(file)) return GetLastError();
  return 0;
}

}  // namespace sio::platform
