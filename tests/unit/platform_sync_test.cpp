// Events, critical sections and threads, driven by real threads.
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/support/lock_order.h"

namespace {

using sio::platform::CriticalSection;
using sio::platform::Event;
using sio::platform::kInfinite;
using sio::platform::Thread;
using sio::platform::ThreadPriority;
using sio::platform::WaitResult;
using Clock = std::chrono::steady_clock;

// Generous: the machine is shared and may stall a thread for a while.
constexpr uint32_t kLongWaitMs = 10000;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Polls until the condition holds or kLongWaitMs passed.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto start = Clock::now();
  while (!condition()) {
    if (MsSince(start) > kLongWaitMs) return false;
    sio::platform::SleepMs(1);
  }
  return true;
}

// ---------------------------------------------------------------- events

struct WaiterArgs {
  Event* event = nullptr;
  std::atomic<int>* released = nullptr;
};

uint32_t WaitOnceAndCount(void* p) {
  auto* args = static_cast<WaiterArgs*>(p);
  if (args->event->Wait(kLongWaitMs) != WaitResult::Signaled) return 1;
  args->released->fetch_add(1);
  return 0;
}

TEST(PlatformEvent, AutoResetReleasesOneWaiterPerSet) {
  Event event(false, false);
  std::atomic<int> released{0};
  WaiterArgs args{&event, &released};
  Thread waiters[3];
  for (auto& t : waiters)
    ASSERT_TRUE(t.Start(WaitOnceAndCount, &args));
  sio::platform::SleepMs(50);  // let them block
  EXPECT_EQ(released.load(), 0);

  for (int expected = 1; expected <= 3; ++expected) {
    event.Set();
    ASSERT_TRUE(Eventually([&] { return released.load() >= expected; }));
    // Nobody else gets through on the same signal.
    sio::platform::SleepMs(60);
    EXPECT_EQ(released.load(), expected);
  }
  for (auto& t : waiters) {
    ASSERT_TRUE(t.WaitFor(kLongWaitMs));
    EXPECT_EQ(t.ExitCode(), 0u);
  }
  // The last waiter consumed the last signal.
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(PlatformEvent, AutoResetIsConsumedByOneWait) {
  Event event(false, true);
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  event.Set();
  event.Set();  // setting a set event adds nothing
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  event.Set();
  event.Reset();
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(PlatformEvent, ManualResetStaysSetAndReleasesEveryone) {
  Event event(true, false);
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  std::atomic<int> released{0};
  WaiterArgs args{&event, &released};
  Thread waiters[3];
  for (auto& t : waiters)
    ASSERT_TRUE(t.Start(WaitOnceAndCount, &args));
  event.Set();
  for (auto& t : waiters)
    ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(event.Wait(0), WaitResult::Signaled);
  event.Reset();
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);

  Event initiallySet(true, true);
  EXPECT_EQ(initiallySet.Wait(0), WaitResult::Signaled);
  EXPECT_EQ(initiallySet.Wait(0), WaitResult::Signaled);
}

TEST(PlatformEvent, TimeoutNeverEndsEarly) {
  Event event(false, false);
  for (uint32_t timeout : {1u, 20u, 55u, 120u}) {
    const auto start = Clock::now();
    EXPECT_EQ(event.Wait(timeout), WaitResult::Timeout);
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, timeout) << "time-out " << timeout;
    EXPECT_LT(elapsed, timeout + 2000) << "time-out " << timeout;
  }
  const auto start = Clock::now();
  EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
  EXPECT_LT(MsSince(start), 2000);
}

struct DelayedSet {
  Event* event;
  uint32_t delayMs;
};

uint32_t SetAfterDelay(void* p) {
  auto* args = static_cast<DelayedSet*>(p);
  sio::platform::SleepMs(args->delayMs);
  args->event->Set();
  return 0;
}

TEST(PlatformEvent, WakesAWaiterOnAnotherThread) {
  for (uint32_t timeout : {kLongWaitMs, kInfinite}) {
    Event event(false, false);
    DelayedSet args{&event, 80};
    Thread setter;
    const auto start = Clock::now();
    ASSERT_TRUE(setter.Start(SetAfterDelay, &args));
    EXPECT_EQ(event.Wait(timeout), WaitResult::Signaled);
    EXPECT_GE(MsSince(start), 80);
    ASSERT_TRUE(setter.WaitFor(kLongWaitMs));
  }
}

// ---------------------------------------------------------- wait for either

