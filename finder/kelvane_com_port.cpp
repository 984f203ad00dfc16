#include "finder/kelvane_com_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/comm.h"
#include "platform/device_access.h"
#include "platform/host_ports.h"
#include "platform/message_loop.h"
#include "platform/sync.h"
#include "serial/port/port_check.h"
#include "serial/support/ticks.h"

namespace finder {

const char* const kMsgNotSelected = "COM port is not selected.";
const char* const kMsgOpenNoPort = "Unable to open. Specified COM port does not exist";
const char* const kMsgCloseNoPort = "Unable to close. Specified COM port does not exist";
const char* const kMsgPortClosed = "COM Port Closed";

EConvertError::EConvertError(const std::string& text)
    : sio::Exception("'" + text + "' is not a valid integer value") {}

int32_t StrToInt(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) throw EConvertError(text);
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') throw EConvertError(text);
    value = value * 10 + (c - '0');
    if (value > int64_t{INT32_MAX} + 1) throw EConvertError(text);
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) throw EConvertError(text);
  return static_cast<int32_t>(value);
}

uint16_t PortNumberFromEntry(const std::string& entry) {
  const int32_t n = StrToInt(entry);
  if (n < 0 || n > 0xFFFF) throw EConvertError(entry);
  return static_cast<uint16_t>(n);
}

