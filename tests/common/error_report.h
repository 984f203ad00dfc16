// A stand-in for the application's error report that records what it was
// given: the code of a serial-layer exception, else the message.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "serial/support/exceptions.h"

namespace sio_test {

inline std::vector<std::string>& Reported() {
  static std::vector<std::string> reported;
  return reported;
}

inline void RecordReport(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const sio::ESioException& e) {
    Reported().push_back(std::to_string(e.ErrorCode()));
  } catch (const std::exception& e) {
    Reported().push_back(e.what());
  }
}

}  // namespace sio_test
