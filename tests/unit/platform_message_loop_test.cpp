// Hidden windows, posted and sent messages, waiting, the main loop, the event
// source and the hand-over to the user-interface thread, on real threads.
#include "platform/message_loop.h"
#include "tests/common/process_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace sio::platform;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// What a window saw: every call of its procedure, with the thread it ran on.
struct Seen {
  uint32_t message;
  WParam wParam;
  LParam lParam;
  std::thread::id thread;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Seen> calls;
  // Optional extra behaviour of the procedure, run after recording.
  std::function<LResult(WindowHandle, uint32_t, WParam, LParam)> action;

  std::vector<Seen> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls.size();
  }
};

// Answers lParam * 2 + 1 unless an action says otherwise.
LResult RecordingProc(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam) {
  auto* recorder = static_cast<Recorder*>(GetWindowUserData(hwnd));
  if (recorder == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(recorder->mutex);
    recorder->calls.push_back(Seen{msg, wParam, lParam, std::this_thread::get_id()});
  }
  if (recorder->action) return recorder->action(hwnd, msg, wParam, lParam);
  return lParam * 2 + 1;
}

// Dispatches the calling thread's messages until done() or the time passes.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > timeoutMs) return false;
    Message m;
    if (PeekOneMessage(m)) {
      TranslateAndDispatch(m);
    } else {
      WaitForMessage(10);
    }
  }
  return true;
}

void DrainQueue() {
  Message m;
  while (PeekOneMessage(m)) {
  }
}

class MessageLoopFixture : public ::testing::Test {
 protected:
  void SetUp() override { DrainQueue(); }
  void TearDown() override {
    DoneUserInterfaceThread();
    for (WindowHandle w : windows_)
      DestroyHiddenWindow(w);
    DrainQueue();
  }
  WindowHandle MakeWindow(Recorder& recorder) {
    WindowHandle w = CreateHiddenWindow("SioTestWindow", RecordingProc, &recorder);
    EXPECT_NE(w, nullptr);
    windows_.push_back(w);
    return w;
  }
  std::vector<WindowHandle> windows_;
};

class PlatformWindows : public MessageLoopFixture {};
class PlatformSentMessages : public MessageLoopFixture {};
class PlatformMessageWait : public MessageLoopFixture {};
class PlatformHandOver : public MessageLoopFixture {};

constexpr uint32_t kMsgA = kMsgUser + 1;
constexpr uint32_t kMsgB = kMsgUser + 2;
constexpr uint32_t kMsgC = kMsgUser + 3;

// ---------------------------------------------------------------------------
// Windows, posting and pumping

TEST_F(PlatformWindows, PostedMessagesComeBackInOrderOnePerPeek) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  ASSERT_TRUE(PostWindowMessage(w, kMsgA, 1, 10));
  ASSERT_TRUE(PostWindowMessage(w, kMsgB, 2, 20));
  ASSERT_TRUE(PostWindowMessage(w, kMsgC, 3, -30));

  const uint32_t expected[] = {kMsgA, kMsgB, kMsgC};
  for (int i = 0; i < 3; ++i) {
    Message m;
    ASSERT_TRUE(PeekOneMessage(m)) << "message " << i;
    EXPECT_EQ(m.hwnd, w);
    EXPECT_EQ(m.message, expected[i]);
    EXPECT_EQ(m.wParam, static_cast<WParam>(i + 1));
    // Peeking alone runs nothing; dispatching does, with the same parameters.
    EXPECT_EQ(rec.Count(), static_cast<size_t>(i));
    EXPECT_EQ(TranslateAndDispatch(m), m.lParam * 2 + 1);
  }
  Message m;
  EXPECT_FALSE(PeekOneMessage(m));
  auto calls = rec.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].lParam, -30);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
}

TEST_F(PlatformWindows, QuitComesBackAsMessage18WithExitCodeAfterPostedMessages) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  ASSERT_TRUE(PostWindowMessage(w, kMsgA, 0, 0));
  PostQuit(7);
  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgA);
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgQuit);
  EXPECT_EQ(m.message, 18u);
  EXPECT_EQ(m.wParam, 7u);
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_FALSE(PeekOneMessage(m)) << "the quit request is removed like any message";
}

