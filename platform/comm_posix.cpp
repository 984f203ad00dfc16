// The serial device over termios and poll(). Overlapped operations are
// emulated: an operation that cannot finish at once stays in its record and
// advances whenever its owner waits on it; other threads end it (purge,
// cancel, a new event mask, close) by flagging the record and writing to its
// own wake-up descriptor, which every poll of the record includes.
#include "platform/comm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#include <sys/eventfd.h>
#endif

#include "platform/comm_baud_posix.h"
#include "platform/comm_line_watch_posix.h"
#include "platform/comm_open.h"
#include "platform/comm_termios_posix.h"
#include "platform/host_ports.h"

namespace sio::platform {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// How often a pending event wait looks again at what poll() cannot watch:
// modem lines and line-error counters of drivers that have them, and new
// bytes behind bytes nobody has read yet.
constexpr int kLineCheckMs = 20;
// Total time-outs beyond this (multiplier x size can reach 2^64 ms) are cut
// here, so that the deadline stays within the clock's range: about 30 years.
constexpr uint64_t kLongestTotalMs = 1000000000000ull;

enum class IoKind { None, Read, Write, WaitEvent };

// The driver does not have the ioctl at all (pseudo-terminals and the like).
bool Unsupported(int e) {
  return e == ENOTTY || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP;
}

// The device has gone away under an open descriptor.
bool HungUp(int e) {
  return ErrnoMeansDeviceGone(e);
}

// What errno means for a serial device (the shared table's device column).
uint32_t ErrorFromErrno(int e) {
  return CommErrorFromErrno(e);
}

int MsUntil(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  const auto ms = std::chrono::ceil<Ms>(t - now).count();
  return ms > 1000000 ? 1000000 : static_cast<int>(ms);
}

}  // namespace

struct CommIo::Impl {
  Impl() {
#if defined(__linux__)
    wakeRead = wakeWrite = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
    int fds[2];
    if (::pipe(fds) == 0) {
      wakeRead = fds[0];
      wakeWrite = fds[1];
      ::fcntl(wakeRead, F_SETFL, O_NONBLOCK);
      ::fcntl(wakeWrite, F_SETFL, O_NONBLOCK);
      ::fcntl(wakeRead, F_SETFD, FD_CLOEXEC);
      ::fcntl(wakeWrite, F_SETFD, FD_CLOEXEC);
    }
#endif
  }
  ~Impl() {
    if (wakeRead >= 0) ::close(wakeRead);
    if (wakeWrite >= 0 && wakeWrite != wakeRead) ::close(wakeWrite);
  }

  void Wake() {
    // Marked before the write: whoever sees the descriptor readable also
    // sees the mark.
    woken.store(true);
#if defined(__linux__)
    const uint64_t one = 1;
    (void)!::write(wakeWrite, &one, sizeof one);
#else
    const char one = 1;
    (void)!::write(wakeWrite, &one, 1);
#endif
  }
  // Empties the wake-up descriptor, without a system call when nobody has
  // written to it.
  void DrainWake() {
    if (woken.exchange(false)) EmptyWake();
  }
  // After poll() has found the descriptor readable.
  void EmptyWake() {
    woken.store(false);
    char sink[64];
    while (::read(wakeRead, sink, sizeof sink) > 0) {
    }
  }

  int wakeRead = -1;
  int wakeWrite = -1;
  std::atomic<bool> woken{false};

  // Serialises the steps of the operation: its owner waiting and another
  // thread cancelling never drive it at the same time.
  std::mutex stepLock;

  std::shared_ptr<CommDevice::Impl> dev;  // while an operation runs
  IoKind kind = IoKind::None;
  bool started = false;
  std::atomic<bool> pending{false};
  std::atomic<bool> done{false};
  std::atomic<uint32_t> abort{0};  // completion code asked for by another thread

  uint8_t* readBuf = nullptr;
  const uint8_t* writeBuf = nullptr;
  uint32_t size = 0;
  uint32_t count = 0;
  uint32_t error = 0;
  uint32_t events = 0;

  // Read and write time-outs, fixed when the operation starts.
  bool readAtOnce = false;     // return with what is there
  bool firstByteEnds = false;  // wait for the first byte, then return
  bool hasTotal = false;
  Clock::time_point totalDeadline;
  uint32_t interval = 0;  // 0: none
  Clock::time_point lastByte;
  // The last read of the device found its queue empty, in a round that did
  // not go on to wait: the next round waits first.
  bool foundEmpty = false;
};

// Asked of a pending event wait by SetEventMask: complete with events 0.
constexpr uint32_t kMaskChanged = 0xFFFFFFFFu;

struct CommDevice::Impl final : comm_posix::LineWatchListener {
  std::mutex mu;
  std::condition_variable idle;
  int fd = -1;
  bool closing = false;
  int users = 0;  // threads inside a call on fd
  std::atomic<bool> gone{false};
  std::vector<CommIo::Impl*> pending;  // guarded by mu

