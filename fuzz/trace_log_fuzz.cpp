// The trace and dispatch-log files against renderings written here from the
// documented formats: fuzzed entries (any kind character, any byte, a ring
// that wraps; any type, subtype, time, data and bytes) are written to a real
// file with fuzzed InHex/AllHex, and the file must be exactly the reference
// text. After a dump the trace is empty and on, the log queue empty.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/sync.h"
#include "serial/dispatch/io_queue.h"
#include "serial/dispatch/trace_log.h"
#include "serial/support/messages.h"

namespace {

const char kCrLf[] = "\r\n";

std::string Hex2(uint8_t v) {
  const char* digits = "0123456789ABCDEF";
  return std::string("[") + digits[v >> 4] + digits[v & 15] + "]";
}

// One byte as both files show it.
std::string Item(uint8_t v, bool inHex, bool allHex) {
  if (allHex) return Hex2(v);
  if (v >= (inHex ? 33 : 32) && v <= 126) return std::string(1, static_cast<char>(v));
  if (inHex) return Hex2(v);
  return "[" + std::to_string(v) + "]";
}

std::string Heading(char kind) {
  if (kind == 'R') return "Receive: ";
  if (kind == 'T') return "Transmit: ";
  return std::string("Special-") + kind + ": ";
}

std::string ReferenceTrace(const std::vector<sio::TraceEntry>& entries, bool inHex, bool allHex) {
  std::string out;
  int counter = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].Kind != entries[i - 1].Kind) {
      if (i != 0) out += std::string(kCrLf) + kCrLf;
      counter = 0;
      out += Heading(entries[i].Kind) + kCrLf;
    }
    const std::string item = Item(entries[i].Value, inHex, allHex);
    counter += static_cast<int>(item.size());
    if (counter > 78) {
      out += kCrLf;
      counter = static_cast<int>(item.size());
    }
    out += item;
  }
  return out;
}

const char* const kTypeWords[] = {
    "No event", "Dispatch", "Trigger",  "Error",  "Thread", "TrigAllc", "TrigDisp",
    "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
    "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script"};
const char* const kSubTypeWords[] = {
    "",          "ReadCom",    "WriteCom",  "Line status", "Modem status", "Avail",
    "Timer",     "Data",       "Status",    "Start",       "Exit",         "Sleep",
    "Wake",      "Data",       "Timer",     "Status",      "Avail",        "Window",
    "Procedure", "Method",     "Sent WILL", "Sent WON'T",  "Sent DO",      "Sent DON'T",
    "Recv WILL", "Recv WON'T", "Recv DO",   "Recv DON'T",  "Command",      "Sent Term"};
const char* const kPacketWords[] = {"Enable",       "Disable",    "StringPacket",  "SizePacket",
                                    "PcktTimeout",  "StartStr",   "EndStr",        "Idle",
                                    "Waiting",      "Collecting", "Status Queued", "Data Queued",
                                    "Data Written", "ZSInit",     "CheckSInit"};
const char* const kModemBits[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ",
                                  "CTS ",  "DSR ",  "RI ",   "DCD "};
const char* const kStatusKinds[] = {"(Not active)",         "(Modem status)",
                                    "(Line status)",        "(Output buffer free)",
                                    "(Output buffer used)", "(Output sent)"};

std::string Table(int32_t code) {
  const char* text = sio::TableMessageForCode(code);
  return text != nullptr ? text : "";
}

std::string TypeWord(int32_t t) {
  return t >= 0 && t < static_cast<int32_t>(std::size(kTypeWords)) ? kTypeWords[t] : "";
}

std::string SubTypeWord(int32_t s) {
  if (s >= 0 && s < static_cast<int32_t>(std::size(kSubTypeWords))) return kSubTypeWords[s];
  // The protocol engines' state names, which this system only lists.
  if (s >= 30 && s <= 241) return Table(15100 + s);
  if (s >= 242 && s <= 256) return kPacketWords[s - 242];
  return "";
}

