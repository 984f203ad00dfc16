// The far end of a serial device for the integration tests: the device under
// test is opened with sio::platform::CommDevice by DeviceName(); the test talks to
// it through the peer.
//
// Linux: a pseudo-terminal pair; the device is the slave, the peer holds the
// master. Unplug closes the master, which hangs the slave up the way a pulled
// USB adapter does.
// Windows: two COM ports joined back to back, named by the environment:
// SIO_TEST_COM (the device's port number) and SIO_TEST_PEER_COM (the peer's).
// Under Wine the runner maps both ends of a socat pty pair; SIO_TEST_UNPLUG
// names a file whose creation asks the runner to end socat (the unplug).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace sio_test {

class SerialPeer {
 public:
  // nullptr, with the reason in whyNot, when no pair is available here.
  static std::unique_ptr<SerialPeer> Create(std::string& whyNot);
  virtual ~SerialPeer() = default;

  // The name to open the device under test by.
  virtual std::string DeviceName() const = 0;
  // Writes the whole block (gives up after 10 s); false on failure.
  virtual bool Write(const void* data, size_t size) = 0;
  // Reads until `size` bytes have come or timeoutMs has passed; the count.
  virtual size_t Read(void* data, size_t size, uint32_t timeoutMs) = 0;
  // Discards whatever the device has sent so far.
  virtual void Drain() = 0;
  // Hangs the device up; false with the reason when it cannot be done here.
  virtual bool Unplug(std::string& whyNot) = 0;
};

#ifndef _WIN32
// A bare pseudo-terminal pair for tests of the POSIX device itself: both
// descriptors non-blocking, the slave raw. Closes what it holds.
struct PtyPair {
  PtyPair() = default;
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  bool Open();
  void CloseMaster();
  int master = -1;
  int slave = -1;
  std::string slaveName;
};
#endif

// True when the Windows code runs under Wine.
bool RunningUnderWine();

// CPU time the whole process has used, in milliseconds.
double ProcessCpuMs();

}  // namespace sio_test
