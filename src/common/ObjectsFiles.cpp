#include "common/ObjectsFiles.h"

#include <map>
#include <mutex>
#include <vector>

#include "common/Objects.h"
#include "platform/Environment.h"

namespace vt {

namespace {

bool IsSep(char c) { return c == '\\' || c == '/'; }

// Separator test in the text's own style: ':' ends a drive only in
// Windows-style text.
bool IsPathBreak(char c, bool windows) { return IsSep(c) || (windows && c == ':'); }

std::string TrimRightBlanks(const std::string& s) {
  std::size_t n = s.size();
  while (n > 0 && s[n - 1] == ' ') --n;
  return s.substr(0, n);
}

// Index of the last separator (or drive colon), npos when none.
std::size_t LastBreak(const std::string& s) {
  const bool windows = IsWindowsStylePath(s);
  for (std::size_t i = s.size(); i > 0; --i)
    if (IsPathBreak(s[i - 1], windows)) return i - 1;
  return std::string::npos;
}

}  // namespace

// ---- Path text --------------------------------------------------------------

bool IsWindowsStylePath(const std::string& s) {
  if (s.find('\\') != std::string::npos) return true;
  return s.size() >= 2 && s[1] == ':' && ((s[0] >= 'A' && s[0] <= 'Z') || (s[0] >= 'a' && s[0] <= 'z'));
}

char PathDelimiterFor(const std::string& s) { return IsWindowsStylePath(s) ? '\\' : '/'; }

std::string IncludeTrailingBackslash(const std::string& s) {
  if (s.empty() || IsSep(s.back())) return s;
  return s + PathDelimiterFor(s);
}

std::string ExcludeTrailingBackslash(const std::string& s) {
  if (!s.empty() && s.back() == PathDelimiterFor(s)) return s.substr(0, s.size() - 1);
  return s;
}

std::string ExtractFilePathEx(const std::string& s) {
  std::string t = TrimRightBlanks(s);
  std::size_t p = LastBreak(t);
  return p == std::string::npos ? std::string() : t.substr(0, p + 1);
}

std::string ExtractFileNameEx(const std::string& s) {
  std::string t = TrimRightBlanks(s);
  std::size_t p = LastBreak(t);
  return p == std::string::npos ? t : t.substr(p + 1);
}

namespace {
// Index of the extension dot, npos when there is none.
std::size_t ExtensionDot(const std::string& s) {
  const bool windows = IsWindowsStylePath(s);
  for (std::size_t i = s.size(); i > 0; --i) {
    char c = s[i - 1];
    if (c == '.') return i - 1;
    if (IsPathBreak(c, windows)) return std::string::npos;
  }
  return std::string::npos;
}
}  // namespace

std::string ExtractFileExtEx(const std::string& s) {
  std::size_t p = ExtensionDot(s);
  return p == std::string::npos ? std::string() : s.substr(p);
}

std::string ChangeFileExtEx(const std::string& s, const std::string& ext) {
  std::size_t p = ExtensionDot(s);
  return (p == std::string::npos ? s : s.substr(0, p)) + ext;
}

std::string ExtractFileBaseName(const std::string& s) {
  std::string name = ExtractFileNameEx(s);
  std::size_t p = ExtensionDot(name);
  return p == std::string::npos ? name : name.substr(0, p);
}

bool IsAbsolutePath(const std::string& s) {
  return !s.empty() && ((s.size() >= 2 && s[1] == ':') || IsSep(s[0]));
}

namespace {

void NormalizeInStyle(std::string& s, bool windows) {
  const char sep = windows ? '\\' : '/';
  if (windows)
    for (char& c : s)
      if (c == '/') c = '\\';

  // Prefix: a drive, then the leading separators (two kept for a network name).
  std::string prefix;
  std::size_t i = 0;
  bool has_drive = false;
  if (windows && s.size() >= 2 && s[1] == ':') {
    prefix = s.substr(0, 2);
    i = 2;
    has_drive = true;
  }
  std::size_t seps = 0;
  while (i + seps < s.size() && s[i + seps] == sep) ++seps;
  const bool rooted = seps > 0;
  if (seps >= 2 && !has_drive)
    prefix += std::string(2, sep);
  else if (seps > 0)
    prefix += sep;
  i += seps;

  std::vector<std::string> parts;
  std::size_t unresolved = 0;  // leading ".." that could not be cancelled
  bool trailing_sep = false;
  while (i < s.size()) {
    std::size_t j = s.find(sep, i);
    const bool followed = j != std::string::npos;
    if (!followed) j = s.size();
    std::string part = s.substr(i, j - i);
    i = followed ? j + 1 : j;
    trailing_sep = followed;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!followed) {
        parts.push_back(part);  // a final ".." stays
        continue;
      }
      if (parts.size() > unresolved) {
        parts.pop_back();
      } else {
        parts.push_back(part);
        ++unresolved;
      }
      continue;
    }
    if (windows && followed && part.back() == '.') part.pop_back();
    parts.push_back(std::move(part));
  }
  // ".." that climb above a drive or the root go.
  if (unresolved > 0 && (has_drive || (!windows && rooted)))
    parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(unresolved));

  std::string r = prefix;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) r += sep;
    r += parts[k];
  }
  if (trailing_sep && !parts.empty()) r += sep;
  while (r.size() >= 3 && r[1] == ':' && r[2] == ':') r.erase(2, 1);
  s = std::move(r);
}

}  // namespace