int ComparePortNumbers(const std::string& a, const std::string& b) {
  const int32_t x = StrToInt(a);
  const int32_t y = StrToInt(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

TPumpResult PumpMessagesUntil(uint32_t timeoutMs, bool (*done)(void*), void* context,
                              sio::platform::Event* wake) {
  const uint32_t start = sio::MillisecondClock();
  for (;;) {
    if (done(context)) return TPumpResult::Done;
    // Everything that is queued now, then a short sleep in the message wait.
    for (;;) {
      const int32_t msg = sio::PumpOneMessage();
      if (msg == 0) break;
      if (msg == 18) return done(context) ? TPumpResult::Done : TPumpResult::Quit;
      if (done(context)) return TPumpResult::Done;
    }
    const uint32_t elapsed = sio::MillisecondClock() - start;
    if (elapsed >= timeoutMs) return done(context) ? TPumpResult::Done : TPumpResult::TimedOut;
    // With an event that says done() may have changed, the wait ends the
    // moment it is set; without one done() is looked at every 5 ms.
    if (wake != nullptr)
      sio::platform::WaitForMessageOrEvent(*wake, timeoutMs - elapsed);
    else
      sio::platform::WaitForMessage(std::min<uint32_t>(timeoutMs - elapsed, 5));
  }
}

TKelvaneComPort::TKelvaneComPort(sio::TSioComPort* port, TMessageBoxes& boxes)
    : port_(port), boxes_(boxes) {}

std::vector<std::string> TKelvaneComPort::GetPortList() {
  std::vector<std::string> names;
  std::string error;
  if (!sio::platform::RegisteredPortNames(names, error)) throw ERegistryException(error);
  std::vector<std::string> result;
  for (const std::string& data : names) {
    if (data.compare(0, 3, "COM") == 0) result.push_back(data.substr(3));
  }
  std::sort(result.begin(), result.end(), [](const std::string& a, const std::string& b) {
    return ComparePortNumbers(a, b) < 0;
  });
  return result;
}

void TKelvaneComPort::SetBaud(int32_t baud) {
  port_->SetBaud(baud);
  BaudChanged();
}

void TKelvaneComPort::SetComNumber(int32_t number) {
  port_->SetComNumber(static_cast<uint16_t>(number & 0xFFFF));
  ComNumberChanged();
}

void TKelvaneComPort::BaudChanged() {
  if (OnBaudChanged.Assigned()) OnBaudChanged(this);
}

void TKelvaneComPort::ComNumberChanged() {
  if (OnComNumberChanged.Assigned()) OnComNumberChanged(this);
}

void TKelvaneComPort::FinishDeferredClose() {
  if (port_->GetOpenState() != sio::osClosing) return;
  PumpMessagesUntil(
      2000,
      [](void* p) { return static_cast<sio::TSioComPort*>(p)->GetOpenState() != sio::osClosing; },
      port_);
}

namespace {

// Whether the program has been asked to quit (the request stays queued).
bool QuitPending() {
  return PumpMessagesUntil(
             0, [](void*) { return false; }, nullptr) == TPumpResult::Quit;
}

}  // namespace

bool TKelvaneComPort::OpenPort() {
  if (port_->GetComNumber() == 0) {
    boxes_.ShowMessage(kMsgNotSelected);
    return false;
  }
  FinishDeferredClose();
  // The open waits this long for the device, serving messages meanwhile;
  // Bluetooth ports connect when opened.
  port_->SetOpenTimeLimit(kOpenLimitMs);
  try {
    port_->SetOpen(true);
  } catch (const sio::EBadId&) {
    boxes_.ShowMessage(kMsgOpenNoPort);
    return false;
  } catch (const sio::EAlreadyOpen&) {
    std::string path;
    if (sio::platform::ResolveComDevice(sio::platform::ComName(port_->GetComNumber()), path) &&
        sio::platform::DeviceAccessDenied(path)) {
      boxes_.ShowMessage("Unable to open " + sio::platform::ComName(port_->GetComNumber()) + " (" +
                         path +
                         "): permission denied. Add your user to the device's group (usually "
                         "'dialout': sudo usermod -aG dialout $USER), then log in again.");
      return false;
    }
    throw;
  } catch (const sio::EInOutError& e) {
    // A device that does not answer its open in time (a Bluetooth port
    // whose device is off or out of range) costs only this probe.
    if (e.ErrorCode() != static_cast<int32_t>(sio::platform::errSemTimeout)) throw;
    // While the program quits the search runs out without its waits and
    // boxes; a port that hangs is given up silently.
    if (QuitPending()) return false;
    boxes_.ShowMessage("Unable to open. " + sio::platform::ComName(port_->GetComNumber()) +
                       " did not answer in time (a Bluetooth port whose device is off or out of "
                       "range?)");
    return false;
  } catch (const sio::ESioException&) {
    // An adapter pulled out while its port was being opened fails with a
    // device error, or as not open once its threads have released the port,
    // not "no such port"; it is gone all the same, and one device vanishing
    // must not end the search over the others. Judged from the port table:
    // another open would reset the device once more.
    if (!sio::PortListed(port_->GetComNumber())) {
      boxes_.ShowMessage(kMsgOpenNoPort);
      return false;
    }
    throw;
  }
  return port_->GetOpenState() == sio::osOpen;
}

void TKelvaneComPort::ClosePort() {
  try {
    port_->SetOpen(false);
  } catch (const sio::EBadId&) {
    boxes_.ShowMessage(kMsgCloseNoPort);
  }
  // A close deferred because a delivery was under way is completed here, so
  // that the probe's last packet is handled before the next probe starts.
  FinishDeferredClose();
}

void TKelvaneComPort::ReleasePort() noexcept {
  try {
    port_->SetOpen(false);
  } catch (...) {
  }
  try {
    FinishDeferredClose();
  } catch (...) {
  }
}

void TKelvaneComPort::Send(const std::string& text) {
  lastSentBytes_ = text.size();
  try {
    port_->OutputString(text);
  } catch (const sio::ECommNotOpen&) {
    boxes_.ShowMessage(kMsgPortClosed);
  }
}

void TKelvaneComPort::WaitUntilSent(int32_t maxTicks) {
  sio::TSioBaseDispatcher* d =
      port_->GetOpenState() == sio::osOpen ? port_->GetDispatcher() : nullptr;
  if (d == nullptr || maxTicks <= 0) return;
  const uint32_t limitMs = static_cast<uint32_t>(maxTicks) * sio::MillisecondsPerTick;
  const uint32_t start = sio::MillisecondClock();
  const TPumpResult drained = PumpMessagesUntil(
      limitMs, [](void* p) { return static_cast<sio::TSioBaseDispatcher*>(p)->OutBuffUsed() == 0; },
      d);
  if (drained != TPumpResult::Done) return;
  // The ring is empty; the last bytes may still be in the driver's queue and
  // on the line. Only what the last Send gave can be there still (the waits
  // before it outlast anything sent earlier), so allow the line time of
  // those bytes, ten bits each, and a little more.
  const int64_t baud = std::max<int32_t>(port_->GetBaud(), 300);
  const auto bits = static_cast<int64_t>(std::min<size_t>(lastSentBytes_, 64 * 1024)) * 10;
  const uint32_t lineMs = static_cast<uint32_t>((bits * 1000 + baud - 1) / baud) + 5;
  const uint32_t spent = sio::MillisecondClock() - start;
  if (spent < limitMs) {
    PumpMessagesUntil(
        std::min(lineMs, limitMs - spent), [](void*) { return false; }, nullptr);
  }
}

}  // namespace finder
