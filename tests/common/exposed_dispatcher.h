// The dispatcher's own state, opened to the serial layer's white-box tests.
// A test's device layer derives from TExposedDispatcher<its real base>; a
// dispatcher the test did not create (a port's) is read through
// TSioDispatcherProbe.
#pragma once

#include <cstddef>

#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"

namespace sio_test {

template <typename Base>
class TExposedDispatcher : public Base {
 public:
  using Base::Base;
  using sio::TSioBaseDispatcher::ActiveThreads;
  using sio::TSioBaseDispatcher::BaseAddress;
  using sio::TSioBaseDispatcher::Baud;
  using sio::TSioBaseDispatcher::ClosePending;
  using sio::TSioBaseDispatcher::DataSection;
  using sio::TSioBaseDispatcher::DataTriggers;
  using sio::TSioBaseDispatcher::DBuffer;
  using sio::TSioBaseDispatcher::DBufFull;
  using sio::TSioBaseDispatcher::DBufHead;
  using sio::TSioBaseDispatcher::DBufTail;
  using sio::TSioBaseDispatcher::DeviceHandle;
  using sio::TSioBaseDispatcher::DispActive;
  using sio::TSioBaseDispatcher::DispSection;
  using sio::TSioBaseDispatcher::DispThread;
  using sio::TSioBaseDispatcher::DTRAuto;
  using sio::TSioBaseDispatcher::DTRState;
  using sio::TSioBaseDispatcher::EventHandlers;
  using sio::TSioBaseDispatcher::Flags;
  using sio::TSioBaseDispatcher::HandleIndex;
  using sio::TSioBaseDispatcher::HandlersDirty;
  using sio::TSioBaseDispatcher::HandlersPresent;
  using sio::TSioBaseDispatcher::InQue;
  using sio::TSioBaseDispatcher::InQueue;
  using sio::TSioBaseDispatcher::KillThreads;
  using sio::TSioBaseDispatcher::LastError;
  using sio::TSioBaseDispatcher::LineSettings;
  using sio::TSioBaseDispatcher::NextHandle;
  using sio::TSioBaseDispatcher::OutBuffer;
  using sio::TSioBaseDispatcher::OutBufFull;
  using sio::TSioBaseDispatcher::OutHead;
  using sio::TSioBaseDispatcher::OutputSection;
  using sio::TSioBaseDispatcher::OutputWaitEvent;
  using sio::TSioBaseDispatcher::OutQue;
  using sio::TSioBaseDispatcher::OutSentPending;
  using sio::TSioBaseDispatcher::OutTail;
  using sio::TSioBaseDispatcher::PeekBlockPrim;
  using sio::TSioBaseDispatcher::ProcHandlers;
  using sio::TSioBaseDispatcher::ReadThread;
  using sio::TSioBaseDispatcher::RS485Mode;
  using sio::TSioBaseDispatcher::RTSAuto;
  using sio::TSioBaseDispatcher::RTSState;
  using sio::TSioBaseDispatcher::StatusThread;
  using sio::TSioBaseDispatcher::StatusTriggers;
  using sio::TSioBaseDispatcher::ThreadBoost;
  using sio::TSioBaseDispatcher::ThreadSection;
  using sio::TSioBaseDispatcher::ThreadsRunning;
  using sio::TSioBaseDispatcher::TimerTriggers;
  using sio::TSioBaseDispatcher::TraceLog;
  using sio::TSioBaseDispatcher::TrigAvailLength;
  using sio::TSioBaseDispatcher::WriteThread;
};

}  // namespace sio_test

namespace sio {

struct TSioDispatcherProbe {
  static TSioTraceLog& TraceLog(TSioBaseDispatcher& d) { return *d.TraceLog; }
  static platform::CriticalSection& DataSection(TSioBaseDispatcher& d)
      SIO_RETURN_CAPABILITY(d.DataSection) {
    return d.DataSection;
  }
  // Under DataSection.
  static const platform::CommDcb& LineSettings(TSioBaseDispatcher& d) { return d.LineSettings; }
  static bool RS485Mode(TSioBaseDispatcher& d) SIO_REQUIRES(d.DataSection) { return d.RS485Mode; }
  static int32_t TrigAvailLength(TSioBaseDispatcher& d) SIO_REQUIRES(d.DataSection) {
    return d.TrigAvailLength;
  }
  static size_t TimerTriggerCount(TSioBaseDispatcher& d) SIO_REQUIRES(d.DataSection) {
    return d.TimerTriggers.size();
  }
  static size_t EventHandlerCount(TSioBaseDispatcher& d) {
    platform::CriticalSectionLock guard(d.DataSection);
    return d.EventHandlers.size();
  }
  static TIOQueue& InQueue(TSioBaseDispatcher& d) { return *d.InQueue; }
};

}  // namespace sio
