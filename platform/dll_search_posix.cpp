// Shared objects come from the dynamic linker's own paths, never from the
// program's folder unless it was linked to look there.
#include "platform/dll_search.h"

namespace sio::platform {

void RestrictDllSearchToSystem() {}

}  // namespace sio::platform
