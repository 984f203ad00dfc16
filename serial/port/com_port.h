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

#include "platform/comm.h"
#include "platform/message_loop.h"
#include "platform/thread_annotations.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/support/component.h"
#include "serial/support/method_ref.h"

namespace sio {

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
// A set of device layers, one bit per TDeviceLayer value.
using TDeviceLayers = uint8_t;
constexpr TDeviceLayers DeviceLayerBit(TDeviceLayer layer) {
  return static_cast<TDeviceLayers>(1u << layer);
}

enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };

// THWFlowOptionSet: any combination of these bits.
enum THWFlowOption : uint8_t {
  hwfUseDTR = 0x01,
  hwfUseRTS = 0x02,
  hwfRequireDSR = 0x04,
  hwfRequireCTS = 0x08,
};
using THWFlowOptionSet = uint8_t;

enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };

enum TTraceLogState : uint8_t {
  tlOff,
  tlOn,
  tlDump,
  tlAppend,
  tlClear,
  tlPause,
  tlAppendAndContinue,
};

enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };

enum OpenState : uint8_t { osClosed = 0, osClosing = 1, osOpen = 2 };

// Port-level messages: to a user's window, and (the closing one) the
// deferred close the component posts to its own window.
constexpr uint32_t kMsgPortOpen = 0x7E08;
constexpr uint32_t kMsgPortClose = 0x7E09;
constexpr uint32_t kMsgPortClosing = 0x7E0A;

// Kinds of the extended user callback.
constexpr uint8_t ctOpen = 0;
constexpr uint8_t ctClosing = 1;
constexpr uint8_t ctClosed = 2;

constexpr uint32_t MaxLogSize = 16000000;
// Short texts (TraceName, LogName) hold at most this many characters.
constexpr size_t MaxShortText = 255;