  // Guarded by mu.
  CommDcb dcb;
  CommTimeouts timeouts;
  uint32_t eventMask = 0;
  bool eventWaitPending = false;
  bool hasModemLines = false;
  int shadowLines = TIOCM_DTR | TIOCM_RTS;  // for devices without modem lines
  int lastLines = 0;
  CommLineWatch lineWatch = CommLineWatch::Polled;   // with modem lines
  std::shared_ptr<comm_posix::LineWatcher> watcher;  // while lineWatch is Notified
  // Changes the watcher has told of, and how many of them the last look at
  // the lines (lastLines) came after.
  std::atomic<uint64_t> lineChanges{0};
  uint64_t linesLookedAt = 0;
  // What the last modem-status query read, and after how many changes: a
  // port's users ask for the status on every pass of their own, and on a
  // USB adapter each read is a request on the bus.
  int statusLines = 0;
  bool statusKnown = false;
  uint64_t statusLookedAt = 0;
  bool hasCounters = false;
  comm_posix::SavedLineSettings savedLine;  // as found at open
#if defined(__linux__)
  serial_icounter_struct counters{};
#endif
  uint32_t errorsForClear = 0;  // ce* since the last ClearError
  uint32_t errorEvents = 0;     // evErr / evBreak not yet reported
  bool txSinceEmpty = false;
  uint64_t rxReported = 0;
  std::atomic<uint64_t> rxConsumed{0};
  // A pending event wait sits behind unread bytes and wants to hear when a
  // read has emptied the input queue.
  std::atomic<bool> drainWanted{false};

  // Keeps fd open while a call uses it.
  class Use {
   public:
    explicit Use(Impl& d) : d_(d) {
      std::lock_guard<std::mutex> lock(d_.mu);
      ok_ = d_.fd >= 0 && !d_.closing;
      if (ok_) ++d_.users;
    }
    ~Use() {
      if (!ok_) return;
      std::lock_guard<std::mutex> lock(d_.mu);
      if (--d_.users == 0) d_.idle.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    bool ok() const { return ok_; }

   private:
    Impl& d_;
    bool ok_ = false;
  };

  // Whether the device has gone: a read or write has said so, or poll()
  // reports the hang-up now.
  bool Gone() {
    if (gone) return true;
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
  }

  // Bytes received since open: read by us plus waiting in the queue.
  uint64_t Arrived() {
    for (int tries = 0; tries < 4; ++tries) {
      const uint64_t before = rxConsumed.load();
      int queued = 0;
      if (::ioctl(fd, FIONREAD, &queued) != 0) queued = 0;
      if (rxConsumed.load() == before) return before + static_cast<uint64_t>(queued);
    }
    return rxConsumed.load();
  }

  int QueuedIn() {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0) return 0;
    return queued;
  }

