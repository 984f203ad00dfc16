// Interrupts are taken by sigwait on a thread of their own: nothing runs in
// a signal handler, so onInterrupt may do anything a thread may.
#include "platform/console.h"

#include <csignal>

#include <pthread.h>
#include <unistd.h>

namespace sio::platform {

namespace {

void (*interruptHandler)() = nullptr;
sigset_t interruptSignals;

void* WatchThread(void*) {
  for (;;) {
    int signal = 0;
    if (::sigwait(&interruptSignals, &signal) != 0) continue;
    if (interruptHandler != nullptr) interruptHandler();
  }
  return nullptr;
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

bool WatchInterrupts(void (*onInterrupt)()) {
  if (interruptHandler != nullptr) return false;
  interruptHandler = onInterrupt;
  sigemptyset(&interruptSignals);
  sigaddset(&interruptSignals, SIGINT);
  sigaddset(&interruptSignals, SIGTERM);
  // Blocked here, before other threads exist, so every later thread
  // inherits the mask and only the watcher takes these signals.
  if (::pthread_sigmask(SIG_BLOCK, &interruptSignals, nullptr) != 0) return false;
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, &WatchThread, nullptr) != 0) return false;
  ::pthread_detach(thread);
  return true;
}

// A watched signal ends nothing by itself: nothing here waits for this.
void InterruptServed() {}

}  // namespace sio::platform
