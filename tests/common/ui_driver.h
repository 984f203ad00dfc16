// Drives real Windows dialogs and message boxes from a thread of the test
// while the user-interface thread sits in their modal loop: finds the window,
// reads back what it shows and acts on it the way a user would, all through
// window messages. Implemented for Windows only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace sio_test {

using TopWindow = void*;

// Polls for a visible top-level window of the class and caption (either may
// be nullptr: any) of this process; nullptr when none appears in timeoutMs.
TopWindow WaitForTopWindow(const char* className, const char* caption, uint32_t timeoutMs);

struct ControlView {
  std::string className;
  std::string text;
  int id = 0;
  sio::platform::UiRect rect{};  // in the parent's client coordinates
  uint32_t style = 0;
  std::string fontFace;
  int fontHeight = 0;
  int textWidth = 0;  // of its text on one line, in its font
};

struct DialogView {
  std::string className;
  std::string caption;
  uint32_t style = 0;
  int clientWidth = 0;
  int clientHeight = 0;
  // Offsets of the window's centre from the screen's, in pixels.
  int offCentreX = 0;
  int offCentreY = 0;
  TopWindow owner = nullptr;
  bool ownerEnabled = false;
  std::string fontFace;  // the window's own font
  int fontHeight = 0;
  std::vector<ControlView> children;  // in creation (z) order
  // Control ids in the order Tab visits them, starting at the first tab stop,
  // until it comes round again (at most one round).
  std::vector<int> tabOrder;
  int focusedId = 0;
  int defaultId = 0;
  // The drop-down list's entries and selection (-1: none), when it has one.
  std::vector<std::string> entries;
  int selected = -1;
};

DialogView InspectDialog(TopWindow window);

// Selects entry `index` of the window's drop-down list as a user would (the
// list then tells its parent of the change).
void SelectListEntry(TopWindow window, int index);
// Presses the button with this control id.
void ClickButton(TopWindow window, int id);
// Clicks the first button, whatever its id (a message box's only button).
void ClickFirstButton(TopWindow window);
// Chooses Close in the window's system menu (the close box).
void ChooseCloseBox(TopWindow window);
// Presses a key (a virtual-key code) on the control that has the focus.
void PressKey(TopWindow window, uint32_t virtualKey);

struct DrivenRun {
  bool found = false;
  bool dispatchedMeanwhile = false;
  bool forcedToQuit = false;
  DialogView view;
};

// Runs `modal` on the calling thread while a helper thread finds the window
// (class and caption), reads it back, checks that a message posted to one of
// the calling thread's hidden windows is dispatched meanwhile, then acts. A
// window that never appears or does not close is ended by a quit request
// (taken off the queue again afterwards), so a fault fails the test instead
// of hanging it.
DrivenRun DriveModal(const char* className, const char* caption,
                     const std::function<void(TopWindow)>& act, const std::function<void()>& modal);

}  // namespace sio_test
