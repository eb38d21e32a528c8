// Files, folders and mapped views, with the Windows behaviour the library
// relies on: dispositions, access and share modes, error codes, file times
// and attributes.
//
// Paths are native ('/' separated). Every call that fails returns its
// failure value and leaves a Windows error code in GetLastError().
//
// Sharing: an open whose access another open's share mode does not allow
// (or whose share mode does not allow another open's access) fails with
// error 32, as does deleting a file held open without delete sharing; opens
// in other processes count too. Every file this layer opens is entered in an
// in-process table keyed by device and inode with its access and share modes
// (close it with CloseFile or CloseHandle; a descriptor closed otherwise is
// dropped from the table when it is next looked at). Between processes a
// regular file's opens hold open-file-description locks on bytes near the
// largest file offset, which end with the descriptor and its duplicates,
// also when the holder is killed. A write-only open carries them on a second,
// read-only descriptor; a file the process cannot read (write permission
// only) is shared within this process alone, as is a file on a file system
// without such locks.
//
// Read-only attribute: a file is read-only when its owner-write permission
// bit is clear. This layer itself refuses to open such a file for writing,
// to truncate or delete it (error 5), also for a privileged user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/LastError.h"
#include "platform/VirtualMemory.h"

namespace vt::os {

// An open file: a file descriptor.
using FileHandle = HANDLE;
constexpr FileHandle kInvalidFile = kInvalidHandleValue;

// 100 ns units since 1601-01-01 UTC.
using FILETIME = std::uint64_t;

// Access rights.
enum : DWORD {
  kGenericRead = 0x80000000u,
  kGenericWrite = 0x40000000u,
  kDeleteAccess = 0x00010000u,
};

// Share modes.
enum : DWORD {
  kFileShareRead = 1,
  kFileShareWrite = 2,
  kFileShareDelete = 4,
};

// Creation dispositions.
enum : DWORD {
  kCreateNew = 1,
  kCreateAlways = 2,
  kOpenExisting = 3,
  kOpenAlways = 4,
  kTruncateExisting = 5,
};

// Attributes.
enum : DWORD {
  kFileAttributeReadOnly = 0x1,
  kFileAttributeHidden = 0x2,
  kFileAttributeSystem = 0x4,
  kFileAttributeDirectory = 0x10,
  kFileAttributeArchive = 0x20,
  kFileAttributeNormal = 0x80,
  kFileAttributeTemporary = 0x100,
  kFileAttributeReparsePoint = 0x400,
};
constexpr DWORD kInvalidFileAttributes = 0xFFFFFFFFu;

// Flags combined with the attributes of CreateFile. Write-through makes
// every write synchronous (O_DSYNC: data and what is needed to read it back
// reach the disk before the write returns). No-buffering transfers bypass
// the page cache (O_DIRECT) where the file system allows it (else the file
// is opened buffered); as there, buffers, counts and file positions must
// then be aligned to the device's block size (usually 512 or 4096 bytes),
// else the transfer fails with error 87. Sequential and random access are
// passed on as hints; overlapped is accepted and ignored (all transfers are
// synchronous).
enum : DWORD {
  kFileFlagWriteThrough = 0x80000000u,
  kFileFlagOverlapped = 0x40000000u,
  kFileFlagNoBuffering = 0x20000000u,
  kFileFlagRandomAccess = 0x10000000u,
  kFileFlagSequentialScan = 0x08000000u,
  kFileFlagDeleteOnClose = 0x04000000u,
  // The name's last part is not followed when it is a symbolic link (the
  // open fails with 1921), and anything but a regular file is refused with
  // 1920 without waiting for a FIFO's other end.
  kFileFlagOpenReparsePoint = 0x00200000u,
  // Anything but a regular file (a FIFO, a device, a socket) is refused
  // with 1920 without waiting for a FIFO's other end; links are followed.
  kFileFlagRegularFileOnly = 0x00400000u,
};

// Seek methods.
enum : DWORD { kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2 };

// CreateFile: opens or creates Name. With kCreateAlways and kOpenAlways an
// existing file sets the last error to 183 on success (else 0). Opening for
// writing makes the file-size limit signal ignored (unless the program
// handles it), so that growing a file past the limit fails with error 223.
// Errors: 2 missing file, 3 missing folder, 5 access denied (also a folder,
// a read-only file opened for writing), 32 sharing violation, 80 file exists
// (kCreateNew), 87 bad disposition.
FileHandle CreateFile(const std::string& name, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags_and_attributes);
bool CloseFile(FileHandle h);
// A second handle to an open file, with its rights and sharing; the share
// ends when the last of them is closed.
FileHandle DuplicateFileHandle(FileHandle h, bool inherit);

// Transfers up to Count bytes; *Done receives the count moved. Reading at
// the end of the file succeeds with 0 bytes.
bool ReadFile(FileHandle h, void* buffer, std::int64_t count, std::int64_t* done);
bool WriteFile(FileHandle h, const void* buffer, std::int64_t count, std::int64_t* done);
bool SetFilePointer(FileHandle h, std::int64_t distance, DWORD method, std::int64_t* new_position);
bool GetFileSize(FileHandle h, std::int64_t* size);
// Cuts or extends the file at the present position. Error 1224 when a
// mapping of the file would lose its backing.
bool SetEndOfFile(FileHandle h);
bool FlushFileBuffers(FileHandle h);
// Whether every write through the handle goes to the end of the file,
// wherever its position (opened for appending).
bool IsAppendOnly(FileHandle h);

struct FileInformation {
  DWORD attributes = 0;
  FILETIME creation_time = 0;
  FILETIME last_access_time = 0;
  FILETIME last_write_time = 0;
  DWORD volume_serial_number = 0;
  std::int64_t size = 0;
  DWORD number_of_links = 0;
  std::uint64_t file_index = 0;
};
bool GetFileInformationByHandle(FileHandle h, FileInformation* info);
// Whether the open file belongs to this process's effective user or to
// root; *owner gets its owner's user id. False also when it cannot be told
// (*owner then unchanged, the last error set).
bool IsFileOfThisUserOrRoot(FileHandle h, std::uint32_t* owner);
// Null pointers leave a time unchanged. The creation time cannot be set on
// this system and is ignored.
bool SetFileTime(FileHandle h, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write);

// Attributes by name (kInvalidFileAttributes on failure). Only the read-only
// bit can be changed.
DWORD GetFileAttributes(const std::string& name);
bool SetFileAttributes(const std::string& name, DWORD attributes);

// DeleteFile removes a file or a symbolic link (never its target).
// Errors: 2, 3, 5 (a folder or a read-only file), 32 (open without delete
// sharing).
bool DeleteFile(const std::string& name);
// Errors: 183 when the name exists, 3 when the parent is missing.
bool CreateDirectory(const std::string& name);
// Removes an empty folder; a symbolic link to a folder is removed itself.
// Errors: 2, 3, 145 (not empty), 267 (not a folder).
bool RemoveDirectory(const std::string& name);

// Memory-mapped files.
struct MappingObject;
using MappingHandle = MappingObject*;

// Protections: kPageReadOnly, kPageReadWrite, kPageWriteCopy.
enum : DWORD {
  kFileMapCopy = 0x1,
  kFileMapWrite = 0x2,
  kFileMapRead = 0x4,
};
// Offsets of views are multiples of kAllocationGranularity.
// A mapping of an open file. MaximumSize 0 means the file's size (error 1006
// for an empty file). A read-write mapping reserves disk space for its whole
// size first, extending a smaller file (error 112 when the disk is full, 223
// beyond the process's file-size limit); a read-only mapping larger than the
// file fails with error 8. The mapping keeps the file open until it is
// closed. Named mappings are not supported (error 50).
MappingHandle CreateFileMapping(FileHandle file, DWORD protect, std::uint64_t maximum_size,
                                const std::string& name = std::string());
bool CloseMapping(MappingHandle mapping);
std::uint64_t MappingSize(MappingHandle mapping);
// Size 0 maps from Offset to the mapping's end. Errors: 1132 for an offset
// that is not a multiple of kAllocationGranularity, 5 for a window past the
// mapping's end or more access than the mapping allows.
void* MapViewOfFile(MappingHandle mapping, DWORD access, std::uint64_t offset, std::size_t size);
bool UnmapViewOfFile(const void* address);
bool FlushViewOfFile(const void* address, std::size_t size);

// Directory search with Windows wildcards: '*' any run of characters, '?'
// one character; letters match regardless of case. A mask ending in ".*"
// also matches names without a dot ("*.*" matches every name); a mask ending
// in a single '.' matches only names without a dot. The search reports "."
// and ".." like any other entry. Symbolic links carry the reparse-point
// attribute, plus the folder attribute when they point to a folder.
struct FindData {
  DWORD attributes = 0;
  FILETIME creation_time = 0;
  FILETIME last_access_time = 0;
  FILETIME last_write_time = 0;
  std::int64_t size = 0;
  std::string name;
  std::string alternate_name;  // no short names here: always empty
};
struct FindObject;
using FindHandle = FindObject*;
// Pattern: folder + '/' + mask (a pattern without '/' searches the current
// folder). Errors: 3 missing folder, 2 nothing matches.
FindHandle FindFirstFile(const std::string& pattern, FindData* data);
// Error 18 when no entry is left.
bool FindNextFile(FindHandle find, FindData* data);
bool FindClose(FindHandle find);
bool MatchesMask(const std::string& name, const std::string& mask);

// Space on the filesystem holding Path (a folder): the bytes this user may
// still write, the filesystem's size and all its free bytes. Null pointers
// are skipped.
bool GetDiskFreeSpaceEx(const std::string& path, std::uint64_t* free_to_caller, std::uint64_t* total,
                        std::uint64_t* total_free);

// The temporary folder: TMPDIR when set (a relative one taken from the
// current folder), else /tmp, with a trailing '/'.
std::string GetTempPath();
// What SearchPath takes: anything but a folder, or a regular file the
// process may run.
enum class PathSearch { AnyFile, Executable };
// Looks for FileName in the ':'-separated SearchPath (PATH when empty; for
// executables an unset PATH means "/usr/local/bin:/usr/bin:/bin"); an empty
// entry is the current folder, and a name with a '/' is only checked as
// given. Returns the full name, or empty with the last error set.
std::string SearchPath(const std::string& search_path, const std::string& file_name,
                       PathSearch what = PathSearch::AnyFile);
// The absolute form of a path, relative to the current folder.
std::string GetFullPathName(const std::string& name);
std::string GetCurrentDirectory();

// FILETIME <-> seconds and nanoseconds since 1970 (UTC).
FILETIME UnixTimeToFileTime(std::int64_t seconds, std::int64_t nanoseconds);
void FileTimeToUnixTime(FILETIME ft, std::int64_t* seconds, std::int64_t* nanoseconds);

}  // namespace vt::os
