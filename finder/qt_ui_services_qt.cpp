#include "finder/qt_ui_services_qt.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include "finder/qt_event_source_qt.h"

namespace finder {

const char* const kBoxCaption = "Kelvane Finder";

namespace {

QRect RectOf(const sio::platform::UiRect& r) {
  return QRect(r.left, r.top, r.width, r.height);
}

// Why the services cannot show anything from here; empty when they can.
std::string WhyNotHere() {
  if (QApplication::instance() == nullptr) return "the program has no Qt application";
  if (QThread::currentThread() != QApplication::instance()->thread())
    return "message boxes and dialogs are shown on the user-interface thread only";
  return std::string();
}

}  // namespace

QFont FormFont() {
  QFont font;
  font.setFamilies({QString::fromLatin1(sio::platform::kSelectPortFontFace),
                    QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
  font.setStyleHint(QFont::SansSerif);
  // A character height of 11 pixels, whatever the screen's density.
  font.setPixelSize(-sio::platform::kSelectPortFontHeight);
  return font;
}

void RunMessageBox(QWidget* parent, const QString& text, const QString& caption, TBoxKind kind) {
  QMessageBox box(kind == TBoxKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, caption,
                  text, QMessageBox::Ok, parent);
  box.setWindowModality(Qt::ApplicationModal);
  TQtEventSource::ModalScope modal(TQtEventSource::Current(),
                                   [&box] { box.done(QMessageBox::Ok); });
  box.exec();
}

TQtSelectPortDialog::TQtSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                                         QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
  using namespace sio::platform;
  setWindowTitle(QString::fromLatin1(kSelectPortCaption));
  setFont(FormFont());
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  setFixedSize(kSelectPortClientWidth, kSelectPortClientHeight);

  bevel1_ = new QFrame(this);
  bevel1_->setFrameStyle(QFrame::Box | QFrame::Sunken);
  bevel1_->setGeometry(RectOf(kSelectPortBevel1));
  label1_ = new QLabel(QString::fromLatin1(kSelectPortLabel1), this);
  label1_->setGeometry(RectOf(kSelectPortLabel1Rect));
  label2_ = new QLabel(QString::fromLatin1(kSelectPortLabel2), this);
  label2_->setGeometry(RectOf(kSelectPortLabel2Rect));

  portsComboBox_ = new QComboBox(this);
  portsComboBox_->setEditable(false);
  portsComboBox_->setMaxVisibleItems(8);
  portsComboBox_->setGeometry(RectOf(kSelectPortComboRect));
  for (const std::string& entry : entries)
    portsComboBox_->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
  const bool listed = itemIndex >= 0 && static_cast<size_t>(itemIndex) < entries.size();
  portsComboBox_->setCurrentIndex(listed ? itemIndex : -1);

  okBtn_ = new QPushButton(QString::fromLatin1(kSelectPortOk), this);
  okBtn_->setGeometry(RectOf(kSelectPortOkRect));
  okBtn_->setDefault(true);
  abortBtn_ = new QPushButton(QString::fromLatin1(kSelectPortCancel), this);
  abortBtn_->setGeometry(RectOf(kSelectPortCancelRect));
  abortBtn_->setAutoDefault(false);
  // OK with nothing listed still closes with OK and no entry: the port's
  // open then refuses, as it does for the Windows dialog.
  connect(okBtn_, &QPushButton::clicked, this, [this] { done(kModalOk); });
  connect(abortBtn_, &QPushButton::clicked, this, [this] { done(kModalAbort); });

  setTabOrder(okBtn_, abortBtn_);
  setTabOrder(abortBtn_, portsComboBox_);
  okBtn_->setFocus();

  if (QScreen* screen = QApplication::primaryScreen()) {
    const QPoint centre = screen->availableGeometry().center();
    move(centre.x() - width() / 2, centre.y() - height() / 2);
  }
}

void TQtSelectPortDialog::reject() {
  done(sio::platform::kModalCancel);
}

int32_t TQtSelectPortDialog::ItemIndex() const {
  return portsComboBox_->currentIndex();
}

sio::platform::PortDialogResult TQtSelectPortDialog::Run() {
  setWindowModality(Qt::ApplicationModal);
  int32_t modalResult = sio::platform::kModalNone;
  {
    TQtEventSource::ModalScope modal(TQtEventSource::Current(),
                                     [this] { done(sio::platform::kModalCancel); });
    modalResult = exec();
  }
  sio::platform::PortDialogResult result;
  result.modalResult = modalResult;
  result.itemIndex = ItemIndex();
  return result;
}

bool TQtUiServices::ShowMessageBox(const std::string& text, const std::string& caption,
                                   std::string& whyNot) {
  whyNot = WhyNotHere();
  if (!whyNot.empty()) return false;
  RunMessageBox(QApplication::activeWindow(), QString::fromUtf8(text.c_str()),
                QString::fromUtf8(caption.c_str()), TBoxKind::Message);
  return true;
}

bool TQtUiServices::ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                                         sio::platform::PortDialogResult& result,
                                         std::string& whyNot) {
  result = sio::platform::PortDialogResult{};
  whyNot = WhyNotHere();
  if (!whyNot.empty()) return false;
  TQtSelectPortDialog dialog(entries, itemIndex);
  result = dialog.Run();
  return true;
}

}  // namespace finder
