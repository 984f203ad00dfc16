// The serial port component: properties, the open and close sequences, the
// users, and the hidden window that turns trigger messages into events.
#include "serial/port/com_port.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "serial/dispatch/device_dispatcher.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/port/com_select.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "serial/support/ticks.h"

namespace sio {

namespace {

constexpr const char* kComWindowClass = "SioComWindow";
// UseEventWord's dispatcher flag.
constexpr uint32_t kEventWordFlag = 4;

uint16_t Low16(uintptr_t v) {
  return static_cast<uint16_t>(v & 0xFFFFu);
}

// The high 16 bits of a trigger message's lParam: the dispatcher's slot.
int32_t HandleIndexOf(platform::LParam lParam) {
  return static_cast<int32_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFFu);
}

bool IsTraceActive(TTraceLogState s) {
  return s == tlOn || s == tlPause;
}

uint32_t HWOptionsWord(THWFlowOptionSet set) {
  return set & (hwfUseDTR | hwfUseRTS | hwfRequireDSR | hwfRequireCTS);
}

uint32_t SWOptionsWord(TSWFlowOptions o) {
  switch (o) {
    case swfReceive:
      return sfReceive;
    case swfTransmit:
      return sfTransmit;
    case swfBoth:
      return sfReceive | sfTransmit;
    default:
      return 0;
  }
}

// An exception from a handler the hidden window ran: the application's
// error report on the main thread, nowhere elsewhere.
void ReportHandlerException(std::exception_ptr error) {
  if (platform::IsUserInterfaceThread()) ShowThreadException(error);
}

// One character cannot both stop and resume the sender.
void CheckFlowChars(TSWFlowOptions options, char xOn, char xOff) {
  if (options != swfNone && xOn == xOff) RaiseSioError(ecBadArgument);
}

// wParam of a close message posted again while the close waits: OnTrigger
// heard the close once already.
constexpr platform::WParam kCloseRepeat = 1;

void RepostClose(platform::WindowHandle window, platform::LParam lParam) {
  platform::PostWindowMessage(window, kMsgPortClosing, kCloseRepeat, lParam);
}

}  // namespace

// What a port freed inside its own handler leaves to its window: the
// dispatcher thread waits for that handler, so the device, the threads and
// the window can only be released after it has returned.
struct TClosingLeftover {
  std::unique_ptr<TSioBaseDispatcher> dispatcher;
  platform::WindowHandle window = nullptr;
  bool donePort = false;
  // The port's handler frames still running; the last one to return posts
  // the close again.
  int32_t handlers = 0;
  bool finishing = false;

  // The window's close message, once no handler of the port runs any more.
  void Finish() {
    if (handlers > 0 || finishing) return;
    TSioBaseDispatcher* d = dispatcher.get();
    if (d->InHandedOverCall()) {
      RepostClose(window, 0);
      return;
    }
    finishing = true;
    if (donePort) {
      donePort = false;
      d->DonePort();
    }
    finishing = false;
    if (d->ThreadsOrDeliveryActive()) {
      RepostClose(window, 0);
      return;
    }
    d->DeregisterWndTriggerHandler(window);
    platform::DestroyHiddenWindow(window);
    delete this;
  }
};

// ---------------------------------------------------------------------------
// Construction and destruction

TSioCustomComPort::TSioCustomComPort(TComponent* owner) : TSioBaseComponent(owner) {}

TSioCustomComPort::~TSioCustomComPort() {
  SetDestroying();
  try {
    if (openState_ == osOpen) ClosePortNow();
    // A close still deferred is completed here, so no later message reaches
    // a component that is gone; inside a handler the dispatcher thread waits
    // for, the window completes it once the handler has returned.
    if (openState_ == osClosing && dispatcher_) {
      reopenPending_ = false;
      if (InHandler() && comWindow_ != nullptr) {
        LeaveCloseToWindow();
      } else {
        if (donePortPending_) {
          donePortPending_ = false;
          dispatcher_->DonePort();
        }
        CompleteClose();
      }
    }
  } catch (...) {
    ShowThreadException(std::current_exception());
    if (comWindow_ != nullptr) platform::DestroyHiddenWindow(comWindow_);
    comWindow_ = nullptr;
    dispatcher_.reset();
  }
  life_->alive = false;
  users_.clear();
  TSioBaseDispatcher::FreeSavedTriggers(savedTriggers_);
}

// ---------------------------------------------------------------------------
// Copying and loading

