// The tick time base, tick timers, the message pump and the message-pumping
// wait, against the real clock and the real message queue of the test thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "serial/support/files.h"
#include "serial/support/ticks.h"
#include "tests/common/process_cpu.h"

namespace {

using Clock = std::chrono::steady_clock;
using sio::TickLimit;
using sio::TickTimer;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// Clock source and tick arithmetic

TEST(MillisecondClockSource, CountsPerMillisecondRoundsUpOnlyAboveHalfAndNeeds32Bits) {
  EXPECT_EQ(sio::CountsPerMillisecondFor(1000500u), 1000u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(1000501u), 1001u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(10000000u), 10000u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(999u), 1u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(0xFFFFFFFFu), 4294967u);
  // No counter, or one too fast for 32 bits: the multimedia timer is used.
  EXPECT_EQ(sio::CountsPerMillisecondFor(0), 0u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(uint64_t{1} << 32), 0u);
  EXPECT_EQ(sio::CountsPerMillisecondFor((uint64_t{1} << 32) + 1000000u), 0u);
  EXPECT_EQ(sio::CountsPerMillisecondFor(~uint64_t{0}), 0u);
}

TEST(MillisecondClockSource, ChosenOnceFromTheHostFrequencyEvenWhenThreadsRace) {
  uint64_t frequency = 0;
  (void)sio::platform::QueryPerformanceFrequency(frequency);
  const uint32_t expected = sio::CountsPerMillisecondFor(frequency);
  std::vector<uint32_t> seen(8, 0xDEADBEEFu);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i)
    threads.emplace_back([&seen, i] { seen[i] = sio::CountsPerMillisecond(); });
  for (auto& t : threads)
    t.join();
  sio::InitMillisecondClock();
  EXPECT_EQ(sio::CountsPerMillisecond(), expected);
  for (uint32_t s : seen)
    EXPECT_EQ(s, expected);
}

TEST(MillisecondClockSource, FollowsRealTime) {
  const uint32_t before = sio::MillisecondClock();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double real = MillisecondsSince(start);
  const uint32_t elapsed = sio::MillisecondClock() - before;  // wraps like the clock
  // Two clocks read at slightly different moments: allow one millisecond of
  // truncation at each end.
  EXPECT_GE(static_cast<double>(elapsed), 198.0);
  EXPECT_LE(static_cast<double>(elapsed), real + 2.0);
}

// ---------------------------------------------------------------------------
// Tick timers

TEST(TickTimerRule, StartClampsToTickLimitAndKeepsNegativeCounts) {
  TickTimer timer{};
  sio::StartTickTimer(timer, 50000000);
  EXPECT_EQ(static_cast<int64_t>(timer.ExpireTick) - timer.StartTick, 39045157);
  sio::StartTickTimer(timer, TickLimit);
  EXPECT_EQ(static_cast<int64_t>(timer.ExpireTick) - timer.StartTick, TickLimit);
  sio::StartTickTimer(timer, -3);
  EXPECT_EQ(static_cast<int64_t>(timer.ExpireTick) - timer.StartTick, -3);
  EXPECT_TRUE(sio::TickTimerExpired(timer));
  EXPECT_EQ(TickLimit * int64_t{55}, 2147483635);
}

TEST(TickTimerRule, ExpiryIsStrictlyAfterTheExpireTick) {
  const TickTimer timer{1000, 1010};
  EXPECT_FALSE(sio::TickTimerExpiredAt(timer, 1000));
  EXPECT_FALSE(sio::TickTimerExpiredAt(timer, 1009));
  EXPECT_FALSE(sio::TickTimerExpiredAt(timer, 1010));
  EXPECT_TRUE(sio::TickTimerExpiredAt(timer, 1011));
  const TickTimer zero{500, 500};
  EXPECT_FALSE(sio::TickTimerExpiredAt(zero, 500));
  EXPECT_TRUE(sio::TickTimerExpiredAt(zero, 501));
}

