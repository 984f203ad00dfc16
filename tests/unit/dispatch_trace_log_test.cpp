// The trace ring and the dispatch log of a dispatcher, and the text files
// both are written to, checked byte for byte against real files.
#include "serial/dispatch/trace_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_output.h"
#include "platform/local_time.h"
#include "platform/sync.h"
#include "serial/support/error_codes.h"
#include "serial/support/ticks.h"

namespace fs = std::filesystem;

namespace {

using sio::TLogBuffer;
using sio::TraceEntry;
using sio::TSioTraceLog;

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The golden files live in the source tree. A Windows build run under Wine
// sees the Unix root as drive Z:.
fs::path DataFile(const std::string& name) {
  const std::string dir = SIO_TEST_DATA_DIR;
  fs::path path = fs::path(dir) / name;
  if (!fs::exists(path) && !dir.empty() && dir[0] == '/') path = fs::path("Z:" + dir) / name;
  return path;
}

// A fresh directory per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            (std::string("sio_trace_log_") + info->test_suite_name() + "_" + info->name() + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class TraceLogTest : public ::testing::Test {
 protected:
  void AddText(char kind, const std::string& text) {
    for (char c : text)
      log.AddTraceByte(kind, static_cast<uint8_t>(c));
  }

  // An entry with a chosen time, straight onto the queue, so that the file
  // rows do not depend on the clock.
  void Queue(uint32_t time, int32_t type, int32_t subType, uint32_t data,
             const std::string& bytes = std::string()) {
    log.LogQueue().Append(new TLogBuffer(type, subType, time, data, bytes.data(),
                                         static_cast<int32_t>(bytes.size())));
  }

  std::string DumpTrace(bool inHex, bool allHex) {
    const fs::path file = dir / "dump.trc";
    fs::remove(file);
    EXPECT_EQ(0, log.WriteTraceFile(file.string(), inHex, allHex));
    return ReadWholeFile(file);
  }

  // The rows only: the seven header lines cut off.
  std::string DumpLogRows(bool inHex, bool allHex) {
    const fs::path file = dir / "dump.log";
    fs::remove(file);
    EXPECT_EQ(0, log.WriteDispatchLogFile(file.string(), inHex, allHex));
    std::string text = ReadWholeFile(file);
    std::size_t pos = 0;
    for (int line = 0; line < 7 && pos != std::string::npos; ++line) {
      pos = text.find("\r\n", pos);
      if (pos != std::string::npos) pos += 2;
    }
    return pos == std::string::npos ? std::string() : text.substr(pos);
  }

  static sio::TLogHeaderTexts FixedHeader() {
    return sio::TLogHeaderTexts{"Test C++ 1.0", "TestOS 1.2 build 7", "09/12/26, 07:54:34"};
  }

  sio::platform::CriticalSection dataSection;
  TSioTraceLog log{dataSection};
  ScratchDir dir;
};

// The four groups share one fixture.
class TraceRingTest : public TraceLogTest {};
class TraceFile : public TraceLogTest {};
class DispatchLog : public TraceLogTest {};
class DispatchLogFile : public TraceLogTest {};

// --- The ring ---

TEST_F(TraceRingTest, OpenTraceBufferRejectsMoreThanFourMillionEntriesAndChangesNothing) {
  EXPECT_EQ(sio::ecBadArgument, log.OpenTraceBuffer(4000001));
  EXPECT_FALSE(log.HasTraceBuffer());
  EXPECT_FALSE(log.TracingOn());
  EXPECT_EQ(0u, log.Size());

  ASSERT_EQ(0, log.OpenTraceBuffer(4000000));
  EXPECT_TRUE(log.HasTraceBuffer());
  EXPECT_TRUE(log.TracingOn());
  EXPECT_EQ(4000000u, log.Size());
  EXPECT_EQ(0u, log.Head());
  EXPECT_FALSE(log.Wrapped());
  // Zero-filled from end to end.
  for (uint32_t index : {0u, 1u, 1999999u, 3999999u}) {
    const TraceEntry entry = log.Entry(index);
    EXPECT_EQ(0, entry.Kind) << index;
    EXPECT_EQ(0, entry.Value) << index;
  }
  // An existing buffer is emptied whatever size is asked for, even a bad one.
  log.AddTraceByte('T', 1);
  EXPECT_EQ(0, log.OpenTraceBuffer(4000001));
  EXPECT_EQ(4000000u, log.Size());
  EXPECT_EQ(0u, log.Head());
}

TEST_F(TraceRingTest, ReopeningKeepsTheSizeAndEmptiesTheBuffer) {
  ASSERT_EQ(0, log.OpenTraceBuffer(10000));
  AddText('R', "hello");
  log.PauseTracing();
  ASSERT_EQ(0, log.OpenTraceBuffer(50));
  EXPECT_EQ(10000u, log.Size());
  EXPECT_EQ(0u, log.Head());
  EXPECT_FALSE(log.Wrapped());
  EXPECT_TRUE(log.TracingOn());
}

