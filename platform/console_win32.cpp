// The console's control handler already runs on a thread of its own.
#include "platform/console.h"

#include <windows.h>

#include <io.h>

namespace sio::platform {

namespace {

void (*interruptHandler)() = nullptr;
// Manual reset: once the program has wound down, every later close passes.
HANDLE servedEvent = nullptr;

BOOL WINAPI ControlHandler(DWORD type) {
  return HandleConsoleControl(type) ? TRUE : FALSE;
}

}  // namespace

bool HandleConsoleControl(unsigned long type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (interruptHandler != nullptr) interruptHandler();
      return true;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this returns (or when Windows tires of
      // waiting, some five seconds on): not before its ports are closed.
      if (interruptHandler != nullptr) interruptHandler();
      if (servedEvent != nullptr) ::WaitForSingleObject(servedEvent, INFINITE);
      return true;
    default:
      return false;
  }
}

bool IsTerminal(std::FILE* stream) {
  return stream != nullptr && ::_isatty(::_fileno(stream)) != 0;
}

bool WatchInterrupts(void (*onInterrupt)()) {
  if (interruptHandler != nullptr) return false;
  servedEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (servedEvent == nullptr) return false;
  interruptHandler = onInterrupt;
  return ::SetConsoleCtrlHandler(&ControlHandler, TRUE) != 0;
}

void InterruptServed() {
  if (servedEvent != nullptr) ::SetEvent(servedEvent);
}

}  // namespace sio::platform
