// The printable form of a byte string, for the accounts of failed checks:
// printable ASCII as it is, every other byte (and the backslash) as \xNN.
#pragma once

#include <cstdio>
#include <string>

namespace sio_test {

inline std::string Visible(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u < 127 && u != '\\') {
      out.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    }
  }
  return out;
}

}  // namespace sio_test
