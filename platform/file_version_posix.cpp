// Version records in ELF (or any other) program files: the file is scanned
// for the record's prefix.
#include "platform/file_version.h"

#include <fstream>

#include <limits.h>
#include <unistd.h>

namespace sio::platform {

namespace {

// Held in two pieces joined at run time, so that this reader's own code
// never contains the prefix as one run of bytes and cannot be taken for a
// record.
constexpr const char* kPrefixHead = "VS_VERSION_INFO:";
constexpr const char* kPrefixTail = "\\StringFileInfo\\040904E4:FileVersion=";

// Version records are short; a longer run is no record.
constexpr size_t kMaxVersionLength = 64;

}  // namespace

std::string VersionRecordPrefix() {
  return std::string(kPrefixHead) + kPrefixTail;
}

std::string ProgramFilePath() {
  char buffer[PATH_MAX + 1] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ReadFileVersion(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string();
  const std::string prefix = VersionRecordPrefix();
  // Read in blocks; keep the tail of each so a record split across two
  // blocks is still found.
  constexpr size_t kBlock = 1 << 16;
  std::string window;
  std::string block(kBlock, '\0');
  while (file) {
    file.read(block.data(), static_cast<std::streamsize>(kBlock));
    const auto got = static_cast<size_t>(file.gcount());
    if (got == 0) break;
    window.append(block.data(), got);
    size_t at = window.find(prefix);
    while (at != std::string::npos) {
      const size_t start = at + prefix.size();
      const size_t end = window.find('\0', start);
      if (end == std::string::npos) break;  // the rest is in the next block
      if (end - start <= kMaxVersionLength) return window.substr(start, end - start);
      at = window.find(prefix, at + 1);
    }
    const size_t keep = prefix.size() + kMaxVersionLength + 1;
    if (at != std::string::npos) {
      window.erase(0, at);
    } else if (window.size() > keep) {
      window.erase(0, window.size() - keep);
    }
  }
  return std::string();
}

}  // namespace sio::platform
