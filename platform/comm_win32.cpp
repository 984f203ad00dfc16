// The serial device as Win32 gives it: a handle opened for overlapped I/O and
// the communications calls on it. A CommIo is an OVERLAPPED record with its
// own manual-reset event.
#include "platform/comm.h"
#include "platform/comm_open.h"

#include <windows.h>

#include <mutex>
#include <shared_mutex>
#include <atomic>

namespace sio::platform {

namespace {

uint32_t LastError() {
  const DWORD e = ::GetLastError();
  return e == 0 ? errGenFailure : e;
}

void ToWin32(const CommDcb& in, DCB& out) {
  out.BaudRate = in.BaudRate;
  out.fBinary = (in.Flags & dcbBinary) ? 1 : 0;
  out.fParity = (in.Flags & dcbParity) ? 1 : 0;
  out.fOutxCtsFlow = (in.Flags & dcbOutxCtsFlow) ? 1 : 0;
  out.fOutxDsrFlow = (in.Flags & dcbOutxDsrFlow) ? 1 : 0;
  out.fDtrControl = (in.Flags & dcbDtrControlMask) >> 4;
  out.fDsrSensitivity = (in.Flags & dcbDsrSensitivity) ? 1 : 0;
  out.fTXContinueOnXoff = (in.Flags & dcbTxContinueOnXoff) ? 1 : 0;
  out.fOutX = (in.Flags & dcbOutX) ? 1 : 0;
  out.fInX = (in.Flags & dcbInX) ? 1 : 0;
  out.fErrorChar = (in.Flags & dcbErrorChar) ? 1 : 0;
  out.fNull = (in.Flags & dcbNull) ? 1 : 0;
  out.fRtsControl = (in.Flags & dcbRtsControlMask) >> 12;
  out.fAbortOnError = (in.Flags & dcbAbortOnError) ? 1 : 0;
  out.XonLim = in.XonLim;
  out.XoffLim = in.XoffLim;
  out.ByteSize = in.ByteSize;
  out.Parity = in.Parity;
  out.StopBits = in.StopBits;
  out.XonChar = in.XonChar;
  out.XoffChar = in.XoffChar;
  out.ErrorChar = in.ErrorChar;
  out.EofChar = in.EofChar;
  out.EvtChar = in.EvtChar;
}

void FromWin32(const DCB& in, CommDcb& out) {
  out.BaudRate = in.BaudRate;
  uint32_t f = 0;
  if (in.fBinary) f |= dcbBinary;
  if (in.fParity) f |= dcbParity;
  if (in.fOutxCtsFlow) f |= dcbOutxCtsFlow;
  if (in.fOutxDsrFlow) f |= dcbOutxDsrFlow;
  f |= (static_cast<uint32_t>(in.fDtrControl) << 4) & dcbDtrControlMask;
  if (in.fDsrSensitivity) f |= dcbDsrSensitivity;
  if (in.fTXContinueOnXoff) f |= dcbTxContinueOnXoff;
  if (in.fOutX) f |= dcbOutX;
  if (in.fInX) f |= dcbInX;
  if (in.fErrorChar) f |= dcbErrorChar;
  if (in.fNull) f |= dcbNull;
  f |= (static_cast<uint32_t>(in.fRtsControl) << 12) & dcbRtsControlMask;
  if (in.fAbortOnError) f |= dcbAbortOnError;
  out.Flags = f;
  out.XonLim = in.XonLim;
  out.XoffLim = in.XoffLim;
  out.ByteSize = in.ByteSize;
  out.Parity = in.Parity;
  out.StopBits = in.StopBits;
  out.XonChar = in.XonChar;
  out.XoffChar = in.XoffChar;
  out.ErrorChar = in.ErrorChar;
  out.EofChar = in.EofChar;
  out.EvtChar = in.EvtChar;
}

// How long CancelIo waits for a cancelled operation to end.
constexpr DWORD kCancelGraceMs = 2000;

}  // namespace

struct CommIo::Impl {
  Impl() { overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Impl() {
    if (overlapped.hEvent != nullptr) ::CloseHandle(overlapped.hEvent);
  }
  OVERLAPPED overlapped{};
  HANDLE device = INVALID_HANDLE_VALUE;
  DWORD events = 0;  // filled in by WaitCommEvent
  bool started = false;
  bool pending = false;
  bool done = false;  // result collected
  DWORD count = 0;
  uint32_t error = 0;
};

struct CommDevice::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Calls on the handle hold it shared, opening and closing hold it alone:
  // no call runs on a handle that is being closed or, once closed, has been
  // given to something else by the system.
  std::shared_mutex lock;
  // Set by the first call that learns the device has gone; every later call
  // reports it without asking the system.
  std::atomic<bool> gone{false};
};

namespace {
using Shared = std::shared_lock<std::shared_mutex>;
using Sole = std::unique_lock<std::shared_mutex>;

// Every failure of a call on the open device goes through here.
uint32_t Failed(CommDevice::Impl& d, DWORD error) {
  bool gone = d.gone.load();
  const uint32_t result = DeviceCallError(error, gone);
  if (gone) d.gone.store(true);
  return result;
}

uint32_t LastFailure(CommDevice::Impl& d) {
  return Failed(d, ::GetLastError());
}

// 0 when a call may go to the device, else what it reports.
uint32_t Refused(const CommDevice::Impl& d) {
  if (d.handle == INVALID_HANDLE_VALUE) return errInvalidHandle;
  if (d.gone.load()) return errDeviceNotConnected;
  return 0;
}

}  // namespace

// ---- CommIo ----

CommIo::CommIo() : impl_(std::make_unique<Impl>()) {}

CommIo::~CommIo() {
  if (!impl_->pending) return;
  ::CancelIoEx(impl_->device, &impl_->overlapped);
  if (::WaitForSingleObject(impl_->overlapped.hEvent, kCancelGraceMs) != WAIT_OBJECT_0) {
    // The system still owns the record: leave it to the system rather than
    // free memory it may yet write.
    (void)impl_.release();
  }
}

WaitResult CommIo::Wait(uint32_t timeoutMs, Event* extra) {
  Impl& io = *impl_;
  if (!io.started || io.overlapped.hEvent == nullptr) return WaitResult::Failed;
  if (!io.pending) return WaitResult::Signaled;
  HANDLE handles[2] = {io.overlapped.hEvent, nullptr};
  DWORD n = 1;
  if (extra != nullptr) handles[n++] = static_cast<HANDLE>(extra->NativeHandle());
  const DWORD rc =
      ::WaitForMultipleObjects(n, handles, FALSE, timeoutMs == kInfinite ? INFINITE : timeoutMs);
  switch (rc) {
    case WAIT_OBJECT_0:
      return WaitResult::Signaled;
    case WAIT_OBJECT_0 + 1:
      return WaitResult::Signaled2;
    case WAIT_TIMEOUT:
      return WaitResult::Timeout;
    default:
      return WaitResult::Failed;
  }
}

bool CommIo::Pending() const {
  if (!impl_->pending) return false;
  return ::WaitForSingleObject(impl_->overlapped.hEvent, 0) != WAIT_OBJECT_0;
}

uint32_t CommIo::Events() const {
  return impl_->events;
}

// ---- CommDevice ----

CommDevice::CommDevice() : impl_(std::make_shared<Impl>()) {}

CommDevice::~CommDevice() {
  Close();
}

namespace {

// The open itself, on the thread comm_open gives it (a Bluetooth port's
// CreateFile connects to the device and can take half a minute to fail).
comm_open::SystemResult OpenDevicePath(const std::string& path) {
  comm_open::SystemResult result;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    result.error = LastError();
  } else {
    result.opened = true;
    result.handle = reinterpret_cast<intptr_t>(h);
  }
  return result;
}

void CloseDevicePath(intptr_t handle) {
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace

uint32_t CommDevice::Open(const std::string& name, uint32_t limitMs, const CommOpenWait& wait) {
  {
    const Shared use(impl_->lock);
    if (impl_->handle != INVALID_HANDLE_VALUE) return errInvalidParameter;
  }
  // Not under the lock: the wait may serve messages.
  intptr_t opened = 0;
  if (const uint32_t rc =
          comm_open::OpenInTime(name, limitMs, wait, &OpenDevicePath, &CloseDevicePath, opened)) {
    return rc;
  }
  HANDLE h = reinterpret_cast<HANDLE>(opened);
  const Sole use(impl_->lock);
  if (impl_->handle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return errInvalidParameter;
  }
  impl_->handle = h;
  impl_->gone.store(false);
  return 0;
}

bool CommDevice::IsOpen() const {
  const Shared use(impl_->lock);
  return impl_->handle != INVALID_HANDLE_VALUE;
}

CommLineWatch CommDevice::LineWatch() const {
  // WaitCommEvent is told of line changes by the driver itself.
  return IsOpen() ? CommLineWatch::Notified : CommLineWatch::None;
}

uint32_t CommDevice::Close() {
  const Sole use(impl_->lock);
  if (impl_->handle == INVALID_HANDLE_VALUE) return errInvalidHandle;
  if (!::CloseHandle(impl_->handle)) return LastError();
  impl_->handle = INVALID_HANDLE_VALUE;
  return 0;
}

uint32_t CommDevice::SetupQueues(uint32_t inSize, uint32_t outSize) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  return ::SetupComm(impl_->handle, inSize, outSize) ? 0 : LastFailure(*impl_);
}

uint32_t CommDevice::GetState(CommDcb& dcb) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  DCB d{};
  d.DCBlength = sizeof d;
  if (!::GetCommState(impl_->handle, &d)) return LastFailure(*impl_);
  FromWin32(d, dcb);
  return 0;
}

