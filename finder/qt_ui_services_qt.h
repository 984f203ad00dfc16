// The user-interface services of the Qt window: message boxes (QMessageBox)
// and the "Select Port" dialog, laid out in pixels as the Windows one is.
// Installed into platform/ui at start-up, so a serial port component in this
// program prompts for its port in a real dialog.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QWidget;

namespace finder {

// The caption of the window's message boxes.
extern const char* const kBoxCaption;

enum class TBoxKind { Message, Error };

// A modal box with one OK button over `parent`. Our queue's messages keep
// running while it is shown.
void RunMessageBox(QWidget* parent, const QString& text, const QString& caption, TBoxKind kind);

// The font of the window and the dialog: "MS Sans Serif" 11 pixels high, or
// the nearest sans-serif face this machine has.
QFont FormFont();

class TQtSelectPortDialog final : public QDialog {
 public:
  TQtSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                      QWidget* parent = nullptr);

  // Shows it modally, our queue running meanwhile.
  sio::platform::PortDialogResult Run();
  // The entry selected now (-1: none).
  int32_t ItemIndex() const;

  QFrame* Bevel1() const { return bevel1_; }
  QLabel* Label1() const { return label1_; }
  QLabel* Label2() const { return label2_; }
  QComboBox* PortsComboBox() const { return portsComboBox_; }
  QPushButton* OkBtn() const { return okBtn_; }
  QPushButton* AbortBtn() const { return abortBtn_; }

  // The close box and Escape give the same result as on Windows.
  void reject() override;

 private:
  QFrame* bevel1_;
  QLabel* label1_;
  QLabel* label2_;
  QComboBox* portsComboBox_;
  QPushButton* okBtn_;
  QPushButton* abortBtn_;
};

class TQtUiServices final : public sio::platform::UiServices {
 public:
  bool ShowMessageBox(const std::string& text, const std::string& caption,
                      std::string& whyNot) override;
  bool ShowSelectPortDialog(const std::vector<std::string>& entries, int32_t itemIndex,
                            sio::platform::PortDialogResult& result, std::string& whyNot) override;
};

}  // namespace finder
