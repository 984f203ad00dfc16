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
#include "../../platform/thread_annotations.h"

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

// The dispatch buffer's size: the received bytes the triggers scan and
// GetBlock reads.
constexpr uint32_t DispatchBufferSize = 8192;
// The longest data trigger; one match slot per character.
constexpr int32_t MaxTriggerLength = 22;
// The size of a data trigger's text field.
constexpr int32_t TriggerTextSize = 24;
// Handles are NextHandle * 8 while NextHandle is below this; then reused.
constexpr uint32_t TriggerHandleLimit = 4096;
// The handle of the availability trigger.
constexpr int32_t AvailTriggerHandle = 1;

// --- Trigger messages (wParam: trigger argument; lParam: HandleIndex * 65536 + data)

constexpr uint32_t kMsgTriggerAvail = 0x7E01;   // wParam: the bytes available
constexpr uint32_t kMsgTriggerData = 0x7E02;    // wParam: the data trigger that matched
constexpr uint32_t kMsgTriggerTimer = 0x7E03;   // wParam: the timer trigger that expired
constexpr uint32_t kMsgTriggerStatus = 0x7E04;  // wParam: the status trigger that fired

// The longest a wait for a thread's end sleeps before it looks again by
// itself (one tick).
constexpr uint32_t kThreadEndWaitMs = 55;
// While a quit request waits for the main loop, messages cannot be waited
// for; a wait for a thread's end then looks again this often.
constexpr uint32_t kQuitPendingWaitMs = 5;

// How long a window handler may take before delivery moves on.
constexpr uint32_t WindowHandlerTimeoutMs = 3000;

// Status trigger types, kept in the low three bits of their handles.
constexpr int32_t stModem = 1;        // watched modem lines changed
constexpr int32_t stLine = 2;         // a watched line error came
constexpr int32_t stOutBuffFree = 3;  // the output buffer has this much room
constexpr int32_t stOutBuffUsed = 4;  // the output buffer is down to this much
constexpr int32_t stOutSent = 5;      // output was written

// InitPort option bits.
constexpr uint32_t ipDTROn = 0x01;    // DTR on
constexpr uint32_t ipRTSOn = 0x02;    // RTS on
constexpr uint32_t ipDTRFlow = 0x10;  // DTR left to flow control
constexpr uint32_t ipRTSFlow = 0x20;  // RTS left to flow control

//@{
// SetHWFlow options (the order of THWFlowOptionSet).
constexpr uint32_t hfUseDTR = 0x01;
constexpr uint32_t hfUseRTS = 0x02;
constexpr uint32_t hfRequireDSR = 0x04;
constexpr uint32_t hfRequireCTS = 0x08;
//@}
// SWFlowEnable options.
constexpr uint32_t sfTransmit = 0x01;  // output: a received XOFF stops it
constexpr uint32_t sfReceive = 0x02;   // input: XOFF is sent when it fills

// UpdateHandlerFlags arguments.
constexpr int32_t fuRecompute = 0;       // from the registered handlers
constexpr int32_t fuWantEvents = 1;      // the component wants trigger events
constexpr int32_t fuDontWantEvents = 2;  // it does not

//@{
// FindTriggerFromHandle kinds.
constexpr int32_t tkNone = 0;
constexpr int32_t tkTimer = 2;
constexpr int32_t tkData = 3;
constexpr int32_t tkStatus = 4;
//@}

// The general exception a device layer raises when its threads are started twice.
inline constexpr const char* kDispatcherAlreadyStarted = "Dispatcher already started.";

// --- Handlers ---------------------------------------------------------------

// An event-method handler: the trigger message's number, wParam and lParam.
using TTriggerEvent = TMethod<void(uint32_t Msg, uint32_t Trigger, uint32_t Data)>;
// A procedure handler, same arguments.
using TTriggerProc = void (*)(uint32_t Msg, uint32_t Trigger, uint32_t Data);

// A registered window: every trigger event is sent to it as a message.
struct TWndTriggerHandler {
  platform::WindowHandle Window = nullptr;  // the window
  bool Deleted = false;                     // removed during a delivery, dropped when it ends
};

// A registered procedure, called with every trigger event.
struct TProcTriggerHandler {
  TTriggerProc Proc = nullptr;  // the procedure
  bool Deleted = false;         // as in TWndTriggerHandler
};