  // Caller holds mu.
  int ReadLines() {
    if (!hasModemLines) return shadowLines | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) {
      if (!Unsupported(errno)) return -1;
      hasModemLines = false;
      return shadowLines | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    }
    return lines;
  }

  // Caller holds mu. Whether the lines may differ from lastLines: always,
  // unless the watcher tells of every change and has told of none since.
  bool LinesMayHaveChanged() const {
    return lineWatch != CommLineWatch::Notified || lineChanges.load() != linesLookedAt;
  }

  // Caller holds mu. lastLines as the device has them now.
  void LookAtLines() {
    // Counted before the read: a change told of meanwhile is looked at again.
    linesLookedAt = lineChanges.load();
    const int lines = ReadLines();
    if (lines >= 0) lastLines = lines;
  }

  // Caller holds mu. The lines as the device has them now, for a status
  // query: read again only when the watcher cannot vouch that nothing has
  // changed since the last read. Apart from lastLines, which is the event
  // wait's own record of what it has reported.
  int StatusLines() {
    if (statusKnown && lineWatch == CommLineWatch::Notified &&
        lineChanges.load() == statusLookedAt) {
      return statusLines;
    }
    statusLookedAt = lineChanges.load();
    const int lines = ReadLines();
    statusKnown = lines >= 0;
    if (statusKnown) statusLines = lines;
    return lines;
  }

  // Caller holds mu.
  void WakeEventWaits() {
    for (CommIo::Impl* io : pending) {
      if (io->kind == IoKind::WaitEvent) io->Wake();
    }
  }

  // From the watcher's thread.
  void LinesChanged() override {
    ++lineChanges;
    std::lock_guard<std::mutex> lock(mu);
    WakeEventWaits();
  }

  // From the watcher's thread: event waits read the lines themselves now.
  void WatchEnded(const comm_posix::LineWatcher* w) override {
    ++lineChanges;
    std::lock_guard<std::mutex> lock(mu);
    if (watcher.get() == w) lineWatch = CommLineWatch::Polled;
    WakeEventWaits();
  }

  // Caller holds mu. After new terminal settings: they may have switched off
  // the driver's line-change interrupt (an 8250 with CLOCAL and without
  // CRTSCTS), which the watcher's next wait switches on again; a change
  // meanwhile went unseen, so the lines are read once.
  void RenewWatch() {
    if (!watcher) return;
    watcher->Renew();
    ++lineChanges;
    WakeEventWaits();
  }

  // Caller holds mu. Sets or clears DTR / RTS.
  uint32_t SetLines(int bits, bool on) {
    statusKnown = false;  // the output lines are part of the status read
    if (hasModemLines) {
      if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return 0;
      if (HungUp(errno)) return errDeviceNotConnected;
      if (!Unsupported(errno)) return ErrorFromErrno(errno);
      hasModemLines = false;
    }
    shadowLines = on ? (shadowLines | bits) : (shadowLines & ~bits);
    return 0;
  }

  // Caller holds mu. Folds new line-error counts into both accumulators.
  void PollLineErrors() {
#if defined(__linux__)
    if (!hasCounters) return;
    serial_icounter_struct now{};
    if (::ioctl(fd, TIOCGICOUNT, &now) != 0) {
      if (Unsupported(errno)) hasCounters = false;
      return;
    }
    uint32_t ce = 0;
    if (now.buf_overrun != counters.buf_overrun) ce |= ceRxOver;
    if (now.overrun != counters.overrun) ce |= ceOverrun;
    if (now.parity != counters.parity) ce |= ceRxParity;
    if (now.frame != counters.frame) ce |= ceFrame;
    if (now.brk != counters.brk) ce |= ceBreak;
    counters = now;
    errorsForClear |= ce;
    if (ce & (ceRxOver | ceOverrun | ceRxParity | ceFrame)) errorEvents |= evErr;
    if (ce & ceBreak) errorEvents |= evBreak;
#endif
  }

  // Caller holds mu. Forgets events seen so far (open, new mask).
  void ResetHistory() {
    rxReported = Arrived();
    lastLines = 0;
    LookAtLines();
    PollLineErrors();
    errorEvents = 0;
    txSinceEmpty = false;
  }

  // Caller holds mu. The events of the mask that occurred since the last
  // report; each is reported once.
  uint32_t CollectEvents(uint32_t mask) {
    uint32_t ev = 0;
    const uint64_t arrived = Arrived();
    if (arrived < rxReported) rxReported = arrived;  // the input was purged
    if (arrived > rxReported) {
      ev |= evRxChar;
      rxReported = arrived;
    }
    if (hasModemLines && LinesMayHaveChanged()) {
      const int before = lastLines;
      LookAtLines();
      const int changed = lastLines ^ before;
      if (changed & TIOCM_CTS) ev |= evCts;
      if (changed & TIOCM_DSR) ev |= evDsr;
      if (changed & TIOCM_CD) ev |= evRlsd;
      if ((changed & TIOCM_RI) && (lastLines & TIOCM_RI)) ev |= evRing;
    }
    PollLineErrors();
    ev |= errorEvents;
    errorEvents = 0;
    if (txSinceEmpty) {
      int queued = 0;
      if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued == 0) {
        ev |= evTxEmpty;
        txSinceEmpty = false;
      }
    }
    return ev & mask;
  }

  // Whether an event wait must look again by itself rather than sleep until
  // poll() reports something. Caller holds mu.
  bool NeedsLineChecks(uint32_t mask) {
    if (hasModemLines && lineWatch != CommLineWatch::Notified &&
        (mask & (evCts | evDsr | evRlsd | evRing)))
      return true;
    if (hasCounters && (mask & (evErr | evBreak))) return true;
    if ((mask & evTxEmpty) && txSinceEmpty) return true;
    return false;
  }

  // Caller holds mu.
  void AbortPending(IoKind kind, uint32_t code) {
    for (CommIo::Impl* io : pending) {
      if (kind != IoKind::None && io->kind != kind) continue;
      uint32_t none = 0;
      if (io->abort.compare_exchange_strong(none, code)) io->Wake();
    }
  }

  void Complete(CommIo::Impl& io, uint32_t error) {
    {
      std::lock_guard<std::mutex> lock(mu);
      pending.erase(std::remove(pending.begin(), pending.end(), &io), pending.end());
      if (io.kind == IoKind::WaitEvent) eventWaitPending = false;
    }
    io.error = error;
    io.pending = false;
    io.done = true;
  }

  // Tells a pending event wait that the input queue has been emptied.
  void InputDrained() {
    if (!drainWanted.load() || !drainWanted.exchange(false)) return;
    std::lock_guard<std::mutex> lock(mu);
    for (CommIo::Impl* io : pending) {
      if (io->kind == IoKind::WaitEvent) io->Wake();
    }
  }

  void StepRead(CommIo::Impl& io, Clock::time_point now);
  void StepWrite(CommIo::Impl& io, Clock::time_point now);
  // One round of an operation: tries it, then sleeps in poll() until it can
  // go on, `until`, or a wake-up. Caller holds io.stepLock.
  void Advance(CommIo::Impl& io, Clock::time_point until);
};

void CommDevice::Impl::StepRead(CommIo::Impl& io, Clock::time_point now) {
  io.foundEmpty = false;
  while (io.count < io.size) {
    const uint32_t asked = io.size - io.count;
    const ssize_t n = ::read(fd, io.readBuf + io.count, asked);
    if (n > 0) {
      io.count += static_cast<uint32_t>(n);
      rxConsumed += static_cast<uint64_t>(n);
      io.lastByte = now;
      // A read that takes what has arrived stops at a short read: the queue
      // was empty, and asking again only to hear so costs a system call (on
      // a terminal also a wait for its input work) with every arrival.
      if ((io.readAtOnce || io.firstByteEnds) && static_cast<uint32_t>(n) < asked) {
        io.foundEmpty = true;
        InputDrained();
        break;
      }
      continue;
    }
    // A terminal reads 0 only once it has been hung up, and says EIO only
    // when nothing is left to read: what came before is delivered first.
    if (n == 0 || HungUp(errno)) {
      gone = true;
      Complete(io, io.count > 0 ? 0 : errDeviceNotConnected);
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      io.foundEmpty = true;
      InputDrained();
      break;
    }
    Complete(io, ErrorFromErrno(errno));
    return;
  }
  if (io.count == io.size || io.readAtOnce) {
    Complete(io, 0);
  } else if (io.firstByteEnds && io.count > 0) {
    Complete(io, 0);
  } else if (io.hasTotal && now >= io.totalDeadline) {
    Complete(io, 0);
  } else if (io.interval != 0 && io.count > 0 && now - io.lastByte >= Ms(io.interval)) {
    Complete(io, 0);
  }
}

