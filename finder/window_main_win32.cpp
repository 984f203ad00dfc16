// kelvane-finder.exe: the finder's window. Runs until the window is closed;
// a search still running then is cut short and runs out first.
#include <windows.h>

#include <string>

#include "finder/main_window_win32.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int cmdShow) {
  platform::InitUserInterfaceThread();
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
    status = finder::RunWindowLoop(window.Handle());
  }
  sio::SetThreadExceptionReporter(nullptr);
  platform::DoneUserInterfaceThread();
  return status;
}
