// The lock-order check of the critical sections, the same on both hosts:
// each thread keeps a record of the ranked locks it holds, and a lock
// entered below (or beside) one of them is reported. Without
// SIO_LOCK_ORDER_CHECKS (release builds) nothing is recorded.
#include <cstdio>
#include <cstdlib>

#include "platform/sync.h"

namespace sio::platform {

namespace {

std::atomic<LockOrderReport> g_report{nullptr};

}  // namespace

LockOrderReport SetLockOrderReport(LockOrderReport report) {
  return g_report.exchange(report);
}

#if defined(SIO_LOCK_ORDER_CHECKS)

namespace {

void Report(const CriticalSection& taken, const CriticalSection& held) {
  char message[256];
  std::snprintf(message, sizeof message,
                "Lock order violated: %s (level %u) taken while %s (level %u) is held",
                taken.Rank().name, static_cast<unsigned>(taken.Rank().level), held.Rank().name,
                static_cast<unsigned>(held.Rank().level));
  if (const LockOrderReport report = g_report.load()) {
    report(message);
    return;
  }
  std::fprintf(stderr, "%s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

bool LockOrderChecked() {
  return true;
}

// Only the locks on the calling thread's stack are looked into: their
// fields are written by this thread alone.
bool CriticalSection::NoteEnter(bool checkOrder) const {
  if (rank_.level == 0) return true;
  const CriticalSection* highest = nullptr;
  for (const CriticalSection* held = TopHeld(); held != nullptr; held = held->heldBelow_) {
    if (held == this) {
      ++heldDepth_;
      return true;
    }
    if (highest == nullptr || held->rank_.level > highest->rank_.level) highest = held;
  }
  if (checkOrder && highest != nullptr && highest->rank_.level >= rank_.level)
    Report(*this, *highest);
  return false;
}

void CriticalSection::NoteEntered() const {
  heldBelow_ = TopHeld();
  heldDepth_ = 1;
  SetTopHeld(this);
}

void CriticalSection::NoteLeave() const {
  if (rank_.level == 0 || heldDepth_ == 0 || --heldDepth_ > 0) return;
  // Locks need not be left in the reverse order of entry.
  const CriticalSection* top = TopHeld();
  if (top == this) {
    SetTopHeld(heldBelow_);
  } else {
    for (const CriticalSection* held = top; held != nullptr; held = held->heldBelow_) {
      if (held->heldBelow_ == this) {
        held->heldBelow_ = heldBelow_;
        break;
      }
    }
  }
  heldBelow_ = nullptr;
}

#else

bool LockOrderChecked() {
  return false;
}

bool CriticalSection::NoteEnter(bool) const {
  return true;
}
void CriticalSection::NoteEntered() const {}
void CriticalSection::NoteLeave() const {}

#endif

}  // namespace sio::platform
