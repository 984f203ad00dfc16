#include "finder/headless_view.h"

#include <algorithm>
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

// The length of the well-formed UTF-8 sequence at text[at] (shortest form,
// no surrogates, at most U+10FFFF), 0 when there is none.
size_t Utf8SequenceAt(const std::string& text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  // The second byte's range depends on the lead; the later ones are any
  // continuation byte.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// JSON text is UTF-8, but a device path is whatever bytes the host allows:
// each byte that starts no well-formed sequence becomes U+FFFD.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t at = 0; at < text.size();) {
    const size_t length = Utf8SequenceAt(text, at);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    const char ch = text[at++];
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

std::string JsonText(const std::string& text) {
  return text.empty() ? std::string("null") : JsonString(text);
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

// The description's fields, each after ", ": absent ones are null.
std::string DescriptionJson(const sio::platform::PortDescription& d) {
  std::string out = ", \"kind\": " + JsonString(sio::platform::PortKindName(d.kind));
  out += ", \"vid\": " + (d.hasUsbIds ? JsonString(Hex4(d.vendorId)) : std::string("null"));
  out += ", \"pid\": " + (d.hasUsbIds ? JsonString(Hex4(d.productId)) : std::string("null"));
  out += ", \"manufacturer\": " + JsonText(d.manufacturer);
  out += ", \"product\": " + JsonText(d.product);
  out += ", \"serial_number\": " + JsonText(d.serialNumber);
  out += ", \"driver\": " + JsonText(d.driver);
  out += ", \"bluetooth_address\": " + JsonText(d.bluetoothAddress);
  return out;
}

// A column of the port list: "-" when unknown, the text itself when it is
// one word of visible characters ("\\.\COM5" too), else a JSON string.
std::string Field(const std::string& text) {
  if (text.empty()) return "-";
  bool plain = text != "-" && text[0] != '"';
  for (size_t at = 0; plain && at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const size_t length = Utf8SequenceAt(text, at);
    plain = length > 0 && c > 0x20 && c != 0x7f;
    at += length;
  }
  return plain ? text : JsonString(text);
}

// Characters, not bytes: UTF-8 continuation bytes take no column.
size_t Width(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::string PortListText(const std::vector<sio::platform::HostPort>& ports,
                         const std::vector<sio::platform::PortDescription>& descriptions) {
  std::vector<std::vector<std::string>> rows;
  for (size_t i = 0; i < ports.size(); ++i) {
    const sio::platform::PortDescription d =
        i < descriptions.size() ? descriptions[i] : sio::platform::PortDescription();
    std::vector<std::string> row{ports[i].name,
                                 Field(ports[i].path),
                                 sio::platform::PortKindName(d.kind),
                                 d.hasUsbIds ? Hex4(d.vendorId) + ":" + Hex4(d.productId) : "-",
                                 Field(d.product),
                                 Field(d.serialNumber)};
    if (!d.bluetoothAddress.empty()) row.push_back(d.bluetoothAddress);
    rows.push_back(row);
  }
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], Width(row[c]));
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      if (c > 0) line += std::string(widths[c - 1] - Width(row[c - 1]) + 2, ' ');
      line += row[c];
    }
    out += line + "\n";
  }
  return out;
}

std::string PortListJson(const std::vector<sio::platform::HostPort>& ports,
                         const std::vector<sio::platform::PortDescription>& descriptions) {
  std::string out = "{\n  \"ports\": [";
  for (size_t i = 0; i < ports.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"port\": " + JsonString(ports[i].name);
    out += ", \"device\": " + JsonText(ports[i].path);
    out += DescriptionJson(i < descriptions.size() ? descriptions[i]
                                                   : sio::platform::PortDescription());
    out += "}";
  }
  out += ports.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

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
    out += std::string(", \"identifier_sent\": ") + Bool(p.IdentifierSent);
    out += DescriptionJson(p.Adapter) + "}";
  }
  out += probes.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace finder
