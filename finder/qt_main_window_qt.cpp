#include "finder/qt_main_window_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include <cmath>

#include "finder/qt_ui_services_qt.h"

namespace finder {

namespace {

// The designed rectangles, in the designed client area.
constexpr QRect kLogRect{8, 8, 303, 345};
constexpr QRect kStartRect{127, 358, 75, 25};
constexpr QRect kLabelRect{0, 400, 321, 13};

QColor ColourOf(uint32_t colour) {  // 0x00BBGGRR
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TMainLayout AnchoredLayout(QSize client) {
  const int dw = client.width() - kClientSize.width();
  const int dh = client.height() - kClientSize.height();
  TMainLayout layout;
  layout.StatusLog = kLogRect.adjusted(0, 0, dw, dh);
  // The button's centre stays at the same fraction of the width.
  const double centre =
      (kStartRect.left() + kStartRect.width() / 2.0) * client.width() / kClientSize.width();
  const int left = static_cast<int>(std::lround(centre - kStartRect.width() / 2.0));
  layout.Start = QRect(left, kStartRect.top() + dh, kStartRect.width(), kStartRect.height());
  layout.Label =
      QRect(kLabelRect.left(), kLabelRect.top() + dh, kLabelRect.width() + dw, kLabelRect.height());
  return layout;
}

TQtMainWindow::TQtMainWindow() {
  setWindowTitle(QString::fromLatin1(kInitialCaption));
  setFont(FormFont());
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  // In the form's creation order.
  Label1_ = new QLabel(QString::fromUtf8(kNoticeText), this);
  Label1_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  reStatusLog_ = new QTextEdit(this);
  reStatusLog_->setReadOnly(true);
  reStatusLog_->setAcceptRichText(false);
  reStatusLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  reStatusLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reStatusLog_->setLineWrapMode(QTextEdit::WidgetWidth);
  // Read-only, yet reachable by Tab and selectable, as a read-only rich
  // edit is.
  reStatusLog_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  reStatusLog_->setFocusPolicy(Qt::StrongFocus);
  reStatusLog_->setTabChangesFocus(true);

  btnStart_ = new QPushButton(QStringLiteral("Start"), this);
  connect(btnStart_, &QPushButton::clicked, this, [this] { btnStartClick(); });
  setTabOrder(reStatusLog_, btnStart_);

  setMinimumSize(kMinimumClientSize);
  resize(kClientSize);
  const TMainLayout layout = AnchoredLayout(kClientSize);
  reStatusLog_->setGeometry(layout.StatusLog);
  btnStart_->setGeometry(layout.Start);
  Label1_->setGeometry(layout.Label);
  if (QScreen* screen = QApplication::primaryScreen()) {
    // The designed outer size centred; the frame is the window manager's.
    const QPoint centre = screen->availableGeometry().center();
    move(centre.x() - kOuterSize.width() / 2, centre.y() - kOuterSize.height() / 2);
  }

  form_ = std::make_unique<TfrmMain>(*this);
}

TQtMainWindow::~TQtMainWindow() {
  // The form's components (and a port still open) go while the widgets
  // they report to still exist.
  form_.reset();
}

void TQtMainWindow::LogCleared() {
  reStatusLog_->clear();
}

void TQtMainWindow::LogAppended(std::string_view text, uint32_t colour) {
  // Always at the end, in the log's colour, wherever the user has put the
  // caret or a selection meanwhile: a cursor of our own, not the widget's.
  QTextCursor cursor(reStatusLog_->document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(ColourOf(colour));
  QString s = FromUtf8(text);
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  cursor.insertText(s, format);
  QScrollBar* bar = reStatusLog_->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TQtMainWindow::SetStartEnabled(bool enabled) {
  btnStart_->setEnabled(enabled);
}

void TQtMainWindow::SetCaption(const std::string& caption) {
  setWindowTitle(FromUtf8(caption));
}

void TQtMainWindow::ShowMessage(const std::string& text) {
  RunMessageBox(this, FromUtf8(text), QString::fromLatin1(kBoxCaption), TBoxKind::Message);
}

void TQtMainWindow::ShowError(const std::string& message) {
  RunMessageBox(this, FromUtf8(message), QString::fromLatin1(kBoxCaption), TBoxKind::Error);
}

void TQtMainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const TMainLayout layout = AnchoredLayout(size());
  reStatusLog_->setGeometry(layout.StatusLog);
  btnStart_->setGeometry(layout.Start);
  Label1_->setGeometry(layout.Label);
}

void TQtMainWindow::closeEvent(QCloseEvent* event) {
  if (form_ && form_->Searching()) {
    // The search is inside one of its waits, below us on the stack: it
    // must run out first. The quit request cuts its remaining waits short.
    if (!closeRequested_) {
      closeRequested_ = true;
      form_->RequestQuit(0);
    }
    event->ignore();
    return;
  }
  event->accept();
}

void TQtMainWindow::btnStartClick() {
  form_->StartClicked();
  if (closeRequested_) close();
}

}  // namespace finder