void TSioCustomComPort::Assign(TComponent* source) {
  auto* src = dynamic_cast<TSioCustomComPort*>(source);
  if (src == nullptr || src == this) return;
  // The copy is a closed port: one that is open is closed first, so that it
  // never uses one device while it reads closed and names another.
  if (openState_ == osOpen) ClosePortNow();
  reopenPending_ = false;
  // The users stay our own: a copy of the source's records would stop the
  // source's users when this port closes, and would dangle once they go.
  if (src->openState_ == osOpen && src->dispatcher_) {
    src->dispatcher_->SaveTriggers(savedTriggers_);
    triggersSaved_ = true;
  }
  forceUpdate_ = src->forceUpdate_;
  deviceLayer_ = src->deviceLayer_;
  comNumber_ = src->comNumber_;
  baud_ = src->baud_;
  parity_ = src->parity_;
  dataBits_ = src->dataBits_;
  stopBits_ = src->stopBits_;
  inSize_ = src->inSize_;
  outSize_ = src->outSize_;
  open_ = false;
  autoOpen_ = src->autoOpen_;
  promptForPort_ = src->promptForPort_;
  rs485Mode_ = src->rs485Mode_;
  threadBoost_ = src->threadBoost_;
  openTimeLimit_ = src->openTimeLimit_;
  dtr_ = src->dtr_;
  rts_ = src->rts_;
  bufferFull_ = src->bufferFull_;
  bufferResume_ = src->bufferResume_;
  hwFlowOptions_ = src->hwFlowOptions_;
  swFlowOptions_ = src->swFlowOptions_;
  xOnChar_ = src->xOnChar_;
  xOffChar_ = src->xOffChar_;
  // A closed port records when opened (on) or not (off); a paused trace is
  // one that records.
  tracing_ = IsTraceActive(src->tracing_) ? tlOn : tlOff;
  traceSize_ = src->traceSize_;
  traceName_ = src->traceName_;
  traceHex_ = src->traceHex_;
  traceAllHex_ = src->traceAllHex_;
  logging_ = IsTraceActive(src->logging_) ? tlOn : tlOff;
  logSize_ = src->logSize_;
  logName_ = src->logName_;
  logHex_ = src->logHex_;
  logAllHex_ = src->logAllHex_;
  availThreshold_ = src->availThreshold_;
  SetOnTrigger(src->onTrigger_);
  SetOnTriggerAvail(src->onTriggerAvail_);
  SetOnTriggerData(src->onTriggerData_);
  SetOnTriggerStatus(src->onTriggerStatus_);
  SetOnTriggerTimer(src->onTriggerTimer_);
  onPortOpen_ = src->onPortOpen_;
  onPortClose_ = src->onPortClose_;
  tapiMode_ = src->tapiMode_;
}

void TSioCustomComPort::Loaded() {
  TSioBaseComponent::Loaded();
  if (IsDesigning()) return;
  if (openAfterLoad_) open_ = true;
  if (!open_) return;
  openAfterLoad_ = false;
  try {
    OpenPortNow();
  } catch (...) {
    open_ = false;
    ShowThreadException(std::current_exception());
  }
}

// ---------------------------------------------------------------------------
// Overridable operations

TSioBaseDispatcher* TSioCustomComPort::CreateDispatcher() {
  if (deviceLayer_ != dlWin32) RaiseSioError(ecNullApi);
  if (tapiMode_ == tmOn) return new TSioTAPI32Dispatcher(this, tapiCid_, nullptr);
  return new TSioWin32Dispatcher(this);
}

void TSioCustomComPort::DeviceLayerChanged() {}

int32_t TSioCustomComPort::OpenDevice() {
  char name[16] = {};
  const char* device = nullptr;
  if (tapiMode_ != tmOn) {
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(comNumber_));
    device = name;
  }
  uint32_t options = 0;
  if (dtr_) options |= ipDTROn;
  if (rts_) options |= ipRTSOn;
  if ((hwFlowOptions_ & hwfUseDTR) != 0) options |= ipDTRFlow;
  if ((hwFlowOptions_ & hwfUseRTS) != 0) options |= ipRTSFlow;
  TSioBaseDispatcher* d = GetDispatcher();
  if (d == nullptr) return ecCommNotOpen;
  if (auto* device = dynamic_cast<TSioWin32Dispatcher*>(d))
    device->OpenLimitMs.store(openTimeLimit_);
  return d->InitPort(device, static_cast<uint32_t>(baud_), parity_, static_cast<uint8_t>(dataBits_),
                     static_cast<uint8_t>(stopBits_), inSize_, outSize_, options);
}

void TSioCustomComPort::SetupComWindow(bool create) {
  if (create) {
    // No user data: the window finds its port through the dispatcher, and
    // holds only what a port freed in its handler leaves (TClosingLeftover).
    comWindow_ = platform::CreateHiddenWindow(kComWindowClass, &ComWindowProc, nullptr);
    if (comWindow_ == nullptr) RaiseSioError(ecNoHandles);
    if (dispatcher_) dispatcher_->RegisterWndTriggerHandler(comWindow_);
    return;
  }
  if (comWindow_ == nullptr) return;
  if (dispatcher_) dispatcher_->DeregisterWndTriggerHandler(comWindow_);
  platform::DestroyHiddenWindow(comWindow_);
  comWindow_ = nullptr;
}

void TSioCustomComPort::ValidatePortNumber() {
  if (comNumber_ != 0) return;
  if (!promptForPort_) RaiseSioError(ecNoPortSelected);
  TComSelectForm form(nullptr);
  const int32_t result = form.ShowModal();
  if (result != mrOk) RaiseSioError(ecNoPortSelected);
  // OK on an empty list has no port to give: this raises, and nothing opens.
  SetComNumber(static_cast<uint16_t>(form.SelectedPortNumber()));
}

void TSioCustomComPort::SetUseMSRShadow(bool) {}

void TSioCustomComPort::TriggerNotify(uint16_t msg, uint16_t handle, uint16_t data) {
  if (onTrigger_) onTrigger_(this, msg, handle, data);
}

void TSioCustomComPort::TriggerAvailNotify(uint16_t count) {
  if (onTriggerAvail_) onTriggerAvail_(this, count);
}

void TSioCustomComPort::TriggerDataNotify(uint16_t handle) {
  if (onTriggerData_) onTriggerData_(this, handle);
}