TEST(PlatformWaitForEither, FirstWinsWhenBothAreSetAndOnlyItIsConsumed) {
  Event first(false, true);
  Event second(false, true);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled);
  EXPECT_EQ(first.Wait(0), WaitResult::Timeout);
  EXPECT_EQ(second.Wait(0), WaitResult::Signaled);
}

TEST(PlatformWaitForEither, ReportsAndConsumesTheSecondWhenOnlyItIsSet) {
  Event first(false, false);
  Event second(false, true);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled2);
  EXPECT_EQ(second.Wait(0), WaitResult::Timeout);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Timeout);
}

TEST(PlatformWaitForEither, ManualResetEventsStaySet) {
  Event first(true, false);
  Event second(true, true);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled2);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled2);
  first.Set();
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled);
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 0), WaitResult::Signaled);
}

TEST(PlatformWaitForEither, TimeoutNeverEndsEarly) {
  Event first(false, false);
  Event second(true, false);
  const auto start = Clock::now();
  EXPECT_EQ(sio::platform::WaitForEither(first, second, 110), WaitResult::Timeout);
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 110);
  EXPECT_LT(elapsed, 110 + 2000);
}

TEST(PlatformWaitForEither, WakesOnEitherEventSetByAnotherThread) {
  for (bool setSecond : {false, true}) {
    Event first(false, false);
    Event second(false, false);
    DelayedSet args{setSecond ? &second : &first, 70};
    Thread setter;
    const auto start = Clock::now();
    ASSERT_TRUE(setter.Start(SetAfterDelay, &args));
    EXPECT_EQ(sio::platform::WaitForEither(first, second, kLongWaitMs),
              setSecond ? WaitResult::Signaled2 : WaitResult::Signaled);
    EXPECT_GE(MsSince(start), 70);
    ASSERT_TRUE(setter.WaitFor(kLongWaitMs));
    EXPECT_EQ(first.Wait(0), WaitResult::Timeout);
    EXPECT_EQ(second.Wait(0), WaitResult::Timeout);
  }
}

TEST(PlatformWaitForEither, TheSameEventTwiceIsAPlainWait) {
  Event event(false, true);
  EXPECT_EQ(sio::platform::WaitForEither(event, event, 0), WaitResult::Signaled);
  EXPECT_EQ(sio::platform::WaitForEither(event, event, 30), WaitResult::Timeout);
}

// One auto-reset event shared by a plain waiter and a waiter on two events:
// every signal must release exactly one of them, and none may be lost.
struct SharedSignal {
  Event work{false, false};
  Event stop{true, false};
  Event taken{false, false};
  std::atomic<int> plainTaken{0};
  std::atomic<int> eitherTaken{0};
};

uint32_t PlainConsumer(void* p) {
  auto* s = static_cast<SharedSignal*>(p);
  for (;;) {
    // The stop event is looked at between waits; the plain waiter has only
    // the one event.
    if (s->stop.Wait(0) == WaitResult::Signaled) return 0;
    if (s->work.Wait(20) == WaitResult::Signaled) {
      s->plainTaken.fetch_add(1);
      s->taken.Set();
    }
  }
}

uint32_t EitherConsumer(void* p) {
  auto* s = static_cast<SharedSignal*>(p);
  for (;;) {
    switch (sio::platform::WaitForEither(s->work, s->stop, kLongWaitMs)) {
      case WaitResult::Signaled:
        s->eitherTaken.fetch_add(1);
        s->taken.Set();
        break;
      case WaitResult::Signaled2:
        return 0;
      default:
        return 1;
    }
  }
}

TEST(PlatformWaitForEither, SharesAnAutoResetEventWithPlainWaitersWithoutLosingSignals) {
  SharedSignal shared;
  Thread plain;
  Thread either;
  ASSERT_TRUE(plain.Start(PlainConsumer, &shared));
  ASSERT_TRUE(either.Start(EitherConsumer, &shared));
  constexpr int kRounds = 500;
  for (int i = 0; i < kRounds; ++i) {
    shared.work.Set();
    ASSERT_EQ(shared.taken.Wait(kLongWaitMs), WaitResult::Signaled) << "signal " << i << " lost";
  }
  shared.stop.Set();
  ASSERT_TRUE(plain.WaitFor(kLongWaitMs));
  ASSERT_TRUE(either.WaitFor(kLongWaitMs));
  EXPECT_EQ(either.ExitCode(), 0u);
  EXPECT_EQ(shared.plainTaken.load() + shared.eitherTaken.load(), kRounds);
  EXPECT_EQ(shared.work.Wait(0), WaitResult::Timeout);
}