void CommDevice::Impl::StepWrite(CommIo::Impl& io, Clock::time_point now) {
  while (io.count < io.size) {
    const ssize_t n = ::write(fd, io.writeBuf + io.count, io.size - io.count);
    if (n > 0) {
      io.count += static_cast<uint32_t>(n);
      std::lock_guard<std::mutex> lock(mu);
      txSinceEmpty = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n == 0 || HungUp(errno)) {
      gone = true;
      Complete(io, errDeviceNotConnected);
      return;
    }
    Complete(io, ErrorFromErrno(errno));
    return;
  }
  if (io.count == io.size || (io.hasTotal && now >= io.totalDeadline)) Complete(io, 0);
}

void CommDevice::Impl::Advance(CommIo::Impl& io, Clock::time_point until) {
  if (io.done) return;
  // Drained before the abort is looked at: an abort asked for after this
  // leaves its wake-up for poll() below, one asked for before is seen now.
  io.DrainWake();
  const uint32_t asked = io.abort.load();
  if (asked == kMaskChanged) {
    io.events = 0;
    Complete(io, 0);
    return;
  }
  if (asked != 0) {
    Complete(io, asked);
    return;
  }
  Use use(*this);
  if (!use.ok()) {
    Complete(io, errOperationAborted);
    return;
  }
  if (gone && io.kind != IoKind::WaitEvent) {
    Complete(io, errDeviceNotConnected);
    return;
  }

  Clock::time_point now = Clock::now();
  short wanted = 0;
  Clock::time_point wakeAt = until;
  switch (io.kind) {
    case IoKind::Read: {
      Clock::time_point readWake = until;
      if (io.hasTotal) readWake = std::min(readWake, io.totalDeadline);
      if (io.interval != 0 && io.count > 0)
        readWake = std::min(readWake, io.lastByte + Ms(io.interval));
      // Found empty by the round just before (the start of the read), which
      // did not wait: this round waits first, and poll() tells when bytes
      // are there to be read in the next.
      if (!io.foundEmpty || readWake <= now) {
        StepRead(io, now);
        if (io.done) return;
      }
      wanted = POLLIN;
      if (io.hasTotal) wakeAt = std::min(wakeAt, io.totalDeadline);
      if (io.interval != 0 && io.count > 0)
        wakeAt = std::min(wakeAt, io.lastByte + Ms(io.interval));
      // Nothing to wait for (the start of the read): the read has just
      // told what poll() would.
      if (wakeAt <= now) return;
      break;
    }
    case IoKind::Write:
      StepWrite(io, now);
      if (io.done) return;
      wanted = POLLOUT;
      if (io.hasTotal) wakeAt = std::min(wakeAt, io.totalDeadline);
      break;
    case IoKind::WaitEvent: {
      std::unique_lock<std::mutex> lock(mu);
      const uint32_t mask = eventMask;
      const uint32_t ev = CollectEvents(mask);
      if (ev != 0) {
        lock.unlock();
        io.events = ev;
        Complete(io, 0);
        return;
      }
      bool lookAgain = NeedsLineChecks(mask);
      if (mask & evRxChar) {
        // poll() reports unread bytes for as long as they wait, so only an
        // empty queue can be left to poll(). Behind unread bytes the wait
        // sleeps until a read has emptied the queue (the reader wakes it,
        // and new bytes are found then), or, for a caller that never reads,
        // until it looks again by itself.
        if (QueuedIn() == 0) {
          wanted = POLLIN;
        } else {
          drainWanted.store(true);
          if (QueuedIn() == 0) {
            // Emptied meanwhile, perhaps before the reader could see the
            // request.
            wanted = POLLIN;
          } else if (Arrived() > rxReported) {
            // Came after the look above: nobody has been told of them yet.
            io.events = CollectEvents(mask);
            if (io.events != 0) {
              lock.unlock();
              Complete(io, 0);
              return;
            }
          }
          lookAgain = true;
        }
      }
      if (lookAgain) wakeAt = std::min(wakeAt, now + Ms(kLineCheckMs));
      break;
    }
    case IoKind::None:
      return;
  }

  pollfd fds[2] = {{io.wakeRead, POLLIN, 0}, {fd, wanted, 0}};
  const int rc = ::poll(fds, 2, MsUntil(wakeAt, now));
  io.foundEmpty = false;
  if (rc <= 0) return;  // time-out or signal: the caller's loop goes round again
  // Emptied only once poll() has said so: a wake-up written at any time
  // before the poll ends it at once, so none is lost.
  if (fds[0].revents & POLLIN) io.EmptyWake();
  if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
    // Reads and writes learn it from the next read or write (bytes that
    // arrived before the hang-up are still delivered); an event wait has no
    // such call and reports it now. Every later wait finds it in its first
    // poll and ends at once.
    if (io.kind == IoKind::WaitEvent) Complete(io, errDeviceNotConnected);
  }
}

