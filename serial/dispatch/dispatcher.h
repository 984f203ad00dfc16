// The engine behind one open serial port: the 8192-byte dispatch buffer and
// the output ring, line settings and status, the triggers and the dispatcher
// thread that evaluates them and delivers their events. Everything that
// touches a device goes through the virtual device-layer operations, which a
// device layer supplies.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "../../platform/comm_types.h"
#include "../../platform/message_loop.h"
#include "../../platform/sync.h"
#include "../support/method_ref.h"
#include "../support/ticks.h"

namespace sio {

class TComponent;
class TSioBaseDispatcher;
class TSioDispatcherThread;
class TDispThread;
class TIOQueue;
class TSioTraceLog;
class TSioCustomComPort;
class TSioDataPacket;
class TSioDataPacketManager;

// --- Sizes and limits -------------------------------------------------------

constexpr uint32_t DispatchBufferSize = 8192;
// One match slot per character of a data trigger.
constexpr int32_t MaxTriggerLength = 22;
constexpr int32_t TriggerTextSize = 24;
// Handles are NextHandle * 8 while NextHandle is below this; then reused.
constexpr uint32_t TriggerHandleLimit = 4096;
// The handle of the availability trigger.
constexpr int32_t AvailTriggerHandle = 1;

// --- Trigger messages (wParam: trigger argument; lParam: HandleIndex * 65536 + data)

constexpr uint32_t kMsgTriggerAvail = 0x7E01;
constexpr uint32_t kMsgTriggerData = 0x7E02;
constexpr uint32_t kMsgTriggerTimer = 0x7E03;
constexpr uint32_t kMsgTriggerStatus = 0x7E04;

// The longest a wait for a thread's end sleeps before it looks again by
// itself (one tick).
constexpr uint32_t kThreadEndWaitMs = 55;
// While a quit request waits for the main loop, messages cannot be waited
// for; a wait for a thread's end then looks again this often.
constexpr uint32_t kQuitPendingWaitMs = 5;

// How long a window handler may take before delivery moves on.
constexpr uint32_t WindowHandlerTimeoutMs = 3000;

// Status trigger types, kept in the low three bits of their handles.
constexpr int32_t stModem = 1;
constexpr int32_t stLine = 2;
constexpr int32_t stOutBuffFree = 3;
constexpr int32_t stOutBuffUsed = 4;
constexpr int32_t stOutSent = 5;

// InitPort option bits.
constexpr uint32_t ipDTROn = 0x01;
constexpr uint32_t ipRTSOn = 0x02;
constexpr uint32_t ipDTRFlow = 0x10;
constexpr uint32_t ipRTSFlow = 0x20;

// SetHWFlow options (the order of THWFlowOptionSet).
constexpr uint32_t hfUseDTR = 0x01;
constexpr uint32_t hfUseRTS = 0x02;
constexpr uint32_t hfRequireDSR = 0x04;
constexpr uint32_t hfRequireCTS = 0x08;
// SWFlowEnable options.
constexpr uint32_t sfTransmit = 0x01;
constexpr uint32_t sfReceive = 0x02;

// UpdateHandlerFlags arguments.
constexpr int32_t fuRecompute = 0;
constexpr int32_t fuWantEvents = 1;
constexpr int32_t fuDontWantEvents = 2;

// FindTriggerFromHandle kinds.
constexpr int32_t tkNone = 0;
constexpr int32_t tkTimer = 2;
constexpr int32_t tkData = 3;
constexpr int32_t tkStatus = 4;

// The general exception a device layer raises when its threads are started twice.
inline constexpr const char* kDispatcherAlreadyStarted = "Dispatcher already started.";

// --- Handlers ---------------------------------------------------------------

// An event-method handler: (message, trigger handle, data), all 32-bit.
using TTriggerEvent = TMethod<void(uint32_t Msg, uint32_t Trigger, uint32_t Data)>;
// A procedure handler, same arguments.
using TTriggerProc = void (*)(uint32_t Msg, uint32_t Trigger, uint32_t Data);

struct TWndTriggerHandler {
  platform::WindowHandle Window = nullptr;
  bool Deleted = false;
};

struct TProcTriggerHandler {
  TTriggerProc Proc = nullptr;
  bool Deleted = false;
};

struct TEventTriggerHandler {
  TTriggerEvent Method;
  bool Deleted = false;
  bool Synchronized = false;  // run on the user-interface thread through SyncEvent
};

// --- Trigger records --------------------------------------------------------

// Boolean fields of the trigger records: all ones is true.
constexpr int32_t kTrue32 = -1;

struct TTimerTrigger {
  int32_t Handle = 0;
  TickTimer Timer{0, 0};
  int32_t Ticks = 0;
  int32_t Reserved = -1;
  int32_t Active = 0;
};

struct TDataTrigger {
  int32_t Handle = 0;
  int32_t Length = 0;  // 0: ignore this trigger
  int32_t Slots[MaxTriggerLength] = {};
  int32_t Matched = 0;
  int32_t IgnoreCase = 0;
  char Text[TriggerTextSize] = {};  // upper case when IgnoreCase
};

struct TStatusTrigger {
  int32_t Handle = 0;
  int32_t Type = 0;
  // stModem: low byte reference modem bits, high byte mask; stLine: mask of
  // line-error bits; stOutBuffFree/stOutBuffUsed: a byte count.
  uint16_t Data = 0;
  bool Active = false;
  bool Fired = false;
};

// The triggers a component keeps over a close and reopen. A missing list
// is skipped on restore.
struct TriggerSave {
  int32_t AvailLength = 0;
  std::unique_ptr<std::vector<TTimerTrigger>> TimerTriggers;
  std::unique_ptr<std::vector<TDataTrigger>> DataTriggers;
  std::unique_ptr<std::vector<TStatusTrigger>> StatusTriggers;
};

// --- Thread exceptions ----------------------------------------------------

// Shows an exception that ended a thread of a port, the way the application
// shows its exceptions. The application installs its reporter (a message
// box); without one the text goes to standard error.
using TThreadExceptionReporter = void (*)(std::exception_ptr error);
void SetThreadExceptionReporter(TThreadExceptionReporter reporter);
void ShowThreadException(std::exception_ptr error);

// --- The dispatcher ---------------------------------------------------------

// Lock order: DataSection may be held while taking DispSection or
// OutputSection; never the other way round, and DispSection and
// OutputSection are never held together. LifecycleSection is outermost,
// ThreadSection innermost. Only the dispatcher thread delivers events.
class TSioBaseDispatcher {
 public:
  explicit TSioBaseDispatcher(TComponent* Owner);
  virtual ~TSioBaseDispatcher();
  TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
  TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

