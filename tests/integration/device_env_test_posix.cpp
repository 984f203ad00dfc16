// Where the device tests find their ports on POSIX hosts: a COM number is
// mapped onto the peer's pseudo-terminal through the host's port table
// (SIO_PORTS); the table the process started with comes back afterwards.
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/host_ports.h"
#include "tests/integration/port_table.h"

namespace devtest {

namespace {

std::optional<std::optional<std::string>> saved;

void Remember() {
  if (saved) return;
  const char* now = std::getenv("SIO_PORTS");
  saved = now == nullptr ? std::optional<std::string>() : std::optional<std::string>(now);
}

}  // namespace

void UsePortTable(const std::string& table) {
  Remember();
  ::setenv("SIO_PORTS", table.c_str(), 1);
}

std::string UseComPort(const std::string& device, uint32_t number) {
  UsePortTable(std::to_string(number) + "=" + device);
  return sio::platform::ComDeviceName(number);
}

void ForgetPortTable() {
  if (!saved) return;
  if (*saved) {
    ::setenv("SIO_PORTS", saved->value().c_str(), 1);
  } else {
    ::unsetenv("SIO_PORTS");
  }
  saved.reset();
}

}  // namespace devtest
