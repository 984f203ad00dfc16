// The serial port component: one serial port of the machine. It keeps the
// port's settings while the port is closed, creates a dispatcher when it
// opens, hands the settings to it, tells its users when the port opens, is
// about to close and has closed, and turns the dispatcher's trigger messages
// into its events through a hidden window ("SioComWindow") owned by the
// thread that opened the port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../../platform/comm_types.h"
#include "../../platform/message_loop.h"
#include "../dispatch/dispatcher.h"
#include "../support/component.h"
#include "../support/method_ref.h"
#include "../../platform/thread_annotations.h"

namespace sio {

// The device layer of a port: the serial device, or a socket (no layer of
// this library: opening with it raises ENullApi).
enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
// A set of device layers, one bit per TDeviceLayer value.
using TDeviceLayers = uint8_t;
// The bit of layer in a TDeviceLayers set.
constexpr TDeviceLayers DeviceLayerBit(TDeviceLayer layer) {
  return static_cast<TDeviceLayers>(1u << layer);
}

// The parity bit.
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };

// THWFlowOptionSet: any combination of these bits.
enum THWFlowOption : uint8_t {
  hwfUseDTR = 0x01,      // DTR stops and resumes the sender by the input levels
  hwfUseRTS = 0x02,      // RTS does
  hwfRequireDSR = 0x04,  // sending waits for DSR
  hwfRequireCTS = 0x08,  // sending waits for CTS
};
// A set of THWFlowOption bits.
using THWFlowOptionSet = uint8_t;

// Software flow control (XON/XOFF): none, of the input (XOFF is sent when it
// fills), of the output (a received XOFF stops it), or both.
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

// The state of a trace or log, and what setting it does.
enum TTraceLogState : uint8_t {
  tlOff,                // nothing recorded, the buffer freed
  tlOn,                 // recording
  tlDump,               // write the file, then off
  tlAppend,             // add to the end of the file, then off
  tlClear,              // empty the buffer, state unchanged
  tlPause,              // not recording, the buffer kept
  tlAppendAndContinue,  // add to the end of the file, then on
};

// Telephony: tmOn takes the device a telephony line has opened; every other
// mode opens the COM port.
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };

// Where a port is in its open and close sequences.
enum OpenState : uint8_t { osClosed = 0, osClosing = 1, osOpen = 2 };

// Port-level messages: to a user's window, and (the closing one) the
// deferred close the component posts to its own window.
constexpr uint32_t kMsgPortOpen = 0x7E08;     // the port has opened
constexpr uint32_t kMsgPortClose = 0x7E09;    // the port has closed
constexpr uint32_t kMsgPortClosing = 0x7E0A;  // the port is about to close

// Kinds of the extended user callback.
constexpr uint8_t ctOpen = 0;     // the port has opened
constexpr uint8_t ctClosing = 1;  // it is about to close
constexpr uint8_t ctClosed = 2;   // it has closed

// The largest LogSize.
constexpr uint32_t MaxLogSize = 16000000;
// Short texts (TraceName, LogName) hold at most this many characters.
constexpr size_t MaxShortText = 255;

