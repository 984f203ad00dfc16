// Whole searches of kelvane-finder-headless against simulated devices on
// pseudo-terminals, compared character for character (colour included).
// Natively the ports are given with SIO_PORTS; with SIO_E2E_WINE_EXE set the
// Windows program runs under Wine instead, the same devices mapped as COM
// ports, so the Win32 code path is tried by the same cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/comm.h"
#include "tools/elm327-sim/elm327_sim.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using elmsim::Options;
using elmsim::Simulator;

const char* const kRed = "\x1b[31m";
const char* const kReset = "\x1b[0m";

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

bool UnderWine() {
  return !Env("SIO_E2E_WINE_EXE").empty();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Without(std::string text, const std::string& what) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at))
    text.erase(at, what.size());
  return text;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

// A strict JSON reader (RFC 8259, UTF-8 in shortest form, no surrogates):
// Parse() is true when the text is one JSON value and nothing else.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : t_(text) {}
  bool Parse() { return Value(0) && (Skip(), i_ == t_.size()); }

 private:
  bool At(char c) const { return i_ < t_.size() && t_[i_] == c; }
  unsigned Byte(size_t k) const { return k < t_.size() ? static_cast<unsigned char>(t_[k]) : 256; }
  void Skip() {
    while (At(' ') || At('\t') || At('\n') || At('\r'))
      ++i_;
  }
  bool Eat(char c) { return Skip(), At(c) ? (++i_, true) : false; }
  bool Digits() {
    const size_t from = i_;
    while (Byte(i_) >= '0' && Byte(i_) <= '9')
      ++i_;
    return i_ > from;
  }
  bool Value(int depth) {
    Skip();
    if (At('{') || At('[')) {
      const char close = t_[i_++] == '{' ? '}' : ']';
      if (Eat(close)) return true;
      do {
        if (close == '}' && !(Skip(), String() && Eat(':'))) return false;
        if (depth > 50 || !Value(depth + 1)) return false;
      } while (Eat(','));
      return Eat(close);
    }
    if (At('"')) return String();
    for (const std::string_view word : {"true", "false", "null"})
      if (t_.substr(i_, word.size()) == word) return i_ += word.size(), true;
    if (At('-')) ++i_;
    if (At('0') ? (++i_, false) : !Digits()) return false;
    if (At('.') && (++i_, !Digits())) return false;
    if (At('e') || At('E')) {
      ++i_;
      if (At('+') || At('-')) ++i_;
      return Digits();
    }
    return true;
  }
  bool String() {
    if (!At('"')) return false;
    ++i_;
    for (unsigned c = Byte(i_); c != '"'; c = Byte(i_)) {
      if (c < 0x20 || c > 0xFF) return false;
      if (c == '\\') {
        const unsigned e = Byte(++i_);
        for (int k = 0; e == 'u' && k < 4; ++k) {
          const unsigned h = Byte(++i_);
          if (!((h >= '0' && h <= '9') || ((h | 0x20) >= 'a' && (h | 0x20) <= 'f'))) return false;
        }
        if (e != 'u' && std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) > 7) return false;
        ++i_;
        continue;
      }
      const unsigned n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xF5 ? 2 + (c >= 0xE0) + (c >= 0xF0) : 0;
      uint32_t u = c & (0xFFu >> (n + 1));
      for (unsigned k = 1; k < n; ++k) {
        if ((Byte(i_ + k) & 0xC0) != 0x80) return false;
        u = u << 6 | (Byte(i_ + k) & 0x3F);
      }
      if (n == 0 || (n == 3 && (u < 0x800 || (u >= 0xD800 && u < 0xE000))) ||
          (n == 4 && (u < 0x10000 || u > 0x10FFFF)))
        return false;
      i_ += n;
    }
    return ++i_, true;
  }
  std::string_view t_;
  size_t i_ = 0;
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  std::string report;
  double seconds = 0;
};

// One port of a case: a simulated device, or a device path that does not
// exist.
struct Port {
  uint32_t number;
  std::string path;
};

