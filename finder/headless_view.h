// The finder without a window: the status log goes to one stream as it is
// written ("\r" as a line break, the red run in terminal colours when
// asked), message boxes and error reports go to another as lines, each box
// answered OK at once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "finder/controller.h"
#include "finder/view.h"
#include "platform/host_ports.h"

namespace finder {

class THeadlessView : public TFinderView {
 public:
  THeadlessView(std::FILE* out, std::FILE* err, bool colour);

  void LogCleared() override {}
  void LogAppended(std::string_view text, uint32_t colour) override;
  // No button to disable.
  void SetStartEnabled(bool) override {}
  void SetCaption(const std::string& caption) override { caption_ = caption; }
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& message) override;

  const std::string& Caption() const { return caption_; }

 private:
  std::FILE* out_;
  std::FILE* err_;
  bool colour_;
  std::string caption_;
};

// The probes of a search as JSON: one object per probe.
std::string ProbeReportJson(const std::vector<TProbeRecord>& probes);

// --list-ports: one line per port, its fields in aligned columns: the COM
// name, the device, the kind, VID:PID, the product and the serial number,
// then for a Bluetooth port its remote address. A field the host does not
// know is "-"; a text with blanks, quotes or control characters (or one
// that reads "-") is written as a JSON string.
std::string PortListText(const std::vector<sio::platform::HostPort>& ports,
                         const std::vector<sio::platform::PortDescription>& descriptions);

// --list-ports --json: {"ports": [...]}, one object per port with "port",
// "device" and the description's fields (as in the report).
std::string PortListJson(const std::vector<sio::platform::HostPort>& ports,
                         const std::vector<sio::platform::PortDescription>& descriptions);

}  // namespace finder
