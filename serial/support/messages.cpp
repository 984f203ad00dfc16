#include "serial/support/messages.h"

#include <algorithm>
#include <array>

#include "platform/os_info.h"

namespace sio {
namespace {

// The texts are compiled in: the lookup runs on any thread at any time,
// including during start-up, and needs nothing set up first.
constexpr std::array kTable = std::to_array<SioMessageNumberLookupRecord>({
// The result codes, 0 and the errors; "" where the text is the system's.
#define SIO_ERROR(code, name, text, cls) {code, text},
#define SIO_ERROR_UNNAMED(code, text, cls) {code, text},
#include "serial/support/error_table.h"
    // Dispatch-log type words: 15001 + type.
    {15001, "No event"},
    {15002, "Dispatch"},
    {15003, "Trigger"},
    {15004, "Error"},
    {15005, "Thread"},
    {15006, "TrigAllc"},
    {15007, "TrigDisp"},
    {15008, "TrgHdAlc"},
    {15009, "TrgHdDsp"},
    {15010, "TrDatChg"},
    {15011, "Telnet"},
    {15012, "Fax"},
    {15013, "XModem"},
    {15014, "YModem"},
    {15015, "ZModem"},
    {15016, "Kermit"},
    {15017, "Ascii"},
    {15018, "BPlus"},
    {15019, "Packet"},
    {15020, "User"},
    {15021, "Script"},
    // Dispatch-log subtype words: 15100 + subtype (subtype 0 has no word).
    {15101, "ReadCom"},
    {15102, "WriteCom"},
    {15103, "Line status"},
    {15104, "Modem status"},
    {15105, "Avail"},
    {15106, "Timer"},
    {15107, "Data"},
    {15108, "Status"},
    {15109, "Start"},
    {15110, "Exit"},
    {15111, "Sleep"},
    {15112, "Wake"},
    {15113, "Data"},
    {15114, "Timer"},
    {15115, "Status"},
    {15116, "Avail"},
    {15117, "Window"},
    {15118, "Procedure"},
    {15119, "Method"},
    {15120, "Sent WILL"},
    {15121, "Sent WON'T"},
    {15122, "Sent DO"},
    {15123, "Sent DON'T"},
    {15124, "Recv WILL"},
    {15125, "Recv WON'T"},
    {15126, "Recv DO"},
    {15127, "Recv DON'T"},
    {15128, "Command"},
    {15129, "Sent Term"},
    // Subtypes 30 to 241: state names of fax and file-transfer protocol engines.
    {15130, "tfNone"},
    {15131, "tfGetEntry"},
    {15132, "tfInit"},
    {15133, "tf1Init1"},
    {15134, "tf2Init1"},
    {15135, "tf2Init1A"},
    {15136, "tf2Init1B"},
    {15137, "tf2Init2"},
    {15138, "tf2Init3"},
    {15139, "tfDial"},
    {15140, "tfRetryWait"},
    {15141, "tf1Connect"},
    {15142, "tf1SendTSI"},
    {15143, "tf1TSIRespns"},
    {15144, "tf1DCSRspns"},
    {15145, "tf1TrainStrt"},
    {15146, "tf1TrainFnsh"},
    {15147, "tf1WaitCFR"},
    {15148, "tf1WaitPgCn"},
    {15149, "tf2Connect"},
    {15150, "tf2GetParams"},
    {15151, "tfWaitXon"},
    {15152, "tfWaitFrHead"},
    {15153, "tfSndPgeHdr"},
    {15154, "tfOpenCover"},
    {15155, "tfSendCover"},
    {15156, "tfPrepPage"},
    {15157, "tfSendPage"},
    {15158, "tfDrainPage"},
    {15159, "tf1PageEnd"},
    {15160, "tf1PrepEOP"},
    {15161, "tf1SendEOP"},
    {15162, "tf1WaitMPS"},
    {15163, "tf1WaitEOP"},
    {15164, "tf1WaitMCF"},
    {15165, "tf1SendDCN"},
    {15166, "tf1Hangup"},
    {15167, "tf1WaitHngp"},
    {15168, "tf2SendEOP"},
    {15169, "tf2WaitFPTS"},
    {15170, "tf2WaitFET"},
    {15171, "tf2WaitPgOK"},
    {15172, "tf2SndNwPrm"},
    {15173, "tf2NextPage"},
    {15174, "tf20ChckPg"},
    {15175, "tfClose"},
    {15176, "tfCompleteOK"},
    {15177, "tfAbort"},
    {15178, "tfDone"},
    {15179, "rfNone"},
    {15180, "rfInit"},
    {15181, "rf1Init1"},
    {15182, "rf2Init1"},
    {15183, "rf2Init1A"},
    {15184, "rf2Init1B"},
    {15185, "rf2Init2"},
    {15186, "rf2Init3"},
    {15187, "rfWaiting"},
    {15188, "rfAnswer"},
    {15189, "rf1SendCSI"},
    {15190, "rf1SendDIS"},
    {15191, "rf1CollFrms"},
    {15192, "rf1CollRtry1"},
    {15193, "rf1CollRtry2"},
    {15194, "rf1StrtTrn"},
    {15195, "rf1CollTrn"},
    {15196, "rf1Timeout"},
    {15197, "rf1Retrain"},
    {15198, "rf1FinTrn"},
    {15199, "rf1SendCFR"},
    {15200, "rf1WtPgCnnct"},
    {15201, "rf2ValCnnct"},
    {15202, "rf2GtSndID"},
    {15203, "rf2GtCnnct"},
    {15204, "rfStartPage"},
    {15205, "rfGtPgDta"},
    {15206, "rf1FinPage"},
    {15207, "rf1WaitEOP"},
    {15208, "rf1WritePage"},
    {15209, "rf1SendMCF"},
    {15210, "rf1WaitDCN"},
    {15211, "rf1WtHngp"},
    {15212, "rf2GtPgRslt"},
    {15213, "rf2GetFHNG"},
    {15214, "rfComplete"},
    {15215, "rfAbort"},
    {15216, "rfDone"},
    {15217, "txInitial"},
    {15218, "txHandshake"},
    {15219, "txGetBlock"},
    {15220, "txWtFreeSpc"},
    {15221, "txSendBlock"},
    {15222, "txDraining"},
    {15223, "txRplyPnding"},
    {15224, "txEndDrain"},
    {15225, "txFirstEOT"},
    {15226, "txRestEOT"},
    {15227, "txEotReply"},
    {15228, "txFinished"},
    {15229, "txDone"},
    {15230, "rxInitial"},
    {15231, "rxWtFrHSRply"},
    {15232, "rxWtFrBlStrt"},
    {15233, "rxCollBlock"},
    {15234, "rxProcBlck"},
    {15235, "rxFinSkip"},
    {15236, "rxFinished"},
    {15237, "rxDone"},
    {15238, "tyInitial"},
    {15239, "tyHandshake"},
    {15240, "tyGetFlName"},
    {15241, "tySndFlName"},
    {15242, "tyDraining"},
    {15243, "tyRplyPndng"},
    {15244, "tyPrpXmdm"},
    {15245, "tySndXmdm"},
    {15246, "tyFinishd"},
    {15247, "tyFinDrain"},
    {15248, "tyDone"},
    {15249, "ryInitial"},
    {15250, "ryDelay"},
    {15251, "ryWtFrHSRply"},
    {15252, "ryWtFBlkStrt"},
    {15253, "ryCollBlck"},
    {15254, "ryProcBlck"},
    {15255, "ryOpenFile"},
    {15256, "ryPrepXmdm"},
    {15257, "ryRcvXmodem"},
    {15258, "ryFinished"},
    {15259, "ryDone"},
    {15260, "tzInitial"},
    {15261, "tzHandshake"},
    {15262, "tzGetFile"},
    {15263, "tzSendFile"},
    {15264, "tzCheckFile"},
    {15265, "tzStartData"},
    {15266, "tzEscapeData"},
    {15267, "tzSendData"},
    {15268, "tzWaitAck"},
    {15269, "tzSendEof"},
    {15270, "tzDrainEof"},
    {15271, "tzCheckEof"},
    {15272, "tzSendFinish"},
    {15273, "tzChkFinish"},
    {15274, "tzError"},
    {15275, "tzCleanup"},
    {15276, "tzDone"},
    {15277, "rzRqstFile"},
    {15278, "rzDelay"},
    {15279, "rzWaitFile"},
    {15280, "rzCollFile"},
    {15281, "rzSendInit"},
    {15282, "rzSndBlkPrp"},
    {15283, "rzSendBlock"},
    {15284, "rzSync"},
    {15285, "rzStartFile"},
    {15286, "rzStartData"},
    {15287, "rzCollData"},
    {15288, "rzGotData"},
    {15289, "rzWaitEof"},
    {15290, "rzEndOfFile"},
    {15291, "rzSendFinish"},
    {15292, "rzCollFin"},
    {15293, "rzError"},
    {15294, "rzWaitCancel"},
    {15295, "rzCleanup"},
    {15296, "rzDone"},
    {15297, "tkInit"},
    {15298, "tkInitReply"},
    {15299, "tkCollInit"},
    {15300, "tkOpenFile"},
    {15301, "tkSendFile"},
    {15302, "tkFileReply"},
    {15303, "tkCollFile"},
    {15304, "tkCheckTable"},
    {15305, "tkSendData"},
    {15306, "tkBlockReply"},
    {15307, "tkCollBlock"},
    {15308, "tkSendEof"},
    {15309, "tkEofReply"},
    {15310, "tkCollectEof"},
    {15311, "tkSendBreak"},
    {15312, "tkBreakReply"},
    {15313, "tkCollBreak"},
    {15314, "tkComplete"},
    {15315, "tkWaitCancel"},
    {15316, "tkError"},
    {15317, "tkDone"},
    {15318, "rkInit"},
    {15319, "rkGetInit"},
    {15320, "rkCollInit"},
    {15321, "rkGetFile"},
    {15322, "rkCollFile"},
    {15323, "rkGetData"},
    {15324, "rkCollData"},
    {15325, "rkComplete"},
    {15326, "rkWaitCancel"},
    {15327, "rkError"},
    {15328, "rkDone"},
    {15329, "taInitial"},
    {15330, "taGetBlock"},
    {15331, "taWaitFrSpc"},
    {15332, "taSendBlock"},
    {15333, "taSendDelay"},
    {15334, "taFinDrain"},
    {15335, "taFinished"},
    {15336, "taDone"},
    {15337, "raInitial"},
    {15338, "raCollBlock"},
    {15339, "raProcBlock"},
    {15340, "raFinished"},
    {15341, "raDone"},
    // Packet matcher subtypes.
    {15342, "Enable"},
    {15343, "Disable"},
    {15344, "StringPacket"},
    {15345, "SizePacket"},
    {15346, "PcktTimeout"},
    {15347, "StartStr"},
    {15348, "EndStr"},
    {15349, "Idle"},
    {15350, "Waiting"},
    {15351, "Collecting"},
    {15352, "Status Queued"},
    {15353, "Data Queued"},
    {15354, "Data Written"},
    {15355, "ZSInit"},
    {15356, "CheckSInit"},
    // Dispatch-log header lines.
    {15501, "Time      Type      SubType       Data      OtherData"},
    {15502, "--------  --------  ------------  --------  ---------"},
    // Modem-status bit names, bits 0 to 7.
    {15601, "DCTS "},
    {15602, "DDSR "},
    {15603, "TERI "},
    {15604, "DDCD "},
    {15605, "CTS "},
    {15606, "DSR "},
    {15607, "RI "},
    {15608, "DCD "},
    // Telnet option words: 15700 + option.
    {15700, "Binary"},
    {15701, "Echo"},
    {15702, "Reconnection"},
    {15703, "Supress Go Ahead"},
    {15704, "Approx Msg Size"},
    {15705, "Status"},
    {15706, "Timing Mark"},
    {15707, "Remote Trans & Echo"},
    {15708, "Output Line Width"},
    {15709, "Output Page Size"},
    {15710, "Output C/R Disp"},
    {15711, "Output Horz Tabs"},
    {15712, "Output Horz Tab Disp"},
    {15713, "Output FF Disp"},
    {15714, "Output Vert Tabs"},
    {15715, "Output Vert Tab Disp"},
    {15716, "Output Linefeed Disp"},
    {15717, "Extended ASCII"},
    {15718, "Logout"},
    {15719, "Byte Macro"},
    {15720, "Data Entry Terminal"},
    {15721, "SUPDUP"},
    {15722, "SUPDUP Output"},
    {15723, "Send Location"},
    {15724, "Terminal Type"},
    {15725, "End of Record"},
    {15726, "TACACS User ID"},
    {15727, "Output Marking"},
    {15728, "Terminal Loc Num"},
    {15729, "Telnet3270 Regime"},
    {15730, "X.3 PAD"},
    {15731, "Neg Window Size"},
    {15732, "Terminal Speed"},
    {15733, "Flow Control"},
    {15734, "LineMode"},
    {15735, "X Display Location"},
    {15736, "Environment"},
    {15737, "Authentication"},
    {15738, "Telnet code 38"},
    {15739, "New Environment"},
    {15740, "Telnet code 40"},
    {15741, "Telnet code 41"},
    {15742, "Character Set"},
});

constexpr int32_t AbsoluteCode(int32_t code) {
  return code < 0 ? -code : code;
}

constexpr bool StrictlyAscendingByAbsoluteCode() {
  for (std::size_t i = 1; i < kTable.size(); ++i) {
    if (AbsoluteCode(kTable[i - 1].code) >= AbsoluteCode(kTable[i].code)) return false;
  }
  return true;
}
static_assert(StrictlyAscendingByAbsoluteCode(), "the lookup relies on a sorted, unique table");

// The lookup key: the absolute value of the code's 16-bit signed view. Working
// on the low 16 bits first keeps the negation inside int32 for every input.
constexpr int32_t LookupKey(int32_t code) {
  const auto low =
      static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(code) & 0xFFFFu));
  return AbsoluteCode(low);
}

