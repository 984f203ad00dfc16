// The result codes of the serial layer, one row each: the code, its name, its
// text and the class RaiseSioError raises for it. error_codes.h makes the
// named constants from it, messages.cpp the text lookup and exceptions.cpp
// the raise table, so a code, its text and its class cannot drift apart.
//
// Each includer defines
//   SIO_ERROR(code, name, text, cls)       a code with a name of its own
//   SIO_ERROR_UNNAMED(code, text, cls)     a code that only shares a class
// and includes this file where the rows are wanted; it undefines both.
// Rows run from 0 down, strictly descending, as both lookups need (their
// static_asserts check it).
//
// text: "" for codes whose text is the system's own.
// cls:  NoOwnClass for codes without a class of their own: RaiseSioError then
//       raises by range (EInOutError, the out-of-memory exception for -8, or
//       the plain ESioException). Classes are declared in exceptions.h.
//
// No include guard: every use includes it again.

// Success.
SIO_ERROR(0, ecOK, "OK", NoOwnClass)

// Operating-system and file I/O errors (negated error numbers). The range
// -2 to -162 raises EInOutError, -8 the out-of-memory exception; numbers
// without a row here read the system's own text.
SIO_ERROR(-2, ecFileNotFound, "File not found", NoOwnClass)
SIO_ERROR(-3, ecPathNotFound, "Path not found", NoOwnClass)
SIO_ERROR(-4, ecTooManyOpenFiles, "Too many open files", NoOwnClass)
SIO_ERROR(-5, ecAccessDenied, "File access denied", NoOwnClass)
SIO_ERROR(-6, ecInvalidFileHandle, "Invalid file handle", NoOwnClass)
SIO_ERROR(-8, ecOutOfMemory, "Insufficient memory", NoOwnClass)
SIO_ERROR(-15, ecInvalidDrive, "Invalid drive", NoOwnClass)
SIO_ERROR(-18, ecNoMoreFiles, "No more files", NoOwnClass)
SIO_ERROR(-100, ecReadBeyondEndOfFile, "Attempt to read beyond end of file", NoOwnClass)
SIO_ERROR(-101, ecDiskFull, "Disk is full", NoOwnClass)
SIO_ERROR(-102, ecFileNotAssigned, "File/device not assigned", NoOwnClass)
SIO_ERROR(-103, ecFileNotOpen, "File/device not open", NoOwnClass)
SIO_ERROR(-104, ecFileNotOpenForInput, "File/device not open for input", NoOwnClass)
SIO_ERROR(-105, ecFileNotOpenForOutput, "File/device not open for output", NoOwnClass)
SIO_ERROR(-150, ecWriteProtected, "Disk is write-protected", NoOwnClass)
SIO_ERROR(-151, ecUnknownUnit, "Unknown disk unit", NoOwnClass)
SIO_ERROR(-152, ecDriveNotReady, "Drive is not ready", NoOwnClass)
SIO_ERROR(-153, ecUnknownCommand, "Unknown command", NoOwnClass)
SIO_ERROR(-154, ecDataError, "Data error", NoOwnClass)
SIO_ERROR(-155, ecBadRequestLength, "Bad request structure length", NoOwnClass)
SIO_ERROR(-156, ecSeekError, "Seek error", NoOwnClass)
SIO_ERROR(-157, ecUnknownMedia, "Unknown media type", NoOwnClass)
SIO_ERROR(-158, ecSectorNotFound, "Disk sector not found", NoOwnClass)
SIO_ERROR(-159, ecOutOfPaper, "Printer is out of paper", NoOwnClass)
SIO_ERROR(-160, ecDeviceWrite, "Device write error", NoOwnClass)
SIO_ERROR(-161, ecDeviceRead, "Device read error", NoOwnClass)
SIO_ERROR(-162, ecGeneralFailure, "General failure", NoOwnClass)

// General.
SIO_ERROR(-1001, ecBadHandle, "Bad handle passed to com function", NoOwnClass)
SIO_ERROR(-1002, ecBadArgument, "Bad argument passed to function", EBadArgument)
SIO_ERROR(-1003, ecGotQuitMsg, "Got quit message", EGotQuitMsg)
SIO_ERROR(-1004, ecBufferTooBig, "Terminal buffer greater than 65521", EBufferTooBig)
SIO_ERROR(-1005, ecPortNotAssigned, "ComPort component not assigned", EPortNotAssigned)
SIO_ERROR(-1006, ecInternal, "Internal error creating window class", EInternal)
SIO_ERROR(-1007, ecModemNotAssigned, "Modem component not assigned", EModemNotAssigned)
SIO_ERROR(-1008, ecPhonebookNotAssigned, "Phonebook component not assigned", EPhonebookNotAssigned)
SIO_ERROR(-1009, ecCannotUseWithWinSock, "Component not compatible with WinSock",
          ECannotUseWithWinSock)