  // --- Lifecycle ---
  [[nodiscard]] int32_t InitPort(const char* ComName, uint32_t Baud, uint8_t Parity,
                                 uint8_t DataBits, uint8_t StopBits, uint32_t InSize,
                                 uint32_t OutSize, uint32_t Options);
  void DonePort();
  [[nodiscard]] int32_t SetupCom(uint32_t InSize, uint32_t OutSize);

  // --- Buffers ---
  static uint32_t BufferedCount(uint32_t Head, uint32_t Tail, bool Full);
  uint32_t InBuffUsed();
  // Handlers of a data event read what the event reports, each from the same
  // start. Any other thread that reads while such an event is delivered
  // waits until the delivery has ended (the user-interface thread serving
  // its messages meanwhile) and then reads what the handlers left; -3007
  // when the delivery does not end within about 2 s.
  [[nodiscard]] int32_t GetBlock(void* Block, uint32_t Len);
  [[nodiscard]] int32_t PeekBlockPrim(void* Block, uint32_t Offset, uint32_t& NewTail,
                                      uint32_t Len);
  [[nodiscard]] int32_t PutBlock(const void* Block, uint32_t Len);
  uint32_t OutBuffUsed();
  uint32_t OutBuffFree();
  [[nodiscard]] int32_t FlushInBuffer();
  [[nodiscard]] int32_t FlushOutBuffer();
  // One pass's move of received data into the dispatch buffer; false when
  // nothing was waiting.
  bool FillDispatchBuffer();

