// The finder's Win32 window made in-process and driven by window messages:
// its layout and anchors, a whole search over simulated devices (a Kelvane
// scan tool and an ELM327 interpreter, mapped as COM ports by
// run-window-wine.sh), the rich edit's text and colours, closing during a
// search and the error report of a worker thread.
#include <windows.h>

#include <richedit.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "finder/main_window_win32.h"
#include "platform/message_loop.h"
#include "tests/common/ui_driver.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::string TextOf(HWND hwnd) {
  char buffer[512] = {};
  GetWindowTextA(hwnd, buffer, sizeof buffer);
  return buffer;
}

// A child's rectangle in its parent's client coordinates.
finder::TControlRect RectOf(HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

std::string Show(const finder::TControlRect& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.width) +
         "x" + std::to_string(r.height);
}

SIZE ClientSize(HWND hwnd) {
  RECT r;
  GetClientRect(hwnd, &r);
  return {r.right, r.bottom};
}

// The rich edit's whole text as it stores it (a paragraph ends in "\r").
std::string RichText(HWND log) {
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, 1200};
  const auto n = SendMessageW(log, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0);
  std::wstring wide(static_cast<size_t>(n) + 1, L'\0');
  GETTEXTEX get{};
  get.cb = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
  get.flags = GT_DEFAULT;
  get.codepage = 1200;
  const auto got = SendMessageW(log, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&get),
                                reinterpret_cast<LPARAM>(wide.data()));
  std::string text;
  for (LRESULT i = 0; i < got; ++i)
    text += static_cast<char>(wide[static_cast<size_t>(i)]);
  return text;
}

