// Windows and message queues on a host without them: one queue per thread,
// made on first use, and a registry of live windows. A window handle is a
// serial number that is never reused, so a stale handle is recognised (1400)
// instead of reaching a newer window. One process-wide lock guards the
// registry and every queue; procedures always run outside it.
#include "platform/message_loop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace sio::platform {
namespace {

using Clock = std::chrono::steady_clock;

thread_local uint32_t t_lastError = 0;

void SetLastWindowError(uint32_t error) {
  t_lastError = error;
}

// The queue's own way to sleep: a condition variable and a flag, so that a
// Wake that comes before the wait is not lost.
class DefaultEventSource final : public EventSource {
 public:
  void ProcessPending() override {}
  void WaitForEvents(uint32_t timeoutMs) override {
    MutexLock lock(mutex_);
    if (timeoutMs == kWaitForever) {
      while (!wake_)
        lock.Wait(woken_);
    } else {
      const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
      while (!wake_ && lock.WaitUntil(woken_, deadline)) {
      }
    }
    wake_ = false;
  }
  void Wake() override {
    MutexLock lock(mutex_);
    wake_ = true;
    woken_.notify_all();
  }

 private:
  Mutex mutex_;
  std::condition_variable woken_;
  bool wake_ SIO_GUARDED_BY(mutex_) = false;
};

// The process-wide lock of the registry and of every queue. Never
// destroyed: thread-exit clean-up may run during process exit.
Mutex& RegistryLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}

struct ThreadQueue;

// A message sent from another thread. Sender and owner share it: a sender
// that gave up (time-out) leaves nothing dangling for an owner that is
// still running the message.
struct SentMessage {
  enum class State { Queued, Running, Done, Failed };
  Message message;
  std::shared_ptr<ThreadQueue> sender;
  State state SIO_GUARDED_BY(RegistryLock()) = State::Queued;
  LResult result SIO_GUARDED_BY(RegistryLock()) = 0;
};

struct ThreadQueue {
  bool alive SIO_GUARDED_BY(RegistryLock()) = true;
  std::deque<Message> posted SIO_GUARDED_BY(RegistryLock());
  std::deque<std::shared_ptr<SentMessage>> sent SIO_GUARDED_BY(RegistryLock());
  bool quitPending SIO_GUARDED_BY(RegistryLock()) = false;
  int quitCode SIO_GUARDED_BY(RegistryLock()) = 0;
  // Wakes this thread while it waits for the reply to its own sent message:
  // a reply arrived, or a message was sent to this thread.
  std::condition_variable replyOrSent;
  DefaultEventSource defaultSource;
  // Set by the owning thread under the lock; read by the owning thread
  // without it (nobody else writes it) and by others with it.
  EventSource* installedSource = nullptr;

  EventSource& Source() { return installedSource ? *installedSource : defaultSource; }
  void Signal() SIO_REQUIRES(RegistryLock()) {
    if (!alive) return;
    Source().Wake();
    replyOrSent.notify_all();
  }
};

struct WindowRecord {
  WindowHandle handle = nullptr;
  WindowProc proc = nullptr;
  void* userData SIO_GUARDED_BY(RegistryLock()) = nullptr;
  std::shared_ptr<ThreadQueue> owner;
  std::thread::id ownerThread;
};

struct Registry {
  std::unordered_map<uintptr_t, std::shared_ptr<WindowRecord>> windows
      SIO_GUARDED_BY(RegistryLock());
  uintptr_t lastSerial SIO_GUARDED_BY(RegistryLock()) = 0x00A0000;
};

// Never destroyed, as its lock.
Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<WindowRecord> FindWindow(WindowHandle hwnd) SIO_REQUIRES(RegistryLock()) {
  auto& windows = Reg().windows;
  auto it = windows.find(reinterpret_cast<uintptr_t>(hwnd));
  return it == windows.end() ? nullptr : it->second;
}