TEST(TickTimerRule, AcrossTheWrapTheTicksThatPassedDecide) {
  // The tick count runs from 0 to (2^32 - 1) / 55 and then wraps to 0.
  constexpr int32_t kLastTick = static_cast<int32_t>(0xFFFFFFFFu / 55u);
  ASSERT_EQ(kLastTick, 78090314);
  // Ten ticks started 314 ticks before the wrap: 320 ticks have passed at
  // tick 5 after it, so the timer has long expired (it must not run on for
  // weeks until the count climbs back towards its expiry).
  const TickTimer timer{kLastTick - 314, kLastTick - 314 + 10};
  EXPECT_TRUE(sio::TickTimerExpiredAt(timer, 5));
  EXPECT_TRUE(sio::TickTimerExpiredAt(timer, 0));
  // Before the wrap the plain rule holds.
  EXPECT_FALSE(sio::TickTimerExpiredAt(timer, kLastTick - 310));
  EXPECT_FALSE(sio::TickTimerExpiredAt(timer, kLastTick - 304));
  EXPECT_TRUE(sio::TickTimerExpiredAt(timer, kLastTick - 303));
  // A timer whose expiry lies beyond the wrap: 400 ticks from 314 before it.
  // Strictly more than 400 ticks must pass: tick 0 after the wrap is the
  // 315th, so tick 85 is the 400th and tick 86 the first past it.
  const TickTimer straddling{kLastTick - 314, kLastTick - 314 + 400};
  EXPECT_FALSE(sio::TickTimerExpiredAt(straddling, kLastTick));
  EXPECT_FALSE(sio::TickTimerExpiredAt(straddling, 0));
  EXPECT_FALSE(sio::TickTimerExpiredAt(straddling, 85));
  EXPECT_TRUE(sio::TickTimerExpiredAt(straddling, 86));
  // The longest timer started just before the wrap still runs its length.
  const TickTimer longest{kLastTick, kLastTick + TickLimit};
  EXPECT_FALSE(sio::TickTimerExpiredAt(longest, TickLimit - 1));
  EXPECT_TRUE(sio::TickTimerExpiredAt(longest, TickLimit));
  // A timer started early in the count that sees a smaller count has wrapped
  // all the way round: expired.
  const TickTimer early{100, 110};
  EXPECT_TRUE(sio::TickTimerExpiredAt(early, 50));
}

TEST(TickTimerRule, RealTimerOfTwoTicksLastsMoreThanTwoTicks) {
  TickTimer timer{};
  const auto start = Clock::now();
  const uint32_t startMs = sio::MillisecondClock();
  sio::StartTickTimer(timer, 2);
  EXPECT_FALSE(sio::TickTimerExpired(timer));
  while (!sio::TickTimerExpired(timer))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GT(sio::MillisecondClock() - startMs, 110u);
  EXPECT_LT(MillisecondsSince(start), 165.0 + 250.0);
}

// ---------------------------------------------------------------------------
// The message pump and the wait. Each test records what a hidden window of
// the test thread receives, and leaves the thread's queue empty.

struct Received {
  std::mutex mutex;
  std::vector<uint32_t> messages;
  std::vector<std::thread::id> threads;
  int quitOnMessage = -1;  // the window posts a quit request when it sees this
};

sio::platform::LResult RecordingProc(sio::platform::WindowHandle hwnd, uint32_t msg,
                                     sio::platform::WParam, sio::platform::LParam) {
  auto* received = static_cast<Received*>(sio::platform::GetWindowUserData(hwnd));
  if (received == nullptr) return 0;
  std::lock_guard<std::mutex> lock(received->mutex);
  received->messages.push_back(msg);
  received->threads.push_back(std::this_thread::get_id());
  if (received->quitOnMessage >= 0 && msg == static_cast<uint32_t>(received->quitOnMessage))
    sio::platform::PostQuit(7);
  return 0;
}

class MessageWait : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = sio::platform::CreateHiddenWindow("SioTickTestWindow", &RecordingProc, &received_);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    for (auto& t : posters_)
      t.join();
    DrainQueue();
    if (window_ != nullptr) sio::platform::DestroyHiddenWindow(window_);
  }

  // Removes every queued message without dispatching; returns them.
  std::vector<sio::platform::Message> DrainQueue() {
    std::vector<sio::platform::Message> left;
    sio::platform::Message msg;
    while (sio::platform::PeekOneMessage(msg))
      left.push_back(msg);
    return left;
  }

  // Posts msgs to the window from another thread, the first after delayMs,
  // then one every gapMs.
  void PostFromThread(std::vector<uint32_t> msgs, int delayMs, int gapMs) {
    sio::platform::WindowHandle hwnd = window_;
    posters_.emplace_back([hwnd, msgs, delayMs, gapMs] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      for (uint32_t m : msgs) {
        sio::platform::PostWindowMessage(hwnd, m, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
      }
    });
  }

  std::vector<uint32_t> Messages() {
    std::lock_guard<std::mutex> lock(received_.mutex);
    return received_.messages;
  }

  Received received_;
  sio::platform::WindowHandle window_ = nullptr;
  std::vector<std::thread> posters_;
};

