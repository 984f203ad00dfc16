// The built-in Windows services, driven as a user would from another thread
// while the test's thread sits in their modal loop: the "Select Port"
// dialog's layout, texts, font and tab order, the ways it closes, and the
// message box; both keep dispatching the thread's messages meanwhile.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iterator>

#include "platform/ui.h"
#include "tests/common/ui_driver.h"

namespace {

constexpr int kComboId = 100;

using sio_test::DrivenRun;

struct DialogOutcome {
  bool shown = false;
  sio::platform::PortDialogResult result;
  std::string why;
};

DrivenRun DriveSelectPort(const std::vector<std::string>& entries, int32_t index,
                          const std::function<void(sio_test::TopWindow)>& act,
                          DialogOutcome& outcome) {
  return sio_test::DriveModal("TComSelectForm", "Select Port", act, [&] {
    outcome.shown =
        sio::platform::ShowSelectPortDialog(entries, index, outcome.result, outcome.why);
  });
}

const sio_test::ControlView* Control(const sio_test::DialogView& view, int id) {
  for (const auto& c : view.children) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

bool SameRect(const sio::platform::UiRect& a, const sio::platform::UiRect& b) {
  return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
}

TEST(PlatformUiWin32, SelectPortDialogShowsItsLayoutTextsAndTabOrder) {
  DialogOutcome outcome;
  const DrivenRun run = DriveSelectPort(
      {"COM1", "COM3", "COM12"}, 0,
      [](sio_test::TopWindow w) {
        sio_test::SelectListEntry(w, 2);
        sio_test::ClickButton(w, IDOK);
      },
      outcome);
  ASSERT_TRUE(run.found);
  EXPECT_FALSE(run.forcedToQuit);
  EXPECT_TRUE(run.dispatchedMeanwhile);
  ASSERT_TRUE(outcome.shown) << outcome.why;
  EXPECT_EQ(outcome.result.modalResult, sio::platform::kModalOk);
  EXPECT_EQ(outcome.result.itemIndex, 2);

  const sio_test::DialogView& v = run.view;
  EXPECT_EQ(v.caption, "Select Port");
  EXPECT_EQ(v.clientWidth, 220);
  EXPECT_EQ(v.clientHeight, 131);
  EXPECT_LE(std::abs(v.offCentreX), 1);
  EXPECT_LE(std::abs(v.offCentreY), 1);
  // Dialog border and the system menu; no sizing, no minimise or maximise.
  EXPECT_EQ(v.style & (WS_CAPTION | WS_SYSMENU), static_cast<uint32_t>(WS_CAPTION | WS_SYSMENU));
  EXPECT_EQ(v.style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0u);
  EXPECT_EQ(v.fontFace, "MS Sans Serif");
  EXPECT_EQ(v.fontHeight, -11);

  struct Expected {
    int id;
    const char* className;
    const char* text;
    sio::platform::UiRect rect;
  };
  const Expected expected[] = {
      {IDOK, "Button", "OK", {8, 95, 85, 27}},
      {IDABORT, "Button", "Cancel", {124, 95, 85, 27}},
      {kComboId, "ComboBox", "COM1", {8, 64, 201, 21}},
      {101, "Static", "", {8, 8, 201, 42}},
      {102, "Static", "The configured serial port is not valid.", {18, 14, 176, 13}},
      {103, "Static", "Please choose another port.", {18, 30, 133, 13}},
  };
  ASSERT_EQ(v.children.size(), std::size(expected));
  for (const Expected& e : expected) {
    const sio_test::ControlView* c = Control(v, e.id);
    ASSERT_NE(c, nullptr) << e.id;
    EXPECT_EQ(lstrcmpiA(c->className.c_str(), e.className), 0) << e.id << " " << c->className;
    EXPECT_EQ(c->text, e.text) << e.id;
    sio::platform::UiRect want = e.rect;
    if (e.id == 102 || e.id == 103) {  // unwrapped, wider for a wider font, inside the bevel
      EXPECT_EQ(c->style & SS_TYPEMASK, static_cast<uint32_t>(SS_LEFTNOWORDWRAP)) << e.id;
      want.width = std::clamp(c->textWidth, e.rect.width, 8 + 201 - 4 - e.rect.left);
    }
    EXPECT_TRUE(SameRect(c->rect, want)) << e.id << ": " << c->rect.left << "," << c->rect.top
                                         << " " << c->rect.width << "x" << c->rect.height;
    // The bevel is a frame without text: it keeps no font.
    if (e.id == 101) continue;
    EXPECT_EQ(c->fontFace, "MS Sans Serif") << e.id;
    EXPECT_EQ(c->fontHeight, -11) << e.id;
  }
  EXPECT_EQ(Control(v, IDOK)->style & 0x0F, static_cast<uint32_t>(BS_DEFPUSHBUTTON));
  EXPECT_EQ(Control(v, kComboId)->style & 0x03, static_cast<uint32_t>(CBS_DROPDOWNLIST));
  EXPECT_EQ(Control(v, 101)->style & SS_TYPEMASK, static_cast<uint32_t>(SS_ETCHEDFRAME));
  EXPECT_EQ(v.tabOrder, (std::vector<int>{IDOK, IDABORT, kComboId}));
  EXPECT_EQ(v.focusedId, IDOK);
  EXPECT_EQ(v.defaultId, IDOK);
  EXPECT_EQ(v.entries, (std::vector<std::string>{"COM1", "COM3", "COM12"}));
  EXPECT_EQ(v.selected, 0);
}

TEST(PlatformUiWin32, SelectPortDialogClosesWithTheResultOfWhatEndedIt) {
  struct Case {
    const char* what;
    std::function<void(sio_test::TopWindow)> act;
    int32_t modalResult;
    int32_t itemIndex;
  };
  const Case cases[] = {
      {"Cancel button",
       [](sio_test::TopWindow w) {
         sio_test::SelectListEntry(w, 0);
         sio_test::ClickButton(w, IDABORT);
       },
       sio::platform::kModalAbort, 0},
      {"close box", [](sio_test::TopWindow w) { sio_test::ChooseCloseBox(w); },
       sio::platform::kModalCancel, 1},
      {"Escape", [](sio_test::TopWindow w) { sio_test::PressKey(w, VK_ESCAPE); },
       sio::platform::kModalCancel, 1},
      {"Enter on the default button",
       [](sio_test::TopWindow w) { sio_test::PressKey(w, VK_RETURN); }, sio::platform::kModalOk, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DialogOutcome outcome;
    const DrivenRun run = DriveSelectPort({"COM2", "COM4"}, 1, c.act, outcome);
    ASSERT_TRUE(run.found);
    EXPECT_FALSE(run.forcedToQuit);
    ASSERT_TRUE(outcome.shown) << outcome.why;
    EXPECT_EQ(outcome.result.modalResult, c.modalResult);
    EXPECT_EQ(outcome.result.itemIndex, c.itemIndex);
  }
}

TEST(PlatformUiWin32, QuitRequestEndsTheDialogAndIsPassedOn) {
  DialogOutcome outcome;
  const DWORD uiThread = GetCurrentThreadId();
  const DrivenRun run = DriveSelectPort(
      {"COM5"}, 0, [uiThread](sio_test::TopWindow) { PostThreadMessageA(uiThread, WM_QUIT, 7, 0); },
      outcome);
  ASSERT_TRUE(run.found);
  EXPECT_FALSE(run.forcedToQuit);
  ASSERT_TRUE(outcome.shown) << outcome.why;
  EXPECT_EQ(outcome.result.modalResult, sio::platform::kModalCancel);
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(m.wParam, 7u);
}

TEST(PlatformUiWin32, SelectPortDialogKeepsTheActiveWindowDisabledWhileItIsOpen) {
  HWND main =
      CreateWindowExA(0, "STATIC", "Kelvane Finder test window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                      10, 10, 300, 200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(main, nullptr);
  SetActiveWindow(main);
  ASSERT_EQ(GetActiveWindow(), main);
  DialogOutcome outcome;
  const DrivenRun run = DriveSelectPort(
      {"COM1"}, 0, [](sio_test::TopWindow w) { sio_test::ClickButton(w, IDOK); }, outcome);
  ASSERT_TRUE(run.found);
  EXPECT_EQ(run.view.owner, main);
  EXPECT_FALSE(run.view.ownerEnabled);
  EXPECT_TRUE(IsWindowEnabled(main));
  EXPECT_EQ(outcome.result.modalResult, sio::platform::kModalOk);
  DestroyWindow(main);
}

TEST(PlatformUiWin32, EmptyListShowsNothingSelectedAndOkGivesNoEntry) {
  DialogOutcome outcome;
  const DrivenRun run = DriveSelectPort(
      {}, -1, [](sio_test::TopWindow w) { sio_test::ClickButton(w, IDOK); }, outcome);
  ASSERT_TRUE(run.found);
  ASSERT_TRUE(outcome.shown) << outcome.why;
  EXPECT_TRUE(run.view.entries.empty());
  EXPECT_EQ(run.view.selected, -1);
  EXPECT_EQ(outcome.result.modalResult, sio::platform::kModalOk);
  EXPECT_EQ(outcome.result.itemIndex, -1);
}

TEST(PlatformUiWin32, MessageBoxShowsTextAndCaptionUntilOkIsPressed) {
  bool shown = false;
  std::string why;
  const DrivenRun run = sio_test::DriveModal(
      "#32770", "Kelvane Finder test", [](sio_test::TopWindow w) { sio_test::ClickFirstButton(w); },
      [&] {
        shown = sio::platform::ShowMessageBox("Port COM3 is in use.", "Kelvane Finder test", why);
      });
  ASSERT_TRUE(run.found);
  EXPECT_FALSE(run.forcedToQuit);
  EXPECT_TRUE(run.dispatchedMeanwhile);
  EXPECT_TRUE(shown) << why;
  bool textShown = false;
  for (const auto& c : run.view.children)
    textShown = textShown || c.text == "Port COM3 is in use.";
  EXPECT_TRUE(textShown);
}

}  // namespace
