// Files, folders and paths: path text operations that never touch the disk,
// folder creation and deletion, enumeration, the temporary folder, file
// information, and the user, computer and environment names.
//
// Separators. '\' and '/' are separators alike wherever one is looked for.
// Where a routine has to write a separator it uses the style of the text it
// is given: text that holds a '\' or starts with a drive letter and ':' is
// Windows-style and gets '\'; any other text is a native (POSIX) path and
// gets '/'. So IncludeTrailingBackslash("C:\a") is "C:\a\" and
// IncludeTrailingBackslash("/tmp/a") is "/tmp/a/". In POSIX text ':' is an
// ordinary character; in Windows-style text it ends a drive.
//
// Every call that fails raises EOSError through the error routines of
// Objects.h with the message given for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Files.h"

namespace vt {

// ---- Path text --------------------------------------------------------------

// True for text in the Windows style (a '\' anywhere, or a drive letter).
bool IsWindowsStylePath(const std::string& s);
// The separator written into S: '\' for Windows-style text, else '/'.
char PathDelimiterFor(const std::string& s);

std::string IncludeTrailingBackslash(const std::string& s);
// Removes one trailing separator of the text's style ('\' from Windows-style
// text, where a trailing '/' stays; '/' from POSIX text).
std::string ExcludeTrailingBackslash(const std::string& s);
std::string ExtractFilePathEx(const std::string& s);
std::string ExtractFileNameEx(const std::string& s);
std::string ExtractFileExtEx(const std::string& s);
std::string ChangeFileExtEx(const std::string& s, const std::string& ext);
std::string ExtractFileBaseName(const std::string& s);
bool IsAbsolutePath(const std::string& s);
// Resolves ".", ".." and doubled separators in place. Windows-style text
// turns '/' into '\', loses one trailing dot of a folder name, and drops
// ".." that climb above a drive; POSIX text keeps its '/' and drops ".."
// that climb above the root. A final ".." without a separator after it
// stays; two separators at the very start (a network name) stay.
void NormalizePath(std::string& s);
// Base + Relative, normalized. An absolute Relative starting with a
// separator (not a network name) takes the drive of a Windows-style Base.
// NamePos (1-based) is the position just after the last separator.
std::string ExpandPath(const std::string& base, const std::string& relative, int* name_pos = nullptr);
std::string QuoteAlways(const std::string& s);
std::string QuoteAlwaysSingle(const std::string& s);

// ---- Folders and files ------------------------------------------------------

// True when created; false when it already existed (error 183) and
// fail_if_exists is false; else raises "Cannot create directory '%s'".
bool CreateDirectoryChecked(const std::string& path, bool fail_if_exists);

// Creates Path and its missing parents; true when at least one folder was
// created. A file standing where a folder is wanted raises (error 183).
bool ForceDirectoriesNotify(const std::string& path, const std::string& description);
// Handlers called with every folder ForceDirectoriesNotify created.
using TCreateDirNotifyEvent = std::function<void(const std::string& path)>;
int AddCreateDirNotify(TCreateDirNotifyEvent handler);
void RemoveCreateDirNotify(int id);

void DeleteFileChecked(const std::string& path, bool even_if_missing);
bool RemoveDir(const std::string& path);

struct TEnumFileInfo {
  std::string Name;
  std::string ShortName;  // no short names on this system: always empty
  std::string FullName;
  std::int64_t Size = 0;
  std::uint32_t Attributes = 0;
  std::uint64_t CreationTime = 0;
  std::uint64_t LastAccessTime = 0;
  std::uint64_t LastWriteTime = 0;
  bool IsDirectory = false;
};

using TEnumFileFlags = std::uint16_t;
enum : TEnumFileFlags {
  efLowerCase = 0x1,
  efFullName = 0x2,
  efShortName = 0x4,
  efDelete = 0x8,
  efFolders = 0x10,
  efFoldersOnly = 0x20,
  efRecursive = 0x40,
  efDotEntries = 0x80,
  efSingleLinkOnly = 0x100,
  efRaiseOnDeleteFailure = 0x200,
};

using TEnumFileCallback = std::function<void(const TEnumFileInfo& info)>;

// Lists (or with efDelete deletes) the entries of Folder that match Mask.
// Only "." and ".." count as dot entries. Symbolic links are reported (or
// deleted) as themselves and never descended into. True when the first
// search found anything.
bool EnumerateFiles(const std::string& folder, TEnumFileFlags flags, const std::string& mask,
                    const TEnumFileCallback& callback);
bool DeleteDirectoryContents(const std::string& folder, const std::string& mask, bool single_link_only,
                             bool raise_on_failure);
// Deletes the contents, then the folder when it became empty. A Folder that
// is a symbolic link is removed as a link; its target is left alone.
void DeleteDirectory(const std::string& folder, const std::string& mask = "*.*", bool single_link_only = false);

// The temporary folder with a trailing separator, created when missing.
std::string GetTempDir();

bool FileExistsNotDir(const std::string& path);
bool DirectoryExists(const std::string& path);
bool IsReadOnlyFile(const std::string& path);
std::string SearchPathStr(const std::string& search_path, const std::string& file_name);
std::string GetRealFileName(const std::string& name, os::FindData* find_data = nullptr, bool must_exist = true);
bool GetFileInformationByName(const std::string& name, os::FileInformation* info, bool raise_on_failure);
int GetFileLinkCount(const std::string& name);

// ---- Context names ----------------------------------------------------------

std::string GetEnvVar(const std::string& name);
std::string GetUserNameStr();
// Cached after the first success; raises "Failed to get computer name".
std::string GetComputerNameStr();
// Never raises: "<Unknown:" + the exception text + ">" on failure.
std::string GetComputerNameStrNoRaise();
// The name of the process's window station; raises "Failed to get window
// station of process".
std::string GetWindowStationName();

// ---- System folders ---------------------------------------------------------

// The Windows folder and the system folder, each with a trailing separator.
// The start-up of the operating-system layer computes them once
// (InitSystemFolders); before that each call asks the system.
void InitSystemFolders();
// Forgets the folders and the cached computer name.
void DoneSystemFolders();
std::string GetWindowsDir();
std::string GetSystemDir();

// ---- Handle-based file operations -------------------------------------------

void SetFileTimeChecked(os::FileHandle handle, const std::uint64_t* creation, const std::uint64_t* access,
                        const std::uint64_t* write);
void GetFileInformationChecked(os::FileHandle handle, os::FileInformation* info);
std::int64_t SetFilePointerChecked(os::FileHandle handle, std::int64_t distance, std::uint32_t method);
// -1 on failure without raising.
std::int64_t GetFileSizeChecked(os::FileHandle handle, bool raise_on_failure);
void SetEndOfFileChecked(os::FileHandle handle);
void FlushFileBuffersChecked(os::FileHandle handle);
os::MappingHandle CreateFileMappingChecked(os::FileHandle handle, std::uint32_t protect, std::uint64_t size,
                                           const std::string& name, bool raise_on_failure);
void* MapViewChecked(os::MappingHandle mapping, std::uint32_t access, std::uint64_t offset, std::size_t size,
                     bool raise_on_failure);
// Closes a mapping (result ignored) and clears the variable first.
void CloseMappingAndNil(os::MappingHandle& mapping);

}  // namespace vt