  // --- Line settings, flow control and status ---
  [[nodiscard]] int32_t SetLine(uint32_t Baud, uint8_t Parity, uint8_t DataBits, uint8_t StopBits);
  // SetLine, with or without the wait for the line to go idle first.
  [[nodiscard]] int32_t ApplyLine(uint32_t Baud, uint8_t Parity, uint8_t DataBits, uint8_t StopBits,
                                  bool WaitForIdle);
  void GetLine(uint32_t& Baud, uint8_t& Parity, uint8_t& DataBits, uint8_t& StopBits);
  void WaitTxIdle();
  [[nodiscard]] int32_t SetComStatePrim(platform::CommDcb& DCB);
  [[nodiscard]] int32_t SetDTR(bool OnOff);
  [[nodiscard]] int32_t SetRTS(bool OnOff);
  [[nodiscard]] int32_t SetHWFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  [[nodiscard]] int32_t SWFlowEnable(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  [[nodiscard]] int32_t SWFlowDisable();
  [[nodiscard]] int32_t SWFlowChars(char XOnChar, char XOffChar);
  [[nodiscard]] int32_t GetFlowOptions(uint32_t& HWOpts, uint32_t& SWOpts, char& XOnChar,
                                       char& XOffChar);
  void SetRS485Mode(bool OnOff);
  void SetFlag(uint32_t Mask);
  void ClearFlag(uint32_t Mask);
  uint8_t GetModemStatus();
  uint8_t GetModemStatusPrim(uint8_t ClearMask);
  void RefreshModemStatus();
  void RefreshLineError();
  [[nodiscard]] int32_t GetLineError();
  bool CheckLineBreak();
  // The numeric speed of a stored baud value (codes 0xFEFF, 0xFF10..0xFF27).
  static uint32_t NumericBaud(uint32_t Baud);

  // --- Triggers ---
  [[nodiscard]] int32_t AddTimerTrigger();
  [[nodiscard]] int32_t SetTimerTrigger(int32_t Handle, int32_t Ticks, bool Activate);
  // A data trigger for Text (at most 22 characters): its handle, -5002 when
  // longer, -1002 when empty, -5001 without a free handle.
  [[nodiscard]] int32_t AddDataTrigger(const std::string& Text, bool IgnoreCase);
  // A status trigger of type stModem..stOutSent, inactive: its handle (a
  // multiple of 8 plus the type), -1002 for another type, -5001 without a
  // free handle.
  [[nodiscard]] int32_t AddStatusTrigger(int32_t SType);
  // Arms or disarms a status trigger. Value: stModem the mask of the modem
  // bits to watch (the reference is their state when armed); stLine the mask
  // of line-error bits; stOutBuffFree/stOutBuffUsed the byte count; stOutSent
  // unused. -5003 when Handle is not a status trigger.
  [[nodiscard]] int32_t SetStatusTrigger(int32_t Handle, uint32_t Value, bool Activate);
  [[nodiscard]] int32_t RemoveTrigger(int32_t Handle);
  void ChangeLengthTrigger(int32_t Length);
  // Trigger receives the record (nullptr once removed); Kind tk*.
  [[nodiscard]] int32_t FindTriggerFromHandle(int32_t Handle, bool Remove, void*& Trigger,
                                              int32_t& Kind);
  void ClearTriggers();
  void SaveTriggers(TriggerSave& Save);
  void RestoreTriggers(const TriggerSave& Save);
  static void FreeSavedTriggers(TriggerSave& Save);

  // --- Handlers ---
  void RegisterWndTriggerHandler(platform::WindowHandle Window);
  void DeregisterWndTriggerHandler(platform::WindowHandle Window);
  void RegisterProcTriggerHandler(TTriggerProc Proc);
  void DeregisterProcTriggerHandler(TTriggerProc Proc);
  void RegisterEventTriggerHandler(const TTriggerEvent& Method, bool Synchronized = false);
  void DeregisterEventTriggerHandler(const TTriggerEvent& Method);

  // --- Dispatch (the dispatcher thread) ---
  bool DispatchEvent(uint32_t Msg, uint32_t Trigger, uint32_t Data);
  bool CheckDataTriggers();
  static bool MatchTriggerByte(int32_t* Slots, uint8_t C, int32_t Length, bool IgnoreCase,
                               const char* Text);
  bool CheckStatusTriggers();
  bool CheckTimerTriggers();
  void ProcessCommEvents();
  void ProcessTimers();
  void ThreadStart();
  void ThreadGone(TSioDispatcherThread* Thread);
  bool OnDispatcherThread() const;
  // Runs fn(context) on the user-interface thread for the dispatcher thread
  // and waits for it; the wait counts as a hand-over, the run as a running one.
  void HandOverToUserInterface(void (*fn)(void*), void* context);
  // Whether a thread of the port still runs or an event is being delivered:
  // until neither holds, the dispatcher cannot be freed.
  bool ThreadsOrDeliveryActive() const { return ThreadsRunning.load() || DispActive.load(); }
  // Whether an event is being delivered now.
  bool Delivering() const { return DispActive.load(); }
  // The dispatcher's slot in the registry: the high word of every trigger
  // message's lParam.
  int32_t GetHandleIndex() const { return HandleIndex; }
  // Whether the calling thread is the user-interface thread inside a call the
  // dispatcher thread handed to it and is waiting for: what would stop the
  // dispatcher thread must not wait for it here.
  bool InHandedOverCall() const;
  // Waits for work for the dispatcher thread: up to 50 ms for InQueue, or,
  // while the dispatch buffer is full, for room in it.
  void WaitForDispatchWork();

  // --- Trace and dispatch log ---
  [[nodiscard]] int32_t OpenTraceBuffer(uint32_t Size);
  void AddTraceByte(char Kind, uint8_t Value);
  [[nodiscard]] int32_t ResetTraceBuffer();
  void FreeTraceBuffer();
  void ResumeTracing();
  void PauseTracing();
  [[nodiscard]] int32_t WriteTraceFile(const std::string& FileName, bool InHex, bool AllHex);
  [[nodiscard]] int32_t AppendTraceFile(const std::string& FileName, bool InHex, bool AllHex);
  void OpenDispatchLog(uint32_t Size);
  void LogDispatchEvent(int32_t Type, int32_t SubType, uint32_t Data, const void* Buffer,
                        int32_t BufferLength);
  void ClearDispatchLog();
  void CloseDispatchLog();
  void ResumeDispatchLog();
  void PauseDispatchLog();
  [[nodiscard]] int32_t WriteDispatchLogFile(const std::string& FileName, bool InHex, bool AllHex);
  [[nodiscard]] int32_t AppendDispatchLogFile(const std::string& FileName, bool InHex, bool AllHex);
  uint32_t ElapsedSinceOpen() const;
  void SetComName(const std::string& Name);
  std::string GetComName() const;

  // --- Device layer -----------------------------------------------------
  [[nodiscard]] virtual int32_t EscapeComFunction(int32_t Func) = 0;
  [[nodiscard]] virtual int32_t FlushCom(int32_t Queue) = 0;
  virtual uint32_t GetComError(platform::CommStat& Stat) = 0;
  [[nodiscard]] virtual int32_t GetComEventMask(int32_t EvtMask) = 0;
  // Callers that read the settings again before changing them discard its
  // result: the change that follows reports a device that cannot answer.
  [[nodiscard]] virtual int32_t GetComState(platform::CommDcb& DCB) = 0;
  [[nodiscard]] virtual int32_t ReadCom(uint8_t* Buf, int32_t Size) = 0;
  [[nodiscard]] virtual int32_t SetComState(platform::CommDcb& DCB) = 0;
  [[nodiscard]] virtual int32_t WriteCom(const uint8_t* Buf, int32_t Size) = 0;
  virtual bool CheckCom(int32_t& Value) = 0;
  virtual bool SetupComPrim(uint32_t InSize, uint32_t OutSize) = 0;
  virtual void DonePortPrim();
  virtual void StartDispatcher() = 0;
  virtual void StopDispatcher() = 0;
  virtual uint32_t OutBufUsed() = 0;
  virtual uint32_t InQueueUsed();
  [[nodiscard]] virtual int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) = 0;
  // Callers that are done with the device whatever happens discard its
  // result (the release, the stop, an unplugged device).
  [[nodiscard]] virtual int32_t CloseCom() = 0;
  [[nodiscard]] virtual int32_t YieldCom() = 0;
  virtual void SetThreadBoost(uint8_t Boost);
  virtual void UpdateHandlerFlags(int32_t FlagUpdate);
  // The device's modem lines in the status-register layout (0x10 CTS, 0x20
  // DSR, 0x40 RI, 0x80 DCD); false when they cannot be read.
  virtual bool GetModemStatusRaw(uint32_t& Status) = 0;
  // The UART's base I/O address, on systems that tell it; false elsewhere.
  virtual bool GetUartBaseAddress(uint16_t& Address);
  // The error number of the device layer's last failure (the platform's
  // numbering): what a failed open or queue-size request is reported as.
  virtual uint32_t LastDeviceError();
  // True where the serial driver toggles RTS itself in RS-485 mode (every
  // system this layer runs on); false would make PutBlock raise RTS itself.
  virtual bool DriverTogglesRTS() const;

