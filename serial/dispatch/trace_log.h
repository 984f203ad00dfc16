// The two diagnostic histories of a dispatcher: the trace (a ring of the
// bytes sent and received, each tagged with its direction) and the dispatch
// log (a queue of timestamped event records), and the text files both are
// written to.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sync.h"
#include "platform/thread_annotations.h"
#include "serial/dispatch/io_queue.h"
#include "serial/support/lock_order.h"

namespace sio {

// One recorded byte. Kind 'R' received, 'T' transmitted; any other character
// is kept and written as a special kind.
struct TraceEntry {
  char Kind;
  uint8_t Value;
};
static_assert(sizeof(TraceEntry) == 2, "a trace entry is two bytes");

constexpr uint32_t MaxTraceSize = 4000000;
constexpr char DefaultTraceName[] = "SIO.TRC";
constexpr char DefaultLogName[] = "SIO.LOG";

// Dispatch-log entry types (their words are message codes 15001 + type).
constexpr int32_t ltNoEvent = 0;
constexpr int32_t ltDispatch = 1;
constexpr int32_t ltTrigger = 2;
constexpr int32_t ltError = 3;
constexpr int32_t ltThread = 4;
constexpr int32_t ltTrigAllc = 5;
constexpr int32_t ltTrigDisp = 6;
constexpr int32_t ltTrgHdAlc = 7;
constexpr int32_t ltTrgHdDsp = 8;
constexpr int32_t ltTrDatChg = 9;
constexpr int32_t ltTelnet = 10;
constexpr int32_t ltPacket = 18;
constexpr int32_t ltUser = 19;

// Dispatch-log entry subtypes (their words are message codes 15100 + subtype).
constexpr int32_t lsReadCom = 1;
constexpr int32_t lsWriteCom = 2;
constexpr int32_t lsLineStatus = 3;
constexpr int32_t lsModemStatus = 4;
constexpr int32_t lsTrigAvail = 5;
constexpr int32_t lsTrigTimer = 6;
constexpr int32_t lsTrigData = 7;
constexpr int32_t lsStatus = 8;
constexpr int32_t lsStart = 9;
constexpr int32_t lsExit = 10;
constexpr int32_t lsSleep = 11;
constexpr int32_t lsWake = 12;
constexpr int32_t lsData = 13;
constexpr int32_t lsTimer = 14;
constexpr int32_t lsTrigStatus = 15;
constexpr int32_t lsAvail = 16;
constexpr int32_t lsWindow = 17;
constexpr int32_t lsProcedure = 18;
constexpr int32_t lsMethod = 19;
constexpr int32_t lsPacketEnable = 242;
constexpr int32_t lsPacketDisable = 243;
constexpr int32_t lsStringPacket = 244;
constexpr int32_t lsSizePacket = 245;
constexpr int32_t lsPacketTimeout = 246;
constexpr int32_t lsStartStr = 247;
constexpr int32_t lsEndStr = 248;
constexpr int32_t lsIdle = 249;
constexpr int32_t lsWaiting = 250;
constexpr int32_t lsCollecting = 251;

// The lines of the log header that depend on the build, the host and the
// moment of the dump.
struct TLogHeaderTexts {
  std::string Compiler;         // "Unknown" when the build names no compiler
  std::string OperatingSystem;  // cut to 80 characters when written
  std::string DateTime;         // "dd/mm/yy, hh:mm:ss" with the locale's separators
};
// Tests pin the header to fixed texts with one of these.
using LogHeaderTextsSource = TLogHeaderTexts (*)();

// The header texts of this build and host, at this moment.
TLogHeaderTexts CurrentLogHeaderTexts();

// Appends the text of one data byte to out and returns its width:
// AllHex "[XX]"; else printable bytes (from '!' with InHex, from ' '
// without, up to '~') as themselves; else "[XX]" with InHex, else the value
// in decimal in brackets.
int32_t RenderDataByte(std::string& out, uint8_t value, bool inHex, bool allHex);

// Milliseconds as at least seven digits with a point before the last three:
// 1234 -> "0001.234".
std::string LogTimeText(uint32_t milliseconds);

// The trace and the dispatch log of one dispatcher. Every operation may be
// called from any thread. The trace is guarded by the dispatcher's
// DataSection; the log queue has its own lock, and both file writers hold
// DataSection for the whole dump.
class TSioTraceLog {
 public:
  explicit TSioTraceLog(platform::CriticalSection& dataSection);
  ~TSioTraceLog();  // releases the trace buffer and every queued log entry
  TSioTraceLog(const TSioTraceLog&) = delete;
  TSioTraceLog& operator=(const TSioTraceLog&) = delete;

  // --- Trace ---

