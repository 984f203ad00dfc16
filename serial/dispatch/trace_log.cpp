#include "serial/dispatch/trace_log.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>

#include "platform/file_output.h"
#include "platform/local_time.h"
#include "platform/os_info.h"
#include "serial/support/error_codes.h"
#include "serial/support/messages.h"
#include "serial/support/ticks.h"

namespace sio {

namespace {

constexpr char kLineBreak[] = "\r\n";
constexpr int32_t kTraceLineWidth = 78;
// Log rows: the data column starts after a 44-character prefix.
constexpr int32_t kLogDataIndent = 44;
constexpr int32_t kLogDataCounterStart = 45;
constexpr int32_t kLogLineLimit = 78;
constexpr std::size_t kHeaderFieldLimit = 80;

// The word bands of the message table: type words end before the subtype
// words begin, and subtype words end before the header texts.
constexpr int32_t kTypeWordCount = kLogSubTypeWordBase - kLogTypeWordBase;
constexpr int32_t kSubTypeWordCount = kLogHeaderTitles - 1 - kLogSubTypeWordBase;

const char* const kStatusTriggerWords[] = {
    "(Not active)",         "(Modem status)",       "(Line status)",
    "(Output buffer free)", "(Output buffer used)", "(Output sent)",
};

std::string TableWord(int32_t code) {
  const char* text = TableMessageForCode(code);
  return text != nullptr ? std::string(text) : std::string();
}

// Only the table's own words: a code outside its band would otherwise pick
// up an unrelated text (a header line, or a system error message).
std::string TypeWord(int32_t type) {
  if (type < 0 || type >= kTypeWordCount) return std::string();
  return TableWord(kLogTypeWordBase + type);
}

std::string SubTypeWord(int32_t subType) {
  if (subType <= 0 || subType >= kSubTypeWordCount) return std::string();
  return TableWord(kLogSubTypeWordBase + subType);
}

std::string FirstCharacters(std::string text, std::size_t count) {
  if (text.size() > count) text.resize(count);
  return text;
}

std::string TwoDigits(int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", static_cast<int>(value));
  return text;
}

// Collects text in a 512-byte buffer in front of the file. The first error
// of any write, flush or the close is kept and reported once at the end:
// a dump that lost data must not read as a success.
class TextFileWriter {
 public:
  TextFileWriter() = default;
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  // Appends when asked (creating a missing file), else creates or
  // truncates. 0 or the system error number.
  uint32_t Open(const std::string& fileName, bool append) {
    if (append) return file_.OpenForAppend(fileName.c_str());
    return file_.Create(fileName.c_str());
  }

  void Write(std::string_view text) {
    while (!text.empty()) {
      const std::size_t room = sizeof buffer_ - used_;
      const std::size_t part = text.size() < room ? text.size() : room;
      std::memcpy(buffer_ + used_, text.data(), part);
      used_ += part;
      text.remove_prefix(part);
      if (used_ == sizeof buffer_) Flush();
    }
  }

  void WriteLine(std::string_view text) {
    Write(text);
    Write(kLineBreak);
  }

  // 0 or the first error met.
  uint32_t Close() {
    Flush();
    const uint32_t closeError = file_.Close();
    if (error_ == 0) error_ = closeError;
    return error_;
  }

 private:
  void Flush() {
    if (used_ == 0) return;
    const uint32_t result = error_ == 0 ? file_.Write(buffer_, used_) : 0;
    if (error_ == 0) error_ = result;
    used_ = 0;
  }

  platform::OutputFile file_;
  char buffer_[512] = {};
  std::size_t used_ = 0;
  uint32_t error_ = 0;
};

int32_t Negated(uint32_t errorNumber) {
  // Error numbers are small; anything that does not fit is still a failure.
  if (errorNumber > 0x7FFFFFFFu) return ecInternal;
  return -static_cast<int32_t>(errorNumber);
}

std::string TraceHeading(char kind) {
  if (kind == 'R') return "Receive: ";
  if (kind == 'T') return "Transmit: ";
  std::string heading = "Special-";
  heading += kind;
  heading += ": ";
  return heading;
}

std::string ModemStatusNames(uint32_t data) {
  std::string names = " (";
  for (int32_t bit = 0; bit < 8; ++bit) {
    if ((data & (1u << bit)) != 0) names += TableWord(kModemStatusBitWordBase + bit);
  }
  names = FirstCharacters(names, kHeaderFieldLimit);
  const std::size_t first = names.find_first_not_of(' ');
  const std::size_t last = names.find_last_not_of(' ');
  if (first == std::string::npos) return ")";
  return names.substr(first, last - first + 1) + ")";
}

void WriteLogRow(TextFileWriter& out, const TLogBuffer& entry, bool inHex, bool allHex) {
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08X  ", LogTimeText(entry.Time).c_str(),
                TypeWord(entry.Type).c_str(), SubTypeWord(entry.SubType).c_str(),
                static_cast<unsigned>(entry.Data));
  out.Write(prefix);

