// The packet matcher: its properties, starting and stopping, the
// byte-by-byte scan of the manager's buffer, and the delivery of packets and
// time-outs to the user-interface thread.
#include "serial/packet/data_packet.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "platform/message_loop.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/dispatch/trace_log.h"
#include "serial/packet/packet_manager.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio {

// Takes the manager's lock for a property access when the matcher has a
// manager; the manager cannot change while it is held, since only the
// user-interface thread changes it. To the thread-safety analysis it holds
// the lock of p->manager_, manager or not: without one there is no lock to
// hold, and the functions that need it touch nothing of a manager they are
// given as nullptr.
class SIO_SCOPED_CAPABILITY TSioDataPacket::TStateGuard {
 public:
  explicit TStateGuard(const TSioDataPacket* p) SIO_ACQUIRE(p->manager_->Lock())
      : manager_(p->manager_) {
    if (manager_ != nullptr) manager_->Lock().Enter();
  }
  ~TStateGuard() SIO_RELEASE() {
    if (manager_ != nullptr) manager_->Lock().Leave();
  }
  TStateGuard(const TStateGuard&) = delete;
  TStateGuard& operator=(const TStateGuard&) = delete;

 private:
  TSioDataPacketManager* manager_;
};

namespace {

std::string UpperAscii(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    c = static_cast<char>(TSioDataPacket::AsciiUpper(static_cast<uint8_t>(c)));
  return out;
}

[[noreturn]] void RaiseInvalidProperty(int32_t code) {
  throw EInvalidProperty(code);
}

size_t PreparedLength(const std::string& text) {
  std::string prepared;
  std::vector<bool> mask;
  TSioDataPacket::PrepareMatchString(text, prepared, mask);
  return prepared.size();
}

constexpr uint64_t kEveryByte = 0x0101010101010101ull;

// Non-zero when one of the eight bytes of v is zero.
constexpr uint64_t HasZeroByte(uint64_t v) {
  return (v - kEveryByte) & ~v & (kEveryByte << 7);
}

// The first byte of [from, to) that is an ASCII letter when folded to lower
// case, i.e. the letter itself or its other case: eight bytes at a time,
// since one memchr cannot look for two values and two of them can rescan
// the same bytes over and over when one case is frequent and the other rare.
const uint8_t* FindFolded(const uint8_t* from, const uint8_t* to, uint8_t lower) {
  const uint64_t want = kEveryByte * lower;
  const uint64_t fold = kEveryByte * 0x20u;
  while (to - from >= 8) {
    uint64_t word;
    std::memcpy(&word, from, sizeof word);
    if (HasZeroByte((word | fold) ^ want) != 0) break;
    from += 8;
  }
  for (; from < to; ++from) {
    if ((*from | 0x20u) == lower) return from;
  }
  return to;
}

}  // namespace

// What a delivery hands to the user-interface thread. It looks at the
// manager again there: a close or a detach since the delivery began, or the
// matcher's end, means the handlers are not called at all.
struct TSioDataPacket::TDeliveryCall {
  TSioDataPacketManager* manager;
  TSioDataPacket* packet;
  uint32_t epoch;
  bool timeout;
  const void* data;
  int32_t size;
};

// ---------------------------------------------------------------------------
// Life

TSioDataPacket::TSioDataPacket(TComponent* owner) : TSioBaseComponent(owner) {
  if (IsDesigning()) {
    enabled_ = true;
    SetComPort(FindComPort(owner));
  }
}

TSioDataPacket::~TSioDataPacket() {
  try {
    SetComPort(nullptr);
  } catch (...) {
    ShowThreadException(std::current_exception());
  }
}

void TSioDataPacket::Loaded() {
  TSioBaseComponent::Loaded();
  if (manager_ != nullptr) manager_->ActivateIfPending();
  bool pending;
  {
    TStateGuard guard(this);
    pending = enablePending_;
    enablePending_ = false;
  }
  if (!pending) return;
  {
    TStateGuard guard(this);
    // Enabled was loaded before the settings it needs; now that they are
    // all there, settings that cannot match leave it off.
    try {
      RefuseUnmatchable(startCond_, startString_, endCond_, endString_, packetSize_);
    } catch (...) {
      enabled_ = false;
      throw;
    }
  }
  StartMatching();
}

