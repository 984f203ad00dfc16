// Which user-interface services answer: the installed ones, or the host's own.
#include "platform/ui.h"

#include <atomic>

namespace sio::platform {

namespace {

std::atomic<UiServices*> g_installed{nullptr};

}  // namespace

UiServices* SetUiServices(UiServices* services) {
  return g_installed.exchange(services);
}

UiServices& GetUiServices() {
  UiServices* installed = g_installed.load();
  return installed != nullptr ? *installed : BuiltInUiServices();
}

bool ShowMessageBox(const std::string& text, const std::string& caption, std::string& whyNot) {
  return GetUiServices().ShowMessageBox(text, caption, whyNot);
}

bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                          PortDialogResult& result, std::string& whyNot) {
  return GetUiServices().ShowSelectPortDialog(entries, itemIndex, result, whyNot);
}

}  // namespace sio::platform
