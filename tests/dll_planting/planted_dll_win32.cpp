// A DLL someone put beside a program under the name of a system DLL
// (version.dll, winmm.dll, Msftedit.dll, Riched20.dll). When it is loaded it
// leaves the file "<its own path>.ran", and its version functions say that
// no file has a version: a program that took it would show no version in
// its caption. Its exports get the system's names in planted_dll.def.
#include <windows.h>

#include <cwchar>

extern "C" {

DWORD WINAPI PlantedGetFileVersionInfoSizeW(LPCWSTR, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return 0;
}

BOOL WINAPI PlantedGetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) {
  SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI PlantedVerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) {
  return FALSE;
}

DWORD WINAPI PlantedTimeGetTime() {
  return static_cast<DWORD>(GetTickCount64());
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 8];
  const DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return TRUE;
  std::wcscpy(path + n, L".ran");
  HANDLE marker =
      CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}
