// Windows, message queues and the hand-over of calls to the user-interface
// thread.
//
// A window is a handle owned by the thread that created it, with a procedure
// (hwnd, msg, wParam, lParam) -> result. PostWindowMessage queues a message for
// the owner thread; SendWindowMessageTimeout from another thread queues a sent
// message and blocks the sender until the owner pumps and runs it, or the
// time-out passes (from the owner thread the procedure is called directly).
// Pumping runs pending sent messages first, then removes at most one posted
// message. Quit is message 18 with an exit code.
//
// On Windows all of this is USER32 itself. On Linux it is our own per-thread
// queue; the places where a loop sleeps go through a replaceable EventSource,
// so that a toolkit's event loop (Qt) and ours can be one loop.
#pragma once

#include <cstdint>
#include <exception>

namespace platform {

using WindowHandle = void*;  // HWND on Windows
using WParam = uintptr_t;
using LParam = intptr_t;
using LResult = intptr_t;
using WindowProc = LResult (*)(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam);

constexpr uint32_t kMsgNull = 0;
constexpr uint32_t kMsgQuit = 18;
constexpr uint32_t kMsgKeyDown = 0x0100;
constexpr uint32_t kMsgChar = 0x0102;
constexpr uint32_t kMsgUser = 0x0400;

// Error numbers as Windows reports them.
constexpr uint32_t kErrorInvalidWindowHandle = 1400;
constexpr uint32_t kErrorTimeout = 1460;

struct Message {
  WindowHandle hwnd = nullptr;
  uint32_t message = 0;
  WParam wParam = 0;
  LParam lParam = 0;
};

// Creates a hidden (message-only) window owned by the calling thread. The
// class name is informational on Linux. userData is returned by
// GetWindowUserData. nullptr on failure.
WindowHandle CreateHiddenWindow(const char* className, WindowProc proc, void* userData);
// Destroys a window; messages still queued for it are dropped. Only the owner
// thread may destroy a window.
void DestroyHiddenWindow(WindowHandle hwnd);
bool IsWindowAlive(WindowHandle hwnd);
void* GetWindowUserData(WindowHandle hwnd);
void SetWindowUserData(WindowHandle hwnd, void* userData);

// Queues a message for the window's owner thread. False (error 1400) when
// the window does not exist.
bool PostWindowMessage(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam);
// Queues a message to the calling thread itself, addressed to no window.
bool PostThreadMessageToSelf(uint32_t msg, WParam wParam, LParam lParam);

// Sends a message and waits for the result. From the owner thread the
// procedure runs at once. From another thread the sender blocks until the
// owner has run it or timeoutMs has passed; while blocked, the sender still
// runs messages sent to its own windows (so two threads sending to each
// other cannot deadlock). Returns false on time-out (error 1460) or when
// the window does not exist (error 1400); errorOut receives that number.
bool SendWindowMessageTimeout(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam,
                              uint32_t timeoutMs, LResult* result, uint32_t* errorOut = nullptr);

// Runs the messages sent to the calling thread's windows by other threads,
// then removes at most one posted message of the calling thread's queue
// without waiting. True when a posted message was removed. The quit message
// comes back as message 18 with the exit code in wParam.
bool PeekOneMessage(Message& out);
// Translates key presses into character messages (Windows) and calls the
// window's procedure. A message for no window or a dead window is dropped.
LResult TranslateAndDispatch(const Message& msg);

// Posts the quit request (message 18, exit code in wParam) to the calling
// thread's queue.
void PostQuit(int exitCode);

// Blocks until a message (posted or sent) is queued for the calling thread or
// timeoutMs passes. Returns true when something is queued. Never spins.
bool WaitForMessage(uint32_t timeoutMs);

// The application's main loop: dispatches the calling thread's messages,
// sleeping when there are none, until the quit request. Returns its exit code.
int RunMainLoop();

// ---------------------------------------------------------------------------
// The event source: where the Linux loop sleeps. The default source is the
// queue's own condition variable. A toolkit installs its own (Qt: its event
// dispatcher's processEvents and wakeUp), so that waiting for our messages
// also keeps the toolkit's windows live. On Windows USER32 is the one loop and
// the source is not consulted.
class EventSource {
 public:
  virtual ~EventSource() = default;
  // Process the source's own pending events without waiting.
  virtual void ProcessPending() = 0;
  // Wait for the source's next event, or for Wake, up to timeoutMs.
  virtual void WaitForEvents(uint32_t timeoutMs) = 0;
  // Wake a thread blocked in WaitForEvents. Any thread may call it.
  virtual void Wake() = 0;
};

// Installs the event source of the calling thread's queue (nullptr: the
// default). The source must outlive its use.
void SetEventSource(EventSource* source);
EventSource* GetEventSource();

// ---------------------------------------------------------------------------
// Hand-over of a call to the user-interface thread.
//
// InitUserInterfaceThread makes the calling thread the user-interface thread
// and creates the application's hidden window. RunOnUserInterfaceThread puts
// the call on a process-wide pending list, posts the null message (0) to that
// window and blocks until the user-interface thread has run it; any loop that
// dispatches that thread's messages (the main loop, a message-processing wait)
// runs every pending call. Called on the user-interface thread itself, the call
// runs at once. An exception thrown by the call is re-thrown in the caller.
using HandOverFunction = void (*)(void* context);

void InitUserInterfaceThread();
void DoneUserInterfaceThread();
bool IsUserInterfaceThread();
WindowHandle ApplicationWindow();
void RunOnUserInterfaceThread(HandOverFunction fn, void* context);
// Runs the pending hand-over calls (what the application window's procedure
// does on the null message). Returns how many ran.
int RunPendingHandOvers();

}  // namespace platform