TEST_F(PlatformWindows, ThreadMessageHasNoWindowAndIsNotDispatched) {
  Recorder rec;
  MakeWindow(rec);
  ASSERT_TRUE(PostThreadMessageToSelf(kMsgB, 5, 6));
  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(m.message, kMsgB);
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_EQ(m.lParam, 6);
  EXPECT_EQ(TranslateAndDispatch(m), 0);
  EXPECT_EQ(rec.Count(), 0u);
}

TEST_F(PlatformWindows, UserDataIsPerWindowAndReplaceable) {
  Recorder a, b;
  WindowHandle wa = MakeWindow(a);
  WindowHandle wb = MakeWindow(b);
  EXPECT_NE(wa, wb);
  EXPECT_EQ(GetWindowUserData(wa), &a);
  EXPECT_EQ(GetWindowUserData(wb), &b);
  SetWindowUserData(wa, &b);
  EXPECT_EQ(GetWindowUserData(wa), &b);
  EXPECT_TRUE(IsWindowAlive(wa));
  EXPECT_EQ(CreateHiddenWindow("SioTestWindow", nullptr, nullptr), nullptr);
  EXPECT_EQ(LastWindowError(), errInvalidParameter);
}

TEST_F(PlatformWindows, DestroyedWindowRefusesMessagesAndDropsQueuedOnes) {
  Recorder rec;
  WindowHandle w = CreateHiddenWindow("SioTestWindow", RecordingProc, &rec);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(PostWindowMessage(w, kMsgA, 0, 0));
  ASSERT_TRUE(PostWindowMessage(w, kMsgB, 0, 0));
  ASSERT_TRUE(DestroyHiddenWindow(w));

  EXPECT_FALSE(IsWindowAlive(w));
  EXPECT_EQ(GetWindowUserData(w), nullptr);
  EXPECT_FALSE(PostWindowMessage(w, kMsgC, 0, 0));
  EXPECT_EQ(LastWindowError(), errInvalidWindowHandle);
  LResult result = 99;
  uint32_t error = 0;
  EXPECT_FALSE(SendWindowMessageTimeout(w, kMsgC, 0, 0, 100, &result, &error));
  EXPECT_EQ(error, errInvalidWindowHandle);
  EXPECT_FALSE(DestroyHiddenWindow(w));

  // Whatever was still queued never reaches the procedure.
  Message m;
  while (PeekOneMessage(m))
    TranslateAndDispatch(m);
  EXPECT_EQ(rec.Count(), 0u);

  // A new window does not inherit the stale handle.
  Recorder other;
  WindowHandle w2 = MakeWindow(other);
  EXPECT_NE(w2, w);
  EXPECT_FALSE(PostWindowMessage(w, kMsgA, 0, 0));
  EXPECT_EQ(other.Count(), 0u);
}

TEST_F(PlatformWindows, OnlyTheOwnerThreadDestroysAWindow) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  bool destroyed = true;
  uint32_t error = 0;
  std::thread([&] {
    destroyed = DestroyHiddenWindow(w);
    error = LastWindowError();
  }).join();
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(error, errAccessDenied);
  EXPECT_TRUE(IsWindowAlive(w));
}

TEST_F(PlatformWindows, WindowsOfAnEndedThreadAreGone) {
  Recorder rec;
  WindowHandle w = nullptr;
  const size_t before = HiddenWindowCount();
  std::thread([&] {
    w = CreateHiddenWindow("SioTestWindow", RecordingProc, &rec);
    CreateHiddenWindow("SioOtherTestWindow", RecordingProc, &rec);
    PostWindowMessage(w, kMsgA, 0, 0);
  }).join();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(HiddenWindowCount(), before) << "the ended thread's windows are left behind";
  EXPECT_FALSE(IsWindowAlive(w));
  EXPECT_FALSE(PostWindowMessage(w, kMsgA, 0, 0));
  LResult result = 0;
  uint32_t error = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(SendWindowMessageTimeout(w, kMsgA, 0, 0, 3000, &result, &error));
  EXPECT_EQ(error, errInvalidWindowHandle);
  EXPECT_LT(MsSince(start), 2500) << "no waiting for a thread that is gone";
  EXPECT_EQ(rec.Count(), 0u);
}