std::string TimeText(uint32_t ms) {
  std::string digits = std::to_string(ms);
  if (digits.size() < 7) digits.insert(0, 7 - digits.size(), '0');
  digits.insert(digits.size() - 3, ".");
  return digits;
}

std::string Padded(std::string s, size_t width, bool right) {
  if (s.size() < width) s.insert(right ? 0 : s.size(), width - s.size(), ' ');
  return s;
}

struct LogEntry {
  int32_t type;
  int32_t subType;
  uint32_t time;
  uint32_t data;
  std::string bytes;
};

std::string ReferenceRow(const LogEntry& e, bool inHex, bool allHex) {
  char data[16];
  std::snprintf(data, sizeof data, "%08X", static_cast<unsigned>(e.data));
  std::string out = Padded(TimeText(e.time), 8, true) + "  " + Padded(TypeWord(e.type), 8, false) +
                    "  " + Padded(SubTypeWord(e.subType), 12, false) + "  " + data + "  ";
  if (e.bytes.empty()) {
    if (e.type == 10)
      out += "[" + (e.data <= 42 ? Table(15700 + static_cast<int32_t>(e.data)) : "") + "]";
    return out + kCrLf;
  }
  if (e.subType == 15 && (e.type == 5 || e.type == 6)) {
    const auto kind = static_cast<uint8_t>(e.bytes[0]);
    if (kind < std::size(kStatusKinds)) out += kStatusKinds[kind];
  } else {
    int counter = 45;
    for (const char c : e.bytes) {
      const std::string item =
          allHex && e.type == 19 ? std::string(1, c) : Item(static_cast<uint8_t>(c), inHex, allHex);
      counter += static_cast<int>(item.size());
      if (counter > 78) {
        out += kCrLf + std::string(44, ' ');
        counter = 45 + static_cast<int>(item.size());
      }
      out += item;
    }
  }
  if (e.subType == 4) {
    std::string names = " (";
    for (int bit = 0; bit < 8; ++bit)
      if ((e.data & (1u << bit)) != 0) names += kModemBits[bit];
    names = names.substr(0, 80);
    while (!names.empty() && names.front() == ' ')
      names.erase(0, 1);
    while (!names.empty() && names.back() == ' ')
      names.pop_back();
    out += names + ")";
  }
  return out + kCrLf;
}

sio::TLogHeaderTexts FixedHeader() {
  return {"FuzzCC 1", "FuzzOS 2.0 ", "09/12/26, 21:00:00"};
}

