// The host's end of a simulated device: the pty slave opened the way a serial
// device layer opens a port (raw, 8N1, non-blocking), with reads bounded in
// time. POSIX only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sio_test {

class SimHost {
 public:
  SimHost() = default;
  ~SimHost();
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Opens `path` raw at `baud` (a standard rate); false with the reason.
  bool Open(const std::string& path, uint32_t baud, std::string& error);
  void Close();
  bool SetSpeed(uint32_t baud);
  int fd() const { return fd_; }

  // Writes all of it; false on an error.
  bool Write(std::string_view bytes);
  // Reads until the text read so far ends with `terminator`, or the time is
  // up; returns what was read.
  std::string ReadUntil(std::string_view terminator, std::chrono::milliseconds timeout);
  // Reads until `count` bytes have come, or the time is up.
  std::string ReadCount(size_t count, std::chrono::milliseconds timeout);
  // Reads everything that arrives within `duration`.
  std::string ReadFor(std::chrono::milliseconds duration);
  // Sends `command` and reads its reply up to the prompt ">".
  std::string Exchange(std::string_view command,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

 private:
  // One read of whatever is there, waiting at most until `deadline`.
  bool ReadSome(std::string& into, std::chrono::steady_clock::time_point deadline);
  // The device has hung up (or the descriptor is bad): no more data will come.
  bool LineGone() const;

  int fd_ = -1;
};

}  // namespace sio_test
