// The dispatcher registry, the dispatcher's life from creation to
// destruction, opening and closing a port, and the dispatch buffer and
// output ring.
#include "serial/dispatch/dispatcher.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/os_info.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/error_codes.h"
#include "serial/support/lock_order.h"

namespace sio {

namespace {

// The registry lives as long as the process: created on first use, before
// any dispatcher, and never destroyed under a dispatcher that is still
// being torn down at exit.
struct Registry {
  platform::CriticalSection Lock;
  std::vector<TSioBaseDispatcher*> Slots;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();
  return *registry;
}

// Created when the unit starts, as the registry must be.
[[maybe_unused]] const bool registryCreated = (TheRegistry(), true);

constexpr char kDispatchBufferFull[] = "Dispatch buffer full.";
// How long a read from outside waits for a data event's delivery to end.
constexpr int32_t kDeliveryWaitTicks = 36;

// The error a failed device call is reported as: the device's own number,
// or "general failure" when it left none, so that a failure never reads as
// success.
int32_t NegatedDeviceError(uint32_t error) {
  if (error == 0) error = platform::errGenFailure;
  return -static_cast<int32_t>(error & 0x7FFFFFFFu);
}

}  // namespace

platform::CriticalSection& DispatcherRegistryLock() {
  return TheRegistry().Lock;
}

TSioBaseDispatcher* DispatcherFromHandleIndex(int32_t Index) {
  Registry& r = TheRegistry();
  platform::CriticalSectionLock guard(r.Lock);
  if (Index < 0 || static_cast<size_t>(Index) >= r.Slots.size()) return nullptr;
  return r.Slots[static_cast<size_t>(Index)];
}

int32_t DispatcherRegistryCount() {
  Registry& r = TheRegistry();
  platform::CriticalSectionLock guard(r.Lock);
  return static_cast<int32_t>(r.Slots.size());
}

// ---------------------------------------------------------------------------
// Creation and destruction

TSioBaseDispatcher::TSioBaseDispatcher(TComponent* owner)
    : Owner(owner),
      DataSection(lock_order::kDataSection),
      OutputSection(lock_order::kOutputSection),
      DispSection(lock_order::kDispSection),
      LifecycleSection(lock_order::kLifecycleSection),
      ThreadSection(lock_order::kThreadSection),
      InQueue(std::make_unique<TIOQueue>()),
      TraceLog(std::make_unique<TSioTraceLog>(DataSection)),
      nameLock_(lock_order::Leaf("the dispatcher's name lock")) {
  {
    Registry& r = TheRegistry();
    platform::CriticalSectionLock guard(r.Lock);
    auto empty = std::find(r.Slots.begin(), r.Slots.end(), nullptr);
    if (empty != r.Slots.end()) {
      *empty = this;
      HandleIndex = static_cast<int32_t>(empty - r.Slots.begin());
    } else {
      r.Slots.push_back(this);
      HandleIndex = static_cast<int32_t>(r.Slots.size() - 1);
    }
  }
  NextHandle = 1;
}

void TSioBaseDispatcher::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  try {
    if (ClosePending.load()) {
      DonePortPrim();
    } else {
      DonePort();
    }
  } catch (...) {
    ShowThreadException(std::current_exception());
  }
  WaitForThreadsToEnd();
}

void TSioBaseDispatcher::WaitForThreadsToEnd() {
  // Served messages keep a thread that waits for the user-interface thread
  // (a window handler, a synchronised call) able to finish.
  while (ActiveThreads.load() > 0 || launchedThreads_.load() > 0) {
    const int32_t pumped = PumpOneMessage();
    if (pumped == 0) {
      platform::WaitForMessageOrEvent(*ThreadEnded, kThreadEndWaitMs);
    } else if (pumped == static_cast<int32_t>(platform::kMsgQuit)) {
      ThreadEnded->Wait(kQuitPendingWaitMs);
    }
  }
}

void TSioBaseDispatcher::WakeDispatcherThread() {
  InQueue->Wake();
  roomEvent_.Set();
}

