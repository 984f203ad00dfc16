// The search: lists the registered ports, then at 115200, 38400 and 9600 baud
// opens each port, sends "\r", "AT@1\r" and "AT@2\r" with fixed waits, and
// writes one result per port into the status log.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "finder/kelvane_com_port.h"
#include "finder/status_log.h"
#include "platform/host_ports.h"
#include "serial/port/com_port.h"

namespace finder {

// What one probe (one port at one speed) saw and did.
struct TProbeRecord {
  std::string Port;    // "COMn"
  std::string Device;  // the device behind it, where the host knows it
  int32_t Baud = 0;
  bool Found = false;
  bool SawBanner = false;       // "KELVANE"
  bool SawInterpreter = false;  // "OBDII to RS232 Interpreter"
  bool SawClone = false;        // "ELM327_CLONE"
  bool IdentifierSent = false;  // "AT@3 ELM327_CLONE\r"
  // What the host knows of the device behind the port (described once per
  // search, as the port list was read).
  sio::platform::PortDescription Adapter;
};

class TController {
 public:
  TController(sio::TSioComPort* port, TStatusLog& log, TMessageBoxes& boxes);

  void Search();
  std::vector<std::string> ListPorts();
  void ProbeAtBaud(const std::vector<std::string>& list, int32_t count, int32_t baud);
  // What the host knows of each listed port not described yet in this
  // search, for the probes' records.
  void DescribeAdapters(const std::vector<std::string>& list);

  // Set by the main window's packet handlers while a probe waits.
  bool BannerSeen = false;
  bool NeedsCloneTag = false;

  // The packet handlers also say what they saw, for the probe's record
  // (only what came before the probe's decision counts).
  void NoteBanner();
  void NoteInterpreter();
  void NoteClone();

  // Called with each probe's record as it ends.
  std::function<void(const TProbeRecord&)> OnProbe;

 private:
  sio::TSioComPort* port_;
  TStatusLog& log_;
  TMessageBoxes& boxes_;
  std::unique_ptr<TKelvaneComPort> wrapper_;
  TProbeRecord probe_;
  // The listed ports' descriptions by port number, made at the first probe
  // of a search that someone records.
  std::map<uint32_t, sio::platform::PortDescription> adapters_;
  // The probe's record takes what the device says only during its three
  // waits.
  bool listening_ = false;
};

}  // namespace finder
