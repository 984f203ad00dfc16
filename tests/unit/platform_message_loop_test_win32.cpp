// The Windows message loop against USER32 itself: a handle whose window no
// longer carries our record is not taken for one of ours.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/message_loop.h"

namespace {

sio::platform::LResult Answer(sio::platform::WindowHandle, uint32_t, sio::platform::WParam,
                              sio::platform::LParam) {
  return 7;
}

TEST(PlatformWindowRecords, AHandleWhoseUserDataIsNotOurRecordIsNotOurWindow) {
  int data = 0;
  const size_t before = sio::platform::HiddenWindowCount();
  sio::platform::WindowHandle w = sio::platform::CreateHiddenWindow("SioTestWindow", Answer, &data);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(sio::platform::IsWindowAlive(w));
  EXPECT_EQ(sio::platform::GetWindowUserData(w), &data);
  EXPECT_EQ(sio::platform::HiddenWindowCount(), before + 1);

  // As when the handle has been given to another window since ours went
  // without its last message.
  const HWND hwnd = static_cast<HWND>(w);
  SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
  EXPECT_FALSE(sio::platform::IsWindowAlive(w));
  EXPECT_EQ(sio::platform::GetWindowUserData(w), nullptr);
  EXPECT_EQ(sio::platform::HiddenWindowCount(), before) << "the stale record is kept";
  sio::platform::LResult result = 0;
  EXPECT_TRUE(
      sio::platform::SendWindowMessageTimeout(w, sio::platform::kMsgUser, 0, 0, 1000, &result));
  EXPECT_EQ(result, 0) << "the stale record's procedure still runs";
  DestroyWindow(hwnd);
}

}  // namespace