 protected:
  // The device layers and the port's threads work on this state directly;
  // the component and its packet matchers reach it as friends. Nothing of it
  // is part of what a program calls.
  friend class TSioDispatcherThread;
  friend class TDispThread;
  friend class TSioCustomComPort;
  friend class TSioDataPacket;
  friend class TSioDataPacketManager;
  // The layer's own white-box tests read it through this.
  friend struct TSioDispatcherProbe;
  friend platform::LResult ComWindowProc(platform::WindowHandle, uint32_t, platform::WParam,
                                         platform::LParam);

  // --- Fields -------------------------------------------------------------
  TComponent* const Owner;
  int32_t HandleIndex = -1;
  std::atomic<int32_t> DeviceHandle{-1};
  uint32_t LastError = 0;  // DataSection
  uint32_t InQue = 0;
  uint32_t OutQue = 0;
  uint32_t ModemStatus = 0;        // DataSection
  platform::CommStat ComStatus;    // DataSection
  platform::CommDcb LineSettings;  // DataSection
  uint32_t Baud = 0;               // DataSection
  uint32_t Flags = 0;              // DataSection
  bool DTRState = false;           // DataSection, the four of them
  bool DTRAuto = false;
  bool RTSState = false;
  bool RTSAuto = false;
  bool RS485Mode = false;  // DataSection
  uint16_t BaseAddress = 0;