void NormalizePath(std::string& s) { NormalizeInStyle(s, IsWindowsStylePath(s)); }

std::string ExpandPath(const std::string& base, const std::string& relative, int* name_pos) {
  std::string result = relative;
  bool windows = IsWindowsStylePath(result) || IsWindowsStylePath(base);
  if (result.size() >= 2 && result.front() == '"' && result.back() == '"') {
    result = result.substr(1, result.size() - 2);
  } else if (result == "\"") {
    result.clear();  // a lone quote both starts and ends the text
  }
  if (result.empty()) {
    result = IncludeTrailingBackslash(base);
  } else if (IsAbsolutePath(result)) {
    const bool network = result.size() >= 2 && IsSep(result[0]) && result[1] == result[0];
    if (IsSep(result[0]) && !network && base.size() >= 2 && base[1] == ':' && IsWindowsStylePath(base)) {
      result = base.substr(0, 2) + result;
      windows = true;
    } else {
      windows = IsWindowsStylePath(result);
    }
    NormalizeInStyle(result, windows);
  } else {
    if (base.empty())
      throw Exception(Format("Base path cannot be an empty string (relative path is \"%s\")", relative));
    result = IncludeTrailingBackslash(base) + result;
    NormalizeInStyle(result, windows);
  }
  if (name_pos) {
    const char sep = windows ? '\\' : '/';
    std::size_t p = result.find_last_of(sep);
    *name_pos = p == std::string::npos ? 1 : static_cast<int>(p) + 2;
  }
  return result;
}

std::string QuoteAlways(const std::string& s) { return "\"" + s + "\""; }
std::string QuoteAlwaysSingle(const std::string& s) { return "'" + s + "'"; }

// ---- Folders and files ------------------------------------------------------

bool CreateDirectoryChecked(const std::string& path, bool fail_if_exists) {
  if (os::CreateDirectory(path)) return true;
  const auto code = os::GetLastError();
  if (code == os::kErrorAlreadyExists && !fail_if_exists) return false;
  RaiseOSError("Cannot create directory '%s'", {path}, code);
}

namespace {

std::mutex& NotifyMutex() {
  static std::mutex m;
  return m;
}
std::map<int, TCreateDirNotifyEvent>& NotifyHandlers() {
  static std::map<int, TCreateDirNotifyEvent> h;
  return h;
}

std::string StripOneTrailingSeparator(const std::string& path) {
  if (!path.empty() && IsSep(path.back())) return path.substr(0, path.size() - 1);
  return path;
}

bool ForceDirectoriesInner(const std::string& given) {
  const std::string path = StripOneTrailingSeparator(given);
  if (path.empty()) return false;
  if (DirectoryExists(path)) return false;
  const bool windows = IsWindowsStylePath(path);
  const std::string parent = ExtractFilePathEx(path);
  if ((windows && path.size() < 3) || parent == path) return false;
  if (parent == "\\\\") return false;
  if (!parent.empty()) ForceDirectoriesInner(parent);
  if (!CreateDirectoryChecked(path, false) && !DirectoryExists(path))
    RaiseOSError("Cannot create directory '%s'", {path}, os::kErrorAlreadyExists);
  return true;
}

}  // namespace

bool ForceDirectoriesNotify(const std::string& path, const std::string& description) {
  bool created;
  try {
    created = ForceDirectoriesInner(path);
  } catch (...) {
    if (!description.empty())
      ReraiseWithContext("Failed to create directory (%s): %s", {description, path});
    ReraiseWithContext("Failed to create directory: %s", {path});
  }
  if (created) {
    const std::string made = StripOneTrailingSeparator(path);
    std::vector<TCreateDirNotifyEvent> handlers;
    {
      std::lock_guard<std::mutex> lock(NotifyMutex());
      for (const auto& [id, h] : NotifyHandlers()) handlers.push_back(h);
    }
    for (const auto& h : handlers) h(made);
  }
  return created;
}

