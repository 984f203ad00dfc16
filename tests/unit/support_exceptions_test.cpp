// The exception tree and RaiseIfError: which class each code raises, with
// which message and ErrorCode, and when nothing is raised at all.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "serial/support/component.h"
#include "serial/support/error_codes.h"
#include "serial/support/exceptions.h"
#include "serial/support/messages.h"

namespace sio {
namespace {

// Runs RaiseIfError for a code and hands back what it raised. Fails the test
// when nothing was raised.
std::exception_ptr Raised(int32_t code) {
  TComponent component;
  try {
    const int32_t result = RaiseIfError(&component, code);
    ADD_FAILURE() << "code " << code << " raised nothing and returned " << result;
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// The exact class of what a code raises, and the exception itself.
template <class E>
void ExpectRaisesExactly(int32_t code) {
  SCOPED_TRACE("code " + std::to_string(code));
  const std::exception_ptr raised = Raised(code);
  ASSERT_TRUE(raised);
  try {
    std::rethrow_exception(raised);
  } catch (const ESioException& e) {
    EXPECT_EQ(typeid(e), typeid(E)) << "raised " << typeid(e).name();
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_EQ(e.Message(), MessageForCode(code));
  } catch (...) {
    ADD_FAILURE() << "not an ESioException";
  }
}

void ExpectPlainSioException(int32_t code) {
  SCOPED_TRACE("code " + std::to_string(code));
  const std::exception_ptr raised = Raised(code);
  ASSERT_TRUE(raised);
  try {
    std::rethrow_exception(raised);
  } catch (const ESioException& e) {
    EXPECT_EQ(typeid(e), typeid(ESioException)) << "raised " << typeid(e).name();
    EXPECT_EQ(e.Message(), "Serial I/O exception");
    EXPECT_STREQ(e.what(), "Serial I/O exception");
    EXPECT_EQ(e.ErrorCode(), 0);
  } catch (...) {
    ADD_FAILURE() << "not an ESioException";
  }
}

// --- What is not raised ----------------------------------------------------

TEST(RaiseIfError, ReturnsCodesThatAreNotErrors) {
  TComponent component;
  EXPECT_EQ(RaiseIfError(&component, 0), 0);
  EXPECT_EQ(RaiseIfError(&component, 17), 17);
  EXPECT_EQ(RaiseIfError(&component, INT32_MAX), INT32_MAX);
  EXPECT_EQ(RaiseIfError(0), 0);
  EXPECT_EQ(RaiseIfError(15001), 15001);
}

TEST(RaiseIfError, ALoadingComponentGetsTheCodeBack) {
  TComponent component;
  component.SetLoading();
  ASSERT_TRUE(component.IsLoading());
  EXPECT_EQ(RaiseIfError(&component, ecBadId), ecBadId);
  EXPECT_EQ(RaiseIfError(&component, ecFileNotFound), ecFileNotFound);
  EXPECT_EQ(RaiseIfError(&component, ecOutOfMemory), ecOutOfMemory);
  EXPECT_EQ(RaiseIfError(&component, -1), -1);
  // Once loaded, the same code raises.
  component.Loaded();
  EXPECT_THROW(RaiseIfError(&component, ecBadId), EBadId);
}

TEST(RaiseIfError, WithoutAComponentRaises) {
  EXPECT_THROW(RaiseIfError(nullptr, ecCommNotOpen), ECommNotOpen);
  EXPECT_THROW(RaiseIfError(ecBadTriggerHandle), EBadTriggerHandle);
}

// --- Codes with a class of their own ---------------------------------------

TEST(RaiseIfError, BadIdCarriesItsMessageAndSignedCode) {
  TComponent component;
  try {
    RaiseIfError(&component, -2001);
    FAIL() << "nothing raised";
  } catch (const EBadId& e) {
    EXPECT_EQ(e.Message(), "ie_BadId - Specified comport doesn't exist");
    EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(e.ErrorCode(), -2001);
  }
}

TEST(RaiseIfError, GeneralOpenAndSerialCodes) {
  ExpectRaisesExactly<EBadArgument>(-1002);
  ExpectRaisesExactly<EGotQuitMsg>(-1003);
  ExpectRaisesExactly<EInternal>(-1006);
  ExpectRaisesExactly<ECannotUseWithWinSock>(-1009);
  ExpectRaisesExactly<EBaudRate>(-2002);
  ExpectRaisesExactly<EHardware>(-2005);
  ExpectRaisesExactly<ECommNotOpen>(-2007);
  ExpectRaisesExactly<EAlreadyOpen>(-2008);
  ExpectRaisesExactly<ENoPortSelected>(-2011);
  ExpectRaisesExactly<ENotOpenedByTapi>(-2012);
  ExpectRaisesExactly<ENullApi>(-3001);
  ExpectRaisesExactly<ERegisterHandlerFailed>(-3003);
  ExpectRaisesExactly<EBaseAddressNotSet>(-3010);
  ExpectRaisesExactly<ENoMoreTriggers>(-5001);
  ExpectRaisesExactly<ETriggerTooLong>(-5002);
  ExpectRaisesExactly<EBadTriggerHandle>(-5003);
}

TEST(RaiseIfError, ModemProtocolIniAndFaxCodes) {
  ExpectRaisesExactly<EModemNotStarted>(-4001);
  ExpectRaisesExactly<EModemStatusMismatch>(-4008);
  ExpectRaisesExactly<EProtocol>(-6006);
  ExpectRaisesExactly<EProtocol>(-6008);
  ExpectRaisesExactly<EProtocol>(-6009);
  ExpectRaisesExactly<EKeyTooLong>(-7001);
  ExpectRaisesExactly<EInternal>(-7003);
  ExpectRaisesExactly<EInternal>(-7006);
  ExpectRaisesExactly<ERecordNotFound>(-7008);
  ExpectRaisesExactly<EInternal>(-7012);
  ExpectRaisesExactly<EBadFieldForIndex>(-7014);
  ExpectRaisesExactly<EFaxBadFormat>(-8001);
  ExpectRaisesExactly<ECantMakeBitmap>(-8005);
  ExpectRaisesExactly<EInvalidPageNumber>(-8053);
  ExpectRaisesExactly<EFaxBadMachine>(-8060);
  ExpectRaisesExactly<EFaxPageError>(-8070);
}

TEST(RaiseIfError, TelephonyCodesFollowTheListOrder) {
  ExpectRaisesExactly<ETapiAllocated>(-13801);
  ExpectRaisesExactly<ETapiBadDeviceID>(-13802);
  ExpectRaisesExactly<ETapiBearerModeUnavail>(-13803);
  ExpectRaisesExactly<ETapiCallUnavail>(-13805);
  ExpectRaisesExactly<ETapiInvalMessageID>(-13848);
  ExpectRaisesExactly<ETapiInvalParam>(-13850);
  ExpectRaisesExactly<ETapiNoMultipleInstance>(-13886);
  ExpectRaisesExactly<ETapiBusy>(-13928);
  ExpectRaisesExactly<ETapiNotSet>(-13929);
  ExpectRaisesExactly<ETapiNoSelect>(-13930);
  ExpectRaisesExactly<ETapiLoadFail>(-13931);
  ExpectRaisesExactly<ETapiGetAddrFail>(-13932);
  ExpectRaisesExactly<ETapiVoiceNotSupported>(-13935);
  ExpectRaisesExactly<ETapiWaveFail>(-13936);
  ExpectRaisesExactly<ETapiTranslateFail>(-13942);
  ExpectRaisesExactly<ERasLoadFail>(-13980);
}

TEST(RaiseIfError, EveryTelephonyCodeInTheRangeRaisesATapiClass) {
  for (int32_t code = -13801; code >= -13886; --code) {
    const std::exception_ptr raised = Raised(code);
    ASSERT_TRUE(raised);
    try {
      std::rethrow_exception(raised);
    } catch (const ETapi& e) {
      EXPECT_NE(code, -13804);
      EXPECT_NE(code, -13849);
      EXPECT_NE(typeid(e), typeid(ETapi)) << code;
    } catch (const ESioException& e) {
      // Only the two skipped codes have no class.
      EXPECT_TRUE(code == -13804 || code == -13849) << code;
      EXPECT_EQ(typeid(e), typeid(ESioException)) << code;
    }
  }
}

// --- Codes without a class of their own ------------------------------------

TEST(RaiseIfError, CodesWithoutAClassRaiseThePlainException) {
  ExpectPlainSioException(-1);
  ExpectPlainSioException(-163);
  ExpectPlainSioException(ecBadHandle);
  ExpectPlainSioException(ecNotSupported);
  ExpectPlainSioException(-4009);
  ExpectPlainSioException(-4021);
  ExpectPlainSioException(-6001);
  ExpectPlainSioException(-7009);
  ExpectPlainSioException(-7500);
  ExpectPlainSioException(-8006);
  ExpectPlainSioException(-13804);
  ExpectPlainSioException(-13849);
  ExpectPlainSioException(-13887);
  ExpectPlainSioException(-13933);
  ExpectPlainSioException(INT32_MIN);
}

// The packet matcher raises its own class with these; through RaiseIfError
// they are ordinary codes.
TEST(RaiseIfError, PacketCodesAreNotRaisedAsInvalidProperty) {
  for (int32_t code = ecStartStringEmpty; code >= ecPacketTooLong; --code) {
    ExpectPlainSioException(code);
  }
}

// --- File I/O and memory ----------------------------------------------------

TEST(RaiseIfError, FileErrorsRaiseInOutErrorWithAPositiveNumber) {
  TComponent component;
  try {
    RaiseIfError(&component, -2);
    FAIL() << "nothing raised";
  } catch (const ESioException&) {
    FAIL() << "EInOutError is not part of the serial layer's tree";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.Message(), "File not found");
    EXPECT_EQ(e.ErrorCode(), 2);
  }
  for (const int32_t code : {ecPathNotFound, ecAccessDenied, ecDeviceWrite, ecLastIoError}) {
    try {
      RaiseIfError(&component, code);
      ADD_FAILURE() << code << " raised nothing";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode(), -code);
      EXPECT_EQ(e.Message(), MessageForCode(code));
      EXPECT_FALSE(e.Message().empty()) << code;
    }
  }
}

TEST(RaiseIfError, FileErrorsWithoutTableTextCarryTheSystemText) {
  ASSERT_EQ(TableMessageForCode(32), nullptr);
  try {
    RaiseIfError(-32);
    FAIL() << "nothing raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 32);
    EXPECT_EQ(e.Message(), MessageForCode(32));
    EXPECT_FALSE(e.Message().empty());
  }
}

TEST(RaiseIfError, OutOfMemoryIsABadAlloc) {
  TComponent component;
  try {
    RaiseIfError(&component, -8);
    FAIL() << "nothing raised";
  } catch (const ESioException&) {
    FAIL() << "raised a serial-layer exception";
  } catch (const EInOutError&) {
    FAIL() << "raised an I/O error";
  } catch (const std::bad_alloc& e) {
    EXPECT_EQ(typeid(e), typeid(EOutOfMemory));
    EXPECT_STREQ(e.what(), "Insufficient memory");
  }
}

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