  if (entry.DataSize <= 0 || entry.Buffer == nullptr) {
    if (entry.Type == ltTelnet) {
      const std::string word =
          entry.Data <= static_cast<uint32_t>(kLastTelnetOptionWord)
              ? TableWord(kTelnetOptionWordBase + static_cast<int32_t>(entry.Data))
              : std::string();
      out.Write("[" + word + "]");
    }
    out.Write(kLineBreak);
    return;
  }

  if (entry.SubType == lsTrigStatus && (entry.Type == ltTrigAllc || entry.Type == ltTrigDisp)) {
    const uint8_t kind = entry.Buffer[0];
    if (static_cast<std::size_t>(kind) < std::size(kStatusTriggerWords))
      out.Write(kStatusTriggerWords[kind]);
  } else {
    std::string line;
    int32_t counter = kLogDataCounterStart;
    for (int32_t i = 0; i < entry.DataSize; ++i) {
      std::string item;
      int32_t width;
      if (allHex && entry.Type == ltUser) {
        // User entries carry text of their own; it stays legible.
        item.assign(1, static_cast<char>(entry.Buffer[i]));
        width = 1;
      } else {
        width = RenderDataByte(item, entry.Buffer[i], inHex, allHex);
      }
      counter += width;
      if (counter > kLogLineLimit) {
        line += kLineBreak;
        line.append(static_cast<std::size_t>(kLogDataIndent), ' ');
        counter = kLogDataCounterStart + width;
      }
      line += item;
    }
    out.Write(line);
  }
  if (entry.SubType == lsModemStatus) out.Write(ModemStatusNames(entry.Data));
  out.Write(kLineBreak);
}

}  // namespace

int32_t RenderDataByte(std::string& out, uint8_t value, bool inHex, bool allHex) {
  char text[8];
  if (!allHex) {
    const uint8_t lowestPrintable = inHex ? 33 : 32;
    if (value >= lowestPrintable && value <= 126) {
      out += static_cast<char>(value);
      return 1;
    }
  }
  if (allHex || inHex) {
    std::snprintf(text, sizeof text, "[%02X]", static_cast<unsigned>(value));
    out += text;
    return 4;
  }
  std::snprintf(text, sizeof text, "[%u]", static_cast<unsigned>(value));
  out += text;
  return value < 10 ? 3 : value < 100 ? 4 : 5;
}

std::string LogTimeText(uint32_t milliseconds) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%07lu", static_cast<unsigned long>(milliseconds));
  std::string text(digits);
  text.insert(text.size() - 3, ".");
  return text;
}

TLogHeaderTexts CurrentLogHeaderTexts() {
  TLogHeaderTexts texts;
  texts.Compiler = platform::CompilerDescription();
  if (texts.Compiler.empty()) texts.Compiler = "Unknown";
  texts.OperatingSystem = platform::DescribeOperatingSystem();
  const platform::LocalDateTime now = platform::CurrentLocalDateTime();
  const std::string dateSeparator = platform::LocaleDateSeparator();
  const std::string timeSeparator = platform::LocaleTimeSeparator();
  texts.DateTime = TwoDigits(now.Day) + dateSeparator + TwoDigits(now.Month) + dateSeparator +
                   TwoDigits(now.Year % 100) + ", " + TwoDigits(now.Hour) + timeSeparator +
                   TwoDigits(now.Minute) + timeSeparator + TwoDigits(now.Second);
  return texts;
}

TSioTraceLog::TSioTraceLog(platform::CriticalSection& dataSection) : DataSection(dataSection) {}

TSioTraceLog::~TSioTraceLog() = default;

// --- Trace ---