int AddCreateDirNotify(TCreateDirNotifyEvent handler) {
  static int next_id = 0;
  std::lock_guard<std::mutex> lock(NotifyMutex());
  NotifyHandlers()[++next_id] = std::move(handler);
  return next_id;
}

void RemoveCreateDirNotify(int id) {
  std::lock_guard<std::mutex> lock(NotifyMutex());
  NotifyHandlers().erase(id);
}

void DeleteFileChecked(const std::string& path, bool even_if_missing) {
  if (!even_if_missing && !FileExistsNotDir(path)) return;
  if (os::DeleteFile(path)) return;
  const auto code = os::GetLastError();
  if (code == os::kErrorAccessDenied && IsReadOnlyFile(path))
    RaiseOSError("Failed to delete file '%s'\r\nCannot delete a read-only file", {path}, code);
  RaiseOSError("Failed to delete file '%s'", {path}, code);
}

bool RemoveDir(const std::string& path) { return os::RemoveDirectory(path); }

namespace {

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

bool EnumerateFiles(const std::string& folder, TEnumFileFlags flags, const std::string& mask,
                    const TEnumFileCallback& callback) {
  if (folder.empty() || folder == "." || folder == "/" || folder == "\\") return false;
  if ((flags & efRecursive) && !(flags & (efFullName | efDelete)))
    throw Exception("Invalid file enumeration flags: 'recursive' specified without 'full path'");
  VT_ASSERT_AT(!(flags & efRaiseOnDeleteFailure) || (flags & efDelete), "Objects", 1);
  if (flags & efFoldersOnly) flags |= efFolders;

  const std::string prefix = IncludeTrailingBackslash(folder);
  os::FindData d;
  os::FindHandle find = os::FindFirstFile(prefix + mask, &d);
  if (!find) return false;
  struct Closer {
    os::FindHandle h;
    ~Closer() { os::FindClose(h); }
  } closer{find};
  do {
    const bool dot = IsDotEntry(d.name);
    if (dot && !(flags & efDotEntries)) continue;
    const bool is_dir = d.attributes & os::kFileAttributeDirectory;
    const bool is_link = d.attributes & os::kFileAttributeReparsePoint;
    const std::string full = prefix + d.name;
    if (is_dir && !is_link && !dot && (flags & efRecursive)) EnumerateFiles(full, flags, mask, callback);
    if (is_dir && !(flags & efFolders)) continue;
    if (!is_dir && (flags & efFoldersOnly)) continue;
    if (flags & efDelete) {
      if (dot) continue;
      if (!is_dir) {
        if ((flags & efSingleLinkOnly) && GetFileLinkCount(full) != 1) continue;
        if (flags & efRaiseOnDeleteFailure)
          DeleteFileChecked(full, false);
        else
          os::DeleteFile(full);
      } else if (!RemoveDir(full) && (flags & efRaiseOnDeleteFailure)) {
        RaiseLastOSError("Failed to remove directory \"%s\"", {full});
      }
      continue;
    }
    if (callback) {
      TEnumFileInfo info;
      info.Name = d.name;
      if (flags & efFullName) info.FullName = full;
      if (flags & efShortName) info.ShortName = d.alternate_name;
      if (flags & efLowerCase) {
        info.Name = LowerAscii(info.Name);
        info.FullName = LowerAscii(info.FullName);
        info.ShortName = LowerAscii(info.ShortName);
      }
      info.Size = d.size;
      info.Attributes = d.attributes;
      info.CreationTime = d.creation_time;
      info.LastAccessTime = d.last_access_time;
      info.LastWriteTime = d.last_write_time;
      info.IsDirectory = is_dir;
      callback(info);
    }
  } while (os::FindNextFile(find, &d));
  return true;
}

bool DeleteDirectoryContents(const std::string& folder, const std::string& mask, bool single_link_only,
                             bool raise_on_failure) {
  TEnumFileFlags flags = efRecursive | efFolders | efDelete;
  if (single_link_only) flags |= efSingleLinkOnly;
  if (raise_on_failure) flags |= efRaiseOnDeleteFailure;
  return EnumerateFiles(folder, flags, mask, nullptr);
}

void DeleteDirectory(const std::string& folder, const std::string& mask, bool single_link_only) {
  const std::string path = StripOneTrailingSeparator(folder);
  const std::uint32_t a = os::GetFileAttributes(path);
  if (a != os::kInvalidFileAttributes && (a & os::kFileAttributeReparsePoint)) {
    RemoveDir(path);  // the link itself, never what it points to
    return;
  }
  DeleteDirectoryContents(folder, mask, single_link_only, false);
  RemoveDir(path);
}

std::string GetTempDir() {
  std::string dir = os::GetTempPath();
  if (dir.empty()) RaiseLastOSError("Failed to get temporary directory");
  ForceDirectoriesNotify(dir, "temporary directory");
  return dir;
}

bool FileExistsNotDir(const std::string& path) {
  const std::uint32_t a = os::GetFileAttributes(path);
  return a != os::kInvalidFileAttributes && !(a & os::kFileAttributeDirectory);
}

bool DirectoryExists(const std::string& path) {
  const std::uint32_t a = os::GetFileAttributes(path);
  return a != os::kInvalidFileAttributes && (a & os::kFileAttributeDirectory);
}

bool IsReadOnlyFile(const std::string& path) {
  const std::uint32_t a = os::GetFileAttributes(path);
  return a != os::kInvalidFileAttributes && (a & os::kFileAttributeReadOnly);
}

std::string SearchPathStr(const std::string& search_path, const std::string& file_name) {
  return os::SearchPath(search_path, file_name);
}

std::string GetRealFileName(const std::string& name, os::FindData* find_data, bool must_exist) {
  os::FindData d, chosen;
  bool found = false;
  const std::string wanted = ExtractFileNameEx(name);
  if (!wanted.empty() && wanted.find_first_of("*?") == std::string::npos) {
    if (os::FindHandle f = os::FindFirstFile(name, &d)) {
      do {
        if (!found || d.name == wanted) chosen = d;  // the exact spelling wins
        found = true;
      } while (chosen.name != wanted && os::FindNextFile(f, &d));
      os::FindClose(f);
    }
  }
  if (!found) {
    if (must_exist) throw Exception("File not found: " + name);
    return name;
  }
  if (find_data) *find_data = chosen;
  return ExtractFilePathEx(name) + chosen.name;
}

bool GetFileInformationByName(const std::string& name, os::FileInformation* info, bool raise_on_failure) {
  os::FileHandle h = os::CreateFile(name, os::kGenericRead, os::kFileShareRead | os::kFileShareWrite,
                                    os::kOpenExisting, os::kFileAttributeNormal);
  if (h == os::kInvalidFile) {
    if (raise_on_failure) RaiseLastOSError("Cannot open file for getting file information: %s", {name});
    return false;
  }
  bool ok = os::GetFileInformationByHandle(h, info);
  os::CloseFile(h);
  return ok;
}

int GetFileLinkCount(const std::string& name) {
  os::FileInformation info;
  if (!GetFileInformationByName(name, &info, false)) return 0;
  return static_cast<int>(info.number_of_links);
}

// ---- Context names ----------------------------------------------------------

std::string GetEnvVar(const std::string& name) {
  std::string value(129, '\0');  // 128 characters and the terminator
  os::DWORD n = os::GetEnvironmentVariable(name, value.data(), 129);
  if (n < 129) {
    value.resize(n);
    return value;
  }
  // Too long for the first buffer: n is the size needed, terminator included.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const os::DWORD needed = n;
    value.assign(needed, '\0');
    n = os::GetEnvironmentVariable(name, value.data(), needed);
    if (n == 0) return std::string();  // removed meanwhile
    if (n == needed - 1) {
      if (value[n] != '\0')
        throw Exception(Format("Failed to get value of environment variable \"%s\": Null terminator missing", name));
      value.resize(n);
      return value;
    }
    if (n < needed) {  // shrank meanwhile: n is its length and it was copied
      value.resize(n);
      return value;
    }
  }
  throw Exception(Format("Failed to get value of environment variable \"%s\": Buffer size mismatch", name));
}

