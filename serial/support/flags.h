// Bit-set tests on the flag words of the serial layer.
#pragma once

#include <cstdint>

namespace sio {

inline bool AnyBitSet(uint32_t flags, uint32_t mask) {
  return (flags & mask) != 0;
}

}  // namespace sio
