// The finder's port wrapper without devices: number conversions, the port
// list's order, port number 0, and the message pump of its waits.
#include "finder/kelvane_com_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_loop.h"
#include "platform/sync.h"

namespace {

using finder::EConvertError;

TEST(FinderNumbers, EntriesAreDecimalIntegersAndPortNumbersFitSixteenBits) {
  const struct {
    const char* text;
    bool valid;
    int32_t value;
    bool port;  // also a port number
  } cases[] = {
      {"1", true, 1, true},
      {"007", true, 7, true},
      {"65535", true, 65535, true},
      {"65536", true, 65536, false},
      {"65537", true, 65537, false},
      {"-1", true, -1, false},
      {"2147483647", true, 2147483647, false},
      {"-2147483648", true, INT32_MIN, false},
      {"2147483648", false, 0, false},
      {"", false, 0, false},
      {"x", false, 0, false},
      {"12a", false, 0, false},
      {" 3", false, 0, false},
      {"+", false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    if (!c.valid) {
      EXPECT_THROW(finder::StrToInt(c.text), EConvertError);
      EXPECT_THROW(finder::PortNumberFromEntry(c.text), EConvertError);
      continue;
    }
    EXPECT_EQ(finder::StrToInt(c.text), c.value);
    if (c.port) {
      EXPECT_EQ(finder::PortNumberFromEntry(c.text), static_cast<uint16_t>(c.value));
    } else {
      // "65537" would otherwise be port 1 under another name.
      try {
        finder::PortNumberFromEntry(c.text);
        ADD_FAILURE() << "taken as a port number";
      } catch (const EConvertError& e) {
        EXPECT_EQ(std::string(e.what()),
                  std::string("'") + c.text + "' is not a valid integer value");
      }
    }
  }
  EXPECT_EQ(finder::ComparePortNumbers("2", "10"), -1);
  EXPECT_EQ(finder::ComparePortNumbers("10", "2"), 1);
  EXPECT_EQ(finder::ComparePortNumbers("03", "3"), 0);
  EXPECT_THROW(finder::ComparePortNumbers("COMx", "3"), EConvertError);
}

class Boxes : public finder::TMessageBoxes {
 public:
  void ShowMessage(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

constexpr uint32_t kTick = 0x0401;
// Asks the window's thread to quit (a quit request goes to the queue of the
// thread that posts it).
constexpr uint32_t kAskQuit = 0x0402;
std::atomic<int> ticks{0};
sio::platform::LResult TickProc(sio::platform::WindowHandle, uint32_t msg, sio::platform::WParam,
                                sio::platform::LParam) {
  if (msg == kTick) ++ticks;
  if (msg == kAskQuit) sio::platform::PostQuit(0);
  return 0;
}

TEST(FinderPortWrapper, PortNumberZeroIsNotSelectedAndTouchesNothing) {
  sio::TSioComPort port;
  Boxes boxes;
  finder::TKelvaneComPort wrapper(&port, boxes);
  EXPECT_FALSE(wrapper.OpenPort());
  EXPECT_EQ(boxes.shown, std::vector<std::string>{finder::kMsgNotSelected});
  EXPECT_FALSE(port.GetOpen());
  wrapper.SetComNumber(0x10003);  // the low 16 bits
  EXPECT_EQ(port.GetComNumber(), 3);
}

}  // namespace

namespace {

struct Flag {
  std::atomic<bool> set{false};
};
bool FlagSet(void* p) {
  return static_cast<Flag*>(p)->set.load();
}

TEST(FinderPumpMessagesUntil,
     EndsWhenDoneHoldsOrTheTimeIsUpOrAQuitComesAndServesMessagesMeanwhile) {
  sio::platform::InitUserInterfaceThread();
  sio::platform::WindowHandle w =
      sio::platform::CreateHiddenWindow("FinderPumpTest", &TickProc, nullptr);
  ASSERT_NE(w, nullptr);
  const struct {
    const char* name;
    bool withEvent;  // the setter also sets the wake event
    bool setDone;    // another thread makes done() true after 100 ms
    bool quit;       // a quit request is posted after 100 ms
    finder::TPumpResult expected;
    double atLeastMs;
  } cases[] = {
      {"done, with event", true, true, false, finder::TPumpResult::Done, 100},
      {"done, without event", false, true, false, finder::TPumpResult::Done, 100},
      {"time up, with event", true, false, false, finder::TPumpResult::TimedOut, 400},
      {"time up, without event", false, false, false, finder::TPumpResult::TimedOut, 400},
      {"quit, with event", true, false, true, finder::TPumpResult::Quit, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Flag flag;
    sio::platform::Event wake(false, false);
    ticks = 0;
    sio::platform::PostWindowMessage(w, kTick, 0, 0);
    // Taken before the setter starts its 100 ms, which the wait then lasts
    // at least.
    const auto start = std::chrono::steady_clock::now();
    std::thread setter([&] {
      sio::platform::SleepMs(100);
      sio::platform::PostWindowMessage(w, kTick, 0, 0);
      if (c.setDone) flag.set = true;
      if (c.quit) sio::platform::PostWindowMessage(w, kAskQuit, 0, 0);
      if (c.withEvent && c.setDone) wake.Set();
    });
    const finder::TPumpResult r =
        finder::PumpMessagesUntil(400, &FlagSet, &flag, c.withEvent ? &wake : nullptr);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    setter.join();
    EXPECT_EQ(r, c.expected);
    EXPECT_GE(ms, c.atLeastMs - 1);
    EXPECT_LT(ms, 400 + 2000);
    // The message posted before, at least, was served in the wait.
    EXPECT_GE(ticks.load(), 1);
    sio::platform::Message m;
    while (sio::platform::PeekOneMessage(m)) {
    }
  }
  sio::platform::DestroyHiddenWindow(w);
}

}  // namespace
