// The device code's shared decisions, on plain values, so that what the
// Windows code decides is checked on every host: the line flags the open
// writes, when a refused read or write is retried, and what a call reports
// once the device has gone.
#include "platform/comm.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using sio::platform::CommDcb;

TEST(PlatformCommDecisions, OpenClearsTheFlagsThatBreakAPortUnlessAskedFor) {
  struct Row {
    uint32_t kept;
    uint32_t askedFor;
    uint32_t written;
  };
  const uint32_t others = sio::platform::dcbBinary | sio::platform::dcbParity |
                          sio::platform::dcbOutxCtsFlow | sio::platform::dcbDtrEnable |
                          sio::platform::dcbRtsHandshake | sio::platform::dcbTxContinueOnXoff |
                          sio::platform::dcbErrorChar;
  const Row rows[] = {
      // As another program may have left them: all three go.
      {sio::platform::dcbAbortOnError | sio::platform::dcbDsrSensitivity | sio::platform::dcbNull |
           others,
       0, others},
      {sio::platform::dcbBinary, 0, sio::platform::dcbBinary},
      // Asked for: set, whether the device had it or not.
      {sio::platform::dcbBinary | sio::platform::dcbNull, sio::platform::dcbNull,
       sio::platform::dcbBinary | sio::platform::dcbNull},
      {sio::platform::dcbBinary | sio::platform::dcbDsrSensitivity, sio::platform::dcbAbortOnError,
       sio::platform::dcbBinary | sio::platform::dcbAbortOnError},
      // Only these three can be asked for; other bits asked for change nothing.
      {sio::platform::dcbBinary, sio::platform::dcbOutX | sio::platform::dcbDsrSensitivity,
       sio::platform::dcbBinary | sio::platform::dcbDsrSensitivity},
  };
  for (const Row& row : rows) {
    CommDcb kept;
    kept.Flags = row.kept;
    kept.BaudRate = 38400;
    kept.Parity = 2;
    kept.XonLim = 7;
    kept.EvtChar = '\n';
    const CommDcb written = sio::platform::DcbForOpen(kept, row.askedFor);
    EXPECT_EQ(written.Flags, row.written) << "kept " << row.kept << " asked " << row.askedFor;
    EXPECT_EQ(written.BaudRate, 38400u);
    EXPECT_EQ(written.Parity, 2);
    EXPECT_EQ(written.XonLim, 7);
    EXPECT_EQ(written.EvtChar, '\n');
  }
}

TEST(PlatformCommDecisions, OnlyAnAbortAfterALineErrorUnderAbortOnErrorIsRetried) {
  const uint32_t abortOnError = sio::platform::dcbBinary | sio::platform::dcbAbortOnError;
  const uint32_t aborted = sio::platform::errOperationAborted;
  const uint32_t last = sio::platform::kLineErrorRetries - 1;
  struct Row {
    uint32_t error, dcbFlags;
    bool atOnce;
    uint32_t lineErrors, retries;
    bool retry;
  };
  const Row rows[] = {
      // Refused at once: the device refuses while the error stands, even
      // when someone else has cleared it meanwhile.
      {aborted, abortOnError, true, sio::platform::ceFrame, 0, true},
      {aborted, abortOnError, true, 0, last, true},
      {aborted, abortOnError, true, sio::platform::ceFrame, last + 1, false},
      // Ended while pending: only a line error tells it from a purge.
      {aborted, abortOnError, false, sio::platform::ceRxParity, 0, true},
      {aborted, abortOnError, false, sio::platform::ceOverrun, 0, true},
      {aborted, abortOnError, false, sio::platform::ceRxOver, 0, true},
      {aborted, abortOnError, false, sio::platform::ceBreak, 0, true},
      {aborted, abortOnError, false, 0, 0, false},
      {aborted, abortOnError, false, sio::platform::ceFrame, last + 1, false},
      // Without abort-on-error an abort is a purge, a cancel or a close.
      {aborted, sio::platform::dcbBinary, true, sio::platform::ceFrame, 0, false},
      {aborted, sio::platform::dcbBinary, false, sio::platform::ceFrame, 0, false},
      // Other failures are failures.
      {sio::platform::errDeviceNotConnected, abortOnError, true, sio::platform::ceFrame, 0, false},
      {sio::platform::errGenFailure, abortOnError, true, sio::platform::ceFrame, 0, false},
      {sio::platform::errInvalidParameter, abortOnError, false, sio::platform::ceFrame, 0, false},
      {0, abortOnError, true, sio::platform::ceFrame, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(sio::platform::RetryAfterLineError(row.error, row.dcbFlags, row.atOnce,
                                                 row.lineErrors, row.retries),
              row.retry)
        << "error " << row.error << " flags " << row.dcbFlags << " at once " << row.atOnce
        << " line errors " << row.lineErrors << " retries " << row.retries;
  }
}

TEST(PlatformCommDecisions, ADeviceThatHasGoneReportsItForEveryLaterCall) {
  // What USB serial drivers give after an unplug, and errors that say nothing
  // of the kind.
  struct Row {
    uint32_t error;
    uint32_t reported;
    bool gone;
  };
  const Row rows[] = {
      {sio::platform::errAccessDenied, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errNotReady, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errBadCommand, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errGenFailure, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errBrokenPipe, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errNoSuchDevice, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errDeviceNotConnected, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errDeviceRemoved, sio::platform::errDeviceNotConnected, true},
      {sio::platform::errInvalidParameter, sio::platform::errInvalidParameter, false},
      {sio::platform::errOperationAborted, sio::platform::errOperationAborted, false},
      {sio::platform::errNotSupported, sio::platform::errNotSupported, false},
      {0, sio::platform::errGenFailure, false},
  };
  for (const Row& row : rows) {
    bool gone = false;
    EXPECT_EQ(sio::platform::DeviceCallError(row.error, gone), row.reported) << row.error;
    EXPECT_EQ(gone, row.gone) << row.error;
    // From then on whatever the system says: the device has gone.
    if (gone) {
      EXPECT_EQ(sio::platform::DeviceCallError(sio::platform::errInvalidParameter, gone),
                sio::platform::errDeviceNotConnected);
      EXPECT_EQ(sio::platform::DeviceCallError(sio::platform::errOperationAborted, gone),
                sio::platform::errDeviceNotConnected);
      EXPECT_TRUE(gone);
    }
  }
}

}  // namespace
