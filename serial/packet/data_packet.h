// The data packet matcher: watches the bytes one serial port component
// receives for a start condition (a start string, or simply the next byte)
// followed by an end condition (an end string, a byte count, either, or
// none), and reports each complete packet through OnPacket and
// OnStringPacket on the user-interface thread. A packet that has begun
// collecting and does not end within TimeOut ticks is abandoned and
// reported through OnTimeout. The matcher never reads the port: its packet
// manager reads the bytes, and the matcher holds only its matching state and
// indexes into the manager's buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../../platform/thread_annotations.h"
#include "../port/com_port.h"
#include "../support/component.h"
#include "../support/method_ref.h"
#include "packet_manager.h"

namespace sio {

class TSioBaseDispatcher;

// How a packet begins: with StartString, or with any byte.
enum TPacketStartCond : uint8_t { scString, scAnyData };
// How a packet ends: with EndString, or at PacketSize bytes.
enum TPacketEndCond : uint8_t { ecString, ecPacketSize };
// A set of end conditions, one bit per TPacketEndCond value.
using TPacketEndSet = uint8_t;
// The bit of c in a TPacketEndSet.
constexpr TPacketEndSet EndCondBit(TPacketEndCond c) {
  return static_cast<TPacketEndSet>(1u << c);
}
// What a matcher is doing: nothing, waiting for the start, collecting a packet.
enum TPacketMode : uint8_t { dpIdle, dpWaiting, dpCollecting };

// Data points into the manager's buffer and is valid only during the call.
using TPacketNotifyEvent = TMethod<void(TComponent* Sender, const void* Data, int32_t Size)>;
// The packet as a string, zero bytes included.
using TStringPacketNotifyEvent = TMethod<void(TComponent* Sender, const std::string& Data)>;

// Two minutes of ticks.
constexpr int32_t DefaultPacketTimeOut = 2184;

// A packet matcher. While it is enabled, a setting that would leave it
// unable to match is refused with EInvalidProperty (-5501 to -5505).
class TSioDataPacket : public TSioBaseComponent {
 public:
  // In a designer it starts enabled, on the first port component below Owner.
  explicit TSioDataPacket(TComponent* Owner = nullptr);
  ~TSioDataPacket() override;

  void Loaded() override;
  void Notification(TComponent* Component, TOperation Operation) override;

  // --- Published properties ---
  // Whether it matches. Switched on while loading, it starts after Loaded;
  // switched off, it abandons a packet it was collecting.
  bool GetEnabled() const;
  void SetEnabled(bool Value);
  // Whether it is enabled again after each packet (it is disabled while the
  // packet is delivered, and stays so after a time-out).
  bool GetAutoEnable() const;
  void SetAutoEnable(bool Value);
  // How a packet begins.
  TPacketStartCond GetStartCond() const;
  void SetStartCond(TPacketStartCond Value);
  // How a packet ends: EndCondBit(ecString), EndCondBit(ecPacketSize), both
  // (whichever comes first) or none (the start string alone is the packet).
  // A change applies at once.
  TPacketEndSet GetEndCond() const;
  void SetEndCond(TPacketEndSet Value);
  // The string a packet begins with, as PrepareMatchString reads it; from
  // the next start.
  std::string GetStartString() const;
  void SetStartString(const std::string& Value);
  // The string a packet ends with, likewise. A change applies at once.
  std::string GetEndString() const;
  void SetEndString(const std::string& Value);
  // Whether the strings match letters a-z in either case, from the next start.
  bool GetIgnoreCase() const;
  void SetIgnoreCase(bool Value);
  // The port component whose bytes it watches; null for none. It leaves a
  // port that is freed, and without one takes a port added to its owner.
  TSioCustomComPort* GetComPort() const;
  void SetComPort(TSioCustomComPort* Value);
  // The size that ends a packet, in bytes from its first (the start string's
  // included); from the next start.
  int32_t GetPacketSize() const;
  void SetPacketSize(int32_t Value);
  // Whether a packet is delivered with its start and end strings.
  bool GetIncludeStrings() const;
  void SetIncludeStrings(bool Value);
  // Ticks a packet may take from when it begins collecting (after its start
  // string); 0: no limit. Past it, OnTimeout is called and every byte the
  // port's matchers hold is dropped.
  int32_t GetTimeOut() const;
  void SetTimeOut(int32_t Value);
  // Called on the user-interface thread with each packet.
  TPacketNotifyEvent GetOnPacket() const;
  void SetOnPacket(const TPacketNotifyEvent& Value);
  // Called after OnPacket with the same packet as a string.
  TStringPacketNotifyEvent GetOnStringPacket() const;
  void SetOnStringPacket(const TStringPacketNotifyEvent& Value);
  // Called on the user-interface thread when a packet times out.
  TNotifyEvent GetOnTimeout() const;
  void SetOnTimeout(const TNotifyEvent& Value);

  // --- Matching state, for inspection ---
  // What it is doing.
  TPacketMode GetMode() const;
  // Its port's packet manager; null without a port.
  TSioDataPacketManager* GetManager() const;
  // Whether a start waits for the end of loading or of a delivery.
  bool GetEnablePending() const;
  // Whether it waits for another matcher's packet to end before it collects.
  bool GetWaitingForCapture() const;
  // Whether it is the matcher collecting on its port (holds the capture).
  bool GetHasCapture() const;
  // Where the packet being matched begins in the port's buffer; -1: none.
  int32_t GetBeginPos() const;

  // --- Starting and stopping (also called by the manager) ---
  // Raises EInvalidProperty (-5501..-5505) for settings that cannot match.
  void StartMatching();
  // Stops; a capture it holds goes back to the other matchers.
  void StopMatching();
  // StopMatching and StartMatching, when enabled and on a port.
  void Restart();

