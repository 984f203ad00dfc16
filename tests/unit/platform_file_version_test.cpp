// The version text of a program file.
#include "platform/file_version.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

TEST(FileVersion, TheRunningProgramIsFoundAndATestProgramHasNoVersion) {
  const std::string self = sio::platform::ProgramFilePath();
  ASSERT_FALSE(self.empty());
  EXPECT_TRUE(fs::exists(self)) << self;
  // Neither a version resource nor a version record in the test program;
  // the reader's own code must not be taken for a record either.
  EXPECT_EQ(sio::platform::ReadFileVersion(self), "");
  EXPECT_EQ(
      sio::platform::ReadFileVersion((fs::temp_directory_path() / "sio-no-such-file").string()),
      "");
}

TEST(FileVersion, ARecordIsFoundWhereverItLies) {
  const std::string prefix = sio::platform::VersionRecordPrefix();
  if (prefix.empty()) GTEST_SKIP() << "this host reads version resources, not records";
  const fs::path file = fs::temp_directory_path() / "sio-file-version-test.bin";
  const struct {
    size_t offset;
    std::string tail;
    std::string expected;
  } cases[] = {
      {0, "1.2.0.0" + std::string(1, '\0'), "1.2.0.0"},
      {100, "9.8.7.6" + std::string(1, '\0') + "junk", "9.8.7.6"},
      // Across the reader's block boundary, prefix and text both.
      {(1u << 16) - 10, "1.2.0.0" + std::string(1, '\0'), "1.2.0.0"},
      {(1u << 16) + 3 - prefix.size(), "1.2.0.0" + std::string(1, '\0'), "1.2.0.0"},
      // Not terminated, or far too long: no record.
      {10, "1.2.0.0", ""},
      {10, std::string(200, '7') + std::string(1, '\0'), ""},
  };
  for (const auto& c : cases) {
    {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << std::string(c.offset, 'x') << prefix << c.tail;
    }
    EXPECT_EQ(sio::platform::ReadFileVersion(file.string()), c.expected) << "at " << c.offset;
  }
  std::error_code ignored;
  fs::remove(file, ignored);
}

}  // namespace
