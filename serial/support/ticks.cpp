#include "serial/support/ticks.h"

#include "platform/clock.h"
#include "platform/message_loop.h"
#include "platform/sync.h"

namespace sio {

namespace {

constexpr int32_t kQuitResult = 18;

// The clock's source is chosen on first use. A function-local static is
// initialised exactly once even when several threads race to it, and it
// cannot be read before it is set, whatever the order of static
// initialisation across units.
uint32_t ChosenCountsPerMillisecond() {
  static const uint32_t counts = [] {
    uint64_t frequency = 0;
    // Only the value decides; the call's own result is not consulted.
    (void)platform::QueryPerformanceFrequency(frequency);
    return CountsPerMillisecondFor(frequency);
  }();
  return counts;
}

// Milliseconds from now until the tick count next changes (1 to 55).
uint32_t MillisecondsToNextTick() {
  const uint32_t ms = MillisecondClock();
  return static_cast<uint32_t>(MillisecondsPerTick) -
         ms % static_cast<uint32_t>(MillisecondsPerTick);
}

// One round of the pump: whether a message was removed, and the code.
struct PumpResult {
  bool removed;
  int32_t code;
};

PumpResult PumpOne() {
  platform::Message msg;
  if (!platform::PeekOneMessage(msg)) return {false, 0};
  if (msg.message == platform::kMsgQuit) {
    // Taken off the queue only to be seen: post it again so that the main
    // loop still ends the program.
    platform::PostQuit(static_cast<int>(msg.wParam));
  } else {
    platform::TranslateAndDispatch(msg);
  }
  const uint32_t code =
      (msg.message & 0xFFFFu) |
      ((static_cast<uint32_t>(reinterpret_cast<uintptr_t>(msg.hwnd)) & 0xFFFFu) << 16);
  return {true, static_cast<int32_t>(code)};
}

}  // namespace

uint32_t CountsPerMillisecondFor(uint64_t frequency) {
  if ((frequency >> 32) != 0 || frequency == 0) return 0;
  uint32_t counts = static_cast<uint32_t>(frequency / 1000);
  if (frequency % 1000 > 500) ++counts;
  return counts;
}

void InitMillisecondClock() {
  (void)ChosenCountsPerMillisecond();
}

uint32_t CountsPerMillisecond() {
  return ChosenCountsPerMillisecond();
}

uint32_t MillisecondClock() {
  const uint32_t counts = ChosenCountsPerMillisecond();
  if (counts == 0) return platform::TimeGetTimeMs();
  // The exact 64-bit quotient, reduced to its low 32 bits.
  return static_cast<uint32_t>(platform::QueryPerformanceCounter() / counts);
}

int32_t CurrentTick() {
  return static_cast<int32_t>(MillisecondClock() / static_cast<uint32_t>(MillisecondsPerTick));
}

void StartTickTimer(TickTimer& timer, int32_t ticks) {
  if (ticks > TickLimit) ticks = TickLimit;
  timer.StartTick = CurrentTick();
  // Computed wide: a very negative count must not overflow.
  timer.ExpireTick = static_cast<int32_t>(static_cast<int64_t>(timer.StartTick) + ticks);
}

bool TickTimerExpiredAt(const TickTimer& timer, int32_t nowTick) {
  if (nowTick > timer.ExpireTick) return true;
  if (nowTick >= timer.StartTick) return false;
  // The tick count has wrapped since the timer started. Measure the ticks
  // that have passed across the wrap: comparing now + TickLimit with the
  // expiry instead would keep a timer that straddles the wrap running for
  // about 25 days.
  constexpr int64_t kTicksPerWrap = int64_t{0xFFFFFFFF} / MillisecondsPerTick + 1;
  const int64_t elapsed = int64_t{nowTick} + kTicksPerWrap - timer.StartTick;
  return elapsed > int64_t{timer.ExpireTick} - timer.StartTick;
}

bool TickTimerExpired(const TickTimer& timer) {
  return TickTimerExpiredAt(timer, CurrentTick());
}

int32_t PumpOneMessage() {
  return PumpOne().code;
}

int32_t WaitTicks(int32_t ticks, bool processMessages) {
  if (ticks < 1) return 0;
  TickTimer timer;
  StartTickTimer(timer, ticks);
  int32_t result = 0;
  for (;;) {
    bool removed = false;
    if (processMessages) {
      const PumpResult pumped = PumpOne();
      removed = pumped.removed;
      result = pumped.code;
    }
    if (result == kQuitResult) break;
    if (TickTimerExpired(timer)) break;
    if (removed) continue;  // more may be waiting: next round at once
    // Nothing to do until a message arrives or the tick count can change:
    // block rather than keep a processor busy.
    const uint32_t untilTick = MillisecondsToNextTick();
    if (processMessages)
      (void)platform::WaitForMessage(untilTick);
    else
      platform::SleepMs(untilTick);
  }
  return result;
}

}  // namespace sio