// ---- CommIo ----

CommIo::CommIo() : impl_(std::make_unique<Impl>()) {}

CommIo::~CommIo() {
  if (impl_->pending && impl_->dev) {
    impl_->abort = errOperationAborted;
    std::lock_guard<std::mutex> lock(impl_->stepLock);
    impl_->dev->Advance(*impl_, Clock::now());
  }
}

namespace {

// Lets a caller's event end the poll() of a wait through the record's
// wake-up descriptor, for as long as the wait lasts.
class ExtraEventWatch final : public EventWatcher {
 public:
  ExtraEventWatch(Event* extra, CommIo::Impl& io) : extra_(extra), io_(io) {
    if (extra_ != nullptr) extra_->Watch(this);
  }
  ~ExtraEventWatch() {
    if (extra_ != nullptr) extra_->Unwatch(this);
  }
  ExtraEventWatch(const ExtraEventWatch&) = delete;
  ExtraEventWatch& operator=(const ExtraEventWatch&) = delete;
  void EventSet() override { io_.Wake(); }

 private:
  Event* const extra_;
  CommIo::Impl& io_;
};

}  // namespace

WaitResult CommIo::Wait(uint32_t timeoutMs, Event* extra) {
  Impl& io = *impl_;
  if (!io.started) return WaitResult::Failed;
  const auto start = Clock::now();
  const auto deadline = timeoutMs == kInfinite ? Clock::time_point::max() : start + Ms(timeoutMs);
  ExtraEventWatch watch(extra, io);
  for (;;) {
    if (io.done) return WaitResult::Signaled;
    if (extra != nullptr && extra->TrySignaled()) return WaitResult::Signaled2;
    {
      std::lock_guard<std::mutex> lock(io.stepLock);
      if (io.dev) io.dev->Advance(io, deadline);
    }
    if (io.done) return WaitResult::Signaled;
    if (Clock::now() >= deadline) return WaitResult::Timeout;
  }
}

bool CommIo::Pending() const {
  return impl_->pending;
}

uint32_t CommIo::Events() const {
  return impl_->events;
}

// ---- CommDevice ----

namespace {

uint32_t ValidateDcb(const CommDcb& dcb) {
  if (const uint32_t bad = CheckCommDcb(dcb)) return bad;
#if !defined(CMSPAR)
  if (dcb.Parity >= 3) return errInvalidParameter;
#endif
  return 0;
}

void MakeRaw(termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                      IXOFF | IXANY | IMAXBEL | INPCK | IGNPAR);
  // Breaks are reported as line events, not as NUL bytes in the data.
  t.c_iflag |= IGNBRK;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;
  // VMIN 1: a non-blocking read of an empty queue says EAGAIN, so that a read
  // of 0 bytes can only mean a hang-up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

}  // namespace

CommDevice::CommDevice() : impl_(std::make_shared<Impl>()) {}

CommDevice::~CommDevice() {
  Close();
}

namespace {

int OpenSystemCall(const char* path, int flags) {
  return ::open(path, flags);
}
std::atomic<CommSystemOpenCall> systemOpenCall{&OpenSystemCall};

// The open itself, on the thread comm_open gives it.
comm_open::SystemResult OpenDevicePath(const std::string& path) {
  comm_open::SystemResult result;
  const int fd = systemOpenCall.load()(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    result.error = ErrorFromErrno(errno);
  } else {
    result.opened = true;
    result.handle = fd;
  }
  return result;
}

void CloseDevicePath(intptr_t handle) {
  ::close(static_cast<int>(handle));
}

}  // namespace

CommSystemOpenCall SetCommSystemOpenCall(CommSystemOpenCall call) {
  return systemOpenCall.exchange(call);
}