void FinishSent(SentMessage& sent, SentMessage::State state, LResult result)
    SIO_REQUIRES(RegistryLock()) {
  sent.state = state;
  sent.result = result;
  sent.sender->replyOrSent.notify_all();
}

// Drops a window from the registry with everything still queued for it.
void RetireWindow(const std::shared_ptr<WindowRecord>& window) SIO_REQUIRES(RegistryLock()) {
  Reg().windows.erase(reinterpret_cast<uintptr_t>(window->handle));
  ThreadQueue& q = *window->owner;
  std::erase_if(q.posted, [&](const Message& m) { return m.hwnd == window->handle; });
  // A loop rather than erase_if: the analysis does not carry the lock into
  // a lambda, and FinishSent needs it.
  for (auto it = q.sent.begin(); it != q.sent.end();) {
    if ((*it)->message.hwnd != window->handle) {
      ++it;
      continue;
    }
    FinishSent(**it, SentMessage::State::Failed, 0);
    it = q.sent.erase(it);
  }
}

// When a thread ends, its windows die with it and whoever still sends to
// them is released.
void RetireQueue(const std::shared_ptr<ThreadQueue>& q) {
  MutexLock lock(RegistryLock());
  std::vector<std::shared_ptr<WindowRecord>> owned;
  for (auto& [serial, window] : Reg().windows) {
    if (window->owner == q) owned.push_back(window);
  }
  for (auto& window : owned)
    RetireWindow(window);
  for (auto& s : q->sent)
    FinishSent(*s, SentMessage::State::Failed, 0);
  q->sent.clear();
  q->posted.clear();
  q->alive = false;
  q->installedSource = nullptr;
}

struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue;
  ~QueueHolder() {
    if (queue) RetireQueue(queue);
  }
};

thread_local QueueHolder t_queue;

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
  if (!t_queue.queue) t_queue.queue = std::make_shared<ThreadQueue>();
  return t_queue.queue;
}

// Runs the messages other threads have sent to the calling thread's windows.
// The sender is released even when a procedure throws.
int RunSentMessages(const std::shared_ptr<ThreadQueue>& q) {
  int count = 0;
  for (;;) {
    std::shared_ptr<SentMessage> sent;
    std::shared_ptr<WindowRecord> window;
    {
      MutexLock lock(RegistryLock());
      if (q->sent.empty()) break;
      sent = q->sent.front();
      q->sent.pop_front();
      window = FindWindow(sent->message.hwnd);
      if (!window) {
        FinishSent(*sent, SentMessage::State::Failed, 0);
        continue;
      }
      sent->state = SentMessage::State::Running;
    }
    struct Completion {
      SentMessage& sent;
      LResult result = 0;
      ~Completion() {
        MutexLock lock(RegistryLock());
        FinishSent(sent, SentMessage::State::Done, result);
      }
    } completion{*sent};
    ++count;
    const Message& m = sent->message;
    completion.result = window->proc(m.hwnd, m.message, m.wParam, m.lParam);
  }
  return count;
}

bool Enqueue(const std::shared_ptr<ThreadQueue>& q, const Message& m) SIO_REQUIRES(RegistryLock()) {
  if (!q->alive) return false;
  q->posted.push_back(m);
  q->Signal();
  return true;
}

}  // namespace

uint32_t LastWindowError() {
  return t_lastError;
}

WindowHandle CreateHiddenWindow(const char*, WindowProc proc, void* userData) {
  if (proc == nullptr) {
    SetLastWindowError(errInvalidParameter);
    return nullptr;
  }
  auto window = std::make_shared<WindowRecord>();
  window->proc = proc;
  window->owner = CurrentQueue();
  window->ownerThread = std::this_thread::get_id();
  MutexLock lock(RegistryLock());
  window->userData = userData;
  Registry& reg = Reg();
  // Serial numbers whose low 16 bits are 0 are skipped: the pump reports the
  // handle's low half beside the message number, and a zero there would make
  // a message 18 to a window look like the quit request.
  do {
    ++reg.lastSerial;
  } while ((reg.lastSerial & 0xFFFF) == 0);
  window->handle = reinterpret_cast<WindowHandle>(reg.lastSerial);
  reg.windows.emplace(reg.lastSerial, window);
  return window->handle;
}

