// Opening a port on a pseudo-terminal, as the finder's probes and the serial
// layer do it: an open that does not answer in time is given up after its
// limit, with nothing left racing the next open, and errors read as what
// happened. (One open per probe is counted on real adapters in the driver
// guest.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "finder/kelvane_com_port.h"
#include "platform/comm.h"
#include "platform/comm_open.h"
#include "platform/message_loop.h"
#include "serial/support/exceptions.h"
#include "tests/common/pty.h"
#include "tests/integration/port_table.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class Boxes : public finder::TMessageBoxes {
 public:
  void ShowMessage(const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// A closed port component on a pseudo-terminal mapped as COM<number>.
struct PtyPort {
  explicit PtyPort(uint32_t number) {
    sio::platform::InitUserInterfaceThread();
    ok = pty.Open();
    if (ok) devtest::UseComPort(pty.slaveName, number);
    port.SetAutoOpen(false);
    port.SetComNumber(static_cast<uint16_t>(number));
  }
  ~PtyPort() { devtest::ForgetPortTable(); }
  sio_test::PtyPair pty;
  bool ok = false;
  sio::TSioComPort port;
};

size_t OpenDescriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

// A device whose open blocks while `holding`, as a Bluetooth port's does
// while it connects; then it opens for real.
std::atomic<bool> holding{false};
std::atomic<int> systemOpens{0};
int HeldOpen(const char* path, int flags) {
  ++systemOpens;
  for (int i = 0; i < 3000 && holding.load(); ++i)
    ::usleep(2000);
  return ::open(path, flags);
}

class HeldOpens {
 public:
  HeldOpens() {
    systemOpens = 0;
    holding = true;
    previous_ = sio::platform::SetCommSystemOpenCall(&HeldOpen);
  }
  ~HeldOpens() {
    holding = false;
    sio::platform::SetCommSystemOpenCall(previous_);
    WaitNoneInFlight();
  }
  static bool WaitNoneInFlight() {
    for (int i = 0; i < 1000; ++i) {
      if (sio::platform::comm_open::OpensInFlight() == 0) return true;
      ::usleep(2000);
    }
    return false;
  }

 private:
  sio::platform::CommSystemOpenCall previous_;
};

TEST(CommOpenInTime, AnOpenPastItsLimitIsGivenUpAndNeverRacesTheNextOne) {
  sio_test::PtyPair pty;
  ASSERT_TRUE(pty.Open());
  const struct {
    const char* name;
    bool held;  // the first open hangs
    uint32_t firstLimitMs;
    uint32_t expectFirst;
    int releaseAfterMs;      // during the second open; -1: only after it
    uint32_t secondLimitMs;  // 0: no second open
    uint32_t expectSecond;
    int systemOpensAfterSecond;
  } rows[] = {
      {"answers in time", false, 2000, 0, -1, 0, 0, 1},
      {"a second open meets the first still hanging", true, 300, 121, -1, 300, 121, 1},
      {"a second open waits for the hanging one to end", true, 300, 121, 200, 4000, 0, 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    const size_t baseline = OpenDescriptors();
    {
      HeldOpens stand_in;
      holding = r.held;
      sio::platform::CommDevice first;
      auto start = Clock::now();
      EXPECT_EQ(first.Open(pty.slaveName, r.firstLimitMs), r.expectFirst);
      if (r.expectFirst == 121) {
        EXPECT_GE(MsSince(start), r.firstLimitMs - 1);
        EXPECT_EQ(sio::platform::comm_open::OpensInFlight(), 1u) << "the hanging open runs on";
      }
      if (r.secondLimitMs != 0) {
        std::thread releaser;
        if (r.releaseAfterMs >= 0) {
          releaser = std::thread([&r] {
            std::this_thread::sleep_for(std::chrono::milliseconds(r.releaseAfterMs));
            holding = false;
          });
        }
        sio::platform::CommDevice second;
        start = Clock::now();
        EXPECT_EQ(second.Open(pty.slaveName, r.secondLimitMs), r.expectSecond);
        if (r.expectSecond == 121) {
          EXPECT_GE(MsSince(start), r.secondLimitMs - 1);
        }
        if (releaser.joinable()) releaser.join();
        EXPECT_EQ(systemOpens.load(), r.systemOpensAfterSecond);
        if (r.expectSecond == 0) {
          EXPECT_TRUE(second.IsOpen());
        }
      } else {
        EXPECT_EQ(systemOpens.load(), r.systemOpensAfterSecond);
      }
      holding = false;
      ASSERT_TRUE(HeldOpens::WaitNoneInFlight());
    }
    // Every open given up has closed what it got at last, and the device is
    // free for the next one.
    EXPECT_EQ(OpenDescriptors(), baseline);
    sio::platform::CommDevice again;
    EXPECT_EQ(again.Open(pty.slaveName), 0u);
  }
}

constexpr uint32_t kTick = 0x0401;
std::atomic<int> ticks{0};
sio::platform::LResult TickProc(sio::platform::WindowHandle, uint32_t msg, sio::platform::WParam,
                                sio::platform::LParam) {
  if (msg == kTick) ++ticks;
  return 0;
}

TEST(FinderOpen, AnOpenThatDoesNotAnswerInTimeCostsOnlyThatProbeWhileMessagesFlow) {
  PtyPort p(61);
  ASSERT_TRUE(p.ok);
  sio::TSioComPort& port = p.port;
  Boxes boxes;
  finder::TKelvaneComPort wrapper(&port, boxes);
  sio::platform::WindowHandle w =
      sio::platform::CreateHiddenWindow("FinderOpenTest", &TickProc, nullptr);
  ASSERT_NE(w, nullptr);
  const double limitMs = finder::TKelvaneComPort::kOpenLimitMs;
  {
    HeldOpens stand_in;
    ticks = 0;
    std::atomic<bool> stop{false};
    std::thread poster([&] {
      while (!stop.load()) {
        sio::platform::PostWindowMessage(w, kTick, 0, 0);
        sio::platform::SleepMs(50);
      }
    });
    const auto start = Clock::now();
    EXPECT_FALSE(wrapper.OpenPort());
    const double ms = MsSince(start);
    stop = true;
    poster.join();
    EXPECT_GE(ms, limitMs - 1);
    EXPECT_LT(ms, limitMs + 3000);
    EXPECT_GE(ticks.load(), 20) << "messages were not served while the open waited";
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].find("COM61"), std::string::npos) << boxes.shown[0];
    EXPECT_NE(boxes.shown[0].find("did not answer in time"), std::string::npos) << boxes.shown[0];
    EXPECT_FALSE(port.GetOpen());
    EXPECT_EQ(systemOpens.load(), 1);

    // While quitting, an open that hangs is given up within the same bound,
    // without a box.
    boxes.shown.clear();
    holding = false;
    ASSERT_TRUE(HeldOpens::WaitNoneInFlight());
    holding = true;
    sio::platform::PostQuit(0);
    const auto again = Clock::now();
    EXPECT_FALSE(wrapper.OpenPort());
    EXPECT_LT(MsSince(again), limitMs + 3000);
    EXPECT_TRUE(boxes.shown.empty());
    sio::platform::Message m;
    while (sio::platform::PeekOneMessage(m)) {
    }
  }
  // The probes given up have let go of the device: the next one opens it.
  EXPECT_TRUE(wrapper.OpenPort());
  wrapper.ClosePort();
  EXPECT_TRUE(boxes.shown.empty());
  sio::platform::DestroyHiddenWindow(w);
}

TEST(SystemErrorTexts, AFailingCallOnAnOpenPortSaysWhatHappened) {
  PtyPort p(45);
  ASSERT_TRUE(p.ok);
  sio::TSioComPort& port = p.port;
  port.SetOpen(true);
  // A pseudo-terminal takes no parity: the call is refused as an incorrect
  // parameter, and the text says so (not the C library's text of errno 87).
  try {
    port.SetParity(sio::pEven);
    ADD_FAILURE() << "the parity was taken";
  } catch (const sio::EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 87);
    EXPECT_EQ(std::string(e.what()), "The parameter is incorrect. ");
  }
  port.SetOpen(false);
}

}  // namespace
