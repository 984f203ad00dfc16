#include "finder/main_window_win32.h"

#include <richedit.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "finder/resource_ids.h"
#include "platform/dll_search_win32.h"
#include "platform/message_loop.h"

namespace finder {

namespace {

constexpr UINT kMsgThreadError = WM_APP + 1;
constexpr const wchar_t* kOldLogProcProperty = L"KelvaneLogProc";
// Far more than a search writes, so that no append is ever cut short (the
// control's own limit is 32767 characters).
constexpr LPARAM kLogTextLimit = 16 * 1024 * 1024;

// The window whose error report the worker threads use.
std::atomic<HWND> g_reportWindow{nullptr};

std::wstring Widen(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string WhyFailed(const char* what) {
  return std::string(what) + " (error " + std::to_string(GetLastError()) + ")";
}

// The newest rich edit the system has, loaded once for the process from the
// system's folder (never a copy beside the program).
const wchar_t* RichEditClass() {
  static const wchar_t* const name = [] {
    if (sio::platform::LoadSystemDll(L"Msftedit.dll") != nullptr) return L"RICHEDIT50W";
    if (sio::platform::LoadSystemDll(L"Riched20.dll") != nullptr) return L"RichEdit20W";
    return static_cast<const wchar_t*>(nullptr);
  }();
  return name;
}

// Tab and Enter belong to the window, not to the log: the log is read-only,
// and Tab moves on to the Start button.
LRESULT CALLBACK StatusLogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto old = reinterpret_cast<WNDPROC>(GetPropW(hwnd, kOldLogProcProperty));
  if (old == nullptr) return DefWindowProcW(hwnd, msg, wParam, lParam);
  if (msg == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old));
    RemovePropW(hwnd, kOldLogProcProperty);
    return CallWindowProcW(old, hwnd, msg, wParam, lParam);
  }
  LRESULT result = CallWindowProcW(old, hwnd, msg, wParam, lParam);
  if (msg == WM_GETDLGCODE) {
    result &= ~static_cast<LRESULT>(DLGC_WANTTAB);
    const auto* key = reinterpret_cast<const MSG*>(lParam);
    if (key != nullptr && key->message == WM_KEYDOWN &&
        (key->wParam == VK_TAB || key->wParam == VK_RETURN || key->wParam == VK_ESCAPE)) {
      result &= ~static_cast<LRESULT>(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
    }
  }
  return result;
}

// The program's own icon at the size the system asks for (shared: it lives
// as long as the process); the system's application icon where the program
// file has none.
HICON ProgramIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
  auto icon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(KELVANE_IDI_FINDER),
                                            IMAGE_ICON, GetSystemMetrics(widthMetric),
                                            GetSystemMetrics(heightMetric), LR_SHARED));
  return icon != nullptr ? icon : LoadIcon(nullptr, IDI_APPLICATION);
}