TEST_F(TraceRingTest, RingWrapsToTheStartAndKeepsTheNewestEntries) {
  ASSERT_EQ(0, log.OpenTraceBuffer(3));
  log.AddTraceByte('T', 'a');
  log.AddTraceByte('T', 'b');
  EXPECT_FALSE(log.Wrapped());
  EXPECT_EQ(2u, log.Head());
  log.AddTraceByte('R', 'c');
  EXPECT_TRUE(log.Wrapped());
  EXPECT_EQ(0u, log.Head());
  log.AddTraceByte('R', 'd');
  EXPECT_EQ(1u, log.Head());
  EXPECT_EQ('d', log.Entry(0).Value);
  EXPECT_EQ('R', log.Entry(0).Kind);
  EXPECT_EQ('b', log.Entry(1).Value);
  // Oldest first: b, then c and d.
  EXPECT_EQ("Transmit: \r\nb\r\n\r\nReceive: \r\ncd", DumpTrace(false, false));
}

TEST_F(TraceRingTest, StatesOfTracing) {
  // Without a buffer nothing is recorded and nothing turns tracing on.
  log.AddTraceByte('R', 'x');
  log.ResumeTracing();
  EXPECT_FALSE(log.TracingOn());
  EXPECT_FALSE(log.HasTraceBuffer());

  ASSERT_EQ(0, log.OpenTraceBuffer(8));
  AddText('R', "abc");
  log.PauseTracing();
  EXPECT_FALSE(log.TracingOn());
  EXPECT_EQ(3u, log.Head());  // the buffer stays
  log.ResumeTracing();
  EXPECT_TRUE(log.TracingOn());

  EXPECT_EQ(0, log.ResetTraceBuffer());
  EXPECT_EQ(0u, log.Head());
  EXPECT_TRUE(log.TracingOn());
  EXPECT_EQ(8u, log.Size());

  log.FreeTraceBuffer();
  EXPECT_FALSE(log.TracingOn());
  EXPECT_FALSE(log.HasTraceBuffer());
  EXPECT_EQ(0u, log.Size());
  log.AddTraceByte('R', 'x');  // no buffer: must not touch released storage
}

TEST_F(TraceRingTest, TraceOfNoEntriesRecordsNothingAndWritesNothing) {
  ASSERT_EQ(0, log.OpenTraceBuffer(0));
  AddText('T', "abc");
  AddText('R', "def");
  const fs::path file = dir / "none.trc";
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), false, false));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(TraceRingTest, TraceBlockRecordsEveryByteInOrder) {
  ASSERT_EQ(0, log.OpenTraceBuffer(16));
  const uint8_t bytes[] = {'O', 'K', 13};
  log.AddTraceBlock('R', bytes, 3);
  log.AddTraceBlock('R', nullptr, 5);
  log.AddTraceBlock('R', bytes, -1);
  EXPECT_EQ(3u, log.Head());
  EXPECT_EQ("Receive: \r\nOK[13]", DumpTrace(false, false));
}

// --- The trace file ---

TEST_F(TraceFile, TraceFileMatchesTheExampleByteForByte) {
  ASSERT_EQ(0, log.OpenTraceBuffer(100));
  AddText('T', "AT@1\r");
  AddText('R', "OK\r>");
  const std::string golden = ReadWholeFile(DataFile("trace_example.trc"));
  ASSERT_FALSE(golden.empty()) << DataFile("trace_example.trc");
  EXPECT_EQ(golden, DumpTrace(false, false));
}

TEST_F(TraceFile, EmptyTraceCreatesNoFileAndLeavesAnExistingOneAlone) {
  const fs::path file = dir / "SIO.TRC";
  // No buffer at all.
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), false, false));
  EXPECT_FALSE(fs::exists(file));

  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), false, false));
  EXPECT_FALSE(fs::exists(file));

  WriteWholeFile(file, "keep me");
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), true, false));
  EXPECT_EQ(0, log.AppendTraceFile(file.string(), true, false));
  EXPECT_EQ("keep me", ReadWholeFile(file));
}

TEST_F(TraceFile, HundredBytesMakeLinesOfSeventyEightAndNoFinalBreak) {
  ASSERT_EQ(0, log.OpenTraceBuffer(1000));
  std::string data;
  for (int i = 0; i < 100; ++i)
    data += static_cast<char>('A' + i % 26);
  AddText('R', data);
  EXPECT_EQ("Receive: \r\n" + data.substr(0, 78) + "\r\n" + data.substr(78),
            DumpTrace(false, false));
}