void TSioDataPacket::Notification(TComponent* component, TOperation operation) {
  TSioBaseComponent::Notification(component, operation);
  if (operation == TOperation::opRemove) {
    if (component != nullptr && component == comPort_) SetComPort(nullptr);
  } else if (comPort_ == nullptr) {
    if (auto* port = dynamic_cast<TSioCustomComPort*>(component)) SetComPort(port);
  }
}

// ---------------------------------------------------------------------------
// Properties

bool TSioDataPacket::GetEnabled() const {
  TStateGuard guard(this);
  return enabled_;
}

void TSioDataPacket::SetEnabled(bool value) {
  TStateGuard guard(this);
  SetEnabledLocked(manager_, value);
}

void TSioDataPacket::SetEnabledLocked(TSioDataPacketManager* m, bool value) {
  if (value == enabled_) return;
  // A start that raises leaves Enabled off. Settings that cannot match are
  // refused here, open port or not: kept, they would fail every later open.
  if (value) {
    RefuseUnmatchable(startCond_, startString_, endCond_, endString_, packetSize_);
    StartMatchingLocked(m);
    enabled_ = true;
    return;
  }
  // Off before the stop: the capture it releases lets the others deliver,
  // and the restarts that follow their events must pass this one by.
  enabled_ = false;
  StopMatchingLocked(m);
}

bool TSioDataPacket::GetAutoEnable() const {
  TStateGuard guard(this);
  return autoEnable_;
}
void TSioDataPacket::SetAutoEnable(bool value) {
  TStateGuard guard(this);
  autoEnable_ = value;
}
TPacketStartCond TSioDataPacket::GetStartCond() const {
  TStateGuard guard(this);
  return startCond_;
}
void TSioDataPacket::SetStartCond(TPacketStartCond value) {
  TStateGuard guard(this);
  if (enabled_) RefuseUnmatchable(value, startString_, endCond_, endString_, packetSize_);
  startCond_ = value;
}
TPacketEndSet TSioDataPacket::GetEndCond() const {
  TStateGuard guard(this);
  return endCond_;
}

void TSioDataPacket::SetEndCond(TPacketEndSet value) {
  TStateGuard guard(this);
  if (enabled_) RefuseUnmatchable(startCond_, startString_, value, endString_, packetSize_);
  // Stopped and started again, so the new condition applies at once.
  const bool was = enabled_;
  SetEnabledLocked(manager_, false);
  endCond_ = value;
  SetEnabledLocked(manager_, was);
}

std::string TSioDataPacket::GetStartString() const {
  TStateGuard guard(this);
  return startString_;
}
void TSioDataPacket::SetStartString(const std::string& value) {
  TStateGuard guard(this);
  if (enabled_) RefuseUnmatchable(startCond_, value, endCond_, endString_, packetSize_);
  startString_ = value;
}
std::string TSioDataPacket::GetEndString() const {
  TStateGuard guard(this);
  return endString_;
}

void TSioDataPacket::SetEndString(const std::string& value) {
  TStateGuard guard(this);
  if (enabled_) RefuseUnmatchable(startCond_, startString_, endCond_, value, packetSize_);
  const bool was = enabled_;
  SetEnabledLocked(manager_, false);
  endString_ = value;
  SetEnabledLocked(manager_, was);
}

bool TSioDataPacket::GetIgnoreCase() const {
  TStateGuard guard(this);
  return ignoreCase_;
}
void TSioDataPacket::SetIgnoreCase(bool value) {
  TStateGuard guard(this);
  ignoreCase_ = value;
}
TSioCustomComPort* TSioDataPacket::GetComPort() const {
  return comPort_;
}

