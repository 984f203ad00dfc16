// What the finder's form needs of its window. Each front-end implements it
// (the Win32 window, the Qt window, the headless runner), so the finder's
// logic is written once.
#pragma once

#include <exception>
#include <string>

#include "finder/status_log.h"

namespace finder {

class TFinderView : public TStatusLog::Listener {
 public:
  // The Start button; disabled while a search runs.
  virtual void SetStartEnabled(bool enabled) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // A modal message box with an OK button; messages keep being dispatched
  // while it is shown.
  virtual void ShowMessage(const std::string& text) = 0;
  // The application's default error report for an exception that ended an
  // operation: its message.
  virtual void ShowError(const std::string& message) = 0;
};

// The text an error report shows for an exception: its message, or
// "Unknown error" for one that is no std::exception.
inline std::string ErrorText(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "Unknown error";
}

}  // namespace finder
