// Where the device tests find their ports on Windows: the peer's device is a
// COM port already (the runner maps pseudo-terminals under Wine), and the
// registry's port list is the table; nothing is remapped.
#include <string>

#include "platform/host_ports.h"
#include "tests/integration/port_table.h"

namespace devtest {

std::string UseComPort(const std::string& device, uint32_t number) {
  uint32_t n = 0;
  return sio::platform::ParseComName(device, n) ? sio::platform::ComDeviceName(n)
                                                : sio::platform::ComDeviceName(number);
}

void UsePortTable(const std::string&) {}

void ForgetPortTable() {}

}  // namespace devtest
