// The packet manager (reading, offering, capture, events, discarding), its
// hidden window, and the list of all managers.
#include "serial/packet/packet_manager.h"

#include <algorithm>
#include <cstring>

#include "serial/dispatch/dispatcher.h"
#include "serial/packet/data_packet.h"
#include "serial/port/com_port.h"
#include "serial/support/exceptions.h"

namespace sio {

// ---------------------------------------------------------------------------
// The lock

void TPacketLock::Enter() {
  cs_.Enter();
  if (depth_++ == 0) owner_.store(platform::CurrentThreadId());
}

void TPacketLock::Leave() {
  if (--depth_ == 0) owner_.store(0);
  cs_.Leave();
}

int32_t TPacketLock::LeaveAll() {
  if (!HeldByCaller()) return 0;
  const int32_t depth = depth_;
  for (int32_t i = 0; i < depth; ++i)
    Leave();
  return depth;
}

void TPacketLock::EnterAgain(int32_t depth) {
  for (int32_t i = 0; i < depth; ++i)
    Enter();
}

bool TPacketLock::HeldByCaller() const {
  return owner_.load() == platform::CurrentThreadId();
}

// ---------------------------------------------------------------------------
// Hearing of the port's end

// Asks the port's component to tell when it is destroyed, so a port freed
// before its manager is forgotten rather than touched later.
class TSioDataPacketManager::TPortWatch : public TComponent {
 public:
  explicit TPortWatch(TSioDataPacketManager* manager) : manager_(manager) {}
  void Notification(TComponent* component, TOperation operation) override {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove) manager_->PortGone();
  }

 private:
  TSioDataPacketManager* manager_;
};

namespace {

TTriggerEvent HandlerOf(TSioDataPacketManager* m) {
  return TTriggerEvent::Of<&TSioDataPacketManager::TriggerHandler>(m);
}

TPortCallbackEx CallbackOf(TSioDataPacketManager* m) {
  return TPortCallbackEx::Of<&TSioDataPacketManager::PortNotify>(m);
}

}  // namespace

// ---------------------------------------------------------------------------
// Life

TSioDataPacketManager::TSioDataPacketManager(TSioCustomComPort* port) {
  port_ = port;
  (void)port->RegisterUserCallbackEx(CallbackOf(this));
  destroying_ = false;
  PacketManagers().AddManager(this);
  portWatch_ = std::make_unique<TPortWatch>(this);
  portWatch_->FreeNotification(port);
  window_ = platform::CreateHiddenWindow("SioPacketWindow", &PacketWindowProc, this);
  TPacketLockGuard guard(lock_);
  const bool open = port->GetOpen();
  SetActive(open && !port->IsLoading() && !port->IsDesigning());
  activateAfterLoad_ = !port->IsDesigning() && !active_ && open;
}

TSioDataPacketManager::~TSioDataPacketManager() {
  destroying_ = true;
  PacketManagers().RemoveManager(this);
  {
    TPacketLockGuard guard(lock_);
    try {
      SetActive(false);
    } catch (...) {
    }
    if (port_ != nullptr) port_->DeregisterUserCallbackEx(CallbackOf(this));
    FreeBuffer();
    // Matchers that outlive their manager (program end) forget it.
    for (TSioDataPacket* p : packetList_)
      p->manager_ = nullptr;
    packetList_.clear();
    retired_.clear();
  }
  portWatch_.reset();
  if (window_ != nullptr) platform::DestroyHiddenWindow(window_);
}

void TSioDataPacketManager::PortGone() {
  TPacketLockGuard guard(lock_);
  port_ = nullptr;
  // The port's destruction closed it and so detached us; should it not
  // have, its dispatcher is gone with it and must not be touched.
  if (attached_) {
    attached_ = false;
    dispatcher_ = nullptr;
    timerTrigger_ = 0;
    ++epoch_;
    FreeBuffer();
  }
  active_ = false;
}

// ---------------------------------------------------------------------------
// Matchers

void TSioDataPacketManager::AddPacket(TSioDataPacket* packet) {
  TPacketLockGuard guard(lock_);
  packetList_.push_back(packet);
  packet->manager_ = this;
}

