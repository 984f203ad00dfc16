// The user-interface seam: an installed service answers in place of the
// host's own, and the host's own comes back when it is removed; where nothing
// is built in, boxes and dialogs are refused at once with the reason.
#include <gtest/gtest.h>

#include "platform/ui.h"
#include "tests/common/scripted_ui.h"

namespace {

TEST(PlatformUi, InstalledServiceAnswersUntilTheBuiltInOneIsPutBack) {
  sio_test::ScriptedUi scripted;
  sio::platform::UiServices* before = sio::platform::SetUiServices(&scripted);
  EXPECT_EQ(&sio::platform::GetUiServices(), &scripted);

  std::string why;
  EXPECT_TRUE(sio::platform::ShowMessageBox("Port 3 is busy", "Kelvane Finder", why));
  ASSERT_EQ(scripted.boxes.size(), 1u);
  EXPECT_EQ(scripted.boxes[0].first, "Port 3 is busy");
  EXPECT_EQ(scripted.boxes[0].second, "Kelvane Finder");

  scripted.modalResult = sio::platform::kModalAbort;
  scripted.chooseEntry = "COM3";
  sio::platform::PortDialogResult result;
  EXPECT_TRUE(sio::platform::ShowSelectPortDialog({"COM1", "COM3"}, 0, result, why));
  EXPECT_EQ(scripted.shownEntries, (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_EQ(scripted.shownIndex, 0);
  EXPECT_EQ(result.modalResult, sio::platform::kModalAbort);
  EXPECT_EQ(result.itemIndex, 1);

  // A service may have boxes but no dialog: the refusal and its reason pass
  // through unchanged.
  scripted.offerDialog = false;
  why.clear();
  EXPECT_FALSE(sio::platform::ShowSelectPortDialog({"COM1"}, 0, result, why));
  EXPECT_EQ(why, "scripted: no dialog");
  EXPECT_EQ(scripted.dialogs, 1);

  EXPECT_EQ(sio::platform::SetUiServices(before), &scripted);
  EXPECT_EQ(&sio::platform::GetUiServices(), &sio::platform::BuiltInUiServices());
}

TEST(PlatformUi, WithoutAWindowBoxAndDialogAreRefusedWithTheReason) {
  if (sio::platform::kUiBuiltIn) GTEST_SKIP() << "this host has its services built in";
  ASSERT_EQ(&sio::platform::GetUiServices(), &sio::platform::BuiltInUiServices());
  std::string why;
  EXPECT_FALSE(sio::platform::ShowMessageBox("text", "caption", why));
  EXPECT_NE(why.find("no window"), std::string::npos) << why;
  why.clear();
  sio::platform::PortDialogResult result{sio::platform::kModalOk, 4};
  EXPECT_FALSE(sio::platform::ShowSelectPortDialog({"COM1"}, 0, result, why));
  EXPECT_NE(why.find("no window"), std::string::npos) << why;
  EXPECT_EQ(result.modalResult, sio::platform::kModalNone);
  EXPECT_EQ(result.itemIndex, -1);
}

}  // namespace
