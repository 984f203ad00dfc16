// kelvane-finder on Linux: the finder's window in Qt 6 Widgets. Our message
// queue runs inside Qt's loop (and Qt's inside our waits), message boxes and
// the "Select Port" dialog are Qt's, installed for the serial layer.
#include <QApplication>
#include <QMetaObject>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "finder/qt_event_source_qt.h"
#include "finder/qt_main_window_qt.h"
#include "finder/qt_ui_services_qt.h"
#include "finder/version.h"
#include "finder/view.h"
#include "platform/message_loop.h"
#include "platform/ui.h"
#include "serial/dispatch/dispatcher.h"

// The program's version record, read back by ReadFileVersion like a version
// resource. Kept even though nothing refers to it.
[[gnu::used]] static const char kVersionRecord[] =
    "VS_VERSION_INFO:\\StringFileInfo\\040904E4:FileVersion=" KELVANE_FILE_VERSION;

namespace {

// A port's thread that failed (a device error, an unplugged adapter) is
// reported in a box, shown on the user-interface thread without holding the
// failed thread.
void ReportThreadFailure(std::exception_ptr error) {
  std::string text = finder::ErrorText(error);
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  QMetaObject::invokeMethod(
      app,
      [text] {
        finder::RunMessageBox(QApplication::activeWindow(), QString::fromStdString(text),
                              QString::fromLatin1(finder::kBoxCaption), finder::TBoxKind::Error);
      },
      Qt::QueuedConnection);
}

}  // namespace

int main(int argc, char** argv) {
  // --version: the caption the window would show, on standard output.
  bool versionOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) versionOnly = true;
  }
  // The window is laid out in pixels, as designed.
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING"))
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  QApplication app(argc, argv);
  if (!platform::InitUserInterfaceThread()) {
    std::fprintf(stderr, "kelvane-finder: cannot set up the user-interface thread\n");
    return 1;
  }
  finder::TQtEventSource source;
  if (!source.Valid()) {
    std::fprintf(stderr, "kelvane-finder: cannot set up the event loop\n");
    return 1;
  }
  platform::SetEventSource(&source);
  finder::TQtUiServices services;
  platform::SetUiServices(&services);
  sio::SetThreadExceptionReporter(&ReportThreadFailure);

  int status = 0;
  {
    finder::TQtMainWindow window;
    if (versionOnly) {
      std::printf("%s\n", window.windowTitle().toUtf8().constData());
    } else {
      source.SetErrorHandler([&window](const std::string& message) { window.ShowError(message); });
      window.show();
      status = QApplication::exec();
      source.SetErrorHandler(nullptr);
    }
  }
  sio::SetThreadExceptionReporter(nullptr);
  platform::SetUiServices(nullptr);
  platform::DoneUserInterfaceThread();
  platform::SetEventSource(nullptr);
  return status;
}
