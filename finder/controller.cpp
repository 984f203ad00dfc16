#include "finder/controller.h"

#include "platform/host_ports.h"
#include "serial/support/ticks.h"

namespace finder {

namespace {

// The device behind a port number, for the report.
std::string DeviceOf(uint32_t number) {
  std::string path;
  if (!sio::platform::ResolveComDevice(sio::platform::ComName(number), path)) return std::string();
  return path;
}

}  // namespace

void TController::DescribeAdapters(const std::vector<std::string>& list) {
  std::vector<sio::platform::HostPort> ports;
  for (const std::string& entry : list) {
    const uint16_t number = PortNumberFromEntry(entry);
    if (adapters_.count(number) == 0)
      ports.push_back({number, sio::platform::ComName(number), DeviceOf(number)});
  }
  if (ports.empty()) return;
  const std::vector<sio::platform::PortDescription> found = sio::platform::DescribeHostPorts(ports);
  for (size_t i = 0; i < ports.size() && i < found.size(); ++i)
    adapters_[ports[i].number] = found[i];
}

TController::TController(sio::TSioComPort* port, TStatusLog& log, TMessageBoxes& boxes)
    : port_(port), log_(log), boxes_(boxes) {}

void TController::NoteBanner() {
  if (listening_) probe_.SawBanner = true;
}
void TController::NoteInterpreter() {
  if (listening_) probe_.SawInterpreter = true;
}
void TController::NoteClone() {
  if (listening_) probe_.SawClone = true;
}

void TController::Search() {
  wrapper_ = std::make_unique<TKelvaneComPort>(port_, boxes_);
  adapters_.clear();
  log_.Clear();
  try {
    const std::vector<std::string> list = ListPorts();
    const auto count = static_cast<int32_t>(list.size());
    ProbeAtBaud(list, count, 115200);
    ProbeAtBaud(list, count, 38400);
    ProbeAtBaud(list, count, 9600);
  } catch (...) {
    // The error ends the search; a port left open by it would stay held,
    // with its four threads, until the next search or the program's end.
    wrapper_->ReleasePort();
    throw;
  }
  log_.Append("\r\rEnd of search.\r");
}

std::vector<std::string> TController::ListPorts() {
  log_.AddLine("= Retrieving list of available COM ports: =");
  std::vector<std::string> list = wrapper_->GetPortList();
  const size_t count = list.size();
  if (count > 0) {
    for (size_t i = 0; i < count; ++i) {
      std::string line = "   COM" + list[i];
      const std::string device = sio::platform::ListedDeviceOf(PortNumberFromEntry(list[i]));
      if (!device.empty()) line += " (" + device + ")";
      log_.AddLine(line);
    }
  } else {
    log_.AddLine(" Error: couldn't find any COM ports");
  }
  return list;
}

void TController::ProbeAtBaud(const std::vector<std::string>& list, int32_t count, int32_t baud) {
  BannerSeen = false;
  log_.AddLine("");
  log_.AddLine("\r= Attempting to connect at " + std::to_string(baud) + " baud =");
  wrapper_->SetBaud(baud);
  if (OnProbe) DescribeAdapters(list);
  for (int32_t i = 0; i < count; ++i) {
    const std::string& entry = list[static_cast<size_t>(i)];
    // A probe starts with a clean slate: whatever came in during the last
    // one (a late reply while its port closed) belongs to that one.
    BannerSeen = false;
    NeedsCloneTag = false;
    probe_ = TProbeRecord{};
    listening_ = true;
    log_.Append("  Looking on COM" + entry);
    const uint16_t number = PortNumberFromEntry(entry);
    probe_.Port = sio::platform::ComName(number);
    probe_.Device = DeviceOf(number);
    probe_.Baud = baud;
    if (const auto known = adapters_.find(number); known != adapters_.end())
      probe_.Adapter = known->second;
    wrapper_->SetComNumber(number);
    wrapper_->OpenPort();
    wrapper_->Send("\r");
    log_.Append(".");
    sio::WaitTicks(5, true);
    wrapper_->Send("AT@1\r");
    log_.Append(".");
    sio::WaitTicks(5, true);
    wrapper_->Send("AT@2\r");
    log_.Append(".");
    sio::WaitTicks(10, true);
    // What the device says from here on (the echo of our own identifier, a
    // late reply while the port closes) did not decide this probe.
    listening_ = false;
    if (BannerSeen) {
      log_.SetColour(clRed);
      log_.Append("found scan tool!");
      BannerSeen = false;
      log_.SetColour(clBlack);
      log_.Append(" \r");
      probe_.Found = true;
    } else {
      if (NeedsCloneTag) {
        wrapper_->Send("AT@3 ELM327_CLONE\r");
        // The close would discard what has not gone out yet.
        wrapper_->WaitUntilSent(5);
        NeedsCloneTag = false;
        probe_.IdentifierSent = true;
      }
      log_.Append("nothing\r");
    }
    wrapper_->ClosePort();
    if (OnProbe) OnProbe(probe_);
  }
}

}  // namespace finder
