// The device's command set and its input rules.
#include "tools/elm327-sim/engine.h"

namespace elmsim {

namespace {

// Longer input than a real device's buffer holds is not a command.
constexpr size_t kLineLimit = 64;
constexpr uint32_t kResetMs = 500;

char Upper(uint8_t c) {
  return static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
}

}  // namespace

bool IsValidIdentifier(const std::string& text) {
  if (text.size() != 12) return false;
  for (char c : text) {
    if (c < '!' || c > '_') return false;
  }
  return true;
}

Engine::Engine(const Options& options)
    : description_(!options.description.empty()
                       ? options.description
                       : (options.scanTool ? kScanToolDescription : kDefaultDescription)),
      banner_(!options.banner.empty() ? options.banner
                                      : (options.scanTool ? kScanToolBanner : kDefaultBanner)),
      scanTool_(options.scanTool),
      identifier_(options.identifier) {}

Engine::Reply Engine::Receive(uint8_t byte) {
  Reply reply;
  if (echo_) reply.echo.push_back(static_cast<char>(byte));
  if (byte == '\r') {
    std::string command;
    command.swap(line_);
    const bool overflow = lineOverflow_;
    lineOverflow_ = false;
    if (overflow) {
      reply.answer = Answer("?");
      return reply;
    }
    if (command.empty()) {
      if (!previous_.empty()) {
        command = previous_;
      } else {
        if (scanTool_) reply.answer = Answer(banner_);
        return reply;
      }
    }
    previous_ = command;
    const Reply result = Execute(command);
    reply.answer = result.answer;
    reply.extraDelayMs = result.extraDelayMs;
    return reply;
  }
  if (byte <= ' ' || byte == 0x7F) return reply;  // spaces and control characters
  if (line_.size() < kLineLimit) {
    line_.push_back(Upper(byte));
  } else {
    lineOverflow_ = true;
  }
  return reply;
}

Engine::Reply Engine::Execute(const std::string& command) {
  Reply reply;
  if (command == "ATZ") {
    echo_ = true;
    reply.extraDelayMs = kResetMs;
    reply.answer = Answer(banner_);
  } else if (command == "ATI") {
    reply.answer = Answer(banner_);
  } else if (command == "ATE0" || command == "ATE1") {
    echo_ = command == "ATE1";
    reply.answer = Answer("OK");
  } else if (command == "AT@1") {
    reply.answer = Answer(description_);
  } else if (command == "AT@2") {
    reply.answer = Answer(identifier_.empty() ? "?" : identifier_);
  } else if (command.compare(0, 4, "AT@3") == 0) {
    const std::string text = command.substr(4);
    // The identifier can be written once only: never changed afterwards.
    if (identifier_.empty() && IsValidIdentifier(text)) {
      identifier_ = text;
      reply.answer = Answer("OK");
    } else {
      reply.answer = Answer("?");
    }
  } else {
    reply.answer = Answer("?");
  }
  return reply;
}

}  // namespace elmsim