// ------------------------------------------------------- critical sections

struct LockProbe {
  CriticalSection* cs;
  bool gotIt = false;
};

uint32_t TryEnterFromOtherThread(void* p) {
  auto* probe = static_cast<LockProbe*>(p);
  probe->gotIt = probe->cs->TryEnter();
  if (probe->gotIt) probe->cs->Leave();
  return 0;
}

bool OtherThreadCanEnter(CriticalSection& cs) {
  LockProbe probe{&cs};
  Thread t;
  if (!t.Start(TryEnterFromOtherThread, &probe)) return false;
  t.WaitFor(kLongWaitMs);
  return probe.gotIt;
}

TEST(PlatformCriticalSection, OwnerMayEnterAgainAndMustLeaveAsOften) {
  CriticalSection cs;
  cs.Enter();
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter());
  EXPECT_FALSE(OtherThreadCanEnter(cs));
  cs.Leave();
  cs.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(cs));
  cs.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(cs));
}

struct Counter {
  CriticalSection cs;
  long value = 0;  // plain on purpose: only the lock protects it
};

uint32_t IncrementNested(void* p) {
  auto* counter = static_cast<Counter*>(p);
  for (int i = 0; i < 20000; ++i) {
    sio::platform::CriticalSectionLock outer(counter->cs);
    sio::platform::CriticalSectionLock inner(counter->cs);
    counter->value = counter->value + 1;
  }
  return 0;
}

TEST(PlatformCriticalSection, ExcludesOtherThreads) {
  Counter counter;
  Thread threads[4];
  for (auto& t : threads)
    ASSERT_TRUE(t.Start(IncrementNested, &counter));
  for (auto& t : threads)
    ASSERT_TRUE(t.WaitFor(kLongWaitMs * 3));
  EXPECT_EQ(counter.value, 4 * 20000);
}

// The serial layer's lock order (serial/support/lock_order.h) as the
// checker enforces it. A row enters locks in the order of its letters
// ('?' before a letter: TryEnter) and names the report it expects, by the
// lock taken and the lock held, or none. L LifecycleSection,
// M packet manager list, P packet manager, D DataSection, S DispSection,
// O OutputSection, T ThreadSection, Q and N two leaf locks, U unranked.
TEST(PlatformCriticalSection, LockOrderTable) {
  if (!sio::platform::LockOrderChecked()) GTEST_SKIP() << "a release build checks no lock order";
  namespace order = sio::lock_order;
  CriticalSection lifecycle{order::kLifecycleSection}, list{order::kPacketManagerList},
      manager{order::kPacketManager}, data{order::kDataSection}, disp{order::kDispSection},
      output{order::kOutputSection}, thread{order::kThreadSection},
      queue{order::Leaf("I/O queue lock")}, name{order::Leaf("name lock")}, unranked;
  CriticalSection* const locks[] = {&lifecycle, &list,   &manager, &data, &disp,
                                    &output,    &thread, &queue,   &name, &unranked};
  const auto lockFor = [&](char c) -> CriticalSection& {
    return *locks[std::string_view("LMPDSOTQNU").find(c)];
  };
  struct Row {
    const char* steps;
    const char* taken;  // nullptr: no report
    const char* held;
  };
  const Row rows[] = {
      {"LMPDSTQ", nullptr, nullptr},  // the whole order, outermost first
      {"DS", nullptr, nullptr},
      {"DO", nullptr, nullptr},
      {"SD", "DataSection", "DispSection"},  // never the other way round
      {"OD", "DataSection", "OutputSection"},
      {"SO", "OutputSection", "DispSection"},     // never held together
      {"DL", "LifecycleSection", "DataSection"},  // LifecycleSection outermost
      {"TS", "DispSection", "ThreadSection"},     // ThreadSection innermost
      {"DP", "packet manager lock", "DataSection"},
      {"PM", "packet manager list lock", "packet manager lock"},
      {"QN", "name lock", "I/O queue lock"},  // no two leaves together
      {"DSD", nullptr, nullptr},              // entering a held lock again
      {"LDSDL", nullptr, nullptr},
      {"TU", nullptr, nullptr},   // unranked: not checked
      {"S?D", nullptr, nullptr},  // a TryEnter never waits
      {"S?DT", nullptr, nullptr},
  };
  static std::string reported;
  const auto previous =
      sio::platform::SetLockOrderReport([](const char* message) { reported += message; });
  for (const Row& row : rows) {
    SCOPED_TRACE(row.steps);
    reported.clear();
    std::vector<CriticalSection*> entered;
    for (const char* c = row.steps; *c != '\0'; ++c) {
      if (*c == '?') {
        CriticalSection& cs = lockFor(*++c);
        ASSERT_TRUE(cs.TryEnter());
        entered.push_back(&cs);
      } else {
        lockFor(*c).Enter();
        entered.push_back(&lockFor(*c));
      }
    }
    for (auto it = entered.rbegin(); it != entered.rend(); ++it)
      (*it)->Leave();
    if (row.taken == nullptr) {
      EXPECT_EQ(reported, "");
    } else {
      EXPECT_NE(reported.find(std::string(row.taken) + " (level"), std::string::npos) << reported;
      EXPECT_NE(reported.find("while " + std::string(row.held) + " (level"), std::string::npos)
          << reported;
    }
  }
  sio::platform::SetLockOrderReport(previous);
}