// Opening a port.
SIO_ERROR(-2001, ecBadId, "ie_BadId - Specified comport doesn't exist", EBadId)
SIO_ERROR(-2002, ecBaudRate, "ie_Baudrate - unsupported baud rate", EBaudRate)
SIO_ERROR(-2003, ecByteSize, "ie_Bytesize - invalid byte size", EByteSize)
SIO_ERROR(-2004, ecDefault, "ie_Default - error in default parameters", EDefault)
SIO_ERROR(-2005, ecHardware, "ie_Hardware - Specified comport in use", EHardware)
SIO_ERROR(-2006, ecMemory, "ie_Memory - unable to allocate queues", EMemory)
SIO_ERROR(-2007, ecCommNotOpen, "ie_NOpen - device not open", ECommNotOpen)
SIO_ERROR(-2008, ecAlreadyOpen, "ie_Open - device already open", EAlreadyOpen)
SIO_ERROR(-2009, ecNoHandles, "No more handles, can't open port", ENoHandles)
SIO_ERROR(-2010, ecNoTimers, "No timers available", ENoTimers)
SIO_ERROR(-2011, ecNoPortSelected, "The ComNumber property of the TSioComPort has not been set",
          ENoPortSelected)
SIO_ERROR(-2012, ecNotOpenedByTapi, "Comport was not opened by Tapi", ENotOpenedByTapi)

// Serial I/O.
SIO_ERROR(-3001, ecNullApi, "No device layer specified", ENullApi)
SIO_ERROR(-3002, ecNotSupported, "Function not supported by driver", NoOwnClass)
SIO_ERROR(-3003, ecRegisterHandlerFailed, "EnableCommNotification failed", ERegisterHandlerFailed)
SIO_ERROR(-3004, ecPutBlockFail, "Failed to put entire block", EPutBlockFail)
SIO_ERROR(-3005, ecGetBlockFail, "Failed to get entire block", EGetBlockFail)
SIO_ERROR(-3006, ecOutputBufferTooSmall, "Output buffer too small for block", EOutputBufferTooSmall)
SIO_ERROR(-3007, ecBufferIsEmpty, "Buffer is empty", EBufferIsEmpty)
SIO_ERROR(-3008, ecTracingNotEnabled, "Tracing not enabled", ETracingNotEnabled)
SIO_ERROR(-3009, ecLoggingNotEnabled, "Logging not enabled", ELoggingNotEnabled)
SIO_ERROR(-3010, ecBaseAddressNotSet, "Base address not set", EBaseAddressNotSet)

// Modem.
SIO_ERROR(-4001, ecModemNotStarted, "", EModemNotStarted)
SIO_ERROR(-4002, ecModemBusy, "", EModemBusy)
SIO_ERROR(-4003, ecModemNotDialing, "", EModemNotDialing)
SIO_ERROR(-4004, ecNotDialing, "", ENotDialing)
SIO_ERROR(-4005, ecAlreadyDialing, "", EAlreadyDialing)
SIO_ERROR(-4006, ecModemNotResponding, "", EModemNotResponding)
SIO_ERROR(-4007, ecModemRejectedCommand, "", EModemRejectedCommand)
SIO_ERROR(-4008, ecModemStatusMismatch, "", EModemStatusMismatch)

// Triggers.
SIO_ERROR(-5001, ecNoMoreTriggers, "No more trigger slots", ENoMoreTriggers)
SIO_ERROR(-5002, ecTriggerTooLong, "Data trigger too long", ETriggerTooLong)
SIO_ERROR(-5003, ecBadTriggerHandle, "Bad trigger handle", EBadTriggerHandle)

