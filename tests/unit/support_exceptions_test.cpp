// RaiseIfError beyond what each code raises (support_error_table_test.cpp
// checks that for every code): the exception classes themselves, and raising
// on many threads.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "serial/support/messages.h"

namespace sio {
namespace {

// --- The classes themselves -------------------------------------------------

TEST(ExceptionTree, FamiliesDeriveFromSioExceptionAndLeavesFromOneFamily) {
  static_assert(std::is_base_of_v<std::exception, Exception>);
  static_assert(std::is_base_of_v<Exception, ESioException>);
  static_assert(std::is_base_of_v<Exception, EInOutError>);
  static_assert(!std::is_base_of_v<ESioException, EInOutError>);
  static_assert(!std::is_base_of_v<Exception, EOutOfMemory>);
  static_assert(std::is_base_of_v<EPacket, EInvalidProperty>);
  static_assert(std::is_base_of_v<EGeneral, EInternal>);
  static_assert(std::is_base_of_v<ERas, ERasLoadFail>);
  static_assert(!std::is_base_of_v<ETapi, ERasLoadFail>);
}

TEST(ExceptionTree, SioExceptionFromATextHasErrorCodeZero) {
  const ESioException e(std::string("Insufficient memory to allocate I/O buffer."));
  EXPECT_EQ(e.ErrorCode(), 0);
  EXPECT_EQ(e.Message(), "Insufficient memory to allocate I/O buffer.");
  EXPECT_STREQ(e.what(), "Insufficient memory to allocate I/O buffer.");
}

TEST(ExceptionTree, SioExceptionFromACodeKeepsTheSignAsGiven) {
  const ESioException negative(ecHardware);
  EXPECT_EQ(negative.ErrorCode(), -2005);
  EXPECT_EQ(negative.Message(), "ie_Hardware - Specified comport in use");
  const ESioException positive(2005);
  EXPECT_EQ(positive.ErrorCode(), 2005);
  EXPECT_EQ(positive.Message(), negative.Message());
  const ESioException extreme(INT32_MIN);
  EXPECT_EQ(extreme.ErrorCode(), INT32_MIN);
  EXPECT_EQ(extreme.Message(), MessageForCode(INT32_MIN));
}

TEST(ExceptionTree, CopiesKeepMessageAndCode) {
  EBadId original(ecBadId);
  const EBadId copy = original;
  EXPECT_EQ(copy.Message(), original.Message());
  EXPECT_EQ(copy.ErrorCode(), ecBadId);
  static_assert(std::is_nothrow_copy_constructible_v<ESioException>);
  static_assert(std::is_nothrow_copy_constructible_v<EInOutError>);
  static_assert(std::is_nothrow_copy_constructible_v<EBadId>);
}

TEST(ExceptionTree, InOutErrorFromANumberReadsItsText) {
  const EInOutError e(103);
  EXPECT_EQ(e.ErrorCode(), 103);
  EXPECT_EQ(e.Message(), "File/device not open");
  const EInOutError custom("Disk is full", 101);
  EXPECT_EQ(custom.ErrorCode(), 101);
  EXPECT_EQ(custom.Message(), "Disk is full");
}

// Worker threads raise their result on their own thread; each thread must
// see its own exception.
TEST(RaiseIfError, RaisesOnTheCallingThread) {
  const std::vector<int32_t> codes = {ecBadId, ecCommNotOpen, ecFileNotFound, -1};
  std::vector<std::string> seen(codes.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 200; ++round) {
        try {
          RaiseIfError(codes[i]);
        } catch (const std::exception& e) {
          seen[i] = e.what();
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(seen[0], "ie_BadId - Specified comport doesn't exist");
  EXPECT_EQ(seen[1], "ie_NOpen - device not open");
  EXPECT_EQ(seen[2], "File not found");
  EXPECT_EQ(seen[3], "Serial I/O exception");
}

}  // namespace
}  // namespace sio
