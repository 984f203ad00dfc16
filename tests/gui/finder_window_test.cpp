// The finder's Qt window in-process: its caption and look, a search started
// by a click on Start over simulated devices (the window live throughout,
// the log's text and its red run), the anchors after a resize, a close
// during a search, and the error report.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "finder/qt_main_window_qt.h"
#include "platform/comm.h"
#include "platform/message_loop.h"
#include "tests/gui/gui_helpers.h"

namespace {

using finder::TQtMainWindow;
using guitest::PortTable;

// The log's runs as the document holds them: text and colour, adjacent
// fragments of one colour joined.
std::vector<std::pair<std::string, QRgb>> ColourRuns(QTextDocument* doc) {
  std::vector<std::pair<std::string, QRgb>> runs;
  auto add = [&](const std::string& text, QRgb colour) {
    if (text.empty()) return;
    if (!runs.empty() && runs.back().second == colour) {
      runs.back().first += text;
    } else {
      runs.emplace_back(text, colour);
    }
  };
  for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
    if (block != doc->begin()) add("\n", runs.empty() ? qRgb(0, 0, 0) : runs.back().second);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      add(f.text().toStdString(), f.charFormat().foreground().color().rgb());
    }
  }
  return runs;
}

struct Box {
  std::string text;
  std::string caption;
  QMessageBox::Icon icon;
};

// Answers every message box with a click on its OK button, and keeps what
// it said.
class BoxClicker {
 public:
  BoxClicker()
      : answerer_(20, [this](QWidget* modal) {
          auto* box = dynamic_cast<QMessageBox*>(modal);
          if (box == nullptr) return;
          boxes.push_back(
              {box->text().toStdString(), box->windowTitle().toStdString(), box->icon()});
          QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }) {}
  std::vector<Box> boxes;

 private:
  guitest::ModalAnswerer answerer_;
};

// Counts the paint events a widget gets while `when` holds.
class PaintCounter : public QObject {
 public:
  PaintCounter(QWidget* w, std::function<bool()> when) : when_(std::move(when)) {
    w->installEventFilter(this);
  }
  int count = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && when_()) ++count;
    return false;
  }

 private:
  std::function<bool()> when_;
};

std::string Header(const std::vector<std::pair<int, std::string>>& ports) {
  std::string s = "= Retrieving list of available COM ports: =\n";
  for (const auto& [n, path] : ports)
    s += "   COM" + std::to_string(n) + " (" + path + ")\n";
  return s;
}
std::string Speed(int baud, const std::vector<std::string>& lines) {
  std::string s = "\n\n= Attempting to connect at " + std::to_string(baud) + " baud =\n";
  for (const std::string& l : lines)
    s += l + "\n";
  return s;
}
std::string Nothing(int n) {
  return "  Looking on COM" + std::to_string(n) + "...nothing";
}
std::string Found(int n) {
  return "  Looking on COM" + std::to_string(n) + "...found scan tool! ";
}
const char* const kEnd = "\n\nEnd of search.\n";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

elmsim::Options ScanTool(uint32_t baud) {
  elmsim::Options o;
  o.scanTool = true;
  o.baud = baud;
  return o;
}
elmsim::Options Interpreter(uint32_t baud) {
  elmsim::Options o;
  o.baud = baud;
  return o;
}

// What a shell command prints on stdout, and its exit status (-1 when it
// did not exit).
std::string ProgramOutput(const std::string& command, int& status) {
  std::string out;
  status = -1;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
    out.append(buffer, n);
  const int raw = ::pclose(pipe);
  if (WIFEXITED(raw)) status = WEXITSTATUS(raw);
  return out;
}