std::string ReadFile(const std::string& path, bool& exists) {
  std::ifstream in(path, std::ios::binary);
  exists = static_cast<bool>(in);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FileName(const char* what) {
  return "/tmp/sio-fuzz-" + std::to_string(::getpid()) + "-" + what;
}

void FuzzTrace(FuzzedDataProvider& in) {
  sio::platform::CriticalSection section;
  sio::TSioTraceLog log(section);
  const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(1, 160);
  FUZZ_CHECK(log.OpenTraceBuffer(size) == 0, "open trace");
  std::vector<sio::TraceEntry> added;
  const size_t runs = in.ConsumeIntegralInRange<size_t>(0, 40);
  for (size_t r = 0; r < runs && in.remaining_bytes() > 0; ++r) {
    const uint8_t k = in.ConsumeIntegral<uint8_t>();
    const char kind = k < 110 ? 'R' : k < 220 ? 'T' : static_cast<char>(k ^ 0x5A);
    const std::string bytes = in.ConsumeRandomLengthString(120);
    if (in.ConsumeBool()) {
      log.AddTraceBlock(kind, bytes.data(), static_cast<int32_t>(bytes.size()));
    } else {
      for (const char c : bytes)
        log.AddTraceByte(kind, static_cast<uint8_t>(c));
    }
    for (const char c : bytes)
      added.push_back({kind, static_cast<uint8_t>(c)});
  }
  const bool inHex = in.ConsumeBool();
  const bool allHex = in.ConsumeBool();
  const bool append = in.ConsumeBool();
  const std::vector<sio::TraceEntry> kept(added.size() > size ? added.end() - size : added.begin(),
                                          added.end());

  const std::string path = FileName("trace");
  std::remove(path.c_str());
  const int32_t rc =
      append ? log.AppendTraceFile(path, inHex, allHex) : log.WriteTraceFile(path, inHex, allHex);
  bool exists = false;
  const std::string text = ReadFile(path, exists);
  std::remove(path.c_str());
  FUZZ_CHECK(rc == 0, "trace dump result " + std::to_string(rc));
  FUZZ_CHECK(exists == !kept.empty(), "a trace file only when something was recorded");
  const std::string want = ReferenceTrace(kept, inHex, allHex);
  FUZZ_CHECK(text == want, "trace of size " + std::to_string(size) + " hex " +
                               std::to_string(inHex) + "/" + std::to_string(allHex) + "\ngot  \"" +
                               sio_fuzz::Visible(text) + "\"\nwant \"" + sio_fuzz::Visible(want) +
                               "\"");
  FUZZ_CHECK(log.TracingOn() && log.Head() == 0 && !log.Wrapped() && log.Size() == size,
             "the trace is empty and on after a dump");
}

void FuzzLog(FuzzedDataProvider& in) {
  sio::platform::CriticalSection section;
  sio::TSioTraceLog log(section);
  log.SetLogHeaderTextsSource(&FixedHeader);
  log.SetDeviceName("COM7");
  std::vector<LogEntry> entries;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 12);
  for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    LogEntry e;
    e.type = in.ConsumeIntegralInRange<int32_t>(-1, 22);
    const int pick = in.ConsumeIntegralInRange<int>(0, 9);
    e.subType = pick == 0   ? in.ConsumeIntegral<int32_t>()
                : pick == 1 ? in.ConsumeIntegralInRange<int32_t>(30, 260)
                : pick == 2 ? 15
                : pick == 3 ? 4
                            : in.ConsumeIntegralInRange<int32_t>(0, 30);
    e.time = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 99999999)
                              : in.ConsumeIntegral<uint32_t>();
    e.data = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(0, 50)
                              : in.ConsumeIntegral<uint32_t>();
    e.bytes = in.ConsumeRandomLengthString(200);
    log.LogQueue().Append(new sio::TLogBuffer(e.type, e.subType, e.time, e.data, e.bytes.data(),
                                              static_cast<int32_t>(e.bytes.size())));
    entries.push_back(std::move(e));
  }
  const bool inHex = in.ConsumeBool();
  const bool allHex = in.ConsumeBool();
  const bool append = in.ConsumeBool();

  const std::string path = FileName("log");
  std::remove(path.c_str());
  const int32_t rc = append ? log.AppendDispatchLogFile(path, inHex, allHex)
                            : log.WriteDispatchLogFile(path, inHex, allHex);
  bool exists = false;
  const std::string text = ReadFile(path, exists);
  std::remove(path.c_str());
  FUZZ_CHECK(rc == 0, "log dump result " + std::to_string(rc));
  FUZZ_CHECK(exists == !entries.empty(), "a log file only when something was queued");
  std::string want;
  if (!entries.empty()) {
    want = std::string("SIO v4.07") + kCrLf + "Compiler : FuzzCC 1" + kCrLf +
           "Operating System : FuzzOS 2.0 " + kCrLf + "Device: COM7" + kCrLf +
           "Date/time: 09/12/26, 21:00:00" + kCrLf +
           "Time      Type      SubType       Data      OtherData" + kCrLf +
           "--------  --------  ------------  --------  ---------" + kCrLf;
  }
  for (const LogEntry& e : entries)
    want += ReferenceRow(e, inHex, allHex);
  FUZZ_CHECK(text == want, "log hex " + std::to_string(inHex) + "/" + std::to_string(allHex) +
                               "\ngot  \"" + sio_fuzz::Visible(text) + "\"\nwant \"" +
                               sio_fuzz::Visible(want) + "\"");
  FUZZ_CHECK(log.LogQueue().Count() == 0, "the queue is empty after a dump");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  if (in.ConsumeBool()) {
    FuzzTrace(in);
  } else {
    FuzzLog(in);
  }
  return 0;
}
