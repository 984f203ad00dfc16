// The status log's model: line breaks, colour runs, and what a view is told.
#include "finder/status_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using finder::clBlack;
using finder::clRed;
using finder::TLogRun;
using finder::TStatusLog;

// Replays what it is told into a text of its own, the way a view would.
class Mirror : public TStatusLog::Listener {
 public:
  void LogCleared() override {
    text.clear();
    ++clears;
  }
  void LogAppended(std::string_view t, uint32_t colour) override {
    text += colour == clRed ? "<red>" + std::string(t) + "</red>" : std::string(t);
  }
  std::string text;
  int clears = 0;
};

TEST(StatusLog, LinesAppendsAndColourAsTheSearchWritesThem) {
  TStatusLog log;
  Mirror view;
  log.SetListener(&view);
  log.Clear();
  log.AddLine("= Retrieving list of available COM ports: =");
  log.AddLine("   COM3");
  log.AddLine("");
  log.AddLine("\r= Attempting to connect at 115200 baud =");
  log.Append("  Looking on COM3");
  log.Append(".");
  log.Append(".");
  log.Append(".");
  log.SetColour(clRed);
  log.Append("found scan tool!");
  log.SetColour(clBlack);
  log.Append(" \r");
  log.Append("  Looking on COM4...");
  log.AddLine("");  // a line break first: the line was not ended
  log.Append("\r\rEnd of search.\r");

  const std::string expected =
      "= Retrieving list of available COM ports: =\r"
      "   COM3\r"
      "\r"
      "\r= Attempting to connect at 115200 baud =\r"
      "  Looking on COM3...found scan tool! \r"
      "  Looking on COM4...\r"
      "\r"
      "\r\rEnd of search.\r";
  EXPECT_EQ(log.Text(), expected);
  const size_t red = expected.find("found");
  EXPECT_EQ(log.Runs(), (std::vector<TLogRun>{{0, clBlack}, {red, clRed}, {red + 16, clBlack}}));
  EXPECT_EQ(view.clears, 1);
  std::string marked = expected;
  marked.insert(red + 16, "</red>");
  marked.insert(red, "<red>");
  EXPECT_EQ(view.text, marked);
}

TEST(StatusLog, ClearEmptiesTextAndRunsButKeepsTheColour) {
  TStatusLog log;
  log.AddLine("x");
  EXPECT_EQ(log.Text(), "x\r");
  log.SetColour(clRed);
  log.Clear();
  EXPECT_EQ(log.Text(), "");
  EXPECT_TRUE(log.Runs().empty());
  log.AddLine("");  // an empty log gets no line break first
  EXPECT_EQ(log.Text(), "\r");
  log.Append("");  // nothing appended starts no run
  EXPECT_EQ(log.Runs(), (std::vector<TLogRun>{{0, clRed}}));
}

}  // namespace