  // At run time: an exception of each family is caught as its family and as
  // ESioException, and as no other family.
  const std::vector<std::pair<int32_t, const char*>> samples = {{ecInternal, "EGeneral"},
                                                                {ecBadId, "EOpenComm"},
                                                                {ecNullApi, "ESerialIO"},
                                                                {-4002, "EModem"},
                                                                {ecNoMoreTriggers, "ETrigger"},
                                                                {-6006, "EProtocol"},
                                                                {-7002, "EINI"},
                                                                {-8064, "EFax"},
                                                                {-13866, "ETapi"},
                                                                {-13980, "ERas"}};
  for (const auto& [code, family] : samples) {
    std::vector<std::string> families;
    try {
      RaiseIfError(code);
    } catch (const ESioException& e) {
      if (dynamic_cast<const EGeneral*>(&e)) families.push_back("EGeneral");
      if (dynamic_cast<const EOpenComm*>(&e)) families.push_back("EOpenComm");
      if (dynamic_cast<const ESerialIO*>(&e)) families.push_back("ESerialIO");
      if (dynamic_cast<const EModem*>(&e)) families.push_back("EModem");
      if (dynamic_cast<const ETrigger*>(&e)) families.push_back("ETrigger");
      if (dynamic_cast<const EPacket*>(&e)) families.push_back("EPacket");
      if (dynamic_cast<const EProtocol*>(&e)) families.push_back("EProtocol");
      if (dynamic_cast<const EINI*>(&e)) families.push_back("EINI");
      if (dynamic_cast<const EFax*>(&e)) families.push_back("EFax");
      if (dynamic_cast<const ETapi*>(&e)) families.push_back("ETapi");
      if (dynamic_cast<const ERas*>(&e)) families.push_back("ERas");
    }
    EXPECT_EQ(families, std::vector<std::string>{family}) << code;
  }
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
