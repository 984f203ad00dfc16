// Events, critical sections and threads as the Win32 kernel provides them.
#include "platform/sync.h"

#include <chrono>
#include <new>

#include <windows.h>
#include <process.h>

namespace sio::platform {

namespace {

using SteadyClock = std::chrono::steady_clock;

WaitResult Translate(DWORD rc, WaitResult second) {
  switch (rc) {
    case WAIT_OBJECT_0:
      return WaitResult::Signaled;
    case WAIT_OBJECT_0 + 1:
      return second;
    case WAIT_TIMEOUT:
      return WaitResult::Timeout;
    case WAIT_ABANDONED:
    case WAIT_ABANDONED + 1:
      return WaitResult::Abandoned;
    default:
      return WaitResult::Failed;
  }
}

// The kernel may end a timed wait a little before the interval is over (its
// timer runs in clock ticks); waiting out the rest keeps every time-out at
// least as long as asked.
template <typename WaitCall>
DWORD WaitAtLeast(uint32_t timeoutMs, WaitCall wait) {
  if (timeoutMs == kInfinite) return wait(INFINITE);
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  DWORD rc = wait(static_cast<DWORD>(timeoutMs));
  while (rc == WAIT_TIMEOUT) {
    const auto now = SteadyClock::now();
    if (now >= deadline) break;
    const auto rest = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    rc = wait(static_cast<DWORD>(rest));
  }
  return rc;
}

}  // namespace

struct Event::Impl {
  HANDLE handle = nullptr;
};

Event::Event(bool manualReset, bool initiallySet) : impl_(std::make_unique<Impl>()) {
  impl_->handle =
      ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
  if (impl_->handle == nullptr) throw std::bad_alloc();
}

Event::~Event() {
  ::CloseHandle(impl_->handle);
}

void Event::Set() {
  ::SetEvent(impl_->handle);
}
void Event::Reset() {
  ::ResetEvent(impl_->handle);
}

WaitResult Event::Wait(uint32_t timeoutMs) {
  HANDLE handle = impl_->handle;
  return Translate(
      WaitAtLeast(timeoutMs, [handle](DWORD ms) { return ::WaitForSingleObject(handle, ms); }),
      WaitResult::Failed);
}

void* Event::NativeHandle() const {
  return impl_->handle;
}

WaitResult WaitForEither(Event& first, Event& second, uint32_t timeoutMs) {
  // The kernel refuses the same handle twice in one wait.
  if (&first == &second) return first.Wait(timeoutMs);
  // A wait for any object reports the lowest index that is signalled and
  // consumes only that one: the first event wins and the second keeps its
  // signal.
  HANDLE handles[2] = {first.impl_->handle, second.impl_->handle};
  return Translate(
      WaitAtLeast(timeoutMs,
                  [&handles](DWORD ms) { return ::WaitForMultipleObjects(2, handles, FALSE, ms); }),
      WaitResult::Signaled2);
}

struct CriticalSection::Impl {
  CRITICAL_SECTION section;
};

CriticalSection::CriticalSection(LockRank rank) : impl_(std::make_unique<Impl>()), rank_(rank) {
  ::InitializeCriticalSection(&impl_->section);
}
CriticalSection::~CriticalSection() {
  ::DeleteCriticalSection(&impl_->section);
}
void CriticalSection::Enter() {
  const bool recorded = NoteEnter(true);
  ::EnterCriticalSection(&impl_->section);
  if (!recorded) NoteEntered();
}
void CriticalSection::Leave() {
  NoteLeave();
  ::LeaveCriticalSection(&impl_->section);
}
bool CriticalSection::TryEnter() {
  if (::TryEnterCriticalSection(&impl_->section) == FALSE) return false;
  if (!NoteEnter(false)) NoteEntered();
  return true;
}

// A slot of the system's own thread-local storage, not a thread_local
// variable: MinGW emulates those with memory allocated per thread and freed
// as the thread ends, and locks are still taken during thread exit.
namespace {
DWORD TopHeldSlot() {
  static const DWORD slot = ::TlsAlloc();
  return slot;
}
}  // namespace

// The slot functions clear the thread's last error when they succeed; the
// caller's is kept, since a lock is often taken between a failed call and
// its GetLastError.
const CriticalSection* CriticalSection::TopHeld() {
  const DWORD error = ::GetLastError();
  void* top = ::TlsGetValue(TopHeldSlot());
  ::SetLastError(error);
  return static_cast<const CriticalSection*>(top);
}
void CriticalSection::SetTopHeld(const CriticalSection* top) {
  const DWORD error = ::GetLastError();
  ::TlsSetValue(TopHeldSlot(), const_cast<CriticalSection*>(top));
  ::SetLastError(error);
}

namespace {

int NativePriority(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::Idle:
      return THREAD_PRIORITY_IDLE;
    case ThreadPriority::Lowest:
      return THREAD_PRIORITY_LOWEST;
    case ThreadPriority::Lower:
      return THREAD_PRIORITY_BELOW_NORMAL;
    case ThreadPriority::Normal:
      return THREAD_PRIORITY_NORMAL;
    case ThreadPriority::Higher:
      return THREAD_PRIORITY_ABOVE_NORMAL;
    case ThreadPriority::Highest:
      return THREAD_PRIORITY_HIGHEST;
    case ThreadPriority::TimeCritical:
      return THREAD_PRIORITY_TIME_CRITICAL;
  }
  return THREAD_PRIORITY_NORMAL;
}

}  // namespace