TEST_F(TraceFile, WideItemsBreakBeforeTheSeventyEightColumnEdge) {
  ASSERT_EQ(0, log.OpenTraceBuffer(1000));
  // InHex: nineteen "[0D]" fill 76 columns; two more characters fit exactly.
  AddText('T', std::string(19, '\r') + "abc");
  EXPECT_EQ(
      "Transmit: \r\n" +
          [] {
            std::string s;
            for (int i = 0; i < 19; ++i)
              s += "[0D]";
            return s;
          }() +
          "ab\r\nc",
      DumpTrace(true, false));

  // 77 columns, then a four-wide item does not fit: it starts the next line
  // and counts 4 there.
  AddText('T', std::string(77, 'x') + "\r" + std::string(74, 'y') + "z");
  EXPECT_EQ("Transmit: \r\n" + std::string(77, 'x') + "\r\n[0D]" + std::string(74, 'y') + "\r\nz",
            DumpTrace(true, false));

  // Decimal widths: 3 below 10, 4 below 100, 5 from 100.
  AddText('R', std::string(74, 'x') + std::string(1, '\x07') + "ab");
  EXPECT_EQ("Receive: \r\n" + std::string(74, 'x') + "[7]a\r\nb", DumpTrace(false, false));
  AddText('R', std::string(74, 'x') + std::string(1, static_cast<char>(200)));
  EXPECT_EQ("Receive: \r\n" + std::string(74, 'x') + "\r\n[200]", DumpTrace(false, false));
}

TEST_F(TraceFile, DataBytesRenderByTheHexRules) {
  struct Case {
    uint8_t value;
    bool inHex;
    bool allHex;
    const char* text;
    int32_t width;
  };
  const Case cases[] = {
      {13, false, false, "[13]", 4},   {13, true, false, "[0D]", 4},
      {13, false, true, "[0D]", 4},    {' ', false, false, " ", 1},
      {' ', true, false, "[20]", 4},   {' ', false, true, "[20]", 4},
      {200, false, false, "[200]", 5}, {200, true, false, "[C8]", 4},
      {0, false, false, "[0]", 3},     {9, false, false, "[9]", 3},
      {10, false, false, "[10]", 4},   {99, false, true, "[63]", 4},
      {'!', true, false, "!", 1},      {'~', true, false, "~", 1},
      {127, false, false, "[127]", 5}, {127, true, false, "[7F]", 4},
      {'a', false, true, "[61]", 4},   {255, true, true, "[FF]", 4},
  };
  for (const Case& c : cases) {
    std::string out = "<";
    EXPECT_EQ(c.width, sio::RenderDataByte(out, c.value, c.inHex, c.allHex))
        << int(c.value) << " inHex=" << c.inHex << " allHex=" << c.allHex;
    EXPECT_EQ(std::string("<") + c.text, out)
        << int(c.value) << " inHex=" << c.inHex << " allHex=" << c.allHex;
  }
}

TEST_F(TraceFile, OtherKindsAreWrittenAsSpecialHeadings) {
  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('X', "1");
  AddText('R', "2");
  AddText('R', "3");
  AddText('X', "4");
  EXPECT_EQ("Special-X: \r\n1\r\n\r\nReceive: \r\n23\r\n\r\nSpecial-X: \r\n4",
            DumpTrace(false, false));
}

TEST_F(TraceFile, DumpEmptiesTheBufferAndLeavesTracingOn) {
  ASSERT_EQ(0, log.OpenTraceBuffer(4));
  AddText('T', "abcdef");  // wrapped
  log.PauseTracing();
  EXPECT_EQ("Transmit: \r\ncdef", DumpTrace(false, false));
  EXPECT_TRUE(log.TracingOn());
  EXPECT_EQ(0u, log.Head());
  EXPECT_FALSE(log.Wrapped());
  EXPECT_EQ(4u, log.Size());
  // A second dump has nothing to write.
  const fs::path file = dir / "second.trc";
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), false, false));
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(TraceFile, WriteReplacesAndAppendAddsOrCreates) {
  const fs::path file = dir / "SIO.TRC";
  WriteWholeFile(file, "old content that is longer than the trace");
  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('R', "one");
  EXPECT_EQ(0, log.WriteTraceFile(file.string(), false, false));
  EXPECT_EQ("Receive: \r\none", ReadWholeFile(file));

  AddText('T', "two");
  EXPECT_EQ(0, log.AppendTraceFile(file.string(), false, false));
  EXPECT_EQ("Receive: \r\noneTransmit: \r\ntwo", ReadWholeFile(file));

  const fs::path fresh = dir / "fresh.trc";
  AddText('T', "3");
  EXPECT_EQ(0, log.AppendTraceFile(fresh.string(), false, false));
  EXPECT_EQ("Transmit: \r\n3", ReadWholeFile(fresh));
}