std::string GetUserNameStr() { return os::GetUserName(); }

namespace {
std::mutex& ComputerNameMutex() {
  static std::mutex m;
  return m;
}
std::string& CachedComputerName() {
  static std::string name;
  return name;
}
}  // namespace

std::string GetComputerNameStr() {
  std::lock_guard<std::mutex> lock(ComputerNameMutex());
  std::string& cached = CachedComputerName();
  if (cached.empty()) {
    std::string name = os::GetComputerName();
    if (name.empty()) RaiseLastOSError("Failed to get computer name");
    cached = name;
  }
  return cached;
}

std::string GetComputerNameStrNoRaise() {
  try {
    return GetComputerNameStr();
  } catch (const std::exception& e) {
    return std::string("<Unknown:") + e.what() + ">";
  }
}

std::string GetWindowStationName() {
  std::string name;
  if (!os::GetProcessWindowStationName(&name)) RaiseLastOSError("Failed to get window station of process");
  return name;
}

// ---- System folders ---------------------------------------------------------

namespace {
struct SystemFolders {
  std::mutex lock;
  bool known = false;
  std::string windows;
  std::string system;
};
SystemFolders& Folders() {
  static SystemFolders f;
  return f;
}
std::string WindowsDirFromSystem() { return IncludeTrailingBackslash(os::GetWindowsDirectory()); }
std::string SystemDirFromSystem() { return IncludeTrailingBackslash(os::GetSystemDirectory()); }
}  // namespace