// A registered event method, called with every trigger event.
struct TEventTriggerHandler {
  TTriggerEvent Method;       // the method
  bool Deleted = false;       // as in TWndTriggerHandler
  bool Synchronized = false;  // run on the user-interface thread through SyncEvent
};

// --- Trigger records --------------------------------------------------------

// Boolean fields of the trigger records: all ones is true.
constexpr int32_t kTrue32 = -1;

// A timer trigger: fires once when its timer expires while it is armed.
struct TTimerTrigger {
  int32_t Handle = 0;     // a multiple of 8
  TickTimer Timer{0, 0};  // started when it was armed
  int32_t Ticks = 0;      // its period
  int32_t Reserved = -1;  // unused
  int32_t Active = 0;     // armed
};

// A data trigger: fires when its text has arrived.
struct TDataTrigger {
  int32_t Handle = 0;                    // a multiple of 8
  int32_t Length = 0;                    // 0: ignore this trigger
  int32_t Slots[MaxTriggerLength] = {};  // the match under way at each start
  int32_t Matched = 0;                   // matched at the byte being scanned
  int32_t IgnoreCase = 0;                // letters match in either case
  char Text[TriggerTextSize] = {};       // upper case when IgnoreCase
};

// A status trigger: fires once when its condition holds while it is armed.
struct TStatusTrigger {
  int32_t Handle = 0;  // a multiple of 8 plus Type
  int32_t Type = 0;    // stModem to stOutSent
  // stModem: low byte reference modem bits, high byte mask; stLine: mask of
  // line-error bits; stOutBuffFree/stOutBuffUsed: a byte count.
  uint16_t Data = 0;
  bool Active = false;  // armed
  bool Fired = false;   // fired in the dispatcher thread's current pass
};

// The triggers a component keeps over a close and reopen. A missing list
// is skipped on restore.
struct TriggerSave {
  int32_t AvailLength = 0;                                      // the availability trigger's length
  std::unique_ptr<std::vector<TTimerTrigger>> TimerTriggers;    // the timer triggers
  std::unique_ptr<std::vector<TDataTrigger>> DataTriggers;      // the data triggers
  std::unique_ptr<std::vector<TStatusTrigger>> StatusTriggers;  // the status triggers
};

// --- Thread exceptions ----------------------------------------------------

// Shows an exception that ended a thread of a port, the way the application
// shows its exceptions. The application installs its reporter (a message
// box); without one the text goes to standard error.
using TThreadExceptionReporter = void (*)(std::exception_ptr error);
// Installs the reporter; nullptr: standard error.
void SetThreadExceptionReporter(TThreadExceptionReporter reporter);
// Shows an exception the way described above.
void ShowThreadException(std::exception_ptr error);

// The lock over the registry that maps a trigger message back to its
// dispatcher; the port's window holds it while it runs the port's handlers.
platform::CriticalSection& DispatcherRegistryLock();

// --- The dispatcher ---------------------------------------------------------

// The dispatcher of one open port: its buffers, line, triggers and threads.
// A device layer supplies the device operations.
//
// Its locks are taken in the serial layer's lock order
// (serial/support/lock_order.h, checked at run time in debug and test
// builds): LifecycleSection outermost, then DataSection, then DispSection or
// OutputSection (never both), ThreadSection innermost. The state each
// guards is marked for clang's thread-safety analysis. Only the dispatcher
// thread delivers events.
class TSioBaseDispatcher {
 public:
  // Takes a slot in the dispatcher registry (GetHandleIndex); InitPort
  // opens the port.
  explicit TSioBaseDispatcher(TComponent* Owner);
  virtual ~TSioBaseDispatcher();
  TSioBaseDispatcher(const TSioBaseDispatcher&) = delete;
  TSioBaseDispatcher& operator=(const TSioBaseDispatcher&) = delete;

  // --- Lifecycle ---
  // Opens device ComName with queues of InSize and OutSize bytes, the line
  // settings as SetLine takes them, DTR and RTS by Options (ip*), and starts
  // the threads: 0, or the error (negated system error numbers for the
  // device), and the port stays closed.
  [[nodiscard]] int32_t InitPort(const char* ComName, uint32_t Baud, uint8_t Parity,
                                 uint8_t DataBits, uint8_t StopBits, uint32_t InSize,
                                 uint32_t OutSize, uint32_t Options);
  // Flushes both ways and closes the device, then DonePortPrim; from a
  // handler, or while an event is delivered, that is left to the dispatcher
  // thread as it ends.
  void DonePort();
  // Asks the device for queues of InSize and OutSize bytes: 0, or the
  // negated system error.
  [[nodiscard]] int32_t SetupCom(uint32_t InSize, uint32_t OutSize);