uint32_t CommDevice::Open(const std::string& name, uint32_t limitMs, const CommOpenWait& wait) {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.fd >= 0) return errInvalidParameter;
  }
  std::string path = name;
  if (!ResolveComDevice(name, path)) return errFileNotFound;
  intptr_t opened = -1;
  if (const uint32_t rc =
          comm_open::OpenInTime(path, limitMs, wait, &OpenDevicePath, &CloseDevicePath, opened)) {
    return rc;
  }
  const int fd = static_cast<int>(opened);
  auto fail = [fd](uint32_t error) {
    ::close(fd);
    return error;
  };
  if (!::isatty(fd)) return fail(errFileNotFound);
  // Two locks: flock keeps out every other program that asks for it (root
  // included), TIOCEXCL keeps out any later open by non-root programs.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return fail(errno == EWOULDBLOCK ? errAccessDenied : ErrorFromErrno(errno));
  }
  ::ioctl(fd, TIOCEXCL);
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return fail(ErrorFromErrno(errno));
  // Put back at close, so that no other program finds the terminal changed
  // by ours.
  comm_posix::SavedLineSettings saved;
  comm_posix::SaveLineSettings(fd, saved);
  MakeRaw(t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return fail(ErrorFromErrno(errno));
  int lines = 0;
  const bool modemLines = ::ioctl(fd, TIOCMGET, &lines) == 0 || !Unsupported(errno);
  // Started outside the lock: the watcher's first report takes it.
  std::shared_ptr<comm_posix::LineWatcher> watcher;
  if (modemLines)
    watcher = comm_posix::LineWatcher::Start(impl_, fd, comm_posix::DriverLineWaitOps());

  std::lock_guard<std::mutex> lock(d.mu);
  d.fd = fd;
  d.savedLine = saved;
  d.gone = false;
  d.closing = false;
  d.hasModemLines = modemLines;
  d.watcher = watcher;
  d.lineWatch = CommLineWatch::Polled;
  // One that has ended already (the device went meanwhile) told a device
  // that did not know it yet.
  if (watcher && !watcher->Ended()) d.lineWatch = CommLineWatch::Notified;
  d.shadowLines = TIOCM_DTR | TIOCM_RTS;
  d.statusKnown = false;
#if defined(__linux__)
  d.hasCounters = ::ioctl(fd, TIOCGICOUNT, &d.counters) == 0;
#endif
  d.errorsForClear = 0;
  d.timeouts = CommTimeouts{};
  d.eventMask = 0;
  d.eventWaitPending = false;
  d.rxConsumed = 0;
  d.dcb = CommDcb{};
  d.dcb.Flags = dcbBinary | dcbDtrEnable | dcbRtsEnable;
  d.ResetHistory();
  return 0;
}

bool CommDevice::IsOpen() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->fd >= 0;
}

CommLineWatch CommDevice::LineWatch() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->fd < 0) return CommLineWatch::None;
  if (!impl_->hasModemLines) return CommLineWatch::Emulated;
  return impl_->lineWatch;
}

uint32_t CommDevice::Close() {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.mu);
  if (d.fd < 0 || d.closing) return errInvalidHandle;
  d.closing = true;
  d.AbortPending(IoKind::None, errOperationAborted);
  d.idle.wait(lock, [&d] { return d.users == 0; });
  // Ended outside the lock, which its last reports take; closing keeps every
  // other call out meanwhile.
  const std::shared_ptr<comm_posix::LineWatcher> watcher = std::move(d.watcher);
  d.lineWatch = CommLineWatch::Polled;
  if (watcher) {
    lock.unlock();
    watcher->Stop();
    lock.lock();
  }
  // Not after a hang-up: the device has gone, and nobody is left to find it
  // changed.
  if (!d.Gone()) comm_posix::RestoreLineSettings(d.fd, d.savedLine);
  ::ioctl(d.fd, TIOCNXCL);
  // A watcher left behind still holds the device open: the lock goes now.
  ::flock(d.fd, LOCK_UN);
  ::close(d.fd);
  d.fd = -1;
  d.closing = false;
  return 0;
}

uint32_t CommDevice::SetupQueues(uint32_t inSize, uint32_t outSize) {
  Impl::Use use(*impl_);
  if (!use.ok()) return errInvalidHandle;
  if (inSize == 0 || outSize == 0) return errInvalidParameter;
  return 0;
}

uint32_t CommDevice::GetState(CommDcb& dcb) {
  Impl& d = *impl_;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  termios t{};
  if (::tcgetattr(d.fd, &t) != 0) {
    return HungUp(errno) ? errDeviceNotConnected : ErrorFromErrno(errno);
  }
  uint32_t baud = 0;
  const bool haveBaud = comm_posix::GetLineSpeed(d.fd, baud);
  std::lock_guard<std::mutex> lock(d.mu);
  CommDcb r = comm_posix::DcbFromTermios(t, d.dcb);
  if (haveBaud) r.BaudRate = baud;
  dcb = r;
  return 0;
}

uint32_t CommDevice::SetState(const CommDcb& dcb) {
  Impl& d = *impl_;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  if (const uint32_t bad = ValidateDcb(dcb)) return bad;
  termios t{};
  if (::tcgetattr(d.fd, &t) != 0) {
    return HungUp(errno) ? errDeviceNotConnected : ErrorFromErrno(errno);
  }
  const termios before = t;
  t = comm_posix::TermiosFromDcb(dcb, t);
  if (::tcsetattr(d.fd, TCSANOW, &t) != 0) {
    return HungUp(errno) ? errDeviceNotConnected : ErrorFromErrno(errno);
  }
  // A driver adjusts framing it cannot do and still reports success (a
  // pseudo-terminal forces 8 data bits and no parity). Windows refuses such
  // a DCB; so do we, and leave the line as it was.
  tcflag_t framing = CSIZE | PARENB | CSTOPB;
  if (dcb.Parity != 0) framing |= PARODD;
#if defined(CMSPAR)
  if (dcb.Parity != 0) framing |= CMSPAR;
#endif
  termios applied{};
  if (::tcgetattr(d.fd, &applied) != 0 || (applied.c_cflag & framing) != (t.c_cflag & framing)) {
    ::tcsetattr(d.fd, TCSANOW, &before);
    std::lock_guard<std::mutex> lock(d.mu);
    d.RenewWatch();
    return errInvalidParameter;
  }
  const bool speedTaken = comm_posix::SetLineSpeed(d.fd, dcb.BaudRate);
  const int speedErrno = errno;
  std::lock_guard<std::mutex> lock(d.mu);
  d.RenewWatch();
  if (!speedTaken) return HungUp(speedErrno) ? errDeviceNotConnected : errInvalidParameter;
  const uint32_t dtr = dcb.Flags & dcbDtrControlMask;
  const uint32_t rts = dcb.Flags & dcbRtsControlMask;
  uint32_t rc = d.SetLines(TIOCM_DTR, dtr != 0);
  // Toggle raises RTS only while sending; the kernel's RS-485 mode is not
  // ours to switch, so the line rests off.
  if (rc == 0) rc = d.SetLines(TIOCM_RTS, rts == dcbRtsEnable || rts == dcbRtsHandshake);
  if (rc != 0) return rc;
  d.dcb = dcb;
  return 0;
}