void InitSystemFolders() {
  SystemFolders& f = Folders();
  std::lock_guard<std::mutex> lock(f.lock);
  f.windows = WindowsDirFromSystem();
  f.system = SystemDirFromSystem();
  f.known = true;
}

void DoneSystemFolders() {
  {
    SystemFolders& f = Folders();
    std::lock_guard<std::mutex> lock(f.lock);
    f.known = false;
    f.windows.clear();
    f.system.clear();
  }
  std::lock_guard<std::mutex> lock(ComputerNameMutex());
  CachedComputerName().clear();
}

std::string GetWindowsDir() {
  SystemFolders& f = Folders();
  std::lock_guard<std::mutex> lock(f.lock);
  return f.known ? f.windows : WindowsDirFromSystem();
}

std::string GetSystemDir() {
  SystemFolders& f = Folders();
  std::lock_guard<std::mutex> lock(f.lock);
  return f.known ? f.system : SystemDirFromSystem();
}

// ---- Handle-based file operations -------------------------------------------

void SetFileTimeChecked(os::FileHandle handle, const std::uint64_t* creation, const std::uint64_t* access,
                        const std::uint64_t* write) {
  CheckOS(os::SetFileTime(handle, creation, access, write), "Failed to set file time");
}

void GetFileInformationChecked(os::FileHandle handle, os::FileInformation* info) {
  CheckOS(os::GetFileInformationByHandle(handle, info), "Failed to get file information for handle 0x0%x",
          {handle});
}

std::int64_t SetFilePointerChecked(os::FileHandle handle, std::int64_t distance, std::uint32_t method) {
  std::int64_t pos = 0;
  CheckOS(os::SetFilePointer(handle, distance, method, &pos), "Failed to set file pointer for handle 0x0%x",
          {handle});
  return pos;
}

std::int64_t GetFileSizeChecked(os::FileHandle handle, bool raise_on_failure) {
  std::int64_t size = 0;
  if (os::GetFileSize(handle, &size)) return size;
  if (raise_on_failure) RaiseLastOSError("Failed to get file size for handle 0x0%x", {handle});
  return -1;
}

void SetEndOfFileChecked(os::FileHandle handle) {
  CheckOS(os::SetEndOfFile(handle), "Failed to set end of file for handle 0x0%x", {handle});
}

void FlushFileBuffersChecked(os::FileHandle handle) {
  CheckOS(os::FlushFileBuffers(handle), "Failed to flush file buffers");
}

os::MappingHandle CreateFileMappingChecked(os::FileHandle handle, std::uint32_t protect, std::uint64_t size,
                                           const std::string& name, bool raise_on_failure) {
  os::MappingHandle m = os::CreateFileMapping(handle, protect, size, name);
  if (m || !raise_on_failure) return m;
  const auto code = os::GetLastError();
  std::string what = handle == os::kInvalidFile ? "Failed to create file mapping backed by system swapfile"
                                                : "Failed to create file mapping for handle " +
                                                      HexAddress(static_cast<std::uint64_t>(handle));
  what += " (" + std::to_string(size) + " bytes)";
  if (!name.empty()) what += ", object name is \"" + name + "\"";
  RaiseOSError("%s", {what}, code);
}

void* MapViewChecked(os::MappingHandle mapping, std::uint32_t access, std::uint64_t offset, std::size_t size,
                     bool raise_on_failure) {
  void* p = os::MapViewOfFile(mapping, access, offset, size);
  if (p || !raise_on_failure) return p;
  RaiseLastOSError("Failed to map view of file mapping 0x0%x at position %d:%d (%d bytes)",
                   {reinterpret_cast<std::uintptr_t>(mapping), static_cast<std::uint32_t>(offset >> 32),
                    static_cast<std::uint32_t>(offset), static_cast<std::uint64_t>(size)});
}

void CloseMappingAndNil(os::MappingHandle& mapping) {
  os::MappingHandle m = mapping;
  mapping = nullptr;
  if (m) os::CloseMapping(m);
}

}  // namespace vt
