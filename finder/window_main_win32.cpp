// kelvane-finder.exe: the finder's window. Runs until the window is closed;
// a search still running then is cut short and runs out first.
//   kelvane-finder.exe [--search]
// --search presses Start as soon as the window shows (demos, screenshots).
#include <windows.h>

#include <cstring>
#include <string>

#include "finder/main_window_win32.h"
#include "platform/dll_search.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int cmdShow) {
  sio::platform::RestrictDllSearchToSystem();
  const bool searchAtOnce =
      commandLine != nullptr && std::strstr(commandLine, "--search") != nullptr;
  sio::platform::InitUserInterfaceThread();
  sio::SetThreadExceptionReporter(&finder::TMainWindow::ReportThreadException);
  int status = 0;
  {
    finder::TMainWindow window;
    std::string whyNot;
    if (!window.Create(whyNot)) {
      MessageBoxA(nullptr, whyNot.c_str(), finder::kBoxCaption, MB_OK | MB_ICONERROR);
      return 1;
    }
    window.Show(cmdShow);
    if (searchAtOnce) PostMessageA(window.StartButtonHandle(), BM_CLICK, 0, 0);
    status = finder::RunWindowLoop(window.Handle());
  }
  sio::SetThreadExceptionReporter(nullptr);
  sio::platform::DoneUserInterfaceThread();
  return status;
}