TEST(FinderWindow, CaptionLayoutAndLookAsDesigned) {
  TQtMainWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // This test program has no version record; the window program has.
  EXPECT_EQ(w.windowTitle().toStdString(), "Kelvane Finder ");
  EXPECT_EQ(w.size(), QSize(319, 421));
  EXPECT_EQ(w.StatusLogEdit()->geometry(), QRect(8, 8, 303, 345));
  EXPECT_EQ(w.StartButton()->geometry(), QRect(127, 358, 75, 25));
  EXPECT_EQ(w.NoticeLabel()->geometry(), QRect(0, 400, 321, 13));
  EXPECT_EQ(w.StartButton()->text().toStdString(), "Start");
  EXPECT_EQ(w.NoticeLabel()->text().toStdString(), finder::kNoticeText);
  EXPECT_TRUE(w.NoticeLabel()->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_EQ(w.palette().color(QPalette::Window), w.palette().color(QPalette::Button));
  QTextEdit* log = w.StatusLogEdit();
  EXPECT_TRUE(log->isReadOnly());
  EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  // Typing into the log changes nothing.
  log->setFocus();
  QTest::keyClicks(log, "typed");
  EXPECT_TRUE(log->toPlainText().isEmpty());
  // Tab order: the log, then Start, then round again.
  QApplication::setActiveWindow(&w);
  log->setFocus();
  QTest::keyClick(&w, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), w.StartButton());
  QTest::keyClick(&w, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), log);

  // The window program itself reads its version into the caption.
  const char* program = std::getenv("SIO_GUI_FINDER");
  if (program == nullptr) GTEST_SKIP() << "SIO_GUI_FINDER names no window program";
  int status = -1;
  const std::string out =
      ProgramOutput(std::string("QT_QPA_PLATFORM=offscreen '") + program + "' --version", status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "Kelvane Finder 1.2.0.0\n");
}

// Answered without a display, as the headless program answers; Qt's own
// options are not taken for unknown ones. What status 2 says is on stderr.
TEST(FinderWindow, TheProgramAnswersItsOptionsWithoutADisplay) {
  const char* program = std::getenv("SIO_GUI_FINDER");
  if (program == nullptr) GTEST_SKIP() << "SIO_GUI_FINDER names no window program";
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"--version", 0, "Kelvane Finder 1.2.0.0\n"},
      {"-style Fusion --platform=xcb --version", 0, "Kelvane Finder 1.2.0.0\n"},
      {"--help", 0, "usage: kelvane-finder "},
      {"--bogus --version", 2, "kelvane-finder: unknown option --bogus\nusage: "},
      {"COM5", 2, "kelvane-finder: unexpected argument COM5\nusage: "},
      {"--version -style", 2, "kelvane-finder: -style needs a value\nusage: "},
  };
  for (const auto& [args, want, text] : cases) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                                std::string(program) + "' " + args +
                                (want == 0 ? " 2>/dev/null" : " 2>&1 >/dev/null");
    int status = -1;
    const std::string out = ProgramOutput(command, status);
    EXPECT_EQ(status, want) << args;
    EXPECT_EQ(out.substr(0, text.size()), text) << args;
  }
}

