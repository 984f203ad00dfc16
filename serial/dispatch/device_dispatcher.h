// The threaded device layer over a real serial device: the read thread moves
// received bytes into InQueue in data buffers, the status thread waits
// for line events, wakes the reader and queues status items, and the write
// thread drains the output ring to the device, beside the dispatcher thread.
// Every device call goes through platform::CommDevice.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/comm.h"
#include "platform/sync.h"
#include "serial/dispatch/dispatcher.h"

namespace sio {

class TSioWin32Dispatcher;

// A thread could not get a queue buffer ("No memory").
constexpr int32_t ecNoQueueMemory = -13868;
// The size of every data buffer the read thread queues. Nothing outside the
// dispatcher sees it; on POSIX one system read per 4 KiB rather than per 256
// bytes takes about half the processor time off a large transfer.
constexpr int32_t ReadBufferSize = static_cast<int32_t>(platform::kCommReadPieceSize);
// The event masks the status thread asks for: NT-family systems (and every
// host this layer runs on) know no trailing-edge-of-ring event.
constexpr uint32_t CommMaskNT = platform::evRxChar | platform::evCts | platform::evDsr |
                                platform::evRlsd | platform::evBreak | platform::evErr |
                                platform::evRing;
constexpr uint32_t CommMaskTrailingRing = platform::evRingTrailing;
// The events that are queued as status buffers; a bare received-character
// event only wakes the reader.
constexpr uint32_t StatusEventBits = (CommMaskNT & ~platform::evRxChar) | CommMaskTrailingRing;

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
  virtual int32_t WaitForOverlapped(platform::CommIo& Overlapped);

  // The platform's error number of this thread's last failed device call.
  uint32_t LastErrorCode = 0;

 protected:
  bool StopRequested() const;
  // The record's result once signalled: the count, or ErrorCode with
  // LastErrorCode set.
  int32_t OverlappedResult(platform::CommIo& Overlapped, int32_t ErrorCode);
  // Ends a pending operation and closes the record.
  void CloseOverlapped();

  TSioWin32Dispatcher* const Owner;
  std::unique_ptr<platform::CommIo> Io;
};

class TReadThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // Reads what has arrived into Buffer: the count (0 when nothing, or when a
  // pending read was cancelled), -161 on failure.
  int32_t ReadData(TDataBuffer* Buffer);

 protected:
  void Execute() override;
};

class TWriteThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // Also ends on the output-flush event: -1. Failure and stop: -160.
  int32_t WaitForOverlapped(platform::CommIo& Overlapped) override;
  bool DataToWrite();
  // Writes the ring's contents in whole blocks until it is empty: 0, or -160.
  int32_t WriteOutput();

 protected:
  void Execute() override;
};

class TStatusThread : public TSioWin32Thread {
 public:
  using TSioWin32Thread::TSioWin32Thread;
  // 0 with the events seen, or a negative error code.
  int32_t WaitComEvent(uint32_t& Events);
  uint32_t CommMask = CommMaskNT;

 protected:
  void Execute() override;
};

class TSioWin32Dispatcher : public TSioBaseDispatcher {
 public:
  explicit TSioWin32Dispatcher(TComponent* Owner);
  ~TSioWin32Dispatcher() override;

  int32_t EscapeComFunction(int32_t Func) override;
  int32_t FlushCom(int32_t Queue) override;
  uint32_t GetComError(platform::CommStat& Stat) override;
  int32_t GetComEventMask(int32_t EvtMask) override;
  int32_t GetComState(platform::CommDcb& DCB) override;
  int32_t ReadCom(uint8_t* Buf, int32_t Size) override;
  int32_t SetComState(platform::CommDcb& DCB) override;
  int32_t WriteCom(const uint8_t* Buf, int32_t Size) override;
  bool CheckCom(int32_t& Value) override;
  bool SetupComPrim(uint32_t InSize, uint32_t OutSize) override;
  void StartDispatcher() override;
  void StopDispatcher() override;
  uint32_t OutBufUsed() override;
  uint32_t InQueueUsed() override;
  int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) override;
  int32_t CloseCom() override;
  int32_t YieldCom() override;
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
};

// The variant over a device that a telephony line has opened and handed
// over: it never opens a port by name.
class TSioTAPI32Dispatcher : public TSioWin32Dispatcher {
 public:
  // Handle: the handle the line gave (0: none); Line: the open device behind it.
  TSioTAPI32Dispatcher(TComponent* Owner, int32_t Handle,
                       std::shared_ptr<platform::CommDevice> Line);
  ~TSioTAPI32Dispatcher() override;
  int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) override;
};

}  // namespace sio
