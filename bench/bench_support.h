// Helpers shared by the benchmarks that run the finder against simulated
// devices: simulators in processes of their own (so that their processor
// time and memory are not counted as ours), the process's processor time
// and resident size, and medians with ranges. Linux only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// User + system time of the whole process, in milliseconds.
inline double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// The same for the calling thread alone.
inline double ThreadCpuMs() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM); -1 when missing.
inline double StatusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':')
      return std::stod(line.substr(n + 1));
  }
  return -1;
}

// Starts the peak resident size (VmHWM) afresh from the current size.
inline bool ResetPeakRss() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

struct Stats {
  double median = 0;
  double low = 0;
  double high = 0;
};

inline Stats Summarise(std::vector<double> v) {
  Stats s;
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  s.median = n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
  s.low = v.front();
  s.high = v.back();
  return s;
}

// "median (low-high)" with the given number of decimals.
inline std::string Show(const Stats& s, int decimals = 1) {
  char text[96];
  std::snprintf(text, sizeof text, "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.low,
                decimals, s.high);
  return text;
}

// The simulator program built beside the benchmarks.
inline std::string SimulatorProgram() {
  char self[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
  dir = dir.substr(0, dir.rfind('/'));
  return dir + "/../tools/elm327-sim/elm327-sim";
}

// One elm327-sim process; its device path is read from its first line of
// output. Stopping it (SIGTERM) closes the terminal: a host sees a hang-up.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& options) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {SimulatorProgram()};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char c = 0;
    while (pid_ > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
      line.push_back(c);
    ::close(out[0]);
    path_ = line;
  }
  ~SimProcess() { Stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ok() const { return pid_ > 0 && !path_.empty(); }
  const std::string& Path() const { return path_; }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

// The options of simulated device i of a mixed set: a scan tool answering
// at 38400, an interpreter at 9600 without an identifier (it is sent one),
// one at 115200 that carries it, and one that never answers.
inline std::vector<std::string> MixedDevice(size_t i) {
  switch (i % 4) {
    case 0:
      return {"--scan-tool", "--baud", "38400"};
    case 1:
      return {"--baud", "9600"};
    case 2:
      return {"--baud", "115200", "--id", "ELM327_CLONE"};
    default:
      return {"--silent"};
  }
}

}  // namespace bench
