// The modem-line watcher's thread and signal, over a wait that really blocks
// in the kernel: a read of a pipe stands in for the driver's TIOCMIWAIT (a
// byte is a line change, the writer's close a hang-up), since no device here
// has modem lines.
#include "platform/comm_line_watch_posix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <signal.h>
#include <unistd.h>

namespace {

using sio::platform::comm_posix::LineWaitOps;
using sio::platform::comm_posix::LineWatcher;
using sio::platform::comm_posix::LineWatchListener;
using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_counted{0};

int PipeWait(int fd) {
  char c = 0;
  const ssize_t n = ::read(fd, &c, 1);
  if (n == 1) return 0;
  if (n == 0) errno = EIO;
  return -1;
}

int RefusedWait(int) {
  errno = ENOTTY;
  return -1;
}

bool Counted(int, uint64_t& changes) {
  changes = g_counted.load();
  return true;
}

size_t ThreadCount() {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++n;
  }
  return n;
}

class Listener final : public LineWatchListener {
 public:
  void LinesChanged() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++changes_;
    cv_.notify_all();
  }
  void WatchEnded(const LineWatcher*) override {
    std::lock_guard<std::mutex> lock(mu_);
    ended_ = true;
    cv_.notify_all();
  }
  // Waits up to 2 s for more than `seen` changes.
  bool ChangesBeyond(int seen) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(2), [&] { return changes_ > seen; });
  }
  int Changes() {
    std::lock_guard<std::mutex> lock(mu_);
    return changes_;
  }
  bool Ended() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(2), [&] { return ended_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int changes_ = 0;
  bool ended_ = false;
};

class LineWatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, ::pipe(fds_));
    // A runtime that starts a thread of its own at the first thread start
    // (the thread sanitizer's) has it before any count.
    std::thread([] {}).join();
  }
  void TearDown() override {
    for (int fd : fds_) {
      if (fd >= 0) ::close(fd);
    }
  }
  void CloseWriter() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  void Change() { ASSERT_EQ(1, ::write(fds_[1], "c", 1)); }

  int fds_[2] = {-1, -1};
  std::shared_ptr<Listener> listener_ = std::make_shared<Listener>();
};

TEST_F(LineWatch, StartsOnlyWhereTheDriverWaitsAndStopEndsItWhereverTheSignalLands) {
  // The stop's signal may come just before the thread goes into the wait;
  // many starts and stops meet it at different points.
  LineWaitOps ops;
  ops.wait = &PipeWait;
  ops.count = &Counted;
  const size_t before = ThreadCount();
  // A driver without the wait gets no watcher, and no thread stays.
  LineWaitOps refused;
  refused.wait = &RefusedWait;
  EXPECT_EQ(nullptr, LineWatcher::Start(listener_, fds_[0], refused));
  EXPECT_EQ(before, ThreadCount());
  const auto start = Clock::now();
  for (int i = 0; i < 50; ++i) {
    const auto w = LineWatcher::Start(listener_, fds_[0], ops);
    ASSERT_NE(nullptr, w) << i;
    EXPECT_FALSE(w->Ended()) << i;
    if (i == 0) {
      EXPECT_EQ(before + 1, ThreadCount());
    }
    if (i % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(50 * i));
    w->Stop();
    ASSERT_TRUE(w->Ended()) << i;
  }
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(before, ThreadCount());
  EXPECT_EQ(0, listener_->Changes()) << "a start or stop is no line change";
}

TEST_F(LineWatch, ToldOfEachChangeAndOfTheHangUp) {
  LineWaitOps ops;
  ops.wait = &PipeWait;
  ops.count = &Counted;
  const auto w = LineWatcher::Start(listener_, fds_[0], ops);
  ASSERT_NE(nullptr, w);

  // A change the wait sees.
  Change();
  ASSERT_TRUE(listener_->ChangesBeyond(0));
  const int afterWait = listener_->Changes();

  // A change only the counters show (it came between two waits): seen when
  // the next wait starts, here after new settings renew it.
  g_counted += 1;
  w->Renew();
  ASSERT_TRUE(listener_->ChangesBeyond(afterWait));
  const int afterCount = listener_->Changes();

  // New settings alone are no change.
  w->Renew();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(afterCount, listener_->Changes());

  // The device goes: the watcher says so and ends by itself.
  CloseWriter();
  ASSERT_TRUE(listener_->Ended());
  const auto start = Clock::now();
  w->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(w->Ended());
}

void ProgramHandler(int) {}

TEST(LineWaitSignal, TakesNoSignalTheProgramHandlesAndRestartsNoWait) {
  const int chosen = sio::platform::comm_posix::LineWaitSignal();
  ASSERT_GE(chosen, SIGRTMIN);
  ASSERT_LE(chosen, SIGRTMAX);
  struct sigaction ours {};
  ASSERT_EQ(0, ::sigaction(chosen, nullptr, &ours));
  EXPECT_NE(SIG_DFL, ours.sa_handler);
  EXPECT_EQ(0, ours.sa_flags & SA_RESTART) << "the wait would not return";

  // The program handles the highest signal still free; another choice passes
  // it over and leaves its handler alone.
  int taken = -1;
  for (int sig = SIGRTMAX; sig >= SIGRTMIN && taken < 0; --sig) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) taken = sig;
  }
  ASSERT_GE(taken, 0);
  struct sigaction program {};
  program.sa_handler = ProgramHandler;
  sigemptyset(&program.sa_mask);
  program.sa_flags = SA_RESTART;
  ASSERT_EQ(0, ::sigaction(taken, &program, nullptr));
  const int next = sio::platform::comm_posix::ChooseLineWaitSignal();
  struct sigaction after {};
  ASSERT_EQ(0, ::sigaction(taken, nullptr, &after));
  EXPECT_EQ(ProgramHandler, after.sa_handler);
  EXPECT_EQ(SA_RESTART, after.sa_flags & SA_RESTART);
  EXPECT_NE(taken, next);
  EXPECT_NE(chosen, next);
  EXPECT_LT(next, taken);

  // Back to the defaults for the rest of the run.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(taken, &dfl, nullptr);
  if (next >= 0) ::sigaction(next, &dfl, nullptr);
}

}  // namespace