struct Thread::State {
  ~State() {
    if (handle != nullptr) ::CloseHandle(handle);
  }
  HANDLE handle = nullptr;
  unsigned id = 0;
  Function fn = nullptr;
  void* arg = nullptr;
};

namespace {

unsigned __stdcall ThreadEntry(void* param) {
  // The thread owns a reference of its own: the Thread object may go away
  // at any moment without pulling the state (and its handle) from under us.
  auto* holder = static_cast<std::shared_ptr<Thread::State>*>(param);
  std::shared_ptr<Thread::State> state = std::move(*holder);
  delete holder;
  return static_cast<unsigned>(state->fn(state->arg));
}

}  // namespace

Thread::Thread() = default;

// Dropping our reference is all it takes: the thread keeps its own, and the
// last one closes the handle.
Thread::~Thread() = default;

bool Thread::Start(Function fn, void* arg, ThreadPriority priority) {
  if (fn == nullptr) return false;
  if (state_ && !Finished()) return false;

  auto state = std::make_shared<State>();
  state->fn = fn;
  state->arg = arg;
  auto* holder = new (std::nothrow) std::shared_ptr<State>(state);
  if (holder == nullptr) return false;

  // Created suspended, so the priority is in place before the first
  // instruction runs and the handle is stored before the thread can drop
  // the last reference.
  unsigned id = 0;
  const uintptr_t handle = ::_beginthreadex(nullptr, 0, ThreadEntry, holder, CREATE_SUSPENDED, &id);
  if (handle == 0) {
    delete holder;
    return false;
  }
  state->handle = reinterpret_cast<HANDLE>(handle);
  state->id = id;
  ::SetThreadPriority(state->handle, NativePriority(priority));
  // Everything this object keeps is in place before the thread runs: the
  // thread function may free this very object.
  state_ = state;
  priority_ = priority;
  ::ResumeThread(state->handle);
  return true;
}

bool Thread::SetPriority(ThreadPriority priority) {
  if (!state_) {
    priority_ = priority;
    return true;
  }
  if (Finished()) return false;
  if (!::SetThreadPriority(state_->handle, NativePriority(priority))) return false;
  priority_ = priority;
  return true;
}

ThreadPriority Thread::GetPriority() const {
  return priority_;
}

bool Thread::Started() const {
  return state_ != nullptr;
}

bool Thread::Finished() const {
  return state_ && ::WaitForSingleObject(state_->handle, 0) == WAIT_OBJECT_0;
}

bool Thread::WaitFor(uint32_t timeoutMs) {
  if (!state_) return false;
  HANDLE handle = state_->handle;
  return WaitAtLeast(timeoutMs, [handle](DWORD ms) { return ::WaitForSingleObject(handle, ms); }) ==
         WAIT_OBJECT_0;
}

uint32_t Thread::ExitCode() const {
  // Before the end the system reports "still active" (259); that is no exit value.
  if (!Finished()) return 0;
  DWORD code = 0;
  if (!::GetExitCodeThread(state_->handle, &code)) return 0;
  return static_cast<uint32_t>(code);
}

void Thread::Detach() {
  state_.reset();
}

uint64_t Thread::Id() const {
  return state_ ? state_->id : 0;
}

uint64_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

ThreadPriority CurrentThreadPriority() {
  switch (::GetThreadPriority(::GetCurrentThread())) {
    case THREAD_PRIORITY_IDLE:
      return ThreadPriority::Idle;
    case THREAD_PRIORITY_LOWEST:
      return ThreadPriority::Lowest;
    case THREAD_PRIORITY_BELOW_NORMAL:
      return ThreadPriority::Lower;
    case THREAD_PRIORITY_ABOVE_NORMAL:
      return ThreadPriority::Higher;
    case THREAD_PRIORITY_HIGHEST:
      return ThreadPriority::Highest;
    case THREAD_PRIORITY_TIME_CRITICAL:
      return ThreadPriority::TimeCritical;
    default:
      return ThreadPriority::Normal;
  }
}

void SleepMs(uint32_t ms) {
  ::Sleep(ms);
}

}  // namespace sio::platform
