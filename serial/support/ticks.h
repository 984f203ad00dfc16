// The time base of the serial layer: a 32-bit millisecond clock, the 55 ms
// tick, tick timers, and the message-pumping delay.
#pragma once

#include <cstdint>

namespace sio {

// The tick.
constexpr int32_t MillisecondsPerTick = 55;
// Largest n for which n * 55 still fits a signed 32-bit integer.
constexpr int32_t TickLimit = 39045157;

// A timer in ticks: it has expired once the tick count is past ExpireTick.
struct TickTimer {
  int32_t StartTick;   // the tick it was started at
  int32_t ExpireTick;  // the last tick it runs through
};

// Picks the clock's source once, before any other thread exists.
void InitMillisecondClock();
// Counts per millisecond for a performance-counter frequency (0: unusable,
// fall back to the multimedia timer).
uint32_t CountsPerMillisecondFor(uint64_t frequency);
// The chosen source's counts per millisecond; 0: the multimedia timer.
uint32_t CountsPerMillisecond();

// Milliseconds on the chosen clock; the count wraps at 2^32.
uint32_t MillisecondClock();
// MillisecondClock() in ticks.
int32_t CurrentTick();

// Starts timer to expire ticks ticks (at most TickLimit) after the current one.
void StartTickTimer(TickTimer& timer, int32_t ticks);
// Whether the timer has expired by the current tick.
bool TickTimerExpired(const TickTimer& timer);
// The expiry rule for a given tick count, wrap included.
bool TickTimerExpiredAt(const TickTimer& timer, int32_t nowTick);

// Waits more than ticks * 55 ms; when processMessages, dispatches the
// calling thread's messages one per round meanwhile. 18 when a quit request
// ended the wait (the request stays queued). Between rounds with nothing to
// do it blocks until a message arrives or the tick count can change, so a
// wait costs next to no processor time.
int32_t WaitTicks(int32_t ticks, bool processMessages);
// Removes and dispatches one message without waiting; 0 when none.
// (message & 0xFFFF) | ((window handle & 0xFFFF) << 16); 18 for quit, which is
// posted again.
int32_t PumpOneMessage();

}  // namespace sio
