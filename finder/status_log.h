// The status log's model: the text of the log, in which "\r" is a line
// break, and the colour of every run of it. Every front-end (the Win32
// window, the Qt window, the headless runner) shows this one model and is
// told of each change as it happens.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace finder {

// Colours as the log stores them: 0x00BBGGRR.
constexpr uint32_t clBlack = 0x000000;
constexpr uint32_t clRed = 0x0000FF;

struct TLogRun {
  size_t Start;  // index into the text where the run begins
  uint32_t Colour;
  bool operator==(const TLogRun&) const = default;
};

class TStatusLog {
 public:
  // Told of every change, in order, so a view can follow the model.
  class Listener {
   public:
    virtual ~Listener() = default;
    virtual void LogCleared() = 0;
    // text was added at the end of the log in this colour.
    virtual void LogAppended(std::string_view text, uint32_t colour) = 0;
  };

  void SetListener(Listener* listener) { listener_ = listener; }

  // A line break first when the log is not empty and does not end with one;
  // then text and a line break.
  void AddLine(std::string_view text);
  // text at the end, as it is.
  void Append(std::string_view text);
  // The colour of the text appended from now on.
  void SetColour(uint32_t colour) { colour_ = colour; }
  // Empties the log; the colour stays.
  void Clear();

  const std::string& Text() const { return text_; }
  uint32_t Colour() const { return colour_; }
  // The runs of the text, each with its colour; adjacent runs differ.
  const std::vector<TLogRun>& Runs() const { return runs_; }

 private:
  void Add(std::string_view text);

  std::string text_;
  std::vector<TLogRun> runs_;
  uint32_t colour_ = clBlack;
  Listener* listener_ = nullptr;
};

}  // namespace finder