class FinderRun {
 public:
  FinderRun() {
    char pattern[] = "/tmp/sio-e2e-XXXXXX";
    dir_ = ::mkdtemp(pattern);
  }
  ~FinderRun() {
    for (uint32_t n : mapped_)
      Wine("reg delete 'HKLM\\Software\\Wine\\Ports' /v COM" + std::to_string(n) + " /f");
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // Runs the finder over ports with args; interruptAfterMs >= 0 sends SIGINT
  // that long after the start.
  RunResult Run(const std::vector<Port>& ports, std::vector<std::string> args,
                int interruptAfterMs = -1) {
    args.insert(args.begin(), "--color=always");
    const fs::path out = dir_ / "out";
    const fs::path err = dir_ / "err";
    const fs::path report = dir_ / "report.json";
    const bool ownReport = std::find(args.begin(), args.end(), "--report") != args.end() ||
                           std::find(args.begin(), args.end(), "--list-ports") != args.end();
    std::error_code ignored;
    fs::remove(report, ignored);  // left by an earlier run of the case
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;
    if (UnderWine()) {
      MapWinePorts(ports);
      argv = {"wine", Env("SIO_E2E_WINE_EXE")};
      if (!ownReport) args.insert(args.end(), {"--report", "Z:" + Backslashed(report.string())});
      if (!Env("SIO_E2E_WINE_SHIM").empty()) env["LD_PRELOAD"] = Env("SIO_E2E_WINE_SHIM");
    } else {
      // Run in the case's directory, so that a stray file lands there.
      argv = {fs::absolute(Env("SIO_E2E_FINDER")).string()};
      if (!ownReport) args.insert(args.end(), {"--report", report.string()});
      std::string table;
      for (const Port& p : ports)
        table += (table.empty() ? "" : ",") + std::to_string(p.number) + "=" + p.path;
      env["SIO_PORTS"] = portsText.value_or(table);
    }
    argv.insert(argv.end(), args.begin(), args.end());

    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (const auto& [k, v] : env)
        ::setenv(k.c_str(), v.c_str(), 1);
      const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int n = ::open("/dev/null", O_RDONLY);
      if (!UnderWine() && ::chdir(dir_.c_str()) != 0) ::_exit(126);
      ::dup2(o, 1);
      ::dup2(e, 2);
      ::dup2(n, 0);
      std::vector<char*> cargv;
      for (auto& a : argv)
        cargv.push_back(a.data());
      cargv.push_back(nullptr);
      ::execvp(cargv[0], cargv.data());
      ::_exit(127);
    }
    RunResult r;
    bool interrupted = false;
    int wstatus = 0;
    for (;;) {
      const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
      if (done == pid) break;
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (!interrupted && interruptAfterMs >= 0 && ms >= interruptAfterMs) {
        ::kill(pid, SIGINT);
        interrupted = true;
      }
      if (ms > 150000) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &wstatus, 0);
        ADD_FAILURE() << "the finder did not end";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    r.report = ReadFile(report);
    EXPECT_TRUE(r.report.empty() || JsonReader(r.report).Parse()) << r.report;
    if (UnderWine()) {
      // The console's text mode writes line breaks as CR LF.
      r.out = Without(r.out, "\r");
      r.err = Without(r.err, "\r");
      // Wine adds the host's own serial devices (ttyS) at free numbers, as
      // Windows lists on-board ports: their lines are not the case's.
      std::string kept;
      std::istringstream lines(r.out);
      for (std::string line; std::getline(lines, line);) {
        uint32_t n = 0;
        if ((std::sscanf(line.c_str(), "   COM%u", &n) == 1 ||
             std::sscanf(line.c_str(), "  Looking on COM%u", &n) == 1) &&
            !std::any_of(ports.begin(), ports.end(), [n](const Port& p) { return p.number == n; }))
          continue;
        kept += line + "\n";
      }
      if (!r.out.empty() && r.out.back() != '\n' && !kept.empty()) kept.pop_back();
      r.out = kept;
    }
    return r;
  }

  // Replaces the SIO_PORTS text made from the ports.
  std::optional<std::string> portsText;

  std::string Missing() const { return (dir_ / "no-such-device").string(); }
  const fs::path& Dir() const { return dir_; }

 private:
  static std::string Backslashed(std::string path) {
    for (char& c : path)
      if (c == '/') c = '\\';
    return path;
  }

