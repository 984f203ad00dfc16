// Our message queue and Qt's event loop as one loop on the user-interface
// thread. Where our loop sleeps (WaitTicks, a shutdown's waits) it sleeps in
// Qt's processEvents, so the windows stay live; when Qt's own loop is idle at
// top level, a wake-up pipe tells it that our queue has work, and it runs our
// messages itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/message_loop.h"

class QSocketNotifier;
class QTimer;

namespace finder {

class TQtEventSource final : public sio::platform::EventSource {
 public:
  // Made on the user-interface thread once the QApplication exists.
  TQtEventSource();
  ~TQtEventSource() override;
  TQtEventSource(const TQtEventSource&) = delete;
  TQtEventSource& operator=(const TQtEventSource&) = delete;

  // False when the wake-up pipe could not be made (nothing works then).
  bool Valid() const { return readFd_ >= 0; }

  void ProcessPending() override;
  void WaitForEvents(uint32_t timeoutMs) override;
  void Wake() override;

  // What a quit request taken from our queue at top level does; by default
  // it ends Qt's loops with its exit code.
  void SetQuitHandler(std::function<void(int)> handler) { onQuit_ = std::move(handler); }
  // Where an exception from a message run at top level is reported (by
  // default standard error).
  void SetErrorHandler(std::function<void(const std::string&)> handler) {
    onError_ = std::move(handler);
  }

  // Held around a modal loop of Qt's own (a message box, a dialog): inside
  // it our queue's messages run as at top level. A quit request that comes
  // meanwhile ends the modal loop through `endModal` and stays queued for
  // the main loop.
  class ModalScope {
   public:
    ModalScope(TQtEventSource* source, std::function<void()> endModal);
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

   private:
    friend class TQtEventSource;
    TQtEventSource* source_;
    std::function<void()> endModal_;
    ModalScope* outer_;
    int savedDepth_;
  };

  // The source installed on this thread, when it is one of these.
  static TQtEventSource* Current();

 private:
  class Inside;
  void Woken();
  void HandOnMissedWake();
  void Drain();
  void RunQueue();
  void Report(const std::string& message);

  int readFd_ = -1;
  int writeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* waitTimer_ = nullptr;
  // > 0 while our own loop is inside processEvents: it runs the queue
  // itself then, and the notifier only empties the pipe.
  int depth_ = 0;
  // A wake-up was taken while our loop was inside processEvents.
  bool missedWake_ = false;
  ModalScope* modal_ = nullptr;
  bool quitInModal_ = false;
  std::function<void(int)> onQuit_;
  std::function<void(const std::string&)> onError_;
};

}  // namespace finder