bool RegisterWindowClass(WNDPROC proc) {
  static const bool registered = [proc] {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    // The title bar and the task bar show the small one, Alt+Tab the large.
    wc.hIcon = ProgramIcon(wc.hInstance, SM_CXICON, SM_CYICON);
    wc.hIconSm = ProgramIcon(wc.hInstance, SM_CXSMICON, SM_CYSMICON);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

constexpr DWORD kWindowStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;

SIZE OuterSize(int clientWidth, int clientHeight) {
  RECT r{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&r, kWindowStyle, FALSE, kWindowExStyle);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

}  // namespace

TMainWindow::TMainWindow() = default;

TMainWindow::~TMainWindow() {
  // The form first: closing its port can still write to the log.
  form_.reset();
  if (hwnd_ != nullptr) {
    HWND window = hwnd_;
    // Destroyed by its owner rather than closed by the user: no quit.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    HWND expected = window;
    g_reportWindow.compare_exchange_strong(expected, nullptr);
    DestroyWindow(window);
  }
  if (font_ != nullptr) DeleteObject(font_);
}

bool TMainWindow::Create(std::string& whyNot) {
  if (!RegisterWindowClass(&TMainWindow::WindowProc)) {
    whyNot = WhyFailed("the main window's class could not be registered");
    return false;
  }
  font_ = CreateFontA(kWindowFontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                      DEFAULT_PITCH | FF_DONTCARE, kWindowFontFace);
  const SIZE outer = OuterSize(kDesignClientWidth, kDesignClientHeight);
  const int x = (GetSystemMetrics(SM_CXSCREEN) - outer.cx) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - outer.cy) / 2;
  // The window procedure takes this object from the creation parameters.
  if (CreateWindowExA(kWindowExStyle, kMainWindowClass, kInitialCaption, kWindowStyle, x, y,
                      outer.cx, outer.cy, nullptr, nullptr, GetModuleHandleA(nullptr),
                      this) == nullptr) {
    hwnd_ = nullptr;
    whyNot = WhyFailed("the main window could not be created");
    return false;
  }
  SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (!CreateControls(whyNot)) return false;
  RECT client;
  GetClientRect(hwnd_, &client);
  ArrangeControls(client.right, client.bottom);
  g_reportWindow.store(hwnd_);
  form_ = std::make_unique<TfrmMain>(*this);
  return true;
}

bool TMainWindow::CreateControls(std::string& whyNot) {
  const wchar_t* richEdit = RichEditClass();
  if (richEdit == nullptr) {
    whyNot = WhyFailed("no rich edit control could be loaded");
    return false;
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  auto id = [](int n) { return reinterpret_cast<HMENU>(static_cast<INT_PTR>(n)); };
  // Creation order is the tab order: the log, then the button.
  log_ = CreateWindowExW(WS_EX_CLIENTEDGE, richEdit, L"",
                         WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE |
                             ES_AUTOVSCROLL | ES_READONLY | ES_DISABLENOSCROLL,
                         kStatusLogRect.left, kStatusLogRect.top, kStatusLogRect.width,
                         kStatusLogRect.height, hwnd_, id(kStatusLogId), instance, nullptr);
  start_ = CreateWindowExA(0, "BUTTON", "Start", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                           kStartButtonRect.left, kStartButtonRect.top, kStartButtonRect.width,
                           kStartButtonRect.height, hwnd_, id(kStartButtonId), instance, nullptr);
  label_ =
      CreateWindowExA(0, "STATIC", kNoticeText, WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX,
                      kLabel1Rect.left, kLabel1Rect.top, kLabel1Rect.width, kLabel1Rect.height,
                      hwnd_, id(kLabel1Id), instance, nullptr);
  if (log_ == nullptr || start_ == nullptr || label_ == nullptr) {
    whyNot = WhyFailed("the main window's controls could not be created");
    return false;
  }
  for (HWND control : {log_, start_, label_}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  }
  SendMessageW(log_, EM_EXLIMITTEXT, 0, kLogTextLimit);
  SetPropW(log_, kOldLogProcProperty,
           reinterpret_cast<HANDLE>(GetWindowLongPtrW(log_, GWLP_WNDPROC)));
  SetWindowLongPtrW(log_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&StatusLogProc));

  // The smallest client area that keeps the notice whole, the button clear
  // of the window's left edge and a few lines of the log in view.
  HDC dc = GetDC(hwnd_);
  HGDIOBJ previous = SelectObject(dc, font_);
  SIZE notice{};
  GetTextExtentPoint32A(dc, kNoticeText,
                        static_cast<int>(std::char_traits<char>::length(kNoticeText)), &notice);
  TEXTMETRICA metrics{};
  GetTextMetricsA(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(hwnd_, dc);
  const int labelSlack = kLabel1Rect.width - kDesignClientWidth;
  const int logMarginsX = kDesignClientWidth - kStatusLogRect.width;
  const int logMarginsY = kDesignClientHeight - kStatusLogRect.height;
  minClient_.cx = std::max<int>(notice.cx - labelSlack, logMarginsX + 2 * kStartButtonRect.width);
  minClient_.cy = logMarginsY + 3 * std::max<int>(metrics.tmHeight, 13) + 8;
  return true;
}

void TMainWindow::ArrangeControls(int clientWidth, int clientHeight) {
  if (log_ == nullptr) return;
  // The log is anchored on all four sides: it keeps its margins.
  const int logRight = kDesignClientWidth - (kStatusLogRect.left + kStatusLogRect.width);
  const int logBottom = kDesignClientHeight - (kStatusLogRect.top + kStatusLogRect.height);
  MoveWindow(log_, kStatusLogRect.left, kStatusLogRect.top,
             std::max(0, clientWidth - kStatusLogRect.left - logRight),
             std::max(0, clientHeight - kStatusLogRect.top - logBottom), TRUE);
  // The button is anchored to the bottom only: it keeps its distance from
  // the bottom, and its centre stays at the same fraction of the width.
  const int buttonBottom = kDesignClientHeight - (kStartButtonRect.top + kStartButtonRect.height);
  const int centre = kStartButtonRect.left + kStartButtonRect.width / 2;
  MoveWindow(start_, MulDiv(centre, clientWidth, kDesignClientWidth) - kStartButtonRect.width / 2,
             clientHeight - buttonBottom - kStartButtonRect.height, kStartButtonRect.width,
             kStartButtonRect.height, TRUE);
  // The label is anchored left, right and bottom: full width along the
  // bottom edge.
  const int labelRight = kDesignClientWidth - (kLabel1Rect.left + kLabel1Rect.width);
  const int labelBottom = kDesignClientHeight - (kLabel1Rect.top + kLabel1Rect.height);
  MoveWindow(label_, kLabel1Rect.left, clientHeight - labelBottom - kLabel1Rect.height,
             std::max(0, clientWidth - kLabel1Rect.left - labelRight), kLabel1Rect.height, TRUE);
}

void TMainWindow::Show(int cmdShow) {
  ShowWindow(hwnd_, cmdShow);
  UpdateWindow(hwnd_);
  SetFocus(log_);
}

void TMainWindow::LogCleared() {
  if (log_ != nullptr) SetWindowTextW(log_, L"");
}

void TMainWindow::LogAppended(std::string_view text, uint32_t colour) {
  if (log_ == nullptr) return;
  // The waits and the boxes let the user click and select in the log: the
  // text still goes to the very end, in its own colour.
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
  const auto end = static_cast<LONG>(
      SendMessageW(log_, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
  CHARRANGE at{end, end};
  SendMessageW(log_, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&at));
  CHARFORMAT2W format{};
  format.cbSize = sizeof(format);
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;  // the colour given, not the system's text colour
  format.crTextColor = static_cast<COLORREF>(colour);
  SendMessageW(log_, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  const std::wstring wide = Widen(text);
  SendMessageW(log_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
  SendMessageW(log_, EM_SCROLLCARET, 0, 0);
}

void TMainWindow::SetStartEnabled(bool enabled) {
  if (start_ == nullptr) return;
  // A disabled control cannot keep the focus; it goes back to the log.
  if (!enabled && GetFocus() == start_) SetFocus(log_);
  EnableWindow(start_, enabled ? TRUE : FALSE);
}

void TMainWindow::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (hwnd_ != nullptr) SetWindowTextA(hwnd_, caption_.c_str());
}

void TMainWindow::ShowMessage(const std::string& text) {
  HWND owner = hwnd_ != nullptr && IsWindow(hwnd_) ? hwnd_ : nullptr;
  MessageBoxA(owner, text.c_str(), kBoxCaption, MB_OK | (owner == nullptr ? MB_TASKMODAL : 0u));
}

void TMainWindow::ShowError(const std::string& message) {
  HWND owner = hwnd_ != nullptr && IsWindow(hwnd_) ? hwnd_ : nullptr;
  MessageBoxA(owner, message.c_str(), kBoxCaption,
              MB_OK | MB_ICONERROR | (owner == nullptr ? MB_TASKMODAL : 0u));
}

void TMainWindow::ReportThreadException(std::exception_ptr error) {
  std::string text = ErrorText(error);
  // Worker threads do not own the window: the box is shown by the
  // user-interface thread, modal to the window.
  auto* owned = new std::string(std::move(text));
  HWND window = g_reportWindow.load();
  if (window == nullptr ||
      !PostMessageA(window, kMsgThreadError, 0, reinterpret_cast<LPARAM>(owned))) {
    std::fprintf(stderr, "%s\n", owned->c_str());
    delete owned;
  }
}

void TMainWindow::StartClicked() {
  // Closing the form's port as it goes still dispatches messages.
  if (form_ == nullptr) return;
  form_->StartClicked();
  if (closePending_ && hwnd_ != nullptr) DestroyWindow(hwnd_);
}

void TMainWindow::CloseRequested() {
  if (form_ != nullptr && form_->Searching()) {
    // Closing now would pull the window from under the running search: the
    // quit request cuts its waits short, and the window goes once it has
    // run out.
    closePending_ = true;
    form_->RequestQuit(0);
    return;
  }
  DestroyWindow(hwnd_);
}

LRESULT CALLBACK TMainWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    auto* creator = static_cast<TMainWindow*>(create->lpCreateParams);
    creator->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creator));
  }
  auto* self = reinterpret_cast<TMainWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);
  // Nothing may unwind through the system's frames: whatever escapes a
  // handler goes to the error report.
  try {
    return self->OnMessage(msg, wParam, lParam);
  } catch (const std::exception& e) {
    self->ShowError(e.what());
  } catch (...) {
    self->ShowError("Unknown error");
  }
  return 0;
}

