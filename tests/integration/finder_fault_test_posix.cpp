// Whole searches of the finder's form while a device fails at a chosen moment
// of its probe: unplugged during the open, in each wait, while a command goes
// out, during the close, or before its open; a packet handler that raises; a
// device that never reads; a trace or log that cannot be written. Each row
// says how the search ends, what the log and the boxes show, and the process
// must hold no more descriptors or threads afterwards than before.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "finder/main_form.h"
#include "platform/message_loop.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/support/exceptions.h"
#include "tests/common/collecting_view.h"
#include "tests/common/process_usage.h"
#include "tests/integration/port_table.h"
#include "tools/elm327-sim/elm327_sim.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Worker-thread failures (a read that finds the device gone) and exceptions
// of handlers run for a thread, as the program's report would show them.
std::mutex reportsMutex;
std::vector<std::string> reports;

void CollectReport(std::exception_ptr error) {
  std::string text = finder::ErrorText(error);
  std::lock_guard<std::mutex> lock(reportsMutex);
  reports.push_back(text);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& l : lines)
    text += l + "\n";
  return text;
}

enum class Act {
  None,
  VanishBeforeOpen,  // the device goes once its probe is announced, before the open
  UnplugAtClose,     // the device goes when the port starts closing
  RaisingHandler,    // the banner's packet handler raises after setting its flag
  RaisingTrigger,    // a trigger handler on the dispatcher thread raises on data
  RaisingEvent,      // the port's availability event (run by its window) raises
  FillOutputRing,    // a device that never reads, after more output than it all holds
  TraceUnwritable,   // tracing on, the trace file in a directory that is not there
  LogUnwritable,     // the same for the dispatch log
};

struct FaultCase {
  const char* name;
  elmsim::Options (*device)();
  Act act;
  // The results of COM5 at 115200, 38400 and 9600 ("nothing" or "found"),
  // as far as the search got; COM6, a healthy scan tool, comes after it.
  std::vector<std::string> results;
  bool completes;
  std::string boxes;        // a regular expression for the boxes, one per line
  std::string error;        // the error report that ended the search ("" : none)
  bool workerReport;        // a worker-thread failure is reported
  std::string reportMatch;  // a regular expression every report matches ("": none at all)
};

elmsim::Options Silent() {
  elmsim::Options o;
  o.silent = true;
  o.baud = 0;
  return o;
}
elmsim::Options SilentGoneAfter(int64_t bytes) {
  elmsim::Options o = Silent();
  o.hangupAfterBytes = bytes;
  return o;
}
elmsim::Options NeverReads() {
  elmsim::Options o = Silent();
  o.noRead = true;
  return o;
}
elmsim::Options Interpreter() {
  elmsim::Options o;
  o.baud = 115200;
  return o;
}
elmsim::Options ScanTool() {
  elmsim::Options o;
  o.scanTool = true;
  o.baud = 38400;
  return o;
}

const std::string kMissing = "Unable to open\\. Specified COM port does not exist\n";
const std::string kClosed = "COM Port Closed\n";
// A port that has gone: its open fails and each of the three commands finds
// it closed.
const std::string kGoneProbe = kMissing + kClosed + kClosed + kClosed;
const char* const kReadFailure = "Device (read|write) error";

elmsim::Options GoneOnOpen() {
  elmsim::Options o = Silent();
  o.hangupOnOpen = true;
  return o;
}
elmsim::Options InterpreterGoneInItsIdentifier() {
  elmsim::Options o = Interpreter();
  o.hangupAfterBytes = 11 + 6;  // "AT@3 E" of the identifier command
  return o;
}

const std::vector<std::string> kNothing{"nothing", "nothing", "nothing"};

