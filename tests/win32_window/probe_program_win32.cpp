// What a copied or installed program does when it is started, seen from
// outside it, for the scripts that check the shipped programs under Wine:
//   probe-program.exe caption PROGRAM [ARGUMENT...]
//     starts the window program, prints the caption of its first visible
//     top-level window, closes that window as the close box does and waits
//     for the program to end. Exit 0 when a caption was read and the program
//     then ended with 0.
//   probe-program.exe load DLL
//     loads DLL by the name given, with the system's ordinary search (this
//     program's folder first). Exit 0 when it loaded.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Found {
  DWORD processId = 0;
  HWND window = nullptr;
};

BOOL CALLBACK TakeVisibleWindowOf(HWND window, LPARAM lParam) {
  auto* found = reinterpret_cast<Found*>(lParam);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != found->processId || !IsWindowVisible(window)) return TRUE;
  found->window = window;
  return FALSE;
}

int Caption(int argc, char** argv) {
  std::string commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) commandLine += ' ';
    commandLine += '"' + std::string(argv[i]) + '"';
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(argv[0], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "probe-program: cannot start %s (error %lu)\n", argv[0], GetLastError());
    return 1;
  }
  CloseHandle(process.hThread);
  Found found;
  found.processId = process.dwProcessId;
  for (int i = 0; i < 400 && found.window == nullptr; ++i) {
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
    EnumWindows(&TakeVisibleWindowOf, reinterpret_cast<LPARAM>(&found));
  }
  int status = 1;
  if (found.window == nullptr) {
    std::fprintf(stderr, "probe-program: %s showed no window\n", argv[0]);
  } else {
    char caption[512] = {};
    GetWindowTextA(found.window, caption, sizeof caption);
    std::printf("%s\n", caption);
    std::fflush(stdout);
    PostMessageW(found.window, WM_CLOSE, 0, 0);
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
      std::fprintf(stderr, "probe-program: %s did not end when its window was closed\n", argv[0]);
    } else if (GetExitCodeProcess(process.hProcess, &exitCode) && exitCode == 0) {
      status = 0;
    } else {
      std::fprintf(stderr, "probe-program: %s ended with %lu\n", argv[0], exitCode);
    }
  }
  // Whatever happened, nothing is left running.
  if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
    TerminateProcess(process.hProcess, 99);
  CloseHandle(process.hProcess);
  return status;
}

int Load(const char* name) {
  if (LoadLibraryA(name) == nullptr) {
    std::fprintf(stderr, "probe-program: %s did not load (error %lu)\n", name, GetLastError());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "caption") == 0) return Caption(argc - 2, argv + 2);
  if (argc == 3 && std::strcmp(argv[1], "load") == 0) return Load(argv[2]);
  std::fputs("usage: probe-program.exe caption PROGRAM [ARGUMENT...] | load DLL\n", stderr);
  return 2;
}