uint32_t CommDevice::SetState(const CommDcb& dcb) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  if (const uint32_t bad = CheckCommDcb(dcb)) return bad;
  DCB d{};
  d.DCBlength = sizeof d;
  ToWin32(dcb, d);
  return ::SetCommState(impl_->handle, &d) ? 0 : LastFailure(*impl_);
}

uint32_t CommDevice::GetTimeouts(CommTimeouts& timeouts) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  COMMTIMEOUTS t{};
  if (!::GetCommTimeouts(impl_->handle, &t)) return LastFailure(*impl_);
  timeouts.ReadIntervalTimeout = t.ReadIntervalTimeout;
  timeouts.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
  timeouts.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
  timeouts.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
  return 0;
}

uint32_t CommDevice::SetTimeouts(const CommTimeouts& timeouts) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
  t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
  t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
  t.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
  t.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
  return ::SetCommTimeouts(impl_->handle, &t) ? 0 : LastFailure(*impl_);
}

uint32_t CommDevice::SetEventMask(uint32_t mask) {
  const Shared use(impl_->lock);
  if (impl_->handle == INVALID_HANDLE_VALUE) return errInvalidHandle;
  // Asked of the system even after the device has gone: a new mask is what
  // ends a pending event wait.
  if (!::SetCommMask(impl_->handle, mask)) return LastFailure(*impl_);
  return impl_->gone.load() ? errDeviceNotConnected : 0;
}