TEST_F(TraceFile, AppendKeepsAnExistingFileWhoseNameIsNotAscii) {
  // 0x80 is the euro sign in the Western Windows code page. The file is made
  // and read back through the narrow name the trace itself is given.
  const std::string name = (dir / "trace").string() + "\x80.trc";
  {
    sio::platform::OutputFile earlier;
    ASSERT_EQ(0u, earlier.Create(name.c_str()));
    ASSERT_EQ(0u, earlier.Write("kept", 4));
  }
  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('T', "new");
  EXPECT_EQ(0, log.AppendTraceFile(name, false, false));
  std::string text;
  if (std::FILE* in = std::fopen(name.c_str(), "rb")) {
    char chunk[64];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
      text.append(chunk, n);
    std::fclose(in);
  }
  EXPECT_EQ("keptTransmit: \r\nnew", text);
}

TEST_F(TraceFile, TraceFileThatCannotBeOpenedLosesTheTrace) {
  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('R', "lost");
  // A directory in place of the file: access denied.
  EXPECT_EQ(sio::ecAccessDenied, log.WriteTraceFile(dir.path().string(), false, false));
  EXPECT_FALSE(log.HasTraceBuffer());
  EXPECT_FALSE(log.TracingOn());

  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('R', "lost");
  const fs::path missing = dir / "no such dir" / "SIO.TRC";
  EXPECT_EQ(sio::ecPathNotFound, log.AppendTraceFile(missing.string(), false, false));
  EXPECT_FALSE(log.HasTraceBuffer());
  EXPECT_FALSE(fs::exists(missing));
}

TEST_F(TraceFile, TraceDumpWaitsForTheDataSection) {
  ASSERT_EQ(0, log.OpenTraceBuffer(100));
  AddText('R', "x");
  std::atomic<bool> done{false};
  int32_t result = 1;
  dataSection.Enter();
  std::thread writer([&] {
    result = log.WriteTraceFile((dir / "held.trc").string(), false, false);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(110));
  EXPECT_FALSE(done.load());
  EXPECT_FALSE(fs::exists(dir / "held.trc"));
  dataSection.Leave();
  writer.join();
  EXPECT_EQ(0, result);
  EXPECT_EQ("Receive: \r\nx", ReadWholeFile(dir / "held.trc"));
}

TEST_F(TraceFile, BytesAddedDuringDumpsAreNeitherLostNorDoubled) {
  ASSERT_EQ(0, log.OpenTraceBuffer(1000000));
  constexpr int kThreads = 3;
  constexpr int kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kPerThread; ++i)
        log.AddTraceByte('R', 'x');
    });
  }
  std::size_t seen = 0;
  auto countDump = [&](const fs::path& file) {
    const std::string text = ReadWholeFile(file);
    for (char c : text) {
      if (c == 'x') ++seen;
    }
  };
  for (int round = 0; round < 20; ++round) {
    const fs::path file = dir / ("round" + std::to_string(round) + ".trc");
    ASSERT_EQ(0, log.WriteTraceFile(file.string(), false, false));
    if (fs::exists(file)) countDump(file);
  }
  for (auto& t : threads)
    t.join();
  const fs::path last = dir / "last.trc";
  ASSERT_EQ(0, log.WriteTraceFile(last.string(), false, false));
  if (fs::exists(last)) countDump(last);
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), seen);
}

TEST_F(TraceFile, WriteFailureIsReportedAndTheBuffersAreEmptied) {
  const fs::path full = "/dev/full";
  if (!fs::exists(full)) GTEST_SKIP() << "no /dev/full on this host";
  constexpr int32_t kDiskFull = -112;

  ASSERT_EQ(0, log.OpenTraceBuffer(10));
  AddText('R', "abc");
  EXPECT_EQ(kDiskFull, log.WriteTraceFile(full.string(), false, false));
  EXPECT_TRUE(log.HasTraceBuffer());
  EXPECT_TRUE(log.TracingOn());
  EXPECT_EQ(0u, log.Head());

  Queue(1, 1, 1, 3, "abc");
  EXPECT_EQ(kDiskFull, log.WriteDispatchLogFile(full.string(), false, false));
  EXPECT_EQ(0, log.LogQueue().Count());
}

// --- The dispatch log ---