// Packets. The packet matcher raises EInvalidProperty with -5501 to -5505
// itself; through RaiseIfError they are ordinary codes.
SIO_ERROR(-5501, ecStartStringEmpty, "Start string is empty", NoOwnClass)
SIO_ERROR(-5502, ecPacketTooSmall, "Packet size cannot be smaller than start string", NoOwnClass)
SIO_ERROR(-5503, ecNoEndCharCount, "CharCount packets must have an end-condition", NoOwnClass)
SIO_ERROR(-5504, ecEmptyEndString, "End string is empty", NoOwnClass)
SIO_ERROR(-5505, ecZeroSizePacket, "Packet size cannot be zero", NoOwnClass)
SIO_ERROR(-5506, ecPacketTooLong, "Packet too long", NoOwnClass)

// File-transfer protocols: the family class itself.
SIO_ERROR_UNNAMED(-6006, "", EProtocol)
SIO_ERROR_UNNAMED(-6008, "", EProtocol)
SIO_ERROR_UNNAMED(-6009, "", EProtocol)

// INI database.
SIO_ERROR(-7001, ecKeyTooLong, "", EKeyTooLong)
SIO_ERROR(-7002, ecDataTooLarge, "", EDataTooLarge)
SIO_ERROR_UNNAMED(-7003, "", EInternal)
SIO_ERROR(-7004, ecIniWrite, "", EIniWrite)
SIO_ERROR(-7005, ecIniRead, "", EIniRead)
SIO_ERROR_UNNAMED(-7006, "", EInternal)
SIO_ERROR(-7007, ecRecordExists, "", ERecordExists)
SIO_ERROR(-7008, ecRecordNotFound, "", ERecordNotFound)
SIO_ERROR(-7010, ecDatabaseFull, "", EDatabaseFull)
SIO_ERROR(-7011, ecDatabaseEmpty, "", EDatabaseEmpty)
SIO_ERROR_UNNAMED(-7012, "", EInternal)
SIO_ERROR(-7013, ecBadFieldList, "", EBadFieldList)
SIO_ERROR(-7014, ecBadFieldForIndex, "", EBadFieldForIndex)

// Fax.
SIO_ERROR(-8001, ecFaxBadFormat, "", EFaxBadFormat)
SIO_ERROR(-8002, ecBadGraphicsFormat, "", EBadGraphicsFormat)
SIO_ERROR(-8003, ecConvertAbort, "", EConvertAbort)
SIO_ERROR(-8004, ecUnpackAbort, "", EUnpackAbort)
SIO_ERROR(-8005, ecCantMakeBitmap, "", ECantMakeBitmap)
SIO_ERROR(-8053, ecInvalidPageNumber, "", EInvalidPageNumber)
SIO_ERROR(-8060, ecFaxBadMachine, "", EFaxBadMachine)
SIO_ERROR(-8061, ecFaxBadModemResult, "", EFaxBadModemResult)
SIO_ERROR(-8062, ecFaxTrainError, "", EFaxTrainError)
SIO_ERROR(-8063, ecFaxInitError, "", EFaxInitError)
SIO_ERROR(-8064, ecFaxBusy, "", EFaxBusy)
SIO_ERROR(-8065, ecFaxVoiceCall, "", EFaxVoiceCall)
SIO_ERROR(-8066, ecFaxDataCall, "", EFaxDataCall)
SIO_ERROR(-8067, ecFaxNoDialTone, "", EFaxNoDialTone)
SIO_ERROR(-8068, ecFaxNoCarrier, "", EFaxNoCarrier)
SIO_ERROR(-8069, ecFaxSessionError, "", EFaxSessionError)
SIO_ERROR(-8070, ecFaxPageError, "", EFaxPageError)