void TSioDataPacket::SetComPort(TSioCustomComPort* value) {
  if (value == comPort_) return;
  std::exception_ptr stopError;
  if (comPort_ != nullptr) {
    if (TSioDataPacketManager* old = manager_) {
      TPacketLockGuard guard(old->Lock());
      // Stopped first, so a collecting matcher hands its capture back.
      try {
        StopMatchingLocked(old);
      } catch (...) {
        stopError = std::current_exception();
      }
      old->RemovePacket(this);
    }
    RemoveFreeNotification(comPort_);
  }
  comPort_ = value;
  if (value != nullptr) {
    FreeNotification(value);
    TSioDataPacketManager* m = PacketManagers().GetPortManager(value);
    if (m == nullptr) m = new TSioDataPacketManager(value);
    m->AddPacket(this);
  }
  if (stopError) std::rethrow_exception(stopError);
}

int32_t TSioDataPacket::GetPacketSize() const {
  TStateGuard guard(this);
  return packetSize_;
}
void TSioDataPacket::SetPacketSize(int32_t value) {
  TStateGuard guard(this);
  if (enabled_) RefuseUnmatchable(startCond_, startString_, endCond_, endString_, value);
  packetSize_ = value;
}
bool TSioDataPacket::GetIncludeStrings() const {
  TStateGuard guard(this);
  return includeStrings_;
}
void TSioDataPacket::SetIncludeStrings(bool value) {
  TStateGuard guard(this);
  includeStrings_ = value;
}
int32_t TSioDataPacket::GetTimeOut() const {
  TStateGuard guard(this);
  return timeOut_;
}
void TSioDataPacket::SetTimeOut(int32_t value) {
  TStateGuard guard(this);
  timeOut_ = value;
}
TPacketNotifyEvent TSioDataPacket::GetOnPacket() const {
  TStateGuard guard(this);
  return onPacket_;
}
void TSioDataPacket::SetOnPacket(const TPacketNotifyEvent& value) {
  TStateGuard guard(this);
  onPacket_ = value;
}
TStringPacketNotifyEvent TSioDataPacket::GetOnStringPacket() const {
  TStateGuard guard(this);
  return onStringPacket_;
}
void TSioDataPacket::SetOnStringPacket(const TStringPacketNotifyEvent& value) {
  TStateGuard guard(this);
  onStringPacket_ = value;
}
TNotifyEvent TSioDataPacket::GetOnTimeout() const {
  TStateGuard guard(this);
  return onTimeout_;
}
void TSioDataPacket::SetOnTimeout(const TNotifyEvent& value) {
  TStateGuard guard(this);
  onTimeout_ = value;
}

TPacketMode TSioDataPacket::GetMode() const {
  TStateGuard guard(this);
  return mode_;
}
TSioDataPacketManager* TSioDataPacket::GetManager() const {
  return manager_;
}
bool TSioDataPacket::GetEnablePending() const {
  TStateGuard guard(this);
  return enablePending_;
}
bool TSioDataPacket::GetWaitingForCapture() const {
  TStateGuard guard(this);
  return waitingForCapture_;
}
bool TSioDataPacket::GetHasCapture() const {
  TStateGuard guard(this);
  return hasCapture_;
}
int32_t TSioDataPacket::GetBeginPos() const {
  TStateGuard guard(this);
  return beginPos_;
}

// ---------------------------------------------------------------------------
// Match strings

