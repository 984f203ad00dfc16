// The device code's shared decisions, on plain values, so that what the
// Windows code decides is checked on every host: the line flags the open
// writes, when a refused read or write is retried, and what a call reports
// once the device has gone.
#include "platform/comm.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using platform::CommDcb;

TEST(PlatformCommDecisions, OpenClearsTheFlagsThatBreakAPortUnlessAskedFor) {
  struct Row {
    uint32_t kept;
    uint32_t askedFor;
    uint32_t written;
  };
  const uint32_t others = platform::dcbBinary | platform::dcbParity | platform::dcbOutxCtsFlow |
                          platform::dcbDtrEnable | platform::dcbRtsHandshake |
                          platform::dcbTxContinueOnXoff | platform::dcbErrorChar;
  const Row rows[] = {
      // As another program may have left them: all three go.
      {platform::dcbAbortOnError | platform::dcbDsrSensitivity | platform::dcbNull | others, 0,
       others},
      {platform::dcbBinary, 0, platform::dcbBinary},
      // Asked for: set, whether the device had it or not.
      {platform::dcbBinary | platform::dcbNull, platform::dcbNull,
       platform::dcbBinary | platform::dcbNull},
      {platform::dcbBinary | platform::dcbDsrSensitivity, platform::dcbAbortOnError,
       platform::dcbBinary | platform::dcbAbortOnError},
      // Only these three can be asked for; other bits asked for change nothing.
      {platform::dcbBinary, platform::dcbOutX | platform::dcbDsrSensitivity,
       platform::dcbBinary | platform::dcbDsrSensitivity},
  };
  for (const Row& row : rows) {
    CommDcb kept;
    kept.Flags = row.kept;
    kept.BaudRate = 38400;
    kept.Parity = 2;
    kept.XonLim = 7;
    kept.EvtChar = '\n';
    const CommDcb written = platform::DcbForOpen(kept, row.askedFor);
    EXPECT_EQ(written.Flags, row.written) << "kept " << row.kept << " asked " << row.askedFor;
    EXPECT_EQ(written.BaudRate, 38400u);
    EXPECT_EQ(written.Parity, 2);
    EXPECT_EQ(written.XonLim, 7);
    EXPECT_EQ(written.EvtChar, '\n');
  }
}

TEST(PlatformCommDecisions, OnlyAnAbortAfterALineErrorUnderAbortOnErrorIsRetried) {
  const uint32_t abortOnError = platform::dcbBinary | platform::dcbAbortOnError;
  const uint32_t aborted = platform::errOperationAborted;
  const uint32_t last = platform::kLineErrorRetries - 1;
  struct Row {
    uint32_t error, dcbFlags;
    bool atOnce;
    uint32_t lineErrors, retries;
    bool retry;
  };
  const Row rows[] = {
      // Refused at once: the device refuses while the error stands, even
      // when someone else has cleared it meanwhile.
      {aborted, abortOnError, true, platform::ceFrame, 0, true},
      {aborted, abortOnError, true, 0, last, true},
      {aborted, abortOnError, true, platform::ceFrame, last + 1, false},
      // Ended while pending: only a line error tells it from a purge.
      {aborted, abortOnError, false, platform::ceRxParity, 0, true},
      {aborted, abortOnError, false, platform::ceOverrun, 0, true},
      {aborted, abortOnError, false, platform::ceRxOver, 0, true},
      {aborted, abortOnError, false, platform::ceBreak, 0, true},
      {aborted, abortOnError, false, 0, 0, false},
      {aborted, abortOnError, false, platform::ceFrame, last + 1, false},
      // Without abort-on-error an abort is a purge, a cancel or a close.
      {aborted, platform::dcbBinary, true, platform::ceFrame, 0, false},
      {aborted, platform::dcbBinary, false, platform::ceFrame, 0, false},
      // Other failures are failures.
      {platform::errDeviceNotConnected, abortOnError, true, platform::ceFrame, 0, false},
      {platform::errGenFailure, abortOnError, true, platform::ceFrame, 0, false},
      {platform::errInvalidParameter, abortOnError, false, platform::ceFrame, 0, false},
      {0, abortOnError, true, platform::ceFrame, 0, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::RetryAfterLineError(row.error, row.dcbFlags, row.atOnce, row.lineErrors,
                                            row.retries),
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
