// The SIO_PORTS parser against a reference written from the rules (commas
// between entries, blanks and tabs around an entry ignored, "n=/path" with
// n = 1..65535 in decimal without leading zeros, a path without ";", the
// first entry of a number wins, ascending by number), and the round trip:
// the table written back as an override text parses to the same table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/host_ports.h"

namespace {

struct Entry {
  uint32_t number;
  std::string path;
};

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

std::vector<Entry> Reference(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (const char c : text) {
    if (c == ',') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  std::vector<Entry> out;
  for (std::string piece : pieces) {
    while (!piece.empty() && Blank(piece.front()))
      piece.erase(piece.begin());
    while (!piece.empty() && Blank(piece.back()))
      piece.pop_back();
    const size_t eq = piece.find('=');
    if (eq == std::string::npos || eq == 0 || eq > 5) continue;
    const std::string digits = piece.substr(0, eq);
    if (digits[0] == '0') continue;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    const unsigned long number = std::stoul(digits);
    if (number > 65535) continue;
    const std::string path = piece.substr(eq + 1);
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
        path.find(';') != std::string::npos)
      continue;
    const bool seen = std::any_of(out.begin(), out.end(),
                                  [number](const Entry& e) { return e.number == number; });
    if (!seen) out.push_back({static_cast<uint32_t>(number), path});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Entry& a, const Entry& b) { return a.number < b.number; });
  return out;
}

std::string Describe(const std::vector<sio::platform::HostPort>& ports) {
  std::string out;
  for (const auto& p : ports)
    out += std::to_string(p.number) + "=" + sio_fuzz::Visible(p.path) + " ";
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<sio::platform::HostPort> got = sio::platform::ParsePortOverride(text);
  const std::vector<Entry> want = Reference(text);
  const std::string detail = "text \"" + sio_fuzz::Visible(text) + "\" gave " + Describe(got);
  FUZZ_CHECK(got.size() == want.size(), detail);
  for (size_t i = 0; i < got.size(); ++i) {
    FUZZ_CHECK(got[i].number == want[i].number, detail);
    FUZZ_CHECK(got[i].path == want[i].path, detail);
    FUZZ_CHECK(got[i].name == "COM" + std::to_string(want[i].number), detail);
  }
  std::string written;
  for (const auto& p : got)
    written += (written.empty() ? "" : ",") + std::to_string(p.number) + "=" + p.path;
  const std::vector<sio::platform::HostPort> again = sio::platform::ParsePortOverride(written);
  FUZZ_CHECK(again.size() == got.size(),
             detail + " rewritten \"" + sio_fuzz::Visible(written) + "\"");
  for (size_t i = 0; i < got.size(); ++i)
    FUZZ_CHECK(again[i].number == got[i].number && again[i].path == got[i].path,
               detail + " rewritten \"" + sio_fuzz::Visible(written) + "\"");
  return 0;
}
