// Result codes of the serial layer: 0 success, negative errors. Positive
// codes in the message table are status texts and dispatch-log words.
#pragma once

#include <cstdint>

namespace sio {

constexpr int32_t ecOK = 0;

// Operating-system and file I/O errors (negated error numbers).
constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecAccessDenied = -5;
constexpr int32_t ecOutOfMemory = -8;
constexpr int32_t ecDeviceWrite = -160;
constexpr int32_t ecDeviceRead = -161;

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

}  // namespace sio
