// Events, re-entrant critical sections and threads: the only synchronisation
// primitives the serial layer uses. Windows: kernel events, CRITICAL_SECTION,
// _beginthreadex. POSIX: mutex + condition variable, recursive mutex, pthreads.
// The locks are capabilities for clang's thread-safety analysis
// (platform/thread_annotations.h), and critical sections can carry a rank in
// the program's lock order, checked at run time in debug and test builds.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "thread_annotations.h"

namespace sio::platform {

// No time limit, for the waits below.
constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// How a wait ended.
enum class WaitResult {
  Signaled,   // the (first) event was set
  Signaled2,  // WaitForEither: the second event was set (and the first was not)
  Timeout,    // the time passed
  Abandoned,  // Windows: the wait's object was abandoned
  Failed,     // Windows: the wait itself failed
};

#if !defined(_WIN32)
// Told whenever a watched event is set: how a wait that sleeps somewhere
// else (in poll() on descriptors, in a message queue) also wakes for an
// event. Called with the event's lock held: it must be quick and must not
// touch the event. (Windows combines waits through NativeHandle instead.)
class EventWatcher {
 public:
  // A watched event was set.
  virtual void EventSet() = 0;

 protected:
  ~EventWatcher() = default;
};
#endif

// A kernel-style event. Auto-reset events release one waiter and reset
// themselves; manual-reset events stay set until Reset.
class Event {
 public:
  // A manual-reset or auto-reset event, set or not to begin with.
  Event(bool manualReset, bool initiallySet);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Sets the event.
  void Set();
  // Clears it.
  void Reset();
  // Waits up to timeoutMs (kInfinite: no limit). Signaled or Timeout.
  WaitResult Wait(uint32_t timeoutMs);

  // Windows: the event's HANDLE, for waits that combine it with other objects.
  // POSIX: nullptr.
  void* NativeHandle() const;

#if !defined(_WIN32)
  // Registers a watcher until Unwatch; it is told of every Set from then on.
  void Watch(EventWatcher* watcher);
  // Ends a registration made by Watch.
  void Unwatch(EventWatcher* watcher);
  // Takes the signal when the event is set (an auto-reset event resets).
  bool TrySignaled();
#endif

  struct Impl;

 private:
  friend WaitResult WaitForEither(Event& first, Event& second, uint32_t timeoutMs);
  std::unique_ptr<Impl> impl_;
};

// Waits until either event is set. When both are set the first wins; only the
// event that ends the wait is consumed (auto-reset).
WaitResult WaitForEither(Event& first, Event& second, uint32_t timeoutMs);

// A lock's place in the program's lock order. A thread that holds ranked
// locks may take another ranked lock only when its level is above the level
// of every one it holds; entering a lock it already holds is always
// allowed. Two locks of one level are therefore never held together. Level
// 0 is unranked: such a lock is not checked and not recorded. Each layer
// writes its order as one table of these (the serial layer's:
// serial/support/lock_order.h).
struct LockRank {
  uint8_t level = 0;  // the place in the order; 0: unranked
  const char* name = "";  // what a report calls the lock
};

// Whether this build checks the lock order: debug and test builds do (a
// per-thread record of the ranked locks held; a lock taken out of order is
// reported), release builds do not (CMake option SIO_LOCK_ORDER_CHECKS,
// off for Release and MinSizeRel).
bool LockOrderChecked();
// What a lock taken out of order does. By default the message, naming both
// locks, goes to standard error and the process aborts; a test installs
// its own function to see the message instead (the lock is then taken all
// the same). nullptr restores the default; returns the previous function.
using LockOrderReport = void (*)(const char* message);
// Installs the function a lock taken out of order calls (see LockOrderReport).
LockOrderReport SetLockOrderReport(LockOrderReport report);

// Re-entrant lock: the owning thread may enter again; it must leave as often.
// For the thread-safety analysis it is a capability; the analysis has no
// re-entry, so code that runs with the lock held says so (SIO_REQUIRES)
// rather than entering again.
class SIO_CAPABILITY("lock") CriticalSection {
 public:
  // An unranked lock.
  CriticalSection() : CriticalSection(LockRank{}) {}
  // A lock at its place in the lock order.
  explicit CriticalSection(LockRank rank);
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Enters, waiting while another thread is inside.
  void Enter() SIO_ACQUIRE();
  // Leaves once.
  void Leave() SIO_RELEASE();
  // Enters unless another thread is inside; false then. Never waits, so it
  // is not held to the lock order (it is recorded).
  bool TryEnter() SIO_TRY_ACQUIRE(true);
  // The lock's place in the lock order.
  LockRank Rank() const { return rank_; }

  struct Impl;

