// The plain rule a data trigger follows, for tests and the fuzzer to hold the
// dispatcher's slot matcher against: a match is reported at each byte that
// completes an occurrence of the text beginning after the previous match.
#pragma once

#include <string>
#include <vector>

namespace sio_test {

// text is the trigger's stored text (upper case when ignoreCase); out[j]
// says whether byte j of stream completes a match.
inline std::vector<bool> ReferenceMatches(const std::string& text, const std::string& stream,
                                          bool ignoreCase = false) {
  std::vector<bool> out(stream.size(), false);
  auto fold = [ignoreCase](char c) {
    return ignoreCase && c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  };
  long lastEnd = -1;
  for (size_t j = 0; j < stream.size(); ++j) {
    if (text.empty() || j + 1 < text.size()) continue;
    const size_t start = j + 1 - text.size();
    if (static_cast<long>(start) <= lastEnd) continue;
    bool same = true;
    for (size_t k = 0; k < text.size() && same; ++k)
      same = fold(stream[start + k]) == text[k];
    if (same) {
      out[j] = true;
      lastEnd = static_cast<long>(j);
    }
  }
  return out;
}

}  // namespace sio_test
