// A device layer of the tests' own: the dispatcher's device operations act
// on memory. Received bytes and line events are fed into InQueue the way a
// read and a status thread would; written bytes stay in the output ring
// until the test drains them, as a write thread would; the device keeps a
// DCB, modem lines and pending line errors; every device call can be made
// to fail. The dispatcher thread is the real one, started and stopped the
// way a device layer does it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/common/exposed_dispatcher.h"

namespace sio_test {

class TMemoryDispatcher : public TExposedDispatcher<sio::TSioBaseDispatcher> {
 public:
  // threaded: StartDispatcher runs the real dispatcher thread; otherwise the
  // test drives ProcessCommEvents/ProcessTimers itself.
  explicit TMemoryDispatcher(sio::TComponent* owner = nullptr, bool threaded = true);
  ~TMemoryDispatcher() override;

  // Opens with the usual settings: 115200 8N1, queues of the given sizes,
  // DTR and RTS on.
  int32_t Open(uint32_t outSize = 4096, uint32_t inSize = 4096);

  // --- What the device receives ---
  // Queues bytes as data buffers of at most chunk bytes each.
  void FeedBytes(const std::string& bytes, size_t chunk = 256);
  // Queues a line event (ev* bits) as a status buffer.
  void FeedEvent(uint32_t eventMask);

  // Starts a worker in the read thread's slot, as a device layer's reader:
  // it runs until the port's threads are told to end, or, after failAfterMs
  // (0: never), fails: it sets its ReturnValue and KillThreads.
  bool StartWorker(int32_t returnValue, uint32_t failAfterMs);

  // --- What the device sent ---
  // Moves up to max bytes out of the output ring, as the write thread does,
  // and returns them; they are also kept in Written().
  std::string DrainOutput(size_t max = SIZE_MAX);
  std::string Written() const;

  // --- Device state ---
  sio::platform::CommDcb DeviceDcb() const;
  void SetDeviceDcb(const sio::platform::CommDcb& dcb);
  std::vector<int32_t> EscapeCalls() const;
  std::atomic<uint32_t> ModemLines{0};     // high nibble: CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
  std::atomic<uint32_t> PendingErrors{0};  // ce* bits, cleared by GetComError
  std::atomic<int32_t> SetComStateCalls{0};
  std::atomic<int32_t> GetComEventMaskCalls{0};
  std::atomic<int32_t> DonePortPrimCalls{0};
  std::atomic<uint64_t> DonePortPrimThread{0};
  std::atomic<int32_t> AbandonedThreads{0};

  // --- Failures on demand ---
  std::atomic<int32_t> FailOpen{0};          // -8: out of memory; >0: that error number
  std::atomic<uint32_t> FailSetup{0};        // error number
  std::atomic<uint32_t> FailSetComState{0};  // error number
  std::atomic<bool> FailGetComState{false};
  std::atomic<bool> FailEscape{false};
  std::atomic<bool> FailModemQuery{false};
  std::atomic<int32_t> FailWrite{1};   // 1: write normally; otherwise WriteCom returns this
  std::atomic<int32_t> FailReads{0};   // this many ReadCom calls return -1
  std::atomic<bool> LegacyRts{false};  // the driver does not toggle RTS itself
  std::atomic<uint16_t> UartBase{0};   // what the escape for the base address reports

  // --- Device layer ---
  int32_t EscapeComFunction(int32_t func) override;
  int32_t FlushCom(int32_t queue) override;
  uint32_t GetComError(sio::platform::CommStat& stat) override;
  int32_t GetComEventMask(int32_t evtMask) override;
  int32_t GetComState(sio::platform::CommDcb& dcb) override;
  int32_t ReadCom(uint8_t* buf, int32_t size) override;
  int32_t SetComState(sio::platform::CommDcb& dcb) override;
  int32_t WriteCom(const uint8_t* buf, int32_t size) override;
  bool CheckCom(int32_t& value) override;
  bool SetupComPrim(uint32_t inSize, uint32_t outSize) override;
  void DonePortPrim() override;
  void StartDispatcher() override;
  void StopDispatcher() override;
  uint32_t OutBufUsed() override;
  uint32_t InQueueUsed() override;
  int32_t OpenCom(const char* comName, uint32_t inSize, uint32_t outSize) override;
  int32_t CloseCom() override;
  int32_t YieldCom() override;
  bool GetModemStatusRaw(uint32_t& status) override;
  bool GetUartBaseAddress(uint16_t& address) override;
  uint32_t LastDeviceError() override;
  bool DriverTogglesRTS() const override;

 private:
  const bool threaded_;
  mutable std::mutex mutex_;
  sio::platform::CommDcb dcb_;
  std::vector<int32_t> escapes_;
  std::string written_;
  uint32_t lastError_ = 0;
};

// Serves the calling thread's messages until done() holds or timeoutMs pass;
// whether done() held.
bool WaitFor(const std::function<bool()>& done, uint32_t timeoutMs = 5000);

// The rounds a stress loop runs: `rounds`, times SIO_STRESS_SCALE when the
// environment sets it (the suite keeps them short; a hunt for a race runs
// them long).
int StressRounds(int rounds);

// An event-method trigger handler that records what it was given and, when
// asked, reads received data with GetBlock during the call.
class THandlerProbe {
 public:
  struct Call {
    uint32_t Msg;
    uint32_t Trigger;
    uint32_t Data;
    std::string Bytes;  // what it read
    uint64_t Thread;
  };
  explicit THandlerProbe(sio::TSioBaseDispatcher* dispatcher = nullptr) : dispatcher_(dispatcher) {}

  // Bytes to read on each availability event: a fixed count, or -1 for the
  // trigger's count (everything reported).
  std::atomic<int32_t> ReadOnAvail{0};
  // Runs inside the call, after the read.
  std::function<void(const Call&)> OnCall;

  void Handle(uint32_t msg, uint32_t trigger, uint32_t data);
  sio::TTriggerEvent Method() { return sio::TTriggerEvent::Of<&THandlerProbe::Handle>(this); }
  std::vector<Call> Calls() const;
  size_t Count() const;

 private:
  sio::TSioBaseDispatcher* dispatcher_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
};

}  // namespace sio_test