  // Triggers and handlers (DataSection).
  bool ComponentWantsEvents = false;
  bool HandlersPresent = false;
  std::vector<std::unique_ptr<TWndTriggerHandler>> WndHandlers;
  std::vector<std::unique_ptr<TProcTriggerHandler>> ProcHandlers;
  std::vector<std::unique_ptr<TEventTriggerHandler>> EventHandlers;
  std::vector<std::unique_ptr<TTimerTrigger>> TimerTriggers;
  std::vector<std::unique_ptr<TDataTrigger>> DataTriggers;
  std::vector<std::unique_ptr<TStatusTrigger>> StatusTriggers;
  // Scan and consume state (DispSection).
  int32_t LastTail = 0;
  int32_t TrigAvailLength = 0;  // DataSection
  bool StatusFired = false;     // dispatcher thread
  bool ConsumeMode = false;
  uint32_t Consumed = 0;
  uint32_t MaxConsumed = 0;
  int32_t LastAvailPos = 0;

  std::atomic<bool> KillThreads{false};
  // Thread slots; dereferenced only under ThreadSection.
  std::atomic<TSioDispatcherThread*> ReadThread{nullptr};
  std::atomic<TSioDispatcherThread*> DispThread{nullptr};
  std::atomic<TSioDispatcherThread*> WriteThread{nullptr};
  std::atomic<TSioDispatcherThread*> StatusThread{nullptr};
  uint8_t ThreadBoost = 0;

