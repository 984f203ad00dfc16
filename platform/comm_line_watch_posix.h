// A thread that sleeps in a serial driver's wait for modem-line changes
// (Linux: TIOCMIWAIT) and tells the device of each one, so that the device
// reads its lines only when they have changed: on a USB adapter every read of
// the lines is a request on the bus, and reading them 50 times a second keeps
// the bus busy for as long as a port is open.
//
// Such a wait is not ended by close(); a signal ends it. The watcher's signal
// is the highest real-time signal the program has left at its default,
// chosen once per process, with a handler that does nothing and without
// SA_RESTART, so that the wait returns EINTR. Private to the POSIX device
// code.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace sio::platform::comm_posix {

class LineWatcher;

// Told by a watcher, on the watcher's thread.
class LineWatchListener {
 public:
  // A watched line may have changed.
  virtual void LinesChanged() = 0;
  // `watcher` waits no more: the device has gone, or its driver refused the
  // wait after all.
  virtual void WatchEnded(const LineWatcher* watcher) = 0;

 protected:
  ~LineWatchListener() = default;
};

// What the watcher asks of the device.
struct LineWaitOps {
  // Sleeps until a watched line changes: 0, or -1 with errno (EINTR when a
  // signal ended the sleep, ENOTTY or EINVAL where the driver has no such
  // wait, EIO when the device has gone).
  int (*wait)(int fd) = nullptr;
  // The changes of the watched lines counted so far, read without touching
  // the line; false where the driver does not count them. Shows a change
  // that came between two waits.
  bool (*count)(int fd, uint64_t& changes) = nullptr;
};

// The driver's own: TIOCMIWAIT on CTS, DSR, DCD and RI, and the sum of their
// TIOCGICOUNT counters. Elsewhere than on Linux the wait is refused.
LineWaitOps DriverLineWaitOps();

class LineWatcher {
 public:
  // A watcher of the device on `fd` (through a descriptor of its own) whose
  // thread sleeps in ops.wait, or nullptr when the driver refuses that wait
  // or no thread or signal can be had. Whether the driver waits shows at
  // once: one without the wait refuses it, one with it sleeps until a signal
  // ends the sleep with EINTR.
  static std::shared_ptr<LineWatcher> Start(std::shared_ptr<LineWatchListener> listener, int fd,
                                            const LineWaitOps& ops);

  ~LineWatcher();
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Ends the sleep and the thread and waits for it to go. A driver that does
  // not give the thread back within 2 s leaves it behind, to end by itself
  // (with its own descriptor) at the next change or hang-up. Once only.
  void Stop();

  // Ends the current sleep, which starts again at once: after new terminal
  // settings, which may have switched off the line-change interrupt the
  // driver's wait switches on (an 8250 with CLOCAL and without CRTSCTS).
  void Renew();

  // True once the thread has stopped waiting (Stop, hang-up, refusal).
  bool Ended() const;

 private:
  LineWatcher() = default;
  bool Kick();
  void Run(LineWatchListener& listener);

  enum class Verdict { Unknown, Waits, Refused };

  LineWaitOps ops_;
  int fd_ = -1;
  int signal_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;

  mutable std::mutex mu_;
  std::condition_variable changed_;
  Verdict verdict_ = Verdict::Unknown;  // guarded by mu_
  bool ended_ = false;                  // guarded by mu_
};

// The watchers' signal, chosen once per process (ChooseLineWaitSignal); -1
// when the program uses every real-time signal.
int LineWaitSignal();

// The choice itself: the highest real-time signal whose action is the
// default, given the watchers' handler. Signals with a handler of the
// program's are passed over and left as they are. -1 when there is none.
int ChooseLineWaitSignal();

}  // namespace sio::platform::comm_posix
