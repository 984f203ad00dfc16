#include "finder/headless_view.h"

#include <cstdio>

namespace finder {

THeadlessView::THeadlessView(std::FILE* out, std::FILE* err, bool colour)
    : out_(out), err_(err), colour_(colour) {}

void THeadlessView::LogAppended(std::string_view text, uint32_t colour) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\r') c = '\n';
  }
  const bool red = colour_ && colour != clBlack;
  if (red) std::fputs("\x1b[31m", out_);
  std::fwrite(line.data(), 1, line.size(), out_);
  if (red) std::fputs("\x1b[0m", out_);
  std::fflush(out_);
}

void THeadlessView::ShowMessage(const std::string& text) {
  std::fprintf(err_, "[message box] %s\n", text.c_str());
  std::fflush(err_);
}

void THeadlessView::ShowError(const std::string& message) {
  std::fprintf(err_, "[error] %s\n", message.c_str());
  std::fflush(err_);
}

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

const char* Bool(bool b) {
  return b ? "true" : "false";
}

}  // namespace

std::string ProbeReportJson(const std::vector<TProbeRecord>& probes) {
  std::string out = "{\n  \"probes\": [";
  for (size_t i = 0; i < probes.size(); ++i) {
    const TProbeRecord& p = probes[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"port\": " + JsonString(p.Port);
    out += ", \"device\": " + (p.Device.empty() ? std::string("null") : JsonString(p.Device));
    out += ", \"baud\": " + std::to_string(p.Baud);
    out += std::string(", \"result\": ") + (p.Found ? "\"found\"" : "\"nothing\"");
    out += std::string(", \"seen\": {\"KELVANE\": ") + Bool(p.SawBanner);
    out += std::string(", \"OBDII to RS232 Interpreter\": ") + Bool(p.SawInterpreter);
    out += std::string(", \"ELM327_CLONE\": ") + Bool(p.SawClone) + "}";
    out += std::string(", \"identifier_sent\": ") + Bool(p.IdentifierSent) + "}";
  }
  out += probes.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace finder
