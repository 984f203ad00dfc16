#include "tests/common/memory_dispatcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"

namespace sio_test {

namespace {

class TWorkerThread : public sio::TSioDispatcherThread {
 public:
  TWorkerThread(sio::TSioBaseDispatcher* dispatcher, int32_t returnValue, uint32_t failAfterMs)
      : sio::TSioDispatcherThread(dispatcher), fail_(returnValue), after_(failAfterMs) {}

 protected:
  void Execute() override {
    auto* d = static_cast<TMemoryDispatcher*>(Dispatcher);
    d->ThreadStart();
    const uint32_t start = sio::MillisecondClock();
    while (!Terminated.load() && !d->KillThreads.load()) {
      if (after_ != 0 && sio::MillisecondClock() - start >= after_) {
        ReturnValue.store(fail_);
        d->KillThreads.store(true);
        break;
      }
      sio::platform::SleepMs(5);
    }
    d->ThreadGone(this);
  }

 private:
  const int32_t fail_;
  const uint32_t after_;
};

}  // namespace

TMemoryDispatcher::TMemoryDispatcher(sio::TComponent* owner, bool threaded)
    : TExposedDispatcher(owner), threaded_(threaded) {
  dcb_.BaudRate = 9600;
}

TMemoryDispatcher::~TMemoryDispatcher() {
  Shutdown();
}

int32_t TMemoryDispatcher::Open(uint32_t outSize, uint32_t inSize) {
  return InitPort("\\\\.\\COM7", 115200, 0, 8, 1, inSize, outSize, sio::ipDTROn | sio::ipRTSOn);
}

void TMemoryDispatcher::FeedBytes(const std::string& bytes, size_t chunk) {
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t n = std::min(chunk, bytes.size() - at);
    auto* buffer = new sio::TDataBuffer(static_cast<int32_t>(chunk));
    std::memcpy(buffer->Bytes, bytes.data() + at, n);
    buffer->Filled = static_cast<int32_t>(n);
    InQueue->Append(buffer);
    at += n;
  }
}

void TMemoryDispatcher::FeedEvent(uint32_t eventMask) {
  auto* status = new sio::TStatusBuffer();
  status->EventMask = eventMask;
  InQueue->Append(status);
}

bool TMemoryDispatcher::StartWorker(int32_t returnValue, uint32_t failAfterMs) {
  if (!LaunchThread(ReadThread, new TWorkerThread(this, returnValue, failAfterMs),
                    PriorityLevel(ThreadBoost + 3))) {
    return false;
  }
  return ThreadReadyEvent->Wait(3000) == sio::platform::WaitResult::Signaled;
}

std::string TMemoryDispatcher::DrainOutput(size_t max) {
  std::string out;
  {
    sio::platform::CriticalSectionLock guard(OutputSection);
    while (out.size() < max && OutBuffer != nullptr && (OutBufFull || OutHead != OutTail)) {
      out.push_back(static_cast<char>(OutBuffer[OutTail]));
      OutTail = (OutTail + 1) % OutQue;
      OutBufFull = false;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  written_ += out;
  return out;
}

std::string TMemoryDispatcher::Written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

sio::platform::CommDcb TMemoryDispatcher::DeviceDcb() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dcb_;
}

void TMemoryDispatcher::SetDeviceDcb(const sio::platform::CommDcb& dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  dcb_ = dcb;
}

std::vector<int32_t> TMemoryDispatcher::EscapeCalls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return escapes_;
}

// ---------------------------------------------------------------------------

int32_t TMemoryDispatcher::EscapeComFunction(int32_t func) {
  std::lock_guard<std::mutex> lock(mutex_);
  escapes_.push_back(func);
  return FailEscape.load() ? -1 : 0;
}

int32_t TMemoryDispatcher::FlushCom(int32_t queue) {
  if (queue == 0) {
    sio::platform::CriticalSectionLock guard(OutputSection);
    OutHead = 0;
    OutTail = 0;
    OutBufFull = false;
    return 1;
  }
  InQueue->Clear();
  return 1;
}

uint32_t TMemoryDispatcher::GetComError(sio::platform::CommStat& stat) {
  stat = sio::platform::CommStat{};
  stat.cbInQue = InQueueUsed();
  stat.cbOutQue = OutBufUsed();
  return PendingErrors.exchange(0);
}

int32_t TMemoryDispatcher::GetComEventMask(int32_t) {
  GetComEventMaskCalls.fetch_add(1);
  return 0;
}

int32_t TMemoryDispatcher::GetComState(sio::platform::CommDcb& dcb) {
  if (FailGetComState.load()) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  dcb = dcb_;
  return 0;
}

int32_t TMemoryDispatcher::ReadCom(uint8_t* buf, int32_t size) {
  if (FailReads.load() > 0) {
    FailReads.fetch_sub(1);
    return -1;
  }
  return InQueue->ReadData(buf, size);
}

int32_t TMemoryDispatcher::SetComState(sio::platform::CommDcb& dcb) {
  SetComStateCalls.fetch_add(1);
  if (const uint32_t err = FailSetComState.load()) return -static_cast<int32_t>(err);
  std::lock_guard<std::mutex> lock(mutex_);
  dcb_ = dcb;
  return 0;
}

