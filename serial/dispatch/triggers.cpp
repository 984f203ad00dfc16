// Trigger records (handles, timers, data and status triggers, saving them
// across a reopen) and the checks that fire them.
#include <algorithm>
#include <cstring>
#include <utility>

#include "serial/dispatch/dispatcher.h"

#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio {

namespace {

// Upper case as the ignore-case match sees it: only the received byte is
// converted, the stored text already is upper case.
uint8_t UpperByte(uint8_t c) {
  return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handles and trigger records

int32_t TSioBaseDispatcher::GetTriggerHandle() {
  if (NextHandle < TriggerHandleLimit) {
    return static_cast<int32_t>(NextHandle++ * 8);
  }
  // Marks of the handles 8..4096 in use; one pass over each list.
  std::vector<bool> used(TriggerHandleLimit / 8 + 1, false);
  auto mark = [&used](int32_t handle) {
    if (handle > 0 && handle % 8 == 0 && handle / 8 < static_cast<int32_t>(used.size()))
      used[static_cast<size_t>(handle / 8)] = true;
  };
  for (auto& t : TimerTriggers)
    mark(t->Handle);
  for (auto& t : DataTriggers)
    mark(t->Handle);
  for (auto& t : StatusTriggers)
    mark(t->Handle & ~7);
  for (size_t n = 1; n < used.size(); ++n) {
    if (!used[n]) return static_cast<int32_t>(n * 8);
  }
  return 0;
}

int32_t TSioBaseDispatcher::AddTimerTrigger() {
  platform::CriticalSectionLock guard(DataSection);
  auto t = std::make_unique<TTimerTrigger>();
  t->Handle = GetTriggerHandle();
  t->Ticks = 0;
  t->Reserved = -1;
  t->Active = 0;
  if (t->Handle == 0) return ecNoMoreTriggers;
  const int32_t handle = t->Handle;
  TimerTriggers.push_back(std::move(t));
  LogDispatchEvent(ltTrigAllc, lsTimer, static_cast<uint32_t>(handle), nullptr, 0);
  return handle;
}

int32_t TSioBaseDispatcher::SetTimerTrigger(int32_t handle, int32_t ticks, bool activate) {
  platform::CriticalSectionLock guard(DataSection);
  void* rec = nullptr;
  int32_t kind = tkNone;
  if (FindTriggerFromHandle(handle, false, rec, kind) != 0 || kind != tkTimer) {
    return ecBadTriggerHandle;
  }
  auto* t = static_cast<TTimerTrigger*>(rec);
  if (activate) {
    if (ticks != 0) t->Ticks = ticks;
    StartTickTimer(t->Timer, t->Ticks);
    const auto u = static_cast<uint32_t>(ticks);
    const uint8_t bytes[4] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                              static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    LogDispatchEvent(ltTrDatChg, lsTimer, static_cast<uint32_t>(handle), bytes, 4);
  } else {
    static const char kDeactivated[] = "Deactivated";
    LogDispatchEvent(ltTrDatChg, lsTimer, static_cast<uint32_t>(handle), kDeactivated,
                     static_cast<int32_t>(sizeof(kDeactivated) - 1));
  }
  t->Active = activate ? kTrue32 : 0;
  return 0;
}

int32_t TSioBaseDispatcher::AddDataTrigger(const std::string& text, bool ignoreCase) {
  if (text.empty()) return ecBadArgument;
  if (text.size() > static_cast<size_t>(MaxTriggerLength)) return ecTriggerTooLong;
  platform::CriticalSectionLock guard(DataSection);
  auto t = std::make_unique<TDataTrigger>();
  t->Handle = GetTriggerHandle();
  if (t->Handle == 0) return ecNoMoreTriggers;
  t->Length = static_cast<int32_t>(text.size());
  t->IgnoreCase = ignoreCase ? kTrue32 : 0;
  for (size_t k = 0; k < text.size(); ++k) {
    const auto c = static_cast<uint8_t>(text[k]);
    t->Text[k] = static_cast<char>(ignoreCase ? UpperByte(c) : c);
  }
  const int32_t handle = t->Handle;
  DataTriggers.push_back(std::move(t));
  return handle;
}

int32_t TSioBaseDispatcher::AddStatusTrigger(int32_t type) {
  if (type < stModem || type > stOutSent) return ecBadArgument;
  platform::CriticalSectionLock guard(DataSection);
  const int32_t base = GetTriggerHandle();
  if (base == 0) return ecNoMoreTriggers;
  auto t = std::make_unique<TStatusTrigger>();
  t->Handle = base + type;
  t->Type = type;
  const int32_t handle = t->Handle;
  StatusTriggers.push_back(std::move(t));
  return handle;
}

int32_t TSioBaseDispatcher::SetStatusTrigger(int32_t handle, uint32_t value, bool activate) {
  platform::CriticalSectionLock guard(DataSection);
  void* rec = nullptr;
  int32_t kind = tkNone;
  if (FindTriggerFromHandle(handle, false, rec, kind) != 0 || kind != tkStatus) {
    return ecBadTriggerHandle;
  }
  auto* t = static_cast<TStatusTrigger*>(rec);
  if (activate) {
    if (t->Type == stModem) {
      const uint32_t mask = value & 0xFF;
      t->Data = static_cast<uint16_t>((mask << 8) | (ModemStatus & mask & 0xFF));
    } else {
      t->Data = static_cast<uint16_t>(value);
    }
    t->Fired = false;
  }
  t->Active = activate;
  return 0;
}

int32_t TSioBaseDispatcher::RemoveTrigger(int32_t handle) {
  platform::CriticalSectionLock guard(DataSection);
  if (handle == AvailTriggerHandle) {
    TrigAvailLength = 0;
    return 0;
  }
  void* rec = nullptr;
  int32_t kind = tkNone;
  return FindTriggerFromHandle(handle, true, rec, kind);
}

void TSioBaseDispatcher::ChangeLengthTrigger(int32_t length) {
  platform::CriticalSectionLock guard(DataSection);
  TrigAvailLength = length;
  LogDispatchEvent(ltTrDatChg, lsAvail, static_cast<uint32_t>(length), nullptr, 0);
}

int32_t TSioBaseDispatcher::FindTriggerFromHandle(int32_t handle, bool remove, void*& trigger,
                                                  int32_t& kind) {
  platform::CriticalSectionLock guard(DataSection);
  trigger = nullptr;
  kind = tkNone;
  if (handle == 0 || handle == AvailTriggerHandle) return ecBadTriggerHandle;
  for (auto it = TimerTriggers.begin(); it != TimerTriggers.end(); ++it) {
    if ((*it)->Handle != handle) continue;
    kind = tkTimer;
    if (remove) {
      TimerTriggers.erase(it);
      LogDispatchEvent(ltTrigDisp, lsTrigTimer, static_cast<uint32_t>(handle), nullptr, 0);
    } else {
      trigger = it->get();
    }
    return 0;
  }
  for (auto it = StatusTriggers.begin(); it != StatusTriggers.end(); ++it) {
    if ((*it)->Handle != handle) continue;
    kind = tkStatus;
    if (remove) {
      StatusTriggers.erase(it);
      const uint8_t type = static_cast<uint8_t>(handle & 7);
      LogDispatchEvent(ltTrigDisp, lsTrigStatus, static_cast<uint32_t>(handle), &type, 1);
    } else {
      trigger = it->get();
    }
    return 0;
  }
  for (auto it = DataTriggers.begin(); it != DataTriggers.end(); ++it) {
    if (((*it)->Handle & ~7) != handle) continue;
    kind = tkData;
    if (remove) {
      DataTriggers.erase(it);
      LogDispatchEvent(ltTrigDisp, lsTrigData, static_cast<uint32_t>(handle), nullptr, 0);
    } else {
      trigger = it->get();
    }
    return 0;
  }
  return ecBadTriggerHandle;
}

void TSioBaseDispatcher::ClearTriggers() {
  platform::CriticalSectionLock guard(DataSection);
  TrigAvailLength = 0;
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  NextHandle = 1;
}

void TSioBaseDispatcher::ResetDataTriggerMatches() {
  platform::CriticalSectionLock guard(DataSection);
  for (auto& t : DataTriggers)
    std::fill(std::begin(t->Slots), std::end(t->Slots), 0);
}

void TSioBaseDispatcher::SaveTriggers(TriggerSave& save) {
  platform::CriticalSectionLock guard(DataSection);
  FreeSavedTriggers(save);
  save.AvailLength = TrigAvailLength;
  save.TimerTriggers = std::make_unique<std::vector<TTimerTrigger>>();
  for (auto& t : TimerTriggers)
    save.TimerTriggers->push_back(*t);
  save.DataTriggers = std::make_unique<std::vector<TDataTrigger>>();
  for (auto& t : DataTriggers)
    save.DataTriggers->push_back(*t);
  save.StatusTriggers = std::make_unique<std::vector<TStatusTrigger>>();
  for (auto& t : StatusTriggers)
    save.StatusTriggers->push_back(*t);
}

void TSioBaseDispatcher::RestoreTriggers(const TriggerSave& save) {
  platform::CriticalSectionLock guard(DataSection);
  TrigAvailLength = save.AvailLength;
  TimerTriggers.clear();
  DataTriggers.clear();
  StatusTriggers.clear();
  uint32_t highest = 0;
  auto note = [&highest](int32_t handle) {
    highest = std::max(highest, static_cast<uint32_t>(handle) / 8);
  };
  if (save.TimerTriggers) {
    for (const auto& t : *save.TimerTriggers) {
      TimerTriggers.push_back(std::make_unique<TTimerTrigger>(t));
      note(t.Handle);
    }
  }
  if (save.DataTriggers) {
    for (const auto& t : *save.DataTriggers) {
      DataTriggers.push_back(std::make_unique<TDataTrigger>(t));
      note(t.Handle);
    }
  }
  if (save.StatusTriggers) {
    for (const auto& t : *save.StatusTriggers) {
      StatusTriggers.push_back(std::make_unique<TStatusTrigger>(t));
      note(t.Handle);
    }
  }
  // New handles go past the restored ones, so that no two triggers share a
  // handle after a reopen.
  if (NextHandle <= highest) NextHandle = std::min(highest + 1, TriggerHandleLimit);
}

void TSioBaseDispatcher::FreeSavedTriggers(TriggerSave& save) {
  save.TimerTriggers.reset();
  save.DataTriggers.reset();
  save.StatusTriggers.reset();
}

// ---------------------------------------------------------------------------
// The checks

bool TSioBaseDispatcher::MatchTriggerByte(int32_t* slots, uint8_t c, int32_t length,
                                          bool ignoreCase, const char* text) {
  if (length <= 0 || length > MaxTriggerLength) return false;
  if (ignoreCase) c = UpperByte(c);
  const auto at = [text](int32_t p) { return static_cast<uint8_t>(text[p]); };
  bool started = false;
  bool examine = true;
  for (int32_t k = 0; k < length; ++k) {
    if (examine) {
      const int32_t p = slots[k];
      if (at(p) == c) {
        if (p == length - 1) {
          // A match ends every candidate, and the byte that completed it
          // starts none: otherwise whether a second, overlapping match is
          // seen would depend on which slot held the first.
          std::fill(slots, slots + MaxTriggerLength, 0);
          return true;
        } else {
          slots[k] = p + 1;
        }
      } else if (at(0) == c) {
        slots[k] = 1;
        started = true;
      } else {
        slots[k] = 0;
      }
    }
    if (slots[k] == 1) started = true;
    if (k + 1 < length) {
      examine = started ? slots[k + 1] != 0 : (slots[k + 1] != 0 || at(0) == c);
    }
  }
  return false;
}

bool TSioBaseDispatcher::CheckDataTriggers() {
  bool anyMatched = false;
  uint32_t matchPos = 0;
  uint64_t matchStream = 0;
  int32_t before = 0;
  bool fireAvail = false;
  uint32_t flushMark = 0;
  {
    platform::CriticalSectionLock data(DataSection);
    platform::CriticalSectionLock disp(DispSection);
    if (DBuffer == nullptr) return false;
    flushMark = flushCount_;
    const bool anyTrigger = std::any_of(DataTriggers.begin(), DataTriggers.end(),
                                        [](const auto& t) { return t->Length != 0; });
    if (!anyTrigger) {
      // Nothing can match: the pending bytes are passed over in one step.
      LastTail = static_cast<int32_t>((static_cast<uint32_t>(LastTail) + scanPending_) %
                                      DispatchBufferSize);
      scanPending_ = 0;
    }
    while (scanPending_ > 0) {
      const uint32_t i = static_cast<uint32_t>(LastTail);
      const uint8_t c = DBuffer[i];
      int32_t longest = 0;
      for (auto& t : DataTriggers) {
        if (t->Length == 0) continue;
        if (t->Matched == 0) {
          t->Matched =
              MatchTriggerByte(t->Slots, c, t->Length, t->IgnoreCase != 0, t->Text) ? kTrue32 : 0;
        }
        if (t->Matched != 0) {
          anyMatched = true;
          longest = std::max(longest, t->Length);
        }
      }
      if (anyMatched) {
        matchPos = i;
        matchStream = headStream_ - scanPending_;
        if (TrigAvailLength > 0 && lastAvailStream_ != matchStream) {
          const int64_t unread = UnreadUpTo(i);
          const int64_t b = unread - (ConsumeMode ? Consumed : 0) - longest;
          if (b >= TrigAvailLength) {
            before = static_cast<int32_t>(b);
            fireAvail = true;
          }
        }
        break;
      }
      LastTail = static_cast<int32_t>((i + 1) % DispatchBufferSize);
      --scanPending_;
    }
    if (!anyMatched) {
      const uint32_t count = BufferedCount(DBufHead, DBufTail, DBufFull);
      const uint32_t n = ConsumeMode ? (count > Consumed ? count - Consumed : 0) : count;
      if (TrigAvailLength > 0 && lastAvailStream_ != headStream_ &&
          n >= static_cast<uint32_t>(TrigAvailLength)) {
        lastAvailStream_ = headStream_;
        LastAvailPos = LastTail;
        fireAvail = true;
        before = static_cast<int32_t>(n);
      } else {
        return false;
      }
    }
  }

  if (!anyMatched) {
    LogDispatchEvent(ltTrigger, lsTrigAvail, static_cast<uint32_t>(before), nullptr, 0);
    return DispatchEvent(kMsgTriggerAvail, static_cast<uint32_t>(before), 0);
  }

  // Every trigger that matched at this byte, last first, with its mark
  // cleared now: a delivery that stops early, or handlers that remove
  // triggers, leave no mark behind to fire later at a byte that does not
  // match.
  std::vector<std::pair<int32_t, int32_t>> matched;
  {
    platform::CriticalSectionLock data(DataSection);
    for (size_t k = DataTriggers.size(); k-- > 0;) {
      TDataTrigger& t = *DataTriggers[k];
      if (t.Matched != 0 && t.Length != 0) matched.emplace_back(t.Handle, t.Length);
      t.Matched = 0;
    }
  }
  bool result = false;
  if (fireAvail) {
    LogDispatchEvent(ltTrigger, lsTrigAvail, static_cast<uint32_t>(before), nullptr, 0);
    result = DispatchEvent(kMsgTriggerAvail, static_cast<uint32_t>(before), 0);
    platform::CriticalSectionLock disp(DispSection);
    if (flushCount_ == flushMark) {
      LastTail = static_cast<int32_t>(matchPos);
      lastAvailStream_ = matchStream;
      LastAvailPos = static_cast<int32_t>(matchPos);
    }
  }
  for (const auto& [handle, length] : matched) {
    if (ClosePending.load()) return false;
    {
      // One removed by a handler of this byte is not reported.
      platform::CriticalSectionLock data(DataSection);
      const bool exists = std::any_of(DataTriggers.begin(), DataTriggers.end(),
                                      [h = handle](const auto& t) { return t->Handle == h; });
      if (!exists) continue;
    }
    LogDispatchEvent(ltTrigger, lsTrigData, static_cast<uint32_t>(handle), nullptr, 0);
    result = DispatchEvent(kMsgTriggerData, static_cast<uint32_t>(handle),
                           static_cast<uint32_t>(length));
  }
  platform::CriticalSectionLock disp(DispSection);
  if (flushCount_ == flushMark && scanPending_ > 0) {
    LastTail = static_cast<int32_t>((matchPos + 1) % DispatchBufferSize);
    --scanPending_;
  }
  return result;
}

bool TSioBaseDispatcher::CheckStatusTriggers() {
  // The output counts are taken before DataSection: the device layer takes
  // OutputSection, which is never entered under DataSection's holders'
  // waits the other way round.
  bool wantsOutput = false;
  {
    platform::CriticalSectionLock guard(DataSection);
    for (auto& t : StatusTriggers) {
      if (t->Active && !t->Fired && (t->Type == stOutBuffFree || t->Type == stOutBuffUsed))
        wantsOutput = true;
    }
  }
  uint32_t outFree = 0;
  uint32_t outUsed = 0;
  if (wantsOutput) {
    outUsed = OutBuffUsed();
    outFree = OutQue > outUsed ? OutQue - outUsed : 0;
  }

  int32_t handle = 0;
  uint32_t data = 0;
  {
    platform::CriticalSectionLock guard(DataSection);
    const size_t count = StatusTriggers.size();
    for (size_t i = 0; i < count && i < StatusTriggers.size(); ++i) {
      TStatusTrigger& t = *StatusTriggers[i];
      if (!t.Active || t.Fired) continue;
      bool fire = false;
      switch (t.Type) {
        case stModem: {
          const uint32_t ref = t.Data & 0xFF;
          const uint32_t mask = t.Data >> 8;
          fire = ((ref ^ ModemStatus) & mask) != 0;
          data = 0;
          break;
        }
        case stLine:
          if ((t.Data & LastError) != 0) {
            fire = true;
            t.Data = static_cast<uint16_t>(LastError & 0xFFFF);
            data = t.Data;
          }
          break;
        case stOutBuffFree:
          fire = outFree >= t.Data;
          data = outFree;
          break;
        case stOutBuffUsed:
          fire = outUsed <= t.Data;
          data = outUsed;
          break;
        case stOutSent:
          fire = OutSentPending.exchange(false);
          data = 0;
          break;
        default:
          break;
      }
      if (!fire) continue;
      t.Active = false;
      t.Fired = true;
      StatusFired = true;
      handle = t.Handle;
      break;
    }
  }
  if (handle == 0) return false;
  LogDispatchEvent(ltTrigger, lsStatus, static_cast<uint32_t>(handle), nullptr, 0);
  return DispatchEvent(kMsgTriggerStatus, static_cast<uint32_t>(handle), data);
}

bool TSioBaseDispatcher::CheckTimerTriggers() {
  int32_t handle = 0;
  {
    platform::CriticalSectionLock guard(DataSection);
    for (auto& t : TimerTriggers) {
      if (t->Active != 0 && TickTimerExpired(t->Timer)) {
        t->Active = 0;
        handle = t->Handle;
        break;
      }
    }
  }
  if (handle == 0) return false;
  LogDispatchEvent(ltTrigger, lsTrigTimer, static_cast<uint32_t>(handle), nullptr, 0);
  return DispatchEvent(kMsgTriggerTimer, static_cast<uint32_t>(handle), 0);
}

}  // namespace sio
