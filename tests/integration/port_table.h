// The port table the device tests use, on every host: a device mapped as a
// COM port for the test, and the table the process started with given back.
// POSIX: through SIO_PORTS; Windows: the COM ports the runner maps.
#pragma once

#include <cstdint>
#include <string>

namespace devtest {

// Maps device as port `number` (POSIX) and returns the name to open.
std::string UseComPort(const std::string& device, uint32_t number);
// POSIX: SIO_PORTS for the test.
void UsePortTable(const std::string& table);
// The table the process started with.
void ForgetPortTable();

}  // namespace devtest
