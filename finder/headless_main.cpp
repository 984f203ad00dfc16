// kelvane-finder-headless: one search exactly as the Start button runs it,
// without a window. stdout: the status log; stderr: message boxes and the
// error report; exit 0 when the search ended, 1 when an exception ended it,
// 2 on bad input (options, SIO_PORTS, the report path), 130 after an
// interrupt. --list-ports lists the ports and what each is instead.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <exception>
#include <getopt.h>
#include <string>
#include <vector>

#include "finder/headless_view.h"
#include "finder/main_form.h"
#include "finder/view.h"
#include "platform/console.h"
#include "platform/dll_search.h"
#include "platform/file_output.h"
#include "platform/file_version.h"
#include "platform/host_ports.h"
#include "platform/message_loop.h"
#include "platform/os_info.h"
#include "serial/dispatch/dispatcher.h"

namespace {

constexpr uint32_t kMsgInterrupt = 0x0400 + 1;
std::atomic<bool> interrupted{false};
// Made by the main thread, read by the interrupt watcher.
std::atomic<sio::platform::WindowHandle> interruptWindow{nullptr};

sio::platform::LResult InterruptProc(sio::platform::WindowHandle, uint32_t msg,
                                     sio::platform::WParam, sio::platform::LParam) {
  // The quit request ends every wait of the search at once; the search
  // runs out with each port closed.
  if (msg == kMsgInterrupt) sio::platform::PostQuit(130);
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
  if (sio::platform::WindowHandle w = interruptWindow.load()) {
    sio::platform::PostWindowMessage(w, kMsgInterrupt, 0, 0);
  }
}

constexpr char kUsage[] =
    "usage: kelvane-finder-headless [--color=auto|always|never] [--report FILE|-] [--version]\n"
    "       kelvane-finder-headless --list-ports [--json]\n";

int Usage(std::FILE* to, int status) {
  std::fputs(kUsage, to);
  std::fputs(
      "Runs one search over the machine's serial ports (SIO_PORTS replaces the list on Linux).\n"
      "--list-ports lists the ports instead, one line each: COM name, device, kind, VID:PID,\n"
      "product and serial number (--json: the same as JSON).\n",
      to);
  return status;
}

// Bad input is named before anything is probed, so that a script learns of
// it from the exit status instead of from a search over the wrong ports.
int BadInput(const std::string& what) {
  std::fprintf(stderr, "[error] %s\n%s", what.c_str(), kUsage);
  return 2;
}

// --list-ports: the port table and what each port is, on stdout.
int ListPorts(bool json) {
  std::vector<sio::platform::HostPort> ports;
  std::string error;
  if (!sio::platform::ListHostPorts(ports, error)) {
    std::fprintf(stderr, "[error] %s\n", error.c_str());
    return 1;
  }
  const std::vector<sio::platform::PortDescription> descriptions =
      sio::platform::DescribeHostPorts(ports);
  const std::string text =
      json ? finder::PortListJson(ports, descriptions) : finder::PortListText(ports, descriptions);
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  return std::fflush(stdout) == 0 && written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  sio::platform::RestrictDllSearchToSystem();
  std::string colourMode = "auto";
  std::string reportFile;
  bool versionOnly = false;
  bool listPorts = false;
  bool json = false;
  enum : int { kColor = 256, kReport, kVersion, kListPorts, kJson };
  const option longOptions[] = {{"color", required_argument, nullptr, kColor},
                                {"report", required_argument, nullptr, kReport},
                                {"version", no_argument, nullptr, kVersion},
                                {"list-ports", no_argument, nullptr, kListPorts},
                                {"json", no_argument, nullptr, kJson},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own words, the same on every host
  for (int c; (c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1;) {
    switch (c) {
      case kColor:
        colourMode = optarg;
        if (colourMode != "auto" && colourMode != "always" && colourMode != "never")
          return BadInput("--color takes auto, always or never, not \"" + colourMode + "\"");
        break;
      case kReport:
        reportFile = optarg;
        if (reportFile.empty()) return BadInput("--report needs a file name, or - for stdout");
        break;
      case kVersion:
        versionOnly = true;
        break;
      case kListPorts:
        listPorts = true;
        break;
      case kJson:
        json = true;
        break;
      case 'h':
        return Usage(stdout, 0);
      default: {
        // A missing or unwanted value leaves the option's own code in
        // optopt; an unknown long option leaves 0 there.
        const std::string given = argv[optind - 1];
        if (optopt == kColor || optopt == kReport) return BadInput(given + " needs a value");
        if (optopt == kVersion || optopt == kListPorts || optopt == kJson)
          return BadInput(given + " takes no value");
        if (optopt != 0)
          return BadInput(std::string("unknown option -") + static_cast<char>(optopt));
        return BadInput("unknown option " + given);
      }
    }
  }
  if (optind < argc) return BadInput("unexpected argument \"" + std::string(argv[optind]) + "\"");
  if (json && !listPorts) return BadInput("--json goes with --list-ports");
  if (listPorts && !reportFile.empty())
    return BadInput("--report goes with a search, not with --list-ports");
  sio::platform::OutputFile report;
  std::FILE* reportOut = nullptr;
  if (!versionOnly) {
    const std::vector<sio::platform::RejectedPortEntry> rejected =
        sio::platform::RejectedPortOverrideEntries();
    for (const sio::platform::RejectedPortEntry& r : rejected)
      std::fprintf(stderr, "[error] SIO_PORTS entry \"%s\": %s\n", r.entry.c_str(),
                   r.reason.c_str());
    if (!rejected.empty()) return 2;
    if (listPorts) return ListPorts(json);
    // A report that cannot be written is known before the search, not after.
    if (reportFile == "-") {
      reportOut = stdout;
    } else if (!reportFile.empty()) {
      if (const uint32_t error = report.Create(reportFile.c_str())) {
        std::string why = sio::platform::SystemErrorText(error);
        // The system's text comes with its own line break.
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r'))
          why.pop_back();
        std::fprintf(stderr, "[error] cannot write the report to %s: %s\n", reportFile.c_str(),
                     why.c_str());
        return 2;
      }
    }
  }
  // Before any thread exists, so the interrupt watcher alone takes them.
  if (!versionOnly) sio::platform::WatchInterrupts(&OnInterrupt);
  sio::platform::InitUserInterfaceThread();
  sio::SetThreadExceptionReporter(&ReportThreadFailure);
  const bool colour =
      colourMode == "always" || (colourMode == "auto" && sio::platform::IsTerminal(stdout));
  finder::THeadlessView view(stdout, stderr, colour);
  int status = 0;
  {
    finder::TfrmMain form(view);
    if (versionOnly) {
      std::printf("%s\n", form.Caption().c_str());
      return 0;
    }
    interruptWindow = sio::platform::CreateHiddenWindow("KelvaneHeadless", &InterruptProc, nullptr);
    std::vector<finder::TProbeRecord> probes;
    form.Controller().OnProbe = [&probes](const finder::TProbeRecord& p) { probes.push_back(p); };
    if (interrupted.load()) sio::platform::PostQuit(130);
    const bool completed = form.StartClicked();
    status = completed ? 0 : 1;
    if (!reportFile.empty()) {
      const std::string json = finder::ProbeReportJson(probes);
      const bool written =
          reportOut != nullptr
              ? std::fwrite(json.data(), 1, json.size(), reportOut) == json.size() &&
                    std::fflush(reportOut) == 0
              : report.Write(json.data(), json.size()) == 0 && report.Close() == 0;
      if (!written) {
        std::fprintf(stderr, "[error] cannot write the report to %s\n", reportFile.c_str());
        if (status == 0) status = 1;
      }
    }
    form.Controller().OnProbe = nullptr;
  }
  if (sio::platform::WindowHandle w = interruptWindow.exchange(nullptr)) {
    sio::platform::DestroyHiddenWindow(w);
  }
  sio::platform::DoneUserInterfaceThread();
  // Every port is closed now. Flushed first: once a console close is let go,
  // Windows ends the process before the runtime would flush at exit.
  std::fflush(nullptr);
  sio::platform::InterruptServed();
  return interrupted.load() ? 130 : status;
}
