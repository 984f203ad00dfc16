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

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include "error_numbers.h"
#include "sync.h"

namespace sio::platform {

// HWND on Windows. On Linux an opaque serial number that is never reused and
// whose low 16 bits are never 0 (so a pump result of 18 is only ever quit).
using WindowHandle = void*;
using WParam = uintptr_t;  // a message's first argument
using LParam = intptr_t;   // its second
using LResult = intptr_t;  // what a window procedure returns
// A window procedure.
using WindowProc = LResult (*)(WindowHandle hwnd, uint32_t msg, WParam wParam, LParam lParam);

constexpr uint32_t kMsgNull = 0;          // WM_NULL; to the application window: run the hand-overs
constexpr uint32_t kMsgQuit = 18;         // WM_QUIT
constexpr uint32_t kMsgKeyDown = 0x0100;  // WM_KEYDOWN
constexpr uint32_t kMsgChar = 0x0102;     // WM_CHAR
constexpr uint32_t kMsgUser = 0x0400;     // WM_USER: the first of a program's own messages

// No time limit, for WaitForMessage and SendWindowMessageTimeout.
constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// True where the loop sleeps through the thread's EventSource (our own queue);
// false where USER32 is the one loop and the source is not consulted.
#ifdef _WIN32
inline constexpr bool kEventSourceDrivesWaits = false;
#else
inline constexpr bool kEventSourceDrivesWaits = true;
#endif

// A message as the pump removes it from a queue.
struct Message {
  WindowHandle hwnd = nullptr;  // its window; nullptr for a thread message
  uint32_t message = 0;         // its number
  WParam wParam = 0;            // its first argument
  LParam lParam = 0;            // its second argument
};

// The error number of the calling thread's last failed call of this service
// (1400, 1460, 5, 87, or what the system reported).
uint32_t LastWindowError();

// Creates a hidden (message-only) window owned by the calling thread. On
// Windows each class name is registered once per process (nullptr: a default
// name); on Linux the name is informational. userData is returned by
// GetWindowUserData. nullptr on failure (no procedure: error 87).
//
// Windows hands the procedure the null message, the keyboard messages and
// every message from kMsgUser up; the system's own window-management messages
// get the system's default handling. On Linux the procedure sees every
// message posted or sent to the window. An exception thrown by a procedure
// comes out of the call that ran it (the pump, the dispatch or the direct
// send); a sender on another thread then gets result 0.
WindowHandle CreateHiddenWindow(const char* className, WindowProc proc, void* userData);
// Destroys a window; messages still queued for it are dropped and senders
// still waiting for it fail with 1400. Only the owner thread may destroy a
// window (otherwise false, error 5); a stale handle gives false, error 1400.
// A thread's windows are destroyed when the thread ends.
bool DestroyHiddenWindow(WindowHandle hwnd);
// Whether the window is one of ours (made here and not yet destroyed).
bool IsWindowAlive(WindowHandle hwnd);
// How many hidden windows of this process exist, records held: a check that
// none are left behind.
size_t HiddenWindowCount();
// nullptr for a window that does not exist (or is not one of ours).
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
// thread's queue. As on Windows it is a flag rather than a queued message: it
// comes back once the messages posted before it have been removed.
void PostQuit(int exitCode);

// Blocks until a message (posted or sent) is queued for the calling thread or
// timeoutMs passes (kWaitForever: no limit). Returns true when something
// arrived. Never spins. On Linux the sent messages that arrive are run here
// (they count as arrivals); posted messages stay queued for the pump.
bool WaitForMessage(uint32_t timeoutMs);
// WaitForMessage that also ends as soon as `event` is set (consuming the
// signal of an auto-reset event): true when the event was set or something
// arrived.
bool WaitForMessageOrEvent(Event& event, uint32_t timeoutMs);

// The application's main loop: dispatches the calling thread's messages,
// sleeping when there are none, until the quit request. Returns its exit code.
int RunMainLoop();

// ---------------------------------------------------------------------------
// The event source: where the Linux loop sleeps. The default source is the
// queue's own condition variable. A toolkit installs its own (Qt: its event
// dispatcher's processEvents and wakeUp), so that waiting for our messages
// also keeps the toolkit's windows live. On Windows USER32 is the one loop and
// the source is not consulted.
//
// Every post, send and quit request to a queue calls its source's Wake, from
// the posting thread and while the loop's own lock is held: Wake must be
// quick and must not call back into this service. A Wake that comes before
// WaitForEvents must make that WaitForEvents return at once (no lost
// wake-ups). Spurious returns are harmless: the loop checks and waits again.
class EventSource {
 public:
  virtual ~EventSource() = default;
  // Process the source's own pending events without waiting. Called on every
  // PeekOneMessage.
  virtual void ProcessPending() = 0;
  // Wait for the source's next event, or for Wake, up to timeoutMs
  // (kWaitForever: no limit).
  virtual void WaitForEvents(uint32_t timeoutMs) = 0;
  // Wake a thread blocked in WaitForEvents. Any thread may call it.
  virtual void Wake() = 0;
};

// Installs the event source of the calling thread's queue (nullptr: the
// default). The source must stay alive until it is replaced or the thread
// ends; once SetEventSource has replaced it no other thread calls it again.
void SetEventSource(EventSource* source);
// The calling thread's source: the installed one, or the default one.
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
//
// A caller waits for as long as the user-interface thread does not pump: there
// is no time-out, because the call may use the caller's own data once it has
// started. The way out is DoneUserInterfaceThread, which fails every call still
// waiting with HandOverError (the wait is sliced, so a caller notices even
// without a wake-up). Without a user-interface thread the call fails at once
// with HandOverError.
using HandOverFunction = void (*)(void* context);

class HandOverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Makes the calling thread the user-interface thread. False when another
// thread already is the user-interface thread or the window cannot be made;
// true (and nothing changes) when the calling thread already is.
bool InitUserInterfaceThread();
// Ends the user-interface thread's role: calls still waiting fail with
// HandOverError, and the application window is destroyed (on the
// user-interface thread; called elsewhere it only fails the waiting calls and
// gives up the role). A user-interface thread that ends gives up its role the
// same way.
void DoneUserInterfaceThread();
// Whether the calling thread is the user-interface thread.
bool IsUserInterfaceThread();
// The application's hidden window; nullptr while there is no user-interface
// thread.
WindowHandle ApplicationWindow();
// Runs fn(context) on the user-interface thread and waits for it, as
// described at HandOverFunction.
void RunOnUserInterfaceThread(HandOverFunction fn, void* context);
// Runs the pending hand-over calls (what the application window's procedure
// does on the null message). Returns how many ran; 0 on any other thread than
// the user-interface thread.
int RunPendingHandOvers();

}  // namespace sio::platform