bool DestroyHiddenWindow(WindowHandle hwnd) {
  MutexLock lock(RegistryLock());
  auto window = FindWindow(hwnd);
  if (!window) {
    SetLastWindowError(errInvalidWindowHandle);
    return false;
  }
  if (window->ownerThread != std::this_thread::get_id()) {
    SetLastWindowError(errAccessDenied);
    return false;
  }
  RetireWindow(window);
  return true;
}

size_t HiddenWindowCount() {
  MutexLock lock(RegistryLock());
  return Reg().windows.size();
}

bool IsWindowAlive(WindowHandle hwnd) {
  MutexLock lock(RegistryLock());
  return FindWindow(hwnd) != nullptr;
}

void* GetWindowUserData(WindowHandle hwnd) {
  MutexLock lock(RegistryLock());
  auto window = FindWindow(hwnd);
  if (!window) {
    SetLastWindowError(errInvalidWindowHandle);
    return nullptr;
  }
  return window->userData;
}

void SetWindowUserData(WindowHandle hwnd, void* userData) {
  MutexLock lock(RegistryLock());
  auto window = FindWindow(hwnd);
  if (!window) {
    SetLastWindowError(errInvalidWindowHandle);
    return;
  }
  window->userData = userData;
}

bool PostWindowMessage(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam) {
  MutexLock lock(RegistryLock());
  auto window = FindWindow(hwnd);
  if (!window || !Enqueue(window->owner, Message{hwnd, msg, wParam, lParam})) {
    SetLastWindowError(errInvalidWindowHandle);
    return false;
  }
  return true;
}

bool PostThreadMessageToSelf(uint32_t msg, WParam wParam, LParam lParam) {
  const auto& q = CurrentQueue();
  MutexLock lock(RegistryLock());
  return Enqueue(q, Message{nullptr, msg, wParam, lParam});
}

bool SendWindowMessageTimeout(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam,
                              uint32_t timeoutMs, LResult* result, uint32_t* errorOut) {
  auto fail = [&](uint32_t error) {
    SetLastWindowError(error);
    if (errorOut) *errorOut = error;
    if (result) *result = 0;
    return false;
  };
  const std::shared_ptr<ThreadQueue> self = CurrentQueue();
  MutexLock lock(RegistryLock());
  auto window = FindWindow(hwnd);
  if (!window || !window->owner->alive) return fail(errInvalidWindowHandle);

  if (window->owner == self) {
    lock.Unlock();
    LResult r = window->proc(hwnd, msg, wParam, lParam);
    if (result) *result = r;
    if (errorOut) *errorOut = 0;
    return true;
  }

  auto sent = std::make_shared<SentMessage>();
  sent->message = Message{hwnd, msg, wParam, lParam};
  sent->sender = self;
  const std::shared_ptr<ThreadQueue> owner = window->owner;
  owner->sent.push_back(sent);
  owner->Signal();
  window.reset();

  const bool forever = timeoutMs == kWaitForever;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  for (;;) {
    if (sent->state == SentMessage::State::Done) {
      if (result) *result = sent->result;
      if (errorOut) *errorOut = 0;
      return true;
    }
    if (sent->state == SentMessage::State::Failed) return fail(errInvalidWindowHandle);
    if (!self->sent.empty()) {
      // Run what others send us meanwhile: two threads sending to each other
      // must not wait for each other forever.
      lock.Unlock();
      RunSentMessages(self);
      lock.Lock();
      continue;
    }
    if (!forever && Clock::now() >= deadline) {
      if (sent->state == SentMessage::State::Queued) {
        // Withdraw it so that it never runs after the sender gave up. (A
        // message already running completes into the shared record.)
        std::erase(owner->sent, sent);
        sent->state = SentMessage::State::Failed;
      }
      return fail(errTimeout);
    }
    if (forever) {
      lock.Wait(self->replyOrSent);
    } else {
      lock.WaitUntil(self->replyOrSent, deadline);
    }
  }
}