TEST_F(PlatformWindows, ExceptionFromAProcedureComesOutOfTheDispatch) {
  Recorder rec;
  rec.action = [](WindowHandle, uint32_t, WParam, LParam) -> LResult {
    throw std::out_of_range("procedure failed");
  };
  WindowHandle w = MakeWindow(rec);
  ASSERT_TRUE(PostWindowMessage(w, kMsgA, 0, 0));
  ASSERT_TRUE(PostWindowMessage(w, kMsgB, 0, 0));
  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_THROW(TranslateAndDispatch(m), std::out_of_range);
  // The loop goes on afterwards: the next message is still there.
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgB);
  EXPECT_THROW(SendWindowMessageTimeout(w, kMsgC, 0, 0, 100, nullptr), std::out_of_range);
  EXPECT_EQ(rec.Count(), 2u);
}

// ---------------------------------------------------------------------------
// Sent messages

TEST_F(PlatformSentMessages, SendFromTheOwnerThreadCallsTheProcedureDirectly) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  LResult result = 0;
  uint32_t error = 123;
  ASSERT_TRUE(SendWindowMessageTimeout(w, kMsgA, 4, 20, 1000, &result, &error));
  EXPECT_EQ(result, 41);
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(rec.Count(), 1u);
  EXPECT_EQ(rec.Calls()[0].thread, std::this_thread::get_id());
  Message m;
  EXPECT_FALSE(PeekOneMessage(m)) << "nothing was queued";
  EXPECT_EQ(rec.Count(), 1u);
}

TEST_F(PlatformSentMessages, SendFromAnotherThreadRunsOnTheOwnerBeforePostedMessages) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  std::atomic<bool> sent{false}, ok{false};
  LResult result = 0;
  std::thread sender([&] {
    ok = SendWindowMessageTimeout(w, kMsgB, 9, 50, 5000, &result);
    sent = true;
  });
  // The sender is blocked until this thread pumps.
  std::this_thread::sleep_for(milliseconds(150));
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(rec.Count(), 0u);
  ASSERT_TRUE(PostWindowMessage(w, kMsgA, 0, 0));

  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgA) << "the sent message is run, never returned";
  auto calls = rec.Calls();
  ASSERT_EQ(calls.size(), 1u) << "the sent message ran first, inside the peek";
  EXPECT_EQ(calls[0].message, kMsgB);
  EXPECT_EQ(calls[0].wParam, 9u);
  EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
  sender.join();
  EXPECT_TRUE(ok.load());
  EXPECT_EQ(result, 101);
}

TEST_F(PlatformSentMessages, SendTimesOutWhenTheOwnerDoesNotPumpAndNeverRunsLater) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  bool ok = true;
  uint32_t error = 0, lastError = 0;
  long long elapsed = 0;
  std::thread sender([&] {
    const auto start = Clock::now();
    LResult result = 0;
    ok = SendWindowMessageTimeout(w, kMsgA, 0, 0, 300, &result, &error);
    elapsed = MsSince(start);
    lastError = LastWindowError();
  });
  sender.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, errTimeout);
  EXPECT_EQ(lastError, errTimeout);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 3000);
  // Pumping afterwards does not run the withdrawn message.
  Message m;
  while (PeekOneMessage(m))
    TranslateAndDispatch(m);
  EXPECT_EQ(rec.Count(), 0u);
}

TEST_F(PlatformSentMessages, SenderThatGaveUpLeavesNothingDanglingForARunningMessage) {
  Recorder rec;
  std::atomic<bool> release{false};
  rec.action = [&](WindowHandle, uint32_t, WParam, LParam) -> LResult {
    while (!release)
      std::this_thread::sleep_for(milliseconds(5));
    return 5;
  };
  WindowHandle w = MakeWindow(rec);
  bool ok = true;
  uint32_t error = 0;
  std::thread sender([&] {
    LResult result = 0;
    ok = SendWindowMessageTimeout(w, kMsgA, 0, 0, 200, &result, &error);
    release = true;  // the procedure finishes only after the sender left
  });
  ASSERT_TRUE(PumpUntil([&] { return rec.Count() == 1; }));
  sender.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, errTimeout);
  EXPECT_EQ(rec.Count(), 1u);
}

