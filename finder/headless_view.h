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

}  // namespace finder