  // An existing buffer is emptied and keeps its size (size is ignored);
  // otherwise size zero-filled entries are allocated. Tracing is then on.
  // -1002 with nothing changed when a new buffer would exceed MaxTraceSize.
  [[nodiscard]] int32_t OpenTraceBuffer(uint32_t size);
  // Records one entry; without a buffer, nothing. Callers test TracingOn().
  void AddTraceByte(char kind, uint8_t value);
  // Records a run of bytes of one kind under one hold of the lock.
  void AddTraceBlock(char kind, const void* data, int32_t length);
  // Empties the buffer; buffer and TracingOn stay. 0.
  [[nodiscard]] int32_t ResetTraceBuffer();
  // Tracing off, buffer released.
  void FreeTraceBuffer();
  // Tracing on again, when a buffer exists.
  void ResumeTracing();
  // Tracing off; the buffer stays.
  void PauseTracing();
  // Write the recorded entries, oldest first, to a new file (replacing one of
  // that name) or appended to the file (created when missing); the buffer is
  // then emptied and tracing is on. Nothing recorded: 0 and no file touched.
  // A file that cannot be opened: the trace is released, tracing is off, and
  // the result is the negated system error number (-3 missing directory,
  // -5 access denied, ...).
  [[nodiscard]] int32_t WriteTraceFile(const std::string& fileName, bool inHex, bool allHex);
  [[nodiscard]] int32_t AppendTraceFile(const std::string& fileName, bool inHex, bool allHex);

  bool TracingOn() const { return tracingOn_.load(); }
  bool HasTraceBuffer() const;
  uint32_t Size() const;  // entries of the buffer, 0 without one
  uint32_t Head() const;  // index of the next entry to write
  bool Wrapped() const;   // Head has run past the end at least once
  // Entry at a storage index (< Size()); {0, 0} without a buffer.
  TraceEntry Entry(uint32_t index) const;

  // --- Dispatch log ---

  // Empties the queue, sets LogSize (0: no limit) and turns logging on.
  void OpenDispatchLog(uint32_t size);
  // Adds one entry while logging is on, after trimming the oldest entries
  // while the queue's data bytes exceed LogSize.
  void LogDispatchEvent(int32_t type, int32_t subType, uint32_t data, const void* buffer,
                        int32_t bufferLength);
  void ClearDispatchLog();
  void CloseDispatchLog();  // logging off, queue emptied
  void ResumeDispatchLog();
  void PauseDispatchLog();  // logging off, queue kept
  // Writes a header block and every queued entry, oldest first, to a new
  // file or appended, and empties the queue. Empty queue: 0 and no file
  // touched. A file that cannot be opened: the negated system error number,
  // and the entries stay queued.
  [[nodiscard]] int32_t WriteDispatchLogFile(const std::string& fileName, bool inHex, bool allHex);
  [[nodiscard]] int32_t AppendDispatchLogFile(const std::string& fileName, bool inHex, bool allHex);

  bool LoggingOn() const { return loggingOn_.load(); }
  uint32_t LogSize() const { return logSize_.load(); }
  TIOQueue& LogQueue() { return logQueue_; }

  // Milliseconds since the open time, in 32-bit wrap-around arithmetic.
  uint32_t ElapsedSinceOpen() const;
  // The MillisecondClock value taken when the port opened.
  void SetOpenTime(uint32_t millisecondClock) { openTime_.store(millisecondClock); }
  uint32_t OpenTime() const { return openTime_.load(); }
  // "COM" and the port number, written in the log header.
  void SetDeviceName(const std::string& name);
  std::string DeviceName() const;

  // nullptr: the real header texts (CurrentLogHeaderTexts).
  void SetLogHeaderTextsSource(LogHeaderTextsSource source) { headerSource_.store(source); }

 private:
  [[nodiscard]] int32_t DumpTrace(const std::string& fileName, bool append, bool inHex,
                                  bool allHex);
  [[nodiscard]] int32_t DumpLog(const std::string& fileName, bool append, bool inHex, bool allHex);
  // For a caller that holds DataSection: what opening an existing buffer
  // does (emptied, tracing on), AddTraceByte and FreeTraceBuffer.
  void RestartTraceLocked() SIO_REQUIRES(DataSection);
  void AddTraceByteLocked(char kind, uint8_t value) SIO_REQUIRES(DataSection);
  void FreeTraceBufferLocked() SIO_REQUIRES(DataSection);

  platform::CriticalSection& DataSection;

  // Trace.
  std::unique_ptr<TraceEntry[]> trace_ SIO_GUARDED_BY(DataSection);
  uint32_t size_ SIO_GUARDED_BY(DataSection) = 0;
  uint32_t head_ SIO_GUARDED_BY(DataSection) = 0;
  bool wrapped_ SIO_GUARDED_BY(DataSection) = false;
  std::atomic<bool> tracingOn_{false};

  // Dispatch log.
  std::atomic<bool> loggingOn_{false};
  std::atomic<uint32_t> logSize_{0};
  TIOQueue logQueue_;
  std::atomic<uint32_t> openTime_{0};
  mutable platform::CriticalSection nameLock_{lock_order::Leaf("trace log name lock")};
  std::string deviceName_ SIO_GUARDED_BY(nameLock_);
  std::atomic<LogHeaderTextsSource> headerSource_{nullptr};
};

}  // namespace sio