constexpr uint32_t kTestMsg = sio::platform::kMsgUser + 0x21;

TEST_F(MessageWait, PumpOneMessageComposesMessageAndWindow) {
  EXPECT_EQ(sio::PumpOneMessage(), 0);

  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, 0x7E01, 0, 0));
  const auto handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window_));
  const auto expected = static_cast<int32_t>(0x7E01u | ((handle & 0xFFFFu) << 16));
  EXPECT_EQ(sio::PumpOneMessage(), expected);
  EXPECT_EQ(Messages(), std::vector<uint32_t>{0x7E01u});

  ASSERT_TRUE(sio::platform::PostThreadMessageToSelf(kTestMsg, 0, 0));
  EXPECT_EQ(sio::PumpOneMessage(), static_cast<int32_t>(kTestMsg));
  EXPECT_EQ(sio::PumpOneMessage(), 0);
}

TEST_F(MessageWait, PumpOneMessageReportsQuitAndQueuesItAgain) {
  sio::platform::PostQuit(3);
  EXPECT_EQ(sio::PumpOneMessage(), 18);
  EXPECT_EQ(sio::PumpOneMessage(), 18) << "the quit request must still be queued";
  const auto left = DrainQueue();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].message, sio::platform::kMsgQuit);
  EXPECT_EQ(left[0].wParam, 3u);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(MessageWait, ZeroOrNegativeTicksReturnAtOnceWithoutTouchingTheQueue) {
  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, kTestMsg, 0, 0));
  const auto start = Clock::now();
  EXPECT_EQ(sio::WaitTicks(0, true), 0);
  EXPECT_EQ(sio::WaitTicks(-3, true), 0);
  EXPECT_LT(MillisecondsSince(start), 50.0);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(DrainQueue().size(), 1u);
}

TEST_F(MessageWait, FiveTicksLastMoreThan275Milliseconds) {
  const auto start = Clock::now();
  const uint32_t startMs = sio::MillisecondClock();
  EXPECT_EQ(sio::WaitTicks(5, true), 0);
  const uint32_t waited = sio::MillisecondClock() - startMs;
  const double real = MillisecondsSince(start);
  EXPECT_GT(waited, 275u);
  EXPECT_GE(real, 275.0);
  EXPECT_LE(real, 330.0 + 250.0);
}

TEST_F(MessageWait, OneTickLastsMoreThanATickAndPumps) {
  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, kTestMsg, 0, 0));
  const uint32_t startMs = sio::MillisecondClock();
  EXPECT_EQ(sio::WaitTicks(1, true), 0);
  EXPECT_GT(sio::MillisecondClock() - startMs, 55u);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0], kTestMsg);
}

TEST_F(MessageWait, MessagesPostedDuringTheWaitAreDispatchedInOrderOnTheWaitingThread) {
  // Some queued before the wait, more arriving from another thread while it runs.
  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, kTestMsg, 0, 0));
  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, kTestMsg + 1, 0, 0));
  std::vector<uint32_t> later;
  for (uint32_t i = 2; i < 40; ++i)
    later.push_back(kTestMsg + i);
  PostFromThread(later, 20, 3);
  const auto start = Clock::now();
  EXPECT_EQ(sio::WaitTicks(8, true), 0) << "the last round found no message";
  EXPECT_GE(MillisecondsSince(start), 440.0);
  for (auto& t : posters_)
    t.join();
  posters_.clear();

  std::vector<uint32_t> expected{kTestMsg, kTestMsg + 1};
  expected.insert(expected.end(), later.begin(), later.end());
  // Under heavy load the poster may lag behind the wait; whatever was
  // dispatched must be a prefix in order, and what is left still queued.
  const auto got = Messages();
  ASSERT_LE(got.size(), expected.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
  EXPECT_GE(got.size(), 20u);
  for (const auto& id : received_.threads)
    EXPECT_EQ(id, std::this_thread::get_id());
  const auto left = DrainQueue();
  EXPECT_EQ(got.size() + left.size(), expected.size());
}

