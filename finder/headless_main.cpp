// kelvane-finder-headless: one search exactly as the Start button runs it,
// without a window. stdout: the status log; stderr: message boxes and the
// error report; exit 0 when the search ended, 1 when an exception ended it,
// 130 after an interrupt.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "finder/headless_view.h"
#include "finder/main_form.h"
#include "finder/version.h"
#include "finder/view.h"
#include "platform/console.h"
#include "platform/file_version.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"

#ifndef _WIN32
// The program's version record, read back by ReadFileVersion like a version
// resource. Kept even though nothing refers to it.
[[gnu::used]] static const char kVersionRecord[] =
    "VS_VERSION_INFO:\\StringFileInfo\\040904E4:FileVersion=" KELVANE_FILE_VERSION;
#endif

namespace {

constexpr uint32_t kMsgInterrupt = 0x0400 + 1;
std::atomic<bool> interrupted{false};
// Made by the main thread, read by the interrupt watcher.
std::atomic<platform::WindowHandle> interruptWindow{nullptr};

platform::LResult InterruptProc(platform::WindowHandle, uint32_t msg, platform::WParam,
                                platform::LParam) {
  // The quit request ends every wait of the search at once; the search
  // runs out with each port closed.
  if (msg == kMsgInterrupt) platform::PostQuit(130);
  return 0;
}

// A worker thread of a port that failed (a device error, an unplugged
// adapter) is reported as a window would report it: in a message box.
void ReportThreadFailure(std::exception_ptr error) {
  std::string text = finder::ErrorText(error);
  std::fprintf(stderr, "[message box] %s\n", text.c_str());
  std::fflush(stderr);
}

void OnInterrupt() {
  if (interrupted.exchange(true)) return;
  if (platform::WindowHandle w = interruptWindow.load()) {
    platform::PostWindowMessage(w, kMsgInterrupt, 0, 0);
  }
}

int Usage(std::FILE* to, int status) {
  std::fputs(
      "usage: kelvane-finder-headless [--color=auto|always|never] [--report FILE] [--version]\n"
      "Runs one search over the machine's serial ports (SIO_PORTS replaces the list on Linux).\n",
      to);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string colourMode = "auto";
  std::string reportFile;
  bool versionOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--version") {
      versionOnly = true;
    } else if (arg.rfind("--color=", 0) == 0) {
      colourMode = arg.substr(8);
      if (colourMode != "auto" && colourMode != "always" && colourMode != "never")
        return Usage(stderr, 2);
    } else if (arg == "--report" && i + 1 < argc) {
      reportFile = argv[++i];
    } else if (arg.rfind("--report=", 0) == 0) {
      reportFile = arg.substr(9);
    } else if (arg == "--help" || arg == "-h") {
      return Usage(stdout, 0);
    } else {
      return Usage(stderr, 2);
    }
  }
  // Before any thread exists, so the interrupt watcher alone takes them.
  if (!versionOnly) platform::WatchInterrupts(&OnInterrupt);
  platform::InitUserInterfaceThread();
  sio::SetThreadExceptionReporter(&ReportThreadFailure);
  const bool colour =
      colourMode == "always" || (colourMode == "auto" && platform::IsTerminal(stdout));
  finder::THeadlessView view(stdout, stderr, colour);
  int status = 0;
  {
    finder::TfrmMain form(view);
    if (versionOnly) {
      std::printf("%s\n", form.Caption().c_str());
      return 0;
    }
    interruptWindow = platform::CreateHiddenWindow("KelvaneHeadless", &InterruptProc, nullptr);
    std::vector<finder::TProbeRecord> probes;
    form.Controller().OnProbe = [&probes](const finder::TProbeRecord& p) { probes.push_back(p); };
    if (interrupted.load()) platform::PostQuit(130);
    const bool completed = form.StartClicked();
    status = completed ? 0 : 1;
    if (!reportFile.empty()) {
      std::ofstream out(reportFile, std::ios::binary | std::ios::trunc);
      out << finder::ProbeReportJson(probes);
      if (!out) {
        std::fprintf(stderr, "[error] cannot write the report to %s\n", reportFile.c_str());
        if (status == 0) status = 1;
      }
    }
    form.Controller().OnProbe = nullptr;
  }
  if (platform::WindowHandle w = interruptWindow.exchange(nullptr)) {
    platform::DestroyHiddenWindow(w);
  }
  platform::DoneUserInterfaceThread();
  return interrupted.load() ? 130 : status;
}
