// The simulated ELM327 / scan-tool device, driven over a real pseudo-terminal
// the way a host drives a serial adapter: exact byte streams, speed, timing,
// hang-up and the command line.
#include "tools/elm327-sim/elm327_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/sim_host.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sio_test::SimHost;

std::string Show(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class SimDevice : public ::testing::Test {
 protected:
  // Starts a simulator with `options` and opens its port at `baud`.
  void Plug(elmsim::Options options = elmsim::Options(), uint32_t baud = 38400) {
    sim_ = std::make_unique<elmsim::Simulator>(std::move(options));
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
    ASSERT_TRUE(host_.Open(sim_->SlavePath(), baud, error)) << error;
  }

  // Sends and collects the reply up to ">", then makes sure nothing follows.
  std::string Exchange(const std::string& command) {
    std::string reply = host_.Exchange(command);
    reply += host_.ReadFor(60ms);
    return reply;
  }

  void TearDown() override {
    host_.Close();
    if (sim_) sim_->Stop();
  }

  std::unique_ptr<elmsim::Simulator> sim_;
  SimHost host_;
};

TEST_F(SimDevice, IdentificationCommandsGiveTheObservedByteStreams) {
  Plug();
  EXPECT_EQ(Show(host_.Write("\r") ? host_.ReadFor(150ms) : ""), Show("\r"));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\r?\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@3 ELM327_CLONE\r")), Show("AT@3 ELM327_CLONE\rOK\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\rELM327_CLONE\r\r>"));
  EXPECT_EQ(sim_->StoredIdentifier(), "ELM327_CLONE");
}

TEST_F(SimDevice, BareCarriageReturnRepeatsThePreviousCommand) {
  Plug();
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
  EXPECT_EQ(Show(Exchange("\r")), Show("\rOBDII to RS232 Interpreter\r\r>"));
  EXPECT_EQ(Show(Exchange("\r")), Show("\rOBDII to RS232 Interpreter\r\r>"));
  EXPECT_EQ(Show(Exchange("ATI\r")), Show("ATI\rELM327 v1.5\r\r>"));
  // Blanks alone are no command either.
  EXPECT_EQ(Show(Exchange("  \r")), Show("  \rELM327 v1.5\r\r>"));
}

TEST_F(SimDevice, CaseBlanksAndControlCharactersAreIgnoredButEchoed) {
  Plug();
  EXPECT_EQ(Show(Exchange("a t@ 1\n\t\r")), Show("a t@ 1\n\t\rOBDII to RS232 Interpreter\r\r>"));
  EXPECT_EQ(Show(Exchange("xyz\r")), Show("xyz\r?\r\r>"));
  const std::string longLine(100, 'A');
  EXPECT_EQ(Show(Exchange(longLine + "T@1\r")), Show(longLine + "T@1\r?\r\r>"));
}

TEST_F(SimDevice, IdentifierCanBeStoredOnceOnly) {
  Plug();
  // Texts that are not 12 characters from "!" to "_" store nothing.
  EXPECT_EQ(Show(Exchange("AT@3 SHORT\r")), Show("AT@3 SHORT\r?\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@3 ELM327_CLON{\r")), Show("AT@3 ELM327_CLON{\r?\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@3 ELM327_CLONE1\r")), Show("AT@3 ELM327_CLONE1\r?\r\r>"));
  EXPECT_EQ(sim_->StoredIdentifier(), "");
  // Lower case is upper case to the device.
  EXPECT_EQ(Show(Exchange("at@3 elm327_clone\r")), Show("at@3 elm327_clone\rOK\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@3 OTHER_VALUE1\r")), Show("AT@3 OTHER_VALUE1\r?\r\r>"));
  // Repeating the successful command does not write again either.
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\rELM327_CLONE\r\r>"));
  EXPECT_EQ(sim_->StoredIdentifier(), "ELM327_CLONE");
}

TEST_F(SimDevice, PresetIdentifierIsFixed) {
  elmsim::Options options;
  options.identifier = "KELVANE_0001";
  Plug(options);
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\rKELVANE_0001\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@3 ELM327_CLONE\r")), Show("AT@3 ELM327_CLONE\r?\r\r>"));
  EXPECT_EQ(sim_->StoredIdentifier(), "KELVANE_0001");
}