TSioBaseDispatcher::~TSioBaseDispatcher() {
  // No thread may outlive us: one that is still here (its device layer did
  // not stop it) is told to end, and waited for.
  destroying_.store(true);
  KillThreads.store(true);
  WaitForThreadsToEnd();
  {
    Registry& r = TheRegistry();
    platform::CriticalSectionLock guard(r.Lock);
    if (HandleIndex >= 0 && static_cast<size_t>(HandleIndex) < r.Slots.size() &&
        r.Slots[static_cast<size_t>(HandleIndex)] == this) {
      r.Slots[static_cast<size_t>(HandleIndex)] = nullptr;
    }
    while (!r.Slots.empty() && r.Slots.back() == nullptr)
      r.Slots.pop_back();
  }
}

void TSioBaseDispatcher::SetComName(const std::string& Name) {
  {
    platform::CriticalSectionLock guard(nameLock_);
    ComName = Name;
  }
  TraceLog->SetDeviceName(Name);
}

std::string TSioBaseDispatcher::GetComName() const {
  platform::CriticalSectionLock guard(nameLock_);
  return ComName;
}

void TSioBaseDispatcher::SignalEvent(platform::Event* Ev) {
  if (Ev != nullptr) Ev->Set();
}

// ---------------------------------------------------------------------------
// Opening and closing

int32_t TSioBaseDispatcher::InitPort(const char* comName, uint32_t baud, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, uint32_t inSize,
                                     uint32_t outSize, uint32_t options) {
  RingFlag.store(false);
  {
    platform::CriticalSectionLock guard(DispSection);
    DBuffer.reset();
  }
  {
    platform::CriticalSectionLock guard(OutputSection);
    OutBuffer.reset();
  }
  DispActive.store(false);
  {
    platform::CriticalSectionLock guard(DataSection);
    HandlersDirty = false;
  }

  // The six events exist from here until destruction (see the header).
  auto makeEvent = [](std::unique_ptr<platform::Event>& ev, bool manual) {
    if (ev) {
      ev->Reset();
    } else {
      ev = std::make_unique<platform::Event>(manual, false);
    }
  };
  makeEvent(DispStopEvent, false);
  makeEvent(PassDoneEvent, false);
  makeEvent(ThreadReadyEvent, false);
  makeEvent(OutputWaitEvent, false);
  makeEvent(WriteDoneEvent, true);
  makeEvent(OutputFlushEvent, false);
  EventsOpen.store(true);

  const int32_t handle = OpenCom(comName, inSize, outSize);
  if (handle < 0) {
    const int32_t result =
        handle == ecOutOfMemory ? ecOutOfMemory : NegatedDeviceError(LastDeviceError());
    DonePort();
    return result;
  }
  DeviceHandle.store(handle);

  const int32_t setup = SetupCom(inSize, outSize);
  if (setup != 0) {
    DonePort();
    return setup;
  }

  {
    std::unique_ptr<uint8_t[]> dbuf(new (std::nothrow) uint8_t[DispatchBufferSize]());
    std::unique_ptr<uint8_t[]> obuf(new (std::nothrow) uint8_t[std::max<uint32_t>(outSize, 1)]);
    if (!dbuf || !obuf) {
      DonePort();
      return ecOutOfMemory;
    }
    {
      platform::CriticalSectionLock guard(DispSection);
      DBuffer = std::move(dbuf);
    }
    platform::CriticalSectionLock guard(OutputSection);
    OutBuffer = std::move(obuf);
    OutHead = 0;
    OutTail = 0;
    OutBufFull = false;
    InQue = inSize;
    OutQue = outSize;
  }
  {
    platform::CriticalSectionLock guard(DataSection);
    LastError = 0;
    RS485Mode = false;
    BaseAddress = 0;
  }
  OutSentPending.store(false);
  ClosePending.store(false);

  {
    platform::CriticalSectionLock guard(DataSection);
    (void)GetComState(LineSettings);
  }

  if ((options & ipDTRFlow) != 0) {
    platform::CriticalSectionLock guard(DataSection);
    DTRAuto = true;
  } else {
    {
      platform::CriticalSectionLock guard(DataSection);
      DTRAuto = false;
    }
    // A line the device cannot set does not fail the open: the line
    // settings that follow report a device that does not answer.
    (void)SetDTR((options & ipDTROn) != 0);
  }
  if ((options & ipRTSFlow) != 0) {
    platform::CriticalSectionLock guard(DataSection);
    RTSAuto = true;
  } else {
    {
      platform::CriticalSectionLock guard(DataSection);
      RTSAuto = false;
    }
    (void)SetRTS((options & ipRTSOn) != 0);
  }

  // Trigger state starts afresh.
  ClearTriggers();
  {
    platform::CriticalSectionLock guard(DispSection);
    LastTail = 0;
    DBufHead = 0;
    DBufTail = 0;
    DBufFull = false;
    LastAvailPos = 0;
    ConsumeMode = false;
    Consumed = 0;
    MaxConsumed = 0;
    scanPending_ = 0;
    headStream_ = 0;
    lastAvailStream_ = 0;
  }
  {
    platform::CriticalSectionLock guard(DataSection);
    for (auto& t : StatusTriggers)
      t->Fired = false;
    StatusFired = false;
    ModemStatus = 0;
  }
  GetModemStatusPrim(0xF0);

  {
    platform::CriticalSectionLock guard(DataSection);
    Baud = 115200;
  }
  // Nothing of ours is on its way yet on a port just opened (a close
  // discards what was left), so the change need not wait for the line to
  // go idle: 18 character times, 19 ms at 9600, on every open.
  const int32_t line = ApplyLine(baud, parity, dataBits, stopBits, false);
  if (line != 0) {
    DonePort();
    return line;
  }

  RefreshLineError();

  TraceLog->FreeTraceBuffer();
  TraceLog->OpenDispatchLog(0);
  TraceLog->CloseDispatchLog();
  TraceLog->SetOpenTime(MillisecondClock());

  ThreadStartFailed.store(false);
  StartDispatcher();
  if (ThreadStartFailed.load()) {
    // The system would not start every thread of the port: it is not open.
    DonePort();
    return ecOutOfMemory;
  }
  return 0;
}