// The component's events. The sender is the port.
using TNotifyEvent = TMethod<void(TComponent* Sender)>;
// Every trigger message (named apart from the dispatcher's own handler type).
using TComTriggerEvent =
    TMethod<void(TComponent* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = TMethod<void(TComponent* CP, uint16_t Count)>;
using TTriggerDataEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = TMethod<void(TComponent* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = TMethod<void(TComponent* CP, uint16_t Error, bool LineBreak)>;
using TCharNotifyEvent = TMethod<void(TComponent* CP, char Ch)>;

// User callbacks: the plain form hears (port, Opening); the extended form
// hears (port, ctOpen / ctClosing / ctClosed).
using TPortCallback = TMethod<void(TComponent* CP, bool Opening)>;
using TPortCallbackEx = TMethod<void(TComponent* CP, uint8_t Kind)>;

struct TUserRecord {
  platform::WindowHandle Window = nullptr;
  TPortCallback Callback;
  TPortCallbackEx CallbackEx;
  bool Extended = false;
};

struct TClosingLeftover;

class TSioCustomComPort : public TSioBaseComponent {
 public:
  explicit TSioCustomComPort(TComponent* Owner = nullptr);
  ~TSioCustomComPort() override;

  // Copies the settings and handlers of another port (not its users).
  virtual void Assign(TComponent* Source);
  void Loaded() override;

  // --- Overridable operations, in the order of their slots ---
  virtual TSioBaseDispatcher* CreateDispatcher();
  virtual void DeviceLayerChanged();
  [[nodiscard]] virtual int32_t OpenDevice();
  virtual void SetupComWindow(bool Create);
  virtual void ValidatePortNumber();
  virtual void SetUseMSRShadow(bool Value);
  virtual void TriggerNotify(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void TriggerAvailNotify(uint16_t Count);
  virtual void TriggerDataNotify(uint16_t TriggerHandle);
  virtual void TriggerStatusNotify(uint16_t TriggerHandle);
  virtual void TriggerTimerNotify(uint16_t TriggerHandle);
  virtual void UpdateEventInterest();
  virtual void TriggerLineErrorNotify(uint16_t Error, bool LineBreak);
  virtual void TriggerModemStatusNotify();
  virtual void TriggerOutbuffFreeNotify();
  virtual void TriggerOutbuffUsedNotify();
  virtual void TriggerOutSentNotify();
  virtual void CharNotify(char Ch);
  virtual void ClosePortNow();
  virtual void YieldPort();
  virtual void NotifyPortOpen();
  virtual void NotifyPortClose();
  virtual void NotifyPortClosing();
  virtual void OpenPortNow();

  // --- The dispatcher ---
  // Opens the port first when it is closed and AutoOpen is set; null while
  // the port is closed.
  TSioBaseDispatcher* GetDispatcher();
  // GetDispatcher, raising ECommNotOpen instead of giving null.
  TSioBaseDispatcher* ValidDispatcher();

  // --- Operations ---
  void OutputString(const std::string& Text);
  [[nodiscard]] int32_t AddTimerTrigger();
  void SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate);
  uint16_t LineError();
  bool LineBreak();
  // The record's position in the user list.
  [[nodiscard]] int32_t RegisterUserCallbackEx(const TPortCallbackEx& Callback);
  // Removes every record whose extended callback has the same code.
  void DeregisterUserCallbackEx(const TPortCallbackEx& Callback);

  // --- Published properties ---
  TDeviceLayer GetDeviceLayer() const { return deviceLayer_; }
  void SetDeviceLayer(TDeviceLayer Value);
  uint16_t GetComNumber() const { return comNumber_; }
  void SetComNumber(uint16_t Value);
  int32_t GetBaud() const { return baud_; }
  void SetBaud(int32_t Value);
  bool GetPromptForPort() const { return promptForPort_; }
  void SetPromptForPort(bool Value) { promptForPort_ = Value; }
  TParity GetParity() const { return parity_; }
  void SetParity(TParity Value);
  uint16_t GetDataBits() const { return dataBits_; }
  void SetDataBits(uint16_t Value);
  uint16_t GetStopBits() const { return stopBits_; }
  void SetStopBits(uint16_t Value);
  uint16_t GetInSize() const { return inSize_; }
  void SetInSize(uint16_t Value);
  uint16_t GetOutSize() const { return outSize_; }
  void SetOutSize(uint16_t Value);
  bool GetAutoOpen() const { return autoOpen_; }
  void SetAutoOpen(bool Value) { autoOpen_ = Value; }
  bool GetOpen() const { return open_; }
  void SetOpen(bool Value);
  bool GetDTR() const { return dtr_; }
  void SetDTR(bool Value);
  bool GetRTS() const { return rts_; }
  void SetRTS(bool Value);
  THWFlowOptionSet GetHWFlowOptions() const { return hwFlowOptions_; }
  void SetHWFlowOptions(THWFlowOptionSet Value);
  TSWFlowOptions GetSWFlowOptions() const { return swFlowOptions_; }
  void SetSWFlowOptions(TSWFlowOptions Value);
  char GetXOnChar() const { return xOnChar_; }
  void SetXOnChar(char Value);
  char GetXOffChar() const { return xOffChar_; }
  void SetXOffChar(char Value);
  uint16_t GetBufferFull() const { return bufferFull_; }
  void SetBufferFull(uint16_t Value);
  uint16_t GetBufferResume() const { return bufferResume_; }
  void SetBufferResume(uint16_t Value);
  TTraceLogState GetTracing() const { return tracing_; }
  void SetTracing(TTraceLogState Value);
  uint32_t GetTraceSize() const { return traceSize_; }
  void SetTraceSize(uint32_t Value);
  const std::string& GetTraceName() const { return traceName_; }
  void SetTraceName(const std::string& Value) { traceName_ = Value.substr(0, MaxShortText); }
  bool GetTraceHex() const { return traceHex_; }
  void SetTraceHex(bool Value) { traceHex_ = Value; }
  bool GetTraceAllHex() const { return traceAllHex_; }
  void SetTraceAllHex(bool Value) { traceAllHex_ = Value; }
  TTraceLogState GetLogging() const { return logging_; }
  void SetLogging(TTraceLogState Value);
  uint32_t GetLogSize() const { return logSize_; }
  void SetLogSize(uint32_t Value);
  const std::string& GetLogName() const { return logName_; }
  void SetLogName(const std::string& Value) { logName_ = Value.substr(0, MaxShortText); }
  bool GetLogHex() const { return logHex_; }
  void SetLogHex(bool Value) { logHex_ = Value; }
  bool GetLogAllHex() const { return logAllHex_; }
  void SetLogAllHex(bool Value) { logAllHex_ = Value; }
  // Always true: the setter is the overridable SetUseMSRShadow.
  bool GetUseMSRShadow() const { return true; }
  bool GetUseEventWord() const { return useEventWord_; }
  void SetUseEventWord(bool Value);
  uint16_t GetCommNotificationLevel() const { return commNotificationLevel_; }
  void SetCommNotificationLevel(uint16_t Value) { commNotificationLevel_ = Value; }
  TTapiMode GetTapiMode() const { return tapiMode_; }
  void SetTapiMode(TTapiMode Value) { tapiMode_ = Value; }
  bool GetRS485Mode() const { return rs485Mode_; }
  void SetRS485Mode(bool Value);
  int32_t GetTag() const { return tag_; }
  void SetTag(int32_t Value) { tag_ = Value; }

  TNotifyEvent GetOnPortClose() const { return onPortClose_; }
  void SetOnPortClose(const TNotifyEvent& Value) { onPortClose_ = Value; }
  TNotifyEvent GetOnPortOpen() const { return onPortOpen_; }
  void SetOnPortOpen(const TNotifyEvent& Value) { onPortOpen_ = Value; }
  TComTriggerEvent GetOnTrigger() const { return onTrigger_; }
  void SetOnTrigger(const TComTriggerEvent& Value);
  TTriggerAvailEvent GetOnTriggerAvail() const { return onTriggerAvail_; }
  void SetOnTriggerAvail(const TTriggerAvailEvent& Value);
  TTriggerDataEvent GetOnTriggerData() const { return onTriggerData_; }
  void SetOnTriggerData(const TTriggerDataEvent& Value);
  TTriggerStatusEvent GetOnTriggerStatus() const { return onTriggerStatus_; }
  void SetOnTriggerStatus(const TTriggerStatusEvent& Value);
  TTriggerTimerEvent GetOnTriggerTimer() const { return onTriggerTimer_; }
  void SetOnTriggerTimer(const TTriggerTimerEvent& Value);
  TTriggerLineErrorEvent GetOnTriggerLineError() const { return onTriggerLineError_; }
  void SetOnTriggerLineError(const TTriggerLineErrorEvent& Value);
  TNotifyEvent GetOnTriggerModemStatus() const { return onTriggerModemStatus_; }
  void SetOnTriggerModemStatus(const TNotifyEvent& Value);
  TNotifyEvent GetOnTriggerOutbuffFree() const { return onTriggerOutbuffFree_; }
  void SetOnTriggerOutbuffFree(const TNotifyEvent& Value);
  TNotifyEvent GetOnTriggerOutbuffUsed() const { return onTriggerOutbuffUsed_; }
  void SetOnTriggerOutbuffUsed(const TNotifyEvent& Value);
  TNotifyEvent GetOnTriggerOutSent() const { return onTriggerOutSent_; }
  void SetOnTriggerOutSent(const TNotifyEvent& Value);
  TCharNotifyEvent GetOnCharNotify() const { return onCharNotify_; }
  void SetOnCharNotify(const TCharNotifyEvent& Value) { onCharNotify_ = Value; }

  // --- Unpublished state ---
  bool GetForceUpdate() const { return forceUpdate_; }
  OpenState GetOpenState() const { return openState_; }
  bool GetReopenPending() const { return reopenPending_; }
  bool GetOpenAfterLoad() const { return openAfterLoad_; }
  int32_t UserCount() const { return static_cast<int32_t>(users_.size()); }
  bool GetTriggersSaved() const { return triggersSaved_; }
  const TriggerSave& GetSavedTriggers() const { return savedTriggers_; }
  platform::WindowHandle GetComWindow() const { return comWindow_; }
  TDeviceLayers GetDeviceLayers() const { return deviceLayers_; }
  void SetDeviceLayers(TDeviceLayers Value) { deviceLayers_ = Value; }
  uint16_t GetTapiCid() const { return tapiCid_; }
  void SetTapiCid(uint16_t Value) { tapiCid_ = Value; }
  uint8_t GetThreadBoost() const { return threadBoost_; }
  void SetThreadBoost(uint8_t Value);
  // How long an open may wait for the device (ms) before the port is given
  // up as not answering: the open then fails with the time-out -121. For the
  // next open.
  uint32_t GetOpenTimeLimit() const { return openTimeLimit_; }
  void SetOpenTimeLimit(uint32_t Value) { openTimeLimit_ = Value; }
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
