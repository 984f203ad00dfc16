// The packet manager: one per serial port component that has packet
// matchers. It reads every block of received bytes into a buffer of its own
// (as an event-method handler of the port's dispatcher, on the dispatcher
// thread), offers the buffer to its matchers in attach order, keeps at most
// one matcher collecting at a time and arms that matcher's time-out, discards
// bytes once a packet has been delivered, and starts and stops its matchers
// when the port opens and closes. The manager list finds the manager of a
// port and frees the managers left at program end.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "../../platform/message_loop.h"
#include "../../platform/sync.h"
#include "../../platform/thread_annotations.h"
#include "../support/component.h"
#include "../support/lock_order.h"

namespace sio {

class TSioBaseDispatcher;
class TSioCustomComPort;
class TSioDataPacket;

// The manager's own posted messages to its hidden window (user-interface
// thread): free an empty manager later; show failures met on the
// dispatcher thread.
constexpr uint32_t kMsgPacketManagerRelease = 45089;
constexpr uint32_t kMsgPacketManagerReport = 45090;
// The system's shutdown query, answered "may proceed".
constexpr uint32_t kMsgQueryEndSession = 17;

// The buffer grows in steps of this many bytes.
constexpr int32_t PacketBufferStep = 8192;
// Emptied storage up to this size is kept for the next block.
constexpr int32_t PacketBufferKept = 4 * PacketBufferStep;

// A re-entrant lock that its owner can leave completely and enter again to
// the same depth: the manager's lock is never held while a user's handler
// runs or while the dispatcher thread waits in the hand-over. To the
// thread-safety analysis, leaving every level is one release and entering
// them again one acquisition.
class SIO_CAPABILITY("lock") TPacketLock {
 public:
  void Enter() SIO_ACQUIRE();
  void Leave() SIO_RELEASE();
  // Leaves every level the calling thread holds; the count to give back.
  [[nodiscard]] int32_t LeaveAll() SIO_RELEASE();
  void EnterAgain(int32_t depth) SIO_ACQUIRE();
  bool HeldByCaller() const;

 private:
  platform::CriticalSection cs_{lock_order::kPacketManager};
  std::atomic<uint64_t> owner_{0};
  int32_t depth_ SIO_GUARDED_BY(cs_) = 0;
};

class SIO_SCOPED_CAPABILITY TPacketLockGuard {
 public:
  explicit TPacketLockGuard(TPacketLock& lock) SIO_ACQUIRE(lock) : lock_(lock) { lock_.Enter(); }
  ~TPacketLockGuard() SIO_RELEASE() { lock_.Leave(); }
  TPacketLockGuard(const TPacketLockGuard&) = delete;
  TPacketLockGuard& operator=(const TPacketLockGuard&) = delete;

 private:
  TPacketLock& lock_;
};

// Leaves the lock for the scope (a handler call, the hand-over) and enters
// it again to the same depth afterwards. (The analysis's form of a scoped
// release: the destructor is annotated as a release of the scope, which it
// reads as taking the lock again.)
class SIO_SCOPED_CAPABILITY TPacketUnlockScope {
 public:
  explicit TPacketUnlockScope(TPacketLock& lock) SIO_RELEASE(lock)
      : lock_(lock), depth_(lock.LeaveAll()) {}
  ~TPacketUnlockScope() SIO_RELEASE() { lock_.EnterAgain(depth_); }
  TPacketUnlockScope(const TPacketUnlockScope&) = delete;
  TPacketUnlockScope& operator=(const TPacketUnlockScope&) = delete;

 private:
  TPacketLock& lock_;
  int32_t depth_;
};

class TSioDataPacketManager {
 public:
  explicit TSioDataPacketManager(TSioCustomComPort* Port);
  ~TSioDataPacketManager();
  TSioDataPacketManager(const TSioDataPacketManager&) = delete;
  TSioDataPacketManager& operator=(const TSioDataPacketManager&) = delete;

  // --- Called by matchers (user-interface thread unless noted) ---
  void AddPacket(TSioDataPacket* Packet);
  void RemovePacket(TSioDataPacket* Packet);
  void ActivateIfPending();

  // --- Called by the port and its dispatcher ---
  // The port's extended user callback: ctOpen, ctClosing or ctClosed.
  void PortNotify(TComponent* Port, uint8_t Kind);
  // The event method registered with the dispatcher (dispatcher thread).
  void TriggerHandler(uint32_t Msg, uint32_t TriggerHandle, uint32_t Data);

