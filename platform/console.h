// The console a command-line program runs in: whether its output is a
// terminal, and the user's request to interrupt it.
#pragma once

#include <cstdio>

namespace platform {

bool IsTerminal(std::FILE* stream);

// From now on an interrupt (POSIX: SIGINT, SIGTERM; Windows: Ctrl+C, Ctrl+Break,
// the console closing) calls onInterrupt on a thread of its own instead of
// ending the process. Call it before any other thread is started. Once only.
bool WatchInterrupts(void (*onInterrupt)());

}  // namespace platform
