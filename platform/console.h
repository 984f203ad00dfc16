// The console a command-line program runs in: whether its output is a
// terminal, and the user's request to interrupt it.
#pragma once

#include <cstdio>

namespace sio::platform {

bool IsTerminal(std::FILE* stream);

// From now on an interrupt (POSIX: SIGINT, SIGTERM; Windows: Ctrl+C, Ctrl+Break,
// the console closing, logoff, shutdown) calls onInterrupt on a thread of its
// own instead of ending the process. Call it before any other thread is
// started. Once only.
bool WatchInterrupts(void (*onInterrupt)());

// Says the program has wound down, interrupted or not: what an interrupt
// ends has ended and released what it held (ports closed). Windows ends the
// process as soon as its handler of a console close, logoff or shutdown
// returns, so that handler waits for this within the seconds Windows gives.
void InterruptServed();

#ifdef _WIN32
// What the installed console control handler does with a CTRL_..._EVENT;
// true when handled here. Windows cannot be asked to send a console close,
// so tests call this instead.
bool HandleConsoleControl(unsigned long type);
#endif

}  // namespace sio::platform
