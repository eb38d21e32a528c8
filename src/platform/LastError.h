// Windows-style error codes, the calling thread's last error, and the
// English system texts for every code this layer reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vt::os {

using DWORD = std::uint32_t;

// COM-style result codes: negative is failure.
using HRESULT = std::int32_t;
// An HRESULT carrying a Windows error code.
constexpr HRESULT HResultFromWin32(std::uint32_t code) {
  return code == 0 ? 0 : static_cast<HRESULT>((code & 0xFFFF) | 0x80070000u);
}
// The system's text for an HRESULT ("" for codes it has no text for).
std::string HResultText(HRESULT hr);

// Error codes as the library sees them (the Windows numbering).
enum : DWORD {
  kErrorSuccess = 0,
  kErrorInvalidFunction = 1,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidData = 13,
  kErrorOutOfMemory = 14,
  kErrorNoMoreFiles = 18,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorInvalidName = 123,
  kErrorModNotFound = 126,
  kErrorProcNotFound = 127,
  kErrorDirNotEmpty = 145,
  kErrorSignalRefused = 156,
  kErrorBadPathname = 161,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorBadExeFormat = 193,
  kErrorFileTooLarge = 223,
  kErrorEnvVarNotFound = 203,
  kErrorFilenameExcedRange = 206,
  kErrorMoreData = 234,
  kErrorWaitNoChildren = 128,
  kErrorNoMoreItems = 259,
  kErrorDirectory = 267,
  kErrorNotOwner = 288,
  kErrorPartialCopy = 299,
  kErrorInvalidAddress = 487,
  kErrorArithmeticOverflow = 534,
  kErrorOperationAborted = 995,
  kErrorNoToken = 1008,
  kErrorBadDb = 1009,
  kErrorBadCommand = 22,
  kErrorInvalidFlags = 1004,
  kErrorInvalidWindowHandle = 1400,
  kErrorTlwWithWschild = 1406,
  kErrorCannotFindWndClass = 1407,
  kErrorClassAlreadyExists = 1410,
  kErrorClassDoesNotExist = 1411,
  kErrorClassHasWindows = 1412,
  kErrorResourceDataNotFound = 1812,
  kErrorResourceTypeNotFound = 1813,
  kErrorResourceNameNotFound = 1814,
  kErrorNotEnoughQuota = 1816,
  kErrorTimeout = 1460,
  kErrorInvalidThreadId = 1444,
  kErrorNotAllAssigned = 1300,
  kErrorPrivilegeNotHeld = 1314,
  kErrorCantAccessFile = 1920,
  kErrorCantResolveFilename = 1921,
  kErrorInvalidDrive = 15,
  kErrorNegativeSeek = 131,
  kErrorFileInvalid = 1006,
  kErrorMappedAlignment = 1132,
  kErrorUserMappedFile = 1224,
  kErrorNoneMapped = 1332,
  kErrorFileCorrupt = 1392,
  kErrorWriteProtect = 19,
  kErrorBadUnit = 20,
  kErrorNotReady = 21,
  kErrorNotSameDevice = 17,
  kErrorDevNotExist = 55,
  kErrorNetnameDeleted = 64,
  kErrorSeekOnDevice = 132,
  kErrorLockFailed = 167,
  kErrorIoPending = 997,
  kErrorNoUnicodeTranslation = 1113,
  kErrorIoDevice = 1117,
  kErrorPossibleDeadlock = 1131,
  kErrorTooManyLinks = 1142,
  kErrorConnectionRefused = 1225,
  kErrorAddressAlreadyAssociated = 1227,
  kErrorNetworkUnreachable = 1231,
  kErrorHostUnreachable = 1232,
  kErrorConnectionAborted = 1236,
  kErrorUnidentifiedError = 1287,
  kErrorNoSystemResources = 1450,
  kErrorNotConnected = 2250,
  kErrorNoProcSlots = 89,
};

// Wait results.
enum : DWORD {
  kWaitObject0 = 0,
  kWaitAbandoned0 = 0x80,
  kWaitTimeout = 258,
  kWaitFailed = 0xFFFFFFFFu,
};
constexpr DWORD kInfinite = 0xFFFFFFFFu;

DWORD GetLastError();
void SetLastError(DWORD code);

// Maps an errno value to the Windows code whose text says the same and
// stores it as the last error. Returns the stored code. A value without a
// counterpart gives ERROR_UNIDENTIFIED_ERROR (1287); only ENOTTY (a request
// the device does not know) gives "Incorrect function" (1).
DWORD SetLastErrorFromErrno(int err);
DWORD ErrnoToError(int err);

// The system's English text for an error code, without a trailing period
// or line break ("The system cannot find the file specified.").
std::string SystemErrorText(DWORD code);
// The same text with every insert ("%1") filled with insert, as the
// program fills it for the file the error concerns.
std::string SystemErrorText(DWORD code, std::string_view insert);
// The same text where it is stored, *size its length as SystemErrorText
// gives it, or null for a code without one. Async-signal-safe.
const char* StoredSystemErrorText(DWORD code, std::size_t* size) noexcept;

// How a failed allocation is reported, in the "text (code)" form of an OS
// error: stored, so that telling it needs no memory.
inline constexpr char kNotEnoughMemoryText[] =
    "Not enough memory resources are available to process this command (8)";

}  // namespace vt::os