  platform::CriticalSection DataSection;
  platform::CriticalSection OutputSection;
  platform::CriticalSection DispSection;
  // Serialises opening, starting, stopping and releasing the port. Waits for
  // threads happen under it, never under DataSection, which the dispatcher
  // thread needs on every pass.
  platform::CriticalSection LifecycleSection;
  // Guards the thread slots against a thread that clears its slot and frees
  // itself.
  platform::CriticalSection ThreadSection;

  // The six events; null until InitPort. They live until the dispatcher is
  // destroyed, so a late thread never signals a freed event; EventsOpen is
  // what "closed" means.
  std::unique_ptr<platform::Event> DispStopEvent;     // (1) auto
  std::unique_ptr<platform::Event> PassDoneEvent;     // (2) auto
  std::unique_ptr<platform::Event> ThreadReadyEvent;  // (3) auto
  std::unique_ptr<platform::Event> OutputWaitEvent;   // (4) auto
  std::unique_ptr<platform::Event> WriteDoneEvent;    // (5) manual
  std::unique_ptr<platform::Event> OutputFlushEvent;  // (6) auto
  std::atomic<bool> EventsOpen{false};
  void SignalEvent(platform::Event* Ev);

  uint32_t CurrentEvent = 0;  // dispatcher thread
  std::atomic<bool> RingFlag{false};
  // The received data and line events the device layer queues for the
  // dispatcher thread.
  const std::unique_ptr<TIOQueue> InQueue;

  // Output ring (OutputSection).
  std::unique_ptr<uint8_t[]> OutBuffer;
  uint32_t OutHead = 0;
  uint32_t OutTail = 0;
  bool OutBufFull = false;
  // The ring arithmetic every device layer's WriteCom and OutBufUsed share.
  // Copies n bytes in at OutHead, in two pieces when they reach the end; the
  // caller holds OutputSection and has made sure of the room.
  void CopyIntoOutputRing(const uint8_t* Buf, uint32_t N);
  // Bytes waiting in the ring (takes OutputSection).
  uint32_t OutputRingUsed();

  // Dispatch buffer (DispSection).
  std::unique_ptr<uint8_t[]> DBuffer;
  uint32_t DBufHead = 0;
  uint32_t DBufTail = 0;
  bool DBufFull = false;

  std::atomic<bool> DispActive{false};
  bool HandlersDirty = false;  // DataSection
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> OutSentPending{false};

  const std::unique_ptr<TSioTraceLog> TraceLog;

  uint32_t NextHandle = 1;  // DataSection
  std::atomic<bool> ThreadsRunning{false};
  std::atomic<bool> DoDonePortPrim{false};
  std::atomic<int32_t> ActiveThreads{0};
  // Set by StartDispatcher when a thread of the port could not be started.
  std::atomic<bool> ThreadStartFailed{false};
  // Threads of the port that have reached their start since StartDispatcher
  // began; each then sets ThreadReadyEvent.
  std::atomic<int32_t> ReadyThreads{0};

