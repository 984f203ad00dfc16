// The dialog driver: FindWindow and window messages only, so it works on the
// null graphics driver as on a desktop.
#include "tests/common/ui_driver.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/message_loop.h"

namespace sio_test {

namespace {

HWND H(TopWindow w) {
  return static_cast<HWND>(w);
}

constexpr uint32_t kProbeMessage = sio::platform::kMsgUser + 7;

std::atomic<int> g_probes{0};

sio::platform::LResult CountProbes(sio::platform::WindowHandle, uint32_t msg, sio::platform::WParam,
                                   sio::platform::LParam) {
  if (msg == kProbeMessage) ++g_probes;
  return 0;
}

std::string TextOf(HWND hwnd) {
  char buffer[512] = {};
  // WM_GETTEXT rather than GetWindowText: the window belongs to another thread.
  SendMessageA(hwnd, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

std::string ClassOf(HWND hwnd) {
  char buffer[256] = {};
  GetClassNameA(hwnd, buffer, sizeof buffer);
  return buffer;
}

void FontOf(HWND hwnd, std::string& face, int& height) {
  auto font = reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0));
  LOGFONTA lf{};
  if (font != nullptr && GetObjectA(font, sizeof lf, &lf) == sizeof lf) {
    face = lf.lfFaceName;
    height = lf.lfHeight;
  }
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  return GetGUIThreadInfo(thread, &info) ? info.hwndFocus : nullptr;
}

struct Search {
  const char* className;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchTopWindow(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd, &process);
  if (process != GetCurrentProcessId() || !IsWindowVisible(hwnd)) return TRUE;
  if (search->className != nullptr && ClassOf(hwnd) != search->className) return TRUE;
  if (search->caption != nullptr && TextOf(hwnd) != search->caption) return TRUE;
  search->found = hwnd;
  return FALSE;
}

}  // namespace

TopWindow WaitForTopWindow(const char* className, const char* caption, uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Search search{className, caption, nullptr};
    EnumWindows(MatchTopWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

DialogView InspectDialog(TopWindow window) {
  HWND dlg = H(window);
  DialogView view;
  view.className = ClassOf(dlg);
  view.caption = TextOf(dlg);
  view.style = static_cast<uint32_t>(GetWindowLongA(dlg, GWL_STYLE));
  RECT client{};
  GetClientRect(dlg, &client);
  view.clientWidth = client.right - client.left;
  view.clientHeight = client.bottom - client.top;
  RECT outer{};
  GetWindowRect(dlg, &outer);
  view.offCentreX = (outer.left + outer.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2;
  view.offCentreY = (outer.top + outer.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2;
  HWND owner = GetWindow(dlg, GW_OWNER);
  view.owner = owner;
  view.ownerEnabled = owner != nullptr && IsWindowEnabled(owner);
  FontOf(dlg, view.fontFace, view.fontHeight);
  HWND list = nullptr;
  for (HWND child = GetWindow(dlg, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    ControlView c;
    c.className = ClassOf(child);
    c.text = TextOf(child);
    c.id = GetDlgCtrlID(child);
    c.style = static_cast<uint32_t>(GetWindowLongA(child, GWL_STYLE));
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    c.rect = sio::platform::UiRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
    FontOf(child, c.fontFace, c.fontHeight);
    HDC dc = GetDC(child);
    HGDIOBJ previous =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(child, WM_GETFONT, 0, 0)));
    SIZE extent{};
    GetTextExtentPoint32A(dc, c.text.c_str(), static_cast<int>(c.text.size()), &extent);
    SelectObject(dc, previous);
    ReleaseDC(child, dc);
    c.textWidth = extent.cx;
    if (lstrcmpiA(c.className.c_str(), "ComboBox") == 0) list = child;
    view.children.push_back(c);
  }
  HWND first = GetNextDlgTabItem(dlg, nullptr, FALSE);
  for (HWND at = first; at != nullptr && view.tabOrder.size() < view.children.size();) {
    view.tabOrder.push_back(GetDlgCtrlID(at));
    at = GetNextDlgTabItem(dlg, at, FALSE);
    if (at == first) break;
  }
  HWND focus = FocusOf(dlg);
  view.focusedId = focus != nullptr ? GetDlgCtrlID(focus) : 0;
  const LRESULT def = SendMessageA(dlg, DM_GETDEFID, 0, 0);
  view.defaultId = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : 0;
  if (list != nullptr) {
    const LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char text[256] = {};
      SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
      view.entries.emplace_back(text);
    }
    const LRESULT selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
    view.selected = selected == CB_ERR ? -1 : static_cast<int>(selected);
  }
  return view;
}

void SelectListEntry(TopWindow window, int index) {
  HWND dlg = H(window);
  HWND list = FindWindowExA(dlg, nullptr, "ComboBox", nullptr);
  if (list == nullptr) return;
  SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  SendMessageA(dlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(list));
}

void ClickButton(TopWindow window, int id) {
  HWND button = GetDlgItem(H(window), id);
  if (button != nullptr) PostMessageA(button, BM_CLICK, 0, 0);
}

void ClickFirstButton(TopWindow window) {
  HWND button = FindWindowExA(H(window), nullptr, "Button", nullptr);
  if (button != nullptr) PostMessageA(button, BM_CLICK, 0, 0);
}

void ChooseCloseBox(TopWindow window) {
  PostMessageA(H(window), WM_SYSCOMMAND, SC_CLOSE, 0);
}

void PressKey(TopWindow window, uint32_t virtualKey) {
  HWND focus = FocusOf(H(window));
  HWND target = focus != nullptr ? focus : H(window);
  PostMessageA(target, WM_KEYDOWN, virtualKey, 1);
  PostMessageA(target, WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001u));
}

DrivenRun DriveModal(const char* className, const char* caption,
                     const std::function<void(TopWindow)>& act,
                     const std::function<void()>& modal) {
  DrivenRun run;
  sio::platform::WindowHandle probe =
      sio::platform::CreateHiddenWindow("SioUiProbe", CountProbes, nullptr);
  EXPECT_NE(probe, nullptr);
  g_probes = 0;
  const DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> modalDone{false};
  std::thread helper([&] {
    TopWindow window = WaitForTopWindow(className, caption, 10000);
    if (window != nullptr) {
      run.found = true;
      run.view = InspectDialog(window);
      sio::platform::PostWindowMessage(probe, kProbeMessage, 0, 0);
      for (int i = 0; i < 500 && g_probes == 0; ++i)
        Sleep(10);
      run.dispatchedMeanwhile = g_probes > 0;
      act(window);
    }
    for (int i = 0; i < 1000 && !modalDone; ++i)
      Sleep(10);
    if (!modalDone) {
      run.forcedToQuit = true;
      PostThreadMessageA(uiThread, WM_QUIT, 0, 0);
    }
  });
  modal();
  modalDone = true;
  helper.join();
  if (run.forcedToQuit) {
    MSG m;
    while (PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
  }
  sio::platform::DestroyHiddenWindow(probe);
  return run;
}

}  // namespace sio_test