  void MapWinePorts(const std::vector<Port>& ports) {
    // Only this case's ports: also none an earlier run failed to remove.
    Wine("reg delete 'HKLM\\Software\\Wine\\Ports' /va /f");
    mapped_.clear();
    for (const Port& p : ports) {
      Wine("reg add 'HKLM\\Software\\Wine\\Ports' /v COM" + std::to_string(p.number) +
           " /t REG_SZ /d '" + p.path + "' /f");
      mapped_.push_back(p.number);
    }
    // The port table is read when the server starts; the links it made for
    // earlier tables would otherwise keep old ports listed.
    (void)std::system("wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1");
    std::error_code ignored;
    const fs::path devices = fs::path(Env("WINEPREFIX")) / "dosdevices";
    for (const auto& entry : fs::directory_iterator(devices, ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.size() > 3 && name.compare(0, 3, "com") == 0 && entry.is_symlink(ignored))
        fs::remove(entry.path(), ignored);
    }
  }
  static void Wine(const std::string& command) {
    (void)std::system(("wine " + command + " >/dev/null 2>&1").c_str());
  }

  fs::path dir_;
  std::vector<uint32_t> mapped_;
};

// The log as the finder writes it: "\r" shown as "\n", the red run in
// terminal colours.
struct Expected {
  std::vector<std::string> portLines;
  std::string Header() const {
    std::string s = "= Retrieving list of available COM ports: =\n";
    if (portLines.empty()) return s + " Error: couldn't find any COM ports\n";
    for (const std::string& l : portLines)
      s += l + "\n";
    return s;
  }
  static std::string Speed(uint32_t baud, const std::vector<std::string>& lines) {
    std::string s = "\n\n= Attempting to connect at " + std::to_string(baud) + " baud =\n";
    for (const std::string& l : lines)
      s += l + "\n";
    return s;
  }
  static std::string Found(uint32_t port) {
    return "  Looking on COM" + std::to_string(port) + "..." + kRed + "found scan tool!" + kReset +
           " ";
  }
  static std::string Nothing(uint32_t port) {
    return "  Looking on COM" + std::to_string(port) + "...nothing";
  }
  static std::string End() { return "\n\nEnd of search.\n"; }
};

std::string PortLine(const Port& p) {
  return "   COM" + std::to_string(p.number) + (UnderWine() ? "" : " (" + p.path + ")");
}

std::unique_ptr<Simulator> StartSim(Options o) {
  auto sim = std::make_unique<Simulator>(std::move(o));
  std::string error;
  if (!sim->Start(error)) {
    ADD_FAILURE() << "simulator: " << error;
    return nullptr;
  }
  return sim;
}

Options ScanTool(uint32_t baud) {
  Options o;
  o.scanTool = true;
  o.baud = baud;
  return o;
}

Options Interpreter(uint32_t baud, const std::string& identifier = "") {
  Options o;
  o.baud = baud;
  o.identifier = identifier;
  return o;
}

const std::string kBoxMissing = "[message box] Unable to open. Specified COM port does not exist\n";
const std::string kBoxClosed = "[message box] COM Port Closed\n";

class FinderSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    if (UnderWine()) {
      if (Env("SIO_E2E_WINE_EXE").empty()) GTEST_SKIP();
    } else if (Env("SIO_E2E_FINDER").empty() || !fs::exists(Env("SIO_E2E_FINDER"))) {
      GTEST_SKIP() << "SIO_E2E_FINDER names no finder program";
    }
  }
  FinderRun run_;
};

TEST_F(FinderSearch, VersionIsTheCaption) {
  const RunResult r = run_.Run({}, {"--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Kelvane Finder 1.2.0.0\n");
}

TEST_F(FinderSearch, NoPorts) {
  if (UnderWine()) GTEST_SKIP() << "Wine lists the ports of its own configuration";
  const RunResult r = run_.Run({}, {});
  EXPECT_EQ(r.status, 0) << r.err;
  Expected e;
  EXPECT_EQ(r.out, e.Header() + Expected::Speed(115200, {}) + Expected::Speed(38400, {}) +
                       Expected::Speed(9600, {}) + Expected::End());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.report, "{\n  \"probes\": []\n}\n");
}

