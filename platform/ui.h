// The user-interface services the serial layer needs: a modal message box and
// the "Select Port" dialog. The serial layer reaches them only through this
// seam and never includes a toolkit header.
//
// Windows has them built in (USER32: MessageBoxA and a dialog made in code,
// linked into the program itself). Other hosts have none built in: a
// front-end installs its own at start-up (the Linux window installs Qt's),
// and a program without one gets a clear failure at once, never a hang.
// Tests install scripted services of their own the same way.
//
// Call the services on the user-interface thread. Both are modal: they return
// when the user has closed the box or dialog, and the thread's messages keep
// being dispatched meanwhile (hidden windows, hand-over calls).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sio::platform {

// Modal results, as the dialog's buttons and its close box give them.
constexpr int32_t kModalNone = 0;    // not closed yet
constexpr int32_t kModalOk = 1;      // the OK button
constexpr int32_t kModalCancel = 2;  // the close box (or Escape)
constexpr int32_t kModalAbort = 3;   // the Cancel button

// True where the services are built in; false where only an installed
// service can show anything.
#ifdef _WIN32
inline constexpr bool kUiBuiltIn = true;
#else
inline constexpr bool kUiBuiltIn = false;
#endif

//@{
// The dialog's texts, shared by every implementation.
inline constexpr const char* kSelectPortCaption = "Select Port";
inline constexpr const char* kSelectPortLabel1 = "The configured serial port is not valid.";
inline constexpr const char* kSelectPortLabel2 = "Please choose another port.";
inline constexpr const char* kSelectPortOk = "OK";
inline constexpr const char* kSelectPortCancel = "Cancel";
inline constexpr const char* kSelectPortFontFace = "MS Sans Serif";
//@}
// A font height in the LOGFONT sense: negative, character height in pixels.
inline constexpr int kSelectPortFontHeight = -11;

// A rectangle in pixels.
struct UiRect {
  int left;    // from the left edge
  int top;     // from the top edge
  int width;   // across
  int height;  // down
};

//@{
// The dialog's layout: its client area's size, and each control's rectangle
// in client coordinates.
inline constexpr int kSelectPortClientWidth = 220;
inline constexpr int kSelectPortClientHeight = 131;
inline constexpr UiRect kSelectPortBevel1{8, 8, 201, 42};
inline constexpr UiRect kSelectPortLabel1Rect{18, 14, 176, 13};
inline constexpr UiRect kSelectPortLabel2Rect{18, 30, 133, 13};
inline constexpr UiRect kSelectPortComboRect{8, 64, 201, 21};
inline constexpr UiRect kSelectPortOkRect{8, 95, 85, 27};
inline constexpr UiRect kSelectPortCancelRect{124, 95, 85, 27};
//@}

// What the dialog gives back: its modal result and the index of the entry
// selected when it closed (-1: none).
struct PortDialogResult {
  int32_t modalResult = kModalNone;  // kModal*
  int32_t itemIndex = -1;            // -1: none
};

// An implementation of the services. Each returns false, with the reason in
// whyNot, when it cannot show what was asked (a front-end that has message
// boxes but no dialog, a window that cannot be made); nothing was shown then.
class UiServices {
 public:
  virtual ~UiServices() = default;
  // A modal box with the text, the caption and one OK button.
  virtual bool ShowMessageBox(const std::string& text, const std::string& caption,
                              std::string& whyNot) = 0;
  // The "Select Port" dialog over the entries, with entry itemIndex selected
  // (-1: none).
  virtual bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                                    PortDialogResult& result, std::string& whyNot) = 0;
};

// Installs the process's services (nullptr: back to the built-in ones). The
// service must stay alive until it is replaced. Returns the one it replaces
// (nullptr when that was the built-in one), so a caller can put it back.
UiServices* SetUiServices(UiServices* services);
// The installed services, or the built-in ones (which, where nothing is built
// in, refuse everything with the reason).
UiServices& GetUiServices();

//@{
// Shorthands through GetUiServices.
bool ShowMessageBox(const std::string& text, const std::string& caption, std::string& whyNot);
bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                          PortDialogResult& result, std::string& whyNot);
//@}

// The built-in services of this host (never installed ones).
UiServices& BuiltInUiServices();

}  // namespace sio::platform