int32_t TSioTraceLog::OpenTraceBuffer(uint32_t size) {
  platform::CriticalSectionLock lock(DataSection);
  if (trace_ == nullptr) {
    if (size > MaxTraceSize) return ecBadArgument;
    if (size > 0) {
      std::unique_ptr<TraceEntry[]> storage(new (std::nothrow) TraceEntry[size]());
      if (storage == nullptr) return ecOutOfMemory;
      trace_ = std::move(storage);
    }
    // A trace of no entries records nothing: there is nothing to store into.
    size_ = trace_ != nullptr ? size : 0;
  }
  RestartTraceLocked();
  return ecOK;
}

void TSioTraceLog::RestartTraceLocked() {
  head_ = 0;
  wrapped_ = false;
  tracingOn_.store(true);
}

void TSioTraceLog::AddTraceByte(char kind, uint8_t value) {
  platform::CriticalSectionLock lock(DataSection);
  AddTraceByteLocked(kind, value);
}

void TSioTraceLog::AddTraceByteLocked(char kind, uint8_t value) {
  if (trace_ == nullptr) return;
  trace_[head_] = TraceEntry{kind, value};
  if (++head_ >= size_) {
    head_ = 0;
    wrapped_ = true;
  }
}

void TSioTraceLog::AddTraceBlock(char kind, const void* data, int32_t length) {
  if (data == nullptr || length <= 0) return;
  platform::CriticalSectionLock lock(DataSection);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (int32_t i = 0; i < length; ++i)
    AddTraceByteLocked(kind, bytes[i]);
}

int32_t TSioTraceLog::ResetTraceBuffer() {
  platform::CriticalSectionLock lock(DataSection);
  head_ = 0;
  wrapped_ = false;
  return ecOK;
}

void TSioTraceLog::FreeTraceBuffer() {
  platform::CriticalSectionLock lock(DataSection);
  FreeTraceBufferLocked();
}

void TSioTraceLog::FreeTraceBufferLocked() {
  tracingOn_.store(false);
  trace_.reset();
  size_ = 0;
  head_ = 0;
  wrapped_ = false;
}

void TSioTraceLog::ResumeTracing() {
  platform::CriticalSectionLock lock(DataSection);
  if (trace_ != nullptr) tracingOn_.store(true);
}

void TSioTraceLog::PauseTracing() {
  platform::CriticalSectionLock lock(DataSection);
  tracingOn_.store(false);
}

int32_t TSioTraceLog::WriteTraceFile(const std::string& fileName, bool inHex, bool allHex) {
  return DumpTrace(fileName, false, inHex, allHex);
}

int32_t TSioTraceLog::AppendTraceFile(const std::string& fileName, bool inHex, bool allHex) {
  return DumpTrace(fileName, true, inHex, allHex);
}

int32_t TSioTraceLog::DumpTrace(const std::string& fileName, bool append, bool inHex, bool allHex) {
  // The data paths and trigger processing wait until the dump is done.
  platform::CriticalSectionLock lock(DataSection);
  if (trace_ == nullptr) return ecOK;
  const uint32_t first = wrapped_ ? head_ : 0;
  const uint32_t count = wrapped_ ? size_ : head_;
  if (count == 0) return ecOK;

  TextFileWriter out;
  const uint32_t openError = out.Open(fileName, append);
  if (openError != 0) {
    FreeTraceBufferLocked();
    return Negated(openError);
  }

  int previousKind = -1;  // none yet: no kind character compares equal
  int32_t counter = 0;
  std::string item;
  for (uint32_t n = 0; n < count; ++n) {
    uint32_t index = first + n;
    if (index >= size_) index -= size_;
    const TraceEntry entry = trace_[index];
    if (static_cast<unsigned char>(entry.Kind) != previousKind) {
      if (n != 0) {
        out.Write(kLineBreak);
        out.Write(kLineBreak);
        counter = 0;
      }
      out.WriteLine(TraceHeading(entry.Kind));
      previousKind = static_cast<unsigned char>(entry.Kind);
    }
    item.clear();
    const int32_t width = RenderDataByte(item, entry.Value, inHex, allHex);
    counter += width;
    if (counter > kTraceLineWidth) {
      out.Write(kLineBreak);
      counter = width;
    }
    out.Write(item);
  }
  const uint32_t closeError = out.Close();
  // The buffer is kept and started again.
  RestartTraceLocked();
  return Negated(closeError);
}

bool TSioTraceLog::HasTraceBuffer() const {
  platform::CriticalSectionLock lock(DataSection);
  return trace_ != nullptr;
}

uint32_t TSioTraceLog::Size() const {
  platform::CriticalSectionLock lock(DataSection);
  return size_;
}

