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

// Whether port n is still there, judged without opening it: the host's port
// table lists it and its device is present. For deciding whether a port
// whose open failed has gone, where another open would reset the device or
// connect to it once more.
bool PortListed(uint32_t n);

}  // namespace sio
