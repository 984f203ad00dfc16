// The finder's window on Linux: the form's status log, Start button and
// bottom notice as Qt widgets, laid out and anchored in pixels as the
// Windows window is. The form and its search are the shared TfrmMain; this
// class is only its view.
#pragma once

#include <QRect>
#include <QSize>
#include <QWidget>

#include <memory>

#include "finder/main_form.h"
#include "finder/view.h"

class QLabel;
class QPushButton;
class QTextEdit;

namespace finder {

// The designed client area and the smallest one the window can be shrunk to
// with every control still whole and apart.
inline constexpr QSize kClientSize{319, 421};
inline constexpr QSize kOuterSize{327, 451};
inline constexpr QSize kMinimumClientSize{200, 150};

// Where the controls go in a client area of `client`, keeping their anchors:
// the log grows both ways, the button keeps its distance from the bottom and
// its centre at the same fraction of the width, the label stays along the
// bottom across the full width.
struct TMainLayout {
  QRect StatusLog;
  QRect Start;
  QRect Label;
};
TMainLayout AnchoredLayout(QSize client);

class TQtMainWindow final : public QWidget, public TFinderView {
 public:
  TQtMainWindow();
  ~TQtMainWindow() override;

  TfrmMain& Form() { return *form_; }
  QTextEdit* StatusLogEdit() const { return reStatusLog_; }
  QPushButton* StartButton() const { return btnStart_; }
  QLabel* NoticeLabel() const { return Label1_; }
  // A close came during a search; the window closes once it has ended.
  bool CloseRequested() const { return closeRequested_; }

  // TFinderView
  void LogCleared() override;
  void LogAppended(std::string_view text, uint32_t colour) override;
  void SetStartEnabled(bool enabled) override;
  void SetCaption(const std::string& caption) override;
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& message) override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void btnStartClick();

  QTextEdit* reStatusLog_;
  QPushButton* btnStart_;
  QLabel* Label1_;
  bool closeRequested_ = false;
  std::unique_ptr<TfrmMain> form_;
};

}  // namespace finder