TEST_F(PlatformSentMessages, ProcedureThatThrowsStillReleasesTheSender) {
  Recorder rec;
  rec.action = [](WindowHandle, uint32_t, WParam, LParam) -> LResult {
    throw std::runtime_error("sent message failed");
  };
  WindowHandle w = MakeWindow(rec);
  std::atomic<bool> returned{false};
  bool ok = false;
  LResult result = 77;
  std::thread sender([&] {
    ok = SendWindowMessageTimeout(w, kMsgA, 0, 0, 5000, &result);
    returned = true;
  });
  int caught = 0;
  const auto start = Clock::now();
  while (rec.Count() == 0 && MsSince(start) < 5000) {
    // The failure comes out on the owner's side, from the call that ran it.
    Message m;
    try {
      if (PeekOneMessage(m)) TranslateAndDispatch(m);
      if (rec.Count() == 0) WaitForMessage(10);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "sent message failed");
      ++caught;
    }
  }
  EXPECT_EQ(caught, 1);
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_TRUE(ok) << "the message ran; it produced no result";
  EXPECT_EQ(result, 0);
}

TEST_F(PlatformSentMessages, DestroyingTheWindowReleasesAWaitingSender) {
  Recorder rec;
  WindowHandle w = CreateHiddenWindow("SioTestWindow", RecordingProc, &rec);
  ASSERT_NE(w, nullptr);
  std::atomic<bool> returned{false};
  bool ok = true;
  long long elapsed = 0;
  std::thread sender([&] {
    const auto start = Clock::now();
    ok = SendWindowMessageTimeout(w, kMsgA, 0, 0, 5000, nullptr);
    elapsed = MsSince(start);
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(100));
  ASSERT_TRUE(DestroyHiddenWindow(w));
  // Pumping afterwards must neither run the message nor keep the sender.
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }, 4000));
  sender.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(elapsed, 4500);
  EXPECT_EQ(rec.Count(), 0u);
}

TEST_F(PlatformSentMessages, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  Recorder recA, recB;
  WindowHandle wa = nullptr, wb = nullptr;
  std::mutex m;
  std::condition_variable cv;
  int created = 0, go = 0;
  auto wait = [&](int& counter, int target) {
    std::unique_lock<std::mutex> lock(m);
    ++counter;
    cv.notify_all();
    cv.wait(lock, [&] { return counter >= target; });
  };
  bool okA = false, okB = false;
  LResult resA = 0, resB = 0;
  std::thread a([&] {
    wa = CreateHiddenWindow("SioTestWindow", RecordingProc, &recA);
    wait(created, 2);
    wait(go, 2);
    okA = SendWindowMessageTimeout(wb, kMsgA, 0, 1, 5000, &resA);
    // Stay alive (and pumping) until the other side is done with us.
    PumpUntil([&] { return recA.Count() == 1; });
    wait(created, 4);
    DestroyHiddenWindow(wa);
  });
  std::thread b([&] {
    wb = CreateHiddenWindow("SioTestWindow", RecordingProc, &recB);
    wait(created, 2);
    wait(go, 2);
    okB = SendWindowMessageTimeout(wa, kMsgB, 0, 2, 5000, &resB);
    PumpUntil([&] { return recB.Count() == 1; });
    wait(created, 4);
    DestroyHiddenWindow(wb);
  });
  const auto start = Clock::now();
  a.join();
  b.join();
  EXPECT_TRUE(okA);
  EXPECT_TRUE(okB);
  EXPECT_EQ(resA, 3);
  EXPECT_EQ(resB, 5);
  EXPECT_LT(MsSince(start), 4000);
  ASSERT_EQ(recA.Count(), 1u);
  ASSERT_EQ(recB.Count(), 1u);
  EXPECT_NE(recA.Calls()[0].thread, recB.Calls()[0].thread);
}

