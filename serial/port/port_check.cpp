// The port check: one exclusive open and close of the device, nothing kept;
// and the look at the port table that needs no open.
#include "serial/port/port_check.h"

#include <memory>
#include <string>

#include "platform/comm.h"
#include "platform/device_access.h"
#include "platform/host_ports.h"
#include "serial/dispatch/device_dispatcher.h"

namespace sio {

std::atomic<bool> CheckWithDispatcher{true};
std::atomic<bool> CountBusyPorts{true};

namespace {

constexpr uint32_t kCheckQueueSize = 64;

bool BusyCountsAsPresent(uint32_t error) {
  return CountBusyPorts.load() && error == platform::errAccessDenied;
}

}  // namespace

bool PortExists(uint32_t n) {
  if (n == 0) return false;
  const std::string name = platform::ComDeviceName(n);
  if (CheckWithDispatcher.load()) {
    // Never started: the temporary dispatcher only opens and closes.
    auto dispatcher = std::make_unique<TSioWin32Dispatcher>(nullptr);
    bool present;
    if (dispatcher->OpenCom(name.c_str(), kCheckQueueSize, kCheckQueueSize) >= 0) {
      present = true;
      (void)dispatcher->CloseCom();
    } else {
      present = BusyCountsAsPresent(dispatcher->LastDeviceError());
    }
    return present;
  }
  platform::CommDevice device;
  const uint32_t rc = device.Open(name);
  if (rc == 0) {
    device.Close();
    return true;
  }
  return BusyCountsAsPresent(rc);
}

bool PortListed(uint32_t n) {
  if (n == 0) return false;
  std::string path;
  if (!platform::ResolveComDevice(platform::ComName(n), path)) return false;
  return platform::DeviceNodeExists(path);
}

}  // namespace sio
