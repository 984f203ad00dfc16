// The dispatcher thread: the thread base shared by the device layer's
// threads, the report of an exception that ended one, and the loop that
// drains the input queue and runs the checks.
#include <algorithm>
#include <cstdio>

#include "serial/dispatch/dispatcher.h"

#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio {

namespace {

std::atomic<TThreadExceptionReporter> threadExceptionReporter{nullptr};

using platform::evBreak;
using platform::evCts;
using platform::evDsr;
using platform::evErr;
using platform::evRing;
using platform::evRingTrailing;
using platform::evRlsd;

constexpr uint32_t kModemEvents = evCts | evDsr | evRlsd | evRing | evRingTrailing;
constexpr uint32_t kRingEvents = evRing | evRingTrailing;
constexpr uint32_t kLineEvents = evBreak | evErr;

void RunMethodThunk(void* context) {
  (*static_cast<const TMethod<void()>*>(context))();
}

}  // namespace

void SetThreadExceptionReporter(TThreadExceptionReporter reporter) {
  threadExceptionReporter.store(reporter);
}

void ShowThreadException(std::exception_ptr error) {
  if (!error) return;
  if (TThreadExceptionReporter reporter = threadExceptionReporter.load()) {
    reporter(error);
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "%s\n", kSioExceptionText);
  }
}

// ---------------------------------------------------------------------------
// Threads

TSioDispatcherThread::TSioDispatcherThread(TSioBaseDispatcher* dispatcher)
    : Dispatcher(dispatcher) {}

TSioDispatcherThread::~TSioDispatcherThread() = default;

uint32_t TSioDispatcherThread::ThreadMain(void* arg) {
  auto* self = static_cast<TSioDispatcherThread*>(arg);
  TSioBaseDispatcher* const dispatcher = self->Dispatcher;
  const std::shared_ptr<platform::Event> ended = dispatcher->ThreadEnded;
  std::exception_ptr error;
  try {
    self->Execute();
  } catch (...) {
    error = std::current_exception();
  }
  const auto exitCode = static_cast<uint32_t>(self->ReturnValue.load());
  // The last touch of the dispatcher: from here it may be destroyed.
  dispatcher->launchedThreads_.fetch_sub(1);
  if (error) ShowThreadException(error);
  delete self;
  ended->Set();
  return exitCode;
}

void TSioDispatcherThread::RunSyncEvent(void* context) {
  auto* self = static_cast<TSioDispatcherThread*>(context);
  self->SyncHandler(self->SyncMsg, self->SyncTrigger, self->SyncLParam);
}

void TSioDispatcherThread::SyncEvent(uint32_t Msg, uint32_t Trigger, uint32_t lParam,
                                     const TTriggerEvent& Method) {
  SyncMsg = Msg;
  SyncTrigger = Trigger;
  SyncLParam = lParam;
  SyncHandler = Method;
  Dispatcher->HandOverToUserInterface(&TSioDispatcherThread::RunSyncEvent, this);
}

void TSioDispatcherThread::SyncMethod(const TMethod<void()>& Method) {
  TMethod<void()> copy = Method;
  Dispatcher->HandOverToUserInterface(&RunMethodThunk, &copy);
}

void TDispThread::Execute() {
  TSioBaseDispatcher* const d = Dispatcher;
  d->dispThreadId_.store(platform::CurrentThreadId());
  d->ActiveThreads.fetch_add(1);
  d->ReadyThreads.fetch_add(1);
  d->SignalEvent(d->ThreadReadyEvent.get());
  std::exception_ptr error;
  try {
    for (;;) {
      d->WaitForDispatchWork();
      if (d->KillThreads.load() || Terminated.load()) break;
      d->ProcessCommEvents();
      d->ProcessTimers();
      if (d->KillThreads.load() || d->ClosePending.load() || Terminated.load()) break;
    }
    d->SignalEvent(d->ThreadReadyEvent.get());
  } catch (...) {
    error = std::current_exception();
    // Nothing would drain the queue or deliver an event again: the port is
    // released as after an unplug, and the other threads stop.
    d->KillThreads.store(true);
  }
  d->DoDonePortPrim.store(d->ClosePending.load() || d->KillThreads.load());
  d->ThreadGone(this);
  if (error) std::rethrow_exception(error);
}

bool TSioBaseDispatcher::LaunchThread(std::atomic<TSioDispatcherThread*>& slot,
                                      TSioDispatcherThread* thread,
                                      platform::ThreadPriority priority) {
  launchedThreads_.fetch_add(1);
  {
    platform::CriticalSectionLock guard(ThreadSection);
    slot.store(thread);
  }
  if (thread->Start(&TSioDispatcherThread::ThreadMain, thread, priority)) return true;
  {
    platform::CriticalSectionLock guard(ThreadSection);
    if (slot.load() == thread) slot.store(nullptr);
  }
  launchedThreads_.fetch_sub(1);
  delete thread;
  return false;
}