int32_t TSioBaseDispatcher::SetupCom(uint32_t inSize, uint32_t outSize) {
  if (SetupComPrim(inSize, outSize)) return 0;
  return NegatedDeviceError(LastDeviceError());
}

void TSioBaseDispatcher::DonePort() {
  if (DeviceHandle.load() >= 0) {
    // Whatever the flushes say, the device is closed.
    (void)FlushOutBuffer();
    (void)FlushInBuffer();
    (void)CloseCom();
  }
  // Called from a handler, or while the dispatcher thread is still busy
  // delivering, the release is left to that thread as it ends: the buffers
  // must not vanish under a handler that is reading them.
  if (DispActive.load() || (OnDispatcherThread() && DispThread.load() != nullptr)) {
    ClosePending.store(true);
  } else {
    DonePortPrim();
  }
}

void TSioBaseDispatcher::DonePortPrim() {
  platform::CriticalSectionLock life(LifecycleSection);
  DoDonePortPrim.store(false);
  if (ThreadsRunning.load()) StopDispatcher();
  {
    platform::CriticalSectionLock guard(OutputSection);
    OutBuffer.reset();
    OutHead = 0;
    OutTail = 0;
    OutBufFull = false;
  }
  {
    platform::CriticalSectionLock guard(DispSection);
    DBuffer.reset();
  }
}

// ---------------------------------------------------------------------------
// The dispatch buffer

uint32_t TSioBaseDispatcher::BufferedCount(uint32_t head, uint32_t tail, bool full) {
  if (head == tail) return full ? DispatchBufferSize : 0;
  if (head > tail) return head - tail;
  return head + DispatchBufferSize - tail;
}

uint32_t TSioBaseDispatcher::UnreadUpTo(uint32_t pos) const {
  const uint32_t count = BufferedCount(DBufHead, DBufTail, DBufFull);
  const uint32_t offset = (pos + DispatchBufferSize - DBufTail) % DispatchBufferSize;
  return offset < count ? offset + 1 : 0;
}

uint32_t TSioBaseDispatcher::InBuffUsed() {
  platform::CriticalSectionLock guard(DispSection);
  const uint32_t count = BufferedCount(DBufHead, DBufTail, DBufFull);
  if (ConsumeMode) return count > Consumed ? count - Consumed : 0;
  return count;
}

int32_t TSioBaseDispatcher::PeekBlockPrim(void* block, uint32_t offset, uint32_t& newTail,
                                          uint32_t len) {
  newTail = DBufTail + offset;
  if (newTail >= DispatchBufferSize) newTail -= DispatchBufferSize;
  // A released port (closed, or its device lost) answers input as it answers
  // output: not open.
  if (DBuffer == nullptr) return ecCommNotOpen;
  const uint32_t count = BufferedCount(DBufHead, DBufTail, DBufFull);
  if (offset > count || len > count - offset) return ecBufferIsEmpty;
  if (len == 0) return 0;
  if (block == nullptr) return ecBadArgument;
  auto* out = static_cast<uint8_t*>(block);
  const uint32_t first = std::min(len, DispatchBufferSize - newTail);
  std::memcpy(out, DBuffer.get() + newTail, first);
  if (first < len) {
    std::memcpy(out + first, DBuffer.get(), len - first);
    newTail = len - first;
  } else {
    newTail += first;
    if (newTail == DispatchBufferSize) newTail = 0;
  }
  return static_cast<int32_t>(len);
}

