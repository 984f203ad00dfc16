// Small file-system questions the serial layer asks.
#pragma once

namespace sio {

// True for an existing file; false for a directory, a missing path, an empty
// name or a null pointer.
bool PathExists(const char* fileName);

}  // namespace sio