// The colour the rich edit gives the whole of [start, end); -1 when the
// range is not all one colour or has the system's automatic colour.
long ColourOf(HWND log, size_t start, size_t end) {
  CHARRANGE range{static_cast<LONG>(start), static_cast<LONG>(end)};
  SendMessageW(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
  CHARFORMAT2W format{};
  format.cbSize = sizeof format;
  SendMessageW(log, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  if ((format.dwMask & CFM_COLOR) == 0 || (format.dwEffects & CFE_AUTOCOLOR) != 0) return -1;
  return static_cast<long>(format.crTextColor);
}

// Dispatches the thread's messages, dialog keys included, until done() or
// the time is up. True when done() came true.
bool PumpUntil(HWND window, const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
      if (m.message == WM_QUIT) {
        // Not ours to swallow: put it back for the caller and stop.
        PostQuitMessage(static_cast<int>(m.wParam));
        return done();
      }
      if (IsWindow(window) && IsDialogMessageA(window, &m)) continue;
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
  return true;
}

// Takes a quit request left in the queue; true when there was one.
bool TakeQuit() {
  MSG m;
  return PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// A helper thread, the user: it answers every message box of the process
// with OK, keeps their texts, and calls `tick` on every round (about every
// 20 ms) to look at or act on the window from outside.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::function<void()> tick = nullptr) : tick_(std::move(tick)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~BoxAnswerer() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> Texts() {
    Stop();
    return texts_;
  }

 private:
  void Run() {
    while (!stop_) {
      if (tick_) tick_();
      if (auto box = sio_test::WaitForTopWindow("#32770", nullptr, 20)) {
        const sio_test::DialogView view = sio_test::InspectDialog(box);
        std::string text;
        for (const auto& child : view.children) {
          if (child.className == "Static" && !child.text.empty()) text = child.text;
        }
        texts_.push_back(view.caption + ": " + text);
        sio_test::ClickFirstButton(box);
        // Until it has gone, so it is not counted twice.
        for (int i = 0; i < 200 && IsWindow(static_cast<HWND>(box)); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  std::function<void()> tick_;
  std::atomic<bool> stop_{false};
  std::vector<std::string> texts_;
  std::thread thread_;
};

class FinderWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    sio::platform::InitUserInterfaceThread();
    std::string whyNot;
    ASSERT_TRUE(window_.Create(whyNot)) << whyNot;
    window_.Show(SW_SHOWNORMAL);
    hwnd_ = window_.Handle();
  }
  void TearDown() override { TakeQuit(); }

  finder::TMainWindow window_;
  HWND hwnd_ = nullptr;
};

TEST_F(FinderWindow, HasTheDesignedLayoutFontsAndTabOrderAndKeepsItsAnchorsWhenResized) {
  EXPECT_EQ(TextOf(hwnd_), "Kelvane Finder 1.2.0.0");
  // The program itself carries the version the caption is made from.
  if (!Env("SIO_FINDER_EXE").empty()) {
    EXPECT_EQ(finder::ReadFileVersion(Env("SIO_FINDER_EXE")), "1.2.0.0");
  }

  const SIZE client = ClientSize(hwnd_);
  EXPECT_EQ(client.cx, 319);
  EXPECT_EQ(client.cy, 421);
  RECT outer;
  GetWindowRect(hwnd_, &outer);
  RECT expected{0, 0, 319, 421};
  AdjustWindowRectEx(&expected, static_cast<DWORD>(GetWindowLongPtrA(hwnd_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(hwnd_, GWL_EXSTYLE)));
  EXPECT_EQ(outer.right - outer.left, expected.right - expected.left);
  EXPECT_EQ(outer.bottom - outer.top, expected.bottom - expected.top);
  std::printf("outer size %ldx%ld for the client area 319x421; smallest client area %ldx%ld\n",
              outer.right - outer.left, outer.bottom - outer.top, window_.MinimumClientSize().cx,
              window_.MinimumClientSize().cy);
  const int offX = (outer.left + outer.right) / 2 - GetSystemMetrics(SM_CXSCREEN) / 2;
  const int offY = (outer.top + outer.bottom) / 2 - GetSystemMetrics(SM_CYSCREEN) / 2;
  EXPECT_LE(std::abs(offX), 1);
  EXPECT_LE(std::abs(offY), 1);
  EXPECT_EQ(GetClassLongPtrA(hwnd_, GCLP_HBRBACKGROUND), static_cast<ULONG_PTR>(COLOR_BTNFACE + 1));

  HWND log = window_.StatusLogHandle();
  HWND start = window_.StartButtonHandle();
  HWND label = window_.Label1Handle();
  char cls[64] = {};
  GetClassNameA(log, cls, sizeof cls);
  EXPECT_TRUE(_stricmp(cls, "RICHEDIT50W") == 0 || _stricmp(cls, "RichEdit20W") == 0) << cls;
  // Read-only to the user; a vertical scroll bar, always there, and none
  // sideways.
  const auto logStyle = static_cast<DWORD>(GetWindowLongPtrA(log, GWL_STYLE));
  EXPECT_TRUE(logStyle & ES_READONLY);
  EXPECT_TRUE(logStyle & WS_VSCROLL);
  EXPECT_FALSE(logStyle & WS_HSCROLL);
  EXPECT_EQ(TextOf(start), "Start");
  EXPECT_EQ(TextOf(label), finder::kNoticeText);
  EXPECT_TRUE(GetWindowLongPtrA(label, GWL_STYLE) & SS_CENTER);
  for (HWND w : {hwnd_, start, label}) {
    auto font = reinterpret_cast<HFONT>(SendMessageA(w, WM_GETFONT, 0, 0));
    LOGFONTA lf{};
    ASSERT_EQ(GetObjectA(font, sizeof lf, &lf), static_cast<int>(sizeof lf));
    EXPECT_STREQ(lf.lfFaceName, "MS Sans Serif");
    EXPECT_EQ(lf.lfHeight, -11);
  }
  // The notice fits its label.
  {
    HDC dc = GetDC(label);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)));
    SIZE text{};
    GetTextExtentPoint32A(dc, finder::kNoticeText,
                          static_cast<int>(std::strlen(finder::kNoticeText)), &text);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    EXPECT_LE(text.cx, 321) << "the notice is wider than its label";
  }

  // Tab order: the log, then the button, then round again; Tab goes through
  // the dialog keys of the loop.
  EXPECT_EQ(GetNextDlgTabItem(hwnd_, nullptr, FALSE), log);
  EXPECT_EQ(GetNextDlgTabItem(hwnd_, log, FALSE), start);
  EXPECT_EQ(GetNextDlgTabItem(hwnd_, start, FALSE), log);
  SetFocus(log);
  MSG tab{log, WM_KEYDOWN, VK_TAB, 0, 0, {}};
  EXPECT_TRUE(IsDialogMessageA(hwnd_, &tab));
  EXPECT_EQ(GetFocus(), start);

  struct Case {
    int clientWidth, clientHeight;
  };
  // The designed size first, then wider and taller, then narrower.
  for (const Case c : {Case{319, 421}, Case{640, 600}, Case{400, 300}}) {
    RECT r{0, 0, c.clientWidth, c.clientHeight};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrA(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrA(hwnd_, GWL_EXSTYLE)));
    SetWindowPos(hwnd_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const SIZE now = ClientSize(hwnd_);
    ASSERT_EQ(now.cx, c.clientWidth);
    ASSERT_EQ(now.cy, c.clientHeight);
    const int w = c.clientWidth, h = c.clientHeight;
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    // Log: 8 from the left, top and right, 68 from the bottom.
    EXPECT_EQ(Show(RectOf(log)), Show({8, 8, w - 16, h - 76}));
    // Button: 38 above the bottom, its centre (164 of 319) in proportion.
    EXPECT_EQ(Show(RectOf(start)), Show({MulDiv(164, w, 319) - 37, h - 63, 75, 25}));
    // Label: full width (and 2 beyond) along the bottom.
    EXPECT_EQ(Show(RectOf(label)), Show({0, h - 21, w + 2, 13}));
  }

  // Smaller than the minimum is refused: everything stays in view.
  SetWindowPos(hwnd_, nullptr, 0, 0, 60, 60, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  const SIZE least = ClientSize(hwnd_);
  EXPECT_EQ(least.cx, window_.MinimumClientSize().cx);
  EXPECT_EQ(least.cy, window_.MinimumClientSize().cy);
  const finder::TControlRect logAtLeast = RectOf(log), startAtLeast = RectOf(start),
                             labelAtLeast = RectOf(label);
  EXPECT_GE(logAtLeast.height, 3 * 13);
  EXPECT_GE(startAtLeast.left, 0);
  EXPECT_LE(startAtLeast.left + startAtLeast.width, least.cx);
  EXPECT_LE(logAtLeast.top + logAtLeast.height, startAtLeast.top);
  EXPECT_LE(startAtLeast.top + startAtLeast.height, labelAtLeast.top);
  EXPECT_LE(labelAtLeast.top + labelAtLeast.height, least.cy);
}

// The width of an icon's image in pixels; 0 when it has none.
int IconWidth(HICON icon) {
  ICONINFO info{};
  if (icon == nullptr || !GetIconInfo(icon, &info)) return 0;
  BITMAP image{};
  const int got =
      GetObjectA(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof image, &image);
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return got == static_cast<int>(sizeof image) ? image.bmWidth : 0;
}

TEST_F(FinderWindow, ShowsTheProgramsOwnIconAtBothSizes) {
  // The program file carries it as its first icon group.
  ASSERT_NE(FindResourceA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1), RT_GROUP_ICON), nullptr);
  const auto large = reinterpret_cast<HICON>(GetClassLongPtrA(hwnd_, GCLP_HICON));
  const auto small = reinterpret_cast<HICON>(GetClassLongPtrA(hwnd_, GCLP_HICONSM));
  const HICON system = LoadIcon(nullptr, IDI_APPLICATION);
  EXPECT_NE(large, system);
  EXPECT_NE(small, system);
  EXPECT_EQ(IconWidth(large), GetSystemMetrics(SM_CXICON));
  EXPECT_EQ(IconWidth(small), GetSystemMetrics(SM_CXSMICON));
}