TEST_F(PlatformSentMessages, ManySendersAllGetTheirOwnResults) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  constexpr int kThreads = 4, kEach = 50;
  std::atomic<int> finished{0}, wrong{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        LResult result = 0;
        const LParam value = t * 1000 + i;
        if (!SendWindowMessageTimeout(w, kMsgA, 0, value, 10000, &result) ||
            result != value * 2 + 1) {
          ++wrong;
        }
      }
      ++finished;
    });
  }
  EXPECT_TRUE(PumpUntil([&] { return finished == kThreads; }, 20000));
  for (auto& s : senders)
    s.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(rec.Count(), static_cast<size_t>(kThreads * kEach));
}

// ---------------------------------------------------------------------------
// Waiting and the main loop

// Another thread posts to w after 150 ms while this one waits (up to 5 s);
// returns how long the wait took.
long long WaitForAPostIn150Ms(WindowHandle w) {
  const auto start = Clock::now();
  std::thread poster([&] {
    std::this_thread::sleep_for(milliseconds(150));
    PostWindowMessage(w, kMsgA, 0, 0);
  });
  EXPECT_TRUE(WaitForMessage(5000));
  const long long elapsed = MsSince(start);
  poster.join();
  return elapsed;
}

TEST_F(PlatformMessageWait, WaitForMessageReturnsWhenAnotherThreadPosts) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  const long long elapsed = WaitForAPostIn150Ms(w);
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 4000);
  Message m;
  ASSERT_TRUE(PeekOneMessage(m)) << "waiting leaves the posted message queued";
  EXPECT_EQ(m.message, kMsgA);
}

TEST_F(PlatformMessageWait, WaitForMessageTimesOutWithoutBurningTheProcessor) {
  const uint64_t cpuBefore = sio_test::ProcessCpuMicroseconds();
  const auto start = Clock::now();
  EXPECT_FALSE(WaitForMessage(500));
  const long long elapsed = MsSince(start);
  const uint64_t cpuUsed = sio_test::ProcessCpuMicroseconds() - cpuBefore;
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(elapsed, 3000);
  // A spinning wait would use about 500 ms of processor time.
  EXPECT_LT(cpuUsed, 150000u) << "processor time used: " << cpuUsed << " us";
}

TEST_F(PlatformMessageWait, WaitForMessageSeesWhatIsAlreadyQueued) {
  PostQuit(3);
  const auto start = Clock::now();
  EXPECT_TRUE(WaitForMessage(2000));
  EXPECT_LT(MsSince(start), 1500);
  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgQuit);
  EXPECT_FALSE(WaitForMessage(0));
}

TEST_F(PlatformMessageWait, WaitForMessageOrEventEndsOnTheEventOrAMessageAndTakesTheSignal) {
  // The event, set by another thread while nothing is queued, ends the wait
  // (well before its limit) and is consumed; a posted message ends it too
  // and stays queued; with neither it lasts its whole time without spinning.
  Event ev(false, false);
  auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(150));
    ev.Set();
  });
  EXPECT_TRUE(WaitForMessageOrEvent(ev, 5000));
  long long elapsed = MsSince(start);
  setter.join();
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 4000);
  EXPECT_EQ(ev.Wait(0), WaitResult::Timeout) << "the wait left the signal set";

  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  start = Clock::now();
  std::thread poster([&] {
    std::this_thread::sleep_for(milliseconds(150));
    PostWindowMessage(w, kMsgA, 0, 0);
  });
  EXPECT_TRUE(WaitForMessageOrEvent(ev, 5000));
  elapsed = MsSince(start);
  poster.join();
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 4000);
  Message m;
  ASSERT_TRUE(PeekOneMessage(m));
  EXPECT_EQ(m.message, kMsgA);

  const uint64_t cpuBefore = sio_test::ProcessCpuMicroseconds();
  start = Clock::now();
  EXPECT_FALSE(WaitForMessageOrEvent(ev, 500));
  EXPECT_GE(MsSince(start), 500);
  EXPECT_LT(sio_test::ProcessCpuMicroseconds() - cpuBefore, 150000u);
}

