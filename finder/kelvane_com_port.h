// The finder's thin layer over its one serial port component: the list of
// registered ports, and open, close and send with the two expected errors of
// the serial layer turned into message boxes, so that a probe can go on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "serial/port/com_port.h"
#include "serial/support/exceptions.h"
#include "serial/support/method_ref.h"

namespace finder {

// A text that is not a decimal integer (or not a port number) where one was
// expected: "'<text>' is not a valid integer value".
class EConvertError : public sio::Exception {
 public:
  explicit EConvertError(const std::string& text);
};

// A registry value that cannot be read as text.
class ERegistryException : public sio::Exception {
 public:
  using sio::Exception::Exception;
};

// Where the wrapper's message boxes go.
class TMessageBoxes {
 public:
  virtual ~TMessageBoxes() = default;
  // Modal, OK only; messages keep being dispatched while it is shown.
  virtual void ShowMessage(const std::string& text) = 0;
};

// The texts of the wrapper's message boxes.
extern const char* const kMsgNotSelected;
extern const char* const kMsgOpenNoPort;
extern const char* const kMsgCloseNoPort;
extern const char* const kMsgPortClosed;

// The decimal integer of text (optional sign, digits, 32-bit); raises
// EConvertError otherwise.
int32_t StrToInt(const std::string& text);
// A port-list entry as a port number: a decimal integer that fits the
// component's 16-bit ComNumber; raises EConvertError otherwise, so that an
// entry such as "65537" is not taken for port 1.
uint16_t PortNumberFromEntry(const std::string& entry);
// -1, 0 or 1 by the entries' integer values; raises EConvertError.
int ComparePortNumbers(const std::string& a, const std::string& b);

class TKelvaneComPort {
 public:
  using TNotifyEvent = sio::TMethod<void(TKelvaneComPort* Sender)>;

  TKelvaneComPort(sio::TSioComPort* port, TMessageBoxes& boxes);
  virtual ~TKelvaneComPort() = default;

  // The decimal port numbers of the registered ports, ascending. Raises
  // ERegistryException for a value that is not text and EConvertError for
  // an entry that is not a number.
  std::vector<std::string> GetPortList();
  void SetBaud(int32_t baud);
  // The component's ComNumber keeps the low 16 bits.
  void SetComNumber(int32_t number);
  // True only when the port is open now.
  bool OpenPort();
  void ClosePort();
  // Closes the port after a failure has ended the search, so the device and
  // its threads are not held until the next one; failures of this close go
  // unreported (the one that ended the search is).
  void ReleasePort() noexcept;
  void Send(const std::string& text);
  // After Send: waits, processing messages, until the output has left the
  // port (at most maxTicks), so that a close does not discard it: until the
  // output ring is empty, then the line time of the text last sent.
  void WaitUntilSent(int32_t maxTicks);

  TNotifyEvent OnBaudChanged;
  TNotifyEvent OnComNumberChanged;

  // How long an open may take before the port is given up as not
  // answering (Bluetooth ports connect when opened): the open then shows
  // that it did not answer in time and returns false, and the search goes on.
  static constexpr uint32_t kOpenLimitMs = 5000;

 protected:
  virtual void BaudChanged();
  virtual void ComNumberChanged();

 private:
  // A close still deferred is completed (bounded), so that nothing of the
  // last probe runs later.
  void FinishDeferredClose();

  sio::TSioComPort* port_;
  TMessageBoxes& boxes_;
  size_t lastSentBytes_ = 0;  // by the last Send
};

enum class TPumpResult { Done, TimedOut, Quit };
// Serves the calling thread's messages until done() holds, timeoutMs pass,
// or the program is asked to quit (the quit request stays queued). `wake`,
// when given, is set whenever done() may have become true, so the wait
// ends at once instead of at the next look.
TPumpResult PumpMessagesUntil(uint32_t timeoutMs, bool (*done)(void*), void* context,
                              sio::platform::Event* wake = nullptr);

}  // namespace finder
