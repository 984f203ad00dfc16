#include "finder/qt_event_source_qt.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

namespace finder {

namespace {

bool MakeWakePipe(int& readFd, int& writeFd) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  for (int fd : fds) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  readFd = fds[0];
  writeFd = fds[1];
  return true;
}

}  // namespace

TQtEventSource::TQtEventSource() {
  if (!MakeWakePipe(readFd_, writeFd_)) return;
  notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read);
  QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Woken(); });
  waitTimer_ = new QTimer;
  waitTimer_->setSingleShot(true);
  waitTimer_->setTimerType(Qt::PreciseTimer);
  // Its only work is to end a bounded wait: processEvents returns once it
  // has fired.
  QObject::connect(waitTimer_, &QTimer::timeout, waitTimer_, [] {});
  onQuit_ = [](int code) { QCoreApplication::exit(code); };
}

TQtEventSource::~TQtEventSource() {
  delete waitTimer_;
  delete notifier_;
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0) ::close(writeFd_);
}

TQtEventSource* TQtEventSource::Current() {
  return dynamic_cast<TQtEventSource*>(sio::platform::GetEventSource());
}

// Counts our loop as inside Qt's processEvents for as long as it lives.
class TQtEventSource::Inside {
 public:
  explicit Inside(int& depth) : depth_(depth) { ++depth_; }
  ~Inside() { --depth_; }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

 private:
  int& depth_;
};

void TQtEventSource::HandOnMissedWake() {
  if (depth_ > 0 || !missedWake_) return;
  missedWake_ = false;
  // A wake-up taken inside may be for messages our caller leaves queued (a
  // single pump, then back to Qt's loop): hand it on while any remain. The
  // check runs the sent messages, as the caller's next step would.
  if (sio::platform::WaitForMessage(0)) Wake();
}

void TQtEventSource::ProcessPending() {
  {
    Inside inside(depth_);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
  HandOnMissedWake();
}

void TQtEventSource::WaitForEvents(uint32_t timeoutMs) {
  {
    Inside inside(depth_);
    const bool bounded = timeoutMs != sio::platform::kWaitForever && waitTimer_ != nullptr;
    if (bounded && timeoutMs == 0) {
      QCoreApplication::processEvents(QEventLoop::AllEvents);
    } else {
      if (bounded) waitTimer_->start(static_cast<int>(std::min<uint32_t>(timeoutMs, 0x7FFFFFFF)));
      // Returns once something was handled: a window event, the wake-up
      // pipe (our queue has work) or the timer.
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
      if (bounded) waitTimer_->stop();
    }
  }
  HandOnMissedWake();
}

void TQtEventSource::Wake() {
  // Called with the queue's lock held, from any thread: one byte into the
  // pipe and nothing else. A full pipe is readable already.
  if (writeFd_ < 0) return;
  const char byte = 1;
  ssize_t written;
  do {
    written = ::write(writeFd_, &byte, 1);
  } while (written < 0 && errno == EINTR);
}

void TQtEventSource::Drain() {
  char buffer[256];
  while (::read(readFd_, buffer, sizeof buffer) > 0) {
  }
}

void TQtEventSource::Woken() {
  Drain();
  // Our own loop is running (a wait inside a search): it takes the
  // messages itself once processEvents returns.
  if (depth_ > 0) {
    missedWake_ = true;
    return;
  }
  if (quitInModal_) return;
  RunQueue();
}

void TQtEventSource::RunQueue() {
  sio::platform::Message m;
  while (sio::platform::PeekOneMessage(m)) {
    if (m.message == sio::platform::kMsgQuit && m.hwnd == nullptr) {
      const int code = static_cast<int>(m.wParam);
      if (modal_ != nullptr) {
        // A modal loop of ours is open: it closes, and the request waits
        // for the main loop (as a modal loop hands a quit on under Windows).
        quitInModal_ = true;
        sio::platform::PostQuit(code);
        if (modal_->endModal_) modal_->endModal_();
        return;
      }
      if (onQuit_) onQuit_(code);
      return;
    }
    // Qt is not built to let exceptions through its slots.
    try {
      sio::platform::TranslateAndDispatch(m);
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("Unknown error");
    }
  }
}

void TQtEventSource::Report(const std::string& message) {
  if (onError_) {
    onError_(message);
  } else {
    std::fprintf(stderr, "%s\n", message.c_str());
  }
}

TQtEventSource::ModalScope::ModalScope(TQtEventSource* source, std::function<void()> endModal)
    : source_(source), endModal_(std::move(endModal)), outer_(nullptr), savedDepth_(0) {
  if (source_ == nullptr) return;
  outer_ = source_->modal_;
  savedDepth_ = source_->depth_;
  source_->modal_ = this;
  source_->depth_ = 0;
  // Whatever is queued runs as soon as the modal loop starts.
  source_->Wake();
}

TQtEventSource::ModalScope::~ModalScope() {
  if (source_ == nullptr) return;
  source_->modal_ = outer_;
  source_->depth_ = savedDepth_;
  if (outer_ == nullptr) {
    source_->quitInModal_ = false;
    // The quit request it left queued (and anything else) goes on to the
    // loop outside.
    source_->Wake();
  } else if (source_->quitInModal_ && outer_->endModal_) {
    // The quit request closes every modal loop on its way out.
    outer_->endModal_();
  }
}

}  // namespace finder
