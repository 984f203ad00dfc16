// The system's folder as the only place DLLs come from.
#include "platform/dll_search.h"

#include "platform/dll_search_win32.h"

#include <string>

namespace sio::platform {

void RestrictDllSearchToSystem() {
  // Looked up rather than imported: the program still starts on a Windows 7
  // without the loader update, where the flag below is unknown too.
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return;
  FARPROC proc = ::GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (proc == nullptr) return;
  // Through the generic function type, which converts to any other without
  // a cast-function-type warning.
  auto setDefault =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(proc));
  setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE LoadSystemDll(const wchar_t* fileName) {
  if (HMODULE module = ::LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    return module;
  // A system without the flag refuses it as an invalid parameter: the full
  // path of the system's copy then says the same.
  if (::GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  wchar_t folder[MAX_PATH];
  const UINT n = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return nullptr;
  std::wstring path(folder, n);
  path += L'\\';
  path += fileName;
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace sio::platform