TEST_F(DispatchLog, LoggingStates) {
  log.LogDispatchEvent(1, 2, 3, "abc", 3);
  EXPECT_EQ(0, log.LogQueue().Count());  // off: nothing

  log.OpenDispatchLog(0);
  EXPECT_TRUE(log.LoggingOn());
  log.LogDispatchEvent(1, 2, 3, "abc", 3);
  log.LogDispatchEvent(2, 5, 1, nullptr, 0);
  EXPECT_EQ(2, log.LogQueue().Count());
  EXPECT_EQ(3, log.LogQueue().QueuedBytes());

  log.PauseDispatchLog();
  EXPECT_FALSE(log.LoggingOn());
  log.LogDispatchEvent(1, 2, 3, "abc", 3);
  EXPECT_EQ(2, log.LogQueue().Count());

  log.ResumeDispatchLog();
  EXPECT_TRUE(log.LoggingOn());
  EXPECT_EQ(2, log.LogQueue().Count());

  log.OpenDispatchLog(100);  // empties
  EXPECT_EQ(0, log.LogQueue().Count());
  EXPECT_EQ(100u, log.LogSize());

  log.LogDispatchEvent(1, 2, 3, "abc", 3);
  log.ClearDispatchLog();
  EXPECT_EQ(0, log.LogQueue().Count());
  EXPECT_TRUE(log.LoggingOn());

  log.LogDispatchEvent(1, 2, 3, "abc", 3);
  log.CloseDispatchLog();
  EXPECT_FALSE(log.LoggingOn());
  EXPECT_EQ(0, log.LogQueue().Count());
  EXPECT_EQ(0, log.LogQueue().QueuedBytes());
}

TEST_F(DispatchLog, LogEntryCopiesItsFieldsAndItsBytes) {
  log.OpenDispatchLog(0);
  char bytes[] = "AT@1\r";
  log.LogDispatchEvent(0x101, 0x10002, 5, bytes, 5);
  bytes[0] = 'Z';                             // the caller's buffer may change at once
  log.LogDispatchEvent(1, 2, 0, nullptr, 7);  // no buffer: no bytes
  auto* entry = dynamic_cast<TLogBuffer*>(log.LogQueue().RemoveFirst());
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(1, entry->Type);     // eight bits
  EXPECT_EQ(2, entry->SubType);  // sixteen bits
  EXPECT_EQ(5u, entry->Data);
  ASSERT_EQ(5, entry->DataSize);
  EXPECT_EQ("AT@1\r", std::string(reinterpret_cast<char*>(entry->Buffer), 5));
  delete entry;
  entry = dynamic_cast<TLogBuffer*>(log.LogQueue().RemoveFirst());
  ASSERT_NE(nullptr, entry);
  EXPECT_EQ(0, entry->DataSize);
  EXPECT_EQ(nullptr, entry->Buffer);
  delete entry;
}

TEST_F(DispatchLog, LogTimesCountFromTheOpenTime) {
  const uint32_t opened = sio::MillisecondClock();
  log.SetOpenTime(opened);
  EXPECT_EQ(opened, log.OpenTime());
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  log.OpenDispatchLog(0);
  log.LogDispatchEvent(1, 1, 0, nullptr, 0);
  const uint32_t after = log.ElapsedSinceOpen();
  auto* entry = dynamic_cast<TLogBuffer*>(log.LogQueue().RemoveFirst());
  ASSERT_NE(nullptr, entry);
  EXPECT_GE(entry->Time, 120u);
  EXPECT_LE(entry->Time, after);
  EXPECT_LT(entry->Time, 120u + 10000u);
  delete entry;

  // An open time a second back, wrapped below zero when the clock is young.
  log.SetOpenTime(sio::MillisecondClock() - 1000u);
  EXPECT_GE(log.ElapsedSinceOpen(), 1000u);
  EXPECT_LT(log.ElapsedSinceOpen(), 1000u + 10000u);
}

TEST_F(DispatchLog, LogSizeTrimsOldestEntriesBeforeAdding) {
  log.OpenDispatchLog(10);
  log.LogDispatchEvent(1, 1, 1, "111111", 6);
  EXPECT_EQ(6, log.LogQueue().QueuedBytes());
  log.LogDispatchEvent(1, 1, 2, "222222", 6);
  EXPECT_EQ(12, log.LogQueue().QueuedBytes());
  log.LogDispatchEvent(1, 1, 3, "333333", 6);
  EXPECT_EQ(12, log.LogQueue().QueuedBytes());
  EXPECT_EQ(2, log.LogQueue().Count());
  const std::string rows = DumpLogRows(false, false);
  EXPECT_EQ(std::string::npos, rows.find("111111"));
  EXPECT_NE(std::string::npos, rows.find("00000002  222222\r\n"));
  EXPECT_NE(std::string::npos, rows.find("00000003  333333\r\n"));

  // The newest entry always gets in whole, however large.
  log.LogDispatchEvent(1, 1, 4, std::string(50, 'b').data(), 50);
  EXPECT_EQ(50, log.LogQueue().QueuedBytes());
  log.LogDispatchEvent(1, 1, 5, "c", 1);
  EXPECT_EQ(1, log.LogQueue().QueuedBytes());
  EXPECT_EQ(1, log.LogQueue().Count());

  // Exactly at the limit is not over it.
  log.OpenDispatchLog(12);
  log.LogDispatchEvent(1, 1, 1, "111111", 6);
  log.LogDispatchEvent(1, 1, 2, "222222", 6);
  log.LogDispatchEvent(1, 1, 3, "333333", 6);
  EXPECT_EQ(18, log.LogQueue().QueuedBytes());
  EXPECT_EQ(3, log.LogQueue().Count());
}