uint32_t TSioTraceLog::Head() const {
  platform::CriticalSectionLock lock(DataSection);
  return head_;
}

bool TSioTraceLog::Wrapped() const {
  platform::CriticalSectionLock lock(DataSection);
  return wrapped_;
}

TraceEntry TSioTraceLog::Entry(uint32_t index) const {
  platform::CriticalSectionLock lock(DataSection);
  if (trace_ == nullptr || index >= size_) return TraceEntry{0, 0};
  return trace_[index];
}

// --- Dispatch log ---

void TSioTraceLog::OpenDispatchLog(uint32_t size) {
  logQueue_.Clear();
  logSize_.store(size);
  loggingOn_.store(true);
}

void TSioTraceLog::LogDispatchEvent(int32_t type, int32_t subType, uint32_t data,
                                    const void* buffer, int32_t bufferLength) {
  if (!loggingOn_.load()) return;
  const uint32_t limit = logSize_.load();
  // Trim before adding: the newest entry always gets in whole.
  while (limit != 0 && logQueue_.QueuedBytes() > 0 &&
         static_cast<uint32_t>(logQueue_.QueuedBytes()) > limit) {
    TIOBuffer* oldest = logQueue_.RemoveFirst();
    if (oldest == nullptr) break;
    delete oldest;
  }
  TLogBuffer* entry = nullptr;
  try {
    entry = new TLogBuffer(type & 0xFF, subType & 0xFFFF, ElapsedSinceOpen(), data, buffer,
                           buffer != nullptr ? bufferLength : 0);
  } catch (const std::bad_alloc&) {
    // Called from the dispatcher's threads: losing one diagnostic record is
    // better than ending the thread.
    return;
  }
  logQueue_.Append(entry);
}

void TSioTraceLog::ClearDispatchLog() {
  logQueue_.Clear();
}

void TSioTraceLog::CloseDispatchLog() {
  loggingOn_.store(false);
  logQueue_.Clear();
}

void TSioTraceLog::ResumeDispatchLog() {
  loggingOn_.store(true);
}

void TSioTraceLog::PauseDispatchLog() {
  loggingOn_.store(false);
}

int32_t TSioTraceLog::WriteDispatchLogFile(const std::string& fileName, bool inHex, bool allHex) {
  return DumpLog(fileName, false, inHex, allHex);
}

int32_t TSioTraceLog::AppendDispatchLogFile(const std::string& fileName, bool inHex, bool allHex) {
  return DumpLog(fileName, true, inHex, allHex);
}

int32_t TSioTraceLog::DumpLog(const std::string& fileName, bool append, bool inHex, bool allHex) {
  if (logQueue_.Count() == 0) return ecOK;
  platform::CriticalSectionLock lock(DataSection);
  TextFileWriter out;
  const uint32_t openError = out.Open(fileName, append);
  // The entries stay queued for a later attempt.
  if (openError != 0) return Negated(openError);

  const LogHeaderTextsSource source = headerSource_.load();
  const TLogHeaderTexts texts = source != nullptr ? source() : CurrentLogHeaderTexts();
  out.WriteLine("SIO v4.07");
  out.WriteLine("Compiler : " + texts.Compiler);
  out.WriteLine("Operating System : " + FirstCharacters(texts.OperatingSystem, kHeaderFieldLimit));
  out.WriteLine("Device: " + DeviceName());
  out.WriteLine("Date/time: " + FirstCharacters(texts.DateTime, kHeaderFieldLimit));
  out.WriteLine(MessageForCode(kLogHeaderTitles));
  out.WriteLine(MessageForCode(kLogHeaderRule));

  while (TIOBuffer* item = logQueue_.RemoveFirst()) {
    std::unique_ptr<TIOBuffer> owned(item);
    if (const auto* entry = dynamic_cast<const TLogBuffer*>(item)) {
      WriteLogRow(out, *entry, inHex, allHex);
    }
  }
  return Negated(out.Close());
}

uint32_t TSioTraceLog::ElapsedSinceOpen() const {
  return MillisecondClock() - openTime_.load();
}

void TSioTraceLog::SetDeviceName(const std::string& name) {
  platform::CriticalSectionLock lock(nameLock_);
  deviceName_ = name;
}

std::string TSioTraceLog::DeviceName() const {
  platform::CriticalSectionLock lock(nameLock_);
  return deviceName_;
}

}  // namespace sio