void TSioDataPacketManager::RemovePacket(TSioDataPacket* packet) {
  TPacketLockGuard guard(lock_);
  auto it = std::find(packetList_.begin(), packetList_.end(), packet);
  if (it != packetList_.end()) packetList_.erase(it);
  if (eventPacket_ == packet) eventPacketGone_ = true;
  if (capturePacket_ == packet) {
    capturePacket_ = nullptr;
    packet->hasCapture_ = false;
    // A time-out that still fires finds no matcher holding the capture and
    // is ignored.
    if (timerTrigger_ != 0 && dispatcher_ != nullptr)
      (void)dispatcher_->SetTimerTrigger(timerTrigger_, 0, false);
  }
  // The matcher forgets us at once: a delivery still under way for it
  // finishes from what it saved, and never reaches it again.
  packet->manager_ = nullptr;
  if (inEvent_) return;
  if (packetList_.empty() && !destroying_ && window_ != nullptr) {
    platform::PostWindowMessage(window_, kMsgPacketManagerRelease, 0, 0);
  }
}

bool TSioDataPacketManager::Contains(const TSioDataPacket* packet) const {
  return std::find(packetList_.begin(), packetList_.end(), packet) != packetList_.end();
}

void TSioDataPacketManager::ActivateIfPending() {
  TPacketLockGuard guard(lock_);
  if (!activateAfterLoad_) return;
  SetActive(true);
  activateAfterLoad_ = false;
}

// ---------------------------------------------------------------------------
// State

TSioCustomComPort* TSioDataPacketManager::GetPort() const {
  TPacketLockGuard guard(lock_);
  return port_;
}
bool TSioDataPacketManager::GetActive() const {
  TPacketLockGuard guard(lock_);
  return active_;
}
bool TSioDataPacketManager::GetAttached() const {
  TPacketLockGuard guard(lock_);
  return attached_;
}
bool TSioDataPacketManager::GetInEvent() const {
  TPacketLockGuard guard(lock_);
  return inEvent_;
}
TSioDataPacket* TSioDataPacketManager::GetCapturePacket() const {
  TPacketLockGuard guard(lock_);
  return capturePacket_;
}
int32_t TSioDataPacketManager::GetDataLen() const {
  TPacketLockGuard guard(lock_);
  return dataLen_;
}
int32_t TSioDataPacketManager::GetCapacity() const {
  TPacketLockGuard guard(lock_);
  return capacity_;
}
int32_t TSioDataPacketManager::PacketCount() const {
  TPacketLockGuard guard(lock_);
  return static_cast<int32_t>(packetList_.size());
}
TSioDataPacket* TSioDataPacketManager::GetPacket(int32_t index) const {
  TPacketLockGuard guard(lock_);
  if (index < 0 || index >= static_cast<int32_t>(packetList_.size())) return nullptr;
  return packetList_[static_cast<size_t>(index)];
}
int32_t TSioDataPacketManager::GetTimerTrigger() const {
  TPacketLockGuard guard(lock_);
  return timerTrigger_;
}

// ---------------------------------------------------------------------------
// Attaching to the dispatcher

void TSioDataPacketManager::SetActive(bool value) {
  if (value == active_) return;
  if (value) {
    Attach();
    // Not active without a dispatcher to serve: the next opening of the
    // port attaches then.
    active_ = attached_;
  } else {
    Detach();
    active_ = false;
  }
}

void TSioDataPacketManager::Attach() {
  if (attached_ || port_ == nullptr) return;
  // Only an open port: asking a closed one for its dispatcher may open it.
  if (port_->GetOpenState() != osOpen) return;
  TSioBaseDispatcher* d = port_->GetDispatcher();
  if (d == nullptr) return;
  d->RegisterEventTriggerHandler(HandlerOf(this));
  attached_ = true;
  dispatcher_ = d;
  handleIndex_ = d->HandleIndex;
  const int32_t handle = d->AddTimerTrigger();
  timerTrigger_ = handle > 0 ? handle : 0;
}

void TSioDataPacketManager::Detach() {
  if (!attached_) return;
  if (dispatcher_ != nullptr) {
    // Closing: a trigger that is gone already is as good as removed.
    if (timerTrigger_ != 0) (void)dispatcher_->RemoveTrigger(timerTrigger_);
    timerTrigger_ = 0;
    dispatcher_->DeregisterEventTriggerHandler(HandlerOf(this));
  }
  detachedFrom_ = dispatcher_;
  dispatcher_ = nullptr;
  attached_ = false;
  // Indexes into the old buffer mean nothing from here on.
  ++epoch_;
  FreeBuffer();
}

void TSioDataPacketManager::PortNotify(TComponent* port, uint8_t kind) {
  TPacketLockGuard guard(lock_);
  if (port == nullptr || port != port_) return;
  if (kind == ctOpen) {
    SetActive(true);
    StartAll();
  } else {
    StopAll();
    SetActive(false);
  }
}

void TSioDataPacketManager::StartAll() {
  const std::vector<TSioDataPacket*> list = packetList_;
  for (TSioDataPacket* p : list) {
    if (Contains(p) && p->enabled_) p->StartMatchingLocked(this);
  }
}

