// The threads of an open port and what they share with the dispatcher: the
// thread base every device layer derives its threads from, the dispatcher
// thread, the count of calls handed to the user-interface thread, and the
// registry that maps a trigger message back to its dispatcher. Internal to
// the serial layer.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "serial/dispatch/dispatcher.h"

namespace sio {

// The base of every thread of an open port. It runs Execute once, then frees
// itself; the dispatcher keeps count of its threads so that it is never
// destroyed under one of them.
class TSioDispatcherThread : public platform::Thread {
 public:
  explicit TSioDispatcherThread(TSioBaseDispatcher* dispatcher);
  virtual ~TSioDispatcherThread();

  // Runs Method(Msg, Trigger, lParam) on the user-interface thread and waits
  // for it; its exception is raised again here.
  void SyncEvent(uint32_t Msg, uint32_t Trigger, uint32_t lParam, const TTriggerEvent& Method);
  // Runs a parameterless method on the user-interface thread and waits.
  void SyncMethod(const TMethod<void()>& Method);

  void Terminate() { Terminated.store(true); }

  std::atomic<bool> Terminated{false};
  // 0, or the negative error code the thread ended with.
  std::atomic<int32_t> ReturnValue{0};

  // The pending synchronised call.
  uint32_t SyncMsg = 0;
  uint32_t SyncTrigger = 0;
  uint32_t SyncLParam = 0;
  TTriggerEvent SyncHandler;

  TSioBaseDispatcher* const Dispatcher;

 protected:
  friend class TSioBaseDispatcher;
  virtual void Execute() = 0;

 private:
  static uint32_t ThreadMain(void* arg);
  static void RunSyncEvent(void* self);
};

// The dispatcher thread: drains InQueue into the dispatch buffer, evaluates
// the triggers and delivers their events.
class TDispThread : public TSioDispatcherThread {
 public:
  using TSioDispatcherThread::TSioDispatcherThread;

 protected:
  void Execute() override;
};

// Counts a call handed to the user-interface thread for as long as it runs.
class HandOver {
 public:
  explicit HandOver(std::atomic<int32_t>& count) : count_(count) { count_.fetch_add(1); }
  ~HandOver() { count_.fetch_sub(1); }
  HandOver(const HandOver&) = delete;
  HandOver& operator=(const HandOver&) = delete;

 private:
  std::atomic<int32_t>& count_;
};

// --- The dispatcher registry ------------------------------------------------

// DispatcherRegistryLock() (dispatcher.h) is held while mapping an index to
// a dispatcher and using what it finds.
// The dispatcher in registry slot Index, or nullptr for an empty slot or an
// index outside the list. The caller holds DispatcherRegistryLock().
TSioBaseDispatcher* DispatcherFromHandleIndex(int32_t Index);
// Number of slots (trailing empty slots are trimmed). Under the lock.
int32_t DispatcherRegistryCount();

}  // namespace sio
