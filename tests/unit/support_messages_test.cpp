// The message table and the text lookup: table order, the texts the rest of
// the system writes byte for byte, the 16-bit view, and the fallback to the
// system's own error texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/os_info.h"
#include "serial/support/error_codes.h"
#include "serial/support/messages.h"

namespace sio {
namespace {

int32_t Abs(int32_t code) {
  return code < 0 ? -code : code;
}

bool HasControlCharacter(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 32) return true;
  }
  return false;
}

// --- The table -------------------------------------------------------------

TEST(MessageTable, IsStrictlyAscendingByAbsoluteCodeWithoutDuplicates) {
  ASSERT_FALSE(MessageTable.empty());
  std::set<int32_t> seen;
  for (std::size_t i = 0; i < MessageTable.size(); ++i) {
    const int32_t code = Abs(MessageTable[i].code);
    EXPECT_TRUE(seen.insert(code).second) << "duplicate absolute code " << code;
    if (i > 0) {
      EXPECT_LT(Abs(MessageTable[i - 1].code), code) << "out of order at index " << i;
    }
  }
}

TEST(MessageTable, EveryTextIsPresentAndFitsTheLimit) {
  for (const SioMessageNumberLookupRecord& entry : MessageTable) {
    ASSERT_NE(entry.message, nullptr) << entry.code;
    const std::string text(entry.message);
    EXPECT_LE(text.size(), kMaxMessageLength) << entry.code;
    EXPECT_FALSE(HasControlCharacter(text)) << entry.code;
  }
}

TEST(MessageTable, CodesBetweenEntriesHaveNoTableText) {
  // Gaps inside and around the table: below the first code, between
  // families, beyond the last.
  for (const int32_t code :
       {1,     7,     9,     99,    106,   163,   1000,  1010,  2013,  3011,  5004,  5500, 5507,
        15000, 15022, 15099, 15100, 15357, 15500, 15503, 15600, 15609, 15699, 15743, 32767}) {
    EXPECT_EQ(TableMessageForCode(code), nullptr) << code;
  }
}

// The code is read as a signed 16-bit value: only the low 16 bits count.
TEST(MessageForCode, ReadsTheCodeAsSixteenBits) {
  EXPECT_EQ(MessageForCode(ecBadId - 65536), MessageForCode(ecBadId));
  EXPECT_EQ(MessageForCode(65536 + 2001), MessageForCode(ecBadId));
  EXPECT_EQ(MessageForCode(65536), "OK");
  // The most negative values must not overflow on the way to their text.
  EXPECT_EQ(MessageForCode(INT32_MIN), "OK");
  EXPECT_EQ(MessageForCode(INT32_MIN + 2001), MessageForCode(ecBadId));
}

// --- Dispatch-log words ----------------------------------------------------

TEST(LogWords, TypeWords) {
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 0), "No event");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 1), "Dispatch");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 7), "TrgHdAlc");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 9), "TrDatChg");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 10), "Telnet");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 18), "Packet");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 19), "User");
  EXPECT_EQ(MessageForCode(kLogTypeWordBase + 20), "Script");
}

TEST(LogWords, SubTypeWords) {
  const auto word = [](int subType) { return MessageForCode(kLogSubTypeWordBase + subType); };
  EXPECT_EQ(word(1), "ReadCom");
  EXPECT_EQ(word(2), "WriteCom");
  EXPECT_EQ(word(3), "Line status");
  EXPECT_EQ(word(4), "Modem status");
  EXPECT_EQ(word(14), "Timer");
  EXPECT_EQ(word(15), "Status");
  EXPECT_EQ(word(19), "Method");
  EXPECT_EQ(word(21), "Sent WON'T");
  EXPECT_EQ(word(27), "Recv DON'T");
  EXPECT_EQ(word(29), "Sent Term");
  // The protocol state names, at each engine's first and last state.
  EXPECT_EQ(word(30), "tfNone");
  EXPECT_EQ(word(33), "tf1Init1");
  EXPECT_EQ(word(78), "tfDone");
  EXPECT_EQ(word(79), "rfNone");
  EXPECT_EQ(word(116), "rfDone");
  EXPECT_EQ(word(117), "txInitial");
  EXPECT_EQ(word(137), "rxDone");
  EXPECT_EQ(word(159), "ryDone");
  EXPECT_EQ(word(160), "tzInitial");
  EXPECT_EQ(word(196), "rzDone");
  EXPECT_EQ(word(228), "rkDone");
  EXPECT_EQ(word(229), "taInitial");
  EXPECT_EQ(word(241), "raDone");
  // The packet matcher's subtypes.
  EXPECT_EQ(word(242), "Enable");
  EXPECT_EQ(word(244), "StringPacket");
  EXPECT_EQ(word(246), "PcktTimeout");
  EXPECT_EQ(word(251), "Collecting");
  EXPECT_EQ(word(252), "Status Queued");
  EXPECT_EQ(word(256), "CheckSInit");
}

