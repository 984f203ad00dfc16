// POSIX hosts have no window system of their own to show a box or a dialog
// in: without a front-end's services, everything is refused at once.
#include "platform/ui.h"

namespace sio::platform {

namespace {

class NoUiServices final : public UiServices {
 public:
  bool ShowMessageBox(const std::string&, const std::string&, std::string& whyNot) override {
    whyNot = "this program has no window to show a message box in";
    return false;
  }
  bool ShowSelectPortDialog(const std::vector<std::string>&, int32_t, PortDialogResult& result,
                            std::string& whyNot) override {
    result = PortDialogResult{};
    whyNot = "this program has no window to show the port selection dialog in";
    return false;
  }
};

}  // namespace

UiServices& BuiltInUiServices() {
  static NoUiServices services;
  return services;
}

}  // namespace sio::platform