TEST_F(PlatformMessageWait, RunMainLoopDispatchesUntilQuitAndReturnsItsExitCode) {
  Recorder rec;
  rec.action = [&](WindowHandle, uint32_t msg, WParam, LParam lParam) -> LResult {
    if (msg == kMsgC) PostQuit(static_cast<int>(lParam));
    return 0;
  };
  WindowHandle w = MakeWindow(rec);
  const auto start = Clock::now();
  std::thread poster([&] {
    // Posted while the loop sleeps: each post must wake it.
    for (uint32_t msg : {kMsgA, kMsgB, kMsgC}) {
      std::this_thread::sleep_for(milliseconds(60));
      PostWindowMessage(w, msg, 0, 42);
    }
  });
  const int exitCode = RunMainLoop();
  poster.join();
  EXPECT_EQ(exitCode, 42);
  EXPECT_GE(MsSince(start), 180);
  auto calls = rec.Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].message, kMsgA);
  EXPECT_EQ(calls[1].message, kMsgB);
  EXPECT_EQ(calls[2].message, kMsgC);
}

TEST_F(PlatformMessageWait, RunMainLoopServesSentMessagesWhileItSleeps) {
  Recorder rec;
  rec.action = [](WindowHandle, uint32_t msg, WParam, LParam lParam) -> LResult {
    if (msg == kMsgB) PostQuit(9);
    return lParam + 100;
  };
  WindowHandle w = MakeWindow(rec);
  LResult result = 0;
  bool ok = false;
  std::thread sender([&] {
    std::this_thread::sleep_for(milliseconds(100));
    ok = SendWindowMessageTimeout(w, kMsgA, 0, 1, 5000, &result);
    PostWindowMessage(w, kMsgB, 0, 0);
  });
  EXPECT_EQ(RunMainLoop(), 9);
  sender.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(result, 101);
}

// ---------------------------------------------------------------------------
// The event source

// A source of the tests' own: counts its calls and sleeps on its own
// condition variable, as a toolkit's dispatcher would on its own wake-up.
class CountingSource : public EventSource {
 public:
  void ProcessPending() override { ++processed; }
  void WaitForEvents(uint32_t timeoutMs) override {
    ++waits;
    std::unique_lock<std::mutex> lock(mutex_);
    if (timeoutMs == kWaitForever) {
      cv_.wait(lock, [this] { return woken_; });
    } else {
      cv_.wait_for(lock, milliseconds(timeoutMs), [this] { return woken_; });
    }
    woken_ = false;
  }
  void Wake() override {
    ++wakes;
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    cv_.notify_all();
  }
  std::atomic<int> processed{0}, waits{0}, wakes{0};

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool woken_ = false;
};

class PlatformEventSource : public MessageLoopFixture {
 protected:
  void SetUp() override {
    if (!kEventSourceDrivesWaits) GTEST_SKIP() << "USER32 is the one loop on this host";
    MessageLoopFixture::SetUp();
    SetEventSource(&source);
  }
  void TearDown() override {
    if (!kEventSourceDrivesWaits) return;
    SetEventSource(nullptr);
    MessageLoopFixture::TearDown();
  }
  CountingSource source;
};

TEST_F(PlatformEventSource, InstalledSourceIsConsultedOnEveryPump) {
  EXPECT_EQ(GetEventSource(), &source);
  Message m;
  for (int i = 0; i < 3; ++i)
    PeekOneMessage(m);
  EXPECT_EQ(source.processed.load(), 3);
  SetEventSource(nullptr);
  EXPECT_NE(GetEventSource(), &source);
  EXPECT_NE(GetEventSource(), nullptr);
  PeekOneMessage(m);
  EXPECT_EQ(source.processed.load(), 3) << "a replaced source is left alone";
}

TEST_F(PlatformEventSource, PostFromAnotherThreadWakesALoopSleepingInTheSource) {
  Recorder rec;
  WindowHandle w = MakeWindow(rec);
  const long long elapsed = WaitForAPostIn150Ms(w);
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 4000) << "the post woke the source";
  EXPECT_GE(source.waits.load(), 1);
  EXPECT_GE(source.wakes.load(), 1);
}

TEST_F(PlatformEventSource, TimedWaitSleepsInTheSource) {
  const auto start = Clock::now();
  EXPECT_FALSE(WaitForMessage(200));
  EXPECT_GE(MsSince(start), 200);
  EXPECT_GE(source.waits.load(), 1);
}