  // --- State, for the matchers and for inspection ---
  TSioCustomComPort* GetPort() const;
  bool GetActive() const;
  bool GetAttached() const;
  bool GetInEvent() const;
  TSioDataPacket* GetCapturePacket() const;
  int32_t GetDataLen() const;
  int32_t GetCapacity() const;
  [[nodiscard]] int32_t PacketCount() const;
  TSioDataPacket* GetPacket(int32_t Index) const;
  int32_t GetTimerTrigger() const;
  platform::WindowHandle GetWindow() const { return window_; }

  // The lock every entry takes. Lock order (its rank,
  // lock_order::kPacketManager, checks it): the dispatcher registry lock,
  // then this lock, then the dispatcher's own sections (DataSection before
  // DispSection or OutputSection). It is never held while a user's handler
  // runs, while the hand-over waits, or while anything waits for a
  // dispatcher thread; the dispatcher's LifecycleSection is never taken
  // under it.
  TPacketLock& Lock() const SIO_RETURN_CAPABILITY(lock_) { return lock_; }

 private:
  friend class TSioDataPacket;
  friend class TSioDataPacketManagerList;
  friend platform::LResult PacketWindowProc(platform::WindowHandle, uint32_t, platform::WParam,
                                            platform::LParam);
  class TPortWatch;

  // All of these expect the lock held.
  void SetActive(bool Value) SIO_REQUIRES(lock_);
  void Attach() SIO_REQUIRES(lock_);
  void Detach() SIO_REQUIRES(lock_);
  void StartAll() SIO_REQUIRES(lock_);
  void StopAll() SIO_REQUIRES(lock_);
  void OfferData(int32_t Start) SIO_REQUIRES(lock_);
  void OfferPass(int32_t Start) SIO_REQUIRES(lock_);
  void SetCapture(TSioDataPacket* Packet, int32_t TimeOut) SIO_REQUIRES(lock_);
  void ReleaseCapture(TSioDataPacket* Packet) SIO_REQUIRES(lock_);
  void SetInEvent(bool Value) SIO_REQUIRES(lock_);
  void RemoveData(int32_t Start, int32_t Count) SIO_REQUIRES(lock_);
  void FreeBuffer() SIO_REQUIRES(lock_);
  // Forgets the buffered bytes, keeping the storage when it can.
  void DiscardBuffered() SIO_REQUIRES(lock_);
  void ReadAvailable(uint32_t Count) SIO_REQUIRES(lock_);
  bool Contains(const TSioDataPacket* Packet) const SIO_REQUIRES(lock_);
  // Starts a matcher after an event, or restarts one for a capture. A
  // failure disables that matcher and is reported on the user-interface
  // thread, on either thread: it is not the failure of whatever call (or
  // event) happened to run the start.
  void StartGuarded(TSioDataPacket* Packet, bool Restart) SIO_REQUIRES(lock_);
  void Disable(TSioDataPacket* Packet) SIO_REQUIRES(lock_);
  void NoteFailure(std::exception_ptr Error) SIO_REQUIRES(lock_);
  // Deliveries keep their buffer alive: released storage waits here while
  // one is in progress.
  void RetireStorage() SIO_REQUIRES(lock_);
  void EnterDelivery() SIO_REQUIRES(lock_);
  void LeaveDelivery() SIO_REQUIRES(lock_);
  // The port is being destroyed.
  void PortGone();
  void HandleWindowMessage(uint32_t Msg);
  // Shows the failures met on the dispatcher thread; never under the lock
  // (a message box serves messages while it is up).
  void ReportFailures() SIO_EXCLUDES(lock_);

  mutable TPacketLock lock_;

