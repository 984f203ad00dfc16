// Result codes of the serial layer: 0 success, negative errors. Positive
// codes in the message table are status texts and dispatch-log words.
#pragma once

#include <cstdint>

namespace sio {

constexpr int32_t ecOK = 0;

// Operating-system and file I/O errors (negated error numbers).
// Codes in this range without a class of their own raise EInOutError; -8
// raises the out-of-memory exception.
constexpr int32_t ecFirstIoError = -2;
constexpr int32_t ecLastIoError = -162;
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecTooManyOpenFiles = -4;
constexpr int32_t ecAccessDenied = -5;
constexpr int32_t ecInvalidFileHandle = -6;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecInvalidDrive = -15;
constexpr int32_t ecNoMoreFiles = -18;
constexpr int32_t ecReadBeyondEndOfFile = -100;
constexpr int32_t ecDiskFull = -101;
constexpr int32_t ecFileNotAssigned = -102;
constexpr int32_t ecFileNotOpen = -103;
constexpr int32_t ecFileNotOpenForInput = -104;
constexpr int32_t ecFileNotOpenForOutput = -105;
constexpr int32_t ecWriteProtected = -150;
constexpr int32_t ecUnknownUnit = -151;
constexpr int32_t ecDriveNotReady = -152;
constexpr int32_t ecUnknownCommand = -153;
constexpr int32_t ecDataError = -154;
constexpr int32_t ecBadRequestLength = -155;
constexpr int32_t ecSeekError = -156;
constexpr int32_t ecUnknownMedia = -157;
constexpr int32_t ecSectorNotFound = -158;
constexpr int32_t ecOutOfPaper = -159;
constexpr int32_t ecDeviceWrite = -160;
constexpr int32_t ecDeviceRead = -161;
constexpr int32_t ecGeneralFailure = -162;

// General.
constexpr int32_t ecBadHandle = -1001;
constexpr int32_t ecBadArgument = -1002;
constexpr int32_t ecGotQuitMsg = -1003;
constexpr int32_t ecBufferTooBig = -1004;
constexpr int32_t ecPortNotAssigned = -1005;
constexpr int32_t ecInternal = -1006;
constexpr int32_t ecModemNotAssigned = -1007;
constexpr int32_t ecPhonebookNotAssigned = -1008;
constexpr int32_t ecCannotUseWithWinSock = -1009;

// Opening a port.
constexpr int32_t ecBadId = -2001;
constexpr int32_t ecBaudRate = -2002;
constexpr int32_t ecByteSize = -2003;
constexpr int32_t ecDefault = -2004;
constexpr int32_t ecHardware = -2005;
constexpr int32_t ecMemory = -2006;
constexpr int32_t ecCommNotOpen = -2007;
constexpr int32_t ecAlreadyOpen = -2008;
constexpr int32_t ecNoHandles = -2009;
constexpr int32_t ecNoTimers = -2010;
constexpr int32_t ecNoPortSelected = -2011;
constexpr int32_t ecNotOpenedByTapi = -2012;

// Serial I/O.
constexpr int32_t ecNullApi = -3001;
constexpr int32_t ecNotSupported = -3002;
constexpr int32_t ecRegisterHandlerFailed = -3003;
constexpr int32_t ecPutBlockFail = -3004;
constexpr int32_t ecGetBlockFail = -3005;
constexpr int32_t ecOutputBufferTooSmall = -3006;
constexpr int32_t ecBufferIsEmpty = -3007;
constexpr int32_t ecTracingNotEnabled = -3008;
constexpr int32_t ecLoggingNotEnabled = -3009;
constexpr int32_t ecBaseAddressNotSet = -3010;

// Triggers.
constexpr int32_t ecNoMoreTriggers = -5001;
constexpr int32_t ecTriggerTooLong = -5002;
constexpr int32_t ecBadTriggerHandle = -5003;

// Packets (raised directly by the packet matcher).
constexpr int32_t ecStartStringEmpty = -5501;
constexpr int32_t ecPacketTooSmall = -5502;
constexpr int32_t ecNoEndCharCount = -5503;
constexpr int32_t ecEmptyEndString = -5504;
constexpr int32_t ecZeroSizePacket = -5505;
constexpr int32_t ecPacketTooLong = -5506;

// Dispatch-log words, read with MessageForCode. Type T reads
// kLogTypeWordBase + T, subtype S (S >= 1) reads kLogSubTypeWordBase + S;
// subtype 0 has no word. Modem-status bit b (0 to 7) reads
// kModemStatusBitWordBase + b; Telnet option n (0 to kLastTelnetOptionWord)
// reads kTelnetOptionWordBase + n.
constexpr int32_t kLogTypeWordBase = 15001;
constexpr int32_t kLogSubTypeWordBase = 15100;
constexpr int32_t kLogHeaderTitles = 15501;
constexpr int32_t kLogHeaderRule = 15502;
constexpr int32_t kModemStatusBitWordBase = 15601;
constexpr int32_t kTelnetOptionWordBase = 15700;
constexpr int32_t kLastTelnetOptionWord = 42;

}  // namespace sio
