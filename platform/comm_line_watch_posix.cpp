// The modem-line watcher: its thread, its signal and the driver's wait.
#include "platform/comm_line_watch_posix.h"

#include <cerrno>
#include <chrono>
#include <system_error>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

namespace sio::platform::comm_posix {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

void IgnoreLineWaitSignal(int) {}

// The program may have taken the signal over since it was chosen; then it is
// not ours to send.
bool StillOurs(int sig) {
  struct sigaction now {};
  return ::sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
         now.sa_handler == IgnoreLineWaitSignal;
}

#if defined(__linux__) && defined(TIOCMIWAIT) && defined(TIOCGICOUNT)

int DriverWait(int fd) {
  return ::ioctl(fd, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
}

bool DriverCount(int fd, uint64_t& changes) {
  serial_icounter_struct counts{};
  if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) return false;
  // Each change moves one of them on, so their sum moves with every change.
  changes = static_cast<uint64_t>(static_cast<uint32_t>(counts.cts)) +
            static_cast<uint32_t>(counts.dsr) + static_cast<uint32_t>(counts.dcd) +
            static_cast<uint32_t>(counts.rng);
  return true;
}

#else

int DriverWait(int) {
  errno = ENOTTY;
  return -1;
}

bool DriverCount(int, uint64_t&) {
  return false;
}

#endif

}  // namespace

LineWaitOps DriverLineWaitOps() {
  LineWaitOps ops;
  ops.wait = &DriverWait;
  ops.count = &DriverCount;
  return ops;
}

int ChooseLineWaitSignal() {
  for (int sig = SIGRTMAX; sig >= SIGRTMIN; --sig) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0) continue;
    if ((old.sa_flags & SA_SIGINFO) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction mine {};
    mine.sa_handler = IgnoreLineWaitSignal;
    sigemptyset(&mine.sa_mask);
    mine.sa_flags = 0;  // no SA_RESTART: the wait must return
    if (::sigaction(sig, &mine, nullptr) == 0) return sig;
  }
  return -1;
}

int LineWaitSignal() {
  static const int chosen = ChooseLineWaitSignal();
  return chosen;
}

std::shared_ptr<LineWatcher> LineWatcher::Start(std::shared_ptr<LineWatchListener> listener, int fd,
                                                const LineWaitOps& ops) {
  const int sig = LineWaitSignal();
  if (sig < 0 || ops.wait == nullptr) return nullptr;
  std::shared_ptr<LineWatcher> w(new LineWatcher());
  w->ops_ = ops;
  w->signal_ = sig;
  w->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (w->fd_ < 0) return nullptr;
  try {
    w->thread_ = std::thread([w, listener] { w->Run(*listener); });
  } catch (const std::system_error&) {
    ::close(w->fd_);
    return nullptr;
  }
  const auto giveUp = Clock::now() + std::chrono::seconds(1);
  Ms patience(5);  // a refusal takes microseconds
  std::unique_lock<std::mutex> lock(w->mu_);
  while (!w->changed_.wait_for(lock, patience, [&w] { return w->verdict_ != Verdict::Unknown; })) {
    if (Clock::now() >= giveUp) break;
    lock.unlock();
    w->Kick();
    lock.lock();
    patience = Ms(2);
  }
  const bool waits = w->verdict_ == Verdict::Waits;
  lock.unlock();
  if (waits) return w;
  w->Stop();
  return nullptr;
}

LineWatcher::~LineWatcher() {
  // Stop() joins or detaches; a thread that was never started has nothing.
  if (thread_.joinable()) thread_.detach();
}

void LineWatcher::Run(LineWatchListener& listener) {
  // Only the signal that ends the sleep is taken on this thread; the
  // program's own signals go to its own threads.
  sigset_t others;
  sigfillset(&others);
  sigdelset(&others, signal_);
  ::pthread_sigmask(SIG_SETMASK, &others, nullptr);
  auto decide = [this](Verdict v) {
    std::lock_guard<std::mutex> lock(mu_);
    if (verdict_ == Verdict::Unknown) verdict_ = v;
    changed_.notify_all();
  };
  uint64_t seen = 0;
  const bool counted = ops_.count != nullptr && ops_.count(fd_, seen);
  while (!stop_) {
    // A change between two sleeps is not seen by the second one; the
    // counters show it.
    uint64_t now = 0;
    if (counted && ops_.count(fd_, now) && now != seen) {
      seen = now;
      listener.LinesChanged();
    }
    const int rc = ops_.wait(fd_);
    const int e = errno;
    if (rc == 0) {
      decide(Verdict::Waits);
      if (counted) ops_.count(fd_, seen);
      listener.LinesChanged();
      continue;
    }
    // The driver was waiting: the signal of a stop, of a probe, or of new
    // settings.
    if (e == EINTR) {
      decide(Verdict::Waits);
      continue;
    }
    decide(Verdict::Refused);
    listener.WatchEnded(this);
    break;
  }
  ::close(fd_);
  std::lock_guard<std::mutex> lock(mu_);
  ended_ = true;
  changed_.notify_all();
}

bool LineWatcher::Kick() {
  if (!StillOurs(signal_)) return false;
  return ::pthread_kill(thread_.native_handle(), signal_) == 0;
}

void LineWatcher::Renew() {
  if (!Ended()) Kick();
}

bool LineWatcher::Ended() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ended_;
}

void LineWatcher::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  std::unique_lock<std::mutex> lock(mu_);
  while (!ended_) {
    lock.unlock();
    const bool sent = Kick();
    lock.lock();
    // Sent before the thread went into the wait, the signal is spent
    // without ending it: it is sent again.
    if (changed_.wait_for(lock, Ms(2), [this] { return ended_; })) break;
    if (!sent || Clock::now() >= giveUp) break;
  }
  const bool ended = ended_;
  lock.unlock();
  if (ended) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

}  // namespace sio::platform::comm_posix
