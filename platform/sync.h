// Events, re-entrant critical sections and threads: the only synchronisation
// primitives the serial layer uses. Windows: kernel events, CRITICAL_SECTION,
// _beginthreadex. POSIX: mutex + condition variable, recursive mutex, pthreads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

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

// Re-entrant lock: the owning thread may enter again; it must leave as often.
class CriticalSection {
 public:
  CriticalSection();
  ~CriticalSection();
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  // Enters, waiting while another thread is inside.
  void Enter();
  // Leaves once.
  void Leave();
  // Enters unless another thread is inside; false then.
  bool TryEnter();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Inside a critical section for its lifetime.
class CriticalSectionLock {
 public:
  // Enters cs; the destructor leaves it.
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
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