void TSioCustomComPort::TriggerStatusNotify(uint16_t handle) {
  if (onTriggerStatus_) onTriggerStatus_(this, handle);
}

void TSioCustomComPort::TriggerTimerNotify(uint16_t handle) {
  if (onTriggerTimer_) onTriggerTimer_(this, handle);
}

bool TSioCustomComPort::AnyTriggerHandler() const {
  return onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ || onTriggerTimer_ ||
         onTriggerLineError_ || onTriggerModemStatus_ || onTriggerOutbuffFree_ ||
         onTriggerOutbuffUsed_ || onTriggerOutSent_;
}

void TSioCustomComPort::UpdateEventInterest() {
  if (!IsOpen() || !dispatcher_) return;
  dispatcher_->UpdateHandlerFlags(AnyTriggerHandler() ? fuWantEvents : fuDontWantEvents);
}

void TSioCustomComPort::TriggerLineErrorNotify(uint16_t error, bool lineBreak) {
  if (onTriggerLineError_) onTriggerLineError_(this, error, lineBreak);
}

void TSioCustomComPort::TriggerModemStatusNotify() {
  if (onTriggerModemStatus_) onTriggerModemStatus_(this);
}

void TSioCustomComPort::TriggerOutbuffFreeNotify() {
  if (onTriggerOutbuffFree_) onTriggerOutbuffFree_(this);
}

void TSioCustomComPort::TriggerOutbuffUsedNotify() {
  if (onTriggerOutbuffUsed_) onTriggerOutbuffUsed_(this);
}

void TSioCustomComPort::TriggerOutSentNotify() {
  if (onTriggerOutSent_) onTriggerOutSent_(this);
}

void TSioCustomComPort::CharNotify(char ch) {
  if (onCharNotify_) onCharNotify_(this, ch);
}

void TSioCustomComPort::YieldPort() {
  if (openState_ == osClosing) return;
  const int32_t r = ValidDispatcher()->YieldCom();
  if (r < 0) RaiseIfError(this, r);
}

// ---------------------------------------------------------------------------
// Users

int32_t TSioCustomComPort::RegisterUserCallbackEx(const TPortCallbackEx& callback) {
  auto record = std::make_unique<TUserRecord>();
  record->CallbackEx = callback;
  record->Extended = true;
  users_.push_back(std::move(record));
  return static_cast<int32_t>(users_.size()) - 1;
}

