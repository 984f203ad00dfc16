// Where the process takes the libraries it loads at run time from.
#pragma once

namespace sio::platform {

// From now on every library the process loads by name (and every library
// those load in turn) comes from the system's own folder only, never from
// the program's folder or the current directory, so that a DLL put beside
// the program cannot run inside it. Call first thing in main, before
// anything loads a library. Windows: SetDefaultDllDirectories where the
// system has it (Windows 8, and Windows 7 with its loader update); other
// hosts take shared objects from the linker's own paths: nothing to do.
void RestrictDllSearchToSystem();

}  // namespace sio::platform
