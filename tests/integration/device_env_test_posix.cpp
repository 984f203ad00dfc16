// Where the device tests find their ports on POSIX hosts: a COM number is
// mapped onto the peer's pseudo-terminal through the host's port table.
#include <cstdlib>
#include <string>

#include "platform/host_ports.h"

namespace devtest {

std::string UseComPort(const std::string& device, uint32_t number) {
  const std::string table = std::to_string(number) + "=" + device;
  ::setenv("SIO_PORTS", table.c_str(), 1);
  return platform::ComDeviceName(number);
}

void UsePortTable(const std::string& table) {
  ::setenv("SIO_PORTS", table.c_str(), 1);
}

void ForgetPortTable() {
  ::unsetenv("SIO_PORTS");
}

}  // namespace devtest
