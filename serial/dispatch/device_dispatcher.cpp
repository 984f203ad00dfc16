// The threaded device layer: opening and closing the device, the read,
// write and status threads, and the device-layer operations the dispatcher
// calls.
#include "serial/dispatch/device_dispatcher.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "platform/message_loop.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "serial/support/ticks.h"

namespace sio {

namespace {

// Every wait on an overlapped operation is cut into slices of this length,
// so that a stop request is seen within it.
constexpr uint32_t kSliceMs = 100;
constexpr uint32_t kReadPollMs = 50;
constexpr uint32_t kThreadReadyMs = 3000;
constexpr uint32_t kFlushAckMs = 5000;
constexpr int32_t kDispStopTicks = 36;
constexpr int32_t kMaskRetryTicks = 2;

// Handles of opened devices: positive, distinct while the process runs.
std::atomic<int32_t> nextDeviceHandle{1};

int32_t NewDeviceHandle() {
  for (;;) {
    int32_t h = nextDeviceHandle.fetch_add(1);
    if (h > 0) return h;
    nextDeviceHandle.store(1);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The threads' common part

TSioWin32Thread::TSioWin32Thread(TSioWin32Dispatcher* dispatcher)
    : TSioDispatcherThread(dispatcher),
      Owner(dispatcher),
      Io(std::make_unique<platform::CommIo>()) {}

TSioWin32Thread::~TSioWin32Thread() = default;

bool TSioWin32Thread::StopRequested() const {
  return Terminated.load() || Owner->KillThreads.load();
}

int32_t TSioWin32Thread::OverlappedResult(platform::CommIo& overlapped, int32_t errorCode) {
  uint32_t count = 0;
  const uint32_t rc = Owner->Device->GetResult(overlapped, count, true);
  if (rc != 0) {
    LastErrorCode = rc;
    return errorCode;
  }
  return static_cast<int32_t>(count);
}

int32_t TSioWin32Thread::WaitForOverlapped(platform::CommIo& overlapped) {
  for (;;) {
    const platform::WaitResult w = overlapped.Wait(kSliceMs);
    if (w == platform::WaitResult::Signaled) return OverlappedResult(overlapped, ecDeviceRead);
    if (w != platform::WaitResult::Timeout) {
      LastErrorCode = platform::errGenFailure;
      return ecDeviceRead;
    }
    if (StopRequested()) {
      // The buffer of the operation is freed once the thread leaves: end the
      // operation before that.
      Owner->Device->CancelIo(overlapped);
      return 0;
    }
  }
}

void TSioWin32Thread::CloseOverlapped() {
  if (Io && Io->Pending()) Owner->Device->CancelIo(*Io);
  KeepWhilePending(nullptr, nullptr);
  Io.reset();
}

void TSioWin32Thread::KeepWhilePending(std::unique_ptr<TDataBuffer> data,
                                       std::unique_ptr<uint8_t[]> block) {
  if (!Io || !Io->Pending()) return;
  Owner->ParkIo({std::move(Io), std::move(data), std::move(block)});
  Io = std::make_unique<platform::CommIo>();
}

bool TSioWin32Thread::ClearedLineError(uint32_t error, bool atOnce, uint32_t retries) {
  if (error != platform::errOperationAborted || StopRequested()) return false;
  platform::CommDcb dcb;
  if (Owner->Device->GetState(dcb) != 0 || (dcb.Flags & platform::dcbAbortOnError) == 0) {
    return false;
  }
  uint32_t lineErrors = 0;
  if (Owner->Device->ClearError(lineErrors, nullptr) != 0) return false;
  Owner->clearedLineErrors_.fetch_or(lineErrors);
  return platform::RetryAfterLineError(error, dcb.Flags, atOnce, lineErrors, retries);
}

// ---------------------------------------------------------------------------
// The read thread

int32_t TReadThread::ReadData(TDataBuffer* buffer) {
  uint32_t count = 0;
  uint32_t rc =
      Owner->Device->StartRead(*Io, buffer->Bytes, static_cast<uint32_t>(ReadBufferSize), count);
  for (uint32_t retries = 0; ClearedLineError(rc, true, retries); ++retries) {
    rc = Owner->Device->StartRead(*Io, buffer->Bytes, static_cast<uint32_t>(ReadBufferSize), count);
  }
  if (rc == 0) return static_cast<int32_t>(count);
  if (rc == platform::errIoPending) {
    const int32_t r = platform::kCommReaderWaitsForInput ? WaitForInput() : WaitForOverlapped(*Io);
    if (r < 0 && LastErrorCode == platform::errOperationAborted) return 0;
    return r;
  }
  // A purge or cancel that meets the read as it starts ends it before it is
  // under way: it moved nothing, and the device is fine.
  if (rc == platform::errOperationAborted) return static_cast<int32_t>(count);
  LastErrorCode = rc;
  return ecDeviceRead;
}

int32_t TReadThread::WaitForInput() {
  for (;;) {
    const platform::WaitResult w = Io->Wait(kSliceMs, &Owner->ReadEvent);
    if (w == platform::WaitResult::Signaled) return OverlappedResult(*Io, ecDeviceRead);
    if (w != platform::WaitResult::Timeout && w != platform::WaitResult::Signaled2) {
      LastErrorCode = platform::errGenFailure;
      return ecDeviceRead;
    }
    if (StopRequested()) {
      Owner->Device->CancelIo(*Io);
      return 0;
    }
  }
}

bool TReadThread::Deliver(TDataBuffer* buffer) {
  TSioWin32Dispatcher* const d = Owner;
  // Many small reads then share a buffer: the queue's storage, which its
  // limit counts, follows the bytes received rather than the number of reads.
  // Not during an overrun: what is kept stays one piece of the stream until
  // the queue has made room again.
  const int32_t merged =
      d->overrunning_.load() ? 0 : d->InQueue->AppendToLastData(buffer->Bytes, buffer->Filled);
  if (merged > 0) {
    buffer->Filled -= merged;
    if (buffer->Filled == 0) {
      d->overrunning_.store(false);
      return false;
    }
    std::memmove(buffer->Bytes, buffer->Bytes + merged, static_cast<size_t>(buffer->Filled));
  }
  if (!d->overrunning_.load() && !d->RoomFor(*buffer)) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(InQueueRoomWaitMs);
    while (!StopRequested()) {
      d->roomWanted_.store(true);
      if (d->RoomFor(*buffer)) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      d->inRoomEvent_.Wait(static_cast<uint32_t>(std::min<int64_t>(left, kReadPollMs)));
    }
    d->roomWanted_.store(false);
  }
  return d->QueueReceived(buffer);
}

void TReadThread::Execute() {
  TSioWin32Dispatcher* const d = Owner;
  d->ThreadStart();
  TDataBuffer* buffer = nullptr;
  try {
    // Reads return at once with whatever has arrived; where the reader
    // waits for input itself, a read waits for the first bytes, a while at
    // most, and then returns with whatever has arrived.
    platform::CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = platform::kCommMaxTimeout;
    if (platform::kCommReaderWaitsForInput) {
      timeouts.ReadTotalTimeoutMultiplier = platform::kCommMaxTimeout;
      timeouts.ReadTotalTimeoutConstant = kReadPollMs;
    }
    d->Device->SetTimeouts(timeouts);
    ReturnValue.store(0);
    auto newBuffer = [&buffer, this]() {
      try {
        buffer = new TDataBuffer(ReadBufferSize);
      } catch (...) {
        buffer = nullptr;
      }
      if (buffer == nullptr) {
        ReturnValue.store(ecNoQueueMemory);
        Owner->StopThreadsAfterFailure();
        return false;
      }
      return true;
    };
    while (!StopRequested()) {
      const platform::WaitResult w = platform::kCommReaderWaitsForInput
                                         ? platform::WaitResult::Timeout
                                         : d->ReadEvent.Wait(kReadPollMs);
      if (w != platform::WaitResult::Signaled && w != platform::WaitResult::Timeout) {
        ReturnValue.store(ecDeviceRead);
        d->StopThreadsAfterFailure();
        break;
      }
      if (buffer == nullptr && !newBuffer()) break;
      int32_t n = ReadData(buffer);
      while (n > 0) {
        buffer->Filled = n;
        if (Deliver(buffer)) {
          buffer = nullptr;
          if (!newBuffer()) break;
        }
        // Otherwise its bytes went into the queue's last buffer or were
        // dropped: it is used again.
        n = ReadData(buffer);
      }
      if (n < 0) {
        ReturnValue.store(ecDeviceRead);
        d->StopThreadsAfterFailure();
      }
    }
  } catch (...) {
    KeepWhilePending(std::unique_ptr<TDataBuffer>(buffer), nullptr);
    CloseOverlapped();
    d->ThreadGone(this);
    throw;
  }
  KeepWhilePending(std::unique_ptr<TDataBuffer>(buffer), nullptr);
  CloseOverlapped();
  d->ThreadGone(this);
}

// ---------------------------------------------------------------------------
// The status thread

int32_t TStatusThread::WaitComEvent(uint32_t& events) {
  events = 0;
  uint32_t rc = Owner->Device->StartWaitEvent(*Io, events);
  if (rc == platform::errInvalidParameter && (CommMask & CommMaskTrailingRing) != 0) {
    CommMask &= ~CommMaskTrailingRing;
    Owner->Device->SetEventMask(CommMask);
    rc = Owner->Device->StartWaitEvent(*Io, events);
  }
  if (rc == 0) return 0;
  if (rc == platform::errIoPending) {
    const int32_t r = WaitForOverlapped(*Io);
    if (r >= 0) {
      events = Io->Events();
      return 0;
    }
    // A new event mask (the close) ends the wait; some systems report that
    // as an abort rather than as a wait with no events. Neither is a fault.
    if (LastErrorCode == platform::errOperationAborted) {
      events = 0;
      return 0;
    }
    return r;
  }
  LastErrorCode = rc;
  return ecDeviceRead;
}

void TStatusThread::Execute() {
  TSioWin32Dispatcher* const d = Owner;
  d->ThreadStart();
  TStatusBuffer* status = nullptr;
  try {
    CommMask = StatusThreadMask(d->StatusCommMask.load());
    d->Device->SetEventMask(CommMask);
    ReturnValue.store(0);
    while (!StopRequested()) {
      uint32_t events = 0;
      const int32_t r = WaitComEvent(events);
      if (r < 0) {
        // A wait that fails because the port is being stopped (the close
        // clears the event mask) is no device fault.
        if (!StopRequested()) {
          ReturnValue.store(r);
          d->StopThreadsAfterFailure();
        }
        break;
      }
      if ((events & platform::evRxChar) != 0) d->ReadEvent.Set();
      if ((events & StatusEventBits) == 0) continue;
      status = new (std::nothrow) TStatusBuffer();
      if (status == nullptr) {
        ReturnValue.store(ecNoQueueMemory);
        d->StopThreadsAfterFailure();
        break;
      }
      status->EventMask = events;
      d->InQueue->Append(status);
      status = nullptr;
    }
  } catch (...) {
    CloseOverlapped();
    delete status;
    d->ThreadGone(this);
    throw;
  }
  CloseOverlapped();
  delete status;
  d->ThreadGone(this);
}

// ---------------------------------------------------------------------------
// The write thread

int32_t TWriteThread::WaitForOverlapped(platform::CommIo& overlapped) {
  TSioWin32Dispatcher* const d = Owner;
  for (;;) {
    const platform::WaitResult w = overlapped.Wait(kSliceMs, d->OutputFlushEvent.get());
    if (w == platform::WaitResult::Signaled) return OverlappedResult(overlapped, ecDeviceWrite);
    if (w == platform::WaitResult::Signaled2) {
      // A flush: the rest of the block is dropped, so the device must stop
      // reading from it before it is released.
      d->Device->CancelIo(overlapped);
      return WriteEndedByFlush;
    }
    if (w != platform::WaitResult::Timeout || StopRequested()) {
      d->Device->CancelIo(overlapped);
      LastErrorCode = w == platform::WaitResult::Timeout ? platform::errOperationAborted
                                                         : platform::errGenFailure;
      return ecDeviceWrite;
    }
  }
}

bool TWriteThread::DataToWrite() {
  TSioWin32Dispatcher* const d = Owner;
  platform::CriticalSectionLock guard(d->OutputSection);
  return d->OutBuffer != nullptr && (d->OutBufFull || d->OutHead != d->OutTail);
}

int32_t TWriteThread::WriteOutput() {
  TSioWin32Dispatcher* const d = Owner;
  while (DataToWrite()) {
    std::unique_ptr<uint8_t[]> block;
    uint32_t n = 0;
    {
      platform::CriticalSectionLock guard(d->OutputSection);
      if (d->OutBuffer == nullptr) return 0;
      // Decided under the same lock as the amount: a flush since the test
      // above leaves head and tail equal, which would read as a full ring.
      if (!d->OutBufFull && d->OutHead == d->OutTail) return 0;
      n = d->OutHead > d->OutTail ? d->OutHead - d->OutTail : d->OutQue - d->OutTail + d->OutHead;
      block.reset(new (std::nothrow) uint8_t[n]);
      if (!block) {
        LastErrorCode = platform::errNotEnoughMemory;
        return ecDeviceWrite;
      }
      const uint32_t first = std::min(n, d->OutQue - d->OutTail);
      std::memcpy(block.get(), d->OutBuffer.get() + d->OutTail, first);
      if (first < n) std::memcpy(block.get() + first, d->OutBuffer.get(), n - first);
      d->OutHead = 0;
      d->OutTail = 0;
      d->OutBufFull = false;
    }
    uint32_t sent = 0;
    uint32_t retries = 0;  // line-error retries since the block last moved
    while (sent < n) {
      uint32_t written = 0;
      const uint32_t rc = d->Device->StartWrite(*Io, block.get() + sent, n - sent, written);
      if (rc == 0) {
        sent += written;
        retries = 0;
        continue;
      }
      // Aborted as it started (a flush's purge): the rest of the block is
      // dropped, as the flush asked.
      if (rc == platform::errOperationAborted) return 0;
      if (rc != platform::errIoPending) {
        if (ClearedLineError(rc, true, retries++)) continue;
        LastErrorCode = rc;
        return ecDeviceWrite;
      }
      const int32_t r = WaitForOverlapped(*Io);
      if (r == WriteEndedByFlush) {
        KeepWhilePending(nullptr, std::move(block));
        d->SignalEvent(d->ThreadReadyEvent.get());
        return 0;
      }
      if (r == ecDeviceWrite) {
        if (ClearedLineError(LastErrorCode, false, retries++)) {
          // The rest of the block goes out rather than being lost.
          uint32_t moved = 0;
          d->Device->GetResult(*Io, moved, false);
          sent += moved;
          if (moved != 0) retries = 0;
          continue;
        }
        KeepWhilePending(nullptr, std::move(block));
        return LastErrorCode == platform::errOperationAborted ? 0 : ecDeviceWrite;
      }
      sent += static_cast<uint32_t>(r);
      retries = 0;
    }
  }
  return 0;
}

void TWriteThread::Execute() {
  TSioWin32Dispatcher* const d = Owner;
  d->ThreadStart();
  try {
    ReturnValue.store(0);
    while (!StopRequested()) {
      const platform::WaitResult w =
          platform::WaitForEither(*d->OutputWaitEvent, *d->OutputFlushEvent, kSliceMs);
      if (w == platform::WaitResult::Signaled) {
        if (!d->KillThreads.load() && WriteOutput() != 0) {
          ReturnValue.store(ecDeviceWrite);
          d->StopThreadsAfterFailure();
        }
      } else if (w == platform::WaitResult::Signaled2) {
        d->SignalEvent(d->ThreadReadyEvent.get());  // acknowledges the flush
      } else if (w != platform::WaitResult::Timeout) {
        ReturnValue.store(ecDeviceWrite);
        d->StopThreadsAfterFailure();
      }
    }
  } catch (...) {
    CloseOverlapped();
    d->ThreadGone(this);
    throw;
  }
  CloseOverlapped();
  d->ThreadGone(this);
}

// ---------------------------------------------------------------------------
// The dispatcher

TSioWin32Dispatcher::TSioWin32Dispatcher(TComponent* owner)
    : TSioWin32Dispatcher(owner, std::make_shared<platform::CommDevice>()) {}

TSioWin32Dispatcher::TSioWin32Dispatcher(TComponent* owner,
                                         std::shared_ptr<platform::CommDevice> handed)
    : TSioBaseDispatcher(owner),
      Device(handed ? std::move(handed) : std::make_shared<platform::CommDevice>()) {}

TSioWin32Dispatcher::~TSioWin32Dispatcher() {
  // Closes the port and waits for every thread of it (one that would not end
  // at close too) while the device and ReadEvent still exist.
  Shutdown();
  if (ReleaseParkedIo() == 0) return;
  // The system still owns them: left to it rather than freed under it.
  platform::CriticalSectionLock guard(parkSection_);
  for (TParkedIo& p : parked_) {
    (void)p.Io.release();
    (void)p.Data.release();
    (void)p.Block.release();
  }
  parked_.clear();
}

void TSioWin32Dispatcher::ParkIo(TParkedIo parked) {
  platform::CriticalSectionLock guard(parkSection_);
  parked_.push_back(std::move(parked));
}

size_t TSioWin32Dispatcher::ReleaseParkedIo() {
  platform::CriticalSectionLock guard(parkSection_);
  for (TParkedIo& p : parked_) {
    if (p.Io && p.Io->Pending()) Device->CancelIo(*p.Io);
  }
  parked_.erase(std::remove_if(parked_.begin(), parked_.end(),
                               [](const TParkedIo& p) { return !p.Io || !p.Io->Pending(); }),
                parked_.end());
  return parked_.size();
}

void TSioWin32Dispatcher::StopThreadsAfterFailure() {
  KillThreads.store(true);
  // Each of the others is woken from its wait now rather than at the end
  // of it, so an unplugged port is released at once.
  ReadEvent.Set();
  inRoomEvent_.Set();
  SignalEvent(OutputWaitEvent.get());
  WakeDispatcherThread();
}

namespace {

// While an open waits for the system, the calling thread's messages are
// served, as every other wait of the port's life does: a window stays live
// while a Bluetooth port takes its time.
void ServeMessagesWhileOpening(void*, platform::Event& opened, uint32_t timeoutMs) {
  const uint32_t start = MillisecondClock();
  for (;;) {
    if (opened.Wait(0) == platform::WaitResult::Signaled) return;
    const uint32_t spent = MillisecondClock() - start;
    if (spent >= timeoutMs) return;
    const int32_t pumped = PumpOneMessage();
    if (pumped == 0) {
      platform::WaitForMessageOrEvent(opened, timeoutMs - spent);
    } else if (pumped == static_cast<int32_t>(platform::kMsgQuit)) {
      // The quit request stays queued for the main loop; do not spin on it.
      opened.Wait(timeoutMs - spent);
    }
  }
}

}  // namespace

int32_t TSioWin32Dispatcher::OpenCom(const char* comName, uint32_t, uint32_t) {
  platform::CommOpenWait serve;
  serve.wait = &ServeMessagesWhileOpening;
  const uint32_t rc = Device->Open(comName == nullptr ? std::string() : std::string(comName),
                                   OpenLimitMs.load(), serve);
  if (rc != 0) {
    lastError_.store(rc);
    return -1;
  }
  // Not fatal when the driver will not have it: the line settings that
  // follow may still take, and a read or write refused after a line error
  // is retried.
  platform::CommDcb kept;
  if (Device->GetState(kept) == 0) {
    const platform::CommDcb wanted = platform::DcbForOpen(kept, OpenDcbFlags.load());
    if (wanted.Flags != kept.Flags) Device->SetState(wanted);
  }
  const int32_t handle = NewDeviceHandle();
  DeviceHandle.store(handle);
  return handle;
}

int32_t TSioWin32Dispatcher::CloseCom() {
  platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) {
    KillThreads.store(true);
    auto gone = [](const std::atomic<TSioDispatcherThread*>& slot) {
      return [&slot] { return slot.load() == nullptr; };
    };
    // A device thread that has not ended after two periods (its wake-up
    // given again for the second) is let go like the dispatcher thread
    // below: the close goes on, and destruction still waits for it.
    if (StatusThread.load() != nullptr) {
      // A new mask completes the status thread's pending event wait. It is
      // given again while the thread has not ended: a wait the thread began
      // just after the first one is ended the same way (some systems cannot
      // cancel an event wait at all).
      Device->SetEventMask(0);
      SignalEvent(PassDoneEvent.get());
      int32_t waited = 0;
      while (!PumpUntil(gone(StatusThread), kMaskRetryTicks)) {
        waited += kMaskRetryTicks;
        if (waited >= 2 * kDispStopTicks) {
          AbandonThread(StatusThread);
          break;
        }
        Device->SetEventMask(0);
      }
    }
    if (WriteThread.load() != nullptr) {
      SignalEvent(OutputFlushEvent.get());
      if (!PumpUntil(gone(WriteThread), kDispStopTicks)) {
        SignalEvent(OutputFlushEvent.get());
        if (!PumpUntil(gone(WriteThread), kDispStopTicks)) AbandonThread(WriteThread);
      }
    }
    if (ReadThread.load() != nullptr) {
      ReadEvent.Set();
      inRoomEvent_.Set();
      if (ThreadReadyEvent) ThreadReadyEvent->Reset();
      if (!PumpUntil(gone(ReadThread), kDispStopTicks)) {
        ReadEvent.Set();
        inRoomEvent_.Set();
        if (!PumpUntil(gone(ReadThread), kDispStopTicks)) AbandonThread(ReadThread);
      }
    }
    // The dispatcher thread closing its own port cannot wait for itself.
    if (DispThread.load() != nullptr && !OnDispatcherThread()) {
      // It sits in its wait for work; the stop need not wait for that to
      // time out.
      WakeDispatcherThread();
      if (!PumpUntil(gone(DispThread), kDispStopTicks)) {
        SignalEvent(DispStopEvent.get());
        if (!PumpUntil(gone(DispThread), kDispStopTicks)) {
          // A handler holds it past every limit. It is let go, not destroyed:
          // it ends on its own, and the dispatcher's destruction waits for
          // it, so it never runs on freed memory.
          AbandonThread(DispThread);
        }
      }
    }
  }
  if (DeviceHandle.load() >= 0) {
    const uint32_t rc = Device->Close();
    if (rc != 0) {
      lastError_.store(rc);
      return -1;
    }
    DeviceHandle.store(-1);
    // Closing the device has ended whatever it still had under way.
    ReleaseParkedIo();
  }
  return 0;
}

void TSioWin32Dispatcher::StartDispatcher() {
  platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) throw ESioException(kDispatcherAlreadyStarted);
  ThreadsRunning.store(true);
  KillThreads.store(false);
  const platform::ThreadPriority priority = PriorityLevel(ThreadBoost + 3);
  // Counted as one more running thread while the four start: one that ends
  // at once must not make the port look stopped while the next is starting.
  ActiveThreads.fetch_add(1);
  ReadyThreads.store(0);
  if (ThreadReadyEvent) ThreadReadyEvent->Reset();
  bool started = true;
  int32_t launched = 0;
  auto launch = [this, priority, &started, &launched](std::atomic<TSioDispatcherThread*>& slot,
                                                      TSioDispatcherThread* thread) {
    if (!started) {
      delete thread;
      return;
    }
    if (LaunchThread(slot, thread, priority)) {
      ++launched;
    } else {
      started = false;
    }
  };
  launch(ReadThread, new TReadThread(this));
  launch(DispThread, new TDispThread(this));
  launch(WriteThread, new TWriteThread(this));
  launch(StatusThread, new TStatusThread(this));
  // The threads start side by side; the port is ready once each of them has
  // reached its start. Late ones are not waited for any longer than this.
  if (ThreadReadyEvent) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kThreadReadyMs);
    while (ReadyThreads.load() < launched) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      ThreadReadyEvent->Wait(static_cast<uint32_t>(left));
    }
  }
  // Without all four the port cannot work: those that run are told to end.
  if (!started) KillThreads.store(true);
  ThreadStartFailed.store(!started);
  if (ActiveThreads.fetch_sub(1) == 1) ThreadsRunning.store(false);
}