int32_t TMemoryDispatcher::WriteCom(const uint8_t* buf, int32_t size) {
  const int32_t fail = FailWrite.load();
  if (fail != 1) return fail;
  {
    sio::platform::CriticalSectionLock guard(OutputSection);
    CopyIntoOutputRing(buf, static_cast<uint32_t>(size));
  }
  SignalEvent(OutputWaitEvent.get());
  return size;
}

bool TMemoryDispatcher::CheckCom(int32_t& value) {
  value = 0;
  return true;
}

bool TMemoryDispatcher::SetupComPrim(uint32_t, uint32_t) {
  if (const uint32_t err = FailSetup.load()) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = err;
    return false;
  }
  return true;
}

void TMemoryDispatcher::DonePortPrim() {
  DonePortPrimCalls.fetch_add(1);
  DonePortPrimThread.store(sio::platform::CurrentThreadId());
  sio::TSioBaseDispatcher::DonePortPrim();
}

void TMemoryDispatcher::StartDispatcher() {
  sio::platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) throw sio::ESioException(sio::kDispatcherAlreadyStarted);
  if (!threaded_) return;
  ThreadsRunning.store(true);
  KillThreads.store(false);
  if (LaunchThread(DispThread, new sio::TDispThread(this), PriorityLevel(ThreadBoost + 3))) {
    ThreadReadyEvent->Wait(3000);
  }
}

void TMemoryDispatcher::StopDispatcher() {
  sio::platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) CloseCom();
  EventsOpen.store(false);
}

uint32_t TMemoryDispatcher::OutBufUsed() {
  return OutputRingUsed();
}

uint32_t TMemoryDispatcher::InQueueUsed() {
  return InQueue->FirstDataUnread();
}

int32_t TMemoryDispatcher::OpenCom(const char*, uint32_t, uint32_t) {
  const int32_t fail = FailOpen.load();
  if (fail == sio::ecOutOfMemory) return sio::ecOutOfMemory;
  if (fail == -1) return -1;
  if (fail > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = static_cast<uint32_t>(fail);
    return -1;
  }
  return 7;
}

int32_t TMemoryDispatcher::CloseCom() {
  sio::platform::CriticalSectionLock life(LifecycleSection);
  if (ThreadsRunning.load()) {
    KillThreads.store(true);
    SignalEvent(PassDoneEvent.get());
    auto waitFor = [this](std::atomic<sio::TSioDispatcherThread*>& slot) {
      auto gone = [&slot] { return slot.load() == nullptr; };
      if (PumpUntil(gone, 36)) return;
      if (&slot == &DispThread) SignalEvent(DispStopEvent.get());
      if (PumpUntil(gone, 36)) return;
      AbandonThread(slot);
      AbandonedThreads.fetch_add(1);
    };
    if (ReadThread.load() != nullptr) waitFor(ReadThread);
    // The dispatcher thread closing its own port cannot wait for itself.
    if (DispThread.load() != nullptr && !OnDispatcherThread()) waitFor(DispThread);
  }
  if (DeviceHandle.load() >= 0) DeviceHandle.store(-1);
  return 0;
}

int32_t TMemoryDispatcher::YieldCom() {
  sio::platform::SleepMs(0);
  return 0;
}

bool TMemoryDispatcher::GetModemStatusRaw(uint32_t& status) {
  if (FailModemQuery.load()) return false;
  status = ModemLines.load();
  return true;
}

bool TMemoryDispatcher::GetUartBaseAddress(uint16_t& address) {
  address = UartBase.load();
  return address != 0;
}

uint32_t TMemoryDispatcher::LastDeviceError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

bool TMemoryDispatcher::DriverTogglesRTS() const {
  return !LegacyRts.load();
}

// ---------------------------------------------------------------------------

bool WaitFor(const std::function<bool()>& done, uint32_t timeoutMs) {
  const uint32_t start = sio::MillisecondClock();
  for (;;) {
    if (done()) return true;
    if (sio::MillisecondClock() - start >= timeoutMs) return done();
    if (sio::PumpOneMessage() == 0) sio::platform::WaitForMessage(2);
  }
}

int StressRounds(int rounds) {
  const char* scale = std::getenv("SIO_STRESS_SCALE");
  const int factor = scale != nullptr ? std::atoi(scale) : 1;
  return rounds * std::max(factor, 1);
}

void THandlerProbe::Handle(uint32_t msg, uint32_t trigger, uint32_t data) {
  Call call{msg, trigger, data, {}, sio::platform::CurrentThreadId()};
  if (msg == sio::kMsgTriggerAvail && dispatcher_ != nullptr) {
    const int32_t want = ReadOnAvail.load();
    const uint32_t n = want < 0 ? trigger : static_cast<uint32_t>(want);
    if (n > 0) {
      std::string bytes(n, '\0');
      if (dispatcher_->GetBlock(bytes.data(), n) == static_cast<int32_t>(n)) call.Bytes = bytes;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
  }
  if (OnCall) OnCall(call);
}

std::vector<THandlerProbe::Call> THandlerProbe::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

size_t THandlerProbe::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_.size();
}

}  // namespace sio_test