void TSioBaseDispatcher::CopyIntoOutputRing(const uint8_t* Buf, uint32_t N) {
  const uint32_t room = OutQue - OutHead;
  if (room >= N) {
    std::memcpy(OutBuffer.get() + OutHead, Buf, N);
    OutHead = room == N ? 0 : OutHead + N;
  } else {
    std::memcpy(OutBuffer.get() + OutHead, Buf, room);
    std::memcpy(OutBuffer.get(), Buf + room, N - room);
    OutHead = N - room;
  }
}

uint32_t TSioBaseDispatcher::OutputRingUsed() {
  platform::CriticalSectionLock guard(OutputSection);
  if (OutBufFull) return OutQue;
  if (OutTail < OutHead) return OutHead - OutTail;
  if (OutTail > OutHead) return OutQue - OutTail + OutHead;
  return 0;
}

bool TSioBaseDispatcher::InDelivery() const {
  const uint64_t self = platform::CurrentThreadId();
  return OnDispatcherThread() || deliveringThread_.load() == self ||
         (handedOver_.load() > 0 && platform::IsUserInterfaceThread());
}

void TSioBaseDispatcher::HandOverToUserInterface(void (*fn)(void*), void* context) {
  struct Call {
    TSioBaseDispatcher* d;
    void (*fn)(void*);
    void* context;
  } call{this, fn, context};
  const HandOver handingOver(handedOver_);
  platform::RunOnUserInterfaceThread(
      [](void* p) {
        auto* c = static_cast<Call*>(p);
        const HandOver running(c->d->runningHandOvers_);
        c->fn(c->context);
      },
      &call);
}

bool TSioBaseDispatcher::InHandedOverCall() const {
  return runningHandOvers_.load() > 0 && platform::IsUserInterfaceThread();
}

int32_t TSioBaseDispatcher::GetBlock(void* block, uint32_t len) {
  int32_t result;
  // A reader that is not a handler of the data event being delivered stays
  // out of it: joining the handler's consume count would take bytes from
  // under the handler.
  const bool handler = InDelivery();
  TickTimer timer;
  StartTickTimer(timer, kDeliveryWaitTicks);
  for (;;) {
    {
      platform::CriticalSectionLock guard(DispSection);
      if (!ConsumeMode || handler || DBuffer == nullptr) {
        uint32_t newTail = 0;
        if (!ConsumeMode) {
          result = PeekBlockPrim(block, 0, newTail, len);
          if (result > 0) {
            DBufTail = newTail;
            DBufFull = false;
            roomEvent_.Set();
          }
        } else {
          result = PeekBlockPrim(block, Consumed, newTail, len);
          if (result > 0) Consumed += static_cast<uint32_t>(result);
        }
        break;
      }
    }
    if (TickTimerExpired(timer) || KillThreads.load()) return ecBufferIsEmpty;
    // The delivery may be waiting for this thread's messages.
    if (PumpOneMessage() == 0) platform::WaitForMessage(2);
  }
  if (result > 0 && TraceLog->TracingOn()) {
    platform::CriticalSectionLock guard(DataSection);
    TraceLog->AddTraceBlock('R', block, result);
  }
  return result;
}

int32_t TSioBaseDispatcher::FlushInBuffer() {
  {
    platform::CriticalSectionLock guard(DispSection);
    (void)FlushCom(1);
    const uint32_t count = BufferedCount(DBufHead, DBufTail, DBufFull);
    if (ConsumeMode) {
      MaxConsumed = count;
    } else {
      DBufTail = DBufHead;
      Consumed = 0;
    }
    DBufFull = false;
    // What was discarded is neither scanned for data triggers nor reported.
    LastTail = static_cast<int32_t>(DBufHead);
    scanPending_ = 0;
    ++flushCount_;
    roomEvent_.Set();
  }
  ResetDataTriggerMatches();
  return 0;
}

