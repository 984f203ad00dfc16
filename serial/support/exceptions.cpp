#include "serial/support/exceptions.h"

#include <algorithm>
#include <array>

#include "serial/support/component.h"
#include "serial/support/error_codes.h"
#include "serial/support/messages.h"

namespace sio {

Exception::Exception(const std::string& message)
    : message_(std::make_shared<const std::string>(message)) {}

const char* Exception::what() const noexcept {
  return message_->c_str();
}

// MessageForCode looks at the absolute value of the code's 16-bit view, which
// is the same for the code and its negation; passing the code itself avoids
// negating the most negative value.
ESioException::ESioException(int32_t code) : Exception(MessageForCode(code)), errorCode_(code) {}

ESioException::ESioException(const std::string& text) : Exception(text), errorCode_(0) {}

ESioException::ESioException(int32_t code, const std::string& text)
    : Exception(text), errorCode_(code) {}

EInOutError::EInOutError(int32_t errorNumber)
    : Exception(MessageForCode(errorNumber)), errorCode_(errorNumber) {}

EInOutError::EInOutError(const std::string& message, int32_t errorNumber)
    : Exception(message), errorCode_(errorNumber) {}

const char* EOutOfMemory::what() const noexcept {
  const char* text = TableMessageForCode(ecOutOfMemory);
  return text != nullptr ? text : std::bad_alloc::what();
}

namespace {

using Raiser = void (*)(int32_t code);

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

struct CodeClass {
  int32_t code;
  Raiser raise;
};

// The codes that have a class of their own, ascending by absolute value.
// Codes not listed raise EInOutError (-2 to -162), the out-of-memory exception
// (-8) or the plain ESioException.
constexpr std::array kCodeClasses = std::to_array<CodeClass>({
    // General. -1001 (bad handle) has no class of its own.
    {ecBadArgument, &Raise<EBadArgument>},
    {ecGotQuitMsg, &Raise<EGotQuitMsg>},
    {ecBufferTooBig, &Raise<EBufferTooBig>},
    {ecPortNotAssigned, &Raise<EPortNotAssigned>},
    {ecInternal, &Raise<EInternal>},
    {ecModemNotAssigned, &Raise<EModemNotAssigned>},
    {ecPhonebookNotAssigned, &Raise<EPhonebookNotAssigned>},
    {ecCannotUseWithWinSock, &Raise<ECannotUseWithWinSock>},
    // Opening a port.
    {ecBadId, &Raise<EBadId>},
    {ecBaudRate, &Raise<EBaudRate>},
    {ecByteSize, &Raise<EByteSize>},
    {ecDefault, &Raise<EDefault>},
    {ecHardware, &Raise<EHardware>},
    {ecMemory, &Raise<EMemory>},
    {ecCommNotOpen, &Raise<ECommNotOpen>},
    {ecAlreadyOpen, &Raise<EAlreadyOpen>},
    {ecNoHandles, &Raise<ENoHandles>},
    {ecNoTimers, &Raise<ENoTimers>},
    {ecNoPortSelected, &Raise<ENoPortSelected>},
    {ecNotOpenedByTapi, &Raise<ENotOpenedByTapi>},
    // Serial I/O. -3002 (not supported) has no class of its own.
    {ecNullApi, &Raise<ENullApi>},
    {ecRegisterHandlerFailed, &Raise<ERegisterHandlerFailed>},
    {ecPutBlockFail, &Raise<EPutBlockFail>},
    {ecGetBlockFail, &Raise<EGetBlockFail>},
    {ecOutputBufferTooSmall, &Raise<EOutputBufferTooSmall>},
    {ecBufferIsEmpty, &Raise<EBufferIsEmpty>},
    {ecTracingNotEnabled, &Raise<ETracingNotEnabled>},
    {ecLoggingNotEnabled, &Raise<ELoggingNotEnabled>},
    {ecBaseAddressNotSet, &Raise<EBaseAddressNotSet>},
    // Modem.
    {-4001, &Raise<EModemNotStarted>},
    {-4002, &Raise<EModemBusy>},
    {-4003, &Raise<EModemNotDialing>},
    {-4004, &Raise<ENotDialing>},
    {-4005, &Raise<EAlreadyDialing>},
    {-4006, &Raise<EModemNotResponding>},
    {-4007, &Raise<EModemRejectedCommand>},
    {-4008, &Raise<EModemStatusMismatch>},
    // Triggers. The packet codes are raised by the packet matcher itself.
    {ecNoMoreTriggers, &Raise<ENoMoreTriggers>},
    {ecTriggerTooLong, &Raise<ETriggerTooLong>},
    {ecBadTriggerHandle, &Raise<EBadTriggerHandle>},
    // File-transfer protocols: the family class itself.
    {-6006, &Raise<EProtocol>},
    {-6008, &Raise<EProtocol>},
    {-6009, &Raise<EProtocol>},
    // INI database.
    {-7001, &Raise<EKeyTooLong>},
    {-7002, &Raise<EDataTooLarge>},
    {-7003, &Raise<EInternal>},
    {-7004, &Raise<EIniWrite>},
    {-7005, &Raise<EIniRead>},
    {-7006, &Raise<EInternal>},
    {-7007, &Raise<ERecordExists>},
    {-7008, &Raise<ERecordNotFound>},
    {-7010, &Raise<EDatabaseFull>},
    {-7011, &Raise<EDatabaseEmpty>},
    {-7012, &Raise<EInternal>},
    {-7013, &Raise<EBadFieldList>},
    {-7014, &Raise<EBadFieldForIndex>},
    // Fax.
    {-8001, &Raise<EFaxBadFormat>},
    {-8002, &Raise<EBadGraphicsFormat>},
    {-8003, &Raise<EConvertAbort>},
    {-8004, &Raise<EUnpackAbort>},
    {-8005, &Raise<ECantMakeBitmap>},
    {-8053, &Raise<EInvalidPageNumber>},
    {-8060, &Raise<EFaxBadMachine>},
    {-8061, &Raise<EFaxBadModemResult>},
    {-8062, &Raise<EFaxTrainError>},
    {-8063, &Raise<EFaxInitError>},
    {-8064, &Raise<EFaxBusy>},
    {-8065, &Raise<EFaxVoiceCall>},
    {-8066, &Raise<EFaxDataCall>},
    {-8067, &Raise<EFaxNoDialTone>},
    {-8068, &Raise<EFaxNoCarrier>},
    {-8069, &Raise<EFaxSessionError>},
    {-8070, &Raise<EFaxPageError>},
    // Telephony: -13801 to -13886 in order, without -13804 and -13849, then
    // eight more.
    {-13801, &Raise<ETapiAllocated>},
    {-13802, &Raise<ETapiBadDeviceID>},
    {-13803, &Raise<ETapiBearerModeUnavail>},
    {-13805, &Raise<ETapiCallUnavail>},
    {-13806, &Raise<ETapiCompletionOverrun>},
    {-13807, &Raise<ETapiConferenceFull>},
    {-13808, &Raise<ETapiDialBilling>},
    {-13809, &Raise<ETapiDialDialtone>},
    {-13810, &Raise<ETapiDialPrompt>},
    {-13811, &Raise<ETapiDialQuiet>},
    {-13812, &Raise<ETapiIncompatibleApiVersion>},
    {-13813, &Raise<ETapiIncompatibleExtVersion>},
    {-13814, &Raise<ETapiIniFileCorrupt>},
    {-13815, &Raise<ETapiInUse>},
    {-13816, &Raise<ETapiInvalAddress>},
    {-13817, &Raise<ETapiInvalAddressID>},
    {-13818, &Raise<ETapiInvalAddressMode>},
    {-13819, &Raise<ETapiInvalAddressState>},
    {-13820, &Raise<ETapiInvalAppHandle>},
    {-13821, &Raise<ETapiInvalAppName>},
    {-13822, &Raise<ETapiInvalBearerMode>},
    {-13823, &Raise<ETapiInvalCallComplMode>},
    {-13824, &Raise<ETapiInvalCallHandle>},
    {-13825, &Raise<ETapiInvalCallParams>},
    {-13826, &Raise<ETapiInvalCallPrivilege>},
    {-13827, &Raise<ETapiInvalCallSelect>},
    {-13828, &Raise<ETapiInvalCallState>},
    {-13829, &Raise<ETapiInvalCallStatelist>},
    {-13830, &Raise<ETapiInvalCard>},
    {-13831, &Raise<ETapiInvalCompletionID>},
    {-13832, &Raise<ETapiInvalConfCallHandle>},
    {-13833, &Raise<ETapiInvalConsultCallHandle>},
    {-13834, &Raise<ETapiInvalCountryCode>},
    {-13835, &Raise<ETapiInvalDeviceClass>},
    {-13836, &Raise<ETapiInvalDeviceHandle>},
    {-13837, &Raise<ETapiInvalDialParams>},
    {-13838, &Raise<ETapiInvalDigitList>},
    {-13839, &Raise<ETapiInvalDigitMode>},
    {-13840, &Raise<ETapiInvalDigits>},
    {-13841, &Raise<ETapiInvalExtVersion>},
    {-13842, &Raise<ETapiInvalGroupID>},
    {-13843, &Raise<ETapiInvalLineHandle>},
    {-13844, &Raise<ETapiInvalLineState>},
    {-13845, &Raise<ETapiInvalLocation>},
    {-13846, &Raise<ETapiInvalMediaList>},
    {-13847, &Raise<ETapiInvalMediaMode>},
    {-13848, &Raise<ETapiInvalMessageID>},
    {-13850, &Raise<ETapiInvalParam>},
    {-13851, &Raise<ETapiInvalParkID>},
    {-13852, &Raise<ETapiInvalParkMode>},
    {-13853, &Raise<ETapiInvalPointer>},
    {-13854, &Raise<ETapiInvalPrivSelect>},
    {-13855, &Raise<ETapiInvalRate>},
    {-13856, &Raise<ETapiInvalRequestMode>},
    {-13857, &Raise<ETapiInvalTerminalID>},
    {-13858, &Raise<ETapiInvalTerminalMode>},
    {-13859, &Raise<ETapiInvalTimeout>},
    {-13860, &Raise<ETapiInvalTone>},
    {-13861, &Raise<ETapiInvalToneList>},
    {-13862, &Raise<ETapiInvalToneMode>},
    {-13863, &Raise<ETapiInvalTransferMode>},
    {-13864, &Raise<ETapiLineMapperFailed>},
    {-13865, &Raise<ETapiNoConference>},
    {-13866, &Raise<ETapiNoDevice>},
    {-13867, &Raise<ETapiNoDriver>},
    {-13868, &Raise<ETapiNoMem>},
    {-13869, &Raise<ETapiNoRequest>},
    {-13870, &Raise<ETapiNotOwner>},
    {-13871, &Raise<ETapiNotRegistered>},
    {-13872, &Raise<ETapiOperationFailed>},
    {-13873, &Raise<ETapiOperationUnavail>},
    {-13874, &Raise<ETapiRateUnavail>},
    {-13875, &Raise<ETapiResourceUnavail>},
    {-13876, &Raise<ETapiRequestOverrun>},
    {-13877, &Raise<ETapiStructureTooSmall>},
    {-13878, &Raise<ETapiTargetNotFound>},
    {-13879, &Raise<ETapiTargetSelf>},
    {-13880, &Raise<ETapiUninitialized>},
    {-13881, &Raise<ETapiUserUserInfoTooBig>},
    {-13882, &Raise<ETapiReinit>},
    {-13883, &Raise<ETapiAddressBlocked>},
    {-13884, &Raise<ETapiBillingRejected>},
    {-13885, &Raise<ETapiInvalFeature>},
    {-13886, &Raise<ETapiNoMultipleInstance>},
    {-13928, &Raise<ETapiBusy>},
    {-13929, &Raise<ETapiNotSet>},
    {-13930, &Raise<ETapiNoSelect>},
    {-13931, &Raise<ETapiLoadFail>},
    {-13932, &Raise<ETapiGetAddrFail>},
    {-13935, &Raise<ETapiVoiceNotSupported>},
    {-13936, &Raise<ETapiWaveFail>},
    {-13942, &Raise<ETapiTranslateFail>},
    // Remote access.
    {-13980, &Raise<ERasLoadFail>},
});

constexpr bool StrictlyDescending() {
  for (std::size_t i = 1; i < kCodeClasses.size(); ++i) {
    if (kCodeClasses[i - 1].code <= kCodeClasses[i].code) return false;
  }
  return true;
}
static_assert(StrictlyDescending(), "each code has one class; the search needs the order");

const CodeClass* FindClass(int32_t code) {
  const auto it =
      std::lower_bound(kCodeClasses.begin(), kCodeClasses.end(), code,
                       [](const CodeClass& entry, int32_t key) { return entry.code > key; });
  return it != kCodeClasses.end() && it->code == code ? &*it : nullptr;
}

}  // namespace

void RaiseSioError(int32_t code) {
  if (const CodeClass* entry = FindClass(code)) entry->raise(code);
  if (code == ecOutOfMemory) throw EOutOfMemory();
  if (code <= ecFirstIoError && code >= ecLastIoError) throw EInOutError(-code);
  // The code does not travel with the plain exception: ErrorCode stays 0.
  throw ESioException(std::string(kSioExceptionText));
}

int32_t RaiseIfError(const TComponent* component, int32_t code) {
  if (code >= 0) return code;
  // While a component is being loaded from its stored layout its settings are
  // applied out of order; errors then are not the caller's to handle.
  if (component != nullptr && component->IsLoading()) return code;
  RaiseSioError(code);
}

int32_t RaiseIfError(int32_t code) {
  return RaiseIfError(nullptr, code);
}

}  // namespace sio
