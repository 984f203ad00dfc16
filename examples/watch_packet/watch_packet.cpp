// Watches a serial port for packets that begin with a start text and end
// with an end text (both may hold "?" for any byte and "\" to make the next
// character literal) and prints each one, for a number of seconds. A command
// can be sent first, for devices that speak only when asked.
//
//   watch_packet <port number> <start> <end> [seconds] [command]
//   watch_packet 3 ELM "\r" 2 ATI
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <sio/platform/message_loop.h>
#include <sio/serial/packet/data_packet.h>
#include <sio/serial/port/com_port.h>
#include <sio/serial/support/ticks.h>

namespace {

struct Printer {
  int packets = 0;
  // Runs on this thread while the port's dispatcher waits for it.
  void Packet(sio::TComponent*, const std::string& data) {
    ++packets;
    std::string shown;
    for (const char c : data)
      shown += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    std::printf("packet: %s\n", shown.c_str());
    std::fflush(stdout);
  }
};

int Usage() {
  std::fputs("usage: watch_packet <port number> <start> <end> [seconds] [command]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 6) return Usage();
  const long number = std::strtol(argv[1], nullptr, 10);
  const long seconds = argc >= 5 ? std::strtol(argv[4], nullptr, 10) : 5;
  if (number < 1 || number > 65535 || seconds < 0) return Usage();

  sio::platform::InitUserInterfaceThread();
  Printer printer;
  try {
    sio::TSioComPort port;
    port.SetComNumber(static_cast<uint16_t>(number));
    port.SetAutoOpen(false);
    sio::TSioDataPacket packet;
    packet.SetComPort(&port);
    packet.SetStartString(argv[2]);
    packet.SetEndCond(sio::EndCondBit(sio::ecString));
    packet.SetEndString(argv[3]);
    packet.SetOnStringPacket(sio::TStringPacketNotifyEvent::Of<&Printer::Packet>(&printer));
    packet.SetEnabled(true);
    // Opening the port starts the enabled matcher.
    port.SetOpen(true);
    if (argc == 6) port.OutputString(std::string(argv[5]) + "\r");
    // One tick is 55 ms.
    sio::WaitTicks(static_cast<int32_t>(seconds * 1000 / 55), true);
    port.SetOpen(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "watch_packet: %s\n", e.what());
    return 1;
  }
  return printer.packets > 0 ? 0 : 1;
}