bool TSioBaseDispatcher::FillDispatchBuffer() {
  bool full;
  {
    platform::CriticalSectionLock guard(DispSection);
    full = DBufFull;
  }
  if (full) {
    LogDispatchEvent(ltDispatch, lsStatus, 0, kDispatchBufferFull,
                     static_cast<int32_t>(sizeof(kDispatchBufferFull) - 1));
    return true;
  }
  const uint32_t avail = InQueueUsed();
  {
    platform::CriticalSectionLock guard(DataSection);
    ComStatus.cbInQue = avail;
  }
  if (avail == 0) return false;

  platform::CriticalSectionLock guard(DispSection);
  if (DBuffer == nullptr || DBufFull) return true;
  uint32_t freeRoom;
  uint32_t contiguous;
  if (DBufHead == DBufTail) {
    freeRoom = DispatchBufferSize;
    contiguous = DispatchBufferSize - DBufHead;
  } else if (DBufTail > DBufHead) {
    freeRoom = DBufTail - DBufHead;
    contiguous = freeRoom;
  } else {
    freeRoom = DBufTail + DispatchBufferSize - DBufHead;
    contiguous = DispatchBufferSize - DBufHead;
  }
  const uint32_t want = std::min(freeRoom, avail);
  uint32_t second = contiguous < want ? want - contiguous : 0;

  auto readInto = [this](uint32_t room) SIO_REQUIRES(DispSection) -> uint32_t {
    int32_t n = ReadCom(DBuffer.get() + DBufHead, static_cast<int32_t>(room));
    if (n < 0) {
      (void)GetComEventMask(-1);
      n = 0;
    }
    // A device layer must never hand back more than was asked for.
    const uint32_t got = std::min(static_cast<uint32_t>(n), room);
    LogDispatchEvent(ltDispatch, lsReadCom, got, got > 0 ? DBuffer.get() + DBufHead : nullptr,
                     static_cast<int32_t>(got));
    DBufHead += got;
    headStream_ += got;
    scanPending_ = std::min<uint32_t>(scanPending_ + got, DispatchBufferSize);
    return got;
  };

  if (contiguous > 0) {
    const uint32_t n = readInto(contiguous);
    if (n < contiguous) second = 0;
    if (DBufHead == DispatchBufferSize) DBufHead = 0;
    if (n > 0) DBufFull = DBufHead == DBufTail;
  }
  if (second > 0) {
    const uint32_t n = readInto(second);
    if (DBufHead == DispatchBufferSize) DBufHead = 0;
    if (n > 0) DBufFull = DBufHead == DBufTail;
  }
  // The unscanned bytes never reach back past what the ring still holds.
  LastTail =
      static_cast<int32_t>((DBufHead + DispatchBufferSize - scanPending_) % DispatchBufferSize);
  return true;
}

// ---------------------------------------------------------------------------
// The output ring

int32_t TSioBaseDispatcher::PutBlock(const void* block, uint32_t len) {
  if (len == 0) return 0;
  if (block == nullptr) return ecBadArgument;

  bool raiseRts;
  uint16_t base;
  {
    platform::CriticalSectionLock guard(DataSection);
    raiseRts = RS485Mode && !DriverTogglesRTS();
    base = BaseAddress;
  }
  if (raiseRts && base == 0) return ecBaseAddressNotSet;

  if (raiseRts) {
    {
      platform::CriticalSectionLock guard(OutputSection);
      const uint32_t used = OutBufUsed();
      if (len > (OutQue > used ? OutQue - used : 0)) return ecOutputBufferTooSmall;
    }
    // Raised before the write, outside OutputSection: DataSection is never
    // taken under it. A device that refuses it refuses the write as well.
    (void)SetRTS(true);
  }

  int32_t n;
  int32_t result = 0;
  {
    platform::CriticalSectionLock guard(OutputSection);
    if (OutBuffer == nullptr) return ecCommNotOpen;
    const uint32_t used = OutBufUsed();
    const uint32_t freeRoom = OutQue > used ? OutQue - used : 0;
    if (len > freeRoom) return ecOutputBufferTooSmall;
    n = WriteCom(static_cast<const uint8_t*>(block), static_cast<int32_t>(len));
    // The ring is marked full only when the bytes are really in it: a ring
    // marked full after a failed write would send a whole ring of stale
    // bytes.
    if (n > 0 && static_cast<uint32_t>(n) == freeRoom) OutBufFull = true;
  }
  if (n <= 0) {
    n = n < 0 ? -n : 0;
    result = ecPutBlockFail;
    // Accumulated, not overwritten: a pending break or framing error must
    // still be reported by GetLineError.
    RefreshLineErrorStat();
  }
  OutSentPending.store(true);
  {
    platform::CriticalSectionLock guard(DataSection);
    const uint32_t written = std::min(static_cast<uint32_t>(n), len);
    LogDispatchEvent(ltDispatch, lsWriteCom, written, written > 0 ? block : nullptr,
                     static_cast<int32_t>(written));
    if (TraceLog->TracingOn() && written > 0)
      TraceLog->AddTraceBlock('T', block, static_cast<int32_t>(written));
  }
  return result;
}