uint32_t CommDevice::GetTimeouts(CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->fd < 0) return errInvalidHandle;
  timeouts = impl_->timeouts;
  return 0;
}

uint32_t CommDevice::SetTimeouts(const CommTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->fd < 0) return errInvalidHandle;
  if (timeouts.ReadIntervalTimeout == kCommMaxTimeout &&
      timeouts.ReadTotalTimeoutMultiplier == kCommMaxTimeout &&
      timeouts.ReadTotalTimeoutConstant == kCommMaxTimeout) {
    return errInvalidParameter;
  }
  impl_->timeouts = timeouts;
  return 0;
}

uint32_t CommDevice::SetEventMask(uint32_t mask) {
  Impl& d = *impl_;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  std::lock_guard<std::mutex> lock(d.mu);
  d.eventMask = mask;
  d.AbortPending(IoKind::WaitEvent, kMaskChanged);
  d.ResetHistory();
  return 0;
}

uint32_t CommDevice::GetEventMask(uint32_t& mask) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->fd < 0) return errInvalidHandle;
  mask = impl_->eventMask;
  return 0;
}

namespace {

// Makes `io` ready for a new operation on `dev`; 0 or the refusal.
uint32_t Begin(const std::shared_ptr<CommDevice::Impl>& dev, CommIo::Impl& io, IoKind kind) {
  if (io.pending) return errInvalidParameter;
  std::lock_guard<std::mutex> lock(dev->mu);
  if (dev->fd < 0 || dev->closing) return errInvalidHandle;
  if (dev->gone && kind != IoKind::WaitEvent) return errDeviceNotConnected;
  if (kind == IoKind::WaitEvent) {
    if (dev->eventMask == 0 || dev->eventWaitPending) return errInvalidParameter;
    dev->eventWaitPending = true;
  }
  io.DrainWake();
  io.dev = dev;
  io.kind = kind;
  io.started = true;
  io.done = false;
  io.abort = 0;
  io.count = 0;
  io.error = 0;
  io.events = 0;
  io.readAtOnce = io.firstByteEnds = io.hasTotal = io.foundEmpty = false;
  io.interval = 0;
  io.pending = true;
  dev->pending.push_back(&io);
  return 0;
}

// Runs the first round without sleeping: 0 when that completed it.
uint32_t Launch(CommIo::Impl& io, uint32_t& count) {
  {
    std::lock_guard<std::mutex> lock(io.stepLock);
    io.dev->Advance(io, Clock::now());
  }
  if (!io.done) return errIoPending;
  count = io.count;
  return io.error;
}

}  // namespace

uint32_t CommDevice::StartRead(CommIo& ioRec, void* buffer, uint32_t size, uint32_t& count) {
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (const uint32_t refused = Begin(impl_, io, IoKind::Read)) return refused;
  CommTimeouts to;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    to = impl_->timeouts;
  }
  io.readBuf = static_cast<uint8_t*>(buffer);
  io.size = size;
  const auto now = Clock::now();
  io.lastByte = now;
  if (to.ReadIntervalTimeout == kCommMaxTimeout && to.ReadTotalTimeoutMultiplier == 0 &&
      to.ReadTotalTimeoutConstant == 0) {
    io.readAtOnce = true;
  } else {
    if (to.ReadIntervalTimeout == kCommMaxTimeout &&
        to.ReadTotalTimeoutMultiplier == kCommMaxTimeout) {
      io.firstByteEnds = true;
      io.hasTotal = true;
      io.totalDeadline = now + Ms(to.ReadTotalTimeoutConstant);
    } else {
      const uint64_t total =
          uint64_t{to.ReadTotalTimeoutMultiplier} * size + to.ReadTotalTimeoutConstant;
      io.hasTotal = total != 0;
      io.totalDeadline = now + Ms(std::min(total, kLongestTotalMs));
      if (to.ReadIntervalTimeout != kCommMaxTimeout) io.interval = to.ReadIntervalTimeout;
    }
  }
  return Launch(io, count);
}

uint32_t CommDevice::StartWrite(CommIo& ioRec, const void* buffer, uint32_t size, uint32_t& count) {
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (const uint32_t refused = Begin(impl_, io, IoKind::Write)) return refused;
  CommTimeouts to;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    to = impl_->timeouts;
  }
  io.writeBuf = static_cast<const uint8_t*>(buffer);
  io.size = size;
  const uint64_t total =
      uint64_t{to.WriteTotalTimeoutMultiplier} * size + to.WriteTotalTimeoutConstant;
  io.hasTotal = total != 0;
  io.totalDeadline = Clock::now() + Ms(std::min(total, kLongestTotalMs));
  return Launch(io, count);
}

