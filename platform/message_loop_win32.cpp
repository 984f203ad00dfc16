// Windows and message queues: USER32 itself. Every hidden window is a
// message-only window of a class registered once per name, whose procedure
// forwards to ours through a small record kept in GWLP_USERDATA and freed on
// WM_NCDESTROY. The system removes the windows of a thread that ends
// without that message; their records are freed once the registry finds
// them gone.
#include "platform/message_loop.h"

#include <windows.h>

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/sync.h"
#include "platform/thread_annotations.h"

namespace sio::platform {
namespace {

constexpr const char* kDefaultClassName = "SioHiddenWindow";

thread_local uint32_t t_lastError = 0;
// An exception thrown by one of our procedures must not unwind through
// USER32's frames: it is caught in the window procedure and re-thrown by the
// call of ours that ran it, once USER32 has returned.
thread_local std::exception_ptr t_pendingException;

void SetLastWindowError(uint32_t error) {
  t_lastError = error;
}

void RethrowPending() {
  if (t_pendingException) {
    std::exception_ptr e = t_pendingException;
    t_pendingException = nullptr;
    std::rethrow_exception(e);
  }
}

// The lock of the registry. Never destroyed, as the registry.
Mutex& RegistryLock() {
  static Mutex* lock = new Mutex;
  return *lock;
}

struct WindowRecord {
  WindowProc proc = nullptr;
  void* userData SIO_GUARDED_BY(RegistryLock()) = nullptr;
};

struct CreationContext {
  WindowRecord* record = nullptr;
  bool taken = false;
};

struct Registry {
  std::unordered_map<std::string, ATOM> classes SIO_GUARDED_BY(RegistryLock());
  // Our live windows, so that a foreign or stale handle never has its
  // GWLP_USERDATA taken for one of our records.
  std::unordered_map<HWND, WindowRecord*> windows SIO_GUARDED_BY(RegistryLock());
};

Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

bool ForwardsToProcedure(UINT msg) {
  return msg == WM_NULL || (msg >= WM_KEYFIRST && msg <= WM_KEYLAST) || msg >= WM_USER;
}

LRESULT CALLBACK HiddenWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* context = static_cast<CreationContext*>(create->lpCreateParams);
    if (context != nullptr && !context->taken) {
      context->taken = true;
      MutexLock lock(RegistryLock());
      Reg().windows[hwnd] = context->record;
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(context->record));
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  if (msg == WM_NCDESTROY) {
    {
      MutexLock lock(RegistryLock());
      auto it = Reg().windows.find(hwnd);
      if (it != Reg().windows.end()) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        delete it->second;
        Reg().windows.erase(it);
      }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
  auto* record = reinterpret_cast<WindowRecord*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (record != nullptr && ForwardsToProcedure(msg)) {
    try {
      return record->proc(hwnd, msg, wParam, lParam);
    } catch (...) {
      if (!t_pendingException) t_pendingException = std::current_exception();
      return 0;
    }
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

bool EnsureClass(const char* className) {
  MutexLock lock(RegistryLock());
  if (Reg().classes.count(className) != 0) return true;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = HiddenWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = className;
  ATOM atom = RegisterClassExA(&wc);
  if (atom == 0) {
    SetLastWindowError(GetLastError());
    return false;
  }
  Reg().classes.emplace(className, atom);
  return true;
}

// The record of one of our live windows. An entry whose window has gone, or
// whose handle now belongs to another window (the user data no longer points
// at the record), is stale: it is dropped, and its window can no longer run
// the record's procedure.
WindowRecord* FindRecord(HWND hwnd) SIO_REQUIRES(RegistryLock()) {
  auto it = Reg().windows.find(hwnd);
  if (it == Reg().windows.end()) return nullptr;
  if (IsWindow(hwnd) &&
      GetWindowLongPtrA(hwnd, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(it->second)) {
    return it->second;
  }
  delete it->second;
  Reg().windows.erase(it);
  return nullptr;
}

// Drops the entries of windows the system has removed without WM_NCDESTROY
// (those of a thread that ended) and frees their records. No thread-exit
// hook does it: a thread-local destructor that destroyed them made thread
// exit crash under MinGW's emulated thread-local storage.
void SweepGoneWindows() SIO_REQUIRES(RegistryLock()) {
  auto& windows = Reg().windows;
  for (auto it = windows.begin(); it != windows.end();) {
    if (IsWindow(it->first) &&
        GetWindowLongPtrA(it->first, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(it->second)) {
      ++it;
      continue;
    }
    delete it->second;
    it = windows.erase(it);
  }
}

// The Windows form of the event source: it is never consulted by the loop,
// but behaves as documented for callers that use it directly.
class Win32EventSource final : public EventSource {
 public:
  Win32EventSource() : thread_(GetCurrentThreadId()) {}
  void ProcessPending() override {}
  void WaitForEvents(uint32_t timeoutMs) override {
    MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  void Wake() override { PostThreadMessageA(thread_, WM_NULL, 0, 0); }

 private:
  DWORD thread_;
};

thread_local EventSource* t_installedSource = nullptr;

}  // namespace

uint32_t LastWindowError() {
  return t_lastError;
}

WindowHandle CreateHiddenWindow(const char* className, WindowProc proc, void* userData) {
  if (proc == nullptr) {
    SetLastWindowError(errInvalidParameter);
    return nullptr;
  }
  const char* name = (className != nullptr && *className != '\0') ? className : kDefaultClassName;
  if (!EnsureClass(name)) return nullptr;
  {
    MutexLock lock(RegistryLock());
    SweepGoneWindows();
  }
  CreationContext context;
  context.record = new WindowRecord{proc, userData};
  HWND hwnd = CreateWindowExA(0, name, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleA(nullptr), &context);
  if (hwnd == nullptr) {
    SetLastWindowError(GetLastError());
    // Once taken, WM_NCDESTROY has freed the record.
    if (!context.taken) delete context.record;
    return nullptr;
  }
  return hwnd;
}

bool DestroyHiddenWindow(WindowHandle hwnd) {
  HWND h = static_cast<HWND>(hwnd);
  if (!IsWindowAlive(hwnd)) {
    SetLastWindowError(errInvalidWindowHandle);
    return false;
  }
  if (GetWindowThreadProcessId(h, nullptr) != GetCurrentThreadId()) {
    SetLastWindowError(errAccessDenied);
    return false;
  }
  if (!DestroyWindow(h)) {
    SetLastWindowError(GetLastError());
    return false;
  }
  return true;
}

size_t HiddenWindowCount() {
  MutexLock lock(RegistryLock());
  SweepGoneWindows();
  return Reg().windows.size();
}

bool IsWindowAlive(WindowHandle hwnd) {
  MutexLock lock(RegistryLock());
  return FindRecord(static_cast<HWND>(hwnd)) != nullptr;
}

void* GetWindowUserData(WindowHandle hwnd) {
  MutexLock lock(RegistryLock());
  WindowRecord* record = FindRecord(static_cast<HWND>(hwnd));
  if (record == nullptr) {
    SetLastWindowError(errInvalidWindowHandle);
    return nullptr;
  }
  return record->userData;
}

void SetWindowUserData(WindowHandle hwnd, void* userData) {
  MutexLock lock(RegistryLock());
  WindowRecord* record = FindRecord(static_cast<HWND>(hwnd));
  if (record == nullptr) {
    SetLastWindowError(errInvalidWindowHandle);
    return;
  }
  record->userData = userData;
}

bool PostWindowMessage(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam) {
  if (hwnd == nullptr || !PostMessageA(static_cast<HWND>(hwnd), msg, wParam, lParam)) {
    DWORD error = hwnd == nullptr ? 0 : GetLastError();
    SetLastWindowError(error != 0 ? error : errInvalidWindowHandle);
    return false;
  }
  return true;
}

bool PostThreadMessageToSelf(uint32_t msg, WParam wParam, LParam lParam) {
  MSG m;
  // Makes sure the thread has its message queue before posting to it.
  PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (!PostThreadMessageA(GetCurrentThreadId(), msg, wParam, lParam)) {
    SetLastWindowError(GetLastError());
    return false;
  }
  return true;
}

bool SendWindowMessageTimeout(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam,
                              uint32_t timeoutMs, LResult* result, uint32_t* errorOut) {
  HWND h = static_cast<HWND>(hwnd);
  DWORD_PTR reply = 0;
  SetLastError(0);
  LRESULT ok = h == nullptr
                   ? 0
                   : SendMessageTimeoutA(h, msg, wParam, lParam, SMTO_NORMAL, timeoutMs, &reply);
  if (ok == 0) {
    DWORD error = h == nullptr ? 0 : GetLastError();
    if (error == 0) error = IsWindow(h) ? errTimeout : errInvalidWindowHandle;
    SetLastWindowError(error);
    if (errorOut) *errorOut = error;
    if (result) *result = 0;
    RethrowPending();
    return false;
  }
  if (result) *result = static_cast<LResult>(reply);
  if (errorOut) *errorOut = 0;
  RethrowPending();
  return true;
}

bool PeekOneMessage(Message& out) {
  MSG m;
  // A first look runs the sent messages, so that one of them that throws
  // does so before a posted message has been taken out of the queue.
  PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
  RethrowPending();
  if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
    RethrowPending();
    return false;
  }
  out = Message{m.hwnd, m.message, m.wParam, m.lParam};
  return true;
}

LResult TranslateAndDispatch(const Message& msg) {
  if (msg.hwnd == nullptr || !IsWindow(static_cast<HWND>(msg.hwnd))) return 0;
  MSG m{};
  m.hwnd = static_cast<HWND>(msg.hwnd);
  m.message = msg.message;
  m.wParam = msg.wParam;
  m.lParam = msg.lParam;
  m.time = static_cast<DWORD>(GetMessageTime());
  TranslateMessage(&m);
  LRESULT r = DispatchMessageA(&m);
  RethrowPending();
  return r;
}

void PostQuit(int exitCode) {
  PostQuitMessage(exitCode);
}

bool WaitForMessage(uint32_t timeoutMs) {
  return MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE) ==
         WAIT_OBJECT_0;
}

bool WaitForMessageOrEvent(Event& event, uint32_t timeoutMs) {
  HANDLE h = static_cast<HANDLE>(event.NativeHandle());
  const DWORD r = MsgWaitForMultipleObjectsEx(1, &h, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1;
}

int RunMainLoop() {
  MSG m;
  for (;;) {
    BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got == 0) {
      RethrowPending();
      return static_cast<int>(m.wParam);
    }
    if (got == -1) {
      SetLastWindowError(GetLastError());
      return -1;
    }
    TranslateMessage(&m);
    DispatchMessageA(&m);
    RethrowPending();
  }
}

void SetEventSource(EventSource* source) {
  t_installedSource = source;
}

EventSource* GetEventSource() {
  if (t_installedSource != nullptr) return t_installedSource;
  thread_local Win32EventSource defaultSource;
  return &defaultSource;
}

}  // namespace sio::platform