uint32_t TSioBaseDispatcher::OutBuffUsed() {
  return RefreshLineErrorStat().cbOutQue;
}

uint32_t TSioBaseDispatcher::OutBuffFree() {
  const uint32_t used = RefreshLineErrorStat().cbOutQue;
  return OutQue > used ? OutQue - used : 0;
}

int32_t TSioBaseDispatcher::FlushOutBuffer() {
  return FlushCom(0);
}

// ---------------------------------------------------------------------------
// Device-layer defaults

uint32_t TSioBaseDispatcher::InQueueUsed() {
  return 0;
}

bool TSioBaseDispatcher::GetUartBaseAddress(uint16_t& address) {
  address = 0;
  return false;
}

uint32_t TSioBaseDispatcher::LastDeviceError() {
  return platform::LastSystemError();
}

bool TSioBaseDispatcher::DriverTogglesRTS() const {
  return true;
}

// --- Trace and dispatch log ---------------------------------------------------

int32_t TSioBaseDispatcher::OpenTraceBuffer(uint32_t Size) {
  return TraceLog->OpenTraceBuffer(Size);
}
void TSioBaseDispatcher::AddTraceByte(char Kind, uint8_t Value) {
  TraceLog->AddTraceByte(Kind, Value);
}
int32_t TSioBaseDispatcher::ResetTraceBuffer() {
  return TraceLog->ResetTraceBuffer();
}
void TSioBaseDispatcher::FreeTraceBuffer() {
  TraceLog->FreeTraceBuffer();
}
void TSioBaseDispatcher::ResumeTracing() {
  TraceLog->ResumeTracing();
}
void TSioBaseDispatcher::PauseTracing() {
  TraceLog->PauseTracing();
}
int32_t TSioBaseDispatcher::WriteTraceFile(const std::string& FileName, bool InHex, bool AllHex) {
  return TraceLog->WriteTraceFile(FileName, InHex, AllHex);
}
int32_t TSioBaseDispatcher::AppendTraceFile(const std::string& FileName, bool InHex, bool AllHex) {
  return TraceLog->AppendTraceFile(FileName, InHex, AllHex);
}
void TSioBaseDispatcher::OpenDispatchLog(uint32_t Size) {
  TraceLog->OpenDispatchLog(Size);
}
void TSioBaseDispatcher::LogDispatchEvent(int32_t Type, int32_t SubType, uint32_t Data,
                                          const void* Buffer, int32_t BufferLength) {
  TraceLog->LogDispatchEvent(Type, SubType, Data, Buffer, BufferLength);
}
void TSioBaseDispatcher::ClearDispatchLog() {
  TraceLog->ClearDispatchLog();
}
void TSioBaseDispatcher::CloseDispatchLog() {
  TraceLog->CloseDispatchLog();
}
void TSioBaseDispatcher::ResumeDispatchLog() {
  TraceLog->ResumeDispatchLog();
}
void TSioBaseDispatcher::PauseDispatchLog() {
  TraceLog->PauseDispatchLog();
}
int32_t TSioBaseDispatcher::WriteDispatchLogFile(const std::string& FileName, bool InHex,
                                                 bool AllHex) {
  return TraceLog->WriteDispatchLogFile(FileName, InHex, AllHex);
}
int32_t TSioBaseDispatcher::AppendDispatchLogFile(const std::string& FileName, bool InHex,
                                                  bool AllHex) {
  return TraceLog->AppendDispatchLogFile(FileName, InHex, AllHex);
}
uint32_t TSioBaseDispatcher::ElapsedSinceOpen() const {
  return TraceLog->ElapsedSinceOpen();
}

}  // namespace sio
