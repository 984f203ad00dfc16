#include "serial/support/files.h"

#include <filesystem>
#include <system_error>

namespace sio {

bool PathExists(const char* fileName) {
  if (fileName == nullptr || *fileName == '\0') return false;
  std::error_code ec;
  const auto status = std::filesystem::status(fileName, ec);
  return !ec && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

}  // namespace sio