void TSioWin32Dispatcher::StopDispatcher() {
  platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) (void)CloseCom();
  // The six events live until destruction, so that a late thread never
  // signals a freed one; from here they count as closed.
  EventsOpen.store(false);
}

int32_t TSioWin32Dispatcher::ReadCom(uint8_t* buf, int32_t size) {
  // Empties as many data buffers as the request needs and stops at the first
  // status buffer, which the dispatcher thread's status pass takes.
  const int32_t n = InQueue->ReadData(buf, size);
  if (n > 0) RoomMade();
  return n;
}

void TSioWin32Dispatcher::RoomMade() {
  if (roomWanted_.exchange(false)) inRoomEvent_.Set();
}

uint32_t TSioWin32Dispatcher::InQueueLimit() const {
  return std::max<uint32_t>(InQue, static_cast<uint32_t>(ReadBufferSize)) * InQueueSizeFactor;
}

bool TSioWin32Dispatcher::RoomFor(const TDataBuffer& buffer) const {
  const auto queued = static_cast<uint32_t>(std::max(InQueue->QueuedBytes(), 0));
  return queued + static_cast<uint32_t>(buffer.DataSize) <= InQueueLimit();
}

bool TSioWin32Dispatcher::QueueReceived(TDataBuffer* buffer) {
  // Only the read thread adds data buffers, so the room cannot shrink
  // between the look and the append.
  if (RoomFor(*buffer)) {
    InQueue->Append(buffer);
    overrunning_.store(false);
    return true;
  }
  InputDropped.fetch_add(static_cast<uint64_t>(buffer->Filled));
  rxOverrun_.store(true);
  if (!overrunning_.exchange(true)) {
    // Reported as the line error a driver's overrun is, once per overrun.
    auto* status = new (std::nothrow) TStatusBuffer();
    if (status != nullptr) {
      status->EventMask = platform::evErr;
      InQueue->Append(status);
    }
  }
  buffer->Filled = 0;
  return false;
}