TEST_F(DispatchLog, EntriesWithoutDataNeverCountTowardTheLimit) {
  log.OpenDispatchLog(5);
  for (int i = 0; i < 10; ++i)
    log.LogDispatchEvent(2, 5, static_cast<uint32_t>(i), nullptr, 0);
  EXPECT_EQ(10, log.LogQueue().Count());
  EXPECT_EQ(0, log.LogQueue().QueuedBytes());
  // Data beyond the limit trims oldest first, data or not, until it fits.
  log.LogDispatchEvent(1, 1, 0, "123456", 6);
  log.LogDispatchEvent(1, 1, 0, "x", 1);
  EXPECT_EQ(1, log.LogQueue().Count());
  EXPECT_EQ(1, log.LogQueue().QueuedBytes());

  // No limit: everything stays.
  log.OpenDispatchLog(0);
  for (int i = 0; i < 100; ++i)
    log.LogDispatchEvent(1, 1, 0, "0123456789", 10);
  EXPECT_EQ(100, log.LogQueue().Count());
  EXPECT_EQ(1000, log.LogQueue().QueuedBytes());
}

TEST_F(DispatchLog, SizeLimitHoldsWhileThreadsLogAtOnce) {
  log.OpenDispatchLog(100);
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 5000; ++i)
        log.LogDispatchEvent(1, 1, 7, "0123456789", 10);
    });
  }
  for (auto& t : threads)
    t.join();
  // Each thread may add its entry after trimming: at most one entry each
  // beyond the limit.
  EXPECT_GT(log.LogQueue().Count(), 0);
  EXPECT_LE(log.LogQueue().QueuedBytes(), 100 + kThreads * 10);
  EXPECT_EQ(log.LogQueue().QueuedBytes(), log.LogQueue().Count() * 10);
}

// --- The dispatch log file ---

