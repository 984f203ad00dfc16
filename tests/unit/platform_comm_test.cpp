// The device code's shared decisions, on plain values, so that what the
// Windows code decides is checked on every host: what a call reports once
// the device has gone.
#include "platform/comm.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(PlatformCommDecisions, ADeviceThatHasGoneReportsItForEveryLaterCall) {
  // What USB serial drivers give after an unplug, and errors that say nothing
  // of the kind.
  struct Row {
    uint32_t error;
    uint32_t reported;
    bool gone;
  };
  const Row rows[] = {
      {platform::errAccessDenied, platform::errDeviceNotConnected, true},
      {platform::errNotReady, platform::errDeviceNotConnected, true},
      {platform::errBadCommand, platform::errDeviceNotConnected, true},
      {platform::errGenFailure, platform::errDeviceNotConnected, true},
      {platform::errBrokenPipe, platform::errDeviceNotConnected, true},
      {platform::errNoSuchDevice, platform::errDeviceNotConnected, true},
      {platform::errDeviceNotConnected, platform::errDeviceNotConnected, true},
      {platform::errDeviceRemoved, platform::errDeviceNotConnected, true},
      {platform::errInvalidParameter, platform::errInvalidParameter, false},
      {platform::errOperationAborted, platform::errOperationAborted, false},
      {platform::errNotSupported, platform::errNotSupported, false},
      {0, platform::errGenFailure, false},
  };
  for (const Row& row : rows) {
    bool gone = false;
    EXPECT_EQ(platform::DeviceCallError(row.error, gone), row.reported) << row.error;
    EXPECT_EQ(gone, row.gone) << row.error;
    // From then on whatever the system says: the device has gone.
    if (gone) {
      EXPECT_EQ(platform::DeviceCallError(platform::errInvalidParameter, gone),
                platform::errDeviceNotConnected);
      EXPECT_EQ(platform::DeviceCallError(platform::errOperationAborted, gone),
                platform::errDeviceNotConnected);
      EXPECT_TRUE(gone);
    }
  }
}

}  // namespace