uint32_t CommDevice::GetEventMask(uint32_t& mask) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  DWORD m = 0;
  if (!::GetCommMask(impl_->handle, &m)) return LastFailure(*impl_);
  mask = m;
  return 0;
}

namespace {

// Readies the record for a new operation; 0 or the refusal.
uint32_t Begin(HANDLE device, CommIo::Impl& io) {
  if (device == INVALID_HANDLE_VALUE) return errInvalidHandle;
  if (io.overlapped.hEvent == nullptr) return errNotEnoughMemory;
  if (io.pending && ::WaitForSingleObject(io.overlapped.hEvent, 0) != WAIT_OBJECT_0) {
    return errInvalidParameter;
  }
  HANDLE event = io.overlapped.hEvent;
  io.overlapped = OVERLAPPED{};
  io.overlapped.hEvent = event;
  ::ResetEvent(event);
  io.device = device;
  io.started = true;
  io.pending = false;
  io.done = false;
  io.count = 0;
  io.error = 0;
  io.events = 0;
  return 0;
}

// What a Start call's BOOL and count make of the record.
uint32_t Started(CommDevice::Impl& d, CommIo::Impl& io, BOOL ok, DWORD n, uint32_t& count) {
  if (ok) {
    io.done = true;
    io.count = n;
    count = n;
    return 0;
  }
  const DWORD e = ::GetLastError();
  if (e == ERROR_IO_PENDING) {
    io.pending = true;
    return errIoPending;
  }
  io.done = true;
  io.error = Failed(d, e);
  return io.error;
}

}  // namespace

uint32_t CommDevice::StartRead(CommIo& ioRec, void* buffer, uint32_t size, uint32_t& count) {
  const Shared use(impl_->lock);
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (const uint32_t refused = Refused(*impl_)) return refused;
  if (const uint32_t refused = Begin(impl_->handle, io)) return refused;
  DWORD n = 0;
  const BOOL ok = ::ReadFile(impl_->handle, buffer, size, &n, &io.overlapped);
  return Started(*impl_, io, ok, n, count);
}

