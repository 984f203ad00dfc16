// The serial device as the device layer's threads see it: opened exclusively
// by name, configured through the Windows records of comm_types.h, and driven
// by overlapped reads, writes and event waits.
//
// Windows: the communications calls themselves on a handle opened with
// FILE_FLAG_OVERLAPPED; a CommIo is an OVERLAPPED record with its own
// manual-reset event.
// POSIX: termios and poll(). An operation that cannot finish at once stays
// pending in its CommIo and makes progress while its owner waits on it
// (CommIo::Wait, GetResult with wait); purge, cancel, a new event mask and
// close wake such a wait through the record's own wake-up descriptor.
//
// Every operation returns 0 on success or a Windows error number:
//   2    the device does not exist (or is not a serial device)
//   5    the device is held by someone else, or access is denied
//   6    the device is not open
//   87   an invalid argument (an impossible DCB, a second event wait, ...)
//   121  the open did not finish within its limit (a Bluetooth device that
//        is off or out of range)
//   995  the operation was aborted (purge, cancel, close)
//   996  GetResult without wait on an operation still running
//   997  the operation is pending (Start* only)
//   1167 the device has gone (hang-up, adapter unplugged); sticky: every
//        later operation on the device reports it too
// Start* also return 0 when the operation completed at once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/comm_types.h"
#include "platform/sync.h"

namespace sio::platform {

class CommDevice;

// The read size a device layer does best to ask for. POSIX serves each read
// with a system call, so large pieces cost far less per byte; Windows keeps
// the 256-byte reads its overlapped path has always made.
#if defined(_WIN32)
constexpr uint32_t kCommReadPieceSize = 256;
#else
constexpr uint32_t kCommReadPieceSize = 4096;
#endif

// Whether a device layer's reader does best to wait for input in a read of
// its own, one that ends with the first bytes to arrive, rather than be woken
// by another thread's event wait for received characters. POSIX: the read's
// poll() on the device is the wake-up, so each arrival wakes one thread
// instead of two. Windows keeps the event-driven reads its overlapped path
// has always made.
#if defined(_WIN32)
constexpr bool kCommReaderWaitsForInput = false;
#else
constexpr bool kCommReaderWaitsForInput = true;
#endif

// 0, or 87 for a DCB no serial device can take: rate 0, byte size outside
// 5..8, parity above 4, stop bits above 2, two stop bits with five data bits,
// one and a half with more than five, equal XON and XOFF characters while
// XON/XOFF flow is on. SetState refuses such a record before the device sees
// it.
uint32_t CheckCommDcb(const CommDcb& dcb);

// The DCB flags the open clears unless they are asked for. Windows drivers
// keep line settings between opens, so another program may have left them
// on, and each breaks a port this layer drives: abort-on-error ends every
// read and write at the first line error and refuses new ones until the
// error is cleared, DSR sensitivity drops all input while DSR is low, null
// stripping drops every 0x00 byte.
constexpr uint32_t kOpenClearedDcbFlags = dcbAbortOnError | dcbDsrSensitivity | dcbNull;

// The DCB the open writes over the one the device kept: the flags above
// cleared, except those in `askedFor`, which are set; the rest as kept.
CommDcb DcbForOpen(const CommDcb& kept, uint32_t askedFor);

// How often in a row a read or write refused after a line error is started
// again before the refusal counts as a failure.
constexpr uint32_t kLineErrorRetries = 16;

// The line errors (ce* bits) with which a device under abort-on-error ends
// pending reads and writes.
constexpr uint32_t kAbortingLineErrors = ceRxOver | ceOverrun | ceRxParity | ceFrame | ceBreak;

// Whether a read or write that ended with `error` is to be started again
// (the rest of it, for a write) once ClearError has returned `lineErrors`,
// on a device whose DCB flags are `dcbFlags`, after `retries` retries in a
// row. Only an abort (995) under abort-on-error qualifies: refused at once
// (`atOnce`), it is the device refusing I/O while a line error stands (a
// purge or cancel never refuses an operation that has not started); ended
// while pending, it may be a purge or cancel too, so only with a line error
// seen.
bool RetryAfterLineError(uint32_t error, uint32_t dcbFlags, bool atOnce, uint32_t lineErrors,
                         uint32_t retries);

// What a call on an open device reports for the system's `error`: once an
// error has said that the device has gone (`gone` is then set) this and
// every later call report 1167; other errors pass unchanged (0, no number
// at all, becomes 31).
uint32_t DeviceCallError(uint32_t error, bool& gone);

// One overlapped-operation record: owned by one thread, reused for all its
// device calls, one operation at a time. Destroying a record, or cancelling
// it, with an operation still pending cancels that operation and waits for it
// to end, so the system never writes into a record or buffer that is gone.
// The buffer of a pending read or write must stay valid until then.
class CommIo {
 public:
  CommIo();
  ~CommIo();
  CommIo(const CommIo&) = delete;
  CommIo& operator=(const CommIo&) = delete;

  // Waits up to timeoutMs (kInfinite: no limit) for the operation to
  // complete. Signaled: complete (GetResult will not block; it stays so
  // until the next Start*). Signaled2: `extra` was set first (consumed when
  // it is auto-reset). Timeout. Failed: no operation was ever started.
  WaitResult Wait(uint32_t timeoutMs, Event* extra = nullptr);

  // True between a Start* that returned 997 and its completion.
  bool Pending() const;

  // The events reported by the last completed event wait.
  uint32_t Events() const;

  struct Impl;

