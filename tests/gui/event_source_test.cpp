// Our message queue inside Qt's loop: what other threads post or hand over,
// what a single pump leaves queued and a quit request all run while Qt's
// loop is idle at top level; a quit inside a message box closes the box and
// stays queued for the main loop.
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "finder/qt_event_source_qt.h"
#include "finder/qt_ui_services_qt.h"
#include "platform/message_loop.h"
#include "serial/support/ticks.h"

namespace {

constexpr uint32_t kCount = sio::platform::kMsgUser + 7;
int g_counted = 0;

sio::platform::LResult CountingProc(sio::platform::WindowHandle, uint32_t msg,
                                    sio::platform::WParam, sio::platform::LParam) {
  if (msg == kCount) ++g_counted;
  return 0;
}

TEST(QtEventSource, OurQueueRunsWhileQtsLoopIsIdleAtTopLevel) {
  finder::TQtEventSource* source = finder::TQtEventSource::Current();
  ASSERT_NE(source, nullptr);
  sio::platform::WindowHandle w =
      sio::platform::CreateHiddenWindow("QtSourceTest", &CountingProc, nullptr);
  ASSERT_NE(w, nullptr);
  int quitCode = -1;
  source->SetQuitHandler([&](int code) { quitCode = code; });

  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::function<bool()> done;
  };
  int handedOver = 0;
  std::thread worker;
  const Case cases[] = {
      {"posted from another thread",
       [&] {
         worker = std::thread([w] {
           for (int i = 0; i < 3; ++i)
             sio::platform::PostWindowMessage(w, kCount, 0, 0);
         });
       },
       [&] { return g_counted == 3; }},
      {"handed over from another thread",
       [&] {
         worker = std::thread([&] {
           sio::platform::RunOnUserInterfaceThread([](void* n) { ++*static_cast<int*>(n); },
                                                   &handedOver);
         });
       },
       [&] { return handedOver == 1; }},
      {"left queued by a single pump",
       [&] {
         for (int i = 0; i < 2; ++i)
           sio::platform::PostWindowMessage(w, kCount, 0, 0);
         sio::PumpOneMessage();
         EXPECT_EQ(g_counted, 1) << "one message per pump";
       },
       [&] { return g_counted == 2; }},
      {"a quit request",
       [&] {
         sio::platform::PostQuit(7);
         EXPECT_EQ(quitCode, -1);
       },
       [&] { return quitCode == 7; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_counted = 0;
    c.arrange();
    EXPECT_TRUE(QTest::qWaitFor(c.done, 5000));
    if (worker.joinable()) worker.join();
  }
  source->SetQuitHandler([](int code) { QCoreApplication::exit(code); });
  sio::platform::DestroyHiddenWindow(w);
}

TEST(QtEventSource, AQuitDuringAMessageBoxClosesItAndStaysQueued) {
  sio::platform::WindowHandle w =
      sio::platform::CreateHiddenWindow("QtSourceTest", &CountingProc, nullptr);
  ASSERT_NE(w, nullptr);
  g_counted = 0;
  // Once the box is up: a message for the window (it runs while the box is
  // shown), then the quit request.
  QTimer::singleShot(100, [w] {
    sio::platform::PostWindowMessage(w, kCount, 0, 0);
    sio::platform::PostQuit(3);
  });
  finder::RunMessageBox(nullptr, QStringLiteral("quit me"), QStringLiteral("test"),
                        finder::TBoxKind::Message);
  EXPECT_EQ(g_counted, 1);
  sio::platform::Message m;
  ASSERT_TRUE(sio::platform::PeekOneMessage(m));
  EXPECT_EQ(m.message, sio::platform::kMsgQuit);
  EXPECT_EQ(m.hwnd, nullptr);
  EXPECT_EQ(m.wParam, 3u);
  sio::platform::DestroyHiddenWindow(w);
}

}  // namespace