TEST_F(PlatformEventSource, MainLoopSleepsInTheSourceAndQuitWakesIt) {
  Recorder rec;
  rec.action = [](WindowHandle, uint32_t, WParam wParam, LParam) -> LResult {
    PostQuit(static_cast<int>(wParam));
    return 0;
  };
  WindowHandle w = MakeWindow(rec);
  std::thread sender([&] {
    std::this_thread::sleep_for(milliseconds(100));
    SendWindowMessageTimeout(w, kMsgA, 11, 0, 5000, nullptr);
  });
  EXPECT_EQ(RunMainLoop(), 11);
  sender.join();
  EXPECT_GE(source.waits.load(), 1);
  EXPECT_GE(source.wakes.load(), 2) << "the send and the quit request both woke it";
}

// ---------------------------------------------------------------------------
// Hand-over to the user-interface thread

struct HandOverProbe {
  std::atomic<int> runs{0};
  std::thread::id ranOn;
};

void RecordRun(void* context) {
  auto* probe = static_cast<HandOverProbe*>(context);
  probe->ranOn = std::this_thread::get_id();
  ++probe->runs;
}

void Throw(void*) {
  throw std::length_error("handler failed: 17");
}

TEST_F(PlatformHandOver, HandOverRunsOnTheUserInterfaceThreadWhileItPumps) {
  ASSERT_TRUE(InitUserInterfaceThread());
  EXPECT_TRUE(IsUserInterfaceThread());
  EXPECT_TRUE(IsWindowAlive(ApplicationWindow()));
  HandOverProbe probe;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    RunOnUserInterfaceThread(RecordRun, &probe);
    EXPECT_FALSE(IsUserInterfaceThread());
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(returned.load()) << "the caller waits until the call has run";
  EXPECT_EQ(probe.runs.load(), 0);
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  caller.join();
  EXPECT_EQ(probe.runs.load(), 1);
  EXPECT_EQ(probe.ranOn, std::this_thread::get_id());
}

TEST_F(PlatformHandOver, HandOverOnTheUserInterfaceThreadRunsAtOnce) {
  ASSERT_TRUE(InitUserInterfaceThread());
  EXPECT_TRUE(InitUserInterfaceThread()) << "a second call on the same thread is harmless";
  HandOverProbe probe;
  RunOnUserInterfaceThread(RecordRun, &probe);
  EXPECT_EQ(probe.runs.load(), 1);
  EXPECT_THROW(RunOnUserInterfaceThread(Throw, nullptr), std::length_error);
  Message m;
  EXPECT_FALSE(PeekOneMessage(m)) << "nothing was queued";
}

TEST_F(PlatformHandOver, HandOverReRaisesTheExceptionInTheCaller) {
  ASSERT_TRUE(InitUserInterfaceThread());
  std::string what;
  bool rightType = false;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    try {
      RunOnUserInterfaceThread(Throw, nullptr);
    } catch (const std::length_error& e) {
      rightType = true;
      what = e.what();
    } catch (...) {
    }
    returned = true;
  });
  EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
  caller.join();
  EXPECT_TRUE(rightType);
  EXPECT_EQ(what, "handler failed: 17");
}

TEST_F(PlatformHandOver, HandOversFromManyThreadsAllRunOnTheUserInterfaceThread) {
  ASSERT_TRUE(InitUserInterfaceThread());
  constexpr int kThreads = 4, kEach = 25;
  struct Tally {
    int runs = 0;  // touched only on the user-interface thread
    std::thread::id ui;
    std::atomic<int> offThread{0};
  } tally;
  tally.ui = std::this_thread::get_id();
  std::atomic<int> finished{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        RunOnUserInterfaceThread(
            [](void* c) {
              auto* t = static_cast<Tally*>(c);
              if (std::this_thread::get_id() != t->ui) ++t->offThread;
              ++t->runs;
            },
            &tally);
      }
      ++finished;
    });
  }
  EXPECT_TRUE(PumpUntil([&] { return finished == kThreads; }, 20000));
  for (auto& c : callers)
    c.join();
  EXPECT_EQ(tally.runs, kThreads * kEach);
  EXPECT_EQ(tally.offThread.load(), 0);
}

