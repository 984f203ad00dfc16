// Is serial port number n present on this machine? A port counts as present
// when it can be opened exclusively, or when its open is refused only
// because another program holds it.
#pragma once

#include <atomic>
#include <cstdint>

namespace sio {

// Test a port through a temporary threaded dispatcher instead of a plain
// device open. True unless changed.
extern std::atomic<bool> CheckWithDispatcher;
// A port whose open is refused with "access denied" (error 5), because
// another program holds it, still counts as present. True unless changed.
extern std::atomic<bool> CountBusyPorts;

// Port 0 is never present and is not looked for.
bool PortExists(uint32_t n);

}  // namespace sio
