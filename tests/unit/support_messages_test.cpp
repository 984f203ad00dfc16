// The message table and the text lookup: table order, the texts the rest of
// the system writes byte for byte, the 16-bit view, and the fallback to the
// system's own error texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <map>
#include <set>
#include <sstream>
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

// Every word as the log's documentation lists it, written out here rather
// than read from the product.
const char* const kTypeWords[] = {
    "No event", "Dispatch", "Trigger",  "Error",  "Thread", "TrigAllc", "TrigDisp",
    "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
    "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script"};
// From subtype 1.
const char* const kSubTypeWords[] = {
    "ReadCom",    "WriteCom",  "Line status", "Modem status", "Avail",      "Timer",
    "Data",       "Status",    "Start",       "Exit",         "Sleep",      "Wake",
    "Data",       "Timer",     "Status",      "Avail",        "Window",     "Procedure",
    "Method",     "Sent WILL", "Sent WON'T",  "Sent DO",      "Sent DON'T", "Recv WILL",
    "Recv WON'T", "Recv DO",   "Recv DON'T",  "Command",      "Sent Term"};
// Subtypes 30 to 241: the states of protocol engines this system does not have.
const char kEngineStateWords[] =
    "tfNone tfGetEntry tfInit tf1Init1 tf2Init1 tf2Init1A tf2Init1B tf2Init2 tf2Init3 "
    "tfDial tfRetryWait tf1Connect tf1SendTSI tf1TSIRespns tf1DCSRspns tf1TrainStrt "
    "tf1TrainFnsh tf1WaitCFR tf1WaitPgCn tf2Connect tf2GetParams tfWaitXon tfWaitFrHead "
    "tfSndPgeHdr tfOpenCover tfSendCover tfPrepPage tfSendPage tfDrainPage tf1PageEnd "
    "tf1PrepEOP tf1SendEOP tf1WaitMPS tf1WaitEOP tf1WaitMCF tf1SendDCN tf1Hangup "
    "tf1WaitHngp tf2SendEOP tf2WaitFPTS tf2WaitFET tf2WaitPgOK tf2SndNwPrm tf2NextPage "
    "tf20ChckPg tfClose tfCompleteOK tfAbort tfDone rfNone rfInit rf1Init1 rf2Init1 "
    "rf2Init1A rf2Init1B rf2Init2 rf2Init3 rfWaiting rfAnswer rf1SendCSI rf1SendDIS "
    "rf1CollFrms rf1CollRtry1 rf1CollRtry2 rf1StrtTrn rf1CollTrn rf1Timeout rf1Retrain "
    "rf1FinTrn rf1SendCFR rf1WtPgCnnct rf2ValCnnct rf2GtSndID rf2GtCnnct rfStartPage "
    "rfGtPgDta rf1FinPage rf1WaitEOP rf1WritePage rf1SendMCF rf1WaitDCN rf1WtHngp "
    "rf2GtPgRslt rf2GetFHNG rfComplete rfAbort rfDone txInitial txHandshake txGetBlock "
    "txWtFreeSpc txSendBlock txDraining txRplyPnding txEndDrain txFirstEOT txRestEOT "
    "txEotReply txFinished txDone rxInitial rxWtFrHSRply rxWtFrBlStrt rxCollBlock "
    "rxProcBlck rxFinSkip rxFinished rxDone tyInitial tyHandshake tyGetFlName tySndFlName "
    "tyDraining tyRplyPndng tyPrpXmdm tySndXmdm tyFinishd tyFinDrain tyDone ryInitial "
    "ryDelay ryWtFrHSRply ryWtFBlkStrt ryCollBlck ryProcBlck ryOpenFile ryPrepXmdm "
    "ryRcvXmodem ryFinished ryDone tzInitial tzHandshake tzGetFile tzSendFile tzCheckFile "
    "tzStartData tzEscapeData tzSendData tzWaitAck tzSendEof tzDrainEof tzCheckEof "
    "tzSendFinish tzChkFinish tzError tzCleanup tzDone rzRqstFile rzDelay rzWaitFile "
    "rzCollFile rzSendInit rzSndBlkPrp rzSendBlock rzSync rzStartFile rzStartData "
    "rzCollData rzGotData rzWaitEof rzEndOfFile rzSendFinish rzCollFin rzError rzWaitCancel "
    "rzCleanup rzDone tkInit tkInitReply tkCollInit tkOpenFile tkSendFile tkFileReply "
    "tkCollFile tkCheckTable tkSendData tkBlockReply tkCollBlock tkSendEof tkEofReply "
    "tkCollectEof tkSendBreak tkBreakReply tkCollBreak tkComplete tkWaitCancel tkError "
    "tkDone rkInit rkGetInit rkCollInit rkGetFile rkCollFile rkGetData rkCollData "
    "rkComplete rkWaitCancel rkError rkDone taInitial taGetBlock taWaitFrSpc taSendBlock "
    "taSendDelay taFinDrain taFinished taDone raInitial raCollBlock raProcBlock raFinished "
    "raDone";