 private:
  // The lock-order record (platform/sync.cpp; nothing is recorded without
  // SIO_LOCK_ORDER_CHECKS). The ranked locks a thread holds form a stack
  // through the locks themselves, its top in a per-thread slot: no memory is
  // allocated per thread, so nothing needs freeing when a thread ends.
  // NoteEnter runs before the wait, so that a lock taken out of order is
  // reported rather than left to deadlock; it returns true when there is
  // nothing more to record (an unranked lock, or one the thread holds
  // already), else NoteEntered records the lock once it is held.
  bool NoteEnter(bool checkOrder) const;
  void NoteEntered() const;
  void NoteLeave() const;
  // The calling thread's most recently entered ranked lock that it still
  // holds (sync_posix.cpp, sync_win32.cpp).
  static const CriticalSection* TopHeld();
  static void SetTopHeld(const CriticalSection* top);

  std::unique_ptr<Impl> impl_;
  const LockRank rank_;
  // Written only by the thread that holds the lock.
  mutable const CriticalSection* heldBelow_ = nullptr;  // the next lock down the stack
  mutable uint32_t heldDepth_ = 0;                      // entries of the holder
};

// Inside a critical section for its lifetime.
class SIO_SCOPED_CAPABILITY CriticalSectionLock {
 public:
  // Enters cs; the destructor leaves it.
  explicit CriticalSectionLock(CriticalSection& cs) SIO_ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() SIO_RELEASE() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

// A plain (not re-entrant) lock that a condition variable can wait with:
// std::mutex as a capability the analysis knows (libstdc++'s carries no
// annotations). Unranked.
class SIO_CAPABILITY("mutex") Mutex {
 public:
  // Takes the lock, waiting while another thread holds it.
  void Lock() SIO_ACQUIRE() { mutex_.lock(); }
  // Leaves it.
  void Unlock() SIO_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its lifetime.
class SIO_SCOPED_CAPABILITY MutexLock {
 public:
  // Takes mutex; the destructor leaves it.
  explicit MutexLock(Mutex& mutex) SIO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() SIO_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Leaves the lock early.
  void Unlock() SIO_RELEASE() { lock_.unlock(); }
  // Takes it again within the scope.
  void Lock() SIO_ACQUIRE() { lock_.lock(); }

  // Leaves the lock while waiting for the condition variable and holds it
  // again when it returns (for the analysis it stays held). Callers loop on
  // their condition: a plain loop, not a predicate, so that the analysis
  // sees the guarded state read under the lock.
  void Wait(std::condition_variable& cv) { cv.wait(lock_); }
  // false when the deadline passed.
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable& cv,
                 const std::chrono::time_point<Clock, Duration>& deadline) {
    return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }
  // false when the interval passed.
  template <typename Rep, typename Period>
  bool WaitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& interval) {
    return cv.wait_for(lock_, interval) == std::cv_status::no_timeout;
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// The seven Windows thread priority levels. On Linux they map onto nice
// values of the thread, best effort (raising needs privileges).
enum class ThreadPriority {
  Idle,
  Lowest,
  Lower,  // below normal
  Normal,
  Higher,  // above normal
  Highest,
  TimeCritical,
};

// A thread running one function. The running code and this object share a
// reference-counted state, so that the object may be destroyed, or the thread
// let go with Detach, while the thread still runs: nothing it touches is
// freed under it, and destroying a running thread never terminates the
// process.
class Thread {
 public:
  // The thread's code; what it returns is the exit code.
  using Function = uint32_t (*)(void* arg);

  Thread();
  // Detaches when still running. Virtual: a thread object may be derived
  // from and may even free itself from inside its own thread function.
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the thread; false when the system refused, or when a thread
  // started by this object still runs. Id() is valid once it returns.
  bool Start(Function fn, void* arg, ThreadPriority priority = ThreadPriority::Normal);
  // Before Start: remembered for Start. Running: applied at once. Linux
  // raises priority only with privileges; refused there, the level is still
  // recorded (best effort) and the result is false.
  bool SetPriority(ThreadPriority priority);
  // The level last set.
  ThreadPriority GetPriority() const;

  // Whether this object started a thread and has not let it go (Detach).
  bool Started() const;
  // Whether that thread has ended.
  bool Finished() const;
  // Waits up to timeoutMs for the thread to end; true when it has ended,
  // false on time-out or when no thread was started.
  bool WaitFor(uint32_t timeoutMs);
  // Exit value of the thread function; valid once Finished().
  uint32_t ExitCode() const;
  // Lets the thread run on alone; the object may then be destroyed at once.
  void Detach();
  // Id of the thread (0 before Start).
  uint64_t Id() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  ThreadPriority priority_ = ThreadPriority::Normal;
};

// The calling thread's id, as Id() gives it for a thread started here.
uint64_t CurrentThreadId();
// The level the system actually gives the calling thread (Linux: the nearest
// level to its nice value).
ThreadPriority CurrentThreadPriority();
// Sleeps for ms milliseconds.
void SleepMs(uint32_t ms);

}  // namespace sio::platform
