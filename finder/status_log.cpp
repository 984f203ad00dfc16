#include "finder/status_log.h"

namespace finder {

void TStatusLog::AddLine(std::string_view text) {
  if (!text_.empty() && text_.back() != '\r') Add("\r");
  Add(text);
  Add("\r");
}

void TStatusLog::Append(std::string_view text) {
  Add(text);
}

void TStatusLog::Clear() {
  text_.clear();
  runs_.clear();
  if (listener_ != nullptr) listener_->LogCleared();
}

uint32_t TStatusLog::ColourAt(size_t index) const {
  uint32_t colour = clBlack;
  for (const TLogRun& run : runs_) {
    if (run.Start > index) break;
    colour = run.Colour;
  }
  return index < text_.size() ? colour : clBlack;
}

void TStatusLog::Add(std::string_view text) {
  if (text.empty()) return;
  if (runs_.empty() || runs_.back().Colour != colour_) runs_.push_back({text_.size(), colour_});
  text_.append(text);
  if (listener_ != nullptr) listener_->LogAppended(text, colour_);
}

}  // namespace finder