TEST_F(MessageWait, QuitDuringTheWaitEndsItEarlyWith18AndStaysQueued) {
  received_.quitOnMessage = static_cast<int>(kTestMsg);
  PostFromThread({kTestMsg}, 100, 0);
  const auto start = Clock::now();
  EXPECT_EQ(sio::WaitTicks(10, true), 18);
  const double real = MillisecondsSince(start);
  EXPECT_GE(real, 95.0);
  EXPECT_LT(real, 550.0) << "a ten-tick wait lasts at least 550 ms; the quit must end it early";
  const auto left = DrainQueue();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].message, sio::platform::kMsgQuit);
  EXPECT_EQ(left[0].wParam, 7u);
}

TEST_F(MessageWait, WithoutMessageProcessingNothingIsDispatched) {
  ASSERT_TRUE(sio::platform::PostWindowMessage(window_, kTestMsg, 0, 0));
  PostFromThread({kTestMsg + 1, kTestMsg + 2}, 30, 30);
  const uint32_t startMs = sio::MillisecondClock();
  EXPECT_EQ(sio::WaitTicks(5, false), 0);
  EXPECT_GT(sio::MillisecondClock() - startMs, 275u);
  for (auto& t : posters_)
    t.join();
  posters_.clear();
  EXPECT_TRUE(Messages().empty());
  const auto left = DrainQueue();
  ASSERT_EQ(left.size(), 3u);
  EXPECT_EQ(left[0].message, kTestMsg);
  EXPECT_EQ(left[2].message, kTestMsg + 2);
}

TEST_F(MessageWait, WaitingDoesNotKeepAProcessorBusy) {
  // The meter itself must move when the processor is busy (on a shared
  // machine the busy loop may get only part of a core, so spin until it has
  // used 30 ms, within a generous limit).
  const uint64_t meterStart = sio_test::ProcessCpuMicroseconds();
  const auto spinStart = Clock::now();
  volatile uint64_t sink = 0;
  while (sio_test::ProcessCpuMicroseconds() - meterStart < 30000u &&
         MillisecondsSince(spinStart) < 10000.0)
    sink = sink + 1;
  ASSERT_GE(sio_test::ProcessCpuMicroseconds() - meterStart, 30000u)
      << "process CPU time does not follow a busy loop";

  for (const bool process : {true, false}) {
    const uint64_t cpuStart = sio_test::ProcessCpuMicroseconds();
    const auto start = Clock::now();
    sio::WaitTicks(18, process);  // about one second
    const double wallUs = MillisecondsSince(start) * 1000.0;
    const auto cpuUs = static_cast<double>(sio_test::ProcessCpuMicroseconds() - cpuStart);
    EXPECT_GE(wallUs, 990000.0);
    EXPECT_LT(cpuUs, 0.20 * wallUs) << "processMessages=" << process << ": " << cpuUs / 1000.0
                                    << " ms of processor time in " << wallUs / 1000.0 << " ms";
    RecordProperty(process ? "cpu_ms_processing" : "cpu_ms_not_processing",
                   std::to_string(cpuUs / 1000.0));
  }
}

// ---------------------------------------------------------------------------
// Small routines

TEST(SmallRoutines, PathExistsOnlyForFiles) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto file =
      dir / ("sio_path_exists_" + std::to_string(Clock::now().time_since_epoch().count()) + ".tmp");
  std::filesystem::remove(file);
  EXPECT_FALSE(sio::PathExists(file.string().c_str()));
  { std::ofstream(file) << "x"; }
  EXPECT_TRUE(sio::PathExists(file.string().c_str()));
  std::filesystem::remove(file);
  EXPECT_FALSE(sio::PathExists(file.string().c_str()));
  EXPECT_FALSE(sio::PathExists(dir.string().c_str()));
  EXPECT_FALSE(sio::PathExists(""));
  EXPECT_FALSE(sio::PathExists(nullptr));
}

}  // namespace