  // The close that destruction needs: DonePortPrim when a close is pending,
  // else DonePort, then a wait (serving messages) until no thread of the port
  // runs. The most derived device layer calls it first thing in its
  // destructor, while its operations still exist; the base destructor only
  // waits and leaves the registry.
  void Shutdown();
  // Makes Thread the occupant of Slot, then starts it. False (and the thread
  // object freed) when the system would not start it.
  virtual bool LaunchThread(std::atomic<TSioDispatcherThread*>& Slot, TSioDispatcherThread* Thread,
                            platform::ThreadPriority Priority);
  // Lets a thread that would not end go: its slot is cleared, it can no
  // longer be reached through the dispatcher, and the destructor still waits
  // for it, so it never runs on freed memory.
  void AbandonThread(std::atomic<TSioDispatcherThread*>& Slot);
  // Pumps the calling thread's messages until Done() or the ticks pass;
  // between messages it sleeps until a thread of the port ends.
  template <typename Pred>
  bool PumpUntil(Pred Done, int32_t Ticks);
  // Ends the dispatcher thread's wait for work at once (the close).
  void WakeDispatcherThread();
  // Set by every thread of the port as the last thing it does, so that
  // waits for a thread's end are woken by the end itself. Shared with the
  // threads: one that ends after the dispatcher is gone still has it.
  const std::shared_ptr<platform::Event> ThreadEnded =
      std::make_shared<platform::Event>(false, false);
  platform::ThreadPriority PriorityLevel(int32_t Level) const;

 private:
  [[nodiscard]] int32_t GetTriggerHandle();                               // DataSection held
  uint8_t ApplyModemStatus(bool known, uint32_t raw, uint8_t clearMask);  // DataSection held
  void ResetDataTriggerMatches();
  void FinishDispatch(bool consumeDone);
  void RunStatusTriggerLoop();
  // Lets status triggers that fired fire again.
  void ResetStatusFired();
  // The line-error bits and queue counts, folded into LastError/ComStatus.
  platform::CommStat RefreshLineErrorStat();
  // Unread bytes from the tail up to and including ring position Pos; 0 when
  // Pos is not unread. DispSection held.
  uint32_t UnreadUpTo(uint32_t Pos) const;
  std::string ComName;  // guarded by nameLock_
  mutable platform::CriticalSection nameLock_;

  // Bytes between LastTail and the head that the data-trigger scan has not
  // examined, and the count of every byte ever put into the dispatch buffer:
  // with them a full ring (head back on the tail) is still scanned and still
  // reported. DispSection.
  uint32_t scanPending_ = 0;
  uint64_t headStream_ = 0;
  uint64_t lastAvailStream_ = 0;
  uint32_t flushCount_ = 0;
  // Set when room appears in the dispatch buffer or a flush empties it; the
  // dispatcher thread waits on it instead of spinning while the ring is full.
  platform::Event roomEvent_{false, false};
  std::atomic<bool> stalled_{false};
  std::atomic<uint64_t> dispThreadId_{0};
  std::atomic<int32_t> launchedThreads_{0};
  bool shutDown_ = false;
  // Set by the base destructor: the device layer is gone, so a thread that
  // ends now must not release the port through it.
  std::atomic<bool> destroying_{false};
  void WaitForThreadsToEnd();
  // Calls the dispatcher thread has handed to the user-interface thread and
  // waits for (window handlers, synchronised calls): while one runs, that
  // thread reads as a handler of the delivery.
  std::atomic<int32_t> handedOver_{0};
  // Of those, the ones the user-interface thread is running now.
  std::atomic<int32_t> runningHandOvers_{0};
  // The thread delivering an event now (0: none).
  std::atomic<uint64_t> deliveringThread_{0};
  // Whether the calling thread is running a handler of the delivery.
  bool InDelivery() const;
};

template <typename Pred>
bool TSioBaseDispatcher::PumpUntil(Pred Done, int32_t Ticks) {
  TickTimer timer;
  StartTickTimer(timer, Ticks);
  for (;;) {
    if (Done()) return true;
    if (TickTimerExpired(timer)) return Done();
    const int32_t pumped = PumpOneMessage();
    if (pumped == 0) {
      // A thread that ends sets the event; the limit of one tick only
      // covers a second waiter that took the signal first.
      platform::WaitForMessageOrEvent(*ThreadEnded, kThreadEndWaitMs);
    } else if (pumped == static_cast<int32_t>(platform::kMsgQuit)) {
      // The quit request stays queued for the main loop; do not spin on it.
      ThreadEnded->Wait(kQuitPendingWaitMs);
    }
  }
}

}  // namespace sio
