// The Qt "Select Port" dialog: its layout, texts and tab order, and what a
// user's choice, Cancel, the close box, Escape and OK on an empty list give,
// both from the dialog service and through a serial port's open.
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "finder/qt_ui_services_qt.h"
#include "platform/ui.h"
#include "serial/port/com_port.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "tests/common/pty.h"
#include "tests/gui/gui_helpers.h"

namespace {

using finder::TQtSelectPortDialog;

std::vector<std::string> Items(QComboBox* combo) {
  std::vector<std::string> items;
  for (int i = 0; i < combo->count(); ++i)
    items.push_back(combo->itemText(i).toStdString());
  return items;
}

TEST(SelectPortDialog, LayoutTextsAndTabOrderAsDesigned) {
  TQtSelectPortDialog d({"COM1", "COM3"}, 0);
  d.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
  EXPECT_EQ(d.windowTitle().toStdString(), "Select Port");
  EXPECT_EQ(d.size(), QSize(220, 131));
  EXPECT_EQ(d.minimumSize(), d.maximumSize()) << "a dialog border: not resizable";
  EXPECT_EQ(d.Bevel1()->geometry(), QRect(8, 8, 201, 42));
  EXPECT_EQ(d.Label1()->geometry(), QRect(18, 14, 176, 13));
  EXPECT_EQ(d.Label2()->geometry(), QRect(18, 30, 133, 13));
  EXPECT_EQ(d.PortsComboBox()->geometry(), QRect(8, 64, 201, 21));
  EXPECT_EQ(d.OkBtn()->geometry(), QRect(8, 95, 85, 27));
  EXPECT_EQ(d.AbortBtn()->geometry(), QRect(124, 95, 85, 27));
  EXPECT_EQ(d.Label1()->text().toStdString(), "The configured serial port is not valid.");
  EXPECT_EQ(d.Label2()->text().toStdString(), "Please choose another port.");
  EXPECT_EQ(d.OkBtn()->text().toStdString(), "OK");
  EXPECT_EQ(d.AbortBtn()->text().toStdString(), "Cancel");
  EXPECT_TRUE(d.OkBtn()->isDefault());
  EXPECT_FALSE(d.PortsComboBox()->isEditable());
  EXPECT_EQ(Items(d.PortsComboBox()), (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_EQ(d.PortsComboBox()->currentIndex(), 0);
  EXPECT_EQ(d.font().pixelSize(), 11);
  EXPECT_EQ(d.palette().color(QPalette::WindowText), QColor(Qt::black));
  // OK first, then Cancel, then the list.
  QApplication::setActiveWindow(&d);
  d.OkBtn()->setFocus();
  EXPECT_EQ(QApplication::focusWidget(), d.OkBtn());
  QTest::keyClick(&d, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), d.AbortBtn());
  QTest::keyClick(&d, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), d.PortsComboBox());
  QTest::keyClick(&d, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), d.OkBtn());
}

// What the user does once the dialog is up.
struct Action {
  const char* what;
  std::function<void(TQtSelectPortDialog&)> act;
};

void ChooseCom12AndOk(TQtSelectPortDialog& d) {
  const int at = d.PortsComboBox()->findText(QStringLiteral("COM12"));
  ASSERT_GE(at, 0);
  d.PortsComboBox()->setCurrentIndex(at);
  QTest::mouseClick(d.OkBtn(), Qt::LeftButton);
}
void PressOk(TQtSelectPortDialog& d) {
  QTest::mouseClick(d.OkBtn(), Qt::LeftButton);
}
void PressCancel(TQtSelectPortDialog& d) {
  QTest::mouseClick(d.AbortBtn(), Qt::LeftButton);
}
void CloseBox(TQtSelectPortDialog& d) {
  d.close();
}
void Escape(TQtSelectPortDialog& d) {
  QTest::keyClick(&d, Qt::Key_Escape);
}

// Answers the first Select Port dialog that comes up, keeping what it
// offered.
class DialogUser {
 public:
  explicit DialogUser(std::function<void(TQtSelectPortDialog&)> act)
      : answerer_(20, [this, act](QWidget* modal) {
          auto* d = dynamic_cast<TQtSelectPortDialog*>(modal);
          if (d == nullptr || shown > 0) return;
          ++shown;
          entries = Items(d->PortsComboBox());
          index = d->PortsComboBox()->currentIndex();
          act(*d);
        }) {}
  int shown = 0;
  std::vector<std::string> entries;
  int index = -2;

 private:
  guitest::ModalAnswerer answerer_;
};

TEST(SelectPortDialog, ChoosesCancelsAndRefusesOkOnAnEmptyList) {
  struct Case {
    Action action;
    bool emptyList;
    sio::platform::PortDialogResult result;
    uint32_t opensAs;  // 0: the open is refused
  };
  const Case cases[] = {
      {{"COM12 and OK", ChooseCom12AndOk}, false, {sio::platform::kModalOk, 1}, 12},
      {{"OK on the first entry", PressOk}, false, {sio::platform::kModalOk, 0}, 3},
      {{"Cancel", PressCancel}, false, {sio::platform::kModalAbort, 0}, 0},
      {{"the close box", CloseBox}, false, {sio::platform::kModalCancel, 0}, 0},
      {{"Escape", Escape}, false, {sio::platform::kModalCancel, 0}, 0},
      {{"OK on an empty list", PressOk}, true, {sio::platform::kModalOk, -1}, 0},
  };
  std::string why;
  auto a = sio_test::SerialPeer::Create(why);
  ASSERT_TRUE(a) << why;
  auto b = sio_test::SerialPeer::Create(why);
  ASSERT_TRUE(b) << why;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action.what);
    const std::vector<std::string> entries =
        c.emptyList ? std::vector<std::string>{} : std::vector<std::string>{"COM3", "COM12"};

    // The service alone: the modal result and the entry.
    {
      DialogUser user(c.action.act);
      sio::platform::PortDialogResult result;
      std::string whyNot;
      ASSERT_TRUE(
          sio::platform::ShowSelectPortDialog(entries, c.emptyList ? -1 : 0, result, whyNot))
          << whyNot;
      EXPECT_EQ(user.shown, 1);
      EXPECT_EQ(result.modalResult, c.result.modalResult);
      EXPECT_EQ(result.itemIndex, c.result.itemIndex);
    }

    // A port without a number, opened: the dialog lists the present ports
    // and the choice decides.
    guitest::PortTable table(c.emptyList ? std::string()
                                         : "3=" + a->DeviceName() + ",12=" + b->DeviceName());
    DialogUser user(c.action.act);
    sio::TSioComPort port;
    port.SetAutoOpen(false);
    ASSERT_EQ(port.GetComNumber(), 0);
    int32_t raised = 0;
    try {
      port.SetOpen(true);
    } catch (const sio::ENoPortSelected& e) {
      raised = e.ErrorCode();
    }
    EXPECT_EQ(user.shown, 1);
    EXPECT_EQ(user.entries, entries);
    EXPECT_EQ(user.index, c.emptyList ? -1 : 0);
    EXPECT_EQ(port.GetOpen(), c.opensAs != 0);
    if (c.opensAs != 0) {
      EXPECT_EQ(raised, 0);
      EXPECT_EQ(port.GetComNumber(), c.opensAs);
      port.SetOpen(false);
    } else {
      EXPECT_EQ(raised, sio::ecNoPortSelected);
      EXPECT_EQ(port.GetComNumber(), 0);
    }
  }
}

}  // namespace