// From subtype 242: the packet matcher's.
const char* const kPacketSubTypeWords[] = {
    "Enable",        "Disable",     "StringPacket", "SizePacket", "PcktTimeout",
    "StartStr",      "EndStr",      "Idle",         "Waiting",    "Collecting",
    "Status Queued", "Data Queued", "Data Written", "ZSInit",     "CheckSInit"};
// Bits 0 to 7, each with its trailing blank.
const char* const kModemStatusBitWords[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ",
                                            "CTS ",  "DSR ",  "RI ",   "DCD "};
// Options 0 to 42, between commas.
const char kTelnetOptionWords[] =
    "Binary,Echo,Reconnection,Supress Go Ahead,Approx Msg Size,Status,Timing Mark,"
    "Remote Trans & Echo,Output Line Width,Output Page Size,Output C/R Disp,Output Horz Tabs,"
    "Output Horz Tab Disp,Output FF Disp,Output Vert Tabs,Output Vert Tab Disp,"
    "Output Linefeed Disp,Extended ASCII,Logout,Byte Macro,Data Entry Terminal,SUPDUP,"
    "SUPDUP Output,Send Location,Terminal Type,End of Record,TACACS User ID,Output Marking,"
    "Terminal Loc Num,Telnet3270 Regime,X.3 PAD,Neg Window Size,Terminal Speed,Flow Control,"
    "LineMode,X Display Location,Environment,Authentication,Telnet code 38,New Environment,"
    "Telnet code 40,Telnet code 41,Character Set";
const char kTitlesLine[] = "Time      Type      SubType       Data      OtherData";
const char kRuleLine[] = "--------  --------  ------------  --------  ---------";

std::map<int32_t, std::string> DocumentedWords() {
  std::map<int32_t, std::string> words;
  const auto add = [&words](int32_t code, const auto& list) {
    for (const char* word : list)
      words[code++] = word;
  };
  add(kLogTypeWordBase, kTypeWords);
  add(kLogSubTypeWordBase + 1, kSubTypeWords);
  std::istringstream states(kEngineStateWords);
  int32_t code = kLogSubTypeWordBase + 30;
  for (std::string state; states >> state;)
    words[code++] = state;
  add(kLogSubTypeWordBase + 242, kPacketSubTypeWords);
  words[kLogHeaderTitles] = kTitlesLine;
  words[kLogHeaderRule] = kRuleLine;
  add(kModemStatusBitWordBase, kModemStatusBitWords);
  std::istringstream options(kTelnetOptionWords);
  code = kTelnetOptionWordBase;
  for (std::string option; std::getline(options, option, ',');)
    words[code++] = option;
  return words;
}

// Every code from just below the first word up to the top of the 16-bit
// range: a word where one is listed, no table text anywhere else (subtype 0
// included). Codes below are the result codes' (support_error_table_test.cpp).
TEST(LogWords, EveryCodeReadsItsListedWordOrHasNone) {
  const std::map<int32_t, std::string> words = DocumentedWords();
  ASSERT_EQ(words.size(), 21u + 29u + 212u + 15u + 2u + 8u + 43u);
  for (int32_t code = 15000; code <= 32767; ++code) {
    const auto word = words.find(code);
    if (word == words.end()) {
      EXPECT_EQ(TableMessageForCode(code), nullptr) << code;
    } else {
      EXPECT_NE(TableMessageForCode(code), nullptr) << code;
      EXPECT_EQ(MessageForCode(code), word->second) << code;
    }
  }
}

TEST(LogWords, HeaderLinesLineUpWithTheRowColumns) {
  const std::string titles = MessageForCode(kLogHeaderTitles);
  const std::string rule = MessageForCode(kLogHeaderRule);
  ASSERT_EQ(titles, kTitlesLine);
  ASSERT_EQ(rule, kRuleLine);
  // Each column of the row prefix starts where its title does: 0, 10, 20, 34, 44.
  for (const std::size_t column : {0u, 10u, 20u, 34u, 44u}) {
    EXPECT_NE(titles[column], ' ') << column;
    EXPECT_EQ(rule[column], '-') << column;
  }
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