TEST(LogWords, EveryTypeSubTypeBitAndOptionHasAWord) {
  for (int type = 0; type <= 20; ++type) {
    EXPECT_NE(TableMessageForCode(kLogTypeWordBase + type), nullptr) << "type " << type;
  }
  for (int subType = 1; subType <= 256; ++subType) {
    EXPECT_NE(TableMessageForCode(kLogSubTypeWordBase + subType), nullptr) << "subtype " << subType;
  }
  for (int bit = 0; bit < 8; ++bit) {
    EXPECT_NE(TableMessageForCode(kModemStatusBitWordBase + bit), nullptr) << "bit " << bit;
  }
  for (int option = 0; option <= kLastTelnetOptionWord; ++option) {
    EXPECT_NE(TableMessageForCode(kTelnetOptionWordBase + option), nullptr) << "option " << option;
  }
}

TEST(LogWords, HeaderLinesLineUpWithTheRowColumns) {
  const std::string titles = MessageForCode(kLogHeaderTitles);
  const std::string rule = MessageForCode(kLogHeaderRule);
  EXPECT_EQ(titles, "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(rule, "--------  --------  ------------  --------  ---------");
  // Each column of the row prefix starts where its title does: 0, 10, 20, 34, 44.
  for (const std::size_t column : {0u, 10u, 20u, 34u, 44u}) {
    EXPECT_NE(titles[column], ' ') << column;
    EXPECT_EQ(rule[column], '-') << column;
  }
}

TEST(LogWords, ModemStatusBitsKeepTheirTrailingBlank) {
  EXPECT_EQ(MessageForCode(kModemStatusBitWordBase + 0), "DCTS ");
  EXPECT_EQ(MessageForCode(kModemStatusBitWordBase + 2), "TERI ");
  EXPECT_EQ(MessageForCode(kModemStatusBitWordBase + 4), "CTS ");
  EXPECT_EQ(MessageForCode(kModemStatusBitWordBase + 6), "RI ");
  EXPECT_EQ(MessageForCode(kModemStatusBitWordBase + 7), "DCD ");
}

TEST(LogWords, TelnetOptions) {
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 0), "Binary");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 3), "Supress Go Ahead");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 7), "Remote Trans & Echo");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 10), "Output C/R Disp");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 30), "X.3 PAD");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 38), "Telnet code 38");
  EXPECT_EQ(MessageForCode(kTelnetOptionWordBase + 42), "Character Set");
}

// --- Fallback to the system's texts ---------------------------------------

TEST(MessageForCode, FallsBackToTheSystemTextOnOneLine) {
  // 32 has no table text; every system has a text for it.
  ASSERT_EQ(TableMessageForCode(32), nullptr);
  const std::string raw = sio::platform::SystemErrorText(32);
  ASSERT_FALSE(raw.empty());
  const std::string text = MessageForCode(-32);
  EXPECT_EQ(text, CleanSystemMessage(raw));
  EXPECT_EQ(MessageForCode(32), text);
  EXPECT_FALSE(HasControlCharacter(text)) << text;
  EXPECT_EQ(text.find("  "), std::string::npos) << text;
  // System messages end in a line break, which becomes one blank, on every
  // host: the texts are Windows' own.
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), ' ');
  EXPECT_NE(text[text.size() - 2], ' ');
}

TEST(MessageForCode, SystemErrorsReadAsWhatHappened) {
  // The layer's error numbers are Windows ones on every host, so are their
  // texts: never the C library's text of an errno that has the same value
  // (31 is not "Too many links", 87 not "Too many users").
  const struct {
    int32_t code;
    const char* text;
  } rows[] = {
#ifndef _WIN32
      // Windows words these itself (and Wine in words of its own).
      {-31, "A device attached to the system is not functioning. "},
      {-32, "The process cannot access the file because it is being used by another process. "},
      {-87, "The parameter is incorrect. "},
      {-121, "The semaphore timeout period has expired. "},
      {-123, "The filename, directory name, or volume label syntax is incorrect. "},
      {-1117, "The request could not be performed because of an I/O device error. "},
      {-1167, "The device is not connected. "},
      {-995,
       "The I/O operation has been aborted because of either a thread exit or an application "
       "request. "},
#endif
      // Table texts come first.
      {-2, "File not found"},
      {-5, "File access denied"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.code);
    EXPECT_EQ(MessageForCode(r.code), r.text);
  }
}

