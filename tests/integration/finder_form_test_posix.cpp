// The finder's form over simulated devices: its stored layout, the caption,
// and what Start does to the button, to a second press and to an exception.
#include "finder/main_form.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/message_loop.h"
#include "tests/integration/port_table.h"
#include "tools/elm327-sim/elm327_sim.h"

namespace {

class RecordingView : public finder::TFinderView {
 public:
  void LogCleared() override { events.push_back("clear"); }
  void LogAppended(std::string_view, uint32_t) override {}
  void SetStartEnabled(bool enabled) override { events.push_back(enabled ? "enable" : "disable"); }
  void SetCaption(const std::string& c) override { caption = c; }
  void ShowMessage(const std::string& text) override { events.push_back("box " + text); }
  void ShowError(const std::string& message) override { events.push_back("error " + message); }
  std::vector<std::string> events;
  std::string caption;
};

// The test's port table for as long as it lives.
class PortTable {
 public:
  explicit PortTable(const std::string& table) { devtest::UsePortTable(table); }
  ~PortTable() { devtest::ForgetPortTable(); }
};

TEST(FinderForm, StoredLayoutAndCaption) {
  sio::platform::InitUserInterfaceThread();
  RecordingView view;
  finder::TfrmMain form(view);
  // The test program carries no version record.
  EXPECT_EQ(form.Caption(), "Kelvane Finder ");
  EXPECT_EQ(view.caption, "Kelvane Finder ");
  sio::TSioComPort* port = form.SioComPort();
  ASSERT_NE(port, nullptr);
  EXPECT_FALSE(port->GetAutoOpen());
  EXPECT_EQ(port->GetComNumber(), 0);
  EXPECT_EQ(port->GetBaud(), 19200);
  EXPECT_EQ(port->GetTraceName(), "SIO.TRC");
  EXPECT_EQ(port->GetLogName(), "SIO.LOG");
  EXPECT_FALSE(port->GetOpen());
  const struct {
    const char* text;
    int32_t timeOut;
  } packets[] = {{"KELVANE", 1}, {"OBDII to RS232 Interpreter", 2184}, {"ELM327_CLONE", 2184}};
  for (int i = 0; i < 3; ++i) {
    sio::TSioDataPacket* p = form.SioDataPacket(i + 1);
    ASSERT_NE(p, nullptr);
    SCOPED_TRACE(packets[i].text);
    EXPECT_TRUE(p->GetEnabled());
    EXPECT_EQ(p->GetStartString(), packets[i].text);
    EXPECT_EQ(p->GetComPort(), port);
    EXPECT_EQ(p->GetPacketSize(), 0);
    EXPECT_EQ(p->GetTimeOut(), packets[i].timeOut);
    EXPECT_TRUE(p->GetIgnoreCase());
    EXPECT_FALSE(p->IsLoading());
  }
}

struct Reentry {
  finder::TfrmMain* form;
  std::vector<bool> results;
};
constexpr uint32_t kPress = 0x0401;
sio::platform::LResult PressProc(sio::platform::WindowHandle hwnd, uint32_t msg,
                                 sio::platform::WParam, sio::platform::LParam) {
  if (msg == kPress) {
    auto* r = static_cast<Reentry*>(sio::platform::GetWindowUserData(hwnd));
    r->results.push_back(r->form->StartClicked());
  }
  return 0;
}

TEST(FinderForm, StartIsDisabledDuringASearchAndASecondPressIsIgnored) {
  sio::platform::InitUserInterfaceThread();
  elmsim::Options silent;
  silent.silent = true;
  silent.baud = 0;
  elmsim::Simulator sim(silent);
  std::string error;
  ASSERT_TRUE(sim.Start(error)) << error;
  PortTable table("5=" + sim.SlavePath());
  RecordingView view;
  finder::TfrmMain form(view);
  Reentry reentry{&form, {}};
  sio::platform::WindowHandle w =
      sio::platform::CreateHiddenWindow("FinderFormTest", &PressProc, &reentry);
  ASSERT_NE(w, nullptr);
  // Pressed again while the first search waits.
  ASSERT_TRUE(sio::platform::PostWindowMessage(w, kPress, 0, 0));
  EXPECT_TRUE(form.StartClicked());
  EXPECT_EQ(reentry.results, std::vector<bool>{false});
  EXPECT_EQ(view.events, (std::vector<std::string>{"disable", "clear", "enable"}));
  EXPECT_EQ(form.StatusLog().Text().find("End of search."),
            form.StatusLog().Text().rfind("End of search."))
      << "one search only";
  EXPECT_FALSE(form.Searching());
  sio::platform::DestroyHiddenWindow(w);
}

TEST(FinderForm, AnExceptionEndsTheSearchInTheErrorReportAndStartComesBack) {
  sio::platform::InitUserInterfaceThread();
  elmsim::Simulator sim;
  std::string error;
  ASSERT_TRUE(sim.Start(error)) << error;
  sio::platform::CommDevice holder;  // another program holds the port
  ASSERT_EQ(holder.Open(sim.SlavePath()), 0u);
  PortTable table("5=" + sim.SlavePath());
  RecordingView view;
  finder::TfrmMain form(view);
  EXPECT_FALSE(form.StartClicked());
  ASSERT_EQ(view.events.size(), 4u);
  EXPECT_EQ(view.events[0], "disable");
  EXPECT_EQ(view.events[2].rfind("error ", 0), 0u) << view.events[2];
  EXPECT_EQ(view.events[3], "enable");
  EXPECT_EQ(form.StatusLog().Text().find("End of search."), std::string::npos);
  EXPECT_FALSE(form.SioComPort()->GetOpen());
}

// A packet handled while the port closes (the dispatcher thread hands it
// over as the close waits for it) sets the flags after the probe's decision.
struct LateFlags {
  finder::TfrmMain* form;
  int closes = 0;
  void PortClosed(sio::TComponent*) {
    if (++closes != 1) return;
    form->Controller().BannerSeen = true;
    form->Controller().NeedsCloneTag = true;
  }
};

TEST(FinderForm, FlagsSetAsAPortClosesDoNotReachTheNextProbe) {
  sio::platform::InitUserInterfaceThread();
  elmsim::Options silent;
  silent.silent = true;
  silent.baud = 0;
  elmsim::Simulator first(silent);
  elmsim::Simulator second(silent);
  std::string error;
  ASSERT_TRUE(first.Start(error)) << error;
  ASSERT_TRUE(second.Start(error)) << error;
  PortTable table("5=" + first.SlavePath() + ",6=" + second.SlavePath());
  RecordingView view;
  finder::TfrmMain form(view);
  LateFlags late{&form};
  form.SioComPort()->SetOnPortClose(sio::TNotifyEvent::Of<&LateFlags::PortClosed>(&late));
  ASSERT_TRUE(form.StartClicked());
  const std::string& log = form.StatusLog().Text();
  EXPECT_NE(log.find("  Looking on COM6...nothing\r"), std::string::npos) << log;
  EXPECT_EQ(log.find("found scan tool!"), std::string::npos) << log;
  EXPECT_EQ(second.ReceivedText().find("AT@3"), std::string::npos) << second.ReceivedText();
  EXPECT_EQ(late.closes, 6);
}

}  // namespace