void TSioCustomComPort::DeregisterUserCallbackEx(const TPortCallbackEx& callback) {
  // Also while being destroyed: a user freed during the destructor's close
  // must not leave a record that the close then calls.
  for (size_t i = users_.size(); i-- > 0;) {
    if (users_[i]->CallbackEx.SameCode(callback)) {
      users_.erase(users_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

namespace {

// Scans the users from the last to the first. A callback may deregister
// users (its own record among them), so the position is checked anew
// after every call and the record is copied before it is used.
template <typename Fn>
void ForEachUserBackwards(const std::vector<std::unique_ptr<TUserRecord>>& users, Fn fn) {
  for (size_t i = users.size(); i-- > 0;) {
    if (i >= users.size()) {
      i = users.size();
      continue;
    }
    const TUserRecord record = *users[i];
    fn(record);
  }
}

void SendToUser(platform::WindowHandle window, uint32_t msg) {
  platform::LResult ignored = 0;
  platform::SendWindowMessageTimeout(window, msg, 0, 0, WindowHandlerTimeoutMs, &ignored);
}

}  // namespace

void TSioCustomComPort::NotifyPortOpen() {
  ForEachUserBackwards(users_, [this](const TUserRecord& r) {
    if (r.Window != nullptr) {
      SendToUser(r.Window, kMsgPortOpen);
    } else if (r.Extended) {
      if (r.CallbackEx) r.CallbackEx(this, ctOpen);
    } else if (r.Callback) {
      r.Callback(this, true);
    }
  });
  if (onPortOpen_) onPortOpen_(this);
}

void TSioCustomComPort::NotifyPortClose() {
  ForEachUserBackwards(users_, [this](const TUserRecord& r) {
    if (r.Window != nullptr) {
      SendToUser(r.Window, kMsgPortClose);
    } else if (r.Extended) {
      if (r.CallbackEx) r.CallbackEx(this, ctClosed);
    } else if (r.Callback) {
      r.Callback(this, false);
    }
  });
  if (onPortClose_) onPortClose_(this);
}

void TSioCustomComPort::NotifyPortClosing() {
  ForEachUserBackwards(users_, [this](const TUserRecord& r) {
    if (!r.Extended) return;
    if (r.Window != nullptr) {
      SendToUser(r.Window, kMsgPortClosing);
    } else if (r.CallbackEx) {
      r.CallbackEx(this, ctClosing);
    }
  });
}

// ---------------------------------------------------------------------------
// Opening

void TSioCustomComPort::OpenPortNow() {
  if (tapiMode_ != tmOn) ValidatePortNumber();
  dispatcher_.reset(CreateDispatcher());
  dispatcher_->SetComName("COM" + std::to_string(comNumber_));
  bool windowMade = false;
  bool usersTold = false;
  bool deviceOpened = false;
  try {
    if (tapiMode_ == tmOn) {
      TSioBaseDispatcher* d = ValidDispatcher();
      // No line has handed a device over (0, or never set).
      if (d->DeviceHandle.load() <= 0) RaiseSioError(ecNotOpenedByTapi);
      uint32_t baud = 0;
      uint8_t parity = 0;
      uint8_t dataBits = 0;
      uint8_t stopBits = 0;
      d->GetLine(baud, parity, dataBits, stopBits);
      baud_ = static_cast<int32_t>(baud);
      parity_ = static_cast<TParity>(parity);
      dataBits_ = dataBits;
      stopBits_ = stopBits;
      uint32_t hw = 0;
      uint32_t sw = 0;
      RaiseIfError(this, d->GetFlowOptions(hw, sw, xOnChar_, xOffChar_));
      hwFlowOptions_ = static_cast<THWFlowOptionSet>(HWOptionsWord(static_cast<uint8_t>(hw)));
      const bool out = (sw & sfTransmit) != 0;
      const bool in = (sw & sfReceive) != 0;
      swFlowOptions_ = out && in ? swfBoth : out ? swfTransmit : in ? swfReceive : swfNone;
    }

    int32_t r = OpenDevice();
    if (r == ecAccessDenied) {
      r = ecAlreadyOpen;
    } else if (r == ecFileNotFound || r == ecPathNotFound) {
      r = ecBadId;
    }
    if (r != 0) RaiseSioError(r);
    deviceOpened = true;

    openState_ = osOpen;
    UpdateEventInterest();
    forceUpdate_ = true;
    SetTracing(tracing_);
    SetLogging(logging_);
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
    SetXOnChar(xOnChar_);
    SetXOffChar(xOffChar_);
    SetAvailThreshold(availThreshold_);
    SetDTR(dtr_);
    SetRTS(rts_);
    SetUseEventWord(useEventWord_);
    SetRS485Mode(rs485Mode_);
    SetThreadBoost(threadBoost_);
    forceUpdate_ = false;
    open_ = true;
    SetupComWindow(true);
    windowMade = true;
    if (triggersSaved_) {
      triggersSaved_ = false;
      dispatcher_->RestoreTriggers(savedTriggers_);
    }
    usersTold = true;
    NotifyPortOpen();
  } catch (...) {
    // A device that goes while its settings are applied (an adapter pulled
    // during the open) has its threads release the port, and the step that
    // follows fails on the closed handle. The open failed because the port
    // is no longer open, and says so rather than "invalid handle".
    const bool released =
        deviceOpened && !usersTold && dispatcher_ && dispatcher_->KillThreads.load();
    RecoverFailedOpen(windowMade, usersTold);
    if (released) RaiseSioError(ecCommNotOpen);
    throw;
  }
}

void TSioCustomComPort::RecoverFailedOpen(bool windowMade, bool usersTold) {
  forceUpdate_ = false;
  // Users that heard "opened" hear the close too, so none keeps running on
  // a port that is gone. Their own failures do not hide the first one.
  if (usersTold) {
    openState_ = osClosing;
    try {
      NotifyPortClosing();
    } catch (...) {
    }
  }
  if (windowMade) {
    try {
      SetupComWindow(false);
    } catch (...) {
    }
  }
  open_ = false;
  openState_ = osClosed;
  dispatcher_.reset();
  if (usersTold) {
    try {
      NotifyPortClose();
    } catch (...) {
    }
  }
}

// ---------------------------------------------------------------------------
// Closing

void TSioCustomComPort::PostDeferredClose() {
  if (!dispatcher_ || comWindow_ == nullptr) return;
  const auto lParam =
      static_cast<platform::LParam>(static_cast<uint32_t>(dispatcher_->HandleIndex) << 16);
  platform::PostWindowMessage(comWindow_, kMsgPortClosing, 0, lParam);
}

bool TSioCustomComPort::InHandler() const {
  return handlerDepth_ > 0 || (dispatcher_ && dispatcher_->InHandedOverCall());
}

void TSioCustomComPort::LeaveCloseToWindow() {
  auto* left = new TClosingLeftover;
  left->dispatcher = std::move(dispatcher_);
  left->window = comWindow_;
  left->donePort = donePortPending_;
  left->handlers = handlerDepth_;
  platform::SetWindowUserData(comWindow_, left);
  life_->leftover = left;
  // Freed in a call handed over rather than in the window's own handler:
  // no frame of ours will post the close when it returns.
  if (handlerDepth_ == 0) RepostClose(comWindow_, 0);
  comWindow_ = nullptr;
  donePortPending_ = false;
  openState_ = osClosed;
  open_ = false;
}

void TSioCustomComPort::CompleteClose() {
  SetupComWindow(false);
  dispatcher_.reset();
  openState_ = osClosed;
  open_ = false;
}

void TSioCustomComPort::ClosePortNow() {
  if (openState_ != osOpen) return;
  // A trace or log file that cannot be written must not keep the device
  // and its threads: the close goes on, and the first failure is raised
  // once the port is closed.
  std::exception_ptr dumpFailure;
  try {
    SetTracing(tlDump);
  } catch (...) {
    dumpFailure = std::current_exception();
  }
  try {
    SetLogging(tlDump);
  } catch (...) {
    if (!dumpFailure) dumpFailure = std::current_exception();
  }
  // A closed port holds neither a trace nor a log, whatever the dumps did.
  tracing_ = tlOff;
  logging_ = tlOff;
  openState_ = osClosing;
  // A user that raises at "closing" must not leave the port half closed.
  try {
    NotifyPortClosing();
  } catch (...) {
    if (!dumpFailure) dumpFailure = std::current_exception();
  }
  dispatcher_->SaveTriggers(savedTriggers_);
  triggersSaved_ = true;
  if (InHandler()) {
    // Asked from inside a trigger handler or a call handed over (OnPacket):
    // the dispatcher thread waits for this handler to return, so stopping
    // its threads here would only wait out their time-out. The window
    // releases the device once the handler has returned.
    donePortPending_ = true;
    PostDeferredClose();
    PumpOneMessage();
  } else {
    dispatcher_->DonePort();
    if (dispatcher_->DispActive.load()) {
      PostDeferredClose();
      PumpOneMessage();
    } else {
      CompleteClose();
    }
  }
  NotifyPortClose();
  // A reopen asked while the close ran (a handler served during it) comes
  // now that it is complete.
  if (openState_ == osClosed && reopenPending_ && !IsDestroying()) {
    reopenPending_ = false;
    OpenPortNow();
  }
  if (dumpFailure) std::rethrow_exception(dumpFailure);
}

void TSioCustomComPort::DeferredClose(TSioBaseDispatcher* d, platform::LParam lParam) {
  // A late copy for a close that is over already, or for another port.
  if (openState_ != osClosing || d != dispatcher_.get()) return;
  if (donePortPending_) {
    if (InHandler()) {
      RepostClose(comWindow_, lParam);
      return;
    }
    donePortPending_ = false;
    d->DonePort();
  }
  // A dispatcher without threads delivers on this thread: its delivery may
  // be the one that asked for the close, further down the stack.
  if (d->ThreadsOrDeliveryActive()) {
    RepostClose(comWindow_, lParam);
    return;
  }
  CompleteClose();
  if (reopenPending_) {
    // Cleared first, so a reopen that fails does not leave it set.
    reopenPending_ = false;
    OpenPortNow();
  }
}

// ---------------------------------------------------------------------------
// The hidden window

platform::LResult ComWindowProc(platform::WindowHandle hwnd, uint32_t msg, platform::WParam wParam,
                                platform::LParam lParam) {
  if ((msg < kMsgTriggerAvail || msg > kMsgTriggerStatus) && msg != kMsgPortClosing) return 0;
  if (auto* left = static_cast<TClosingLeftover*>(platform::GetWindowUserData(hwnd))) {
    if (msg == kMsgPortClosing) left->Finish();
    return 0;
  }
  platform::CriticalSectionLock lock(DispatcherRegistryLock());
  const int32_t index = HandleIndexOf(lParam);
  if (index >= DispatcherRegistryCount()) return 0;
  TSioBaseDispatcher* d = DispatcherFromHandleIndex(index);
  if (d == nullptr || d->Owner == nullptr) return 0;
  auto* port = dynamic_cast<TSioCustomComPort*>(d->Owner);
  if (port == nullptr) return 0;
  try {
    port->HandleComMessage(d, msg, wParam, lParam);
  } catch (...) {
    ReportHandlerException(std::current_exception());
  }
  return 0;
}

void TSioCustomComPort::HandleComMessage(TSioBaseDispatcher* d, uint32_t msg,
                                         platform::WParam wParam, platform::LParam lParam) {
  const uint16_t handle = Low16(wParam);
  const uint16_t data = msg == kMsgTriggerAvail ? handle : Low16(static_cast<uintptr_t>(lParam));
  // A handler may free the port: after each one, nothing of it is touched
  // unless it still exists.
  const std::shared_ptr<TLife> life = life_;
  if (msg == kMsgPortClosing) {
    if (wParam != kCloseRepeat) TriggerNotify(static_cast<uint16_t>(msg), handle, data);
    if (life->alive) DeferredClose(d, lParam);
    return;
  }
  struct Depth {
    TLife& life;
    int32_t& n;
    Depth(TLife& l, int32_t& counter) : life(l), n(counter) { ++n; }
    ~Depth() {
      if (life.alive) {
        --n;
      } else if (life.leftover != nullptr && --life.leftover->handlers == 0) {
        RepostClose(life.leftover->window, 0);
      }
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
  } depth(*life, handlerDepth_);
  TriggerNotify(static_cast<uint16_t>(msg), handle, data);
  if (!life->alive) return;
  switch (msg) {
    case kMsgTriggerAvail:
      TriggerAvailNotify(handle);
      break;
    case kMsgTriggerData:
      TriggerDataNotify(handle);
      break;
    case kMsgTriggerTimer:
      TriggerTimerNotify(handle);
      break;
    case kMsgTriggerStatus:
      TriggerStatusNotify(handle);
      if (!life->alive) return;
      switch (handle & 7) {
        case stModem:
          TriggerModemStatusNotify();
          break;
        case stLine: {
          const bool lineBreak = LineBreak();
          const uint16_t error = LineError();
          TriggerLineErrorNotify(error, lineBreak);
          break;
        }
        case stOutBuffFree:
          TriggerOutbuffFreeNotify();
          break;
        case stOutBuffUsed:
          TriggerOutbuffUsedNotify();
          break;
        case stOutSent:
          TriggerOutSentNotify();
          break;
        default:
          break;
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// The dispatcher

TSioBaseDispatcher* TSioCustomComPort::GetDispatcher() {
  if (!dispatcher_ && !IsDesigning() && !IsLoading() && openState_ != osOpen && autoOpen_) {
    SetOpen(true);
  }
  return dispatcher_.get();
}

TSioBaseDispatcher* TSioCustomComPort::ValidDispatcher() {
  TSioBaseDispatcher* d = GetDispatcher();
  // Raised even while loading: there is no dispatcher to hand back.
  if (d == nullptr) RaiseSioError(ecCommNotOpen);
  return d;
}

// ---------------------------------------------------------------------------
// Operations

void TSioCustomComPort::OutputString(const std::string& text) {
  if (openState_ == osClosing) return;
  RaiseIfError(this, ValidDispatcher()->PutBlock(text.data(), static_cast<uint32_t>(text.size())));
}

int32_t TSioCustomComPort::AddTimerTrigger() {
  if (openState_ == osClosing) return 0;
  return RaiseIfError(this, ValidDispatcher()->AddTimerTrigger());
}

void TSioCustomComPort::SetTimerTrigger(uint16_t handle, int32_t ticks, bool activate) {
  if (openState_ == osClosing) return;
  RaiseIfError(this, ValidDispatcher()->SetTimerTrigger(handle, ticks, activate));
}

uint16_t TSioCustomComPort::LineError() {
  if (!IsOpen() || !dispatcher_) return 0;
  return static_cast<uint16_t>(static_cast<uint32_t>(dispatcher_->GetLineError()) & 0xFFFFu);
}

bool TSioCustomComPort::LineBreak() {
  if (!IsOpen() || !dispatcher_) return false;
  return dispatcher_->CheckLineBreak();
}

// ---------------------------------------------------------------------------
// Properties

void TSioCustomComPort::SetOpen(bool v) {
  // While a close is under way Open still reads true: true asks for the
  // reopen, false takes that wish back.
  if (openState_ == osClosing) {
    reopenPending_ = v;
    return;
  }
  if (v == open_) return;
  if (IsDesigning() || IsLoading()) {
    open_ = v;
    if (v) openAfterLoad_ = true;
    return;
  }
  if (!v) {
    ClosePortNow();
  } else if (openState_ == osClosed) {
    OpenPortNow();
  }
}

void TSioCustomComPort::SetDeviceLayer(TDeviceLayer v) {
  if (v == deviceLayer_ && !forceUpdate_) return;
  if (openState_ != osClosed || (deviceLayers_ & DeviceLayerBit(v)) == 0) return;
  deviceLayer_ = v;
  DeviceLayerChanged();
}

void TSioCustomComPort::SetComNumber(uint16_t v) {
  if (v == comNumber_) return;
  if (!IsOpen()) {
    comNumber_ = v;
    return;
  }
  // The close saves the triggers (after the users have let go) and the open
  // restores them (before the users hear of it), so what the users add on
  // reopening stays.
  const TTraceLogState tracing = tracing_;
  const TTraceLogState logging = logging_;
  SetOpen(false);
  comNumber_ = v;
  SetTracing(tracing);
  SetLogging(logging);
  SetOpen(true);
}

void TSioCustomComPort::ApplyLine() {
  if (!IsOpen()) return;
  RaiseIfError(
      this, dispatcher_->SetLine(static_cast<uint32_t>(baud_), parity_,
                                 static_cast<uint8_t>(dataBits_), static_cast<uint8_t>(stopBits_)));
}

void TSioCustomComPort::SetBaud(int32_t v) {
  if (v == baud_) return;
  baud_ = v;
  ApplyLine();
}

void TSioCustomComPort::SetParity(TParity v) {
  if (v == parity_) return;
  parity_ = v;
  ApplyLine();
}

void TSioCustomComPort::SetDataBits(uint16_t v) {
  if (v == dataBits_) return;
  dataBits_ = v;
  ApplyLine();
}

void TSioCustomComPort::SetStopBits(uint16_t v) {
  if (v == stopBits_) return;
  stopBits_ = v;
  ApplyLine();
}

void TSioCustomComPort::SetInSize(uint16_t v) {
  if (v == inSize_) return;
  inSize_ = v;
  BringLevelsIntoRange();
  if (IsOpen()) (void)dispatcher_->SetupCom(inSize_, outSize_);
}

void TSioCustomComPort::BringLevelsIntoRange() {
  // The device refuses a stop level above its queue or a resume level above
  // the stop level, flow control on or not, so every later open would fail:
  // such levels become the ones the flow options derive.
  if (bufferFull_ > inSize_) bufferFull_ = static_cast<uint16_t>(inSize_ * 9u / 10u);
  if (bufferResume_ > bufferFull_) bufferResume_ = static_cast<uint16_t>(bufferFull_ / 10u);
}

void TSioCustomComPort::SetOutSize(uint16_t v) {
  if (v == outSize_) return;
  outSize_ = v;
  if (IsOpen()) (void)dispatcher_->SetupCom(inSize_, outSize_);
}

void TSioCustomComPort::SetDTR(bool v) {
  if (v == dtr_ && !forceUpdate_) return;
  // 1: flow control owns the line and it was left as it is.
  if (IsOpen() && RaiseIfError(this, dispatcher_->SetDTR(v)) != 0) return;
  dtr_ = v;
}

void TSioCustomComPort::SetRTS(bool v) {
  if (v == rts_ && !forceUpdate_) return;
  // 1: flow control owns the line and it was left as it is.
  if (IsOpen() && RaiseIfError(this, dispatcher_->SetRTS(v)) != 0) return;
  rts_ = v;
}

void TSioCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
  if (v == hwFlowOptions_ && !forceUpdate_) return;
  const uint32_t word = HWOptionsWord(v);
  if (word != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) {
      bufferFull_ = static_cast<uint16_t>(inSize_ * 9u / 10u);
    }
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
      bufferResume_ = static_cast<uint16_t>(inSize_ / 10u);
    }
  }
  BringLevelsIntoRange();
  if (IsOpen()) RaiseIfError(this, dispatcher_->SetHWFlow(bufferFull_, bufferResume_, word));
  hwFlowOptions_ = v;
  if ((v & (hwfUseRTS | hwfRequireCTS)) != 0) SetRS485Mode(false);
}

void TSioCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
  if (v == swFlowOptions_ && !forceUpdate_) return;
  CheckFlowChars(v, xOnChar_, xOffChar_);
  const uint32_t word = SWOptionsWord(v);
  if (word != 0) {
    if (bufferFull_ == 0 || bufferFull_ > inSize_) {
      bufferFull_ = static_cast<uint16_t>(inSize_ * 3u / 4u);
    }
    if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
      bufferResume_ = static_cast<uint16_t>(inSize_ / 4u);
    }
  }
  BringLevelsIntoRange();
  if (IsOpen()) {
    if (word != 0) {
      RaiseIfError(this, dispatcher_->SWFlowEnable(bufferFull_, bufferResume_, word));
    } else {
      RaiseIfError(this, dispatcher_->SWFlowDisable());
    }
  }
  swFlowOptions_ = v;
}

void TSioCustomComPort::SetXOnChar(char v) {
  if (v == xOnChar_ && !forceUpdate_) return;
  CheckFlowChars(swFlowOptions_, v, xOffChar_);
  xOnChar_ = v;
  if (IsOpen()) RaiseIfError(this, dispatcher_->SWFlowChars(xOnChar_, xOffChar_));
}

void TSioCustomComPort::SetXOffChar(char v) {
  if (v == xOffChar_ && !forceUpdate_) return;
  CheckFlowChars(swFlowOptions_, xOnChar_, v);
  xOffChar_ = v;
  if (IsOpen()) RaiseIfError(this, dispatcher_->SWFlowChars(xOnChar_, xOffChar_));
}

void TSioCustomComPort::SetBufferFull(uint16_t v) {
  if (v == bufferFull_ && !forceUpdate_) return;
  bufferFull_ = v > inSize_ ? static_cast<uint16_t>(v * 9u / 10u) : v;
  const bool saved = forceUpdate_;
  forceUpdate_ = true;
  try {
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
  } catch (...) {
    forceUpdate_ = saved;
    throw;
  }
  forceUpdate_ = saved;
}

void TSioCustomComPort::SetBufferResume(uint16_t v) {
  if (v == bufferResume_ && !forceUpdate_) return;
  bufferResume_ = v > bufferFull_ ? static_cast<uint16_t>(bufferFull_ / 10u) : v;
  const bool saved = forceUpdate_;
  forceUpdate_ = true;
  try {
    SetHWFlowOptions(hwFlowOptions_);
    SetSWFlowOptions(swFlowOptions_);
  } catch (...) {
    forceUpdate_ = saved;
    throw;
  }
  forceUpdate_ = saved;
}

void TSioCustomComPort::SetUseEventWord(bool v) {
  if (v == useEventWord_ && !forceUpdate_) return;
  useEventWord_ = v;
  if (!IsOpen()) return;
  if (v) {
    dispatcher_->SetFlag(kEventWordFlag);
  } else {
    dispatcher_->ClearFlag(kEventWordFlag);
  }
}

void TSioCustomComPort::SetRS485Mode(bool v) {
  if (v == rs485Mode_ && !forceUpdate_) return;
  rs485Mode_ = v;
  if (IsOpen()) dispatcher_->SetRS485Mode(v);
  if (v) {
    SetHWFlowOptions(static_cast<THWFlowOptionSet>(hwFlowOptions_ & ~(hwfUseRTS | hwfRequireCTS)));
    SetRTS(false);
  }
}

void TSioCustomComPort::SetThreadBoost(uint8_t v) {
  if (v == threadBoost_ && !forceUpdate_) return;
  threadBoost_ = v;
  if (IsOpen()) dispatcher_->SetThreadBoost(v);
}

void TSioCustomComPort::SetAvailThreshold(uint16_t v) {
  if (v == availThreshold_ && !forceUpdate_) return;
  availThreshold_ = v;
  if (IsOpen()) dispatcher_->ChangeLengthTrigger(v);
}

void TSioCustomComPort::SetTracing(TTraceLogState v) {
  const TTraceLogState s = tracing_;
  if (v == s && !forceUpdate_) return;
  if (!IsOpen()) {
    tracing_ = (v == tlOff || v == tlOn) ? v : tlOff;
    return;
  }
  TSioBaseDispatcher* d = dispatcher_.get();
  switch (v) {
    case tlOff:
      if (IsTraceActive(s)) {
        d->FreeTraceBuffer();
        tracing_ = tlOff;
      }
      break;
    case tlOn:
      if (s == tlPause) {
        d->ResumeTracing();
      } else {
        RaiseIfError(this, d->OpenTraceBuffer(traceSize_));
      }
      tracing_ = tlOn;
      break;
    case tlDump:
      if (IsTraceActive(s)) {
        d->ResumeTracing();
        // Off even when the file fails: the dump has ended the trace either way.
        const int32_t r = d->WriteTraceFile(traceName_, traceHex_, traceAllHex_);
        tracing_ = tlOff;
        RaiseIfError(this, r);
      }
      break;
    case tlAppend:
      if (IsTraceActive(s)) {
        d->ResumeTracing();
        const int32_t r = d->AppendTraceFile(traceName_, traceHex_, traceAllHex_);
        tracing_ = tlOff;
        RaiseIfError(this, r);
      }
      break;
    case tlClear:
      if (IsTraceActive(s)) RaiseIfError(this, d->ResetTraceBuffer());
      break;
    case tlPause:
      if (s == tlOn) {
        d->PauseTracing();
        tracing_ = tlPause;
      }
      break;
    case tlAppendAndContinue:
      if (IsTraceActive(s)) {
        d->ResumeTracing();
        (void)d->AppendTraceFile(traceName_, traceHex_, traceAllHex_);
        tracing_ = tlOn;
      }
      break;
  }
}

void TSioCustomComPort::SetLogging(TTraceLogState v) {
  const TTraceLogState s = logging_;
  if (v == s && !forceUpdate_) return;
  if (!IsOpen()) {
    logging_ = (v == tlOff || v == tlOn) ? v : tlOff;
    return;
  }
  TSioBaseDispatcher* d = dispatcher_.get();
  switch (v) {
    case tlOff:
      if (IsTraceActive(s)) {
        d->CloseDispatchLog();
        logging_ = tlOff;
      }
      break;
    case tlOn:
      if (s == tlPause) {
        d->ResumeDispatchLog();
      } else {
        d->OpenDispatchLog(logSize_);
      }
      logging_ = tlOn;
      break;
    case tlDump:
      if (IsTraceActive(s)) {
        d->ResumeDispatchLog();
        const int32_t r = d->WriteDispatchLogFile(logName_, logHex_, logAllHex_);
        logging_ = tlOff;
        RaiseIfError(this, r);
      }
      break;
    case tlAppend:
      if (IsTraceActive(s)) {
        d->ResumeDispatchLog();
        const int32_t r = d->AppendDispatchLogFile(logName_, logHex_, logAllHex_);
        logging_ = tlOff;
        RaiseIfError(this, r);
      }
      break;
    case tlClear:
      if (IsTraceActive(s)) d->ClearDispatchLog();
      break;
    case tlPause:
      if (s == tlOn) {
        d->PauseDispatchLog();
        logging_ = tlPause;
      }
      break;
    case tlAppendAndContinue:
      if (IsTraceActive(s)) {
        d->ResumeDispatchLog();
        (void)d->AppendDispatchLogFile(logName_, logHex_, logAllHex_);
        logging_ = tlOn;
      }
      break;
  }
}

void TSioCustomComPort::SetTraceSize(uint32_t v) {
  v = std::min(v, MaxTraceSize);
  if (v == traceSize_ && !forceUpdate_) return;
  traceSize_ = v;
  if (IsOpen() && IsTraceActive(tracing_)) {
    // An active trace starts again, empty, with the new size.
    const TTraceLogState old = tracing_;
    SetTracing(tlOff);
    SetTracing(old);
  }
}

void TSioCustomComPort::SetLogSize(uint32_t v) {
  v = std::min(v, MaxLogSize);
  if (v == logSize_ && !forceUpdate_) return;
  logSize_ = v;
  if (IsOpen() && IsTraceActive(logging_)) {
    const TTraceLogState old = logging_;
    SetLogging(tlOff);
    SetLogging(old);
  }
}

void TSioCustomComPort::SetOnTrigger(const TComTriggerEvent& v) {
  SetHandler(onTrigger_, v);
}

void TSioCustomComPort::SetOnTriggerAvail(const TTriggerAvailEvent& v) {
  SetHandler(onTriggerAvail_, v);
}

void TSioCustomComPort::SetOnTriggerData(const TTriggerDataEvent& v) {
  SetHandler(onTriggerData_, v);
}

void TSioCustomComPort::SetOnTriggerStatus(const TTriggerStatusEvent& v) {
  SetHandler(onTriggerStatus_, v);
}

void TSioCustomComPort::SetOnTriggerTimer(const TTriggerTimerEvent& v) {
  SetHandler(onTriggerTimer_, v);
}

void TSioCustomComPort::SetOnTriggerLineError(const TTriggerLineErrorEvent& v) {
  SetHandler(onTriggerLineError_, v);
}

void TSioCustomComPort::SetOnTriggerModemStatus(const TNotifyEvent& v) {
  SetHandler(onTriggerModemStatus_, v);
}

void TSioCustomComPort::SetOnTriggerOutbuffFree(const TNotifyEvent& v) {
  SetHandler(onTriggerOutbuffFree_, v);
}

void TSioCustomComPort::SetOnTriggerOutbuffUsed(const TNotifyEvent& v) {
  SetHandler(onTriggerOutbuffUsed_, v);
}

void TSioCustomComPort::SetOnTriggerOutSent(const TNotifyEvent& v) {
  SetHandler(onTriggerOutSent_, v);
}

// ---------------------------------------------------------------------------
// The component search

TSioCustomComPort* FindComPort(TComponent* owner) {
  if (owner == nullptr) return nullptr;
  for (int i = 0; i < owner->ComponentCount(); ++i) {
    TComponent* c = owner->GetComponent(i);
    if (auto* port = dynamic_cast<TSioCustomComPort*>(c)) return port;
    if (TSioCustomComPort* found = FindComPort(c)) return found;
  }
  return nullptr;
}

}  // namespace sio