TEST_F(FinderSearch, OneScanToolIsFoundAtItsSpeedOnly) {
  auto sim = StartSim(ScanTool(38400));
  ASSERT_TRUE(sim);
  const std::vector<Port> ports{{5, sim->SlavePath()}};
  const RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  Expected e{{PortLine(ports[0])}};
  EXPECT_EQ(r.out, e.Header() + Expected::Speed(115200, {Expected::Nothing(5)}) +
                       Expected::Speed(38400, {Expected::Found(5)}) +
                       Expected::Speed(9600, {Expected::Nothing(5)}) + Expected::End());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Count(r.report, "\"result\": \"found\""), 1u) << r.report;
  EXPECT_NE(r.report.find("\"baud\": 38400, \"result\": \"found\", \"seen\": {\"KELVANE\": true"),
            std::string::npos)
      << r.report;
  // What the device was sent: each probe's commands (at the wrong speeds it
  // hears them as noise), and no identifier.
  EXPECT_EQ(Count(sim->ReceivedText(), "AT@1\r"), 3u) << sim->ReceivedText();
  EXPECT_EQ(Count(sim->ReceivedText(), "AT@3"), 0u);
}

TEST_F(FinderSearch, MixedPortsEachGetTheirResultAndOnlyTheBareInterpreterItsIdentifier) {
  Options bannerAndText = ScanTool(115200);
  bannerAndText.description = "OBDII to RS232 Interpreter";
  Options silent;
  silent.silent = true;
  silent.baud = 0;
  auto s3 = StartSim(silent);
  auto s4 = StartSim(Interpreter(9600));
  auto s5 = StartSim(Interpreter(38400, "ELM327_CLONE"));
  auto s6 = StartSim(bannerAndText);
  ASSERT_TRUE(s3 && s4 && s5 && s6);
  std::vector<Port> ports{
      {3, s3->SlavePath()}, {4, s4->SlavePath()}, {5, s5->SlavePath()}, {6, s6->SlavePath()}};
  // Wine opens a COM port mapped to a missing device and fails only later,
  // with no error of its own, so the missing port is tried natively only.
  // Its two digits come after the one-digit numbers, not before them as text.
  const bool withMissing = !UnderWine();
  if (withMissing) ports.push_back({17, run_.Missing()});
  auto expectedOut = [&] {
    Expected e;
    for (const Port& p : ports)
      e.portLines.push_back(PortLine(p));
    using E = Expected;
    auto lines = [&](bool found6) {
      std::vector<std::string> l{E::Nothing(3), E::Nothing(4), E::Nothing(5),
                                 found6 ? E::Found(6) : E::Nothing(6)};
      if (withMissing) l.push_back(E::Nothing(17));
      return l;
    };
    return e.Header() + E::Speed(115200, lines(true)) + E::Speed(38400, lines(false)) +
           E::Speed(9600, lines(false)) + E::End();
  };
  std::string boxes;
  for (int speed = 0; speed < 3 && withMissing; ++speed)
    boxes += kBoxMissing + kBoxClosed + kBoxClosed + kBoxClosed;

  RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expectedOut());
  EXPECT_EQ(r.err, boxes);
  EXPECT_EQ(Count(s4->ReceivedText(), "AT@3 ELM327_CLONE\r"), 1u) << s4->ReceivedText();
  EXPECT_EQ(s4->StoredIdentifier(), "ELM327_CLONE");
  for (auto* s : {s3.get(), s5.get(), s6.get()})
    EXPECT_EQ(Count(s->ReceivedText(), "AT@3"), 0u) << s->SlavePath();
  EXPECT_EQ(Count(r.report, "\"identifier_sent\": true"), 1u) << r.report;
  // Only COM5 says "ELM327_CLONE" in its probe; the echo of the identifier
  // sent to COM4 comes after that probe's decision.
  EXPECT_EQ(Count(r.report, "\"ELM327_CLONE\": true"), 1u) << r.report;
  EXPECT_EQ(Count(r.report, "\"ELM327_CLONE\": false}, \"identifier_sent\": true"), 1u);

  // A second search: the interpreter now carries the identifier. The scan
  // tool is a fresh one: a device that has heard a command repeats it on a
  // bare "\r" instead of announcing its banner.
  s6 = StartSim(bannerAndText);
  ASSERT_TRUE(s6);
  ports[3].path = s6->SlavePath();
  r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expectedOut());
  EXPECT_EQ(Count(s4->ReceivedText(), "AT@3 ELM327_CLONE\r"), 1u) << "sent again";
  EXPECT_EQ(Count(r.report, "\"identifier_sent\": true"), 0u) << r.report;
}