// The component's events. The sender is the port.
using TNotifyEvent = TMethod<void(TComponent* Sender)>;
// Every trigger message (named apart from the dispatcher's own handler type).
using TComTriggerEvent =
    TMethod<void(TComponent* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
//@{
// The events of one kind of trigger: the bytes available, the trigger's
// handle, the line error and whether a break came, a character.
using TTriggerAvailEvent = TMethod<void(TComponent* CP, uint16_t Count)>;
using TTriggerDataEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = TMethod<void(TComponent* CP, uint16_t Error, bool LineBreak)>;
using TCharNotifyEvent = TMethod<void(TComponent* CP, char Ch)>;
//@}

//@{
// User callbacks: the plain form hears (port, Opening); the extended form
// hears (port, ctOpen / ctClosing / ctClosed).
using TPortCallback = TMethod<void(TComponent* CP, bool Opening)>;
using TPortCallbackEx = TMethod<void(TComponent* CP, uint8_t Kind)>;
//@}

// A user of the port: told when it opens, is about to close (extended users
// only) and has closed.
struct TUserRecord {
  platform::WindowHandle Window = nullptr;  // told by kMsgPort* messages when set
  TPortCallback Callback;                   // else told through this,
  TPortCallbackEx CallbackEx;               // or this when Extended
  bool Extended = false;                    // which of the two
};

struct TClosingLeftover;

// The port component. Its properties may be set whether the port is open or
// not; on an open port a setting reaches the device at once. Failures raise
// the code's exception (RaiseIfError).
class TSioCustomComPort : public TSioBaseComponent {
 public:
  // A closed port with the default settings and no port number.
  explicit TSioCustomComPort(TComponent* Owner = nullptr);
  ~TSioCustomComPort() override;

  // Copies the settings and handlers of another port (not its users).
  virtual void Assign(TComponent* Source);
  void Loaded() override;

  // --- Overridable operations, in the order of their slots ---
  // The dispatcher for an open: the serial device's, or with TapiMode tmOn
  // the telephony line's; raises ENullApi for another device layer.
  virtual TSioBaseDispatcher* CreateDispatcher();
  // Called when DeviceLayer has changed; does nothing here.
  virtual void DeviceLayerChanged();
  // Opens the device ("\\.\COMn"; with TapiMode tmOn the line's) with the
  // port's settings: InitPort's result.
  [[nodiscard]] virtual int32_t OpenDevice();
  // Makes (Create) or destroys the hidden window; ENoHandles when it cannot
  // be made.
  virtual void SetupComWindow(bool Create);
  // Without a ComNumber: the user chooses one in the "Select Port" dialog
  // when PromptForPort is set; ENoPortSelected when no port results.
  virtual void ValidatePortNumber();
  // UseMSRShadow's setter; does nothing here.
  virtual void SetUseMSRShadow(bool Value);
  //@{
  // Call the event of the same name (TriggerNotify: OnTrigger, CharNotify:
  // OnCharNotify) when it is assigned; the hidden window calls them for each
  // trigger message, OnTrigger first.
  virtual void TriggerNotify(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void TriggerAvailNotify(uint16_t Count);
  virtual void TriggerDataNotify(uint16_t TriggerHandle);
  virtual void TriggerStatusNotify(uint16_t TriggerHandle);
  virtual void TriggerTimerNotify(uint16_t TriggerHandle);
  // Tells an open port's dispatcher whether any trigger event is assigned,
  // that is, whether the component wants trigger messages.
  virtual void UpdateEventInterest();
  virtual void TriggerLineErrorNotify(uint16_t Error, bool LineBreak);
  virtual void TriggerModemStatusNotify();
  virtual void TriggerOutbuffFreeNotify();
  virtual void TriggerOutbuffUsedNotify();
  virtual void TriggerOutSentNotify();
  virtual void CharNotify(char Ch);
  //@}
  // Closes the port now: writes out an active trace and log, tells the users
  // it is closing, saves the triggers for the next open, releases the device
  // and tells the users it has closed. From inside a trigger handler the
  // device is released once the handler has returned. A reopen asked
  // meanwhile follows.
  virtual void ClosePortNow();
  // YieldCom of the dispatcher; nothing while the port closes.
  virtual void YieldPort();
  //@{
  // Tell the users, last registered first, that the port has opened (then
  // OnPortOpen), has closed (then OnPortClose), or is about to close (the
  // extended users only).
  virtual void NotifyPortOpen();
  virtual void NotifyPortClose();
  virtual void NotifyPortClosing();
  //@}
  // Opens the port now: a port number (ValidatePortNumber), the dispatcher,
  // the device, every setting, the hidden window, the saved triggers, then
  // the users are told. On a failure all of it is undone and the error
  // raised.
  virtual void OpenPortNow();

  // --- The dispatcher ---
  // Opens the port first when it is closed and AutoOpen is set; null while
  // the port is closed.
  TSioBaseDispatcher* GetDispatcher();
  // GetDispatcher, raising ECommNotOpen instead of giving null.
  TSioBaseDispatcher* ValidDispatcher();

  // --- Operations ---
  //@{
  // The dispatcher's PutBlock, AddTimerTrigger and SetTimerTrigger, raising
  // on failure; they do nothing (0) while the port closes.
  void OutputString(const std::string& Text);
  [[nodiscard]] int32_t AddTimerTrigger();
  void SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate);
  //@}
  // The dispatcher's GetLineError; 0 on a closed port.
  uint16_t LineError();
  // The dispatcher's CheckLineBreak; false on a closed port.
  bool LineBreak();
  // Adds an extended user: the record's position in the user list.
  [[nodiscard]] int32_t RegisterUserCallbackEx(const TPortCallbackEx& Callback);
  // Removes every record whose extended callback has the same code.
  void DeregisterUserCallbackEx(const TPortCallbackEx& Callback);

  // --- Published properties ---
  // The device layer; changed only while closed, to one of DeviceLayers.
  TDeviceLayer GetDeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer Value);
  // n of "COMn"; 0: none chosen yet. On an open port a change closes it
  // (writing out trace and log) and opens the new one, with its triggers.
  uint16_t GetComNumber() const { return comNumber_; }
  void SetComNumber(uint16_t Value);
  // Bits per second. This and the line settings below reach an open port at
  // once.
  int32_t GetBaud() const { return baud_; }
  void SetBaud(int32_t Value);
  // Whether an open without a ComNumber lets the user choose one.
  bool GetPromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool Value) { promptForPort_ = Value; }
  // The parity.
  TParity GetParity() const { return parity_; }
  void SetParity(TParity Value);
  // Data bits, 5 to 8.
  uint16_t GetDataBits() const { return dataBits_; }
  void SetDataBits(uint16_t Value);
  // Stop bits, 1 or 2 (with 5 data bits, one and a half).
  uint16_t GetStopBits() const { return stopBits_; }
  void SetStopBits(uint16_t Value);
  // The input queue's size in bytes; BufferFull and BufferResume are kept
  // within it. An open port passes it on to its device.
  uint16_t GetInSize() const { return inSize_; }
  void SetInSize(uint16_t Value);
  // The output buffer's size in bytes. An open port passes it on to its
  // device.
  uint16_t GetOutSize() const { return outSize_; }
  void SetOutSize(uint16_t Value);
  // Whether an operation on a closed port opens it first (GetDispatcher).
  bool GetAutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool Value) { autoOpen_ = Value; }
  // Whether the port is open: true opens it, false closes it. While it
  // closes, true asks for a reopen once the close is done. While designing
  // or loading only the value is kept, and Loaded opens the port.
  bool GetOpen() const { return open_; }
  void SetOpen(bool Value);
  // The DTR line; on an open port set at once, unless flow control owns the
  // line (the value then stays).
  bool GetDTR() const { return dtr_; }
  void SetDTR(bool Value);
  // The RTS line; likewise.
  bool GetRTS() const { return rts_; }
  void SetRTS(bool Value);
  // Hardware flow control. Switched on, it sets BufferFull and BufferResume
  // when unset or too large (to 9/10 and 1/10 of InSize); RTS or CTS
  // options end RS485Mode.
  THWFlowOptionSet GetHWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet Value);
  // Software flow control, likewise (3/4 and 1/4 of InSize). EBadArgument
  // when XOnChar equals XOffChar.
  TSWFlowOptions GetSWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions Value);
  // The XON character; EBadArgument when software flow control is on and it
  // equals XOffChar.
  char GetXOnChar() const { return xOnChar_; }
  void SetXOnChar(char Value);
  // The XOFF character; likewise.
  char GetXOffChar() const { return xOffChar_; }
  void SetXOffChar(char Value);
  // Bytes in the input queue at which flow control stops the sender; a
  // level above InSize is brought within it.
  uint16_t GetBufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t Value);
  // Bytes at which it lets the sender go on; a level above BufferFull is
  // brought below it.
  uint16_t GetBufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t Value);
  // The trace of the bytes sent and received, switched and written out by
  // TTraceLogState values. A closed port keeps tlOn (a trace from the next
  // open) or tlOff; the close writes an active trace to TraceName.
  TTraceLogState GetTracing() const { return tracing_; }
  void SetTracing(TTraceLogState Value);
  // The trace buffer's entries, at most 4000000; a change restarts an active
  // trace, empty.
  uint32_t GetTraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t Value);
  // The trace file, at most MaxShortText characters.
  const std::string& GetTraceName() const { return traceName_; }
  void SetTraceName(const std::string& Value) { traceName_ = Value.substr(0, MaxShortText); }
  // Whether the trace file shows bytes that are not printable (and blanks) in
  // hex rather than in decimal.
  bool GetTraceHex() const { return traceHex_; }
  void SetTraceHex(bool Value) { traceHex_ = Value; }
  // Whether it shows every byte in hex.
  bool GetTraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool Value) { traceAllHex_ = Value; }
  // The dispatch log, as Tracing is the trace.
  TTraceLogState GetLogging() const { return logging_; }
  void SetLogging(TTraceLogState Value);
  // The most bytes of entry data the log keeps, at most MaxLogSize; a change
  // restarts an active log, empty.
  uint32_t GetLogSize() const { return logSize_; }
  void SetLogSize(uint32_t Value);
  // The log file, at most MaxShortText characters.
  const std::string& GetLogName() const { return logName_; }
  void SetLogName(const std::string& Value) { logName_ = Value.substr(0, MaxShortText); }
  // As TraceHex, for the log file.
  bool GetLogHex() const { return logHex_; }
  void SetLogHex(bool Value) { logHex_ = Value; }
  // As TraceAllHex, for the log file.
  bool GetLogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool Value) { logAllHex_ = Value; }
  // Always true: the setter is the overridable SetUseMSRShadow.
  bool GetUseMSRShadow() const { return true; }
  // Kept in an open port's dispatcher flag word (bit 4); nothing in the layer
  // reads it.
  bool GetUseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool Value);
  // Kept for programs; the layer does not use it.
  uint16_t GetCommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t Value) { commNotificationLevel_ = Value; }
  // Whether the port is a telephony line's (TTapiMode).
  TTapiMode GetTapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode Value) { tapiMode_ = Value; }
  // RS-485 mode. Switched on, it ends RTS and CTS flow control and sets RTS
  // off.
  bool GetRS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool Value);
  // A number for the program's own use.
  int32_t GetTag() const { return tag_; }
  void SetTag(int32_t Value) { tag_ = Value; }

  // After the users, when the port has closed.
  TNotifyEvent GetOnPortClose() const { return onPortClose_; }
  void SetOnPortClose(const TNotifyEvent& Value) { onPortClose_ = Value; }
  // After the users, when the port has opened.
  TNotifyEvent GetOnPortOpen() const { return onPortOpen_; }
  void SetOnPortOpen(const TNotifyEvent& Value) { onPortOpen_ = Value; }
  // Every trigger message, before the event of its kind. Assigning any of
  // the trigger events tells an open port whether events are wanted.
  TComTriggerEvent GetOnTrigger() const { return onTrigger_; }
  void SetOnTrigger(const TComTriggerEvent& Value);
  // Received data is available (see the availability trigger).
  TTriggerAvailEvent GetOnTriggerAvail() const { return onTriggerAvail_; }
  void SetOnTriggerAvail(const TTriggerAvailEvent& Value);
  // A data trigger has matched.
  TTriggerDataEvent GetOnTriggerData() const { return onTriggerData_; }
  void SetOnTriggerData(const TTriggerDataEvent& Value);
  // A status trigger has fired, before the event of its type below.
  TTriggerStatusEvent GetOnTriggerStatus() const { return onTriggerStatus_; }
  void SetOnTriggerStatus(const TTriggerStatusEvent& Value);
  // A timer trigger has expired.
  TTriggerTimerEvent GetOnTriggerTimer() const { return onTriggerTimer_; }
  void SetOnTriggerTimer(const TTriggerTimerEvent& Value);
  // A stLine status trigger, with LineError and LineBreak.
  TTriggerLineErrorEvent GetOnTriggerLineError() const { return onTriggerLineError_; }
  void SetOnTriggerLineError(const TTriggerLineErrorEvent& Value);
  // A stModem status trigger.
  TNotifyEvent GetOnTriggerModemStatus() const { return onTriggerModemStatus_; }
  void SetOnTriggerModemStatus(const TNotifyEvent& Value);
  // A stOutBuffFree status trigger.
  TNotifyEvent GetOnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
  void SetOnTriggerOutbuffFree(const TNotifyEvent& Value);
  // A stOutBuffUsed status trigger.
  TNotifyEvent GetOnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
  void SetOnTriggerOutbuffUsed(const TNotifyEvent& Value);
  // A stOutSent status trigger.
  TNotifyEvent GetOnTriggerOutSent() const { return onTriggerOutSent_; }
  void SetOnTriggerOutSent(const TNotifyEvent& Value);
  // What CharNotify calls; the layer itself does not.
  TCharNotifyEvent GetOnCharNotify() const { return onCharNotify_; }
  void SetOnCharNotify(const TCharNotifyEvent& Value) { onCharNotify_ = Value; }

  // --- Unpublished state ---
  // Whether an open is applying every setting, changed or not.
  bool GetForceUpdate() const { return forceUpdate_; }
  // Where the port is in its open and close sequences.
  OpenState GetOpenState() const { return openState_; }
  // Whether an open was asked during the close: it follows the close.
  bool GetReopenPending() const { return reopenPending_; }
  // Whether Open was set while loading: Loaded opens the port.
  bool GetOpenAfterLoad() const { return openAfterLoad_; }
  // How many users are registered.
  int32_t UserCount() const { return static_cast<int32_t>(users_.size()); }
  // Whether triggers that a close (or Assign) saved wait for the next open.
  bool GetTriggersSaved() const { return triggersSaved_; }
  // Those triggers.
  const TriggerSave& GetSavedTriggers() const { return savedTriggers_; }
  // The hidden window; null while the port is closed.
  platform::WindowHandle GetComWindow() const { return comWindow_; }
  // The device layers DeviceLayer may be set to.
  TDeviceLayers GetDeviceLayers() const { return deviceLayers_; }
  void SetDeviceLayers(TDeviceLayers Value) { deviceLayers_ = Value; }
  // The telephony line's device handle, for TapiMode tmOn.
  uint16_t GetTapiCid() const { return tapiCid_; }
  void SetTapiCid(uint16_t Value) { tapiCid_ = Value; }
  // How many levels above normal the port's threads run; reaches an open port
  // at once.
  uint8_t GetThreadBoost() const { return threadBoost_; }
  void SetThreadBoost(uint8_t Value);
  // How long an open may wait for the device (ms) before the port is given
  // up as not answering: the open then fails with the time-out -121. For the
  // next open.
  uint32_t GetOpenTimeLimit() const { return openTimeLimit_; }
  void SetOpenTimeLimit(uint32_t Value) { openTimeLimit_ = Value; }
  // The availability trigger's length: OnTriggerAvail comes once this many
  // bytes are unread (0: never). Reaches an open port at once.
  uint16_t GetAvailThreshold() const { return availThreshold_; }
  void SetAvailThreshold(uint16_t Value);

 private:
  friend platform::LResult ComWindowProc(platform::WindowHandle, uint32_t, platform::WParam,
                                         platform::LParam);
  // What the hidden window does with one of its messages, for this port's
  // dispatcher d (the registry lock is held).
  void HandleComMessage(TSioBaseDispatcher* d, uint32_t Msg, platform::WParam wParam,
                        platform::LParam lParam) SIO_REQUIRES(DispatcherRegistryLock());
  void DeferredClose(TSioBaseDispatcher* d, platform::LParam lParam);
  void PostDeferredClose();
  // Window destroyed, dispatcher freed, closed.
  void CompleteClose();
  // Step 9 of the open: back to closed, users that heard "opened" told of
  // the close.
  void RecoverFailedOpen(bool windowMade, bool usersTold);
  bool AnyTriggerHandler() const;
  bool IsOpen() const { return openState_ == osOpen; }
  // Speed and framing to an open port's dispatcher.
  void ApplyLine();
  // Flow-control levels that would make the device refuse every open are
  // never stored.
  void BringLevelsIntoRange();
  // A trigger event is stored, and the dispatcher learns whether the
  // component still wants trigger messages.
  template <typename Event>
  void SetHandler(Event& field, const Event& value) {
    field = value;
    UpdateEventInterest();
  }

  // Every field below is read and written only on the thread that owns the
  // component (the user-interface thread: property writes, the open and
  // close sequences, the hidden window), so none has a lock of its own. The
  // hidden window's procedure runs with the dispatcher registry lock held;
  // the dispatcher's own fields are guarded by its sections.
  bool forceUpdate_ = false;
  OpenState openState_ = osClosed;
  bool reopenPending_ = false;
  bool openAfterLoad_ = false;
  std::vector<std::unique_ptr<TUserRecord>> users_;
  bool triggersSaved_ = false;
  TriggerSave savedTriggers_;
  platform::WindowHandle comWindow_ = nullptr;
  TDeviceLayers deviceLayers_ = DeviceLayerBit(dlWin32);
  std::unique_ptr<TSioBaseDispatcher> dispatcher_;
  uint16_t tapiCid_ = 0;
  uint8_t threadBoost_ = 0;
  uint32_t openTimeLimit_ = platform::kCommOpenLimitMs;
  uint16_t availThreshold_ = 1;
  // How many trigger messages of the hidden window are being handled now:
  // a close asked from inside one leaves even the release of the device to
  // the window, since the dispatcher thread waits for that handler.
  int32_t handlerDepth_ = 0;
  // The close was asked from inside a handler: DonePort still to be called.
  bool donePortPending_ = false;
  // Shared with the window's handler frames, which may outlive the port (a
  // port freed inside its own handler): whether it still exists, and what it
  // left the window to finish.
  struct TLife {
    bool alive = true;
    TClosingLeftover* leftover = nullptr;
  };
  std::shared_ptr<TLife> life_ = std::make_shared<TLife>();
  // Whether this runs inside a handler the dispatcher thread is waiting for,
  // so that a close here must not wait for that thread.
  bool InHandler() const;
  // Freed inside such a handler: the dispatcher and the window go to the
  // window, which releases them once the handler has returned.
  void LeaveCloseToWindow();

  TDeviceLayer deviceLayer_ = dlWin32;
  uint16_t comNumber_ = 0;
  int32_t baud_ = 19200;
  bool promptForPort_ = true;
  TParity parity_ = pNone;
  uint16_t dataBits_ = 8;
  uint16_t stopBits_ = 1;
  uint16_t inSize_ = 4096;
  uint16_t outSize_ = 4096;
  bool autoOpen_ = true;
  bool open_ = false;
  bool dtr_ = true;
  bool rts_ = true;
  THWFlowOptionSet hwFlowOptions_ = 0;
  TSWFlowOptions swFlowOptions_ = swfNone;
  char xOnChar_ = 17;
  char xOffChar_ = 19;
  uint16_t bufferFull_ = 0;
  uint16_t bufferResume_ = 0;
  TTraceLogState tracing_ = tlOff;
  uint32_t traceSize_ = 10000;
  std::string traceName_ = "SIO.TRC";
  bool traceHex_ = true;
  bool traceAllHex_ = false;
  TTraceLogState logging_ = tlOff;
  uint32_t logSize_ = 10000;
  std::string logName_ = "SIO.LOG";
  bool logHex_ = true;
  bool logAllHex_ = false;
  bool useEventWord_ = true;
  uint16_t commNotificationLevel_ = 10;
  TTapiMode tapiMode_ = tmAuto;
  bool rs485Mode_ = false;
  int32_t tag_ = 0;

  TNotifyEvent onPortClose_;
  TNotifyEvent onPortOpen_;
  TComTriggerEvent onTrigger_;
  TTriggerAvailEvent onTriggerAvail_;
  TTriggerDataEvent onTriggerData_;
  TTriggerStatusEvent onTriggerStatus_;
  TTriggerTimerEvent onTriggerTimer_;
  TTriggerLineErrorEvent onTriggerLineError_;
  TNotifyEvent onTriggerModemStatus_;
  TNotifyEvent onTriggerOutbuffFree_;
  TNotifyEvent onTriggerOutbuffUsed_;
  TNotifyEvent onTriggerOutSent_;
  TCharNotifyEvent onCharNotify_;
};

// Publishes the properties; adds no behaviour.
class TSioComPort : public TSioCustomComPort {
 public:
  using TSioCustomComPort::TSioCustomComPort;
};

// The hidden window's procedure (class "SioComWindow").
platform::LResult ComWindowProc(platform::WindowHandle hwnd, uint32_t msg, platform::WParam wParam,
                                platform::LParam lParam);

// The first port in the component tree below Owner, depth first; null when
// there is none.
TSioCustomComPort* FindComPort(TComponent* Owner);

}  // namespace sio
