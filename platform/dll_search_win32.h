// Libraries of the system that the programs load at run time rather than
// import: an import of a DLL that is not one of the system's known DLLs is
// looked for in the program's folder first.
#pragma once

#include <windows.h>

namespace sio::platform {

// Loads the DLL of this file name from the system's folder, whatever else
// the search order holds; nullptr when the system has no such DLL. Kept
// loaded for the life of the process.
HMODULE LoadSystemDll(const wchar_t* fileName);

}  // namespace sio::platform