  // --- Buffers ---
  // Bytes from Tail up to Head in a ring of DispatchBufferSize (Full: all).
  static uint32_t BufferedCount(uint32_t Head, uint32_t Tail, bool Full);
  // Bytes GetBlock can read (in a data event's handler: those it has not).
  uint32_t InBuffUsed();
  // Takes Len bytes from the dispatch buffer into Block: Len, or -3007 when
  // fewer are there (and nothing is taken), -2007 once the port is released.
  // Handlers of a data event read what the event reports, each from the same
  // start. Any other thread that reads while such an event is delivered
  // waits until the delivery has ended (the user-interface thread serving
  // its messages meanwhile) and then reads what the handlers left; -3007
  // when the delivery does not end within about 2 s.
  [[nodiscard]] int32_t GetBlock(void* Block, uint32_t Len);
  // Queues Len bytes for sending: 0; -3006 when the output buffer has no
  // room for all of them (nothing is queued), -3004 when the device layer
  // takes none, -2007 on a closed port, -3010 in RS-485 mode without a base
  // address where PutBlock raises RTS itself.
  [[nodiscard]] int32_t PutBlock(const void* Block, uint32_t Len);
  // Bytes waiting in the output buffer; the line errors are collected on
  // the way.
  uint32_t OutBuffUsed();
  // Room left in the output buffer.
  uint32_t OutBuffFree();
  // Discards what was received, in the device and the dispatch buffer (in a
  // data event: what its handlers have not read): 0.
  [[nodiscard]] int32_t FlushInBuffer();
  // Discards what waits to be sent: FlushCom(0)'s result.
  [[nodiscard]] int32_t FlushOutBuffer();
  // One pass's move of received data into the dispatch buffer; false when
  // nothing was waiting.
  bool FillDispatchBuffer();

