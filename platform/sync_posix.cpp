// Events, critical sections and threads over pthreads. An event is a flag
// under a mutex with a condition variable on the monotonic clock; waiting on
// two events registers a shared "poke" with both, so that a Set on either one
// wakes the waiter without a lost wake-up.
#include "platform/sync.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace sio::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A waiter on two events: either event pokes it when set.
struct MultiWaiter final : EventWatcher {
  void EventSet() override {
    std::lock_guard<std::mutex> poke(mutex);
    poked = true;
    wake.notify_one();
  }
  std::mutex mutex;
  std::condition_variable wake;
  bool poked = false;
};

SteadyClock::time_point DeadlineAfter(uint32_t timeoutMs) {
  return SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

struct Event::Impl {
  Impl(bool manual, bool set) : manualReset(manual), isSet(set) {}

  // Caller holds mutex. Takes the signal when it is there: an auto-reset
  // event resets itself for exactly the one waiter it releases.
  bool TryConsume() {
    if (!isSet) return false;
    if (!manualReset) isSet = false;
    return true;
  }

  std::mutex mutex;
  std::condition_variable changed;
  const bool manualReset;
  bool isSet;
  std::vector<EventWatcher*> watchers;  // guarded by mutex
};

Event::Event(bool manualReset, bool initiallySet)
    : impl_(std::make_unique<Impl>(manualReset, initiallySet)) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->isSet = true;
  for (EventWatcher* watcher : impl_->watchers)
    watcher->EventSet();
  if (impl_->manualReset) {
    impl_->changed.notify_all();
  } else {
    impl_->changed.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->isSet = false;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  if (timeoutMs == kInfinite) {
    while (!impl_->TryConsume())
      impl_->changed.wait(lock);
    return WaitResult::Signaled;
  }
  const auto deadline = DeadlineAfter(timeoutMs);
  // The deadline is checked against the clock, not against the wait's own
  // verdict, so that a wake-up a hair early never counts as a time-out.
  while (!impl_->TryConsume()) {
    if (SteadyClock::now() >= deadline) return WaitResult::Timeout;
    impl_->changed.wait_until(lock, deadline);
  }
  return WaitResult::Signaled;
}

void* Event::NativeHandle() const {
  return nullptr;
}

namespace {

bool TryConsumeLocked(Event::Impl& impl) {
  std::lock_guard<std::mutex> lock(impl.mutex);
  return impl.TryConsume();
}

void Watch(Event::Impl& impl, EventWatcher* waiter) {
  std::lock_guard<std::mutex> lock(impl.mutex);
  impl.watchers.push_back(waiter);
}

void Unwatch(Event::Impl& impl, EventWatcher* waiter) {
  std::lock_guard<std::mutex> lock(impl.mutex);
  auto& list = impl.watchers;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (*it == waiter) {
      list.erase(it);
      return;
    }
  }
}

}  // namespace

void Event::Watch(EventWatcher* watcher) {
  platform::Watch(*impl_, watcher);
}

void Event::Unwatch(EventWatcher* watcher) {
  platform::Unwatch(*impl_, watcher);
}

bool Event::TrySignaled() {
  return TryConsumeLocked(*impl_);
}

WaitResult WaitForEither(Event& first, Event& second, uint32_t timeoutMs) {
  if (&first == &second) return first.Wait(timeoutMs);
  Event::Impl& a = *first.impl_;
  Event::Impl& b = *second.impl_;

  // Registered before the first look, so a Set between the look and the
  // sleep still pokes us.
  MultiWaiter waiter;
  Watch(a, &waiter);
  Watch(b, &waiter);

  const bool infinite = timeoutMs == kInfinite;
  const auto deadline = infinite ? SteadyClock::time_point::max() : DeadlineAfter(timeoutMs);
  WaitResult result = WaitResult::Timeout;
  for (;;) {
    // The first event is always looked at first: when both are set it wins,
    // and the second keeps its signal.
    if (TryConsumeLocked(a)) {
      result = WaitResult::Signaled;
      break;
    }
    if (TryConsumeLocked(b)) {
      result = WaitResult::Signaled2;
      break;
    }
    std::unique_lock<std::mutex> lock(waiter.mutex);
    if (!waiter.poked) {
      if (!infinite && SteadyClock::now() >= deadline) break;
      if (infinite) {
        waiter.wake.wait(lock);
      } else {
        waiter.wake.wait_until(lock, deadline);
      }
    }
    waiter.poked = false;
  }
  Unwatch(a, &waiter);
  Unwatch(b, &waiter);
  return result;
}

struct CriticalSection::Impl {
  Impl() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~Impl() { pthread_mutex_destroy(&mutex); }
  pthread_mutex_t mutex;
};

CriticalSection::CriticalSection(LockRank rank) : impl_(std::make_unique<Impl>()), rank_(rank) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::Enter() {
  const bool recorded = NoteEnter(true);
  pthread_mutex_lock(&impl_->mutex);
  if (!recorded) NoteEntered();
}
void CriticalSection::Leave() {
  NoteLeave();
  pthread_mutex_unlock(&impl_->mutex);
}
bool CriticalSection::TryEnter() {
  if (pthread_mutex_trylock(&impl_->mutex) != 0) return false;
  if (!NoteEnter(false)) NoteEntered();
  return true;
}

namespace {
thread_local const CriticalSection* t_topHeld = nullptr;
}  // namespace

const CriticalSection* CriticalSection::TopHeld() {
  return t_topHeld;
}
void CriticalSection::SetTopHeld(const CriticalSection* top) {
  t_topHeld = top;
}

