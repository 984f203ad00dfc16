// The command interpreter of the simulated device: what it echoes and what
// it answers, byte by byte, free of any I/O.
#pragma once

#include <cstdint>
#include <string>

#include "tools/elm327-sim/elm327_sim.h"

namespace elmsim {

class Engine {
 public:
  explicit Engine(const Options& options);

  struct Reply {
    std::string echo;           // goes out at once
    std::string answer;         // goes out after the reply delay (empty: none)
    uint32_t extraDelayMs = 0;  // the reset time of ATZ
  };

  // One byte received at the right speed.
  Reply Receive(uint8_t byte);

  const std::string& Identifier() const { return identifier_; }
  bool EchoOn() const { return echo_; }

 private:
  Reply Execute(const std::string& command);
  static std::string Answer(const std::string& text) { return text + "\r\r>"; }

  std::string description_;
  std::string banner_;
  bool scanTool_;
  std::string identifier_;
  bool echo_ = true;
  std::string line_;
  bool lineOverflow_ = false;
  std::string previous_;
};

}  // namespace elmsim
