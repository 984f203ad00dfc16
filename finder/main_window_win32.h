// The finder's window on Windows: plain USER32 and a rich edit control, no
// toolkit. It is the Win32 view of TfrmMain: the form decides, the window
// shows the log, enables the Start button and shows the boxes.
#pragma once

#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "finder/main_form.h"
#include "finder/view.h"

namespace finder {

// A control's place in its parent's client area, in pixels.
struct TControlRect {
  int left;
  int top;
  int width;
  int height;
};

// The layout as designed, for a client area of 319 x 421; WM_SIZE moves the
// controls from here by their anchors.
inline constexpr int kDesignClientWidth = 319;
inline constexpr int kDesignClientHeight = 421;
inline constexpr TControlRect kStatusLogRect{8, 8, 303, 345};
inline constexpr TControlRect kStartButtonRect{127, 358, 75, 25};
inline constexpr TControlRect kLabel1Rect{0, 400, 321, 13};
inline constexpr const char* kWindowFontFace = "MS Sans Serif";
inline constexpr int kWindowFontHeight = -11;
// The caption of the message boxes and of the error report.
inline constexpr const char* kBoxCaption = "Kelvane Finder";
inline constexpr const char* kMainWindowClass = "TfrmMain";

inline constexpr int kStatusLogId = 100;
inline constexpr int kStartButtonId = 101;
inline constexpr int kLabel1Id = 102;

class TMainWindow final : public TFinderView {
 public:
  TMainWindow();
  ~TMainWindow() override;
  TMainWindow(const TMainWindow&) = delete;
  TMainWindow& operator=(const TMainWindow&) = delete;

  // Makes the window (hidden), its controls and the form, whose FormCreate
  // sets the caption. False, with the reason, when the system refuses.
  bool Create(std::string& whyNot);
  void Show(int cmdShow);

  HWND Handle() const { return hwnd_; }
  HWND StatusLogHandle() const { return log_; }
  HWND StartButtonHandle() const { return start_; }
  HWND Label1Handle() const { return label_; }
  TfrmMain& Form() { return *form_; }
  // The smallest client area that still shows every control whole.
  SIZE MinimumClientSize() const { return minClient_; }

  // TFinderView
  void LogCleared() override;
  void LogAppended(std::string_view text, uint32_t colour) override;
  void SetStartEnabled(bool enabled) override;
  void SetCaption(const std::string& caption) override;
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& message) override;

  // The reporter for exceptions that end a port's worker thread: the text is
  // handed to the live window, which shows it as its error report.
  static void ReportThreadException(std::exception_ptr error);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  bool CreateControls(std::string& whyNot);
  void ArrangeControls(int clientWidth, int clientHeight);
  void StartClicked();
  void CloseRequested();

  HWND hwnd_ = nullptr;
  HWND log_ = nullptr;
  HWND start_ = nullptr;
  HWND label_ = nullptr;
  HWND lastFocus_ = nullptr;
  HFONT font_ = nullptr;
  SIZE minClient_{kDesignClientWidth, kDesignClientHeight};
  std::string caption_;
  // Made after the window, so that its log and caption reach the controls.
  std::unique_ptr<TfrmMain> form_;
  // The user closed the window during a search: it goes once the search has
  // run out.
  bool closePending_ = false;
};

// The application's loop: dispatches the thread's messages, with the dialog
// keys (Tab, Space, Enter) for the window, until the quit request. Returns
// its exit code.
int RunWindowLoop(HWND window);

}  // namespace finder
