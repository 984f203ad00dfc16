// The "Select Port" form on Windows over the pseudo-terminal pair the runner
// maps as COM ports: FormCreate lists them, and the real dialog, driven by
// window messages, gives back the chosen port or the Cancel button's result.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "serial/port/com_select.h"
#include "serial/support/exceptions.h"
#include "tests/common/pty.h"
#include "tests/common/ui_driver.h"

namespace {

uint32_t EnvPort(const char* name, uint32_t fallback) {
  const char* v = std::getenv(name);
  return v == nullptr ? fallback : static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
}

class ComSelectWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sio_test::SerialPeer::Create(why)) GTEST_SKIP() << "no serial device pair: " << why;
    device_ = "COM" + std::to_string(EnvPort("SIO_TEST_COM", 41));
    peer_ = "COM" + std::to_string(EnvPort("SIO_TEST_PEER_COM", 42));
  }

  std::string device_;
  std::string peer_;
};

TEST_F(ComSelectWin32, FormCreateListsTheMappedPortsInOrderFirstSelected) {
  sio::TComSelectForm form;
  const auto& entries = form.Entries();
  // The host may have ports of its own; the mapped pair is among the entries.
  EXPECT_NE(std::find(entries.begin(), entries.end(), device_), entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(), peer_), entries.end());
  uint32_t last = 0;
  for (const std::string& e : entries) {
    ASSERT_EQ(e.rfind("COM", 0), 0u) << e;
    const uint32_t n = static_cast<uint32_t>(std::strtoul(e.c_str() + 3, nullptr, 10));
    EXPECT_GT(n, last) << e;
    EXPECT_LE(n, 50u) << e;
    last = n;
  }
  EXPECT_EQ(form.ItemIndex(), 0);
}

TEST_F(ComSelectWin32, RealDialogChoosesAPortOrIsCancelled) {
  struct Case {
    const char* what;
    int button;
    int32_t modalResult;
  };
  const Case cases[] = {{"OK", IDOK, sio::mrOk}, {"Cancel", IDABORT, sio::mrAbort}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sio::TComSelectForm form;
    const auto& entries = form.Entries();
    const int peerIndex =
        static_cast<int>(std::find(entries.begin(), entries.end(), peer_) - entries.begin());
    ASSERT_LT(peerIndex, static_cast<int>(entries.size()));
    int32_t result = sio::mrNone;
    const sio_test::DrivenRun run = sio_test::DriveModal(
        "TComSelectForm", "Select Port",
        [&](sio_test::TopWindow w) {
          sio_test::SelectListEntry(w, peerIndex);
          sio_test::ClickButton(w, c.button);
        },
        [&] { result = form.ShowModal(); });
    ASSERT_TRUE(run.found);
    EXPECT_FALSE(run.forcedToQuit);
    EXPECT_EQ(run.view.entries, entries);
    EXPECT_EQ(run.view.selected, 0);
    EXPECT_EQ(result, c.modalResult);
    EXPECT_EQ(form.ItemIndex(), peerIndex);
    if (c.modalResult == sio::mrOk) {
      EXPECT_EQ("COM" + std::to_string(form.SelectedPortNumber()), peer_);
    }
  }
}

}  // namespace
