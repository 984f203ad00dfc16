// The hand-over of calls to the user-interface thread. It needs only the
// window services of this layer, so one implementation serves both hosts.
#include "platform/message_loop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>

#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace sio::platform {
namespace {

// The one lock of the hand-over: it guards the state below and every
// PendingCall's flags. Never destroyed: threads may still hand over while
// the process exits.
Mutex& HandOverLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}

// One call waiting for the user-interface thread. The caller and the pending
// list share it, so a caller that leaves (cancelled) never strands the runner.
struct PendingCall {
  HandOverFunction fn = nullptr;
  void* context = nullptr;
  std::exception_ptr error SIO_GUARDED_BY(HandOverLock());
  bool done SIO_GUARDED_BY(HandOverLock()) = false;
  bool cancelled SIO_GUARDED_BY(HandOverLock()) = false;
  std::condition_variable finished;  // the caller's own wake-up
};

struct HandOverState {
  bool active SIO_GUARDED_BY(HandOverLock()) = false;
  std::thread::id uiThread SIO_GUARDED_BY(HandOverLock());
  WindowHandle window SIO_GUARDED_BY(HandOverLock()) = nullptr;
  std::deque<std::shared_ptr<PendingCall>> pending SIO_GUARDED_BY(HandOverLock());
};

// Never destroyed, as its lock.
HandOverState& State() {
  static HandOverState* state = new HandOverState;
  return *state;
}

// A waiting caller re-checks its call this often even without a wake-up.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

LResult ApplicationWindowProc(WindowHandle, uint32_t msg, WParam, LParam) {
  if (msg == kMsgNull) RunPendingHandOvers();
  return 0;
}

void FailCalls(std::deque<std::shared_ptr<PendingCall>>& calls) SIO_REQUIRES(HandOverLock()) {
  for (auto& call : calls) {
    call->cancelled = true;
    call->finished.notify_all();
  }
  calls.clear();
}

// Ends the role of the user-interface thread; true when the calling thread
// had it. Waiting callers fail instead of waiting for a thread that will
// never pump again.
bool EndRole(WindowHandle* windowOut) {
  HandOverState& s = State();
  MutexLock lock(HandOverLock());
  if (!s.active) return false;
  const bool owner = s.uiThread == std::this_thread::get_id();
  if (windowOut) *windowOut = s.window;
  s.active = false;
  s.uiThread = std::thread::id();
  s.window = nullptr;
  FailCalls(s.pending);
  return owner;
}

// A user-interface thread that ends without DoneUserInterfaceThread gives up
// its role as it goes: thread ids are reused, and a later thread with the
// same id must not pass for it.
struct RoleGuard {
  bool armed = false;
  ~RoleGuard() {
    if (armed && IsUserInterfaceThread()) EndRole(nullptr);
  }
};
thread_local RoleGuard t_roleGuard;

}  // namespace

bool InitUserInterfaceThread() {
  HandOverState& s = State();
  {
    MutexLock lock(HandOverLock());
    if (s.active) return s.uiThread == std::this_thread::get_id();
  }
  WindowHandle window = CreateHiddenWindow("SioApplicationWindow", ApplicationWindowProc, nullptr);
  if (window == nullptr) return false;
  MutexLock lock(HandOverLock());
  if (s.active) {
    // Another thread won the race; this one is not the user-interface thread.
    DestroyHiddenWindow(window);
    return false;
  }
  s.active = true;
  s.uiThread = std::this_thread::get_id();
  s.window = window;
  t_roleGuard.armed = true;
  return true;
}

void DoneUserInterfaceThread() {
  WindowHandle window = nullptr;
  if (EndRole(&window)) {
    t_roleGuard.armed = false;
    DestroyHiddenWindow(window);
  }
}

bool IsUserInterfaceThread() {
  HandOverState& s = State();
  MutexLock lock(HandOverLock());
  return s.active && s.uiThread == std::this_thread::get_id();
}

WindowHandle ApplicationWindow() {
  HandOverState& s = State();
  MutexLock lock(HandOverLock());
  return s.window;
}

void RunOnUserInterfaceThread(HandOverFunction fn, void* context) {
  if (fn == nullptr) return;
  HandOverState& s = State();
  auto call = std::make_shared<PendingCall>();
  call->fn = fn;
  call->context = context;
  WindowHandle window = nullptr;
  {
    MutexLock lock(HandOverLock());
    if (!s.active) throw HandOverError("No user-interface thread to run the call");
    if (s.uiThread == std::this_thread::get_id()) {
      window = nullptr;  // run at once, below, outside the lock
    } else {
      window = s.window;
      s.pending.push_back(call);
    }
  }
  if (window == nullptr) {
    fn(context);
    return;
  }

  if (!PostWindowMessage(window, kMsgNull, 0, 0)) {
    // The window went away under us: withdraw the call unless the shutdown
    // already failed it.
    MutexLock lock(HandOverLock());
    for (auto it = s.pending.begin(); it != s.pending.end(); ++it) {
      if (*it == call) {
        s.pending.erase(it);
        throw HandOverError("The user-interface thread's window is gone");
      }
    }
  }

  std::exception_ptr error;
  {
    MutexLock lock(HandOverLock());
    while (!call->done && !call->cancelled)
      lock.WaitFor(call->finished, kWaitSlice);
    if (call->cancelled) throw HandOverError("The user-interface thread ended before the call ran");
    // Moved out, so that the exception is owned by this thread alone from here.
    error = std::move(call->error);
  }
  if (error) std::rethrow_exception(error);
}

int RunPendingHandOvers() {
  HandOverState& s = State();
  int count = 0;
  for (;;) {
    std::shared_ptr<PendingCall> call;
    {
      MutexLock lock(HandOverLock());
      if (!s.active || s.uiThread != std::this_thread::get_id() || s.pending.empty()) break;
      call = s.pending.front();
      s.pending.pop_front();
    }
    std::exception_ptr error;
    try {
      call->fn(call->context);
    } catch (...) {
      error = std::current_exception();
    }
    ++count;
    MutexLock lock(HandOverLock());
    call->error = std::move(error);
    call->done = true;
    call->finished.notify_all();
  }
  return count;
}

}  // namespace sio::platform