TEST_F(FinderWindow, StartRunsTheSearchIntoTheRichEditWithTheRedRunWhereverTheUserClicks) {
  const std::string scanTool = Env("SIO_WINDOW_SCAN_TOOL_COM");
  const std::string interpreter = Env("SIO_WINDOW_INTERPRETER_COM");
  if (scanTool.empty() || interpreter.empty())
    GTEST_SKIP() << "run by run-window-wine.sh, which maps the simulated devices";
  HWND log = window_.StatusLogHandle();
  HWND start = window_.StartButtonHandle();

  // While the search waits, the user clicks and selects in the log, and a
  // timer of the window keeps firing.
  static std::atomic<int> timerTicks{0};
  timerTicks = 0;
  SetTimer(hwnd_, 7, 50, [](HWND, UINT, UINT_PTR, DWORD) { ++timerTicks; });
  std::atomic<bool> sawDisabled{false};
  std::atomic<int> selections{0};
  BoxAnswerer boxes([&] {
    if (!IsWindowEnabled(start)) {
      sawDisabled = true;
      if (selections < 20) {
        // From this thread the selection runs inside the search's waits.
        DWORD_PTR ignored;
        SendMessageTimeoutA(log, EM_SETSEL, 2, 9, SMTO_NORMAL, 1000, &ignored);
        ++selections;
      }
    }
  });
  ASSERT_TRUE(PostMessageA(start, BM_CLICK, 0, 0));
  // The click's dispatch runs the whole search; it has ended once the log
  // says so and the form no longer searches.
  const std::string end = "End of search.\r";
  ASSERT_TRUE(PumpUntil(
      hwnd_,
      [&] {
        const std::string& t = window_.Form().StatusLog().Text();
        return !window_.Form().Searching() && t.size() >= end.size() &&
               t.compare(t.size() - end.size(), end.size(), end) == 0;
      },
      240000))
      << "the search did not end; the log so far:\n"
      << window_.Form().StatusLog().Text();
  KillTimer(hwnd_, 7);
  const std::vector<std::string> texts = boxes.Texts();

  EXPECT_TRUE(sawDisabled) << "Start stayed enabled during the search";
  EXPECT_GT(selections.load(), 0);
  EXPECT_TRUE(IsWindowEnabled(start));
  EXPECT_GT(timerTicks.load(), 10) << "the window's messages were not dispatched meanwhile";

  const std::string text = RichText(log);
  // The control shows the form's log exactly.
  EXPECT_EQ(text, window_.Form().StatusLog().Text());
  // The whole log, over the ports the search listed (Wine lists the host's
  // own serial ports too): the scan tool found at 38400 baud only.
  std::string expected = "= Retrieving list of available COM ports: =\r";
  std::vector<std::string> ports;
  for (size_t at = expected.size(); text.compare(at, 6, "   COM") == 0;) {
    const size_t eol = text.find('\r', at);
    ASSERT_NE(eol, std::string::npos) << text;
    ports.push_back(text.substr(at + 6, eol - at - 6));
    expected += text.substr(at, eol + 1 - at);
    at = eol + 1;
  }
  EXPECT_NE(std::find(ports.begin(), ports.end(), scanTool), ports.end()) << text;
  EXPECT_NE(std::find(ports.begin(), ports.end(), interpreter), ports.end()) << text;
  size_t red = 0;
  for (const int baud : {115200, 38400, 9600}) {
    expected += "\r\r= Attempting to connect at " + std::to_string(baud) + " baud =\r";
    for (const std::string& port : ports) {
      expected += "  Looking on COM" + port + "...";
      if (port == scanTool && baud == 38400) red = expected.size();
      expected += red == expected.size() ? "found scan tool! \r" : "nothing\r";
    }
  }
  expected += "\r\rEnd of search.\r";
  EXPECT_EQ(text, expected);

  // The red run is colour 255 and only "found scan tool!"; black around it.
  ASSERT_GT(red, 0u);
  const size_t redEnd = red + std::string("found scan tool!").size();
  EXPECT_EQ(ColourOf(log, red, redEnd), 255);
  EXPECT_EQ(ColourOf(log, 0, red), 0);
  EXPECT_EQ(ColourOf(log, redEnd, text.size()), 0);

  // Any box the search showed came from a port with no device behind it
  // (Wine lists the host's own serial ports too), never from ours.
  for (const std::string& t : texts) {
    EXPECT_EQ(t.rfind("Kelvane Finder: ", 0), 0u) << t;
    EXPECT_EQ(t.find("COM" + scanTool), std::string::npos) << t;
  }
}

