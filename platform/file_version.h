// The version text a program file carries, and the path of the running
// program.
#pragma once

#include <string>

namespace sio::platform {

// The full path of the running program's file (UTF-8); empty when the
// system cannot tell.
std::string ProgramFilePath();

// The "FileVersion" text of the file's version information for language and
// code page "040904E4" (US English, 1252), up to its terminating zero; empty
// when the file has no version information or not that table.
// Windows: the version resource. Other hosts have no version resources: the
// file carries a version record instead (see VersionRecordPrefix), and the
// first one found in the file is read.
std::string ReadFileVersion(const std::string& path);

// What a version record starts with on hosts without version resources; the
// version text and a terminating zero follow. A program embeds one as
//   const char record[] = "<prefix>1.2.0.0";
// and keeps it from being discarded.
std::string VersionRecordPrefix();

}  // namespace sio::platform