uint32_t CommDevice::StartWrite(CommIo& ioRec, const void* buffer, uint32_t size, uint32_t& count) {
  const Shared use(impl_->lock);
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (const uint32_t refused = Refused(*impl_)) return refused;
  if (const uint32_t refused = Begin(impl_->handle, io)) return refused;
  DWORD n = 0;
  const BOOL ok = ::WriteFile(impl_->handle, buffer, size, &n, &io.overlapped);
  return Started(*impl_, io, ok, n, count);
}

uint32_t CommDevice::StartWaitEvent(CommIo& ioRec, uint32_t& events) {
  const Shared use(impl_->lock);
  CommIo::Impl& io = *ioRec.impl_;
  events = 0;
  if (const uint32_t refused = Refused(*impl_)) return refused;
  if (const uint32_t refused = Begin(impl_->handle, io)) return refused;
  const BOOL ok = ::WaitCommEvent(impl_->handle, &io.events, &io.overlapped);
  uint32_t unused = 0;
  const uint32_t rc = Started(*impl_, io, ok, 0, unused);
  if (rc == 0) events = io.events;
  return rc;
}

uint32_t CommDevice::GetResult(CommIo& ioRec, uint32_t& count, bool wait) {
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (!io.started) return errInvalidParameter;
  if (io.pending) {
    DWORD n = 0;
    if (::GetOverlappedResult(io.device, &io.overlapped, &n, wait ? TRUE : FALSE)) {
      io.error = 0;
    } else {
      const DWORD e = ::GetLastError();
      if (e == ERROR_IO_INCOMPLETE) return errIoIncomplete;
      io.error = Failed(*impl_, e);
    }
    io.count = n;
    io.pending = false;
    io.done = true;
  }
  count = io.count;
  return io.error;
}

uint32_t CommDevice::CancelIo(CommIo& ioRec) {
  CommIo::Impl& io = *ioRec.impl_;
  if (!io.pending) return 0;
  Shared use(impl_->lock);
  if (!::CancelIoEx(io.device, &io.overlapped)) {
    const DWORD e = ::GetLastError();
    // Not found: it had already completed.
    if (e != ERROR_NOT_FOUND) return Failed(*impl_, e);
  }
  use.unlock();
  if (::WaitForSingleObject(io.overlapped.hEvent, kCancelGraceMs) == WAIT_OBJECT_0) return 0;
  return errNotFound;  // still pending; another way must end it
}

uint32_t CommDevice::Purge(uint32_t flags) {
  const Shared use(impl_->lock);
  if (impl_->handle == INVALID_HANDLE_VALUE) return errInvalidHandle;
  // Also after the device has gone: it ends pending reads and writes.
  if (!::PurgeComm(impl_->handle, flags)) return LastFailure(*impl_);
  return impl_->gone.load() ? errDeviceNotConnected : 0;
}

uint32_t CommDevice::Escape(uint32_t function) {
  const Shared use(impl_->lock);
  if (const uint32_t refused = Refused(*impl_)) return refused;
  return ::EscapeCommFunction(impl_->handle, function) ? 0 : LastFailure(*impl_);
}

uint32_t CommDevice::GetModemStatus(uint32_t& status) {
  const Shared use(impl_->lock);
  status = 0;
  if (const uint32_t refused = Refused(*impl_)) return refused;
  DWORD s = 0;
  if (!::GetCommModemStatus(impl_->handle, &s)) return LastFailure(*impl_);
  status = s;
  return 0;
}

uint32_t CommDevice::ClearError(uint32_t& errors, CommStat* stat) {
  const Shared use(impl_->lock);
  errors = 0;
  if (const uint32_t refused = Refused(*impl_)) return refused;
  DWORD e = 0;
  COMSTAT cs{};
  if (!::ClearCommError(impl_->handle, &e, &cs)) return LastFailure(*impl_);
  errors = e;
  if (stat != nullptr) {
    uint32_t f = 0;
    if (cs.fCtsHold) f |= csCtsHold;
    if (cs.fDsrHold) f |= csDsrHold;
    if (cs.fRlsdHold) f |= csRlsdHold;
    if (cs.fXoffHold) f |= csXoffHold;
    if (cs.fXoffSent) f |= csXoffSent;
    if (cs.fEof) f |= csEof;
    if (cs.fTxim) f |= csTxim;
    stat->Flags = f;
    stat->cbInQue = cs.cbInQue;
    stat->cbOutQue = cs.cbOutQue;
  }
  return 0;
}

}  // namespace sio::platform