void TSioDataPacketManager::StopAll() {
  // A close goes on whatever a matcher's stop raises.
  const std::vector<TSioDataPacket*> list = packetList_;
  for (TSioDataPacket* p : list) {
    if (!Contains(p)) continue;
    try {
      p->StopMatchingLocked(this);
    } catch (...) {
      Disable(p);
      ShowThreadException(std::current_exception());
    }
  }
}

// ---------------------------------------------------------------------------
// The dispatcher thread

void TSioDataPacketManager::TriggerHandler(uint32_t msg, uint32_t triggerHandle, uint32_t data) {
  TPacketLockGuard guard(lock_);
  // Detached (the port is closing), or an event of a dispatcher we no
  // longer serve.
  if (!attached_ || static_cast<int32_t>(data >> 16) != (handleIndex_ & 0xFFFF)) return;
  const uint64_t previous = handlerThread_;
  handlerThread_ = platform::CurrentThreadId();
  try {
    if (msg == kMsgTriggerAvail) {
      ReadAvailable(triggerHandle);
    } else if (msg == kMsgTriggerTimer && timerTrigger_ != 0 &&
               static_cast<int32_t>(triggerHandle) == timerTrigger_ && capturePacket_ != nullptr) {
      TSioDataPacket* p = capturePacket_;
      try {
        p->PacketTimedOut(*this);
      } catch (...) {
        NoteFailure(std::current_exception());
        if (Contains(p)) Disable(p);
      }
    }
  } catch (...) {
    NoteFailure(std::current_exception());
  }
  handlerThread_ = previous;
}

