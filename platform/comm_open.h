// The device open with a time limit, written once for every host: the
// system's open runs on a thread of its own, so an open that hangs (a
// Bluetooth port connecting to a device that is off or out of range) costs
// its caller no more than the limit, and the open is made once, not tried
// first and then made again.
#pragma once

#include <cstdint>
#include <string>

#include "platform/comm.h"

namespace sio::platform::comm_open {

// What the system's open gave: the descriptor or handle, or, when `opened`
// is false, the Windows error number (taken on the opening thread, where
// errno and GetLastError belong).
struct SystemResult {
  bool opened = false;
  intptr_t handle = -1;
  uint32_t error = 0;
};
using SystemOpen = SystemResult (*)(const std::string& path);
using SystemClose = void (*)(intptr_t handle);

// Opens `path` with `open`, waiting for it at most limitMs through `wait`.
// 0 with the handle; the open's own error; or 121 when the limit passes
// first: the open is then abandoned and, when it finally returns, closes
// what it got with `close`.
//
// Two system opens of one path never overlap: while an earlier open of the
// path still runs (one abandoned, or another thread's), this one waits for
// it to end, within its own limit, and only then makes its own. A device
// that did not answer is therefore given the whole limit again by the next
// open once it has given up, and an open that lands in the middle of a
// hanging one fails after its limit without touching the device.
uint32_t OpenInTime(const std::string& path, uint32_t limitMs, const CommOpenWait& wait,
                    SystemOpen open, SystemClose close, intptr_t& handle);

// How many system opens of any path are running now, abandoned ones
// included (for tests: nothing is left racing a later open).
size_t OpensInFlight();

}  // namespace sio::platform::comm_open