uint32_t CommDevice::StartWaitEvent(CommIo& ioRec, uint32_t& events) {
  CommIo::Impl& io = *ioRec.impl_;
  events = 0;
  if (const uint32_t refused = Begin(impl_, io, IoKind::WaitEvent)) return refused;
  uint32_t unused = 0;
  const uint32_t rc = Launch(io, unused);
  if (rc != errIoPending) events = io.events;
  return rc;
}

uint32_t CommDevice::GetResult(CommIo& ioRec, uint32_t& count, bool wait) {
  CommIo::Impl& io = *ioRec.impl_;
  count = 0;
  if (!io.started) return errInvalidParameter;
  if (!io.done) {
    if (!wait) return errIoIncomplete;
    while (ioRec.Wait(kInfinite) != WaitResult::Signaled) {
    }
  }
  count = io.count;
  return io.error;
}

uint32_t CommDevice::CancelIo(CommIo& ioRec) {
  CommIo::Impl& io = *ioRec.impl_;
  if (!io.pending) return 0;
  uint32_t none = 0;
  if (io.abort.compare_exchange_strong(none, errOperationAborted)) io.Wake();
  std::lock_guard<std::mutex> lock(io.stepLock);
  if (io.dev) io.dev->Advance(io, Clock::now());
  return 0;
}

uint32_t CommDevice::Purge(uint32_t flags) {
  Impl& d = *impl_;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  if (flags & ~uint32_t{0x0F}) return errInvalidParameter;
  std::lock_guard<std::mutex> lock(d.mu);
  if (flags & purgeTxAbort) d.AbortPending(IoKind::Write, errOperationAborted);
  if (flags & purgeRxAbort) d.AbortPending(IoKind::Read, errOperationAborted);
  if (flags & purgeTxClear) ::tcflush(d.fd, TCOFLUSH);
  if (flags & purgeRxClear) {
    ::tcflush(d.fd, TCIFLUSH);
    d.rxReported = d.Arrived();
  }
  return 0;
}

uint32_t CommDevice::Escape(uint32_t function) {
  Impl& d = *impl_;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  if (d.Gone()) return errDeviceNotConnected;
  std::lock_guard<std::mutex> lock(d.mu);
  int rc = 0;
  switch (function) {
    case escSetDtr:
      return d.SetLines(TIOCM_DTR, true);
    case escClrDtr:
      return d.SetLines(TIOCM_DTR, false);
    case escSetRts:
      return d.SetLines(TIOCM_RTS, true);
    case escClrRts:
      return d.SetLines(TIOCM_RTS, false);
    case escSetBreak:
      rc = ::ioctl(d.fd, TIOCSBRK);
      break;
    case escClrBreak:
      rc = ::ioctl(d.fd, TIOCCBRK);
      break;
    case escSetXoff:
      rc = ::tcflow(d.fd, TCOOFF);
      break;
    case escSetXon:
      rc = ::tcflow(d.fd, TCOON);
      break;
    case escResetDev:
      return 0;
    default:
      return errInvalidParameter;
  }
  if (rc == 0) return 0;
  return HungUp(errno) ? errDeviceNotConnected : ErrorFromErrno(errno);
}

uint32_t CommDevice::GetModemStatus(uint32_t& status) {
  Impl& d = *impl_;
  status = 0;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  if (d.Gone()) return errDeviceNotConnected;
  std::lock_guard<std::mutex> lock(d.mu);
  const int lines = d.StatusLines();
  if (lines < 0) return HungUp(errno) ? errDeviceNotConnected : ErrorFromErrno(errno);
  if (lines & TIOCM_CTS) status |= msCtsOn;
  if (lines & TIOCM_DSR) status |= msDsrOn;
  if (lines & TIOCM_RI) status |= msRingOn;
  if (lines & TIOCM_CD) status |= msDcdOn;
  return 0;
}

uint32_t CommDevice::ClearError(uint32_t& errors, CommStat* stat) {
  Impl& d = *impl_;
  errors = 0;
  Impl::Use use(d);
  if (!use.ok()) return errInvalidHandle;
  if (d.Gone()) return errDeviceNotConnected;
  std::lock_guard<std::mutex> lock(d.mu);
  d.PollLineErrors();
  errors = d.errorsForClear;
  d.errorsForClear = 0;
  if (stat != nullptr) {
    *stat = CommStat{};
    int queued = 0;
    if (::ioctl(d.fd, FIONREAD, &queued) == 0 && queued > 0) {
      stat->cbInQue = static_cast<uint32_t>(queued);
    }
    queued = 0;
    if (::ioctl(d.fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
      stat->cbOutQue = static_cast<uint32_t>(queued);
    }
    if ((d.dcb.Flags & dcbOutxCtsFlow) && d.hasModemLines) {
      const int lines = d.ReadLines();
      if (lines >= 0 && !(lines & TIOCM_CTS)) stat->Flags |= csCtsHold;
    }
  }
  return 0;
}

}  // namespace sio::platform