TEST_F(FinderSearch, ABusyPortEndsTheSearchWithItsError) {
  if (UnderWine()) GTEST_SKIP() << "Wine does not enforce exclusive access to a COM port";
  auto sim = StartSim(ScanTool(38400));
  ASSERT_TRUE(sim);
  sio::platform::CommDevice holder;
  ASSERT_EQ(holder.Open(sim->SlavePath()), 0u);
  const std::vector<Port> ports{{5, sim->SlavePath()}};
  const RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 1);
  Expected e{{PortLine(ports[0])}};
  EXPECT_EQ(r.out, e.Header() + "\n\n= Attempting to connect at 115200 baud =\n  Looking on COM5");
  EXPECT_EQ(r.err.rfind("[error] ", 0), 0u) << r.err;
  EXPECT_EQ(Count(r.err, "\n"), 1u) << r.err;
}

TEST_F(FinderSearch, AnUnplugDuringAProbeLetsTheSearchGoOn) {
  if (UnderWine()) {
    GTEST_SKIP() << "Wine opens a COM port whose device has gone and fails later, with no error "
                    "of its own";
  }
  Options o = Interpreter(115200);
  // Through a link that goes with the device: its terminal's number may be
  // taken by another program as soon as it is free.
  o.link = (run_.Dir() / "com5").string();
  auto gone = StartSim(o);
  auto tool = StartSim(ScanTool(115200));
  ASSERT_TRUE(gone && tool);
  const std::vector<Port> ports{{5, o.link}, {6, tool->SlavePath()}};
  // Pulled out once it has heard its first identification command.
  std::thread puller([&] {
    const auto start = Clock::now();
    while (gone->ReceivedText().find("AT@1") == std::string::npos &&
           Clock::now() - start < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    gone->Stop();
  });
  const RunResult r = run_.Run(ports, {});
  puller.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(Expected::Speed(115200, {Expected::Nothing(5), Expected::Found(6)})),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.size() >= Expected::End().size() &&
              r.out.substr(r.out.size() - Expected::End().size()) == Expected::End())
      << r.out;
  EXPECT_NE(r.err.find(kBoxClosed), std::string::npos) << "output after the unplug: " << r.err;
  EXPECT_NE(r.err.find(kBoxMissing), std::string::npos) << "the later probes: " << r.err;
}

TEST_F(FinderSearch, ALateReplyBelongsToTheProbeThatEnded) {
  // Replies that come just as the probe's last wait ends and its port
  // closes; the next port is silent and must hear nothing of them.
  Options lateTool = ScanTool(0);
  lateTool.delayMs = 1110;
  Options lateInterpreter = Interpreter(0);
  lateInterpreter.delayMs = 830;
  Options silent;
  silent.silent = true;
  silent.baud = 0;
  auto a = StartSim(lateTool);
  auto b = StartSim(silent);
  auto c = StartSim(lateInterpreter);
  auto d = StartSim(silent);
  ASSERT_TRUE(a && b && c && d);
  const std::vector<Port> ports{
      {3, a->SlavePath()}, {4, b->SlavePath()}, {5, c->SlavePath()}, {6, d->SlavePath()}};
  const RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  for (uint32_t baud : {115200u, 38400u, 9600u}) {
    const std::string header = "= Attempting to connect at " + std::to_string(baud) + " baud =\n";
    const size_t at = r.out.find(header);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string section = r.out.substr(at + header.size());
    EXPECT_NE(section.find(Expected::Nothing(4) + "\n"), std::string::npos) << section;
    EXPECT_NE(section.find(Expected::Nothing(6) + "\n"), std::string::npos) << section;
  }
  EXPECT_EQ(Count(b->ReceivedText(), "AT@3"), 0u);
  EXPECT_EQ(Count(d->ReceivedText(), "AT@3"), 0u);
  EXPECT_EQ(r.err, "");
  // A banner after the decision is not one the probe saw.
  EXPECT_EQ(Count(r.report, "\"nothing\", \"seen\": {\"KELVANE\": true"), 0u) << r.report;
}