// (low + high) / 2 rounded to the nearest integer, a half going to the even
// neighbour.
constexpr int Middle(int low, int high) {
  const int sum = low + high;
  if (sum % 2 == 0) return sum / 2;
  const int below = sum / 2;
  return below % 2 == 0 ? below : below + 1;
}

const SioMessageNumberLookupRecord* FindEntry(int32_t key) noexcept {
  int low = 0;
  int high = static_cast<int>(kTable.size()) - 1;
  while (low <= high) {
    const int middle = Middle(low, high);
    const int32_t found = AbsoluteCode(kTable[static_cast<std::size_t>(middle)].code);
    if (found == key) return &kTable[static_cast<std::size_t>(middle)];
    if (key < found) {
      high = middle - 1;
    } else {
      low = middle + 1;
    }
  }
  return nullptr;
}

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    if (lead < 0x80) {
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

const std::span<const SioMessageNumberLookupRecord> MessageTable{kTable};

std::string CutToMessageLength(std::string text) {
  if (text.size() <= kMaxMessageLength) return text;
  std::size_t cut = kMaxMessageLength;
  // System texts may be UTF-8; a cut through a character would leave a
  // broken one at the end.
  if (IsValidUtf8(text)) {
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;
  }
  text.resize(cut);
  return text;
}

const char* TableMessageForCode(int32_t code) noexcept {
  const SioMessageNumberLookupRecord* entry = FindEntry(LookupKey(code));
  if (entry == nullptr || entry->message[0] == '\0') return nullptr;
  return entry->message;
}

std::string MessageForCode(int32_t code) {
  const int32_t key = LookupKey(code);
  if (const char* text = TableMessageForCode(key)) return CutToMessageLength(text);
  const std::string system = platform::SystemErrorText(static_cast<uint32_t>(key));
  if (system.empty()) return {};
  return CutToMessageLength(CleanSystemMessage(system));
}

std::string CleanSystemMessage(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (const char c : text) {
    // Compared unsigned: bytes of multi-byte characters are not control
    // characters and must survive.
    const char blankOrSelf = static_cast<unsigned char>(c) < 32 ? ' ' : c;
    // Deleting the first blank of every pair of blanks, again and again,
    // leaves one blank of every run.
    if (blankOrSelf == ' ' && !clean.empty() && clean.back() == ' ') continue;
    clean.push_back(blankOrSelf);
  }
  return clean;
}

}  // namespace sio
