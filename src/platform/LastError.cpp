#include "platform/LastError.h"

#include <cerrno>

namespace vt::os {

namespace {
thread_local DWORD t_last_error = 0;

struct ErrorText {
  DWORD code;
  const char* text;
};

// English texts as the system reports them.
constexpr ErrorText kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {18, "There are no more files."},
    {22, "The device does not recognize the command."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33, "The process cannot access the file because another process has locked a portion of the file."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {128, "There are no child processes to wait for."},
    {145, "The directory is not empty."},
    {156, "The recipient process has refused the signal."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {203, "The system could not find the environment option that was entered."},
    {206, "The filename or extension is too long."},
    {223, "The file size exceeds the limit allowed and cannot be saved."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {288, "Attempt to release mutex not owned by caller."},
    {299, "Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {487, "Attempt to access invalid address."},
    {534, "Arithmetic result exceeded 32 bits."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {1004, "Invalid flags."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1009, "The configuration registry database is corrupt."},
    {1300, "Not all privileges or groups referenced are assigned to the caller."},
    {1314, "A required privilege is not held by the client."},
    {1400, "Invalid window handle."},
    {1406, "Cannot create a top-level child window."},
    {1407, "Cannot find window class."},
    {1410, "Class already exists."},
    {1411, "Class does not exist."},
    {1412, "Class still has open windows."},
    {1444, "Invalid thread identifier."},
    {1460, "This operation returned because the timeout period expired."},
    {1812, "The specified image file did not contain a resource section."},
    {1813, "The specified resource type cannot be found in the image file."},
    {1814, "The specified resource name cannot be found in the image file."},
    {1816, "Not enough quota is available to process this command."},
    {1920, "The file cannot be accessed by the system."},
    {1921, "The name of the file cannot be resolved by the system."},
    {15, "The system cannot find the drive specified."},
    {131, "An attempt was made to move the file pointer before the beginning of the file."},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid."},
    {1132, "The base address or the file offset specified does not have the proper alignment."},
    {1224, "The requested operation cannot be performed on a file with a user-mapped section open."},
    {1332, "No mapping between account names and security IDs was done."},
    {1392, "The file or directory is corrupted and unreadable."},
    {17, "The system cannot move the file to a different disk drive."},
    {19, "The media is write protected."},
    {20, "The system cannot find the device specified."},
    {21, "The device is not ready."},
    {55, "The specified network resource or device is no longer available."},
    {64, "The specified network name is no longer available."},
    {132, "The file pointer cannot be set on the specified device or file."},
    {167, "Unable to lock a region of a file."},
    {997, "Overlapped I/O operation is in progress."},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1131, "A potential deadlock condition has been detected."},
    {1142, "An attempt was made to create more links on a file than the file system supports."},
    {1225, "The remote computer refused the network connection."},
    {1227, "The network transport endpoint already has an address associated with it."},
    {1231, "The network location cannot be reached."},
    {1232, "The network location cannot be reached."},
    {1236, "The network connection was aborted by the local system."},
    {1287, "Insufficient information exists to identify the cause of failure."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {2250, "This network connection does not exist."},
    {89, "The system cannot start another process at this time."},
};
}  // namespace

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD code) { t_last_error = code; }

DWORD ErrnoToError(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EEXIST: return kErrorAlreadyExists;
    case EINVAL: return kErrorInvalidParameter;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EFBIG: return kErrorFileTooLarge;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EISDIR: return kErrorAccessDenied;
    case EBUSY: return kErrorBusy;
    case ETXTBSY: return kErrorSharingViolation;
    case ENOEXEC: return kErrorBadExeFormat;
    case EPIPE: return kErrorBrokenPipe;
    case ETIMEDOUT: return kErrorTimeout;
    case ECHILD: return kErrorWaitNoChildren;
    case ELOOP: return kErrorCantResolveFilename;
    case EFAULT: return kErrorInvalidAddress;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    case EIO: return kErrorWriteFault;
    // Process and system limits: fork's EAGAIN is the process limit.
    case EAGAIN: return kErrorNotEnoughQuota;
    case E2BIG: return kErrorFilenameExcedRange;
    case ENOBUFS:
    case ENOSR: return kErrorNoSystemResources;
    case ESRCH: return kErrorInvalidParameter;
    case EINTR:
    case ECANCELED: return kErrorOperationAborted;
    case ENOTTY: return kErrorInvalidFunction;
    case ENXIO:
    case ENODEV: return kErrorBadUnit;
    case EXDEV: return kErrorNotSameDevice;
    case ESPIPE: return kErrorSeekOnDevice;
    case EMLINK: return kErrorTooManyLinks;
    case EDOM: return kErrorInvalidParameter;
    case ERANGE: return kErrorInsufficientBuffer;
    case EOVERFLOW: return kErrorArithmeticOverflow;
    case EDEADLK: return kErrorPossibleDeadlock;
    case ENOLCK: return kErrorLockFailed;
    case EILSEQ: return kErrorNoUnicodeTranslation;
    case ENOMEDIUM: return kErrorNotReady;
    case EUCLEAN: return kErrorFileCorrupt;
    case ESTALE: return kErrorFileInvalid;
    case EINPROGRESS:
    case EALREADY: return kErrorIoPending;
    case ECONNREFUSED: return kErrorConnectionRefused;
    case ECONNRESET:
    case ENETRESET: return kErrorNetnameDeleted;
    case ECONNABORTED: return kErrorConnectionAborted;
    case ENETUNREACH:
    case ENETDOWN: return kErrorNetworkUnreachable;
    case EHOSTUNREACH:
    case EHOSTDOWN: return kErrorHostUnreachable;
    case EADDRINUSE: return kErrorAddressAlreadyAssociated;
    case ENOTCONN: return kErrorNotConnected;
    case ENOTSOCK: return kErrorInvalidHandle;
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case EPFNOSUPPORT:
    case ESOCKTNOSUPPORT:
    case EPROTOTYPE:
    case ENOPROTOOPT: return kErrorNotSupported;
    case ENOKEY:
    case EKEYEXPIRED:
    case EKEYREVOKED:
    case EKEYREJECTED: return kErrorNoToken;
    case EOWNERDEAD:
    case ENOTRECOVERABLE: return kErrorNotOwner;
    case ENODATA: return kErrorHandleEof;
    case ENOTUNIQ: return kErrorAlreadyExists;
    case EREMOTEIO: return kErrorIoDevice;
    case EMSGSIZE: return kErrorMoreData;
    case ETIME: return kErrorTimeout;
    case EBADMSG:
    case EPROTO: return kErrorInvalidData;
    default: return kErrorUnidentifiedError;
  }
}

DWORD SetLastErrorFromErrno(int err) {
  DWORD code = ErrnoToError(err);
  SetLastError(code);
  return code;
}

const char* StoredSystemErrorText(DWORD code, std::size_t* size) noexcept {
  for (const auto& e : kTexts) {
    if (e.code != code) continue;
    // System texts may end in a period and a Windows line end.
    std::size_t n = 0;
    while (e.text[n]) ++n;
    while (n > 0 && (e.text[n - 1] == '.' || e.text[n - 1] == '\r' || e.text[n - 1] == '\n')) --n;
    *size = n;
    return e.text;
  }
  return nullptr;
}

std::string SystemErrorText(DWORD code) {
  std::size_t size = 0;
  if (const char* text = StoredSystemErrorText(code, &size)) return std::string(text, size);
  return "Unknown error " + std::to_string(code);
}

std::string SystemErrorText(DWORD code, std::string_view insert) {
  std::string text = SystemErrorText(code);
  for (std::size_t at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + insert.size()))
    text.replace(at, 2, insert);
  return text;
}

std::string HResultText(HRESULT hr) {
  const auto u = static_cast<std::uint32_t>(hr);
  if ((u & 0xFFFF0000u) == 0x80070000u) return SystemErrorText(u & 0xFFFF);
  switch (u) {
    case 0x80004005u: return "Unspecified error";
    case 0x80040154u: return "Class not registered";
    default: return "";
  }
}

}  // namespace vt::os