TEST_F(FinderSearch, TheReportIsUtf8WhateverBytesADevicePathHolds) {
  if (UnderWine()) GTEST_SKIP() << "the report names no device paths on Windows";
  // A stray byte, an over-long "/", a sequence cut short, and a proper "é".
  const std::string name =
      "dev\xff"
      "a\xc0\xaf"
      "b\xe2\x82"
      "c\xc3\xa9";
  const RunResult r = run_.Run({{5, (run_.Dir() / name).string()}}, {});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string bad = "\xef\xbf\xbd";  // U+FFFD
  const std::string device = "dev" + bad + "a" + bad + bad + "b" + bad + bad + "c\xc3\xa9";
  EXPECT_EQ(Count(r.report, "\"device\": \"" + (run_.Dir() / device).string() + "\""), 3u)
      << r.report;  // and Run checks that it is JSON
}

// Bad input is named on stderr and ends the program with 2 before any probe.
struct BadInputCase {
  const char* portsText;  // SIO_PORTS; null: a good table
  std::vector<std::string> args;
  std::vector<std::string> named;  // on stderr
};

TEST_F(FinderSearch, BadInputIsNamedAndEndsWith2BeforeAnyProbe) {
  if (UnderWine()) GTEST_SKIP() << "SIO_PORTS is not read on Windows";
  const BadInputCase cases[] = {
      {"COM5=/dev/ttyUSB0", {}, {"\"COM5=/dev/ttyUSB0\": \"COM5\" is not a port number", "3=/"}},
      {"5=ttyUSB0", {}, {"\"5=ttyUSB0\": \"ttyUSB0\" is not an absolute path"}},
      {"garbage", {}, {"\"garbage\": no \"=\""}},
      {"5=/a;6=/b", {}, {"\"5=/a;6=/b\": the path holds \";\""}},
      {"3=/a, x=/b ,3=/c", {}, {"\"x=/b\"", "\"3=/c\": COM3 is given already (as /a)"}},
      {nullptr, {"--frobnicate"}, {"unknown option --frobnicate\nusage: "}},
      {nullptr, {"--color=sometimes"}, {"\"sometimes\"\nusage: "}},
      {nullptr, {"--report"}, {"--report needs a value\nusage: "}},
      {nullptr, {"--json"}, {"--json goes with --list-ports\nusage: "}},
      {nullptr, {"--list-ports", "--report", "r.json"}, {"--report goes with a search"}},
      {nullptr, {"--report", "/no/such/dir/r.json"}, {"the report to /no/such/dir/r.json: "}},
  };
  for (const BadInputCase& c : cases) {
    if (c.portsText != nullptr) run_.portsText = c.portsText;
    const RunResult r = run_.Run({{5, run_.Missing()}}, c.args);
    run_.portsText.reset();
    const std::string input = c.portsText != nullptr ? c.portsText : c.args[0];
    EXPECT_EQ(r.status, 2) << input;
    EXPECT_EQ(r.out, "") << input;
    EXPECT_EQ(r.report, "") << input;
    for (const std::string& named : c.named)
      EXPECT_NE(r.err.find(named), std::string::npos) << input << " gave " << r.err;
  }
}