TEST_F(PlatformHandOver, EndingTheUserInterfaceThreadReleasesWaitingCallers) {
  ASSERT_TRUE(InitUserInterfaceThread());
  HandOverProbe probe;
  std::atomic<bool> cancelled{false}, returned{false};
  std::thread caller([&] {
    try {
      RunOnUserInterfaceThread(RecordRun, &probe);
    } catch (const HandOverError&) {
      cancelled = true;
    }
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(150));
  EXPECT_FALSE(returned.load());
  // This thread never pumps; ending its role must still free the caller.
  DoneUserInterfaceThread();
  const auto start = Clock::now();
  caller.join();
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_TRUE(cancelled.load());
  EXPECT_EQ(probe.runs.load(), 0);
  EXPECT_FALSE(IsUserInterfaceThread());
  EXPECT_EQ(ApplicationWindow(), nullptr);
  // The null message still queued for the destroyed window runs nothing.
  Message m;
  while (PeekOneMessage(m))
    TranslateAndDispatch(m);
  EXPECT_EQ(probe.runs.load(), 0);
}

TEST_F(PlatformHandOver, HandOverWithoutAUserInterfaceThreadFailsAtOnce) {
  HandOverProbe probe;
  bool failed = false;
  std::thread([&] {
    try {
      RunOnUserInterfaceThread(RecordRun, &probe);
    } catch (const HandOverError&) {
      failed = true;
    }
  }).join();
  EXPECT_TRUE(failed);
  EXPECT_EQ(probe.runs.load(), 0);
}

TEST_F(PlatformHandOver, UserInterfaceThreadThatEndsGivesUpItsRole) {
  const size_t windowsBefore = HiddenWindowCount();
  HandOverProbe probe;
  std::atomic<bool> callerWaiting{false}, cancelled{false}, returned{false};
  std::thread caller;
  std::thread ui([&] {
    EXPECT_TRUE(InitUserInterfaceThread());
    caller = std::thread([&] {
      callerWaiting = true;
      try {
        RunOnUserInterfaceThread(RecordRun, &probe);
      } catch (const HandOverError&) {
        cancelled = true;
      }
      returned = true;
    });
    while (!callerWaiting)
      std::this_thread::sleep_for(milliseconds(5));
    std::this_thread::sleep_for(milliseconds(100));
    // Ends without pumping and without DoneUserInterfaceThread.
  });
  ui.join();
  const auto start = Clock::now();
  while (!returned && MsSince(start) < 3000)
    std::this_thread::sleep_for(milliseconds(5));
  EXPECT_TRUE(returned.load()) << "the caller still waits for a thread that is gone";
  if (!returned) DoneUserInterfaceThread();  // lets the test end either way
  caller.join();
  EXPECT_TRUE(cancelled.load());
  EXPECT_EQ(probe.runs.load(), 0);
  EXPECT_EQ(ApplicationWindow(), nullptr);
  EXPECT_EQ(HiddenWindowCount(), windowsBefore) << "the application window is left behind";

  // Later threads (whose ids may repeat the ended one's) are not taken for it:
  // without a user-interface thread every hand-over fails, none runs in place.
  for (int i = 0; i < 20; ++i) {
    std::thread([&] {
      EXPECT_FALSE(IsUserInterfaceThread());
      EXPECT_THROW(RunOnUserInterfaceThread(RecordRun, &probe), HandOverError);
    }).join();
  }
  EXPECT_EQ(probe.runs.load(), 0);
  EXPECT_TRUE(InitUserInterfaceThread()) << "the role is free again";
}

TEST_F(PlatformHandOver, OnlyOneThreadIsTheUserInterfaceThread) {
  ASSERT_TRUE(InitUserInterfaceThread());
  bool otherInit = true, otherIs = true;
  int ranElsewhere = -1;
  std::thread([&] {
    otherInit = InitUserInterfaceThread();
    otherIs = IsUserInterfaceThread();
    ranElsewhere = RunPendingHandOvers();
  }).join();
  EXPECT_FALSE(otherInit);
  EXPECT_FALSE(otherIs);
  EXPECT_EQ(ranElsewhere, 0);
  EXPECT_TRUE(IsUserInterfaceThread());
}

}  // namespace