uint32_t TSioWin32Dispatcher::InQueueUsed() {
  return InQueue->FirstDataUnread();
}

int32_t TSioWin32Dispatcher::WriteCom(const uint8_t* buf, int32_t size) {
  {
    platform::CriticalSectionLock guard(OutputSection);
    // After the device has gone (a failed thread closed it, or the port was
    // closed) output is answered as on a port that is not open, rather than
    // left in a ring nobody drains or copied into a released one.
    if (OutBuffer == nullptr || DeviceHandle.load() < 0 || size < 0) return ecCommNotOpen;
    CopyIntoOutputRing(buf, static_cast<uint32_t>(size));
  }
  SignalEvent(OutputWaitEvent.get());
  return size;
}

uint32_t TSioWin32Dispatcher::OutBufUsed() {
  return OutputRingUsed();
}

int32_t TSioWin32Dispatcher::FlushCom(int32_t queue) {
  if (queue == 0) {
    if (WriteThread.load() == nullptr) return 0;
    {
      platform::CriticalSectionLock guard(OutputSection);
      OutBufFull = false;
      OutHead = 0;
      OutTail = 0;
    }
    const uint32_t rc = Device->Purge(platform::purgeTxAbort | platform::purgeTxClear);
    if (ThreadReadyEvent) ThreadReadyEvent->Reset();
    SignalEvent(OutputFlushEvent.get());
    if (ThreadReadyEvent) ThreadReadyEvent->Wait(kFlushAckMs);
    if (rc != 0) lastError_.store(rc);
    return rc == 0 ? 1 : 0;
  }
  const uint32_t rc = Device->Purge(platform::purgeRxAbort | platform::purgeRxClear);
  InQueue->Clear();
  RoomMade();
  if (rc != 0) lastError_.store(rc);
  return rc == 0 ? 1 : 0;
}