// clang-format off
const FaultCase kCases[] = {
    // The open either loses the race (the device is gone: the boxes of a port
    // that does not exist) or wins it, and the commands find the port closed
    // once the loss is seen.
    {"UnpluggedDuringTheOpen", GoneOnOpen, Act::None, kNothing, true,
     "(" + kGoneProbe + "|(" + kClosed + "){0,3})" + kGoneProbe + kGoneProbe, "", false,
     kReadFailure},
    {"UnpluggedInTheFirstWait", [] { return SilentGoneAfter(1); }, Act::None, kNothing, true,
     kClosed + kClosed + kGoneProbe + kGoneProbe, "", true, kReadFailure},
    {"UnpluggedInTheSecondWait", [] { return SilentGoneAfter(6); }, Act::None, kNothing, true,
     kClosed + kGoneProbe + kGoneProbe, "", true, kReadFailure},
    {"UnpluggedInTheThirdWait", [] { return SilentGoneAfter(11); }, Act::None, kNothing, true,
     kGoneProbe + kGoneProbe, "", true, kReadFailure},
    {"UnpluggedWhileACommandGoesOut", [] { return SilentGoneAfter(3); }, Act::None, kNothing, true,
     kClosed + kGoneProbe + kGoneProbe, "", true, kReadFailure},
    // Every command, the identifier too, went into the ring before the
    // unplug; at the other speeds the device is gone.
    {"UnpluggedWhileTheIdentifierGoesOut", InterpreterGoneInItsIdentifier, Act::None, kNothing,
     true, kGoneProbe + kGoneProbe, "", true, kReadFailure},
    {"UnpluggedDuringTheClose", Silent, Act::UnplugAtClose, kNothing, true,
     kGoneProbe + kGoneProbe, "", false, kReadFailure},
    {"GoneBetweenTheListAndTheOpen", Silent, Act::VanishBeforeOpen, kNothing, true,
     kGoneProbe + kGoneProbe + kGoneProbe, "", false, ""},
    {"APacketHandlerThatRaises", ScanTool, Act::RaisingHandler, {"nothing", "found", "nothing"},
     true, "", "", true, "the banner handler failed"},
    // The dispatcher thread ends with the exception and the port is
    // released, so the commands after the first echo find it closed.
    {"ATriggerHandlerThatRaisesOnTheDispatcherThread", Interpreter, Act::RaisingTrigger, kNothing,
     true, kClosed + kClosed + kClosed + kClosed + kClosed + kClosed, "", true,
     "the trigger handler failed"},
    // Caught where the port's window runs it and reported; the data still
    // reaches the matchers, so the scan tool is found.
    {"AnEventHandlerThatRaises", Interpreter, Act::RaisingEvent, kNothing, true, "", "", true,
     "the availability handler failed"},
    // The few bytes of each probe fit in the terminal: nothing blocks.
    {"ADeviceThatNeverReads", NeverReads, Act::None, kNothing, true, "", "", false, ""},
    {"ADeviceThatNeverReadsFillsTheOutputRing", NeverReads, Act::FillOutputRing, {}, false, "",
     "Output buffer too small for block", false, ""},
    {"ATraceFileThatCannotBeWrittenAtTheClose", Silent, Act::TraceUnwritable, {"nothing"}, false,
     "", "Path not found", false, ""},
    {"ALogFileThatCannotBeWrittenAtTheClose", Silent, Act::LogUnwritable, {"nothing"}, false, "",
     "Path not found", false, ""},
};
// clang-format on

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

// The test's hooks into the port, reached through the component's own
// events and users.
struct Hooks {
  finder::TfrmMain* form = nullptr;
  elmsim::Simulator* faulty = nullptr;
  Act act = Act::None;
  int fills = 0;