TEST_F(DispatchLogFile, LogFileMatchesTheExampleByteForByte) {
  log.SetLogHeaderTextsSource(&FixedHeader);
  log.SetDeviceName("COM3");
  Queue(150, 1, 2, 5, "AT@1\r");
  Queue(151, 2, 5, 1);
  Queue(1234, 1, 1, 40, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn");
  Queue(2000, 1, 1, 32, std::string(31, 'x') + "\r");
  Queue(12345678, 6, 15, 0x18, std::string(1, '\x02'));
  Queue(12345679, 6, 15, 0x20, std::string(1, '\x09'));
  Queue(3000, 10, 0, 1);
  Queue(3001, 10, 0, 43);
  Queue(3002, 2, 4, 0x11, "1");
  Queue(3003, 2, 4, 0, "A");
  Queue(4000, 18, 247, 0, "Packet:KelvaneMatcher");
  Queue(4001, 18, 252, 0);
  Queue(5000, 1, 1, 6, std::string("\x00\x09\x7F\xC8 !", 6));
  Queue(6000, 19, 0, 0, "hi\r");

  const fs::path file = dir / "SIO.LOG";
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  const std::string golden = ReadWholeFile(DataFile("dispatch_log_example.log"));
  ASSERT_FALSE(golden.empty()) << DataFile("dispatch_log_example.log");
  EXPECT_EQ(golden, ReadWholeFile(file));
  EXPECT_EQ(0, log.LogQueue().Count());
  EXPECT_EQ(0, log.LogQueue().QueuedBytes());
}

TEST_F(DispatchLogFile, LogRowsFollowTheHexRules) {
  Queue(150, 1, 2, 5, "AT@1\r");
  EXPECT_EQ("0000.150  Dispatch  WriteCom      00000005  AT@1[0D]\r\n", DumpLogRows(true, false));

  // AllHex shows every byte in hexadecimal, except in user entries.
  Queue(150, 1, 2, 3, "hi ");
  Queue(151, 19, 0, 3, "hi ");
  EXPECT_EQ(
      "0000.150  Dispatch  WriteCom      00000003  [68][69][20]\r\n"
      "0000.151  User                    00000003  hi \r\n",
      DumpLogRows(false, true));

  // Eight four-wide items fit after the prefix (column 77); the ninth wraps.
  Queue(7, 1, 1, 9, "ABCDEFGHI");
  EXPECT_EQ("0000.007  Dispatch  ReadCom       00000009  [41][42][43][44][45][46][47][48]\r\n" +
                std::string(44, ' ') + "[49]\r\n",
            DumpLogRows(true, true));
}

TEST_F(DispatchLogFile, LogTimeTextHasSevenDigitsAndAPoint) {
  EXPECT_EQ("0000.000", sio::LogTimeText(0));
  EXPECT_EQ("0000.150", sio::LogTimeText(150));
  EXPECT_EQ("0001.234", sio::LogTimeText(1234));
  EXPECT_EQ("9999.999", sio::LogTimeText(9999999));
  EXPECT_EQ("12345.678", sio::LogTimeText(12345678));
  EXPECT_EQ("4294967.295", sio::LogTimeText(4294967295u));
}

TEST_F(DispatchLogFile, UnknownTypesAndSubtypesHaveEmptyWords) {
  // Type 99 would read code 15100 and subtype 401 code 15501, the header
  // line: neither belongs to a row.
  Queue(1, 99, 401, 0);
  Queue(2, 255, 65535, 0);
  EXPECT_EQ(
      "0000.001                          00000000  \r\n"
      "0000.002                          00000000  \r\n",
      DumpLogRows(false, false));
}

TEST_F(DispatchLogFile, LogDumpWithNothingQueuedCreatesNoFile) {
  const fs::path file = dir / "SIO.LOG";
  EXPECT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  EXPECT_FALSE(fs::exists(file));

  Queue(1, 1, 1, 0);
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  const std::string first = ReadWholeFile(file);
  EXPECT_FALSE(first.empty());
  // After a successful dump there is nothing left: the file stays as it is.
  EXPECT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  EXPECT_EQ(0, log.AppendDispatchLogFile(file.string(), false, false));
  EXPECT_EQ(first, ReadWholeFile(file));
  // The dump keeps the logging state.
  log.OpenDispatchLog(0);
  log.LogDispatchEvent(1, 1, 0, nullptr, 0);
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  EXPECT_TRUE(log.LoggingOn());
}

TEST_F(DispatchLogFile, AppendingWritesACompleteSecondHeader) {
  log.SetLogHeaderTextsSource(&FixedHeader);
  log.SetDeviceName("COM3");
  const std::string header =
      "SIO v4.07\r\n"
      "Compiler : Test C++ 1.0\r\n"
      "Operating System : TestOS 1.2 build 7\r\n"
      "Device: COM3\r\n"
      "Date/time: 09/12/26, 07:54:34\r\n"
      "Time      Type      SubType       Data      OtherData\r\n"
      "--------  --------  ------------  --------  ---------\r\n";
  const fs::path file = dir / "SIO.LOG";
  Queue(1, 1, 1, 1, "a");
  ASSERT_EQ(0, log.AppendDispatchLogFile(file.string(), false, false));  // creates
  log.SetDeviceName("COM4");
  Queue(2, 1, 2, 1, "b");
  ASSERT_EQ(0, log.AppendDispatchLogFile(file.string(), false, false));
  std::string second = header;
  second.replace(second.find("COM3"), 4, "COM4");
  EXPECT_EQ(header + "0000.001  Dispatch  ReadCom       00000001  a\r\n" + second +
                "0000.002  Dispatch  WriteCom      00000001  b\r\n",
            ReadWholeFile(file));

  // Write replaces the file.
  Queue(3, 1, 2, 1, "c");
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  EXPECT_EQ(second + "0000.003  Dispatch  WriteCom      00000001  c\r\n", ReadWholeFile(file));
}

TEST_F(DispatchLogFile, HeaderLongFieldsAreCutAtEightyCharacters) {
  log.SetLogHeaderTextsSource([] {
    return sio::TLogHeaderTexts{std::string(100, 'c'), std::string(90, 'o'), std::string(85, 'd')};
  });
  Queue(1, 1, 1, 0);
  const fs::path file = dir / "SIO.LOG";
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  const std::string text = ReadWholeFile(file);
  EXPECT_NE(std::string::npos, text.find("\r\nCompiler : " + std::string(100, 'c') + "\r\n"));
  EXPECT_NE(std::string::npos,
            text.find("\r\nOperating System : " + std::string(80, 'o') + "\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\nDate/time: " + std::string(80, 'd') + "\r\n"));
}

TEST_F(DispatchLogFile, LogFileThatCannotBeOpenedKeepsTheEntries) {
  log.OpenDispatchLog(0);
  log.LogDispatchEvent(1, 2, 4, "AT@1", 4);
  log.LogDispatchEvent(2, 5, 1, nullptr, 0);
  EXPECT_EQ(sio::ecAccessDenied, log.WriteDispatchLogFile(dir.path().string(), false, false));
  EXPECT_EQ(2, log.LogQueue().Count());
  const fs::path missing = dir / "no such dir" / "SIO.LOG";
  EXPECT_EQ(sio::ecPathNotFound, log.AppendDispatchLogFile(missing.string(), false, false));
  EXPECT_EQ(2, log.LogQueue().Count());
  EXPECT_EQ(4, log.LogQueue().QueuedBytes());
  EXPECT_TRUE(log.LoggingOn());
  // A later attempt writes them.
  const std::string rows = DumpLogRows(false, false);
  EXPECT_NE(std::string::npos, rows.find("00000004  AT@1\r\n"));
  EXPECT_NE(std::string::npos, rows.find("Avail         00000001  \r\n"));
}

TEST_F(DispatchLogFile, RealHeaderNamesThisBuildHostAndMoment) {
  log.SetDeviceName("COM7");
  Queue(1, 1, 1, 0);
  const sio::platform::LocalDateTime before = sio::platform::CurrentLocalDateTime();
  const fs::path file = dir / "SIO.LOG";
  ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
  const sio::platform::LocalDateTime after = sio::platform::CurrentLocalDateTime();
  const std::string text = ReadWholeFile(file);

  std::vector<std::string> lines;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t end = text.find("\r\n", pos);
    ASSERT_NE(std::string::npos, end) << "every line ends in CR LF";
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ("SIO v4.07", lines[0]);
  EXPECT_EQ(0u, lines[1].rfind("Compiler : ", 0));
  EXPECT_GT(lines[1].size(), std::string("Compiler : ").size());
  EXPECT_EQ(0u, lines[2].rfind("Operating System : ", 0));
  EXPECT_LE(lines[2].size(), std::string("Operating System : ").size() + 80);
  EXPECT_EQ("Device: COM7", lines[3]);
  const std::string ds = sio::platform::LocaleDateSeparator();
  const std::string ts = sio::platform::LocaleTimeSeparator();
  ASSERT_FALSE(ds.empty());
  ASSERT_FALSE(ts.empty());
  auto two = [](int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02d", v);
    return std::string(b);
  };
  auto stamp = [&](const sio::platform::LocalDateTime& t) {
    return "Date/time: " + two(t.Day) + ds + two(t.Month) + ds + two(t.Year % 100) + ", " +
           two(t.Hour) + ts + two(t.Minute) + ts + two(t.Second);
  };
  EXPECT_TRUE(lines[4] == stamp(before) || lines[4] == stamp(after))
      << lines[4] << " vs " << stamp(before);
  EXPECT_EQ("Time      Type      SubType       Data      OtherData", lines[5]);
  EXPECT_EQ("--------  --------  ------------  --------  ---------", lines[6]);
  EXPECT_EQ("0000.001  Dispatch  ReadCom       00000000  ", lines[7]);
}

TEST_F(DispatchLogFile, LogDumpAndLoggingFromOtherThreadsLoseNothing) {
  log.OpenDispatchLog(0);
  constexpr int kThreads = 3;
  constexpr int kPerThread = 3000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kPerThread; ++i)
        log.LogDispatchEvent(1, 1, 1, "q", 1);
    });
  }
  std::size_t rows = 0;
  auto countRows = [&](const fs::path& file) {
    const std::string text = ReadWholeFile(file);
    for (std::size_t pos = text.find("00000001  q\r\n"); pos != std::string::npos;
         pos = text.find("00000001  q\r\n", pos + 1))
      ++rows;
  };
  for (int round = 0; round < 10; ++round) {
    const fs::path file = dir / ("round" + std::to_string(round) + ".log");
    ASSERT_EQ(0, log.WriteDispatchLogFile(file.string(), false, false));
    if (fs::exists(file)) countRows(file);
  }
  for (auto& t : threads)
    t.join();
  const fs::path last = dir / "last.log";
  ASSERT_EQ(0, log.WriteDispatchLogFile(last.string(), false, false));
  if (fs::exists(last)) countRows(last);
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kPerThread), rows);
}