int32_t TSioWin32Dispatcher::EscapeComFunction(int32_t func) {
  Device->Escape(static_cast<uint32_t>(func));
  return 0;
}

uint32_t TSioWin32Dispatcher::GetComError(platform::CommStat& stat) {
  uint32_t errors = 0;
  if (Device->ClearError(errors, &stat) != 0) errors = 0;
  if (rxOverrun_.exchange(false)) errors |= platform::ceRxOver;
  errors |= clearedLineErrors_.exchange(0);
  stat.cbOutQue = OutBufUsed();
  return errors;
}

int32_t TSioWin32Dispatcher::GetComEventMask(int32_t) {
  return 0;
}

int32_t TSioWin32Dispatcher::GetComState(platform::CommDcb& dcb) {
  const uint32_t rc = Device->GetState(dcb);
  if (rc != 0) {
    lastError_.store(rc);
    return -1;
  }
  return 0;
}

int32_t TSioWin32Dispatcher::SetComState(platform::CommDcb& dcb) {
  const uint32_t rc = Device->SetState(dcb);
  if (rc == 0) return 0;
  lastError_.store(rc);
  return -static_cast<int32_t>(rc & 0x7FFFFFFFu);
}

bool TSioWin32Dispatcher::CheckCom(int32_t& value) {
  value = 0;
  return true;
}

