// The programs' version record on hosts without version resources, read back
// by ReadFileVersion as Windows reads the resource. Linked into each program
// (not the finder's library, where nothing would pull it in) and kept though
// nothing refers to it.
#include "finder/version.h"

extern const char kVersionRecord[];
[[gnu::used]] const char kVersionRecord[] =
    "VS_VERSION_INFO:\\StringFileInfo\\040904E4:FileVersion=" KELVANE_FILE_VERSION;