void TSioBaseDispatcher::AbandonThread(std::atomic<TSioDispatcherThread*>& slot) {
  platform::CriticalSectionLock guard(ThreadSection);
  if (TSioDispatcherThread* t = slot.load()) {
    t->Terminate();
    slot.store(nullptr);
  }
}

bool TSioBaseDispatcher::OnDispatcherThread() const {
  return dispThreadId_.load() != 0 && dispThreadId_.load() == platform::CurrentThreadId();
}

void TSioBaseDispatcher::WaitForDispatchWork() {
  if (stalled_.load()) {
    // The ring is full and the queue holds data: nothing can move until a
    // handler makes room, so wait for that (or the next timer round).
    roomEvent_.Wait(50);
  } else {
    InQueue->WaitForData(50);
  }
}

void TSioBaseDispatcher::ThreadStart() {
  ActiveThreads.fetch_add(1);
  ReadyThreads.fetch_add(1);
  SignalEvent(ThreadReadyEvent.get());
}

void TSioBaseDispatcher::ThreadGone(TSioDispatcherThread* thread) {
  try {
    RaiseIfError(Owner, thread->ReturnValue.load());
  } catch (...) {
    ShowThreadException(std::current_exception());
  }
  bool wasDispatcher = false;
  {
    platform::CriticalSectionLock guard(ThreadSection);
    for (auto* slot : {&ReadThread, &DispThread, &WriteThread, &StatusThread}) {
      if (slot->load() == thread) {
        slot->store(nullptr);
        wasDispatcher = slot == &DispThread;
      }
    }
  }
  if (wasDispatcher) dispThreadId_.store(0);
  // The close waits for the slot, not for the release below, which needs
  // the lock the close holds.
  ThreadEnded->Set();
  if (wasDispatcher && DoDonePortPrim.load() && !destroying_.load()) {
    try {
      DonePortPrim();
    } catch (...) {
      ShowThreadException(std::current_exception());
    }
    DoDonePortPrim.store(false);
  }
  if (ActiveThreads.fetch_sub(1) == 1) ThreadsRunning.store(false);
}

platform::ThreadPriority TSioBaseDispatcher::PriorityLevel(int32_t level) const {
  level = std::clamp(level, 0, 6);
  return static_cast<platform::ThreadPriority>(level);
}

// ---------------------------------------------------------------------------
// The loop

void TSioBaseDispatcher::RunStatusTriggerLoop() {
  while (CheckStatusTriggers()) {
    if (ClosePending.load()) return;
  }
}

void TSioBaseDispatcher::ResetStatusFired() {
  platform::CriticalSectionLock guard(DataSection);
  if (!StatusFired) return;
  for (auto& t : StatusTriggers)
    t->Fired = false;
  StatusFired = false;
}

void TSioBaseDispatcher::ProcessCommEvents() {
  CurrentEvent = 0;
  if (TIOBuffer* item = InQueue->PeekFirst()) {
    if (auto* status = dynamic_cast<TStatusBuffer*>(item)) {
      CurrentEvent = status->EventMask;
      delete InQueue->RemoveFirst();
    } else {
      InQueue->Release(item);
    }
  }
  if ((CurrentEvent & kRingEvents) != 0) RingFlag.store(true);

  if ((CurrentEvent & kModemEvents) != 0) {
    RefreshModemStatus();
    if (!DispActive.load()) {
      RunStatusTriggerLoop();
      if (ClosePending.load()) return;
      ResetStatusFired();
    }
  }
  if ((CurrentEvent & kLineEvents) != 0) {
    RefreshLineError();
    if (!DispActive.load()) {
      RunStatusTriggerLoop();
      if (ClosePending.load()) return;
      ResetStatusFired();
    }
  }

  FillDispatchBuffer();

  if (!DispActive.load()) {
    const uint8_t status = GetModemStatus();
    {
      platform::CriticalSectionLock guard(DataSection);
      ModemStatus = status;
    }
    RunStatusTriggerLoop();
    if (ClosePending.load()) return;
    while (CheckDataTriggers()) {
      if (ClosePending.load()) return;
    }
    if (ClosePending.load()) return;
  }
  ResetStatusFired();

  {
    platform::CriticalSectionLock guard(DispSection);
    // Full and still full after the handlers ran: wait for room, not spin.
    stalled_.store(DBufFull && InQueue->Count() > 0);
  }
  if (EventsOpen.load()) SignalEvent(PassDoneEvent.get());
}

void TSioBaseDispatcher::ProcessTimers() {
  if (ClosePending.load() || DispActive.load()) return;
  {
    platform::CriticalSectionLock guard(DataSection);
    StatusFired = false;
  }
  for (;;) {
    const bool fired = CheckStatusTriggers() || CheckTimerTriggers();
    if (!fired || ClosePending.load()) break;
  }
  ResetStatusFired();
}

}  // namespace sio
