// Facts about the host: error texts, its name and version.
#pragma once

#include <cstdint>
#include <string>

namespace sio::platform {

// The system's own text for a Windows error number (Windows: FormatMessage
// with system messages in the default language; other hosts: Windows'
// English text for the numbers this layer reports). Empty when there is no
// text for it. Returned raw: line breaks and all.
std::string SystemErrorText(uint32_t errorNumber);

// The last error of the calling thread as a Windows error number
// (GetLastError; elsewhere errno translated as for a file).
uint32_t LastSystemError();

// The operating system's version record.
struct OsVersionRecord {
  uint32_t platformId = 0;  // 0 Win32s, 1 Windows 9x, 2 NT; anything else: another host
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  std::string servicePack;  // service-pack text (CSD version)
};

// The text for a version record: the base text chosen from the platform,
// major and minor, then major "." minor " " and the service-pack text
// (9x family: no service-pack text). E.g. "Windows XP 5.1 Service Pack 3".
std::string DescribeVersionRecord(const OsVersionRecord& record);

// Windows: DescribeVersionRecord of the real version record (RtlGetVersion).
// Other hosts: the kernel's name, then major "." minor " " and its version
// text, in the same shape, e.g. "Linux 6.1 #1 SMP PREEMPT_DYNAMIC ...".
std::string DescribeOperatingSystem();

// The text the compiler that built this program identifies itself with.
std::string CompilerDescription();

}  // namespace sio::platform
