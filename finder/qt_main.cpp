// kelvane-finder on Linux: the finder's window in Qt 6 Widgets. Our message
// queue runs inside Qt's loop (and Qt's inside our waits), message boxes and
// the "Select Port" dialog are Qt's, installed for the serial layer.
#include <QApplication>
#include <QMetaObject>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "finder/main_form.h"
#include "finder/qt_event_source_qt.h"
#include "finder/qt_main_window_qt.h"
#include "finder/qt_ui_services_qt.h"
#include "finder/view.h"
#include "platform/message_loop.h"
#include "platform/ui.h"
#include "serial/dispatch/dispatcher.h"

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

constexpr char kUsage[] = "usage: kelvane-finder [--version] [--help] [Qt options]\n";

// Qt's own options, which QApplication takes out of the arguments; whether
// each takes a value (as the next argument, or after "=").
struct TQtOption {
  const char* name;
  bool value;
};
constexpr TQtOption kQtOptions[] = {{"platform", true},        {"platformpluginpath", true},
                                    {"platformtheme", true},   {"plugin", true},
                                    {"qwindowgeometry", true}, {"qwindowicon", true},
                                    {"qwindowtitle", true},    {"session", true},
                                    {"display", true},         {"geometry", true},
                                    {"style", true},           {"stylesheet", true},
                                    {"qmljsdebugger", true},   {"reverse", false},
                                    {"widgetcount", false},    {"nograb", false},
                                    {"dograb", false},         {"sync", false}};

// Qt takes its options with one dash or two.
const TQtOption* FindQtOption(const char* arg) {
  if (arg[0] != '-') return nullptr;
  const char* name = arg + (arg[1] == '-' ? 2 : 1);
  for (const TQtOption& o : kQtOptions) {
    const size_t n = std::strlen(o.name);
    if (std::strncmp(name, o.name, n) == 0 && (name[n] == '\0' || (o.value && name[n] == '=')))
      return &o;
  }
  return nullptr;
}

// The program's own options are answered here, before QApplication exists:
// it needs a display, which --help, --version and a mistyped option do not.
// -1 lets the window start; otherwise the exit status.
int ReadArguments(int argc, char** argv, bool& versionOnly) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      std::fputs(
          "Opens the window that searches the machine's serial ports (SIO_PORTS replaces "
          "the list).\n--version prints the window's caption with the program's version; "
          "Qt's own options\n(-platform, -style, ...) go to Qt.\n",
          stdout);
      return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {
      versionOnly = true;
    } else if (const TQtOption* o = FindQtOption(arg)) {
      if (o->value && std::strchr(arg, '=') == nullptr && ++i == argc) {
        std::fprintf(stderr, "kelvane-finder: %s needs a value\n%s", arg, kUsage);
        return 2;
      }
    } else {
      std::fprintf(stderr, "kelvane-finder: %s %s\n%s",
                   arg[0] == '-' ? "unknown option" : "unexpected argument", arg, kUsage);
      return 2;
    }
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  bool versionOnly = false;
  if (const int status = ReadArguments(argc, argv, versionOnly); status >= 0) return status;
  // The caption the window would show, from the same version record.
  if (versionOnly) {
    std::printf("%s\n", finder::VersionedCaption().c_str());
    return 0;
  }
  // The window is laid out in pixels, as designed.
  if (qEnvironmentVariableIsEmpty("QT_ENABLE_HIGHDPI_SCALING"))
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
  QApplication app(argc, argv);
  if (!sio::platform::InitUserInterfaceThread()) {
    std::fprintf(stderr, "kelvane-finder: cannot set up the user-interface thread\n");
    return 1;
  }
  finder::TQtEventSource source;
  if (!source.Valid()) {
    std::fprintf(stderr, "kelvane-finder: cannot set up the event loop\n");
    return 1;
  }
  sio::platform::SetEventSource(&source);
  finder::TQtUiServices services;
  sio::platform::SetUiServices(&services);
  sio::SetThreadExceptionReporter(&ReportThreadFailure);

  int status = 0;
  {
    finder::TQtMainWindow window;
    source.SetErrorHandler([&window](const std::string& message) { window.ShowError(message); });
    window.show();
    status = QApplication::exec();
    source.SetErrorHandler(nullptr);
  }
  sio::SetThreadExceptionReporter(nullptr);
  sio::platform::SetUiServices(nullptr);
  sio::platform::DoneUserInterfaceThread();
  sio::platform::SetEventSource(nullptr);
  return status;
}