  // Read and written only with lock_ held:
  std::vector<TSioDataPacket*> packetList_ SIO_GUARDED_BY(lock_);   // FPacketList
  TSioCustomComPort* port_ SIO_GUARDED_BY(lock_) = nullptr;         // FPort
  TSioBaseDispatcher* dispatcher_ SIO_GUARDED_BY(lock_) = nullptr;  // the dispatcher attached to
  int32_t handleIndex_ SIO_GUARDED_BY(lock_) = -1;                  // its HandleIndex
  // The dispatcher last detached from: freed only once it delivers no
  // event that may still call us.
  TSioBaseDispatcher* detachedFrom_ SIO_GUARDED_BY(lock_) = nullptr;
  bool attached_ SIO_GUARDED_BY(lock_) = false;                    // FAttached
  bool active_ SIO_GUARDED_BY(lock_) = false;                      // FActive
  std::unique_ptr<uint8_t[]> data_ SIO_GUARDED_BY(lock_);          // FData
  int32_t dataLen_ SIO_GUARDED_BY(lock_) = 0;                      // FDataLen
  int32_t capacity_ SIO_GUARDED_BY(lock_) = 0;                     // FCapacity
  TSioDataPacket* capturePacket_ SIO_GUARDED_BY(lock_) = nullptr;  // FCapturePacket
  int32_t timerTrigger_ SIO_GUARDED_BY(lock_) = 0;                 // FTimerTrigger
  bool inEvent_ SIO_GUARDED_BY(lock_) = false;                     // FInEvent
  bool dataPending_ SIO_GUARDED_BY(lock_) = false;                 // FDataPending
  int32_t pendingStart_ SIO_GUARDED_BY(lock_) = 0;                 // FPendingStart
  bool activateAfterLoad_ SIO_GUARDED_BY(lock_) = false;           // FActivateAfterLoad
  bool destroying_ SIO_GUARDED_BY(lock_) = false;                  // FDestroying
  // Counts every change that makes indexes into the buffer meaningless (a
  // release by a close, a detach); a delivery that began before one leaves
  // the buffer alone and skips its handlers.
  uint32_t epoch_ SIO_GUARDED_BY(lock_) = 0;
  // Counts every removal of delivered bytes, so an offer can tell that the
  // buffer has been shortened under it.
  uint32_t removals_ SIO_GUARDED_BY(lock_) = 0;
  // Deliveries and handler calls in progress (either thread); storage that
  // was released during one of them.
  int32_t deliveries_ SIO_GUARDED_BY(lock_) = 0;
  std::vector<std::unique_ptr<uint8_t[]>> retired_ SIO_GUARDED_BY(lock_);
  // The matcher whose delivery or time-out is in progress, and whether it
  // was freed or detached meanwhile.
  TSioDataPacket* eventPacket_ SIO_GUARDED_BY(lock_) = nullptr;
  bool eventPacketGone_ SIO_GUARDED_BY(lock_) = false;
  // Nested offers on the stack: a re-offer asked for inside one is left to
  // the running loop instead of recursing.
  int32_t offerDepth_ SIO_GUARDED_BY(lock_) = 0;
  // The thread inside TriggerHandler (0: none).
  uint64_t handlerThread_ SIO_GUARDED_BY(lock_) = 0;
  std::vector<std::exception_ptr> failures_ SIO_GUARDED_BY(lock_);
  bool releasePosted_ SIO_GUARDED_BY(lock_) = false;

  // Set on the user-interface thread only.
  platform::WindowHandle window_ = nullptr;  // FWindow
  std::unique_ptr<TComponent> portWatch_;
};

// The manager window's procedure.
platform::LResult PacketWindowProc(platform::WindowHandle hwnd, uint32_t msg,
                                   platform::WParam wParam, platform::LParam lParam);

class TSioDataPacketManagerList {
 public:
  TSioDataPacketManagerList() = default;
  // Frees the remaining managers, last first, each after it has let go of
  // its port.
  ~TSioDataPacketManagerList();
  TSioDataPacketManagerList(const TSioDataPacketManagerList&) = delete;
  TSioDataPacketManagerList& operator=(const TSioDataPacketManagerList&) = delete;

  void AddManager(TSioDataPacketManager* Manager);
  void RemoveManager(TSioDataPacketManager* Manager);
  TSioDataPacketManager* GetPortManager(const TSioCustomComPort* Port) const;
  [[nodiscard]] int32_t Count() const;
  // Frees every manager now (what the end of the program does).
  void FreeAll();

 private:
  // Managers are created, found and freed on the user-interface thread; the
  // lock only keeps a look-up from another thread consistent.
  mutable platform::CriticalSection lock_{lock_order::kPacketManagerList};
  std::vector<TSioDataPacketManager*> managers_ SIO_GUARDED_BY(lock_);
};

// The one list of the program, made when the packet unit is initialised.
TSioDataPacketManagerList& PacketManagers();

}  // namespace sio