// --- Locale separators ---

TEST(LocaleSeparator, SeparatorIsTheTextBetweenTheFirstTwoFields) {
  EXPECT_EQ("/", sio::platform::SeparatorInFormat("%m/%d/%y", "?"));
  EXPECT_EQ(".", sio::platform::SeparatorInFormat("%d.%m.%Y", "?"));
  EXPECT_EQ("-", sio::platform::SeparatorInFormat("%Y-%m-%d", "?"));
  EXPECT_EQ(". ", sio::platform::SeparatorInFormat("%Y. %m. %d.", "?"));
  EXPECT_EQ("/", sio::platform::SeparatorInFormat("%D", "?"));
  EXPECT_EQ("-", sio::platform::SeparatorInFormat("%F", "?"));
  EXPECT_EQ(":", sio::platform::SeparatorInFormat("%H:%M:%S", "?"));
  EXPECT_EQ(":", sio::platform::SeparatorInFormat("%T", "?"));
  EXPECT_EQ(".", sio::platform::SeparatorInFormat("%OH.%OM", "?"));
  EXPECT_EQ("h", sio::platform::SeparatorInFormat("%-Hh%M", "?"));
  EXPECT_EQ("?", sio::platform::SeparatorInFormat("", "?"));
  EXPECT_EQ("?", sio::platform::SeparatorInFormat("%x", "?"));
  EXPECT_EQ("?", sio::platform::SeparatorInFormat("%d%m", "?"));
  EXPECT_EQ("?", sio::platform::SeparatorInFormat("no fields", "?"));
}

}  // namespace