TEST(FinderWindow, AClickOnStartSearchesTheDevicesWithTheWindowLiveThroughout) {
  std::string error;
  auto tool = guitest::StartSim(ScanTool(38400), error);
  ASSERT_TRUE(tool) << error;
  auto interpreter = guitest::StartSim(Interpreter(9600), error);
  ASSERT_TRUE(interpreter) << error;
  const std::string missing = "/nonexistent/kelvane-gui-tty";
  PortTable table("5=" + tool->SlavePath() + ",6=" + interpreter->SlavePath() + ",7=" + missing);

  TQtMainWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  QTextEdit* log = w.StatusLogEdit();
  BoxClicker clicker;
  PaintCounter paints(log->viewport(), [&] { return w.Form().Searching(); });

  // A user who, while the search runs, clicks into the log, selects its
  // first characters, picks another colour at the caret and presses Start
  // again; and a timer that looks at the button.
  int samples = 0;
  int enabledSamples = 0;
  bool meddled = false;
  QTimer sampler;
  sampler.setInterval(15);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (!w.Form().Searching()) return;
    ++samples;
    if (w.StartButton()->isEnabled()) ++enabledSamples;
    if (!meddled && log->toPlainText().contains(QStringLiteral("Looking on COM5"))) {
      meddled = true;
      QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, QPoint(4, 4));
      QTextCursor c(log->document());
      c.setPosition(3);
      log->setTextCursor(c);
      log->setTextColor(Qt::blue);
      c.setPosition(0);
      c.setPosition(5, QTextCursor::KeepAnchor);
      log->setTextCursor(c);
      QTest::mouseClick(w.StartButton(), Qt::LeftButton);
    }
  });
  sampler.start();

  QTest::mouseClick(w.StartButton(), Qt::LeftButton);
  sampler.stop();

  const std::vector<std::pair<int, std::string>> ports{
      {5, tool->SlavePath()}, {6, interpreter->SlavePath()}, {7, missing}};
  const std::string expected = Header(ports) + Speed(115200, {Nothing(5), Nothing(6), Nothing(7)}) +
                               Speed(38400, {Found(5), Nothing(6), Nothing(7)}) +
                               Speed(9600, {Nothing(5), Nothing(6), Nothing(7)}) + kEnd;
  const std::string text = log->toPlainText().toStdString();
  EXPECT_EQ(text, expected);
  EXPECT_EQ(Count(text, "End of search."), 1u) << "one search only";

  // One red run, pure red, black before and after it.
  const size_t red = expected.find("found scan tool!");
  const auto runs = ColourRuns(log->document());
  const std::vector<std::pair<std::string, QRgb>> expectedRuns{
      {expected.substr(0, red), qRgb(0, 0, 0)},
      {"found scan tool!", qRgb(255, 0, 0)},
      {expected.substr(red + 16), qRgb(0, 0, 0)}};
  EXPECT_EQ(runs, expectedRuns);

  // The window stayed live: the timer ran inside the search's waits, Start
  // was disabled whenever it looked, the log repainted, the user's meddling
  // went nowhere, and the boxes of the missing port were shown and answered.
  EXPECT_TRUE(meddled);
  EXPECT_GT(samples, 20);
  EXPECT_EQ(enabledSamples, 0);
  EXPECT_GT(paints.count, 0);
  EXPECT_TRUE(w.StartButton()->isEnabled());
  EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
  std::vector<std::string> boxTexts;
  for (const Box& b : clicker.boxes) {
    boxTexts.push_back(b.text);
    EXPECT_EQ(b.caption, "Kelvane Finder");
    EXPECT_EQ(b.icon, QMessageBox::NoIcon);
  }
  std::vector<std::string> expectedBoxes;
  for (int speed = 0; speed < 3; ++speed) {
    expectedBoxes.push_back("Unable to open. Specified COM port does not exist");
    for (int step = 0; step < 3; ++step)
      expectedBoxes.push_back("COM Port Closed");
  }
  EXPECT_EQ(boxTexts, expectedBoxes);
  // The bare interpreter got its identifier once; the scan tool none.
  EXPECT_EQ(Count(interpreter->ReceivedText(), "AT@3 ELM327_CLONE\r"), 1u);
  EXPECT_EQ(Count(tool->ReceivedText(), "AT@3"), 0u);
  EXPECT_FALSE(w.Form().SioComPort()->GetOpen());
}

TEST(FinderWindow, AnchorsKeepTheControlsInPlaceOnAResize) {
  TQtMainWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  struct Case {
    QSize client;
    QRect log;
    QRect start;
    QRect label;
  };
  // The button's centre stays at 164.5/319 of the width.
  const Case cases[] = {
      {{500, 600}, {8, 8, 484, 524}, {220, 537, 75, 25}, {0, 579, 502, 13}},
      {{640, 480}, {8, 8, 624, 404}, {293, 417, 75, 25}, {0, 459, 642, 13}},
      {{250, 300}, {8, 8, 234, 224}, {91, 237, 75, 25}, {0, 279, 252, 13}},
      {{319, 421}, {8, 8, 303, 345}, {127, 358, 75, 25}, {0, 400, 321, 13}},
      // Below the minimum: held at 200 x 150, everything whole and apart.
      {{60, 40}, {8, 8, 184, 74}, {66, 87, 75, 25}, {0, 129, 202, 13}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.client.width()) + "x" + std::to_string(c.client.height()));
    w.resize(c.client);
    QApplication::processEvents();
    EXPECT_EQ(w.size(), c.client.expandedTo(QSize(200, 150)));
    EXPECT_EQ(w.StatusLogEdit()->geometry(), c.log);
    EXPECT_EQ(w.StartButton()->geometry(), c.start);
    EXPECT_EQ(w.NoticeLabel()->geometry(), c.label);
    EXPECT_LT(c.log.bottom(), c.start.top());
    EXPECT_LT(c.start.bottom(), c.label.top());
    EXPECT_LE(c.label.bottom(), w.height() - 1);
  }
}