namespace {

// Nice values standing in for the seven Windows levels.
int NiceFor(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::Idle:
      return 19;
    case ThreadPriority::Lowest:
      return 10;
    case ThreadPriority::Lower:
      return 5;
    case ThreadPriority::Normal:
      return 0;
    case ThreadPriority::Higher:
      return -5;
    case ThreadPriority::Highest:
      return -10;
    case ThreadPriority::TimeCritical:
      return -15;
  }
  return 0;
}

uint64_t KernelThreadId() {
#if defined(__linux__)
  return static_cast<uint64_t>(syscall(SYS_gettid));
#else
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pthread_self()));
#endif
}

enum class NiceOutcome { Applied, NotPermitted, Failed };

NiceOutcome ApplyNice(uint64_t tid, ThreadPriority priority) {
#if defined(__linux__)
  // On Linux the nice value belongs to the thread named by its kernel id.
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), NiceFor(priority)) == 0) {
    return NiceOutcome::Applied;
  }
  return (errno == EPERM || errno == EACCES) ? NiceOutcome::NotPermitted : NiceOutcome::Failed;
#else
  (void)tid;
  (void)priority;
  return NiceOutcome::NotPermitted;
#endif
}

}  // namespace

struct Thread::State {
  std::mutex mutex;
  std::condition_variable changed;
  Function fn = nullptr;
  void* arg = nullptr;
  ThreadPriority initialPriority = ThreadPriority::Normal;
  uint64_t tid = 0;
  bool running = false;  // the kernel id is known and the start priority applied
  bool finished = false;
  uint32_t exitCode = 0;
};

namespace {

void* ThreadEntry(void* param) {
  // The thread owns a reference of its own: the Thread object may go away
  // at any moment without pulling the state from under us.
  auto* holder = static_cast<std::shared_ptr<Thread::State>*>(param);
  std::shared_ptr<Thread::State> state = std::move(*holder);
  delete holder;

  const uint64_t tid = KernelThreadId();
  if (state->initialPriority != ThreadPriority::Normal) {
    ApplyNice(tid, state->initialPriority);
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->tid = tid;
    state->running = true;
  }
  state->changed.notify_all();

  const uint32_t exitCode = state->fn(state->arg);

  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->exitCode = exitCode;
    state->finished = true;
  }
  state->changed.notify_all();
  return nullptr;
}

}  // namespace

Thread::Thread() = default;

// Dropping our reference is all it takes: the thread runs detached and holds
// its own.
Thread::~Thread() = default;

bool Thread::Start(Function fn, void* arg, ThreadPriority priority) {
  if (fn == nullptr) return false;
  if (state_ && !Finished()) return false;

  auto state = std::make_shared<State>();
  state->fn = fn;
  state->arg = arg;
  state->initialPriority = priority;

  auto* holder = new (std::nothrow) std::shared_ptr<State>(state);
  if (holder == nullptr) return false;

  // Everything this object keeps is in place before the thread runs: the
  // thread function may free this very object, so nothing here touches it
  // once the thread has been created.
  std::shared_ptr<State> previous = std::move(state_);
  const ThreadPriority previousPriority = priority_;
  state_ = state;
  priority_ = priority;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t handle;
  const int rc = pthread_create(&handle, &attr, ThreadEntry, holder);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete holder;
    state_ = std::move(previous);
    priority_ = previousPriority;
    return false;
  }

  // Wait (on our own reference) until the thread knows its kernel id, so
  // that Id and SetPriority work as soon as Start returns.
  std::unique_lock<std::mutex> lock(state->mutex);
  state->changed.wait(lock, [&] { return state->running; });
  return true;
}

bool Thread::SetPriority(ThreadPriority priority) {
  if (!state_) {
    priority_ = priority;
    return true;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->finished) return false;
  switch (ApplyNice(state_->tid, priority)) {
    case NiceOutcome::Applied:
      priority_ = priority;
      return true;
    case NiceOutcome::NotPermitted:
      // Best effort: the level stands as asked, the nice value could not
      // follow without privileges.
      priority_ = priority;
      return false;
    case NiceOutcome::Failed:
      break;
  }
  return false;
}

ThreadPriority Thread::GetPriority() const {
  return priority_;
}

bool Thread::Started() const {
  return state_ != nullptr;
}

bool Thread::Finished() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finished;
}

bool Thread::WaitFor(uint32_t timeoutMs) {
  if (!state_) return false;
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (timeoutMs == kInfinite) {
    state_->changed.wait(lock, [&] { return state_->finished; });
    return true;
  }
  const auto deadline = DeadlineAfter(timeoutMs);
  while (!state_->finished) {
    if (SteadyClock::now() >= deadline) return false;
    state_->changed.wait_until(lock, deadline);
  }
  return true;
}

uint32_t Thread::ExitCode() const {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->exitCode;
}

void Thread::Detach() {
  state_.reset();
}

uint64_t Thread::Id() const {
  if (!state_) return 0;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->tid;
}

uint64_t CurrentThreadId() {
  return KernelThreadId();
}

ThreadPriority CurrentThreadPriority() {
#if defined(__linux__)
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(KernelThreadId()));
  if (nice == -1 && errno != 0) return ThreadPriority::Normal;
  // The level whose nice value is nearest; ties go to the lower priority.
  ThreadPriority best = ThreadPriority::Idle;
  int bestDistance = 1000;
  for (int level = static_cast<int>(ThreadPriority::Idle);
       level <= static_cast<int>(ThreadPriority::TimeCritical); ++level) {
    const auto candidate = static_cast<ThreadPriority>(level);
    const int distance = std::abs(NiceFor(candidate) - nice);
    if (distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
#else
  return ThreadPriority::Normal;
#endif
}

void SleepMs(uint32_t ms) {
  timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace sio::platform
