// The "Select Port" form over real pseudo-terminals mapped as COM ports: the
// list FormCreate makes, the modal run through an installed dialog service,
// the port number of the chosen entry, and the refusals when nothing can be
// chosen.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/comm.h"
#include "platform/host_ports.h"
#include "platform/ui.h"
#include "serial/dispatch/dispatch_thread.h"
#include "serial/dispatch/dispatcher.h"
#include "serial/port/com_select.h"
#include "serial/port/port_check.h"
#include "serial/support/exceptions.h"
#include "tests/common/pty.h"
#include "tests/common/scripted_ui.h"
#include "tests/integration/port_table.h"

namespace {

class ComSelect : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    a_ = sio_test::SerialPeer::Create(why);
    if (a_) b_ = sio_test::SerialPeer::Create(why);
    if (!a_ || !b_) GTEST_SKIP() << "no serial device pair: " << why;
    // COM7 names a device that does not exist; COM51 a present one beyond
    // the range the form looks at.
    devtest::UsePortTable("3=" + a_->DeviceName() + ",12=" + b_->DeviceName() +
                          ",7=/nonexistent/sio-tty,51=" + a_->DeviceName());
  }
  void TearDown() override {
    sio::CountBusyPorts.store(true);
    devtest::ForgetPortTable();
  }

  std::unique_ptr<sio_test::SerialPeer> a_;
  std::unique_ptr<sio_test::SerialPeer> b_;
};

TEST_F(ComSelect, FormCreateListsThePresentPortsFromOneToFiftyFirstSelected) {
  // COM12 held by another program: present while busy ports count.
  sio::platform::CommDevice holder;
  ASSERT_EQ(holder.Open(sio::platform::ComDeviceName(12)), 0u);
  struct Case {
    bool countBusy;
    std::vector<std::string> entries;
  };
  const Case cases[] = {{true, {"COM3", "COM12"}}, {false, {"COM3"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.countBusy ? "busy ports count" : "busy ports do not count");
    sio::CountBusyPorts.store(c.countBusy);
    sio::TComSelectForm form;
    EXPECT_EQ(form.Entries(), c.entries);
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.SelectedPortNumber(), 3u);
  }
  sio::CountBusyPorts.store(true);
  sio::TComSelectForm form;
  form.SetItemIndex(1);
  EXPECT_EQ(form.SelectedPortNumber(), 12u);
}

TEST_F(ComSelect, ShowModalGivesTheDialogsResultAndChoice) {
  struct Case {
    const char* what;
    int32_t modalResult;
    std::string choose;
    int32_t itemIndex;
  };
  const Case cases[] = {
      {"OK on COM12", sio::mrOk, "COM12", 1},
      {"Cancel", sio::mrAbort, "", 0},
      {"close box", sio::mrCancel, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sio_test::ScriptedUi ui;
    ui.modalResult = c.modalResult;
    ui.chooseEntry = c.choose;
    sio_test::InstalledUi installed(&ui);
    sio::TComSelectForm form;
    EXPECT_EQ(form.ShowModal(), c.modalResult);
    EXPECT_EQ(ui.dialogs, 1);
    EXPECT_EQ(ui.shownEntries, (std::vector<std::string>{"COM3", "COM12"}));
    EXPECT_EQ(ui.shownIndex, 0);
    EXPECT_EQ(form.ItemIndex(), c.itemIndex);
  }
  sio_test::ScriptedUi ui;
  ui.chooseEntry = "COM12";
  sio_test::InstalledUi installed(&ui);
  sio::TComSelectForm form;
  ASSERT_EQ(form.ShowModal(), sio::mrOk);
  EXPECT_EQ(form.SelectedPortNumber(), 12u);
}

TEST_F(ComSelect, NothingToChooseOrNoDialogRaisesNoPortSelected) {
  const int32_t dispatchers = sio::DispatcherRegistryCount();
  // No ports at all: OK on the empty list leaves no entry to read.
  devtest::UsePortTable("");
  {
    sio_test::ScriptedUi ui;
    sio_test::InstalledUi installed(&ui);
    sio::TComSelectForm form;
    EXPECT_TRUE(form.Entries().empty());
    EXPECT_EQ(form.ItemIndex(), -1);
    ASSERT_EQ(form.ShowModal(), sio::mrOk);
    EXPECT_EQ(ui.shownIndex, -1);
    try {
      form.SelectedPortNumber();
      ADD_FAILURE() << "an empty selection was read";
    } catch (const sio::ENoPortSelected& e) {
      EXPECT_EQ(e.ErrorCode(), -2011);
      EXPECT_NE(std::string(e.what()).find("empty"), std::string::npos) << e.what();
    }
  }
  // No front-end has installed a dialog: refused at once, saying why.
  devtest::UsePortTable("3=" + a_->DeviceName());
  ASSERT_EQ(&sio::platform::GetUiServices(), &sio::platform::BuiltInUiServices());
  sio::TComSelectForm form;
  ASSERT_EQ(form.Entries().size(), 1u);
  try {
    (void)form.ShowModal();
    ADD_FAILURE() << "a dialog was shown without a window";
  } catch (const sio::ENoPortSelected& e) {
    EXPECT_EQ(e.ErrorCode(), -2011);
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("No serial port was chosen: ", 0), 0u) << text;
    EXPECT_NE(text.find("no window"), std::string::npos) << text;
  }
  // Nothing was opened or left behind: no dispatcher, and the device opens.
  EXPECT_EQ(sio::DispatcherRegistryCount(), dispatchers);
  sio::platform::CommDevice device;
  EXPECT_EQ(device.Open(sio::platform::ComDeviceName(3)), 0u);
}

}  // namespace