void TSioDataPacket::PrepareMatchString(const std::string& text, std::string& prepared,
                                        std::vector<bool>& mask) {
  prepared.clear();
  mask.clear();
  bool escaped = false;
  for (const char c : text) {
    if (escaped) {
      prepared.push_back(c);
      mask.push_back(false);
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else {
      prepared.push_back(c);
      mask.push_back(c == '?');
    }
  }
}

bool TSioDataPacket::MatchByte(uint8_t c, const std::string& prepared,
                               const std::vector<bool>& mask, int32_t index) const {
  const auto i = static_cast<size_t>(index);
  if (mask[i]) return true;
  const auto ch = static_cast<uint8_t>(prepared[i]);
  return (ignoreCase_ ? AsciiUpper(c) : c) == ch;
}

int32_t TSioDataPacket::NextCandidate(const uint8_t* data, int32_t from, int32_t to,
                                      const std::string& prepared,
                                      const std::vector<bool>& mask) const {
  if (from >= to) return to;
  if (prepared.empty()) return to;
  if (mask[0]) return from;
  const auto first = static_cast<uint8_t>(prepared[0]);
  const uint8_t* const begin = data + from;
  const uint8_t* const end = data + to;
  const uint8_t* hit;
  if (!ignoreCase_) {
    hit = static_cast<const uint8_t*>(std::memchr(begin, first, static_cast<size_t>(to - from)));
    if (hit == nullptr) hit = end;
  } else if (first >= 'A' && first <= 'Z') {
    hit = FindFolded(begin, end, static_cast<uint8_t>(first | 0x20u));
  } else if (first >= 'a' && first <= 'z') {
    // Folded bytes are never lower-case letters: nothing can begin it.
    hit = end;
  } else {
    hit = static_cast<const uint8_t*>(std::memchr(begin, first, static_cast<size_t>(to - from)));
    if (hit == nullptr) hit = end;
  }
  return from + static_cast<int32_t>(hit - begin);
}

// ---------------------------------------------------------------------------
// Logging

void TSioDataPacket::Log(TSioDataPacketManager* m, int32_t subType, const void* bytes,
                         int32_t length) {
  if (m == nullptr || m->dispatcher_ == nullptr || !m->dispatcher_->TraceLog->LoggingOn()) return;
  m->dispatcher_->LogDispatchEvent(ltPacket, subType, 0, bytes, length);
}

void TSioDataPacket::LogName(TSioDataPacketManager* m, int32_t subType) {
  if (m == nullptr || m->dispatcher_ == nullptr || !m->dispatcher_->TraceLog->LoggingOn()) return;
  const std::string text = "Packet:" + GetName();
  m->dispatcher_->LogDispatchEvent(ltPacket, subType, 0, text.data(),
                                   static_cast<int32_t>(text.size()));
}

// ---------------------------------------------------------------------------
// Starting and stopping

int32_t TSioDataPacket::SettingsError(TPacketStartCond startCond, const std::string& startString,
                                      TPacketEndSet endCond, const std::string& endString,
                                      int32_t packetSize) {
  const bool bySize = (endCond & EndCondBit(ecPacketSize)) != 0;
  // The prepared text counts: "\" alone passes as a property yet leaves
  // nothing to compare.
  if (startCond == scString) {
    const size_t length = PreparedLength(startString);
    if (length == 0) return ecStartStringEmpty;
    if (bySize && static_cast<int64_t>(length) > packetSize) return ecPacketTooSmall;
  } else if (endCond == 0) {
    return ecNoEndCharCount;
  }
  if ((endCond & EndCondBit(ecString)) != 0 && PreparedLength(endString) == 0)
    return ecEmptyEndString;
  if (bySize && packetSize == 0) return ecZeroSizePacket;
  return 0;
}

void TSioDataPacket::RefuseUnmatchable(TPacketStartCond startCond, const std::string& startString,
                                       TPacketEndSet endCond, const std::string& endString,
                                       int32_t packetSize) const {
  if (IsDesigning() || IsLoading()) return;
  const int32_t code = SettingsError(startCond, startString, endCond, endString, packetSize);
  if (code != 0) RaiseInvalidProperty(code);
}

void TSioDataPacket::StartMatching() {
  TStateGuard guard(this);
  StartMatchingLocked(manager_);
}

void TSioDataPacket::StopMatching() {
  TStateGuard guard(this);
  StopMatchingLocked(manager_);
}

void TSioDataPacket::Restart() {
  TStateGuard guard(this);
  RestartLocked(manager_);
}

void TSioDataPacket::StartMatchingLocked(TSioDataPacketManager* m) {
  if (IsDesigning()) return;
  if (IsLoading()) {
    enablePending_ = true;
    return;
  }
  if (m != nullptr && m->active_) {
    if (m->inEvent_) {
      enablePending_ = true;
      return;
    }
    enablePending_ = false;
    LogName(m, lsPacketEnable);
    try {
      const int32_t code =
          SettingsError(startCond_, startString_, endCond_, endString_, packetSize_);
      if (code != 0) RaiseInvalidProperty(code);
      if (startCond_ == scString) {
        Log(m, lsStartStr, startString_.data(), static_cast<int32_t>(startString_.size()));
        std::string prepared;
        std::vector<bool> mask;
        PrepareMatchString(ignoreCase_ ? UpperAscii(startString_) : startString_, prepared, mask);
        SetMode(m, dpWaiting);
        matchStart_ = std::move(prepared);
        startMask_ = std::move(mask);
      } else if (m->capturePacket_ != nullptr) {
        waitingForCapture_ = true;
      } else {
        SetMode(m, dpCollecting);
      }
      if ((endCond_ & EndCondBit(ecString)) != 0) {
        std::string prepared;
        std::vector<bool> mask;
        PrepareMatchString(ignoreCase_ ? UpperAscii(endString_) : endString_, prepared, mask);
        Log(m, lsEndStr, endString_.data(), static_cast<int32_t>(endString_.size()));
        matchEnd_ = std::move(prepared);
        endMask_ = std::move(mask);
      }
    } catch (...) {
      // A start that fails holds no mode and, above all, no capture: a
      // capture kept by a disabled matcher would hide every byte from the
      // others for good.
      waitingForCapture_ = false;
      try {
        SetMode(m, dpIdle);
      } catch (...) {
      }
      throw;
    }
  }
  sizeLimit_ = packetSize_;
  startMatch_ = 1;
  beginPos_ = -1;
  endMatch_ = 1;
  endPos_ = -1;
}

void TSioDataPacket::StopMatchingLocked(TSioDataPacketManager* m) {
  if (!enablePending_ && !waitingForCapture_ && mode_ == dpIdle) return;
  enablePending_ = false;
  waitingForCapture_ = false;
  if (m != nullptr) {
    SetMode(m, dpIdle);
    LogName(m, lsPacketDisable);
  }
}

void TSioDataPacket::RestartLocked(TSioDataPacketManager* m) {
  if (enabled_ && comPort_ != nullptr) {
    StopMatchingLocked(m);
    StartMatchingLocked(m);
  }
}

void TSioDataPacket::SetMode(TSioDataPacketManager* m, TPacketMode value) {
  if (value == mode_) return;
  const bool release = value != dpCollecting && hasCapture_;
  // Stored before the capture changes hands: the re-offer that follows a
  // release must not see this matcher as still collecting.
  mode_ = value;
  if (value == dpCollecting) {
    if (m != nullptr) m->SetCapture(this, timeOut_);
  } else if (release && m != nullptr) {
    m->ReleaseCapture(this);
  }
  LogName(m, value == dpIdle ? lsIdle : value == dpWaiting ? lsWaiting : lsCollecting);
}

// ---------------------------------------------------------------------------
// Scanning

bool TSioDataPacket::ScanData(TSioDataPacketManager& m, int32_t start) {
  if (!enabled_) return true;
  int32_t p = start < 0 ? 0 : start;
  while (manager_ == &m && p < m.dataLen_) {
    if (mode_ == dpIdle) {
      if (!waitingForCapture_) break;
      waitingForCapture_ = false;
      SetMode(&m, dpCollecting);
    }
    // Bytes that can neither begin the start string nor the end string, nor
    // complete a packet by its size, change no state: the scan goes straight
    // to the next byte that can.
    if (mode_ == dpWaiting && beginPos_ == -1 && startMatch_ == 1) {
      p = NextCandidate(m.data_.get(), p, m.dataLen_, matchStart_, startMask_);
      if (p >= m.dataLen_) break;
    } else if (mode_ == dpCollecting && beginPos_ != -1 && endPos_ == -1 && endMatch_ == 1) {
      int32_t to = m.dataLen_;
      if ((endCond_ & EndCondBit(ecPacketSize)) != 0) {
        const int64_t last = static_cast<int64_t>(beginPos_) + sizeLimit_ - 1;
        if (last < to) to = static_cast<int32_t>(std::max<int64_t>(last, p));
      }
      if ((endCond_ & EndCondBit(ecString)) != 0 && !matchEnd_.empty()) {
        p = NextCandidate(m.data_.get(), p, to, matchEnd_, endMask_);
      } else {
        p = to;
      }
      if (p >= m.dataLen_) break;
    }
    const uint8_t c = m.data_[static_cast<size_t>(p)];
    if (mode_ == dpCollecting) {
      if (beginPos_ == -1) beginPos_ = p;
      if ((endCond_ & EndCondBit(ecPacketSize)) != 0 && p - beginPos_ + 1 >= sizeLimit_) {
        dataSize_ = p - beginPos_ + 1;
        return DeliverPacket(m, true);
      }
      if ((endCond_ & EndCondBit(ecString)) != 0 && !matchEnd_.empty()) {
        if (MatchByte(c, matchEnd_, endMask_, endMatch_ - 1)) {
          if (endMatch_ == static_cast<int32_t>(matchEnd_.size())) {
            dataSize_ = p - beginPos_ + 1;
            return DeliverPacket(m, false);
          }
          if (endPos_ == -1) endPos_ = p;
          ++endMatch_;
        } else if (endPos_ != -1) {
          p = endPos_ + 1;
          endMatch_ = 1;
          endPos_ = -1;
          continue;
        }
      }
    } else if (mode_ == dpWaiting && !matchStart_.empty()) {
      if (MatchByte(c, matchStart_, startMask_, startMatch_ - 1)) {
        if (beginPos_ == -1) beginPos_ = p;
        if (startMatch_ == static_cast<int32_t>(matchStart_.size())) {
          // The size counts the start string too: one as long as the start
          // ends the packet here, as a start-only packet ends.
          const bool sizeReached =
              (endCond_ & EndCondBit(ecPacketSize)) != 0 && p - beginPos_ + 1 >= sizeLimit_;
          if (endCond_ == 0 || sizeReached) {
            dataSize_ = p - beginPos_ + 1;
            if (!DeliverPacket(m, true)) return false;
            if (!enabled_ || manager_ != &m) break;
            // Restarted: the bytes that followed the packet now lie at the
            // front, and the first of them has not been looked at yet.
            p = 0;
            continue;
          }
          SetMode(&m, dpCollecting);
        } else {
          ++startMatch_;
        }
      } else if (beginPos_ != -1) {
        p = beginPos_ + 1;
        startMatch_ = 1;
        beginPos_ = -1;
        continue;
      }
    }
    if (m.data_ == nullptr) break;
    ++p;
  }
  return true;
}

void TSioDataPacket::DataRemoved(TSioDataPacketManager& m, int32_t count) {
  if (!enabled_ || beginPos_ == -1) return;
  if (beginPos_ < count) {
    // The pending match lay in the discarded bytes.
    beginPos_ = -1;
    startMatch_ = 1;
    endPos_ = -1;
    endMatch_ = 1;
    StartMatchingLocked(&m);
  } else {
    // It lies after them: it moves with its bytes to the front.
    beginPos_ -= count;
    if (endPos_ != -1) endPos_ -= count;
  }
}

// ---------------------------------------------------------------------------
// Delivery

void TSioDataPacket::RunDelivery(void* context) {
  const TDeliveryCall& call = *static_cast<const TDeliveryCall*>(context);
  TSioDataPacketManager* const manager = call.manager;
  TSioDataPacket* const packet = call.packet;
  TPacketNotifyEvent onPacket;
  TStringPacketNotifyEvent onString;
  TNotifyEvent onTimeout;
  {
    TPacketLockGuard guard(manager->Lock());
    if (manager->epoch_ != call.epoch || manager->eventPacketGone_) return;
    onPacket = packet->onPacket_;
    onString = packet->onStringPacket_;
    onTimeout = packet->onTimeout_;
  }
  try {
    if (call.timeout) {
      if (onTimeout) onTimeout(packet);
      return;
    }
    // Every byte, zeros included. Taken before OnPacket, which may end the
    // matcher or the port.
    std::string text;
    if (onString) text.assign(static_cast<const char*>(call.data), static_cast<size_t>(call.size));
    if (onPacket) onPacket(packet, call.data, call.size);
    if (onString) {
      {
        TPacketLockGuard guard(manager->Lock());
        if (manager->eventPacketGone_) return;
      }
      onString(packet, text);
    }
  } catch (...) {
    ShowThreadException(std::current_exception());
  }
}

// Runs the call on the user-interface thread: through the dispatcher
// thread's hand-over when called there, otherwise (the user-interface
// thread itself, or a dispatcher without threads) at once.
void TSioDataPacket::RunOnUserInterface(TSioBaseDispatcher* d, TDeliveryCall& call) {
  try {
    if (d != nullptr && d->OnDispatcherThread()) {
      if (TSioDispatcherThread* t = d->DispThread.load()) {
        t->SyncMethod(TMethod<void()>(&call, &RunDelivery));
        return;
      }
    }
    RunDelivery(&call);
  } catch (...) {
    // The hand-over itself failed (no user-interface thread any more).
    ShowThreadException(std::current_exception());
  }
}

bool TSioDataPacket::DeliverPacket(TSioDataPacketManager& m, bool bySize) {
  m.SetInEvent(true);
  m.EnterDelivery();
  TSioDataPacket* const previous = m.eventPacket_;
  const bool previousGone = m.eventPacketGone_;
  m.eventPacket_ = this;
  m.eventPacketGone_ = false;
  const uint32_t epoch = m.epoch_;
  bool alive = true;
  std::exception_ptr error;
  try {
    SetEnabledLocked(&m, false);
    const int32_t n = dataSize_;
    const int32_t begin = beginPos_;
    const int32_t startLen = static_cast<int32_t>(matchStart_.size());
    int32_t size = dataSize_;
    const uint8_t* ptr = m.data_.get() + begin;
    if (startCond_ == scString && !includeStrings_) {
      ptr += startLen;
      size -= startLen;
    }
    if (!includeStrings_ && !bySize) size -= static_cast<int32_t>(matchEnd_.size());
    if (size < 0) size = 0;
    dataPtr_ = ptr;
    dataSize_ = size;
    LogName(&m, lsStringPacket);
    Log(&m, bySize ? lsSizePacket : lsStringPacket, ptr, size);
    TDeliveryCall call{&m, this, epoch, false, ptr, size};
    TSioBaseDispatcher* const d = m.dispatcher_;
    {
      TPacketUnlockScope unlocked(m.Lock());
      RunOnUserInterface(d, call);
    }
    alive = !m.eventPacketGone_;
    // Bytes of a buffer that a close released are not this delivery's to
    // discard.
    if (m.epoch_ == epoch) m.RemoveData(begin, n);
    if (alive) {
      dataPtr_ = nullptr;
      if (autoEnable_) SetEnabledLocked(&m, true);
    }
  } catch (...) {
    error = std::current_exception();
  }
  m.eventPacket_ = previous;
  m.eventPacketGone_ = previousGone;
  try {
    m.SetInEvent(false);
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  m.LeaveDelivery();
  if (error) std::rethrow_exception(error);
  return alive;
}

bool TSioDataPacket::PacketTimedOut(TSioDataPacketManager& m) {
  m.SetInEvent(true);
  m.EnterDelivery();
  TSioDataPacket* const previous = m.eventPacket_;
  const bool previousGone = m.eventPacketGone_;
  m.eventPacket_ = this;
  m.eventPacketGone_ = false;
  const uint32_t epoch = m.epoch_;
  bool alive = true;
  std::exception_ptr error;
  try {
    LogName(&m, lsPacketTimeout);
    SetEnabledLocked(&m, false);
    TDeliveryCall call{&m, this, epoch, true, nullptr, 0};
    TSioBaseDispatcher* const d = m.dispatcher_;
    {
      TPacketUnlockScope unlocked(m.Lock());
      RunOnUserInterface(d, call);
    }
    alive = !m.eventPacketGone_;
    if (m.epoch_ == epoch) m.RemoveData(0, m.dataLen_);
  } catch (...) {
    error = std::current_exception();
  }
  m.eventPacket_ = previous;
  m.eventPacketGone_ = previousGone;
  try {
    m.SetInEvent(false);
  } catch (...) {
    if (!error) error = std::current_exception();
  }
  m.LeaveDelivery();
  if (error) std::rethrow_exception(error);
  return alive;
}

}  // namespace sio