TEST_F(SimDevice, EchoOffAndResetBringsItBack) {
  Plug();
  EXPECT_EQ(Show(Exchange("ATE0\r")), Show("ATE0\rOK\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("OBDII to RS232 Interpreter\r\r>"));
  const auto start = Clock::now();
  EXPECT_EQ(Show(Exchange("ATZ\r")), Show("ELM327 v1.5\r\r>"));
  EXPECT_GE(MsSince(start), 500);  // the reset takes its time
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\r?\r\r>"));
  EXPECT_EQ(Show(Exchange("ATE1\r")), Show("ATE1\rOK\r\r>"));
}

TEST_F(SimDevice, ScanToolAnnouncesItsMaker) {
  elmsim::Options options;
  options.scanTool = true;
  Plug(options);
  EXPECT_EQ(Show(Exchange("\r")), Show("\rKELVANE ELM327 v1.5\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rKELVANE OBD-II Scan Tool\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\r?\r\r>"));
  EXPECT_EQ(Show(Exchange("ATI\r")), Show("ATI\rKELVANE ELM327 v1.5\r\r>"));
}

TEST_F(SimDevice, ScanToolWithTheGenericDescription) {
  elmsim::Options options;
  options.scanTool = true;
  options.description = "OBDII to RS232 Interpreter";
  Plug(options);
  EXPECT_EQ(Show(Exchange("\r")), Show("\rKELVANE ELM327 v1.5\r\r>"));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
}

TEST_F(SimDevice, DeviceSeesTheSpeedTheHostSets) {
  Plug();
  EXPECT_EQ(sim_->LineSpeed(), 38400u);
  ASSERT_TRUE(host_.SetSpeed(9600));
  EXPECT_EQ(sim_->LineSpeed(), 9600u);
  ASSERT_TRUE(host_.SetSpeed(115200));
  EXPECT_EQ(sim_->LineSpeed(), 115200u);
}

TEST_F(SimDevice, WrongSpeedGivesOnlyHighBitNoiseAndNoPrompt) {
  Plug(elmsim::Options(), 115200);
  for (uint32_t baud : {115200u, 9600u}) {
    ASSERT_TRUE(host_.SetSpeed(baud));
    const std::string sent = "\rAT@1\rAT@2\rATI\r";
    ASSERT_TRUE(host_.Write(sent));
    const std::string noise = host_.ReadFor(300ms);
    // The echo comes back byte for byte, as noise.
    EXPECT_EQ(noise.size(), sent.size()) << baud;
    for (unsigned char c : noise)
      EXPECT_GE(c, 0x80) << baud << ": " << Show(noise);
    EXPECT_EQ(noise.find('>'), std::string::npos);
  }
  // Garbage was no command to it: at the right speed it starts afresh.
  ASSERT_TRUE(host_.SetSpeed(38400));
  EXPECT_EQ(Show(host_.Write("\r") ? host_.ReadFor(150ms) : ""), Show("\r"));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
}

TEST_F(SimDevice, AnswersOnlyAtItsOwnSpeed) {
  elmsim::Options options;
  options.baud = 9600;
  Plug(options, 38400);
  ASSERT_TRUE(host_.Write("AT@1\r"));
  const std::string noise = host_.ReadFor(200ms);
  EXPECT_EQ(noise.find('>'), std::string::npos) << Show(noise);
  ASSERT_TRUE(host_.SetSpeed(9600));
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
}

TEST_F(SimDevice, DelayedAnswerFollowsTheImmediateEcho) {
  elmsim::Options options;
  options.delayMs = 200;
  Plug(options);
  const auto start = Clock::now();
  ASSERT_TRUE(host_.Write("AT@1\r"));
  // The echo comes on its own: none of the answer is there yet.
  EXPECT_EQ(Show(host_.ReadCount(5, 2000ms)), Show("AT@1\r"));
  const std::string answer = host_.ReadUntil(">", 3000ms);
  EXPECT_GE(MsSince(start), 200);
  EXPECT_EQ(Show(answer), Show("OBDII to RS232 Interpreter\r\r>"));
}

TEST_F(SimDevice, SplitAnswerArrivesCompleteInPieces) {
  elmsim::Options options;
  options.splitPieces = 5;
  options.gapMs = 40;
  Plug(options);
  const auto start = Clock::now();
  ASSERT_TRUE(host_.Write("AT@1\r"));
  // Pieces 40 ms apart do not all come in one read.
  std::string reply;
  int reads = 0;
  while (reply.find('>') == std::string::npos && MsSince(start) < 3000) {
    const std::string part = host_.ReadFor(10ms);
    if (!part.empty()) ++reads;
    reply += part;
  }
  EXPECT_GE(MsSince(start), 4 * 40);
  EXPECT_GE(reads, 2);
  EXPECT_EQ(Show(reply), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
}

TEST_F(SimDevice, HangUpIsSeenByTheHost) {
  fs::path link = fs::temp_directory_path() / ("elm-hangup-" + std::to_string(::getpid()));
  elmsim::Options options;
  options.hangupAfterMs = 200;
  options.link = link.string();
  const auto start = Clock::now();
  Plug(options);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\r?\r\r>"));
  pollfd p{host_.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);
  EXPECT_GE(MsSince(start), 200);
  EXPECT_NE(p.revents & POLLHUP, 0);
  char byte = 0;
  EXPECT_LE(::read(host_.fd(), &byte, 1), 0);
  EXPECT_EQ(::write(host_.fd(), "\r", 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(sim_->WaitForHangUp(1000ms));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));  // unplugged: the name is gone
}

// The faults a test pulls at a given moment: what the device heard before it
// went, and that the host sees the hang-up (or, for a device that never
// reads, that the host's writes end up blocked).
TEST_F(SimDevice, FaultsHappenExactlyWhereAsked) {
  struct Case {
    const char* name;
    int64_t afterBytes;
    bool onOpen;
    bool noRead;
    uint32_t hostBaud;
    const char* heard;  // nullptr: no hang-up
  };
  const Case cases[] = {
      {"after the first command", 1, false, false, 38400, "\r"},
      {"inside the second command", 3, false, false, 38400, "\rAT"},
      {"after the third command", 11, false, false, 38400, "\rAT@1\rAT@2\r"},
      {"when the host sets its speed", -1, true, false, 115200, ""},
      {"never reading", -1, false, true, 38400, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    elmsim::Options options;
    options.hangupAfterBytes = c.afterBytes;
    options.hangupOnOpen = c.onOpen;
    options.noRead = c.noRead;
    Plug(options, c.hostBaud);
    if (c.heard == nullptr) {
      // Far more than the terminal holds: the host's writes stop being taken.
      const std::string block(4096, 'x');
      size_t accepted = 0;
      bool blocked = false;
      for (int i = 0; i < 1024 && !blocked; ++i) {
        const ssize_t n = ::write(host_.fd(), block.data(), block.size());
        if (n > 0) accepted += static_cast<size_t>(n);
        blocked = n < 0 && errno == EAGAIN;
      }
      EXPECT_TRUE(blocked) << accepted;
      EXPECT_EQ(sim_->ReceivedText(), "");
      EXPECT_FALSE(sim_->HungUp());
    } else {
      host_.Write("\rAT@1\rAT@2\rAT@2\r");
      EXPECT_TRUE(sim_->WaitForHangUp(2000ms));
      EXPECT_EQ(Show(sim_->ReceivedText()), Show(c.heard));
      pollfd p{host_.fd(), POLLIN, 0};
      host_.ReadFor(50ms);
      ASSERT_EQ(::poll(&p, 1, 1000), 1);
      EXPECT_NE(p.revents & POLLHUP, 0);
    }
    host_.Close();
    sim_->Stop();
  }
}

TEST_F(SimDevice, StopHangsUpTooAndTheSlaveCannotBeReopened) {
  Plug();
  const std::string path = sim_->SlavePath();
  sim_->Stop();
  pollfd p{host_.fd(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  host_.Close();
  std::string error;
  SimHost again;
  // The pty is gone (or, if its number was reused meanwhile, not ours).
  if (again.Open(path, 38400, error)) {
    EXPECT_EQ(Show(again.Exchange("AT@1\r", 300ms)).find("OBDII"), std::string::npos);
  }
}

TEST_F(SimDevice, SilentDeviceReadsButNeverAnswers) {
  elmsim::Options options;
  options.silent = true;
  Plug(options);
  ASSERT_TRUE(host_.Write("\rAT@1\r"));
  EXPECT_EQ(Show(host_.ReadFor(300ms)), "");
  ASSERT_TRUE(sim_->WaitForReceived(6, 1000ms));
  EXPECT_EQ(Show(sim_->ReceivedText()), Show("\rAT@1\r"));
}

TEST_F(SimDevice, FloodAnswersAnyInputWithExactlyThatMany) {
  elmsim::Options options;
  options.flood = 5000;
  Plug(options);
  ASSERT_TRUE(host_.Write("\r"));
  const std::string flood = host_.ReadCount(5000, 3000ms);
  EXPECT_EQ(flood.size(), 5000u);
  EXPECT_EQ(host_.ReadFor(100ms).size(), 0u);
  EXPECT_EQ(flood.find('>'), std::string::npos);
}

TEST_F(SimDevice, DeviceStaysPluggedInWhileHostsComeAndGo) {
  Plug();
  EXPECT_EQ(Show(Exchange("AT@3 ELM327_CLONE\r")), Show("AT@3 ELM327_CLONE\rOK\r\r>"));
  host_.Close();
  std::string error;
  ASSERT_TRUE(host_.Open(sim_->SlavePath(), 38400, error)) << error;
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\rELM327_CLONE\r\r>"));
  EXPECT_FALSE(sim_->HungUp());
}

TEST_F(SimDevice, ReceivedBytesAreLoggedWithTheirTimes) {
  const fs::path logFile =
      fs::temp_directory_path() / ("elm-log-" + std::to_string(::getpid()) + ".txt");
  elmsim::Options options;
  options.logFile = logFile.string();
  Plug(options);
  EXPECT_EQ(Show(Exchange("AT@1\r")), Show("AT@1\rOBDII to RS232 Interpreter\r\r>"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Show(Exchange("AT@2\r")), Show("AT@2\r?\r\r>"));
  const std::vector<elmsim::ReceivedByte> received = sim_->Received();
  ASSERT_EQ(received.size(), 10u);
  EXPECT_GE(received[5].timeMs - received[0].timeMs, 100.0);
  for (size_t i = 1; i < received.size(); ++i)
    EXPECT_GE(received[i].timeMs, received[i - 1].timeMs);
  sim_->Stop();

  std::ifstream in(logFile);
  std::vector<std::pair<double, unsigned>> lines;
  double ms = 0;
  std::string hex;
  while (in >> ms >> hex)
    lines.emplace_back(ms, std::stoul(hex, nullptr, 16));
  fs::remove(logFile);
  ASSERT_EQ(lines.size(), received.size());
  const std::string sent = "AT@1\rAT@2\r";
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].second, static_cast<unsigned char>(sent[i])) << i;
    EXPECT_NEAR(lines[i].first, received[i].timeMs, 0.001) << i;
  }
}

TEST(SimOptions, ReadsEveryOption) {
  const char* argv[] = {"elm327-sim",
                        "--baud",
                        "9600",
                        "--scan-tool",
                        "--description",
                        "Some Adapter",
                        "--banner",
                        "X v2",
                        "--id",
                        "ELM327_CLONE",
                        "--delay",
                        "30",
                        "--split",
                        "3",
                        "--gap",
                        "7",
                        "--silent",
                        "--flood",
                        "12",
                        "--hangup-after",
                        "900",
                        "--hangup-after-bytes",
                        "11",
                        "--hangup-on-open",
                        "--no-read",
                        "--log",
                        "/tmp/l",
                        "--link",
                        "/tmp/k"};
  elmsim::Options options;
  std::string error;
  ASSERT_TRUE(elmsim::ParseOptions(static_cast<int>(std::size(argv)), argv, options, error))
      << error;
  EXPECT_EQ(options.baud, 9600u);
  EXPECT_TRUE(options.scanTool);
  EXPECT_EQ(options.description, "Some Adapter");
  EXPECT_EQ(options.banner, "X v2");
  EXPECT_EQ(options.identifier, "ELM327_CLONE");
  EXPECT_EQ(options.delayMs, 30u);
  EXPECT_EQ(options.splitPieces, 3u);
  EXPECT_EQ(options.gapMs, 7u);
  EXPECT_TRUE(options.silent);
  EXPECT_EQ(options.flood, 12u);
  EXPECT_EQ(options.hangupAfterMs, 900);
  EXPECT_EQ(options.hangupAfterBytes, 11);
  EXPECT_TRUE(options.hangupOnOpen);
  EXPECT_TRUE(options.noRead);
  EXPECT_EQ(options.logFile, "/tmp/l");
  EXPECT_EQ(options.link, "/tmp/k");
}

TEST(SimOptions, RefusesBadOptions) {
  const std::vector<std::vector<const char*>> bad = {
      {"elm327-sim", "--baud"},
      {"elm327-sim", "--baud", "fast"},
      {"elm327-sim", "--baud", "-1"},
      {"elm327-sim", "--split", "0"},
      {"elm327-sim", "--id", "SHORT"},
      {"elm327-sim", "--id", "elm327_clone"},
      {"elm327-sim", "--delay", "1e3"},
      {"elm327-sim", "--whatever"},
      {"elm327-sim", "--hangup-after", "99999999999999999999"},
      {"elm327-sim", "--hangup-after-bytes", "-3"},
  };
  for (const auto& args : bad) {
    elmsim::Options options;
    std::string error;
    EXPECT_FALSE(elmsim::ParseOptions(static_cast<int>(args.size()), args.data(), options, error))
        << args.back();
    EXPECT_FALSE(error.empty());
  }
}

TEST(SimApi, RefusesAnInvalidPresetIdentifierAndASecondStart) {
  elmsim::Options options;
  options.identifier = "short";
  elmsim::Simulator bad(options);
  std::string error;
  EXPECT_FALSE(bad.Start(error));
  EXPECT_FALSE(error.empty());

  elmsim::Simulator good;
  ASSERT_TRUE(good.Start(error)) << error;
  EXPECT_FALSE(good.Start(error));
}

TEST(SimApi, LinkRefusesToReplaceAFile) {
  const fs::path file = fs::temp_directory_path() / ("elm-file-" + std::to_string(::getpid()));
  std::ofstream(file) << "keep";
  elmsim::Options options;
  options.link = file.string();
  elmsim::Simulator sim(options);
  std::string error;
  EXPECT_FALSE(sim.Start(error));
  std::ifstream in(file);
  std::string content;
  in >> content;
  EXPECT_EQ(content, "keep");
  fs::remove(file);
}

// The command-line program, as the demo and the end-to-end tests run it.
class SimProgram : public ::testing::Test {
 protected:
  static fs::path Program() {
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "elm327-sim" /
           "elm327-sim";
  }

  // Starts the program; its stdout comes through `out`.
  pid_t Run(std::vector<std::string> args, FILE*& out) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    const std::string program = Program().string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(pipeFds[1], 1);
      ::close(pipeFds[0]);
      ::close(pipeFds[1]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    out = ::fdopen(pipeFds[0], "r");
    return pid;
  }

  static int WaitExit(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
};

TEST_F(SimProgram, PrintsItsPortAnswersThroughTheLinkAndEndsOnTerm) {
  ASSERT_TRUE(fs::exists(Program())) << Program();
  const fs::path link = fs::temp_directory_path() / ("elm-cli-" + std::to_string(::getpid()));
  FILE* out = nullptr;
  const pid_t pid = Run({"--scan-tool", "--link", link.string()}, out);
  ASSERT_GT(pid, 0);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  std::string path(line);
  ASSERT_FALSE(path.empty());
  path.pop_back();
  EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  EXPECT_EQ(fs::read_symlink(link).string(), path);

  SimHost host;
  std::string error;
  ASSERT_TRUE(host.Open(link.string(), 38400, error)) << error;
  EXPECT_EQ(Show(host.Exchange("\r")), Show("\rKELVANE ELM327 v1.5\r\r>"));
  host.Close();

  ::kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  std::fclose(out);
}

TEST_F(SimProgram, UnplugsAndEndsByItself) {
  ASSERT_TRUE(fs::exists(Program())) << Program();
  FILE* out = nullptr;
  const auto start = Clock::now();
  const pid_t pid = Run({"--hangup-after", "150"}, out);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_GE(MsSince(start), 150);
  std::fclose(out);
}

TEST_F(SimProgram, BadOptionExitsWithUsage) {
  ASSERT_TRUE(fs::exists(Program())) << Program();
  FILE* out = nullptr;
  const pid_t pid = Run({"--bogus"}, out);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitExit(pid), 2);
  std::fclose(out);
}

}  // namespace