  void PortOpened(sio::TComponent*) {
    if (form->SioComPort()->GetComNumber() != 5) return;
    if (act == Act::RaisingTrigger) {
      form->SioComPort()->GetDispatcher()->RegisterEventTriggerHandler(
          sio::TTriggerEvent::Of<&Hooks::Trigger>(this));
    }
    if (act != Act::FillOutputRing) return;
    // What the terminal buffers first, then the ring, until the layer refuses.
    ++fills;
    // Ever smaller blocks, so that not even the probe's one-byte command
    // fits afterwards.
    for (const size_t size : {size_t{1024}, size_t{32}, size_t{1}}) {
      const std::string block(size, 'x');
      for (int i = 0; i < 4096; ++i) {
        try {
          form->SioComPort()->OutputString(block);
        } catch (const sio::EOutputBufferTooSmall&) {
          break;
        }
        if (i % 16 == 15) sio::platform::WaitForMessage(2);
      }
    }
    // The write thread may still move a little into the terminal: top the
    // ring up until it stays full.
    const std::string one(1, 'x');
    for (int settled = 0, round = 0; settled < 3 && round < 100; ++round) {
      sio::platform::WaitForMessage(20);
      bool took = false;
      for (int i = 0; i < 4096; ++i) {
        try {
          form->SioComPort()->OutputString(one);
          took = true;
        } catch (const sio::EOutputBufferTooSmall&) {
          break;
        }
      }
      settled = took ? 0 : settled + 1;
    }
  }
  void PortChanged(sio::TComponent*, uint8_t kind) {
    if (act == Act::UnplugAtClose && kind == sio::ctClosing &&
        form->SioComPort()->GetComNumber() == 5) {
      faulty->Stop();
    }
  }
  void Trigger(uint32_t msg, uint32_t, uint32_t) {
    if (msg == sio::kMsgTriggerAvail) throw std::runtime_error("the trigger handler failed");
  }
  void Available(sio::TComponent*, uint16_t) {
    throw std::runtime_error("the availability handler failed");
  }
  void Banner(sio::TComponent*, const void*, int32_t) {
    form->Controller().BannerSeen = true;
    throw std::runtime_error("the banner handler failed");
  }
};

std::vector<std::string> ProbeLines(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line, '\r');)
    if (line.rfind("  Looking on COM", 0) == 0) lines.push_back(line);
  return lines;
}

std::string ProbeLine(int port, const std::string& result) {
  return "  Looking on COM" + std::to_string(port) + "..." +
         (result == "found" ? "found scan tool! " : "nothing");
}

class FinderFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FinderFault, SearchEndsAsItShouldAndNothingIsLeftBehind) {
  const FaultCase& c = GetParam();
  sio::platform::InitUserInterfaceThread();
  sio::SetThreadExceptionReporter(&CollectReport);
  {
    std::lock_guard<std::mutex> lock(reportsMutex);
    reports.clear();
  }
  const fs::path scratch = fs::temp_directory_path() / ("sio-fault-" + std::to_string(::getpid()));
  finder_test::CollectingView view;
  auto form = std::make_unique<finder::TfrmMain>(view);
  // A runtime that starts a thread of its own at the first thread start
  // (the thread sanitizer's) has it before the count.
  std::thread([] {}).join();
  const sio_test::ProcessUsage before = sio_test::CurrentProcessUsage();
  {
    // The faulty device is reached through a link of its own, which goes
    // with it: the number of its terminal may be reused by another program
    // at once, and this port must stay gone.
    fs::create_directories(scratch);
    elmsim::Options faultyOptions = c.device();
    faultyOptions.link = (scratch / "com5").string();
    elmsim::Simulator faulty(faultyOptions);
    elmsim::Simulator tool(ScanTool());
    std::string error;
    ASSERT_TRUE(faulty.Start(error)) << error;
    ASSERT_TRUE(tool.Start(error)) << error;
    devtest::UsePortTable("5=" + faultyOptions.link + ",6=" + tool.SlavePath());

    sio::TSioComPort* port = form->SioComPort();
    Hooks hooks{form.get(), &faulty, c.act};
    port->SetOnPortOpen(sio::TNotifyEvent::Of<&Hooks::PortOpened>(&hooks));
    const auto user = sio::TPortCallbackEx::Of<&Hooks::PortChanged>(&hooks);
    (void)port->RegisterUserCallbackEx(user);
    if (c.act == Act::RaisingHandler) {
      form->SioDataPacket(1)->SetOnPacket(sio::TPacketNotifyEvent::Of<&Hooks::Banner>(&hooks));
    }
    if (c.act == Act::RaisingEvent) {
      port->SetOnTriggerAvail(sio::TTriggerAvailEvent::Of<&Hooks::Available>(&hooks));
    }
    if (c.act == Act::VanishBeforeOpen) {
      view.onAppend = [&faulty](std::string_view text) {
        if (text == "  Looking on COM5") faulty.Stop();
      };
    }
    if (c.act == Act::TraceUnwritable) {
      port->SetTraceName((scratch / "missing" / "SIO.TRC").string());
      port->SetTracing(sio::tlOn);
    }
    if (c.act == Act::LogUnwritable) {
      port->SetLogName((scratch / "missing" / "SIO.LOG").string());
      port->SetLogging(sio::tlOn);
    }

    const bool completed = form->StartClicked();

    EXPECT_EQ(completed, c.completes);
    EXPECT_FALSE(port->GetOpen()) << "the port is left open";
    EXPECT_EQ(port->GetOpenState(), sio::osClosed);
    const std::string log = form->StatusLog().Text();
    std::vector<std::string> expected;
    const int32_t speeds[] = {115200, 38400, 9600};
    for (size_t i = 0; i < c.results.size(); ++i) {
      expected.push_back(ProbeLine(5, c.results[i]));
      if (c.completes) expected.push_back(ProbeLine(6, speeds[i] == 38400 ? "found" : "nothing"));
    }
    if (!c.completes) {
      // The log stops at the probe whose failure ended the search.
      const std::vector<std::string> lines = ProbeLines(log);
      ASSERT_FALSE(lines.empty()) << log;
      if (c.results.empty()) {
        EXPECT_EQ(log.substr(log.size() - 17), "  Looking on COM5") << log;
      } else {
        EXPECT_EQ(lines, expected) << log;
        EXPECT_EQ(log.substr(log.size() - 1), "\r") << "nothing after the failed close: " << log;
      }
      EXPECT_EQ(log.find("End of search."), std::string::npos) << log;
    } else {
      EXPECT_EQ(ProbeLines(log), expected) << log;
      EXPECT_NE(log.find("\r\rEnd of search.\r"), std::string::npos) << log;
    }
    EXPECT_TRUE(std::regex_match(Joined(view.boxes), std::regex(c.boxes))) << "boxes:\n"
                                                                           << Joined(view.boxes);
    if (c.error.empty()) {
      EXPECT_TRUE(view.errors.empty()) << Joined(view.errors);
    } else {
      ASSERT_EQ(view.errors.size(), 1u) << Joined(view.errors);
      EXPECT_TRUE(std::regex_match(view.errors[0], std::regex(c.error))) << view.errors[0];
    }
    {
      std::lock_guard<std::mutex> lock(reportsMutex);
      if (c.workerReport) {
        EXPECT_FALSE(reports.empty()) << "no failure reported";
      }
      if (c.reportMatch.empty()) {
        EXPECT_TRUE(reports.empty()) << Joined(reports);
      }
      for (const std::string& r : reports)
        EXPECT_TRUE(std::regex_match(r, std::regex(c.reportMatch))) << r;
    }
    if (c.act == Act::FillOutputRing) {
      EXPECT_EQ(hooks.fills, 1);
    }
    // Only the identifier command's device may hear it, and only at its speed.
    EXPECT_EQ(tool.ReceivedText().find("AT@3"), std::string::npos);

    port->DeregisterUserCallbackEx(user);
    port->SetOnPortOpen(sio::TNotifyEvent());
    port->SetOnTriggerAvail(sio::TTriggerAvailEvent());
    view.onAppend = nullptr;
    faulty.Stop();
    tool.Stop();
    devtest::ForgetPortTable();
  }
  const sio_test::ProcessUsage after = sio_test::SettledProcessUsage(before, 3000ms);
  EXPECT_LE(after.fds, before.fds) << sio_test::OpenDescriptors();
  EXPECT_LE(after.threads, before.threads);
  form.reset();
  sio::SetThreadExceptionReporter(nullptr);
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
}

INSTANTIATE_TEST_SUITE_P(Cases, FinderFault, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