// ---------------------------------------------------------------- threads

struct Gate {
  Event open{true, false};
  Event done{true, false};
  std::atomic<uint64_t> seenId{0};
  uint32_t result = 0;
};

uint32_t WaitAtGate(void* p) {
  auto* gate = static_cast<Gate*>(p);
  gate->seenId = sio::platform::CurrentThreadId();
  if (gate->open.Wait(kLongWaitMs) != WaitResult::Signaled) return 99;
  // Read before signalling: after the signal the gate may be gone.
  const uint32_t result = gate->result;
  gate->done.Set();
  return result;
}

TEST(PlatformThread, ReportsItsEndAndExitCode) {
  Gate gate;
  gate.result = 42;
  Thread t;
  EXPECT_FALSE(t.Started());
  EXPECT_EQ(t.Id(), 0u);
  EXPECT_FALSE(t.Finished());
  EXPECT_FALSE(t.WaitFor(0));

  ASSERT_TRUE(t.Start(WaitAtGate, &gate));
  EXPECT_TRUE(t.Started());
  EXPECT_FALSE(t.Finished());
  const auto start = Clock::now();
  EXPECT_FALSE(t.WaitFor(60));
  EXPECT_GE(MsSince(start), 60);

  gate.open.Set();
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_TRUE(t.Finished());
  EXPECT_EQ(t.ExitCode(), 42u);
  EXPECT_TRUE(t.WaitFor(0));
}

TEST(PlatformThread, IdIsTheRunningThreadsOwn) {
  Gate gate;
  Thread t;
  ASSERT_TRUE(t.Start(WaitAtGate, &gate));
  const uint64_t id = t.Id();
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, sio::platform::CurrentThreadId());
  gate.open.Set();
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_EQ(gate.seenId.load(), id);
}

TEST(PlatformThread, RefusesASecondStartWhileRunningButMayRunAgainAfterwards) {
  Gate gate;
  gate.result = 1;
  Thread t;
  EXPECT_FALSE(t.Start(nullptr, nullptr));
  ASSERT_TRUE(t.Start(WaitAtGate, &gate));
  EXPECT_FALSE(t.Start(WaitAtGate, &gate));
  gate.open.Set();
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_EQ(t.ExitCode(), 1u);

  gate.result = 2;
  ASSERT_TRUE(t.Start(WaitAtGate, &gate));
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_EQ(t.ExitCode(), 2u);
}

TEST(PlatformThread, DestroyingARunningThreadLetsItFinishAlone) {
  // The gate outlives the thread; only the Thread object goes early.
  auto gate = std::make_unique<Gate>();
  {
    Thread t;
    ASSERT_TRUE(t.Start(WaitAtGate, gate.get()));
  }
  EXPECT_EQ(gate->done.Wait(0), WaitResult::Timeout);
  gate->open.Set();
  ASSERT_EQ(gate->done.Wait(kLongWaitMs), WaitResult::Signaled);
  // Give the thread time to leave; it writes its end into the shared state,
  // which a sanitizer run would catch if that state had been freed.
  sio::platform::SleepMs(100);
}

TEST(PlatformThread, DetachLetsTheThreadRunOn) {
  auto gate = std::make_unique<Gate>();
  auto t = std::make_unique<Thread>();
  ASSERT_TRUE(t->Start(WaitAtGate, gate.get()));
  t->Detach();
  EXPECT_FALSE(t->Started());
  EXPECT_EQ(t->Id(), 0u);
  t.reset();
  gate->open.Set();
  ASSERT_EQ(gate->done.Wait(kLongWaitMs), WaitResult::Signaled);
  sio::platform::SleepMs(100);
}

