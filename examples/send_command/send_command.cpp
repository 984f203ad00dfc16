// Opens a serial port, sends one command and prints what comes back, read
// through the port's availability handler, until the device's ">" prompt or
// two seconds of quiet.
//
//   send_command <port number> <command> [baud]
//   send_command 3 "ATI"        sends "ATI" and a carriage return to COM3
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <sio/platform/message_loop.h>
#include <sio/serial/port/com_port.h>
#include <sio/serial/support/ticks.h>

namespace {

struct Reply {
  std::string text;
  // Runs on this thread, from the message loop that WaitTicks serves.
  void Avail(sio::TComponent* port, uint16_t count) {
    std::string chunk(count, '\0');
    auto* dispatcher = static_cast<sio::TSioComPort*>(port)->GetDispatcher();
    if (dispatcher->GetBlock(chunk.data(), count) == count) text += chunk;
  }
  bool Complete() const { return !text.empty() && text.back() == '>'; }
};

int Usage() {
  std::fputs("usage: send_command <port number> <command> [baud]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) return Usage();
  const long number = std::strtol(argv[1], nullptr, 10);
  const long baud = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 38400;
  if (number < 1 || number > 65535 || baud <= 0) return Usage();

  sio::platform::InitUserInterfaceThread();
  Reply reply;
  try {
    sio::TSioComPort port;
    port.SetComNumber(static_cast<uint16_t>(number));
    port.SetBaud(static_cast<int32_t>(baud));
    port.SetAutoOpen(false);
    port.SetOnTriggerAvail(sio::TTriggerAvailEvent::Of<&Reply::Avail>(&reply));
    port.SetOpen(true);
    port.OutputString(std::string(argv[2]) + "\r");
    // 2 s without the prompt ends the wait: 37 ticks of 55 ms each.
    size_t heard = 0;
    for (int quiet = 0; quiet < 37 && !reply.Complete(); ++quiet) {
      sio::WaitTicks(1, true);
      if (reply.text.size() != heard) quiet = 0;
      heard = reply.text.size();
    }
    port.SetOpen(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "send_command: %s\n", e.what());
    return 1;
  }
  // Carriage returns end the device's lines; show them as line breaks.
  for (char& c : reply.text)
    if (c == '\r') c = '\n';
  std::fputs(reply.text.c_str(), stdout);
  std::fputc('\n', stdout);
  return reply.text.empty() ? 1 : 0;
}
