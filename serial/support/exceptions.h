// The exceptions of the serial layer and RaiseIfError, which turns a negative
// result code into the matching exception on the calling thread.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>

namespace sio {

class TComponent;

// The base exception of the system: it carries a message text, which what()
// returns. Copies share the text, so copying never throws (as a thrown and
// re-thrown exception object must not).
class Exception : public std::exception {
 public:
  // An exception with the message text.
  explicit Exception(const std::string& message);
  //@{
  // The message text.
  const char* what() const noexcept override;
  const std::string& Message() const noexcept { return *message_; }
  //@}

 private:
  std::shared_ptr<const std::string> message_;
};

// An error of the serial layer. ErrorCode is the code it was raised for, with
// its sign as given, or 0 when it was made from a text.
class ESioException : public Exception {
 public:
  // Message: the text of the code (MessageForCode).
  explicit ESioException(int32_t code);
  // Message: text; ErrorCode 0.
  explicit ESioException(const std::string& text);
  // A code with a text of the raiser's own, for when the code's text alone
  // would not say what went wrong.
  ESioException(int32_t code, const std::string& text);
  // The code it was raised for; 0 when made from a text alone.
  int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int32_t errorCode_;
};

// The system's I/O error: outside the serial layer's tree. ErrorCode is the
// positive error number.
class EInOutError : public Exception {
 public:
  // Message: the text of the error number (MessageForCode).
  explicit EInOutError(int32_t errorNumber);
  // A message of the raiser's own.
  EInOutError(const std::string& message, int32_t errorNumber);
  // The error number.
  int32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  int32_t errorCode_;
};

// Raised for -8. It is a std::bad_alloc, because that is what C++ code
// catches when memory runs out, and what the standard library itself throws;
// it only adds the system's own text. That text is static, so neither making
// nor copying the exception needs memory.
class EOutOfMemory : public std::bad_alloc {
 public:
  // The text of -8, "Insufficient memory".
  const char* what() const noexcept override;
};

// Every class below is raised through its constructor from a code (or a code
// and a text of the raiser's own), and adds nothing to ESioException. Which
// codes raise which class is in error_table.h.
#define SIO_EXCEPTION_CLASS(Name, Base)                               \
  class Name : public Base {                                          \
   public:                                                            \
    explicit Name(int32_t code) : Base(code) {}                       \
    Name(int32_t code, const std::string& text) : Base(code, text) {} \
  }

// The families.
SIO_EXCEPTION_CLASS(EGeneral, ESioException);   // the family of general errors
SIO_EXCEPTION_CLASS(EOpenComm, ESioException);  // the family of errors opening a port
SIO_EXCEPTION_CLASS(ESerialIO, ESioException);  // the family of serial I/O errors
SIO_EXCEPTION_CLASS(EModem, ESioException);     // the family of modem errors
SIO_EXCEPTION_CLASS(ETrigger, ESioException);   // the family of trigger errors
SIO_EXCEPTION_CLASS(EPacket, ESioException);    // the family of packet errors
SIO_EXCEPTION_CLASS(EProtocol, ESioException);  // the family of file-transfer protocol errors
SIO_EXCEPTION_CLASS(EINI, ESioException);       // the family of INI database errors
SIO_EXCEPTION_CLASS(EFax, ESioException);       // the family of fax errors
SIO_EXCEPTION_CLASS(ETapi, ESioException);      // the family of telephony errors
SIO_EXCEPTION_CLASS(ERas, ESioException);       // the family of remote-access errors

// General.
SIO_EXCEPTION_CLASS(EBadArgument, EGeneral);
SIO_EXCEPTION_CLASS(EGotQuitMsg, EGeneral);
SIO_EXCEPTION_CLASS(EBufferTooBig, EGeneral);
SIO_EXCEPTION_CLASS(EPortNotAssigned, EGeneral);
SIO_EXCEPTION_CLASS(EInternal, EGeneral);
SIO_EXCEPTION_CLASS(EModemNotAssigned, EGeneral);
SIO_EXCEPTION_CLASS(EPhonebookNotAssigned, EGeneral);
SIO_EXCEPTION_CLASS(ECannotUseWithWinSock, EGeneral);

// Opening a port.
SIO_EXCEPTION_CLASS(EBadId, EOpenComm);
SIO_EXCEPTION_CLASS(EBaudRate, EOpenComm);
SIO_EXCEPTION_CLASS(EByteSize, EOpenComm);
SIO_EXCEPTION_CLASS(EDefault, EOpenComm);
SIO_EXCEPTION_CLASS(EHardware, EOpenComm);
SIO_EXCEPTION_CLASS(EMemory, EOpenComm);
SIO_EXCEPTION_CLASS(ECommNotOpen, EOpenComm);
SIO_EXCEPTION_CLASS(EAlreadyOpen, EOpenComm);
SIO_EXCEPTION_CLASS(ENoHandles, EOpenComm);
SIO_EXCEPTION_CLASS(ENoTimers, EOpenComm);
SIO_EXCEPTION_CLASS(ENoPortSelected, EOpenComm);
SIO_EXCEPTION_CLASS(ENotOpenedByTapi, EOpenComm);

// Serial I/O.
SIO_EXCEPTION_CLASS(ENullApi, ESerialIO);
SIO_EXCEPTION_CLASS(ERegisterHandlerFailed, ESerialIO);
SIO_EXCEPTION_CLASS(EPutBlockFail, ESerialIO);
SIO_EXCEPTION_CLASS(EGetBlockFail, ESerialIO);
SIO_EXCEPTION_CLASS(EOutputBufferTooSmall, ESerialIO);
SIO_EXCEPTION_CLASS(EBufferIsEmpty, ESerialIO);
SIO_EXCEPTION_CLASS(ETracingNotEnabled, ESerialIO);
SIO_EXCEPTION_CLASS(ELoggingNotEnabled, ESerialIO);
SIO_EXCEPTION_CLASS(EBaseAddressNotSet, ESerialIO);

// Modem.
SIO_EXCEPTION_CLASS(EModemNotStarted, EModem);
SIO_EXCEPTION_CLASS(EModemBusy, EModem);
SIO_EXCEPTION_CLASS(EModemNotDialing, EModem);
SIO_EXCEPTION_CLASS(ENotDialing, EModem);
SIO_EXCEPTION_CLASS(EAlreadyDialing, EModem);
SIO_EXCEPTION_CLASS(EModemNotResponding, EModem);
SIO_EXCEPTION_CLASS(EModemRejectedCommand, EModem);
SIO_EXCEPTION_CLASS(EModemStatusMismatch, EModem);

// Triggers.
SIO_EXCEPTION_CLASS(ENoMoreTriggers, ETrigger);
SIO_EXCEPTION_CLASS(ETriggerTooLong, ETrigger);
SIO_EXCEPTION_CLASS(EBadTriggerHandle, ETrigger);

// Packets.
SIO_EXCEPTION_CLASS(EInvalidProperty, EPacket);  // the packet matcher's own (-5501 to -5505)

// INI database.
SIO_EXCEPTION_CLASS(EKeyTooLong, EINI);
SIO_EXCEPTION_CLASS(EDataTooLarge, EINI);
SIO_EXCEPTION_CLASS(EIniWrite, EINI);
SIO_EXCEPTION_CLASS(EIniRead, EINI);
SIO_EXCEPTION_CLASS(ERecordExists, EINI);
SIO_EXCEPTION_CLASS(ERecordNotFound, EINI);
SIO_EXCEPTION_CLASS(EDatabaseFull, EINI);
SIO_EXCEPTION_CLASS(EDatabaseEmpty, EINI);
SIO_EXCEPTION_CLASS(EBadFieldList, EINI);
SIO_EXCEPTION_CLASS(EBadFieldForIndex, EINI);

// Fax.
SIO_EXCEPTION_CLASS(EFaxBadFormat, EFax);
SIO_EXCEPTION_CLASS(EBadGraphicsFormat, EFax);
SIO_EXCEPTION_CLASS(EConvertAbort, EFax);
SIO_EXCEPTION_CLASS(EUnpackAbort, EFax);
SIO_EXCEPTION_CLASS(ECantMakeBitmap, EFax);
SIO_EXCEPTION_CLASS(EInvalidPageNumber, EFax);
SIO_EXCEPTION_CLASS(EFaxBadMachine, EFax);
SIO_EXCEPTION_CLASS(EFaxBadModemResult, EFax);
SIO_EXCEPTION_CLASS(EFaxTrainError, EFax);
SIO_EXCEPTION_CLASS(EFaxInitError, EFax);
SIO_EXCEPTION_CLASS(EFaxBusy, EFax);
SIO_EXCEPTION_CLASS(EFaxVoiceCall, EFax);
SIO_EXCEPTION_CLASS(EFaxDataCall, EFax);
SIO_EXCEPTION_CLASS(EFaxNoDialTone, EFax);
SIO_EXCEPTION_CLASS(EFaxNoCarrier, EFax);
SIO_EXCEPTION_CLASS(EFaxSessionError, EFax);
SIO_EXCEPTION_CLASS(EFaxPageError, EFax);

// Telephony.
SIO_EXCEPTION_CLASS(ETapiAllocated, ETapi);
SIO_EXCEPTION_CLASS(ETapiBadDeviceID, ETapi);
SIO_EXCEPTION_CLASS(ETapiBearerModeUnavail, ETapi);
SIO_EXCEPTION_CLASS(ETapiCallUnavail, ETapi);
SIO_EXCEPTION_CLASS(ETapiCompletionOverrun, ETapi);
SIO_EXCEPTION_CLASS(ETapiConferenceFull, ETapi);
SIO_EXCEPTION_CLASS(ETapiDialBilling, ETapi);
SIO_EXCEPTION_CLASS(ETapiDialDialtone, ETapi);
SIO_EXCEPTION_CLASS(ETapiDialPrompt, ETapi);
SIO_EXCEPTION_CLASS(ETapiDialQuiet, ETapi);
SIO_EXCEPTION_CLASS(ETapiIncompatibleApiVersion, ETapi);
SIO_EXCEPTION_CLASS(ETapiIncompatibleExtVersion, ETapi);
SIO_EXCEPTION_CLASS(ETapiIniFileCorrupt, ETapi);
SIO_EXCEPTION_CLASS(ETapiInUse, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAddress, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAddressID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAddressMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAddressState, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAppHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalAppName, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalBearerMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallComplMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallParams, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallPrivilege, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallSelect, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallState, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCallStatelist, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCard, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCompletionID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalConfCallHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalConsultCallHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalCountryCode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDeviceClass, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDeviceHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDialParams, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDigitList, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDigitMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalDigits, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalExtVersion, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalGroupID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalLineHandle, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalLineState, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalLocation, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalMediaList, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalMediaMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalMessageID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalParam, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalParkID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalParkMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalPointer, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalPrivSelect, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalRate, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalRequestMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalTerminalID, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalTerminalMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalTimeout, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalTone, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalToneList, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalToneMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalTransferMode, ETapi);
SIO_EXCEPTION_CLASS(ETapiLineMapperFailed, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoConference, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoDevice, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoDriver, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoMem, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoRequest, ETapi);
SIO_EXCEPTION_CLASS(ETapiNotOwner, ETapi);
SIO_EXCEPTION_CLASS(ETapiNotRegistered, ETapi);
SIO_EXCEPTION_CLASS(ETapiOperationFailed, ETapi);
SIO_EXCEPTION_CLASS(ETapiOperationUnavail, ETapi);
SIO_EXCEPTION_CLASS(ETapiRateUnavail, ETapi);
SIO_EXCEPTION_CLASS(ETapiResourceUnavail, ETapi);
SIO_EXCEPTION_CLASS(ETapiRequestOverrun, ETapi);
SIO_EXCEPTION_CLASS(ETapiStructureTooSmall, ETapi);
SIO_EXCEPTION_CLASS(ETapiTargetNotFound, ETapi);
SIO_EXCEPTION_CLASS(ETapiTargetSelf, ETapi);
SIO_EXCEPTION_CLASS(ETapiUninitialized, ETapi);
SIO_EXCEPTION_CLASS(ETapiUserUserInfoTooBig, ETapi);
SIO_EXCEPTION_CLASS(ETapiReinit, ETapi);
SIO_EXCEPTION_CLASS(ETapiAddressBlocked, ETapi);
SIO_EXCEPTION_CLASS(ETapiBillingRejected, ETapi);
SIO_EXCEPTION_CLASS(ETapiInvalFeature, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoMultipleInstance, ETapi);
SIO_EXCEPTION_CLASS(ETapiBusy, ETapi);
SIO_EXCEPTION_CLASS(ETapiNotSet, ETapi);
SIO_EXCEPTION_CLASS(ETapiNoSelect, ETapi);
SIO_EXCEPTION_CLASS(ETapiLoadFail, ETapi);
SIO_EXCEPTION_CLASS(ETapiGetAddrFail, ETapi);
SIO_EXCEPTION_CLASS(ETapiVoiceNotSupported, ETapi);
SIO_EXCEPTION_CLASS(ETapiWaveFail, ETapi);
SIO_EXCEPTION_CLASS(ETapiTranslateFail, ETapi);

// Remote access.
SIO_EXCEPTION_CLASS(ERasLoadFail, ERas);

#undef SIO_EXCEPTION_CLASS

// The text of exceptions made for codes without a class of their own.
inline constexpr const char* kSioExceptionText = "Serial I/O exception";

// Returns code unchanged when it is not negative, or when the component is
// being loaded from its stored layout. Otherwise raises the code's exception:
// its own class; the out-of-memory exception for -8; EInOutError for the
// other codes from -2 to -162; else a plain ESioException with the text
// "Serial I/O exception" and ErrorCode 0. Wrap every dispatcher call in it.
int32_t RaiseIfError(const TComponent* component, int32_t code);

// The same for code running on behalf of no component (worker threads).
int32_t RaiseIfError(int32_t code);

// The raising half of RaiseIfError: raises the exception of a code
// whatever the component's state. A code that is not negative has no class
// and raises the plain ESioException.
[[noreturn]] void RaiseSioError(int32_t code);

}  // namespace sio
