// A simulated ELM327-type OBD-II interface on a pseudo-terminal.
//
// The simulator owns the master side of a pty; the slave side (SlavePath) is
// the "serial port" a host opens. It behaves like the devices do:
//
//  - It answers cleanly only at its one speed (Options::baud, default 38400):
//    it reads the speed the host set on the slave (the pty master reports the
//    slave's termios on Linux). At any other speed everything it sends
//    reaches the host as noise, bytes with the high bit set, never ">", and
//    what the host sends is noise to it, dropped as a UART drops characters
//    with framing errors: no command is recognised or remembered.
//  - Echo is on at start: every received byte is echoed as it arrives.
//  - Input: case ignored; spaces and control characters ignored; a command
//    ends with "\r". A bare "\r" repeats the previous command; with none it
//    is only echoed (a scan tool instead announces its banner, see below).
//  - Every answer ends with "\r\r>". Commands: AT@1 (the description), AT@2
//    (the stored identifier, or "?"), AT@3 <12 characters from "!" to "_">
//    (stores the identifier once: "OK"; when one is stored already, or the
//    text is not 12 such characters: "?"), ATI (the version banner), ATZ
//    (the banner after a 500 ms reset; echo back on), ATE0/ATE1 (echo off/on:
//    "OK"). Anything else answers "?".
//  - Scan-tool mode (Options::scanTool): the maker announces itself. The
//    banner is "KELVANE ELM327 v1.5" and a bare "\r" with no previous command
//    announces it (so it shows in the reply to the first "\r", besides ATI
//    and ATZ), and the description (AT@1) is "KELVANE OBD-II Scan Tool"
//    unless one is given. A scan tool that describes itself as
//    "OBDII to RS232 Interpreter" is one with that description given.
//
// Byte streams at the right speed with echo on:
//   "\r" (first)            -> "\r"
//   "AT@1\r"                -> "AT@1\rOBDII to RS232 Interpreter\r\r>"
//   "AT@2\r" (none stored)  -> "AT@2\r?\r\r>"
//   "AT@3 ELM327_CLONE\r"   -> "AT@3 ELM327_CLONE\rOK\r\r>"
//   "\r" after "AT@1\r"     -> "\rOBDII to RS232 Interpreter\r\r>"
//
// The simulator holds a slave descriptor of its own, so the pty stays "plugged
// in" while hosts open and close it, and the slave's settings (raw mode set
// at start, then whatever the host sets) persist between opens.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace elmsim {

inline constexpr char kDefaultDescription[] = "OBDII to RS232 Interpreter";
inline constexpr char kDefaultBanner[] = "ELM327 v1.5";
inline constexpr char kScanToolBanner[] = "KELVANE ELM327 v1.5";
inline constexpr char kScanToolDescription[] = "KELVANE OBD-II Scan Tool";

struct Options {
  uint32_t baud = 38400;  // the one speed it answers cleanly at; 0: any speed
  bool scanTool = false;
  std::string description;   // answer to AT@1; empty: the default for the mode
  std::string banner;        // answer to ATI/ATZ; empty: the default for the mode
  std::string identifier;    // stored identifier at start (12 characters "!".."_"), empty: none
  uint32_t delayMs = 0;      // before every answer (not the echo)
  uint32_t splitPieces = 1;  // answers go out in this many pieces ...
  uint32_t gapMs = 0;        // ... this far apart
  bool silent = false;       // reads and logs, never sends a byte
  uint32_t flood = 0;  // > 0: every arrival of input is answered by this many bytes, nothing else
  int64_t hangupAfterMs = -1;  // >= 0: the device "unplugs" (closes the pty) this long after Start
  // >= 0: it unplugs once it has received this many bytes (right speed or
  // not), so a test can pull it out between two given commands, or in the
  // middle of one.
  int64_t hangupAfterBytes = -1;
  // It unplugs as soon as a host changes the line speed from the one it
  // started with (38400), which a host's open does before the open is over.
  bool hangupOnOpen = false;
  // It never reads: what a host sends piles up in the terminal until the
  // host's writes block.
  bool noRead = false;
  std::string logFile;  // every received byte with its time
  std::string link;     // a symbolic link to the slave, made at Start, removed at the end
};

// The identifier rule of AT@3 (and --id): exactly 12 characters, each from
// "!" (0x21) to "_" (0x5F).
bool IsValidIdentifier(const std::string& text);

// Command-line options into Options; false with a message on a bad or
// unknown option. Usage() describes them.
bool ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);
std::string Usage();

struct ReceivedByte {
  double timeMs;  // since Start
  uint8_t byte;
};

// The in-memory record of received bytes keeps at most this many.
inline constexpr size_t kReceivedLogLimit = 1u << 20;

class Simulator {
 public:
  explicit Simulator(Options options = Options());
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pty, makes the link and the log file, starts the device thread.
  bool Start(std::string& error);
  // Ends the thread and closes the pty (a host sees a hang-up); removes the
  // link. Safe to call more than once.
  void Stop();

  const std::string& SlavePath() const;
  const Options& GetOptions() const;

  std::vector<ReceivedByte> Received() const;
  std::string ReceivedText() const;  // the bytes alone
  // Waits until at least `count` bytes have been received.
  bool WaitForReceived(size_t count, std::chrono::milliseconds timeout) const;

  bool HungUp() const;
  bool WaitForHangUp(std::chrono::milliseconds timeout) const;

  std::string StoredIdentifier() const;
  // The speed the host has set on the slave, as the device sees it now
  // (0 when the pty is closed or the speed is unreadable).
  uint32_t LineSpeed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace elmsim