// The port list, natively from SIO_PORTS (a pseudo-terminal is virtual),
// under Wine from the ports Wine maps (it has no Ports-class devices:
// nothing is known of them); the report's entries carry the same fields.
TEST_F(FinderSearch, ListPortsNamesEachPortAndWhatItIsThenExits0) {
  auto sim = StartSim(ScanTool(38400));
  ASSERT_TRUE(sim);
  const std::vector<Port> ports{{5, sim->SlavePath()}};
  const RunResult text = run_.Run(ports, {"--list-ports"});
  const RunResult json = run_.Run(ports, {"--list-ports", "--json"});
  EXPECT_EQ(text.status + json.status, 0) << text.err << json.err;
  EXPECT_EQ(text.err + json.err, "");
  EXPECT_TRUE(JsonReader(json.out).Parse()) << json.out;
  const std::string kind = UnderWine() ? "unknown" : "virtual";
  const std::string device = UnderWine() ? "\\\\.\\COM5" : sim->SlavePath();
  std::string columns = "\n";  // the line with its columns one blank apart
  for (char c : text.out)
    if (c != ' ' || columns.back() != ' ') columns += c;
  EXPECT_NE(columns.find("\nCOM5 " + device + " " + kind + " - - -\n"), std::string::npos)
      << text.out;
  std::string jsonDevice;
  for (char c : device)
    jsonDevice += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(Count(json.out, "{\"port\": \"COM5\", \"device\": \"" + jsonDevice +
                                "\", \"kind\": \"" + kind + "\", \"vid\": null"),
            1u)
      << json.out;
  const RunResult search = run_.Run(ports, {});
  size_t probes = 0;
  std::istringstream report(search.report);
  for (std::string line; std::getline(report, line);)
    probes += Count(line, "\"port\": \"COM5\"") * Count(line, "false, \"kind\": \"" + kind + "\"");
  EXPECT_EQ(probes, 3u) << search.report;
}

TEST_F(FinderSearch, ReportDashIsStandardOutputAfterTheLog) {
  if (UnderWine()) GTEST_SKIP() << "the program's directory is Wine's there";
  const RunResult r = run_.Run({}, {"--report", "-"});
  EXPECT_EQ(r.status, 0) << r.err;
  const size_t end = r.out.find(Expected::End());
  ASSERT_NE(end, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(end + Expected::End().size()), "{\n  \"probes\": []\n}\n");
  EXPECT_FALSE(fs::exists(run_.Dir() / "-"));
}

TEST_F(FinderSearch, SplitSlowRepliesAndANoisyFloodDoNotHideTheScanTool) {
  Options split = ScanTool(38400);
  split.delayMs = 60;
  split.splitPieces = 6;
  split.gapMs = 25;
  Options flood;
  flood.baud = 0;
  flood.flood = 200000;
  auto noisy = StartSim(flood);
  auto tool = StartSim(split);
  ASSERT_TRUE(noisy && tool);
  const std::vector<Port> ports{{8, noisy->SlavePath()}, {9, tool->SlavePath()}};
  const RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  Expected e{{PortLine(ports[0]), PortLine(ports[1])}};
  using E = Expected;
  EXPECT_EQ(r.out, e.Header() + E::Speed(115200, {E::Nothing(8), E::Nothing(9)}) +
                       E::Speed(38400, {E::Nothing(8), E::Found(9)}) +
                       E::Speed(9600, {E::Nothing(8), E::Nothing(9)}) + E::End());
  EXPECT_EQ(r.err, "");
}

TEST_F(FinderSearch, AnInterruptCutsTheWaitsShortAndEndsWith130) {
  if (UnderWine()) GTEST_SKIP() << "signals do not reach a program under Wine as they do natively";
  Options silent;
  silent.silent = true;
  silent.baud = 0;
  auto a = StartSim(silent);
  auto b = StartSim(silent);
  ASSERT_TRUE(a && b);
  const std::vector<Port> ports{{3, a->SlavePath()}, {4, b->SlavePath()}};
  // Six probes of more than a second each; interrupted in the first.
  const RunResult r = run_.Run(ports, {}, 500);
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_LT(r.seconds, 4.0) << "the waits were not cut short";
  EXPECT_TRUE(r.out.size() >= Expected::End().size() &&
              r.out.substr(r.out.size() - Expected::End().size()) == Expected::End())
      << r.out;
  EXPECT_EQ(Count(r.out, "nothing"), 6u) << "every probe still ran: " << r.out;
  EXPECT_EQ(r.err, "") << "the ports still opened and closed as usual";
}

// A device unplugged at a given moment of its first probe, as the program
// itself reports it: the search goes on over the other port and to its end,
// the unplugged port's line ends in "nothing", and the boxes are the ones
// for a port that has gone. The worker threads' own reports of the lost
// device ("Device read error") come as they see it; they are counted, not
// placed.
struct UnplugCase {
  const char* name;
  Options device;
  // The boxes of the first probe after the unplug; every later probe of the
  // port is one of a port that does not exist.
  int closedBoxes;
  bool workerReport;
};

