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

void TStatusLog::Add(std::string_view text) {
  if (text.empty()) return;
  if (runs_.empty() || runs_.back().Colour != colour_) runs_.push_back({text_.size(), colour_});
  text_.append(text);
  if (listener_ != nullptr) listener_->LogAppended(text, colour_);
}

}  // namespace finder