TEST_F(FinderWindow, ClosingDuringASearchLetsItRunOutThenEndsTheLoop) {
  if (Env("SIO_WINDOW_SCAN_TOOL_COM").empty())
    GTEST_SKIP() << "run by run-window-wine.sh, which maps the simulated devices";
  HWND start = window_.StartButtonHandle();
  std::atomic<bool> closed{false};
  BoxAnswerer boxes([&] {
    if (!closed && !IsWindowEnabled(start)) {
      // The first probe is under way: the user closes the window.
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      PostMessageA(hwnd_, WM_CLOSE, 0, 0);
      closed = true;
    }
  });
  // Should the window never go, the loop is ended from outside, so the test
  // fails instead of hanging.
  const DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> ended{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1200 && !ended; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!ended) PostThreadMessageA(uiThread, WM_QUIT, 99, 0);
  });
  ASSERT_TRUE(PostMessageA(start, BM_CLICK, 0, 0));
  const auto begun = Clock::now();
  const int status = finder::RunWindowLoop(hwnd_);
  ended = true;
  watchdog.join();
  boxes.Stop();
  const double seconds = std::chrono::duration<double>(Clock::now() - begun).count();

  EXPECT_TRUE(closed);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(IsWindow(hwnd_));
  EXPECT_EQ(window_.Handle(), nullptr);
  EXPECT_FALSE(window_.Form().Searching());
  EXPECT_FALSE(window_.Form().SioComPort()->GetOpen());
  // The search ran out at once rather than through its remaining waits.
  const std::string& log = window_.Form().StatusLog().Text();
  EXPECT_GE(log.size(), 17u);
  EXPECT_EQ(log.substr(log.size() - 17), "\r\rEnd of search.\r");
  EXPECT_LT(seconds, 60.0);
}

TEST_F(FinderWindow, AWorkerThreadsFailureIsReportedInABoxOfTheWindow) {
  std::thread worker([] {
    finder::TMainWindow::ReportThreadException(
        std::make_exception_ptr(std::runtime_error("The adapter went away")));
  });
  worker.join();
  sio_test::DialogView seen;
  std::atomic<bool> answered{false};
  std::thread user([&] {
    if (auto box = sio_test::WaitForTopWindow("#32770", nullptr, 10000)) {
      seen = sio_test::InspectDialog(box);
      sio_test::ClickFirstButton(box);
    }
    answered = true;
  });
  ASSERT_TRUE(PumpUntil(
      hwnd_, [&] { return answered.load(); }, 20000));
  user.join();
  EXPECT_EQ(seen.caption, finder::kBoxCaption);
  EXPECT_EQ(seen.owner, static_cast<void*>(hwnd_));
  bool hasText = false;
  for (const auto& child : seen.children)
    hasText = hasText || child.text == "The adapter went away";
  EXPECT_TRUE(hasText);
}

}  // namespace