// A thread object that frees itself as its function ends, the way the
// threads of an open port do. Start must not touch the object once the
// thread may be running; a sanitizer run catches it if it does.
class SelfFreeingThread : public Thread {
 public:
  explicit SelfFreeingThread(std::atomic<int>* ended) : ended_(ended) {}
  ~SelfFreeingThread() override { ended_->fetch_add(1); }

  static uint32_t Main(void* self) {
    delete static_cast<SelfFreeingThread*>(self);
    return 0;
  }

 private:
  std::atomic<int>* ended_;
};

TEST(PlatformThread, ADerivedThreadMayFreeItselfFromItsOwnFunction) {
  std::atomic<int> ended{0};
  constexpr int kThreads = 50;
  for (int i = 0; i < kThreads; ++i) {
    auto* t = new SelfFreeingThread(&ended);
    ASSERT_TRUE(t->Start(&SelfFreeingThread::Main, t, ThreadPriority::Higher));
  }
  ASSERT_TRUE(Eventually([&] { return ended.load() == kThreads; }));
  sio::platform::SleepMs(100);
}

struct PriorityProbe {
  Event ask{false, false};
  Event answered{false, false};
  Event stop{true, false};
  std::atomic<int> seen{-1};
};

uint32_t ReportPriority(void* p) {
  auto* probe = static_cast<PriorityProbe*>(p);
  probe->seen = static_cast<int>(sio::platform::CurrentThreadPriority());
  probe->answered.Set();
  for (;;) {
    switch (sio::platform::WaitForEither(probe->stop, probe->ask, kLongWaitMs)) {
      case WaitResult::Signaled2:
        probe->seen = static_cast<int>(sio::platform::CurrentThreadPriority());
        probe->answered.Set();
        break;
      case WaitResult::Signaled:
        return 0;
      default:
        return 1;
    }
  }
}

ThreadPriority SeenPriority(PriorityProbe& probe) {
  probe.ask.Set();
  EXPECT_EQ(probe.answered.Wait(kLongWaitMs), WaitResult::Signaled);
  return static_cast<ThreadPriority>(probe.seen.load());
}

TEST(PlatformThread, PriorityIsAppliedAtStartAndWhileRunning) {
  PriorityProbe probe;
  Thread t;
  ASSERT_TRUE(t.Start(ReportPriority, &probe, ThreadPriority::Lowest));
  ASSERT_EQ(probe.answered.Wait(kLongWaitMs), WaitResult::Signaled);
  EXPECT_EQ(static_cast<ThreadPriority>(probe.seen.load()), ThreadPriority::Lowest);
  EXPECT_EQ(t.GetPriority(), ThreadPriority::Lowest);

  // Lowering needs no privileges anywhere.
  EXPECT_TRUE(t.SetPriority(ThreadPriority::Idle));
  EXPECT_EQ(t.GetPriority(), ThreadPriority::Idle);
  EXPECT_EQ(SeenPriority(probe), ThreadPriority::Idle);

  // Raising may be refused without privileges; whatever the answer, it must
  // be the truth.
  const bool raised = t.SetPriority(ThreadPriority::Higher);
  EXPECT_EQ(SeenPriority(probe), raised ? ThreadPriority::Higher : ThreadPriority::Idle);
  if (raised) {
    EXPECT_EQ(t.GetPriority(), ThreadPriority::Higher);
  }

  probe.stop.Set();
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
  EXPECT_EQ(t.ExitCode(), 0u);
  EXPECT_FALSE(t.SetPriority(ThreadPriority::Lower));
}

TEST(PlatformThread, PrioritySetBeforeStartIsUsedByStart) {
  PriorityProbe probe;
  Thread t;
  EXPECT_TRUE(t.SetPriority(ThreadPriority::Lower));
  EXPECT_EQ(t.GetPriority(), ThreadPriority::Lower);
  ASSERT_TRUE(t.Start(ReportPriority, &probe, t.GetPriority()));
  ASSERT_EQ(probe.answered.Wait(kLongWaitMs), WaitResult::Signaled);
  EXPECT_EQ(static_cast<ThreadPriority>(probe.seen.load()), ThreadPriority::Lower);
  probe.stop.Set();
  ASSERT_TRUE(t.WaitFor(kLongWaitMs));
}

TEST(PlatformThread, SleepLastsAtLeastAsLongAsAsked) {
  for (uint32_t ms : {1u, 30u, 55u}) {
    const auto start = Clock::now();
    sio::platform::SleepMs(ms);
    EXPECT_GE(MsSince(start), ms);
  }
}

}  // namespace
