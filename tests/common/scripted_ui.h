// A user-interface service of the tests' own: it records what it was asked
// to show and answers as scripted, without a window.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui.h"

namespace sio_test {

class ScriptedUi : public sio::platform::UiServices {
 public:
  // The script. A dialog closes with modalResult and, when chooseEntry is not
  // empty, with that entry selected (none if it is not listed).
  bool offerBoxes = true;
  bool offerDialog = true;
  int32_t modalResult = sio::platform::kModalOk;
  std::string chooseEntry;

  // What was asked.
  std::vector<std::pair<std::string, std::string>> boxes;  // text, caption
  int dialogs = 0;
  std::vector<std::string> shownEntries;
  int32_t shownIndex = -2;

  bool ShowMessageBox(const std::string& text, const std::string& caption,
                      std::string& whyNot) override {
    if (!offerBoxes) {
      whyNot = "scripted: no message boxes";
      return false;
    }
    boxes.emplace_back(text, caption);
    return true;
  }

  bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                            sio::platform::PortDialogResult& result, std::string& whyNot) override {
    if (!offerDialog) {
      whyNot = "scripted: no dialog";
      return false;
    }
    ++dialogs;
    shownEntries = entries;
    shownIndex = itemIndex;
    result.modalResult = modalResult;
    result.itemIndex = itemIndex;
    if (!chooseEntry.empty()) {
      result.itemIndex = -1;
      for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == chooseEntry) result.itemIndex = static_cast<int32_t>(i);
      }
    }
    return true;
  }
};

// Installs a service for the scope and puts back the one it replaced.
class InstalledUi {
 public:
  explicit InstalledUi(sio::platform::UiServices* services)
      : previous_(sio::platform::SetUiServices(services)) {}
  ~InstalledUi() { sio::platform::SetUiServices(previous_); }
  InstalledUi(const InstalledUi&) = delete;
  InstalledUi& operator=(const InstalledUi&) = delete;

 private:
  sio::platform::UiServices* previous_;
};

}  // namespace sio_test