// Telephony: -13801 to -13886 without -13804 and -13849, then eight more.
SIO_ERROR(-13801, ecTapiAllocated, "", ETapiAllocated)
SIO_ERROR(-13802, ecTapiBadDeviceID, "", ETapiBadDeviceID)
SIO_ERROR(-13803, ecTapiBearerModeUnavail, "", ETapiBearerModeUnavail)
SIO_ERROR(-13805, ecTapiCallUnavail, "", ETapiCallUnavail)
SIO_ERROR(-13806, ecTapiCompletionOverrun, "", ETapiCompletionOverrun)
SIO_ERROR(-13807, ecTapiConferenceFull, "", ETapiConferenceFull)
SIO_ERROR(-13808, ecTapiDialBilling, "", ETapiDialBilling)
SIO_ERROR(-13809, ecTapiDialDialtone, "", ETapiDialDialtone)
SIO_ERROR(-13810, ecTapiDialPrompt, "", ETapiDialPrompt)
SIO_ERROR(-13811, ecTapiDialQuiet, "", ETapiDialQuiet)
SIO_ERROR(-13812, ecTapiIncompatibleApiVersion, "", ETapiIncompatibleApiVersion)
SIO_ERROR(-13813, ecTapiIncompatibleExtVersion, "", ETapiIncompatibleExtVersion)
SIO_ERROR(-13814, ecTapiIniFileCorrupt, "", ETapiIniFileCorrupt)
SIO_ERROR(-13815, ecTapiInUse, "", ETapiInUse)
SIO_ERROR(-13816, ecTapiInvalAddress, "", ETapiInvalAddress)
SIO_ERROR(-13817, ecTapiInvalAddressID, "", ETapiInvalAddressID)
SIO_ERROR(-13818, ecTapiInvalAddressMode, "", ETapiInvalAddressMode)
SIO_ERROR(-13819, ecTapiInvalAddressState, "", ETapiInvalAddressState)
SIO_ERROR(-13820, ecTapiInvalAppHandle, "", ETapiInvalAppHandle)
SIO_ERROR(-13821, ecTapiInvalAppName, "", ETapiInvalAppName)
SIO_ERROR(-13822, ecTapiInvalBearerMode, "", ETapiInvalBearerMode)
SIO_ERROR(-13823, ecTapiInvalCallComplMode, "", ETapiInvalCallComplMode)
SIO_ERROR(-13824, ecTapiInvalCallHandle, "", ETapiInvalCallHandle)
SIO_ERROR(-13825, ecTapiInvalCallParams, "", ETapiInvalCallParams)
SIO_ERROR(-13826, ecTapiInvalCallPrivilege, "", ETapiInvalCallPrivilege)
SIO_ERROR(-13827, ecTapiInvalCallSelect, "", ETapiInvalCallSelect)
SIO_ERROR(-13828, ecTapiInvalCallState, "", ETapiInvalCallState)
SIO_ERROR(-13829, ecTapiInvalCallStatelist, "", ETapiInvalCallStatelist)
SIO_ERROR(-13830, ecTapiInvalCard, "", ETapiInvalCard)
SIO_ERROR(-13831, ecTapiInvalCompletionID, "", ETapiInvalCompletionID)
SIO_ERROR(-13832, ecTapiInvalConfCallHandle, "", ETapiInvalConfCallHandle)
SIO_ERROR(-13833, ecTapiInvalConsultCallHandle, "", ETapiInvalConsultCallHandle)
SIO_ERROR(-13834, ecTapiInvalCountryCode, "", ETapiInvalCountryCode)
SIO_ERROR(-13835, ecTapiInvalDeviceClass, "", ETapiInvalDeviceClass)
SIO_ERROR(-13836, ecTapiInvalDeviceHandle, "", ETapiInvalDeviceHandle)
SIO_ERROR(-13837, ecTapiInvalDialParams, "", ETapiInvalDialParams)
SIO_ERROR(-13838, ecTapiInvalDigitList, "", ETapiInvalDigitList)
SIO_ERROR(-13839, ecTapiInvalDigitMode, "", ETapiInvalDigitMode)
SIO_ERROR(-13840, ecTapiInvalDigits, "", ETapiInvalDigits)
SIO_ERROR(-13841, ecTapiInvalExtVersion, "", ETapiInvalExtVersion)
SIO_ERROR(-13842, ecTapiInvalGroupID, "", ETapiInvalGroupID)
SIO_ERROR(-13843, ecTapiInvalLineHandle, "", ETapiInvalLineHandle)
SIO_ERROR(-13844, ecTapiInvalLineState, "", ETapiInvalLineState)
SIO_ERROR(-13845, ecTapiInvalLocation, "", ETapiInvalLocation)
SIO_ERROR(-13846, ecTapiInvalMediaList, "", ETapiInvalMediaList)
SIO_ERROR(-13847, ecTapiInvalMediaMode, "", ETapiInvalMediaMode)
SIO_ERROR(-13848, ecTapiInvalMessageID, "", ETapiInvalMessageID)
SIO_ERROR(-13850, ecTapiInvalParam, "", ETapiInvalParam)
SIO_ERROR(-13851, ecTapiInvalParkID, "", ETapiInvalParkID)
SIO_ERROR(-13852, ecTapiInvalParkMode, "", ETapiInvalParkMode)
SIO_ERROR(-13853, ecTapiInvalPointer, "", ETapiInvalPointer)
SIO_ERROR(-13854, ecTapiInvalPrivSelect, "", ETapiInvalPrivSelect)
SIO_ERROR(-13855, ecTapiInvalRate, "", ETapiInvalRate)
SIO_ERROR(-13856, ecTapiInvalRequestMode, "", ETapiInvalRequestMode)
SIO_ERROR(-13857, ecTapiInvalTerminalID, "", ETapiInvalTerminalID)
SIO_ERROR(-13858, ecTapiInvalTerminalMode, "", ETapiInvalTerminalMode)
SIO_ERROR(-13859, ecTapiInvalTimeout, "", ETapiInvalTimeout)
SIO_ERROR(-13860, ecTapiInvalTone, "", ETapiInvalTone)
SIO_ERROR(-13861, ecTapiInvalToneList, "", ETapiInvalToneList)
SIO_ERROR(-13862, ecTapiInvalToneMode, "", ETapiInvalToneMode)
SIO_ERROR(-13863, ecTapiInvalTransferMode, "", ETapiInvalTransferMode)
SIO_ERROR(-13864, ecTapiLineMapperFailed, "", ETapiLineMapperFailed)
SIO_ERROR(-13865, ecTapiNoConference, "", ETapiNoConference)
SIO_ERROR(-13866, ecTapiNoDevice, "", ETapiNoDevice)
SIO_ERROR(-13867, ecTapiNoDriver, "", ETapiNoDriver)
SIO_ERROR(-13868, ecTapiNoMem, "", ETapiNoMem)
SIO_ERROR(-13869, ecTapiNoRequest, "", ETapiNoRequest)
SIO_ERROR(-13870, ecTapiNotOwner, "", ETapiNotOwner)
SIO_ERROR(-13871, ecTapiNotRegistered, "", ETapiNotRegistered)
SIO_ERROR(-13872, ecTapiOperationFailed, "", ETapiOperationFailed)
SIO_ERROR(-13873, ecTapiOperationUnavail, "", ETapiOperationUnavail)
SIO_ERROR(-13874, ecTapiRateUnavail, "", ETapiRateUnavail)
SIO_ERROR(-13875, ecTapiResourceUnavail, "", ETapiResourceUnavail)
SIO_ERROR(-13876, ecTapiRequestOverrun, "", ETapiRequestOverrun)
SIO_ERROR(-13877, ecTapiStructureTooSmall, "", ETapiStructureTooSmall)
SIO_ERROR(-13878, ecTapiTargetNotFound, "", ETapiTargetNotFound)
SIO_ERROR(-13879, ecTapiTargetSelf, "", ETapiTargetSelf)
SIO_ERROR(-13880, ecTapiUninitialized, "", ETapiUninitialized)
SIO_ERROR(-13881, ecTapiUserUserInfoTooBig, "", ETapiUserUserInfoTooBig)
SIO_ERROR(-13882, ecTapiReinit, "", ETapiReinit)
SIO_ERROR(-13883, ecTapiAddressBlocked, "", ETapiAddressBlocked)
SIO_ERROR(-13884, ecTapiBillingRejected, "", ETapiBillingRejected)
SIO_ERROR(-13885, ecTapiInvalFeature, "", ETapiInvalFeature)
SIO_ERROR(-13886, ecTapiNoMultipleInstance, "", ETapiNoMultipleInstance)
SIO_ERROR(-13928, ecTapiBusy, "", ETapiBusy)
SIO_ERROR(-13929, ecTapiNotSet, "", ETapiNotSet)
SIO_ERROR(-13930, ecTapiNoSelect, "", ETapiNoSelect)
SIO_ERROR(-13931, ecTapiLoadFail, "", ETapiLoadFail)
SIO_ERROR(-13932, ecTapiGetAddrFail, "", ETapiGetAddrFail)
SIO_ERROR(-13935, ecTapiVoiceNotSupported, "", ETapiVoiceNotSupported)
SIO_ERROR(-13936, ecTapiWaveFail, "", ETapiWaveFail)
SIO_ERROR(-13942, ecTapiTranslateFail, "", ETapiTranslateFail)

// Remote access.
SIO_ERROR(-13980, ecRasLoadFail, "", ERasLoadFail)

#undef SIO_ERROR
#undef SIO_ERROR_UNNAMED
