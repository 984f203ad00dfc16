// The built-in services of Windows: MessageBoxA, and the "Select Port" dialog
// made in code from USER32 controls (no resource, no toolkit), laid out in
// pixels as its stored form was. The dialog's class uses DefDlgProc, so that
// tabbing, the default button and focus behave as in any Windows dialog, and
// it runs its own modal loop, which dispatches every other message of the
// thread meanwhile.
#include "platform/ui.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

#include "platform/message_loop.h"
#include "platform/os_info.h"

namespace sio::platform {

namespace {

constexpr const char* kSelectPortClass = "TComSelectForm";
constexpr int kComboId = 100;
constexpr int kBevelId = 101;
constexpr int kLabel1Id = 102;
constexpr int kLabel2Id = 103;
// Entries the drop-down list shows before it scrolls.
constexpr int kDropDownCount = 8;
// The bevel's etched frame is two pixels wide; a label stops as far again
// short of it.
constexpr int kBevelInset = 4;

std::string WhyFailed(const char* what) {
  const DWORD error = GetLastError();
  std::string text = what;
  const std::string system = SystemErrorText(error);
  if (!system.empty()) {
    text += ": ";
    // The system's texts end in a line break.
    text += system.substr(0, system.find_last_not_of("\r\n") + 1);
  } else {
    text += " (error " + std::to_string(error) + ")";
  }
  return text;
}

struct DialogState {
  bool done = false;
  int32_t modalResult = kModalNone;
  HFONT font = nullptr;
};

void Finish(DialogState* state, int32_t result) {
  if (state == nullptr || state->done) return;
  state->done = true;
  state->modalResult = result;
}

LRESULT CALLBACK SelectPortProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_COMMAND:
      // The buttons' ids are their modal results; Escape arrives as IDCANCEL.
      if (HIWORD(wParam) == BN_CLICKED || lParam == 0) {
        switch (LOWORD(wParam)) {
          case IDOK:
            Finish(state, kModalOk);
            return 0;
          case IDABORT:
            Finish(state, kModalAbort);
            return 0;
          case IDCANCEL:
            Finish(state, kModalCancel);
            return 0;
          default:
            break;
        }
      }
      break;
    case WM_CLOSE:
      Finish(state, kModalCancel);
      return 0;
    case WM_SETFONT:
      // The form's font, kept as a dialog made from a template keeps its own.
      if (state != nullptr) state->font = reinterpret_cast<HFONT>(wParam);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(state != nullptr ? state->font : nullptr);
    case WM_CTLCOLORSTATIC: {
      // The form's font is black whatever the system's text colour is.
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, RGB(0, 0, 0));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DESTROY:
      // Destroyed from outside: the dialog closes as by its close box.
      Finish(state, kModalCancel);
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefDlgProcA(hwnd, msg, wParam, lParam);
}

bool EnsureSelectPortClass() {
  static std::once_flag once;
  static bool registered = false;
  static DWORD error = 0;
  std::call_once(once, [] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = SelectPortProc;
    wc.cbWndExtra = DLGWINDOWEXTRA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kSelectPortClass;
    registered = RegisterClassExA(&wc) != 0;
    if (!registered) error = GetLastError();
  });
  if (!registered) SetLastError(error);
  return registered;
}

HWND MakeChild(HWND parent, const char* cls, const char* text, DWORD style, const UiRect& r, int id,
               HFONT font) {
  HWND child = CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top, r.width,
                               r.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleA(nullptr), nullptr);
  if (child != nullptr) SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return child;
}