Options SilentAnySpeed() {
  Options o;
  o.silent = true;
  o.baud = 0;
  return o;
}

Options GoneAfter(int64_t bytes, Options o = SilentAnySpeed()) {
  o.hangupAfterBytes = bytes;
  return o;
}

Options GoneOnOpen() {
  Options o = GoneAfter(-1);
  o.hangupOnOpen = true;
  return o;
}

const UnplugCase kUnplugCases[] = {
    // The open either fails (the device is gone: "does not exist" and the
    // three commands find the port closed) or wins the race and the
    // commands find it closed once the loss is seen.
    {"DuringTheOpen", GoneOnOpen(), -1, false},
    {"InTheFirstWait", GoneAfter(1), 2, true},
    {"InTheSecondWait", GoneAfter(6), 1, true},
    {"InTheThirdWait", GoneAfter(11), 0, true},
    {"WhileACommandGoesOut", GoneAfter(3), 1, true},
    {"WhileTheIdentifierGoesOut", GoneAfter(17, Interpreter(115200)), 0, true},
};

class FinderUnplug : public ::testing::TestWithParam<UnplugCase> {
 protected:
  void SetUp() override {
    if (UnderWine()) {
      GTEST_SKIP() << "Wine opens a COM port whose device has gone and fails later, with no error "
                      "of its own";
    }
    if (Env("SIO_E2E_FINDER").empty() || !fs::exists(Env("SIO_E2E_FINDER"))) {
      GTEST_SKIP() << "SIO_E2E_FINDER names no finder program";
    }
  }
  FinderRun run_;
};

void PrintTo(const UnplugCase& c, std::ostream* os) {
  *os << c.name;
}

TEST_P(FinderUnplug, TheSearchGoesOnAndTheGonePortSaysSo) {
  const UnplugCase& c = GetParam();
  auto tool = StartSim(ScanTool(38400));
  // Through a link of its own, which goes with the device: the number of
  // its terminal may be taken by another program at once.
  Options o = c.device;
  o.link = (run_.Dir() / "com5").string();
  auto gone = StartSim(o);
  ASSERT_TRUE(tool && gone);
  const std::vector<Port> ports{{4, tool->SlavePath()}, {5, o.link}};
  const RunResult r = run_.Run(ports, {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(gone->HungUp());
  using E = Expected;
  Expected e{{PortLine(ports[0]), PortLine(ports[1])}};
  EXPECT_EQ(r.out, e.Header() + E::Speed(115200, {E::Nothing(4), E::Nothing(5)}) +
                       E::Speed(38400, {E::Found(4), E::Nothing(5)}) +
                       E::Speed(9600, {E::Nothing(4), E::Nothing(5)}) + E::End());
  // The worker threads' reports apart, the boxes in order.
  std::string boxes;
  size_t reports = 0;
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    if (line == "[message box] Device read error" || line == "[message box] Device write error") {
      ++reports;
    } else {
      boxes += line + "\n";
    }
  }
  const std::string goneProbe = kBoxMissing + kBoxClosed + kBoxClosed + kBoxClosed;
  if (c.closedBoxes >= 0) {
    std::string first;
    for (int i = 0; i < c.closedBoxes; ++i)
      first += kBoxClosed;
    EXPECT_EQ(boxes, first + goneProbe + goneProbe) << r.err;
  } else {
    const bool openFailed = boxes == goneProbe + goneProbe + goneProbe;
    const bool openWon = boxes.size() >= 2 * goneProbe.size() &&
                         boxes.substr(boxes.size() - 2 * goneProbe.size()) == goneProbe + goneProbe;
    EXPECT_TRUE(openFailed || openWon) << r.err;
  }
  if (c.workerReport) {
    EXPECT_GE(reports, 1u) << r.err;
  }
  EXPECT_EQ(Count(tool->ReceivedText(), "AT@3"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Phases, FinderUnplug, ::testing::ValuesIn(kUnplugCases),
                         [](const ::testing::TestParamInfo<UnplugCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