void TSioDataPacketManager::ReadAvailable(uint32_t count) {
  const int32_t oldLen = dataLen_;
  if (count > 0 && dispatcher_ != nullptr) {
    const auto n = static_cast<int32_t>(std::min<uint32_t>(count, 0x3FFFFFFF));
    if (dataLen_ + n >= capacity_) {
      int32_t capacity = capacity_;
      while (capacity <= dataLen_ + n)
        capacity += PacketBufferStep;
      // Not cleared: every byte below dataLen_ is written before it is read.
      std::unique_ptr<uint8_t[]> grown(new uint8_t[static_cast<size_t>(capacity)]);
      if (dataLen_ > 0) std::memcpy(grown.get(), data_.get(), static_cast<size_t>(dataLen_));
      RetireStorage();
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    const int32_t got = dispatcher_->GetBlock(data_.get() + dataLen_, static_cast<uint32_t>(n));
    if (got > 0) dataLen_ += got;
  }
  OfferData(oldLen);
}

void TSioDataPacketManager::NoteFailure(std::exception_ptr error) {
  // Shown later on the user-interface thread, never under our lock: the
  // reporter may be a message box that serves messages.
  failures_.push_back(error);
  if (failures_.size() == 1 && window_ != nullptr)
    platform::PostWindowMessage(window_, kMsgPacketManagerReport, 0, 0);
}

void TSioDataPacketManager::Disable(TSioDataPacket* p) {
  // Nothing here may raise: it is what happens after something did.
  p->enabled_ = false;
  p->enablePending_ = false;
  p->waitingForCapture_ = false;
  p->mode_ = dpIdle;
  if (p->hasCapture_ || capturePacket_ == p) {
    p->hasCapture_ = false;
    capturePacket_ = nullptr;
    // A time-out that still fires finds no matcher holding the capture and
    // is ignored.
    if (timerTrigger_ != 0 && dispatcher_ != nullptr)
      (void)dispatcher_->SetTimerTrigger(timerTrigger_, 0, false);
    // The others see the buffered bytes again.
    dataPending_ = true;
    pendingStart_ = 0;
  }
}

void TSioDataPacketManager::StartGuarded(TSioDataPacket* p, bool restart) {
  try {
    if (restart) {
      p->RestartLocked(this);
    } else {
      p->StartMatchingLocked(this);
    }
  } catch (...) {
    NoteFailure(std::current_exception());
    if (Contains(p)) Disable(p);
  }
}

// ---------------------------------------------------------------------------
// Offering the buffer

void TSioDataPacketManager::OfferData(int32_t start) {
  if (inEvent_ || offerDepth_ > 0) {
    // Carried out when the event ends, or by the offer already running.
    pendingStart_ = dataPending_ ? std::min(pendingStart_, start) : start;
    dataPending_ = true;
    return;
  }
  ++offerDepth_;
  struct Depth {
    int32_t& n;
    ~Depth() { --n; }
  } depth{offerDepth_};
  int32_t from = start;
  for (;;) {
    const uint32_t removals = removals_;
    dataPending_ = false;
    OfferPass(from);
    if (dataLen_ == 0) break;
    if (removals_ == removals && !dataPending_) break;
    // A delivery discarded bytes and every matcher was restarted when its
    // event closed: all of them look at what is left from the front (the
    // one that delivered too, afresh).
    if (removals_ != removals) {
      for (TSioDataPacket* p : packetList_) {
        if (p->mode_ != dpWaiting) continue;
        p->beginPos_ = -1;
        p->startMatch_ = 1;
        p->endPos_ = -1;
        p->endMatch_ = 1;
      }
      from = 0;
    } else {
      from = std::min(pendingStart_, dataLen_);
    }
  }
  dataPending_ = false;
  if (capturePacket_ != nullptr) return;
  // Bytes that no matcher is in the middle of are not kept.
  for (const TSioDataPacket* p : packetList_) {
    if (p->enabled_ && p->mode_ != dpIdle && p->beginPos_ != -1) return;
  }
  DiscardBuffered();
}

void TSioDataPacketManager::DiscardBuffered() {
  // The storage waits for the next block, which saves allocating and
  // clearing it for every block; not when a handler may still read it, and
  // not once a long packet has made it large.
  if (deliveries_ > 0 || capacity_ > PacketBufferKept) {
    FreeBuffer();
  } else {
    dataLen_ = 0;
  }
}

void TSioDataPacketManager::OfferPass(int32_t start) {
  if (dataLen_ == 0) return;
  if (TSioDataPacket* capture = capturePacket_) {
    try {
      capture->ScanData(*this, start);
    } catch (...) {
      NoteFailure(std::current_exception());
      if (Contains(capture)) Disable(capture);
    }
    return;
  }
  const std::vector<TSioDataPacket*> list = packetList_;
  for (TSioDataPacket* p : list) {
    if (!Contains(p)) continue;
    const uint32_t removals = removals_;
    try {
      p->ScanData(*this, start);
    } catch (...) {
      NoteFailure(std::current_exception());
      if (Contains(p)) Disable(p);
    }
    // Stops at a new capture, at a release of the buffer, and after a
    // delivery (the caller offers what is left from the front).
    if (capturePacket_ != nullptr || dataLen_ == 0 || removals_ != removals) return;
  }
}

void TSioDataPacketManager::SetCapture(TSioDataPacket* packet, int32_t timeOut) {
  capturePacket_ = packet;
  packet->hasCapture_ = true;
  // A time-out that cannot be armed would leave the matcher collecting for
  // good: that is the matcher's failure, which its caller contains.
  if (timeOut != 0 && timerTrigger_ != 0 && dispatcher_ != nullptr)
    RaiseIfError(dispatcher_->SetTimerTrigger(timerTrigger_, timeOut, true));
  const std::vector<TSioDataPacket*> list = packetList_;
  for (TSioDataPacket* p : list) {
    if (p != packet && Contains(p)) StartGuarded(p, true);
  }
}

void TSioDataPacketManager::ReleaseCapture(TSioDataPacket* packet) {
  int32_t result = 0;
  if (timerTrigger_ != 0 && dispatcher_ != nullptr)
    result = dispatcher_->SetTimerTrigger(timerTrigger_, 0, false);
  // The capture goes back even when the disarm failed, so no stopped
  // matcher keeps the others from the bytes.
  capturePacket_ = nullptr;
  packet->hasCapture_ = false;
  RaiseIfError(packet, result);
  OfferData(0);
}

void TSioDataPacketManager::SetInEvent(bool value) {
  if (value == inEvent_) return;
  inEvent_ = value;
  const std::vector<TSioDataPacket*> list = packetList_;
  if (value) {
    for (TSioDataPacket* p : list) {
      if (Contains(p) && p->enabled_) p->StopMatchingLocked(this);
    }
    return;
  }
  for (TSioDataPacket* p : list) {
    if (Contains(p) && p->enabled_) StartGuarded(p, false);
  }
  // An offer already on the stack takes the pending one over; offering
  // here would deepen the stack with every packet of a block.
  if (dataPending_ && offerDepth_ == 0) {
    dataPending_ = false;
    if (data_ != nullptr) OfferData(std::min(pendingStart_, dataLen_));
  }
}

void TSioDataPacketManager::RemoveData(int32_t start, int32_t count) {
  int32_t k = std::clamp(start + count, 0, dataLen_);
  dataLen_ -= k;
  if (dataLen_ > 0) {
    std::memmove(data_.get(), data_.get() + k, static_cast<size_t>(dataLen_));
  } else {
    FreeBuffer();
  }
  ++removals_;
  if (dataPending_) pendingStart_ = std::max(0, pendingStart_ - k);
  const std::vector<TSioDataPacket*> list = packetList_;
  for (TSioDataPacket* p : list) {
    if (Contains(p)) p->DataRemoved(*this, k);
  }
}

void TSioDataPacketManager::FreeBuffer() {
  RetireStorage();
  capacity_ = 0;
  dataLen_ = 0;
}

void TSioDataPacketManager::RetireStorage() {
  if (data_ == nullptr) return;
  // A handler may still be reading the delivered bytes.
  if (deliveries_ > 0) {
    retired_.push_back(std::move(data_));
  } else {
    data_.reset();
  }
}

void TSioDataPacketManager::EnterDelivery() {
  ++deliveries_;
}

void TSioDataPacketManager::LeaveDelivery() {
  if (--deliveries_ == 0) retired_.clear();
}

// ---------------------------------------------------------------------------
// The hidden window

void TSioDataPacketManager::ReportFailures() {
  std::vector<std::exception_ptr> failures;
  {
    TPacketLockGuard guard(lock_);
    failures.swap(failures_);
  }
  for (const std::exception_ptr& e : failures)
    ShowThreadException(e);
}

void TSioDataPacketManager::HandleWindowMessage(uint32_t msg) {
  if (msg == kMsgPacketManagerReport) {
    ReportFailures();
    return;
  }
  if (msg != kMsgPacketManagerRelease) return;
  {
    TPacketLockGuard guard(lock_);
    // A matcher attached since: the manager serves it.
    if (!packetList_.empty()) return;
    bool later = inEvent_ || deliveries_ > 0 || handlerThread_ != 0;
    if (!later) {
      SetActive(false);
      // The dispatcher may be inside a delivery that took our handler
      // before it was removed; it is released when that delivery ends.
      if (detachedFrom_ != nullptr && port_ != nullptr && port_->GetOpenState() != osClosed &&
          port_->GetDispatcher() == detachedFrom_ && detachedFrom_->DispActive.load()) {
        later = true;
      }
    }
    if (later) {
      platform::PostWindowMessage(window_, kMsgPacketManagerRelease, 0, 0);
      return;
    }
  }
  ReportFailures();
  delete this;
}

platform::LResult PacketWindowProc(platform::WindowHandle hwnd, uint32_t msg, platform::WParam,
                                   platform::LParam) {
  if (msg == kMsgQueryEndSession) return 1;
  auto* m = static_cast<TSioDataPacketManager*>(platform::GetWindowUserData(hwnd));
  if (m == nullptr) return 0;
  try {
    m->HandleWindowMessage(msg);
  } catch (...) {
    ShowThreadException(std::current_exception());
  }
  return 0;
}

// ---------------------------------------------------------------------------
// The list

TSioDataPacketManagerList::~TSioDataPacketManagerList() {
  FreeAll();
}

void TSioDataPacketManagerList::AddManager(TSioDataPacketManager* manager) {
  platform::CriticalSectionLock guard(lock_);
  managers_.push_back(manager);
}

void TSioDataPacketManagerList::RemoveManager(TSioDataPacketManager* manager) {
  platform::CriticalSectionLock guard(lock_);
  auto it = std::find(managers_.begin(), managers_.end(), manager);
  if (it != managers_.end()) managers_.erase(it);
}

TSioDataPacketManager* TSioDataPacketManagerList::GetPortManager(
    const TSioCustomComPort* port) const {
  platform::CriticalSectionLock guard(lock_);
  for (TSioDataPacketManager* m : managers_) {
    if (m->GetPort() == port) return m;
  }
  return nullptr;
}

int32_t TSioDataPacketManagerList::Count() const {
  platform::CriticalSectionLock guard(lock_);
  return static_cast<int32_t>(managers_.size());
}

void TSioDataPacketManagerList::FreeAll() {
  // Last first. A manager whose port is still alive lets go of it properly
  // (its user record would otherwise outlive it); one whose port is gone
  // has forgotten it already.
  for (;;) {
    TSioDataPacketManager* m = nullptr;
    {
      platform::CriticalSectionLock guard(lock_);
      if (managers_.empty()) return;
      m = managers_.back();
    }
    delete m;
  }
}

TSioDataPacketManagerList& PacketManagers() {
  static TSioDataPacketManagerList list;
  return list;
}

namespace {
// Made when the unit is initialised, before any component is created.
[[maybe_unused]] const bool packetManagersMade = (PacketManagers(), true);
}  // namespace

}  // namespace sio