// The label's text stays on one line: wrapped, its last word would drop below
// the label's height out of sight. Its text measures exactly the label's width
// in the form's own font; a wider font (a substitute, other metrics) widens the
// label as far as the bevel around it leaves room.
void FitLabelToText(HWND label, const char* text, const UiRect& r, HFONT font) {
  HDC dc = GetDC(label);
  if (dc == nullptr) return;
  HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  SIZE extent{};
  const BOOL measured = GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(label, dc);
  const int room = kSelectPortBevel1.left + kSelectPortBevel1.width - kBevelInset - r.left;
  if (measured && extent.cx > r.width) {
    SetWindowPos(label, nullptr, 0, 0, std::min<int>(extent.cx, room), r.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

// A closed drop-down list is as high as its selection field makes it; the
// field is sized so that the control has the form's height.
// The correction accumulates rather than starting from the field height read
// back each time: some implementations give back a different figure than
// they take (Wine's is 2 pixels apart), which would leave the field as it was.
void FitComboHeight(HWND combo, int height) {
  LRESULT field = SendMessageA(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  if (field == CB_ERR) return;
  for (int attempt = 0; attempt < 4; ++attempt) {
    RECT r;
    GetWindowRect(combo, &r);
    const int now = r.bottom - r.top;
    if (now == height) return;
    field += height - now;
    if (field <= 0) return;
    SendMessageA(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
}

// Everything the dialog holds, given back however the modal run ends.
class SelectPortWindow {
 public:
  ~SelectPortWindow() {
    if (owner_ != nullptr) EnableWindow(owner_, TRUE);
    if (hwnd_ != nullptr && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    if (owner_ != nullptr && IsWindow(owner_)) SetActiveWindow(owner_);
    if (font_ != nullptr) DeleteObject(font_);
  }

  bool Create(const std::vector<std::string>& entries, int32_t itemIndex, std::string& whyNot) {
    if (!EnsureSelectPortClass()) {
      whyNot = WhyFailed("the port selection dialog's window class could not be registered");
      return false;
    }
    font_ = CreateFontA(kSelectPortFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                        DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_DONTCARE, kSelectPortFontFace);
    // Dialog border, system menu only.
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT frame{0, 0, kSelectPortClientWidth, kSelectPortClientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    HWND active = GetActiveWindow();
    hwnd_ = CreateWindowExA(exStyle, kSelectPortClass, kSelectPortCaption, style, x, y, width,
                            height, active, nullptr, GetModuleHandleA(nullptr), &state_);
    if (hwnd_ == nullptr) {
      whyNot = WhyFailed("the port selection dialog could not be created");
      return false;
    }
    if (font_ != nullptr) SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

    // Creation order is the tab order: OK, Cancel, the list.
    ok_ = MakeChild(hwnd_, "BUTTON", kSelectPortOk, WS_TABSTOP | BS_DEFPUSHBUTTON,
                    kSelectPortOkRect, IDOK, font_);
    HWND cancel = MakeChild(hwnd_, "BUTTON", kSelectPortCancel, WS_TABSTOP | BS_PUSHBUTTON,
                            kSelectPortCancelRect, IDABORT, font_);
    // The height given to a drop-down list is that of its open list.
    UiRect comboRect = kSelectPortComboRect;
    const int closedHeight = comboRect.height;
    comboRect.height = closedHeight + kDropDownCount * 16 + 2;
    combo_ = MakeChild(hwnd_, "COMBOBOX", "", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, comboRect,
                       kComboId, font_);
    HWND bevel = MakeChild(hwnd_, "STATIC", "", SS_ETCHEDFRAME, kSelectPortBevel1, kBevelId, font_);
    HWND label1 = MakeChild(hwnd_, "STATIC", kSelectPortLabel1, SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                            kSelectPortLabel1Rect, kLabel1Id, font_);
    HWND label2 = MakeChild(hwnd_, "STATIC", kSelectPortLabel2, SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                            kSelectPortLabel2Rect, kLabel2Id, font_);
    if (ok_ == nullptr || cancel == nullptr || combo_ == nullptr || bevel == nullptr ||
        label1 == nullptr || label2 == nullptr) {
      whyNot = WhyFailed("the port selection dialog's controls could not be created");
      return false;
    }
    FitComboHeight(combo_, closedHeight);
    FitLabelToText(label1, kSelectPortLabel1, kSelectPortLabel1Rect, font_);
    FitLabelToText(label2, kSelectPortLabel2, kSelectPortLabel2Rect, font_);
    for (const std::string& entry : entries) {
      SendMessageA(combo_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    if (itemIndex >= 0 && static_cast<size_t>(itemIndex) < entries.size()) {
      SendMessageA(combo_, CB_SETCURSEL, static_cast<WPARAM>(itemIndex), 0);
    }
    SendMessageA(hwnd_, DM_SETDEFID, IDOK, 0);
    owner_ = active;
    return true;
  }

  // The modal run: the owner is disabled, every message of the thread keeps
  // being dispatched, and a quit request ends the dialog as its close box
  // does and is passed on to the loop outside.
  PortDialogResult Run() {
    if (owner_ != nullptr) EnableWindow(owner_, FALSE);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
    UpdateWindow(hwnd_);
    SetActiveWindow(hwnd_);
    SetFocus(ok_);
    bool quit = false;
    int quitCode = 0;
    while (!state_.done) {
      MSG m;
      const BOOL got = GetMessageA(&m, nullptr, 0, 0);
      if (got == 0) {
        quit = true;
        quitCode = static_cast<int>(m.wParam);
        Finish(&state_, kModalCancel);
        break;
      }
      if (got < 0) {
        Finish(&state_, kModalCancel);
        break;
      }
      if (IsDialogMessageA(hwnd_, &m)) continue;
      TranslateAndDispatch(Message{m.hwnd, m.message, m.wParam, m.lParam});
    }
    PortDialogResult result;
    result.modalResult = state_.modalResult;
    if (IsWindow(combo_)) {
      const LRESULT selected = SendMessageA(combo_, CB_GETCURSEL, 0, 0);
      result.itemIndex = selected == CB_ERR ? -1 : static_cast<int32_t>(selected);
    }
    if (quit) PostQuitMessage(quitCode);
    return result;
  }

 private:
  DialogState state_;
  HWND hwnd_ = nullptr;
  HWND owner_ = nullptr;
  HWND ok_ = nullptr;
  HWND combo_ = nullptr;
  HFONT font_ = nullptr;
};

class Win32UiServices final : public UiServices {
 public:
  bool ShowMessageBox(const std::string& text, const std::string& caption,
                      std::string& whyNot) override {
    HWND owner = GetActiveWindow();
    const UINT flags = MB_OK | (owner == nullptr ? MB_TASKMODAL : 0u);
    if (MessageBoxA(owner, text.c_str(), caption.c_str(), flags) == 0) {
      whyNot = WhyFailed("the message box could not be shown");
      return false;
    }
    return true;
  }

  bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                            PortDialogResult& result, std::string& whyNot) override {
    result = PortDialogResult{};
    SelectPortWindow window;
    if (!window.Create(entries, itemIndex, whyNot)) return false;
    result = window.Run();
    return true;
  }
};

}  // namespace

UiServices& BuiltInUiServices() {
  static Win32UiServices services;
  return services;
}

}  // namespace sio::platform
