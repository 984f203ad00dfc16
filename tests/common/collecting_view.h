// A finder window without a screen: it keeps the boxes and error reports it
// was given and hands each piece of the log to onAppend, when one is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/view.h"

namespace finder_test {

class CollectingView : public finder::TFinderView {
 public:
  void LogCleared() override {}
  void LogAppended(std::string_view text, uint32_t) override {
    if (onAppend) onAppend(text);
  }
  void SetStartEnabled(bool) override {}
  void SetCaption(const std::string&) override {}
  void ShowMessage(const std::string& text) override { boxes.push_back(text); }
  void ShowError(const std::string& message) override { errors.push_back(message); }

  std::function<void(std::string_view)> onAppend;
  std::vector<std::string> boxes;
  std::vector<std::string> errors;
};

}  // namespace finder_test