  // Removes the escapes of a match string and marks its wildcards: "?"
  // matches any byte, a backslash makes the next character literal, and a
  // backslash at the very end produces nothing.
  static void PrepareMatchString(const std::string& Text, std::string& Prepared,
                                 std::vector<bool>& Mask);
  // Upper-cases a-z only.
  static uint8_t AsciiUpper(uint8_t C) { return C >= 'a' && C <= 'z' ? C - 32 : C; }

 private:
  friend class TSioDataPacketManager;

  // These expect the lock of the matcher's manager held, and are given that
  // manager (nullptr without one): the thread-safety analysis sees the lock
  // through the argument. It is manager_ as the call begins; a delivery's
  // hand-over may end the matcher's membership, and the lock held is still
  // that manager's.
  void StartMatchingLocked(TSioDataPacketManager* Manager) SIO_REQUIRES(Manager->Lock());
  void StopMatchingLocked(TSioDataPacketManager* Manager) SIO_REQUIRES(Manager->Lock());
  void RestartLocked(TSioDataPacketManager* Manager) SIO_REQUIRES(Manager->Lock());
  void SetEnabledLocked(TSioDataPacketManager* Manager, bool Value) SIO_REQUIRES(Manager->Lock());
  // The first check these settings fail (-5501..-5505), 0 when they can
  // match.
  [[nodiscard]] static int32_t SettingsError(TPacketStartCond StartCond,
                                             const std::string& StartString, TPacketEndSet EndCond,
                                             const std::string& EndString, int32_t PacketSize);
  // Raises EInvalidProperty for settings that cannot match, except while
  // designing or loading, where properties come one at a time in any order.
  void RefuseUnmatchable(TPacketStartCond StartCond, const std::string& StartString,
                         TPacketEndSet EndCond, const std::string& EndString,
                         int32_t PacketSize) const;
  void SetMode(TSioDataPacketManager* Manager, TPacketMode Value) SIO_REQUIRES(Manager->Lock());
  // Scans the manager's buffer from Start; false when the matcher was freed
  // or detached during a delivery and must not be touched again.
  bool ScanData(TSioDataPacketManager& Manager, int32_t Start) SIO_REQUIRES(Manager.Lock());
  // Delivers the packet at beginPos_ of dataSize_ bytes; false as above.
  bool DeliverPacket(TSioDataPacketManager& Manager, bool BySize) SIO_REQUIRES(Manager.Lock());
  // false as above.
  bool PacketTimedOut(TSioDataPacketManager& Manager) SIO_REQUIRES(Manager.Lock());
  void DataRemoved(TSioDataPacketManager& Manager, int32_t Count) SIO_REQUIRES(Manager.Lock());
  bool MatchByte(uint8_t C, const std::string& Prepared, const std::vector<bool>& Mask,
                 int32_t Index) const;
  // The first position in [From, To) whose byte MatchByte would accept as
  // the first character of Prepared; To when there is none. Every byte can
  // begin a string that starts with a wildcard.
  [[nodiscard]] int32_t NextCandidate(const uint8_t* Data, int32_t From, int32_t To,
                                      const std::string& Prepared,
                                      const std::vector<bool>& Mask) const;
  void Log(TSioDataPacketManager* Manager, int32_t SubType, const void* Bytes, int32_t Length)
      SIO_REQUIRES(Manager->Lock());
  void LogName(TSioDataPacketManager* Manager, int32_t SubType) SIO_REQUIRES(Manager->Lock());
  // The manager's lock when there is a manager (the setters take it).
  class TStateGuard;
  struct TDeliveryCall;
  static void RunDelivery(void* Call);
  static void RunOnUserInterface(TSioBaseDispatcher* D, TDeliveryCall& Call);

  // Published properties. Written on the user-interface thread; while the
  // matcher has a manager, under the manager's lock, which the dispatcher
  // thread holds while it reads them.
  bool enabled_ = false;
  bool autoEnable_ = true;
  TPacketStartCond startCond_ = scString;
  TPacketEndSet endCond_ = 0;
  std::string startString_;
  std::string endString_;
  bool ignoreCase_ = true;
  TSioCustomComPort* comPort_ = nullptr;
  int32_t packetSize_ = 0;
  bool includeStrings_ = true;
  int32_t timeOut_ = DefaultPacketTimeOut;
  TPacketNotifyEvent onPacket_;
  TStringPacketNotifyEvent onStringPacket_;
  TNotifyEvent onTimeout_;

  // Matching state: guarded by the manager's lock (manager_ is changed only
  // with the lock of the manager it leaves or joins held). Not annotated:
  // the analysis cannot name the lock of a manager that changes under a
  // delivery; the manager's own fields, which these functions reach, are.
  TSioDataPacketManager* manager_ = nullptr;  // FManager
  TPacketMode mode_ = dpIdle;                 // FMode
  int32_t beginPos_ = -1;                     // FBeginPos
  int32_t startMatch_ = 1;                    // FStartMatch
  int32_t endMatch_ = 1;                      // FEndMatch
  int32_t endPos_ = -1;                       // FEndPos
  int32_t sizeLimit_ = 0;                     // FSizeLimit
  std::string matchStart_;                    // FMatchStart
  std::string matchEnd_;                      // FMatchEnd
  std::vector<bool> startMask_;               // FStartMask
  std::vector<bool> endMask_;                 // FEndMask
  bool waitingForCapture_ = false;            // FWaitingForCapture
  bool enablePending_ = false;                // FEnablePending
  bool hasCapture_ = false;                   // FHasCapture
  const uint8_t* dataPtr_ = nullptr;          // FDataPtr
  int32_t dataSize_ = 0;                      // FDataSize
};

}  // namespace sio