bool TSioWin32Dispatcher::SetupComPrim(uint32_t inSize, uint32_t outSize) {
  const uint32_t rc = Device->SetupQueues(inSize, outSize);
  if (rc == 0) return true;
  lastError_.store(rc);
  return false;
}

int32_t TSioWin32Dispatcher::YieldCom() {
  platform::SleepMs(0);
  return 0;
}

bool TSioWin32Dispatcher::GetModemStatusRaw(uint32_t& status) {
  uint32_t lines = 0;
  if (Device->GetModemStatus(lines) != 0) return false;
  status = lines;
  return true;
}

uint32_t TSioWin32Dispatcher::LastDeviceError() {
  return lastError_.load();
}

// ---------------------------------------------------------------------------
// The telephony variant

TSioTAPI32Dispatcher::TSioTAPI32Dispatcher(TComponent* owner, int32_t handle,
                                           std::shared_ptr<platform::CommDevice> line)
    : TSioWin32Dispatcher(owner, std::move(line)) {
  if (handle != 0) DeviceHandle.store(handle);
}

TSioTAPI32Dispatcher::~TSioTAPI32Dispatcher() {
  Shutdown();
}

int32_t TSioTAPI32Dispatcher::OpenCom(const char*, uint32_t, uint32_t) {
  const int32_t handle = DeviceHandle.load();
  if (handle != 0 && handle != -1) return handle;
  SetDeviceError(static_cast<uint32_t>(-ecCommNotOpen));
  return ecCommNotOpen;
}

}  // namespace sio