  // --- Line settings, flow control and status ---
  // Changes the line once what is queued has gone out: Baud (0: keep),
  // Parity 0-4 (5: keep), DataBits 5-8 (9: keep), StopBits 1 or 2 (3: keep;
  // with 5 data bits always one and a half). 0, or the device's error.
  [[nodiscard]] int32_t SetLine(uint32_t Baud, uint8_t Parity, uint8_t DataBits, uint8_t StopBits);
  // SetLine, with or without the wait for the line to go idle first.
  [[nodiscard]] int32_t ApplyLine(uint32_t Baud, uint8_t Parity, uint8_t DataBits, uint8_t StopBits,
                                  bool WaitForIdle);
  // The line settings as SetLine takes them.
  void GetLine(uint32_t& Baud, uint8_t& Parity, uint8_t& DataBits, uint8_t& StopBits);
  // Waits until the output buffer is empty (at most about 10 s), then 18
  // character times more.
  void WaitTxIdle();
  // Sets DCB on the device with DTR and RTS as kept here where flow control
  // does not own them, and sets both lines again: the device's result.
  [[nodiscard]] int32_t SetComStatePrim(platform::CommDcb& DCB);
  //@{
  // Sets DTR, or RTS: 0; 1 when flow control owns the line (it is left as
  // it is); -1002 when the device layer refuses.
  [[nodiscard]] int32_t SetDTR(bool OnOff);
  [[nodiscard]] int32_t SetRTS(bool OnOff);
  //@}
  // Hardware flow control (hf* Options) with the input levels that stop the
  // sender (BufferFull bytes queued) and let it go on (BufferResume): 0,
  // -1002 for levels out of order or above the input queue, or the device's
  // error.
  [[nodiscard]] int32_t SetHWFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  // Software flow control (sf* Options) with the same levels; the flow
  // characters become 17 and 19.
  [[nodiscard]] int32_t SWFlowEnable(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  // Ends software flow control both ways.
  [[nodiscard]] int32_t SWFlowDisable();
  // The XON and XOFF characters.
  [[nodiscard]] int32_t SWFlowChars(char XOnChar, char XOffChar);
  // The device's flow control as hf* and sf* bits and its two characters;
  // the result of reading its settings.
  [[nodiscard]] int32_t GetFlowOptions(uint32_t& HWOpts, uint32_t& SWOpts, char& XOnChar,
                                       char& XOffChar);
  // RS-485 mode: the write thread runs a level higher, the next SetHWFlow
  // has the driver toggle RTS, and where it does not, the UART's base
  // address is looked up for PutBlock.
  void SetRS485Mode(bool OnOff);
  //@{
  // Sets or clears bits of the dispatcher's flag word.
  void SetFlag(uint32_t Mask);
  void ClearFlag(uint32_t Mask);
  //@}
  // The modem status (ms* bits): the lines now, and the changes since the
  // last read, which this read clears.
  uint8_t GetModemStatus();
  // The same, keeping only the bits of ClearMask afterwards.
  uint8_t GetModemStatusPrim(uint8_t ClearMask);
  // Reads the modem lines and notes which have changed.
  void RefreshModemStatus();
  // Collects the device's line errors and queue counts.
  void RefreshLineError();
  // The first pending line error: 1 receive overrun, 2 overrun, 3 parity,
  // 4 framing, 9 break; 0: none. The errors other than a break are cleared.
  [[nodiscard]] int32_t GetLineError();
  // Whether a break is pending; clears it.
  bool CheckLineBreak();
  // The numeric speed of a stored baud value (codes 0xFEFF, 0xFF10..0xFF27).
  static uint32_t NumericBaud(uint32_t Baud);

  // --- Triggers ---
  // A timer trigger, not armed: its handle, or -5001 without a free handle.
  [[nodiscard]] int32_t AddTimerTrigger();
  // Arms timer trigger Handle for Ticks ticks (0: its last period), or
  // disarms it: 0, or -5003 when Handle is no timer trigger.
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
  // Removes trigger Handle: 0, or -5003. The availability trigger's handle
  // sets its length to 0.
  [[nodiscard]] int32_t RemoveTrigger(int32_t Handle);
  // The availability trigger's length: kMsgTriggerAvail comes once that many
  // bytes are unread (0: never).
  void ChangeLengthTrigger(int32_t Length);
  // Finds trigger Handle and, with Remove, removes it: 0, or -5003.
  // Trigger receives the record (nullptr once removed); Kind tk*.
  [[nodiscard]] int32_t FindTriggerFromHandle(int32_t Handle, bool Remove, void*& Trigger,
                                              int32_t& Kind);
  // Removes every trigger; handles start again from 8.
  void ClearTriggers();
  // Copies every trigger into Save.
  void SaveTriggers(TriggerSave& Save);
  // Replaces the triggers with Save's; new handles follow the restored ones.
  void RestoreTriggers(const TriggerSave& Save);
  // Frees Save's lists.
  static void FreeSavedTriggers(TriggerSave& Save);

  // --- Handlers ---
  //@{
  // Add or remove a handler of every trigger event: a window (sent the
  // message, for up to WindowHandlerTimeoutMs), a procedure, or an event
  // method (Synchronized: run on the user-interface thread). One removed
  // during a delivery is dropped when it ends.
  void RegisterWndTriggerHandler(platform::WindowHandle Window);
  void DeregisterWndTriggerHandler(platform::WindowHandle Window);
  void RegisterProcTriggerHandler(TTriggerProc Proc);
  void DeregisterProcTriggerHandler(TTriggerProc Proc);
  void RegisterEventTriggerHandler(const TTriggerEvent& Method, bool Synchronized = false);
  void DeregisterEventTriggerHandler(const TTriggerEvent& Method);
  //@}

  // --- Dispatch (the dispatcher thread) ---
  // Delivers one trigger event to the event methods, the procedures, then
  // the windows. In a data or availability event every handler reads from
  // the same start, and the most any of them read is taken at the end.
  // False when a close cut it short, or the handlers of an availability
  // event did not read exactly the bytes it reported.
  bool DispatchEvent(uint32_t Msg, uint32_t Trigger, uint32_t Data);
  // Fires the next data trigger (and the availability trigger): whether one
  // fired and its delivery went through, so that the thread looks again.
  bool CheckDataTriggers();
  // Takes byte C into a data trigger's match slots: true when the text has
  // just matched (the slots then start afresh).
  static bool MatchTriggerByte(int32_t* Slots, uint8_t C, int32_t Length, bool IgnoreCase,
                               const char* Text);
  //@{
  // The same for the next status trigger, or the next expired timer trigger.
  bool CheckStatusTriggers();
  bool CheckTimerTriggers();
  //@}
  // One pass of the dispatcher thread: a queued line event, the received
  // data into the dispatch buffer, then the triggers.
  void ProcessCommEvents();
  // The dispatcher thread's timer pass: status and timer triggers, unless a
  // delivery or a close is under way.
  void ProcessTimers();
  // Called by each thread of the port as it starts.
  void ThreadStart();
  // Called by each thread of the port as it ends: its slot is cleared, a
  // failure it returned is shown, and after the dispatcher thread a
  // release left to it is done.
  void ThreadGone(TSioDispatcherThread* Thread);
  // Whether the calling thread is the port's dispatcher thread.
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
  // Traces into a buffer of Size entries (one that exists is emptied and
  // keeps its size): 0, or -1002 beyond 4000000.
  [[nodiscard]] int32_t OpenTraceBuffer(uint32_t Size);
  // Records a byte of Kind 'R' (received), 'T' (sent) or another character.
  void AddTraceByte(char Kind, uint8_t Value);
  // Empties the trace buffer: 0.
  [[nodiscard]] int32_t ResetTraceBuffer();
  // Ends the trace and frees its buffer.
  void FreeTraceBuffer();
  //@{
  // Records again, or stops recording and keeps the buffer.
  void ResumeTracing();
  void PauseTracing();
  //@}
  //@{
  // Writes the trace, oldest first, to a new file or at the end of one;
  // InHex and AllHex as TraceHex and TraceAllHex. The buffer is emptied and
  // tracing goes on. 0 (nothing recorded: no file is touched), or the
  // negated system error, which ends the trace.
  [[nodiscard]] int32_t WriteTraceFile(const std::string& FileName, bool InHex, bool AllHex);
  [[nodiscard]] int32_t AppendTraceFile(const std::string& FileName, bool InHex, bool AllHex);
  //@}
  // Starts the dispatch log, empty, keeping the newest entries with at most
  // Size bytes of data (0: no limit).
  void OpenDispatchLog(uint32_t Size);
  // Adds an entry while the log is on: type, subtype, a number and bytes.
  void LogDispatchEvent(int32_t Type, int32_t SubType, uint32_t Data, const void* Buffer,
                        int32_t BufferLength);
  // Empties the log.
  void ClearDispatchLog();
  // Ends the log and empties it.
  void CloseDispatchLog();
  //@{
  // Logs again, or stops logging and keeps the entries.
  void ResumeDispatchLog();
  void PauseDispatchLog();
  //@}
  //@{
  // Writes a header and the entries, oldest first, to a new file or at the
  // end of one, and empties the log. 0 (no entries: no file is touched), or
  // the negated system error, and the entries stay.
  [[nodiscard]] int32_t WriteDispatchLogFile(const std::string& FileName, bool InHex, bool AllHex);
  [[nodiscard]] int32_t AppendDispatchLogFile(const std::string& FileName, bool InHex, bool AllHex);
  //@}
  // Milliseconds since the port opened.
  uint32_t ElapsedSinceOpen() const;
  // The port's name ("COMn"), which the log header shows.
  void SetComName(const std::string& Name);
  std::string GetComName() const;

  // --- Device layer -----------------------------------------------------
  // Performs an escape function (esc*): 0, or negative.
  [[nodiscard]] virtual int32_t EscapeComFunction(int32_t Func) = 0;
  // Purges the output (Queue 0) or the input (1), in the device and in the
  // layer: 1 when done, 0 when not.
  [[nodiscard]] virtual int32_t FlushCom(int32_t Queue) = 0;
  // The device's line errors (ce* bits), which it clears, with the queue
  // counts in Stat.
  virtual uint32_t GetComError(platform::CommStat& Stat) = 0;
  // Reads the device's pending events (EvtMask: which); 0 where they come
  // as queued line events instead.
  [[nodiscard]] virtual int32_t GetComEventMask(int32_t EvtMask) = 0;
  // Reads the device's settings: 0, or negative. Callers that read the
  // settings again before changing them discard its result: the change
  // that follows reports a device that cannot answer.
  [[nodiscard]] virtual int32_t GetComState(platform::CommDcb& DCB) = 0;
  // Moves up to Size received bytes into Buf: how many, or negative.
  [[nodiscard]] virtual int32_t ReadCom(uint8_t* Buf, int32_t Size) = 0;
  // Sets the device's settings: 0, or the negated system error.
  [[nodiscard]] virtual int32_t SetComState(platform::CommDcb& DCB) = 0;
  // Hands Size bytes to the output buffer: how many, or negative (-2007
  // once the device is gone).
  [[nodiscard]] virtual int32_t WriteCom(const uint8_t* Buf, int32_t Size) = 0;
  // A check of the device a layer may offer (here always true, Value 0);
  // the dispatcher does not call it.
  virtual bool CheckCom(int32_t& Value) = 0;
  // Asks the device for its queue sizes: false on failure (LastDeviceError).
  virtual bool SetupComPrim(uint32_t InSize, uint32_t OutSize) = 0;
  // Stops the threads and frees the dispatch buffer and the output buffer.
  virtual void DonePortPrim();
  // Starts the port's threads; raises ESioException with the text
  // kDispatcherAlreadyStarted when they run.
  virtual void StartDispatcher() = 0;
  // Stops the port's threads and closes the device.
  virtual void StopDispatcher() = 0;
  // Bytes in the output buffer not yet handed to the device.
  virtual uint32_t OutBufUsed() = 0;
  // Received bytes the layer holds for FillDispatchBuffer; 0 here.
  virtual uint32_t InQueueUsed();
  // Opens device ComName: a handle (0 or more), or negative with
  // LastDeviceError telling why (-8: out of memory).
  [[nodiscard]] virtual int32_t OpenCom(const char* ComName, uint32_t InSize, uint32_t OutSize) = 0;
  // Ends the threads and closes the device: 0, or negative. Callers that are
  // done with the device whatever happens discard its result (the release,
  // the stop, an unplugged device).
  [[nodiscard]] virtual int32_t CloseCom() = 0;
  // Gives up the rest of the calling thread's time slice: 0.
  [[nodiscard]] virtual int32_t YieldCom() = 0;
  // Runs the port's threads Boost levels above normal (the write thread one
  // more in RS-485 mode).
  virtual void SetThreadBoost(uint8_t Boost);
  // Whether trigger events are delivered at all: recomputed from the
  // handlers (fu*), or the component's wish recorded.
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

  // Copies Len bytes from Offset bytes past the tail without taking them;
  // NewTail is where the tail would be after them. Results as GetBlock's.
  [[nodiscard]] int32_t PeekBlockPrim(void* Block, uint32_t Offset, uint32_t& NewTail, uint32_t Len)
      SIO_REQUIRES(DispSection);

  // --- Fields -------------------------------------------------------------
  TComponent* const Owner;
  int32_t HandleIndex = -1;
  std::atomic<int32_t> DeviceHandle{-1};
  uint32_t LastError SIO_GUARDED_BY(DataSection) = 0;  // DataSection
  uint32_t InQue = 0;
  uint32_t OutQue = 0;
  uint32_t ModemStatus SIO_GUARDED_BY(DataSection) = 0;        // DataSection
  platform::CommStat ComStatus SIO_GUARDED_BY(DataSection);    // DataSection
  platform::CommDcb LineSettings SIO_GUARDED_BY(DataSection);  // DataSection
  uint32_t Baud SIO_GUARDED_BY(DataSection) = 0;               // DataSection
  uint32_t Flags SIO_GUARDED_BY(DataSection) = 0;              // DataSection
  bool DTRState SIO_GUARDED_BY(DataSection) = false;           // DataSection, the four of them
  bool DTRAuto SIO_GUARDED_BY(DataSection) = false;
  bool RTSState SIO_GUARDED_BY(DataSection) = false;
  bool RTSAuto SIO_GUARDED_BY(DataSection) = false;
  bool RS485Mode SIO_GUARDED_BY(DataSection) = false;  // DataSection
  uint16_t BaseAddress = 0;

  // Triggers and handlers (DataSection).
  bool ComponentWantsEvents = false;
  bool HandlersPresent = false;
  std::vector<std::unique_ptr<TWndTriggerHandler>> WndHandlers SIO_GUARDED_BY(DataSection);
  std::vector<std::unique_ptr<TProcTriggerHandler>> ProcHandlers SIO_GUARDED_BY(DataSection);
  std::vector<std::unique_ptr<TEventTriggerHandler>> EventHandlers SIO_GUARDED_BY(DataSection);
  std::vector<std::unique_ptr<TTimerTrigger>> TimerTriggers SIO_GUARDED_BY(DataSection);
  std::vector<std::unique_ptr<TDataTrigger>> DataTriggers SIO_GUARDED_BY(DataSection);
  std::vector<std::unique_ptr<TStatusTrigger>> StatusTriggers SIO_GUARDED_BY(DataSection);
  // Scan and consume state (DispSection).
  int32_t LastTail SIO_GUARDED_BY(DispSection) = 0;
  int32_t TrigAvailLength SIO_GUARDED_BY(DataSection) = 0;  // DataSection
  bool StatusFired = false;                                 // dispatcher thread
  bool ConsumeMode SIO_GUARDED_BY(DispSection) = false;
  uint32_t Consumed SIO_GUARDED_BY(DispSection) = 0;
  uint32_t MaxConsumed SIO_GUARDED_BY(DispSection) = 0;
  int32_t LastAvailPos SIO_GUARDED_BY(DispSection) = 0;

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
  uint32_t OutHead SIO_GUARDED_BY(OutputSection) = 0;
  uint32_t OutTail SIO_GUARDED_BY(OutputSection) = 0;
  bool OutBufFull SIO_GUARDED_BY(OutputSection) = false;
  // The ring arithmetic every device layer's WriteCom and OutBufUsed share.
  // Copies n bytes in at OutHead, in two pieces when they reach the end; the
  // caller holds OutputSection and has made sure of the room.
  void CopyIntoOutputRing(const uint8_t* Buf, uint32_t N) SIO_REQUIRES(OutputSection);
  // Bytes waiting in the ring (takes OutputSection).
  uint32_t OutputRingUsed();

  // Dispatch buffer (DispSection).
  std::unique_ptr<uint8_t[]> DBuffer;
  uint32_t DBufHead SIO_GUARDED_BY(DispSection) = 0;
  uint32_t DBufTail SIO_GUARDED_BY(DispSection) = 0;
  bool DBufFull SIO_GUARDED_BY(DispSection) = false;

  std::atomic<bool> DispActive{false};
  bool HandlersDirty SIO_GUARDED_BY(DataSection) = false;  // DataSection
  std::atomic<bool> ClosePending{false};
  std::atomic<bool> OutSentPending{false};

  const std::unique_ptr<TSioTraceLog> TraceLog;

  uint32_t NextHandle SIO_GUARDED_BY(DataSection) = 1;  // DataSection
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
  [[nodiscard]] int32_t GetTriggerHandle() SIO_REQUIRES(DataSection);  // DataSection held
  uint8_t ApplyModemStatus(bool known, uint32_t raw, uint8_t clearMask)
      SIO_REQUIRES(DataSection);  // DataSection held
  void ResetDataTriggerMatches();
  void FinishDispatch(bool consumeDone);
  void RunStatusTriggerLoop();
  // Lets status triggers that fired fire again.
  void ResetStatusFired();
  // The line-error bits and queue counts, folded into LastError/ComStatus.
  platform::CommStat RefreshLineErrorStat();
  // Unread bytes from the tail up to and including ring position Pos; 0 when
  // Pos is not unread. DispSection held.
  uint32_t UnreadUpTo(uint32_t Pos) const SIO_REQUIRES(DispSection);
  std::string ComName SIO_GUARDED_BY(nameLock_);  // guarded by nameLock_
  mutable platform::CriticalSection nameLock_;

  // Bytes between LastTail and the head that the data-trigger scan has not
  // examined, and the count of every byte ever put into the dispatch buffer:
  // with them a full ring (head back on the tail) is still scanned and still
  // reported. DispSection.
  uint32_t scanPending_ SIO_GUARDED_BY(DispSection) = 0;
  uint64_t headStream_ SIO_GUARDED_BY(DispSection) = 0;
  uint64_t lastAvailStream_ SIO_GUARDED_BY(DispSection) = 0;
  uint32_t flushCount_ SIO_GUARDED_BY(DispSection) = 0;
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