 private:
  friend class CommDevice;
  std::unique_ptr<Impl> impl_;
};

// What the caller does while an open waits for the system: `wait` returns
// when `opened` is set or timeoutMs have passed. Without one the open
// blocks; a user-interface thread gives one that keeps serving its messages.
struct CommOpenWait {
  void (*wait)(void* context, Event& opened, uint32_t timeoutMs) = nullptr;
  void* context = nullptr;
};

#ifndef _WIN32
// The system call an open makes (::open unless changed). Tests put a
// stand-in here for a device whose open blocks; the previous one is
// returned.
using CommSystemOpenCall = int (*)(const char* path, int flags);
CommSystemOpenCall SetCommSystemOpenCall(CommSystemOpenCall call);
#endif

// How an open device learns that a modem line (CTS, DSR, DCD, RI) changed
// while an event wait for such a change is pending.
enum class CommLineWatch {
  None,      // the device is not open
  Emulated,  // it has no modem lines (a pseudo-terminal): they read steadily, nothing to watch
  Notified,  // the system tells of each change (Windows: the event wait itself; Linux: the
             // driver's TIOCMIWAIT, waited for by a thread of the device); idle lines cost nothing
  Polled,    // the lines are read every 20 ms while such a wait is pending (drivers that offer
             // no wait for them)
};

class CommDevice {
 public:
  CommDevice();
  ~CommDevice();  // closes
  CommDevice(const CommDevice&) = delete;
  CommDevice& operator=(const CommDevice&) = delete;

  // Opens the device exclusively for reading and writing. `name` is
  // "\\.\COMn" or, on POSIX, a device path (a COM name resolves through the
  // host's port table). POSIX: the line is put in raw mode, timeouts are all
  // 0 (reads wait for the whole block), the event mask is 0. The system's
  // open is waited for at most limitMs (through `wait` when given); 121 when
  // it takes longer (see comm_open.h for what becomes of that open).
  uint32_t Open(const std::string& name, uint32_t limitMs = kCommOpenLimitMs,
                const CommOpenWait& wait = CommOpenWait());
  bool IsOpen() const;
  // Ends pending operations (995) and closes the device. 6 when not open.
  uint32_t Close();

  // Recommended queue sizes (POSIX: checked and remembered only).
  uint32_t SetupQueues(uint32_t inSize, uint32_t outSize);

  // The device control block. POSIX: baud rate, byte size, parity, stop
  // bits, parity checking, CTS output flow, XON/XOFF both ways and their
  // characters come from termios; the other fields read back as last set.
  uint32_t GetState(CommDcb& dcb);
  // 87 for a record CheckCommDcb refuses or the device cannot take (POSIX:
  // framing the driver did not take is undone and refused; a
  // pseudo-terminal takes only 8 data bits without parity). POSIX: any rate on Linux
  // (standard rates elsewhere); CTS output flow is CRTSCTS (which also drives RTS from the input
  // buffer); DSR output flow and DTR handshake are kept in the record only; DTR and RTS follow
  // their control fields (disable: off, enable/handshake: on, toggle: off until sending).
  uint32_t SetState(const CommDcb& dcb);

  uint32_t GetTimeouts(CommTimeouts& timeouts);
  uint32_t SetTimeouts(const CommTimeouts& timeouts);

  // The events an event wait reports (ev* bits). Setting the mask completes
  // a pending event wait with events 0 and forgets events seen before.
  uint32_t SetEventMask(uint32_t mask);
  uint32_t GetEventMask(uint32_t& mask);

  // Overlapped operations. 0 (count valid) when complete at once, 997 when
  // pending (then CommIo::Wait and GetResult), otherwise the failure.
  // Reads follow the timeouts; with ReadIntervalTimeout = kCommMaxTimeout and
  // both read totals 0 a read returns at once with what has arrived.
  uint32_t StartRead(CommIo& io, void* buffer, uint32_t size, uint32_t& count);
  // Completes when the whole block is written (or the write timeouts end it).
  uint32_t StartWrite(CommIo& io, const void* buffer, uint32_t size, uint32_t& count);
  // Completes when an event of the mask occurs; CommIo::Events() tells which
  // (also `events` when complete at once). 87 without a mask or while another
  // event wait is pending.
  uint32_t StartWaitEvent(CommIo& io, uint32_t& events);

  // Result of the last operation of `io`: the byte count (also after an
  // abort: what was transferred before it) and 0 or the error. wait = false
  // on a running operation gives 996.
  uint32_t GetResult(CommIo& io, uint32_t& count, bool wait);

  // Cancels the pending operation of `io` and waits for it to end (it then
  // reports 995, or its result if it had completed). 0 when nothing was
  // pending or it has ended; 1168 when the system would not end it within
  // 2 s (it is then still pending). May be called from any thread.
  uint32_t CancelIo(CommIo& io);

  // purge* flags: the abort flags end pending writes / reads (995), the
  // clear flags discard the output / input queue.
  uint32_t Purge(uint32_t flags);

  // esc* functions: DTR, RTS, break, XON/XOFF state.
  uint32_t Escape(uint32_t function);

  // ms*On bits of the modem lines. POSIX devices without modem lines
  // (pseudo-terminals) report CTS, DSR and DCD steadily on.
  uint32_t GetModemStatus(uint32_t& status);

  // The ce* line errors since the last call (and clears them); `stat`, when
  // given, gets the hold flags and the bytes in the input and output queues.
  uint32_t ClearError(uint32_t& errors, CommStat* stat);

  // How modem-line changes reach an event wait on this device (None when it
  // is not open). Lets a check on real hardware see which way its driver
  // went.
  CommLineWatch LineWatch() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace sio::platform
