// The simulator's command line.
#include <cstdlib>
#include <string_view>

#include "tools/elm327-sim/elm327_sim.h"

namespace elmsim {

namespace {

bool ParseNumber(std::string_view text, uint64_t limit, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  if (result > limit) return false;
  value = result;
  return true;
}

}  // namespace

std::string Usage() {
  return "usage: elm327-sim [options]\n"
         "Simulates an ELM327-type OBD-II interface on a pseudo-terminal and prints the\n"
         "terminal's device path on stdout. Runs until interrupted or hung up.\n"
         "  --baud N          the one speed it answers cleanly at (default 38400; 0: any)\n"
         "  --scan-tool       a scan tool of the maker's own: banner \"" +
         std::string(kScanToolBanner) +
         "\",\n"
         "                    announced on the first bare CR; description \"" +
         std::string(kScanToolDescription) +
         "\"\n"
         "  --description T   answer to AT@1 (default \"" +
         std::string(kDefaultDescription) +
         "\")\n"
         "  --banner T        answer to ATI and ATZ (default \"" +
         std::string(kDefaultBanner) +
         "\")\n"
         "  --id T            identifier stored already (12 characters '!'..'_')\n"
         "  --delay MS        delay before every answer\n"
         "  --split N         send every answer in N pieces ...\n"
         "  --gap MS          ... this far apart\n"
         "  --silent          read, never answer\n"
         "  --flood N         answer any input with N bytes and nothing else\n"
         "  --hangup-after MS close the terminal (unplug) this long after start\n"
         "  --hangup-after-bytes N  unplug once N bytes have been received\n"
         "  --hangup-on-open  unplug as soon as a host changes the line speed (an open does)\n"
         "  --no-read         never read: what a host sends piles up until its writes block\n"
         "  --log FILE        write every received byte with its time (ms, hex)\n"
         "  --link PATH       make a symbolic link PATH to the terminal\n";
}

bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    auto value = [&](std::string_view& text) {
      if (i + 1 >= argc) {
        error = std::string(name) + " needs a value";
        return false;
      }
      text = argv[++i];
      return true;
    };
    auto number = [&](uint64_t limit, uint64_t& result) {
      std::string_view text;
      if (!value(text)) return false;
      if (!ParseNumber(text, limit, result)) {
        error = std::string(name) + ": not a number up to " + std::to_string(limit) + ": " +
                std::string(text);
        return false;
      }
      return true;
    };
    constexpr uint64_t kMsLimit = 24ull * 3600 * 1000;
    uint64_t n = 0;
    std::string_view text;
    if (name == "--baud") {
      if (!number(4000000, n)) return false;
      options.baud = static_cast<uint32_t>(n);
    } else if (name == "--scan-tool") {
      options.scanTool = true;
    } else if (name == "--silent") {
      options.silent = true;
    } else if (name == "--description") {
      if (!value(text)) return false;
      options.description = text;
    } else if (name == "--banner") {
      if (!value(text)) return false;
      options.banner = text;
    } else if (name == "--id") {
      if (!value(text)) return false;
      options.identifier = text;
      if (!IsValidIdentifier(options.identifier)) {
        error = "--id: the identifier must be 12 characters from '!' to '_'";
        return false;
      }
    } else if (name == "--delay") {
      if (!number(kMsLimit, n)) return false;
      options.delayMs = static_cast<uint32_t>(n);
    } else if (name == "--split") {
      if (!number(1u << 16, n)) return false;
      if (n == 0) {
        error = "--split: at least 1 piece";
        return false;
      }
      options.splitPieces = static_cast<uint32_t>(n);
    } else if (name == "--gap") {
      if (!number(kMsLimit, n)) return false;
      options.gapMs = static_cast<uint32_t>(n);
    } else if (name == "--flood") {
      if (!number(1u << 24, n)) return false;
      options.flood = static_cast<uint32_t>(n);
    } else if (name == "--hangup-after") {
      if (!number(kMsLimit, n)) return false;
      options.hangupAfterMs = static_cast<int64_t>(n);
    } else if (name == "--hangup-after-bytes") {
      if (!number(uint64_t{1} << 40, n)) return false;
      options.hangupAfterBytes = static_cast<int64_t>(n);
    } else if (name == "--hangup-on-open") {
      options.hangupOnOpen = true;
    } else if (name == "--no-read") {
      options.noRead = true;
    } else if (name == "--log") {
      if (!value(text)) return false;
      options.logFile = text;
    } else if (name == "--link") {
      if (!value(text)) return false;
      options.link = text;
    } else {
      error = "unknown option: " + std::string(name);
      return false;
    }
  }
  return true;
}

}  // namespace elmsim