TEST(FinderWindow, ClosingTheWindowDuringASearchLetsItRunOutAndThenCloses) {
  std::string error;
  auto tool = guitest::StartSim(ScanTool(38400), error);
  ASSERT_TRUE(tool) << error;
  auto interpreter = guitest::StartSim(Interpreter(9600), error);
  ASSERT_TRUE(interpreter) << error;
  PortTable table("5=" + tool->SlavePath() + ",6=" + interpreter->SlavePath());

  TQtMainWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // The form's own hidden windows are there (and what earlier forms left to
  // be freed through our queue is gone); a port's comes and goes.
  const size_t windows = sio::platform::HiddenWindowCount();
  // The close box, pressed once the first probe waits.
  bool closedWhileSearching = false;
  QTimer closer;
  closer.setInterval(20);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (closedWhileSearching || !w.Form().Searching()) return;
    if (!w.StatusLogEdit()->toPlainText().contains(QStringLiteral("Looking on COM5."))) return;
    closedWhileSearching = true;
    EXPECT_FALSE(w.close()) << "the window closed under the search";
    EXPECT_TRUE(w.isVisible());
  });
  closer.start();
  QTest::mouseClick(w.StartButton(), Qt::LeftButton);
  closer.stop();

  ASSERT_TRUE(closedWhileSearching);
  EXPECT_TRUE(w.CloseRequested());
  EXPECT_FALSE(w.Form().Searching());
  EXPECT_FALSE(w.isVisible()) << "closed once the search ended";
  EXPECT_FALSE(w.Form().SioComPort()->GetOpen());
  const std::string text = w.StatusLogEdit()->toPlainText().toStdString();
  EXPECT_TRUE(text.ends_with(kEnd)) << text;
  EXPECT_EQ(sio::platform::HiddenWindowCount(), windows) << "a port's window left behind";
  // The quit request is still there for the main loop to end the program.
  sio::platform::Message m;
  bool quit = false;
  while (sio::platform::PeekOneMessage(m)) {
    if (m.message == sio::platform::kMsgQuit && m.hwnd == nullptr) {
      quit = true;
      break;
    }
    sio::platform::TranslateAndDispatch(m);
  }
  EXPECT_TRUE(quit);
}

TEST(FinderWindow, AnExceptionThatEndsTheSearchIsReportedInAnErrorBox) {
  std::string error;
  auto tool = guitest::StartSim(ScanTool(38400), error);
  ASSERT_TRUE(tool) << error;
  sio::platform::CommDevice holder;  // another program holds the port
  ASSERT_EQ(holder.Open(tool->SlavePath()), 0u);
  PortTable table("5=" + tool->SlavePath());

  TQtMainWindow w;
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  BoxClicker clicker;
  QTest::mouseClick(w.StartButton(), Qt::LeftButton);
  ASSERT_EQ(clicker.boxes.size(), 1u);
  EXPECT_EQ(clicker.boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(clicker.boxes[0].caption, "Kelvane Finder");
  EXPECT_FALSE(clicker.boxes[0].text.empty());
  EXPECT_TRUE(w.StartButton()->isEnabled());
  const std::string text = w.StatusLogEdit()->toPlainText().toStdString();
  EXPECT_EQ(text.find("End of search."), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("Looking on COM5")) << text;
}

}  // namespace
