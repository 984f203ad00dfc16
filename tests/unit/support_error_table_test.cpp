// Every result code of the serial layer against a list written out here by
// hand: the exception it raises (exact class, family, code, text) through
// RaiseSioError and every way into RaiseIfError, and the text MessageForCode
// gives. Codes not in the list must fall back by range. The list is
// deliberately not read from the product, so a wrong text or class on either
// side shows up.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/os_info.h"
#include "serial/support/component.h"
#include "serial/support/exceptions.h"
#include "serial/support/messages.h"

namespace sio {
namespace {

using Raiser = void (*)(int32_t code);

void ViaRaiseIfError(int32_t code) {
  TComponent component;
  RaiseIfError(&component, code);
}

// A component being loaded gets the code back; loaded, it raises.
void ViaComponentOnceLoaded(int32_t code) {
  TComponent component;
  component.SetLoading();
  EXPECT_EQ(RaiseIfError(&component, code), code);
  component.Loaded();
  RaiseIfError(&component, code);
}

void WithoutComponent(int32_t code) {
  RaiseIfError(nullptr, code);
}

void ByCodeAlone(int32_t code) {
  RaiseIfError(code);
}

// Every way into RaiseIfError must raise exactly what RaiseSioError raises.
constexpr Raiser kRaisers[] = {&RaiseSioError, &ViaRaiseIfError, &ViaComponentOnceLoaded,
                               &WithoutComponent, &ByCodeAlone};

// What a code without a text of its own reads: the system's text, on one line.
std::string SystemText(int32_t code) {
  const std::string raw =
      sio::platform::SystemErrorText(static_cast<uint32_t>(code < 0 ? -code : code));
  return raw.empty() ? std::string() : CutToMessageLength(CleanSystemMessage(raw));
}

int FamiliesOf(const ESioException& e) {
  int count = 0;
  for (const bool in :
       {dynamic_cast<const EGeneral*>(&e) != nullptr, dynamic_cast<const EOpenComm*>(&e) != nullptr,
        dynamic_cast<const ESerialIO*>(&e) != nullptr, dynamic_cast<const EModem*>(&e) != nullptr,
        dynamic_cast<const ETrigger*>(&e) != nullptr, dynamic_cast<const EPacket*>(&e) != nullptr,
        dynamic_cast<const EProtocol*>(&e) != nullptr, dynamic_cast<const EINI*>(&e) != nullptr,
        dynamic_cast<const EFax*>(&e) != nullptr, dynamic_cast<const ETapi*>(&e) != nullptr,
        dynamic_cast<const ERas*>(&e) != nullptr}) {
    if (in) ++count;
  }
  return count;
}

// --- What a code raises ------------------------------------------------------

using Check = void (*)(Raiser raise, int32_t code, const std::string& text);

// A class of its own, caught as its family and as no other.
template <class E, class Family>
void Raises(Raiser raise, int32_t code, const std::string& text) {
  try {
    raise(code);
    ADD_FAILURE() << "nothing raised";
  } catch (const Family& e) {
    EXPECT_EQ(typeid(e), typeid(E)) << "raised " << typeid(e).name();
    EXPECT_EQ(FamiliesOf(e), 1) << typeid(e).name();
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_EQ(e.Message(), text);
    EXPECT_STREQ(e.what(), text.c_str());
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a " << typeid(Family).name() << ": " << typeid(e).name();
  }
}

template <class E>
constexpr Check General = &Raises<E, EGeneral>;
template <class E>
constexpr Check OpenComm = &Raises<E, EOpenComm>;
template <class E>
constexpr Check SerialIO = &Raises<E, ESerialIO>;
template <class E>
constexpr Check Modem = &Raises<E, EModem>;
template <class E>
constexpr Check Trigger = &Raises<E, ETrigger>;
template <class E>
constexpr Check Ini = &Raises<E, EINI>;
template <class E>
constexpr Check Fax = &Raises<E, EFax>;
template <class E>
constexpr Check Tapi = &Raises<E, ETapi>;
constexpr Check Protocol = &Raises<EProtocol, EProtocol>;
constexpr Check Ras = &Raises<ERasLoadFail, ERas>;

// No class of its own: the code does not travel with the plain exception.
void Plain(Raiser raise, int32_t code, const std::string&) {
  try {
    raise(code);
    ADD_FAILURE() << "nothing raised";
  } catch (const ESioException& e) {
    EXPECT_EQ(typeid(e), typeid(ESioException)) << "raised " << typeid(e).name();
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_EQ(e.Message(), "Serial I/O exception");
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an ESioException: " << typeid(e).name();
  }
}

void InOut(Raiser raise, int32_t code, const std::string& text) {
  try {
    raise(code);
    ADD_FAILURE() << "nothing raised";
  } catch (const EInOutError& e) {
    EXPECT_EQ(typeid(e), typeid(EInOutError)) << "raised " << typeid(e).name();
    EXPECT_EQ(e.ErrorCode(), -code);
    EXPECT_EQ(e.Message(), text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not an EInOutError: " << typeid(e).name();
  }
}

void OutOfMemory(Raiser raise, int32_t code, const std::string& text) {
  try {
    raise(code);
    ADD_FAILURE() << "nothing raised";
  } catch (const std::bad_alloc& e) {
    EXPECT_EQ(typeid(e), typeid(EOutOfMemory)) << "raised " << typeid(e).name();
    EXPECT_EQ(e.what(), text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a bad_alloc: " << typeid(e).name();
  }
}

// --- The list ----------------------------------------------------------------

struct Row {
  int32_t code;
  // nullptr: no text of its own, so the system's text stands.
  const char* text;
  Check raises;
};

const Row kRows[] = {
    {-2, "File not found", InOut},
    {-3, "Path not found", InOut},
    {-4, "Too many open files", InOut},
    {-5, "File access denied", InOut},
    {-6, "Invalid file handle", InOut},
    {-8, "Insufficient memory", OutOfMemory},
    {-15, "Invalid drive", InOut},
    {-18, "No more files", InOut},
    {-100, "Attempt to read beyond end of file", InOut},
    {-101, "Disk is full", InOut},
    {-102, "File/device not assigned", InOut},
    {-103, "File/device not open", InOut},
    {-104, "File/device not open for input", InOut},
    {-105, "File/device not open for output", InOut},
    {-150, "Disk is write-protected", InOut},
    {-151, "Unknown disk unit", InOut},
    {-152, "Drive is not ready", InOut},
    {-153, "Unknown command", InOut},
    {-154, "Data error", InOut},
    {-155, "Bad request structure length", InOut},
    {-156, "Seek error", InOut},
    {-157, "Unknown media type", InOut},
    {-158, "Disk sector not found", InOut},
    {-159, "Printer is out of paper", InOut},
    {-160, "Device write error", InOut},
    {-161, "Device read error", InOut},
    {-162, "General failure", InOut},

    {-1001, "Bad handle passed to com function", Plain},
    {-1002, "Bad argument passed to function", General<EBadArgument>},
    {-1003, "Got quit message", General<EGotQuitMsg>},
    {-1004, "Terminal buffer greater than 65521", General<EBufferTooBig>},
    {-1005, "ComPort component not assigned", General<EPortNotAssigned>},
    {-1006, "Internal error creating window class", General<EInternal>},
    {-1007, "Modem component not assigned", General<EModemNotAssigned>},
    {-1008, "Phonebook component not assigned", General<EPhonebookNotAssigned>},
    {-1009, "Component not compatible with WinSock", General<ECannotUseWithWinSock>},

    {-2001, "ie_BadId - Specified comport doesn't exist", OpenComm<EBadId>},
    {-2002, "ie_Baudrate - unsupported baud rate", OpenComm<EBaudRate>},
    {-2003, "ie_Bytesize - invalid byte size", OpenComm<EByteSize>},
    {-2004, "ie_Default - error in default parameters", OpenComm<EDefault>},
    {-2005, "ie_Hardware - Specified comport in use", OpenComm<EHardware>},
    {-2006, "ie_Memory - unable to allocate queues", OpenComm<EMemory>},
    {-2007, "ie_NOpen - device not open", OpenComm<ECommNotOpen>},
    {-2008, "ie_Open - device already open", OpenComm<EAlreadyOpen>},
    {-2009, "No more handles, can't open port", OpenComm<ENoHandles>},
    {-2010, "No timers available", OpenComm<ENoTimers>},
    {-2011, "The ComNumber property of the TSioComPort has not been set",
     OpenComm<ENoPortSelected>},
    {-2012, "Comport was not opened by Tapi", OpenComm<ENotOpenedByTapi>},

    {-3001, "No device layer specified", SerialIO<ENullApi>},
    {-3002, "Function not supported by driver", Plain},
    {-3003, "EnableCommNotification failed", SerialIO<ERegisterHandlerFailed>},
    {-3004, "Failed to put entire block", SerialIO<EPutBlockFail>},
    {-3005, "Failed to get entire block", SerialIO<EGetBlockFail>},
    {-3006, "Output buffer too small for block", SerialIO<EOutputBufferTooSmall>},
    {-3007, "Buffer is empty", SerialIO<EBufferIsEmpty>},
    {-3008, "Tracing not enabled", SerialIO<ETracingNotEnabled>},
    {-3009, "Logging not enabled", SerialIO<ELoggingNotEnabled>},
    {-3010, "Base address not set", SerialIO<EBaseAddressNotSet>},

    {-4001, nullptr, Modem<EModemNotStarted>},
    {-4002, nullptr, Modem<EModemBusy>},
    {-4003, nullptr, Modem<EModemNotDialing>},
    {-4004, nullptr, Modem<ENotDialing>},
    {-4005, nullptr, Modem<EAlreadyDialing>},
    {-4006, nullptr, Modem<EModemNotResponding>},
    {-4007, nullptr, Modem<EModemRejectedCommand>},
    {-4008, nullptr, Modem<EModemStatusMismatch>},

    {-5001, "No more trigger slots", Trigger<ENoMoreTriggers>},
    {-5002, "Data trigger too long", Trigger<ETriggerTooLong>},
    {-5003, "Bad trigger handle", Trigger<EBadTriggerHandle>},

    // The packet matcher raises EInvalidProperty with these itself; through
    // RaiseIfError they have no class.
    {-5501, "Start string is empty", Plain},
    {-5502, "Packet size cannot be smaller than start string", Plain},
    {-5503, "CharCount packets must have an end-condition", Plain},
    {-5504, "End string is empty", Plain},
    {-5505, "Packet size cannot be zero", Plain},
    {-5506, "Packet too long", Plain},

    {-6006, nullptr, Protocol},
    {-6008, nullptr, Protocol},
    {-6009, nullptr, Protocol},

    {-7001, nullptr, Ini<EKeyTooLong>},
    {-7002, nullptr, Ini<EDataTooLarge>},
    {-7003, nullptr, General<EInternal>},
    {-7004, nullptr, Ini<EIniWrite>},
    {-7005, nullptr, Ini<EIniRead>},
    {-7006, nullptr, General<EInternal>},
    {-7007, nullptr, Ini<ERecordExists>},
    {-7008, nullptr, Ini<ERecordNotFound>},
    {-7010, nullptr, Ini<EDatabaseFull>},
    {-7011, nullptr, Ini<EDatabaseEmpty>},
    {-7012, nullptr, General<EInternal>},
    {-7013, nullptr, Ini<EBadFieldList>},
    {-7014, nullptr, Ini<EBadFieldForIndex>},

    {-8001, nullptr, Fax<EFaxBadFormat>},
    {-8002, nullptr, Fax<EBadGraphicsFormat>},
    {-8003, nullptr, Fax<EConvertAbort>},
    {-8004, nullptr, Fax<EUnpackAbort>},
    {-8005, nullptr, Fax<ECantMakeBitmap>},
    {-8053, nullptr, Fax<EInvalidPageNumber>},
    {-8060, nullptr, Fax<EFaxBadMachine>},
    {-8061, nullptr, Fax<EFaxBadModemResult>},
    {-8062, nullptr, Fax<EFaxTrainError>},
    {-8063, nullptr, Fax<EFaxInitError>},
    {-8064, nullptr, Fax<EFaxBusy>},
    {-8065, nullptr, Fax<EFaxVoiceCall>},
    {-8066, nullptr, Fax<EFaxDataCall>},
    {-8067, nullptr, Fax<EFaxNoDialTone>},
    {-8068, nullptr, Fax<EFaxNoCarrier>},
    {-8069, nullptr, Fax<EFaxSessionError>},
    {-8070, nullptr, Fax<EFaxPageError>},

    {-13980, nullptr, Ras},
};

// The telephony classes in code order: -13801 to -13886 without -13804 and
// -13849, then the eight of kLastTapiCodes.
template <class... E>
std::vector<Check> TapiChecks() {
  return {Tapi<E>...};
}
const std::vector<Check> kTapiClasses = TapiChecks<
    ETapiAllocated, ETapiBadDeviceID, ETapiBearerModeUnavail, ETapiCallUnavail,
    ETapiCompletionOverrun, ETapiConferenceFull, ETapiDialBilling, ETapiDialDialtone,
    ETapiDialPrompt, ETapiDialQuiet, ETapiIncompatibleApiVersion, ETapiIncompatibleExtVersion,
    ETapiIniFileCorrupt, ETapiInUse, ETapiInvalAddress, ETapiInvalAddressID, ETapiInvalAddressMode,
    ETapiInvalAddressState, ETapiInvalAppHandle, ETapiInvalAppName, ETapiInvalBearerMode,
    ETapiInvalCallComplMode, ETapiInvalCallHandle, ETapiInvalCallParams, ETapiInvalCallPrivilege,
    ETapiInvalCallSelect, ETapiInvalCallState, ETapiInvalCallStatelist, ETapiInvalCard,
    ETapiInvalCompletionID, ETapiInvalConfCallHandle, ETapiInvalConsultCallHandle,
    ETapiInvalCountryCode, ETapiInvalDeviceClass, ETapiInvalDeviceHandle, ETapiInvalDialParams,
    ETapiInvalDigitList, ETapiInvalDigitMode, ETapiInvalDigits, ETapiInvalExtVersion,
    ETapiInvalGroupID, ETapiInvalLineHandle, ETapiInvalLineState, ETapiInvalLocation,
    ETapiInvalMediaList, ETapiInvalMediaMode, ETapiInvalMessageID, ETapiInvalParam,
    ETapiInvalParkID, ETapiInvalParkMode, ETapiInvalPointer, ETapiInvalPrivSelect, ETapiInvalRate,
    ETapiInvalRequestMode, ETapiInvalTerminalID, ETapiInvalTerminalMode, ETapiInvalTimeout,
    ETapiInvalTone, ETapiInvalToneList, ETapiInvalToneMode, ETapiInvalTransferMode,
    ETapiLineMapperFailed, ETapiNoConference, ETapiNoDevice, ETapiNoDriver, ETapiNoMem,
    ETapiNoRequest, ETapiNotOwner, ETapiNotRegistered, ETapiOperationFailed, ETapiOperationUnavail,
    ETapiRateUnavail, ETapiResourceUnavail, ETapiRequestOverrun, ETapiStructureTooSmall,
    ETapiTargetNotFound, ETapiTargetSelf, ETapiUninitialized, ETapiUserUserInfoTooBig, ETapiReinit,
    ETapiAddressBlocked, ETapiBillingRejected, ETapiInvalFeature, ETapiNoMultipleInstance,
    ETapiBusy, ETapiNotSet, ETapiNoSelect, ETapiLoadFail, ETapiGetAddrFail, ETapiVoiceNotSupported,
    ETapiWaveFail, ETapiTranslateFail>();
constexpr int32_t kLastTapiCodes[] = {-13928, -13929, -13930, -13931,
                                      -13932, -13935, -13936, -13942};

std::vector<Row> AllRows() {
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  std::vector<int32_t> tapiCodes;
  for (int32_t code = -13801; code >= -13886; --code) {
    if (code != -13804 && code != -13849) tapiCodes.push_back(code);
  }
  tapiCodes.insert(tapiCodes.end(), std::begin(kLastTapiCodes), std::end(kLastTapiCodes));
  EXPECT_EQ(tapiCodes.size(), kTapiClasses.size());
  for (std::size_t i = 0; i < tapiCodes.size() && i < kTapiClasses.size(); ++i) {
    rows.push_back({tapiCodes[i], nullptr, kTapiClasses[i]});
  }
  return rows;
}

// --- The checks --------------------------------------------------------------

TEST(ErrorTable, SuccessReadsOkAndCodesThatAreNotErrorsRaiseNothing) {
  EXPECT_EQ(MessageForCode(0), "OK");
  TComponent component;
  for (const int32_t code : {0, 17, 15001, INT32_MAX}) {
    EXPECT_EQ(RaiseIfError(&component, code), code);
    EXPECT_EQ(RaiseIfError(nullptr, code), code);
    EXPECT_EQ(RaiseIfError(code), code);
  }
}

TEST(ErrorTable, EveryListedCodeRaisesItsClassWithItsText) {
  for (const Row& row : AllRows()) {
    SCOPED_TRACE("code " + std::to_string(row.code));
    const std::string text = row.text != nullptr ? row.text : SystemText(row.code);
    EXPECT_EQ(MessageForCode(row.code), text);
    EXPECT_EQ(MessageForCode(-row.code), text);
    if (row.text == nullptr) {
      EXPECT_EQ(TableMessageForCode(row.code), nullptr);
    }
    for (const Raiser raise : kRaisers)
      row.raises(raise, row.code, text);
  }
}

// Every other negative code: EInOutError with the system's text from -2 to
// -162, else the plain exception; none has a table text of its own (the
// dispatch-log words from 15001 up share their absolute values).
TEST(ErrorTable, EveryOtherCodeFallsBackByRange) {
  std::set<int32_t> listed;
  for (const Row& row : AllRows())
    listed.insert(row.code);
  std::vector<int32_t> codes = {INT32_MIN, INT32_MIN + 2001, -65536 - 2001, -32769};
  for (int32_t code = -1; code >= -32768; --code) {
    if (listed.count(code) == 0) codes.push_back(code);
  }
  for (const int32_t code : codes) {
    SCOPED_TRACE("code " + std::to_string(code));
    const bool io = code <= -2 && code >= -162;
    for (const Raiser raise : kRaisers) {
      if (io) {
        InOut(raise, code, SystemText(code));
      } else {
        Plain(raise, code, {});
      }
    }
    if (code > -15001) {
      EXPECT_EQ(TableMessageForCode(code), nullptr);
      EXPECT_EQ(MessageForCode(code), SystemText(code));
    }
    // One failing code says enough; thousands more would bury it.
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace sio