bool PeekOneMessage(Message& out) {
  const std::shared_ptr<ThreadQueue> q = CurrentQueue();
  q->Source().ProcessPending();
  RunSentMessages(q);
  MutexLock lock(RegistryLock());
  if (!q->posted.empty()) {
    out = q->posted.front();
    q->posted.pop_front();
    return true;
  }
  // As on Windows, the quit request comes after the posted messages.
  if (q->quitPending) {
    q->quitPending = false;
    out = Message{nullptr, kMsgQuit, static_cast<WParam>(q->quitCode), 0};
    return true;
  }
  return false;
}

LResult TranslateAndDispatch(const Message& msg) {
  if (msg.hwnd == nullptr) return 0;
  std::shared_ptr<WindowRecord> window;
  {
    MutexLock lock(RegistryLock());
    window = FindWindow(msg.hwnd);
    if (!window) return 0;
  }
  return window->proc(msg.hwnd, msg.message, msg.wParam, msg.lParam);
}

void PostQuit(int exitCode) {
  const auto& q = CurrentQueue();
  MutexLock lock(RegistryLock());
  q->quitPending = true;
  q->quitCode = exitCode;
  q->Signal();
}

bool WaitForMessage(uint32_t timeoutMs) {
  const std::shared_ptr<ThreadQueue> q = CurrentQueue();
  const bool forever = timeoutMs == kWaitForever;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  for (;;) {
    if (RunSentMessages(q) > 0) return true;
    {
      MutexLock lock(RegistryLock());
      if (!q->posted.empty() || q->quitPending || !q->sent.empty()) return true;
    }
    uint32_t slice = kWaitForever;
    if (!forever) {
      auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      // Round up, so that a sub-millisecond rest does not become a spin.
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      slice = static_cast<uint32_t>(std::min<long long>(ms, kWaitForever - 1));
    }
    q->Source().WaitForEvents(slice);
  }
}

bool WaitForMessageOrEvent(Event& event, uint32_t timeoutMs) {
  const std::shared_ptr<ThreadQueue> q = CurrentQueue();
  // The event wakes the loop where it sleeps: in the queue's event source.
  struct SourceWaker final : EventWatcher {
    explicit SourceWaker(EventSource& s) : source(s) {}
    void EventSet() override { source.Wake(); }
    EventSource& source;
  } waker(q->Source());
  event.Watch(&waker);
  const bool forever = timeoutMs == kWaitForever;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  bool result = false;
  for (;;) {
    if (event.TrySignaled() || RunSentMessages(q) > 0) {
      result = true;
      break;
    }
    {
      MutexLock lock(RegistryLock());
      if (!q->posted.empty() || q->quitPending || !q->sent.empty()) {
        result = true;
        break;
      }
    }
    uint32_t slice = kWaitForever;
    if (!forever) {
      auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) break;
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      slice = static_cast<uint32_t>(std::min<long long>(ms, kWaitForever - 1));
    }
    q->Source().WaitForEvents(slice);
  }
  event.Unwatch(&waker);
  return result;
}

int RunMainLoop() {
  for (;;) {
    Message m;
    while (PeekOneMessage(m)) {
      if (m.message == kMsgQuit && m.hwnd == nullptr) return static_cast<int>(m.wParam);
      TranslateAndDispatch(m);
    }
    WaitForMessage(kWaitForever);
  }
}

void SetEventSource(EventSource* source) {
  const auto& q = CurrentQueue();
  MutexLock lock(RegistryLock());
  q->installedSource = source;
}

EventSource* GetEventSource() {
  return &CurrentQueue()->Source();
}

}  // namespace sio::platform
