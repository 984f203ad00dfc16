// The GUI tests run in one QApplication on Qt's offscreen platform, with the
// window program's own set-up: this thread the user-interface thread, the Qt
// event source in our message loop, the Qt services in platform/ui.
#include <QApplication>

#include <gtest/gtest.h>

#include "finder/qt_event_source_qt.h"
#include "finder/qt_ui_services_qt.h"
#include "platform/message_loop.h"
#include "platform/ui.h"

// Under the thread sanitizer: Qt is not built with it, and its own locks
// (futexes) are invisible to it, so the copies and frees that Qt's own worker
// threads (Qt 6 runs parts of its image work on a thread pool) make through
// the C library look like races. What Qt calls there is left out; our code is
// still watched wherever it runs.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\n";
}

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  QApplication app(argc, argv);
  // The tests close windows without ending the program.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  sio::platform::InitUserInterfaceThread();
  finder::TQtEventSource source;
  if (!source.Valid()) return 1;
  sio::platform::SetEventSource(&source);
  finder::TQtUiServices services;
  sio::platform::SetUiServices(&services);
  const int status = RUN_ALL_TESTS();
  sio::platform::SetUiServices(nullptr);
  sio::platform::DoneUserInterfaceThread();
  sio::platform::SetEventSource(nullptr);
  return status;
}
