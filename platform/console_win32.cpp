// The console's control handler already runs on a thread of its own.
#include "platform/console.h"

#include <windows.h>

#include <io.h>

namespace platform {

namespace {

void (*interruptHandler)() = nullptr;

BOOL WINAPI ControlHandler(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (interruptHandler != nullptr) interruptHandler();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  return stream != nullptr && ::_isatty(::_fileno(stream)) != 0;
}

bool WatchInterrupts(void (*onInterrupt)()) {
  if (interruptHandler != nullptr) return false;
  interruptHandler = onInterrupt;
  return ::SetConsoleCtrlHandler(&ControlHandler, TRUE) != 0;
}

}  // namespace platform
