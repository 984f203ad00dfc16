// The line speed a host has set on a pseudo-terminal, read from either side.
#pragma once

#include <cstdint>

namespace elmsim {

// The output speed in baud of the terminal behind fd (on Linux a pty master
// reports its slave's settings); 0 when it cannot be read.
uint32_t TerminalSpeed(int fd);

}  // namespace elmsim