TEST(MessageForCode, IsEmptyWithNeitherTableNorSystemText) {
  constexpr int32_t kUnknown = 32000;
  ASSERT_EQ(TableMessageForCode(kUnknown), nullptr);
  ASSERT_TRUE(sio::platform::SystemErrorText(kUnknown).empty());
  EXPECT_EQ(MessageForCode(kUnknown), "");
  EXPECT_EQ(MessageForCode(-kUnknown), "");
}

TEST(MessageForCode, NoCodeGivesMoreThanTheLimitOrALineBreak) {
  for (int32_t code = 0; code <= 32767; ++code) {
    const std::string text = MessageForCode(code);
    ASSERT_LE(text.size(), kMaxMessageLength) << code;
    ASSERT_FALSE(HasControlCharacter(text)) << code;
  }
}

// Lookups only read constant data; they run on many threads at once.
TEST(MessageForCode, ConcurrentLookupsAgree) {
  const std::string expected = MessageForCode(ecHardware);
  const std::string expectedSystem = MessageForCode(32);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (MessageForCode(i % 2 == 0 ? ecHardware : -ecHardware) != expected) ++mismatches[t];
        if (MessageForCode(-32) != expectedSystem) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (const int count : mismatches)
    EXPECT_EQ(count, 0);
}

// --- Cleaning and cutting --------------------------------------------------

TEST(CleanSystemMessage, LineBreaksAndTabsBecomeSingleBlanks) {
  EXPECT_EQ(CleanSystemMessage("The process cannot access the file.\r\n"),
            "The process cannot access the file. ");
  EXPECT_EQ(CleanSystemMessage("First line.\r\nSecond\tline.\r\n"), "First line. Second line. ");
  EXPECT_EQ(CleanSystemMessage("a\r\n\r\n\tb"), "a b");
}

TEST(CleanSystemMessage, RunsOfBlanksShrinkToOne) {
  EXPECT_EQ(CleanSystemMessage("a  b     c"), "a b c");
  EXPECT_EQ(CleanSystemMessage("   leading and trailing   "), " leading and trailing ");
  EXPECT_EQ(CleanSystemMessage(" \r \n "), " ");
}

TEST(CleanSystemMessage, KeepsEverythingElse) {
  EXPECT_EQ(CleanSystemMessage(""), "");
  EXPECT_EQ(CleanSystemMessage("Sharing violation."), "Sharing violation.");
  EXPECT_EQ(CleanSystemMessage("~\x7F!"), "~\x7F!");
  // A NUL inside the text is a control character like any other.
  EXPECT_EQ(CleanSystemMessage(std::string("a\0b", 3)), "a b");
  // Bytes of multi-byte characters are above 127, not below 32.
  EXPECT_EQ(CleanSystemMessage("Zugriff verweigert \xE2\x80\x93 \xC3\xA4\r\n"),
            "Zugriff verweigert \xE2\x80\x93 \xC3\xA4 ");
  EXPECT_EQ(CleanSystemMessage("caf\xE9\r\n"), "caf\xE9 ");
}

TEST(CutToMessageLength, CutsAtTheLimit) {
  EXPECT_EQ(CutToMessageLength("short"), "short");
  EXPECT_EQ(CutToMessageLength(std::string(255, 'x')), std::string(255, 'x'));
  EXPECT_EQ(CutToMessageLength(std::string(256, 'x')), std::string(255, 'x'));
  EXPECT_EQ(CutToMessageLength(std::string(1000, 'y')).size(), 255u);
}

TEST(CutToMessageLength, NeverCutsThroughAUtf8Character) {
  // 254 ASCII bytes, then a three-byte character straddling the limit.
  const std::string dash = "\xE2\x80\x93";
  const std::string text = std::string(254, 'a') + dash + "tail";
  EXPECT_EQ(CutToMessageLength(text), std::string(254, 'a'));
  // A two-byte character that ends exactly at the limit stays.
  const std::string umlaut = "\xC3\xA4";
  const std::string fits = std::string(253, 'a') + umlaut + "tail";
  EXPECT_EQ(CutToMessageLength(fits), std::string(253, 'a') + umlaut);
  // Text that is not UTF-8 (a single-byte code page) is cut at the byte.
  const std::string latin1 = std::string(254, 'a') + "\xE9\xE9\xE9";
  EXPECT_EQ(CutToMessageLength(latin1), std::string(254, 'a') + "\xE9");
}

}  // namespace
}  // namespace sio
