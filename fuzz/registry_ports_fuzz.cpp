// The registry's port list turned into ports, against a reference written
// from the rules: data of size 0 reads as the empty text, other data must be
// text (the first value that is not stops the list with its error), text ends
// at its first NUL, names starting with "COM" are kept as read; the ports are
// those names that are "COM" (any case) and 1..65535 without leading zeros,
// ascending, the first of a number winning, each opened as "\\.\COMn".
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/host_ports.h"

namespace {

bool ReferenceNumber(const std::string& name, uint32_t& number) {
  std::string rest = name;
  if (rest.rfind("\\\\.\\", 0) == 0) rest.erase(0, 4);
  if (rest.size() < 4) return false;
  for (size_t i = 0; i < 3; ++i) {
    const char c = static_cast<char>(rest[i] >= 'a' && rest[i] <= 'z' ? rest[i] - 32 : rest[i]);
    if (c != "COM"[i]) return false;
  }
  const std::string digits = rest.substr(3);
  if (digits.size() > 5 || digits[0] == '0') return false;
  for (const char c : digits)
    if (c < '0' || c > '9') return false;
  const unsigned long n = std::stoul(digits);
  if (n == 0 || n > 65535) return false;
  number = static_cast<uint32_t>(n);
  return true;
}

// Mostly port-like data, so that the interesting branches are reached.
std::string Data(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return "COM" + std::to_string(in.ConsumeIntegralInRange<uint32_t>(0, 70000));
    case 1:
      return (in.ConsumeBool() ? "com" : "COM") + in.ConsumeRandomLengthString(8);
    case 2:
      return "COM" + std::to_string(in.ConsumeIntegralInRange<uint32_t>(1, 40)) +
             std::string(1, '\0') + in.ConsumeRandomLengthString(4);
    default:
      return in.ConsumeRandomLengthString(12);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  FuzzedDataProvider in(bytes, size);
  std::vector<sio::platform::RegistryPortValue> values;
  const int count = in.ConsumeIntegralInRange<int>(0, 24);
  for (int i = 0; i < count; ++i) {
    sio::platform::RegistryPortValue v;
    v.name = "\\Device\\Serial" + std::to_string(i);
    // Text types most of the time; now and then a binary, a number or an
    // empty value.
    const uint32_t types[] = {1, 1, 1, 2, 0, 3, 4, 7};
    v.type = types[in.ConsumeIntegralInRange<size_t>(0, 7)];
    v.data = in.ConsumeBool() ? std::string() : Data(in);
    // Registry text usually carries its terminator.
    if (!v.data.empty() && in.ConsumeBool()) v.data.push_back('\0');
    values.push_back(std::move(v));
  }

  std::vector<std::string> names;
  std::string error;
  const bool ok = sio::platform::PortNamesFromRegistryValues(values, names, error);

  std::vector<std::string> wantNames;
  std::string wantError;
  for (const auto& v : values) {
    if (v.data.empty()) continue;  // the empty text: not a COM name
    if (v.type != 1 && v.type != 2) {
      wantError = "Invalid data type for '" + v.name + "'";
      break;
    }
    std::string text = v.data;
    text.resize(std::find(text.begin(), text.end(), '\0') - text.begin());
    if (text.size() >= 3 && text.compare(0, 3, "COM") == 0) wantNames.push_back(text);
  }
  std::string detail = "names:";
  for (const auto& n : names)
    detail += " \"" + sio_fuzz::Visible(n) + "\"";
  detail += " error \"" + error + "\"";
  FUZZ_CHECK(ok == wantError.empty(), detail);
  FUZZ_CHECK(error == wantError, detail);
  FUZZ_CHECK(names == wantNames, detail);

  const std::vector<sio::platform::HostPort> ports = sio::platform::PortsFromRegisteredNames(names);
  std::set<uint32_t> want;  // ascending, each number once
  for (const auto& n : names) {
    uint32_t number = 0;
    if (ReferenceNumber(n, number)) want.insert(number);
  }
  FUZZ_CHECK(ports.size() == want.size(), detail);
  size_t i = 0;
  for (const uint32_t number : want) {
    const sio::platform::HostPort& p = ports[i++];
    FUZZ_CHECK(p.number == number, detail);
    FUZZ_CHECK(p.name == "COM" + std::to_string(number), detail);
    FUZZ_CHECK(p.path == "\\\\.\\COM" + std::to_string(number), detail);
  }
  return 0;
}