LRESULT TMainWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(wParam) == kStartButtonId && HIWORD(wParam) == BN_CLICKED) {
        StartClicked();
        return 0;
      }
      break;
    case WM_GETFONT:
      // The form's font, which its controls were given.
      return reinterpret_cast<LRESULT>(font_);
    case WM_SIZE:
      ArrangeControls(LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      const SIZE outer = OuterSize(minClient_.cx, minClient_.cy);
      info->ptMinTrackSize.x = outer.cx;
      info->ptMinTrackSize.y = outer.cy;
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_ACTIVATE:
      // The control that had the focus gets it back when the window is
      // activated again.
      if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus != nullptr && IsChild(hwnd_, focus)) lastFocus_ = focus;
      }
      break;
    case WM_SETFOCUS:
      if (log_ != nullptr)
        SetFocus(lastFocus_ != nullptr && IsWindowEnabled(lastFocus_) ? lastFocus_ : log_);
      return 0;
    case WM_CLOSE:
      CloseRequested();
      return 0;
    case kMsgThreadError: {
      std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lParam));
      ShowError(*text);
      return 0;
    }
    case WM_DESTROY: {
      HWND expected = hwnd_;
      g_reportWindow.compare_exchange_strong(expected, nullptr);
      // Reports still queued would be dropped with the window, their texts lost.
      MSG m;
      while (PeekMessageA(&m, hwnd_, kMsgThreadError, kMsgThreadError, PM_REMOVE)) {
        delete reinterpret_cast<std::string*>(m.lParam);
      }
      PostQuitMessage(0);
      return 0;
    }
    case WM_NCDESTROY: {
      HWND window = hwnd_;
      SetWindowLongPtrA(window, GWLP_USERDATA, 0);
      hwnd_ = log_ = start_ = label_ = lastFocus_ = nullptr;
      return DefWindowProcA(window, msg, wParam, lParam);
    }
    default:
      break;
  }
  return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

int RunWindowLoop(HWND window) {
  MSG m;
  for (;;) {
    const BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got == 0) return static_cast<int>(m.wParam);
    if (got < 0) return -1;
    if (window != nullptr && IsWindow(window) && IsDialogMessageA(window, &m)) continue;
    try {
      sio::platform::TranslateAndDispatch(
          sio::platform::Message{m.hwnd, m.message, m.wParam, m.lParam});
    } catch (const std::exception& e) {
      // The application's default error report; the program keeps running.
      MessageBoxA(IsWindow(window) ? window : nullptr, e.what(), kBoxCaption, MB_OK | MB_ICONERROR);
    }
  }
}

}  // namespace finder
