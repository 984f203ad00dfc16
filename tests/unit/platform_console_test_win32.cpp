// The console control handler, called as Windows calls it: a close, logoff or
// shutdown ends the process once the handler returns.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/console.h"

namespace {

std::atomic<int> g_interrupts{0};

TEST(ConsoleInterrupts, CloseLogoffAndShutdownReturnOnlyOnceTheInterruptIsServed) {
  ASSERT_TRUE(sio::platform::WatchInterrupts([] { ++g_interrupts; }));
  std::future<bool> handled[3];
  const DWORD types[] = {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};
  for (int i = 0; i < 3; ++i) {
    std::packaged_task<bool(unsigned long)> task(&sio::platform::HandleConsoleControl);
    handled[i] = task.get_future();
    std::thread(std::move(task), types[i]).detach();  // one that never returns must not hang us
  }
  for (auto& h : handled)
    EXPECT_EQ(h.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(g_interrupts.load(), 3);
  sio::platform::InterruptServed();
  for (auto& h : handled)
    EXPECT_TRUE(h.wait_for(std::chrono::seconds(5)) == std::future_status::ready && h.get());
}

}  // namespace
