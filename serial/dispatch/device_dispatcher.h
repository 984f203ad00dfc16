// The threaded device layer over a real serial device: the read thread moves
// received bytes into InQueue in data buffers, the status thread waits
// for line events, wakes the reader and queues status items, and the write
// thread drains the output ring to the device, beside the dispatcher thread.
// Every device call goes through platform::CommDevice.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/comm.h"
#include "platform/sync.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"

namespace sio {

class TSioWin32Dispatcher;

// A thread could not get a queue buffer ("No memory").
constexpr int32_t ecNoQueueMemory = -13868;
// What the write thread's wait gives when a flush ends the write: not a
// failure, the rest of the block is dropped.
constexpr int32_t WriteEndedByFlush = -1;
// The size of every data buffer the read thread queues. Nothing outside the
// dispatcher sees it; on POSIX one system read per 4 KiB rather than per 256
// bytes takes about half the processor time off a large transfer.
constexpr int32_t ReadBufferSize = static_cast<int32_t>(platform::kCommReadPieceSize);
// InQueue holds at most this many times the input queue size (InSize) in
// data buffers; what the read thread receives beyond that is dropped as a
// driver drops input on a receive overrun.
constexpr uint32_t InQueueSizeFactor = 16;
// How long the read thread waits for a full InQueue to make room for what it
// has read before that is dropped: meanwhile the device holds what arrives,
// so a reader that keeps up on average loses nothing to a short delay.
constexpr uint32_t InQueueRoomWaitMs = 50;
// The event masks the status thread asks for: NT-family systems (and every
// host this layer runs on) know no trailing-edge-of-ring event.
constexpr uint32_t CommMaskNT = platform::evRxChar | platform::evCts | platform::evDsr |
                                platform::evRlsd | platform::evBreak | platform::evErr |
                                platform::evRing;
constexpr uint32_t CommMaskTrailingRing = platform::evRingTrailing;
// The events that are queued as status buffers; a bare received-character
// event only wakes the reader.
constexpr uint32_t StatusEventBits = (CommMaskNT & ~platform::evRxChar) | CommMaskTrailingRing;
// The mask the status thread sets for a first mask Mask: where the reader
// waits for input itself, received characters are nobody's to be woken for.
constexpr uint32_t StatusThreadMask(uint32_t Mask) {
  return platform::kCommReaderWaitsForInput ? Mask & ~platform::evRxChar : Mask;
}

// A worker thread of the device layer, with its own overlapped-operation
// record for all its device calls.
class TSioWin32Thread : public TSioDispatcherThread {
 public:
  explicit TSioWin32Thread(TSioWin32Dispatcher* dispatcher);
  ~TSioWin32Thread() override;

  // Waits for the record's operation in 100 ms slices: the count on
  // completion, 0 when the thread is told to stop first (the operation is
  // then cancelled, so nothing writes into a buffer that is about to go),
  // -161 on failure (LastErrorCode tells why).
  [[nodiscard]] virtual int32_t WaitForOverlapped(platform::CommIo& Overlapped);

  // The platform's error number of this thread's last failed device call.
  uint32_t LastErrorCode = 0;

 protected:
  bool StopRequested() const;
  // The record's result once signalled: the count, or ErrorCode with
  // LastErrorCode set.
  [[nodiscard]] int32_t OverlappedResult(platform::CommIo& Overlapped, int32_t ErrorCode);
  // Ends a pending operation and closes the record.
  void CloseOverlapped();
  // When the system still owns the record's operation (a cancel that did not
  // end it in time), the record and the memory the operation uses go to the
  // dispatcher, which frees them once it has ended, and the thread gets a
  // new record; otherwise the memory is freed here.
  void KeepWhilePending(std::unique_ptr<TDataBuffer> Data, std::unique_ptr<uint8_t[]> Block);
  // After a read or write ended with Error (AtOnce: refused when started):
  // true when a line error under abort-on-error ended it; the error is then
  // cleared (and kept for the dispatcher's line-error report) and the
  // operation may start again. Retries: how often it has been in a row.
  bool ClearedLineError(uint32_t Error, bool AtOnce, uint32_t Retries);

  TSioWin32Dispatcher* const Owner;
  std::unique_ptr<platform::CommIo> Io;
};

class TReadThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // Reads what has arrived into Buffer (where the reader waits for input
  // itself, after waiting a while for the first bytes): the count (0 when
  // nothing, or when a pending read was cancelled), -161 on failure.
  [[nodiscard]] int32_t ReadData(TDataBuffer* Buffer);

 protected:
  void Execute() override;

 private:
  // Hands Buffer's bytes on: first into the room the last queued data buffer
  // has left, the rest as a buffer of its own, for which a full queue is
  // given up to InQueueRoomWaitMs to make room before the bytes are dropped
  // (once an overrun is under way they are dropped at once). True when the
  // queue took Buffer; otherwise it stays the caller's, emptied.
  bool Deliver(TDataBuffer* Buffer);
  // Waits for a read that ends with the first bytes: the count, 0 when told
  // to stop (ReadEvent ends the wait at once, so a close does not wait out a
  // slice), -161 on failure.
  [[nodiscard]] int32_t WaitForInput();
};

class TWriteThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // Also ends on the output-flush event: WriteEndedByFlush. Failure and
  // stop: -160.
  [[nodiscard]] int32_t WaitForOverlapped(platform::CommIo& Overlapped) override;
  bool DataToWrite();
  // Writes the ring's contents in whole blocks until it is empty: 0, or -160.
  [[nodiscard]] int32_t WriteOutput();

 protected:
  void Execute() override;
};

class TStatusThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // 0 with the events seen, or a negative error code.
  [[nodiscard]] int32_t WaitComEvent(uint32_t& Events);
  uint32_t CommMask = CommMaskNT;

 protected:
  void Execute() override;
};

class TSioWin32Dispatcher : public TSioBaseDispatcher {
 public:
  explicit TSioWin32Dispatcher(TComponent* Owner);
  ~TSioWin32Dispatcher() override;

  [[nodiscard]] int32_t EscapeComFunction(int32_t Func) override;
  [[nodiscard]] int32_t FlushCom(int32_t Queue) override;
  uint32_t GetComError(platform::CommStat& Stat) override;
  [[nodiscard]] int32_t GetComEventMask(int32_t EvtMask) override;
  [[nodiscard]] int32_t GetComState(platform::CommDcb& DCB) override;
  [[nodiscard]] int32_t ReadCom(uint8_t* Buf, int32_t Size) override;
  [[nodiscard]] int32_t SetComState(platform::CommDcb& DCB) override;
  [[nodiscard]] int32_t WriteCom(const uint8_t* Buf, int32_t Size) override;
  bool CheckCom(int32_t& Value) override;
  bool SetupComPrim(uint32_t InSize, uint32_t OutSize) override;
  void StartDispatcher() override;
  void StopDispatcher() override;
  uint32_t OutBufUsed() override;
  uint32_t InQueueUsed() override;
  [[nodiscard]] int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) override;
  [[nodiscard]] int32_t CloseCom() override;
  [[nodiscard]] int32_t YieldCom() override;
  bool GetModemStatusRaw(uint32_t& Status) override;
  uint32_t LastDeviceError() override;

  // Wakes the read thread.
  platform::Event ReadEvent{false, false};
  // The device behind DeviceHandle. It lives as long as the dispatcher, so
  // a thread that is still finishing never finds it freed.
  const std::shared_ptr<platform::CommDevice> Device;
  // The status thread's first event mask (tests of systems that reject the
  // trailing-ring bit set it).
  std::atomic<uint32_t> StatusCommMask{CommMaskNT};
  // Received bytes dropped because InQueue was full.
  std::atomic<uint64_t> InputDropped{0};
  // The bytes of data buffers InQueue may hold.
  uint32_t InQueueLimit() const;
  // Queues a buffer the read thread has filled; when the queue is full the
  // bytes are dropped and counted, a receive overrun is reported (ceRxOver,
  // and one line-error event per overrun), and false leaves the buffer with
  // the caller.
  bool QueueReceived(TDataBuffer* Buffer);
  // Whether InQueue has room for Buffer.
  bool RoomFor(const TDataBuffer& Buffer) const;

  // An operation the system would not end, with the memory it uses.
  struct TParkedIo {
    std::unique_ptr<platform::CommIo> Io;
    std::unique_ptr<TDataBuffer> Data;
    std::unique_ptr<uint8_t[]> Block;
  };
  void ParkIo(TParkedIo Parked);
  // Frees the parked operations that have ended; the number still kept.
  size_t ReleaseParkedIo();
  // How long the open waits for the system to open the device before the
  // port is given up as not answering (121); messages keep being served
  // meanwhile.
  std::atomic<uint32_t> OpenLimitMs{platform::kCommOpenLimitMs};
  // Which of abort-on-error, DSR sensitivity and null stripping the open
  // sets; the others of the three it clears, whatever the driver kept from
  // an earlier program.
  std::atomic<uint32_t> OpenDcbFlags{0};

 protected:
  // For a device handed over by someone else.
  TSioWin32Dispatcher(TComponent* Owner, std::shared_ptr<platform::CommDevice> Handed);
  void SetDeviceError(uint32_t Error) { lastError_.store(Error); }

 private:
  friend class TSioWin32Thread;
  friend class TReadThread;
  friend class TWriteThread;
  friend class TStatusThread;
  std::atomic<uint32_t> lastError_{0};
  // A receive overrun not yet read by GetComError, and one under way.
  std::atomic<bool> rxOverrun_{false};
  std::atomic<bool> overrunning_{false};
  // The read thread waits on inRoomEvent_ for room in InQueue; it sets
  // roomWanted_ first, and whoever frees room then sets the event.
  platform::Event inRoomEvent_{false, false};
  std::atomic<bool> roomWanted_{false};
  void RoomMade();
  // A thread has failed: every thread of the port is to end, and the others
  // are woken to see it.
  void StopThreadsAfterFailure();
  platform::CriticalSection parkSection_;
  std::vector<TParkedIo> parked_;
  // Line errors a thread cleared to go on; the next GetComError reports them.
  std::atomic<uint32_t> clearedLineErrors_{0};
};

// The variant over a device that a telephony line has opened and handed
// over: it never opens a port by name.
class TSioTAPI32Dispatcher : public TSioWin32Dispatcher {
 public:
  // Handle: the handle the line gave (0: none); Line: the open device behind it.
  TSioTAPI32Dispatcher(TComponent* Owner, int32_t Handle,
                       std::shared_ptr<platform::CommDevice> Line);
  ~TSioTAPI32Dispatcher() override;
  [[nodiscard]] int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) override;
};

}  // namespace sio
