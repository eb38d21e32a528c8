#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/AsciiCase.h"
#include "platform/Environment.h"
#include "platform/FaultExit.h"
#include "platform/ForkLocks.h"
#include "platform/SystemCalls.h"

namespace vt::os {

std::mutex& detail::FilesLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

// ---------------------------------------------------------------------------
// The table of open files.

struct OpenEntry {
  dev_t dev = 0;
  ino_t ino = 0;
  DWORD access = 0;  // kGenericRead | kGenericWrite | kDeleteAccess
  DWORD share = 0;
  bool delete_on_close = false;
  std::string path;
  // A read-only descriptor of the same file that carries the share locks
  // of a write-only handle (-1: the handle's own descriptor carries them,
  // or none are held).
  int lock_fd = -1;
};

struct ViewEntry {
  std::size_t size = 0;
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t end = 0;  // file offset just past the view
};

std::mutex& TableMutex() { return detail::FilesLock(); }
std::unordered_map<int, OpenEntry>& OpenFiles() {
  static std::unordered_map<int, OpenEntry> t;
  return t;
}
std::map<const void*, ViewEntry>& Views() {
  static std::map<const void*, ViewEntry> t;
  return t;
}

// Caller holds the table lock. Fd was free when the system handed it out
// again: an entry for it is stale, and its lock descriptor is closed with it.
void DropStaleEntry(int fd) {
  auto& files = OpenFiles();
  auto it = files.find(fd);
  if (it == files.end()) return;
  if (it->second.lock_fd >= 0) ::close(it->second.lock_fd);
  files.erase(it);
}

bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}
bool FailErrno() {
  SetLastErrorFromErrno(errno);
  return false;
}

std::string ParentOf(const std::string& path) {
  auto p = path.find_last_of('/');
  if (p == std::string::npos) return ".";
  if (p == 0) return "/";
  return path.substr(0, p);
}

// Error for a name that does not exist: 2 when its folder exists, else 3.
DWORD MissingError(const std::string& path) {
  struct stat st;
  if (::stat(ParentOf(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return kErrorFileNotFound;
  return kErrorPathNotFound;
}

DWORD ErrnoForPath(int err, const std::string& path) {
  if (err == ENOENT) return MissingError(path);
  if (err == ENOTDIR) return kErrorPathNotFound;
  return ErrnoToError(err);
}

// The descriptor behind a file handle; -1 for values that cannot be one.
// Kernel-object handles start at 0x40000000.
int Fd(FileHandle h) { return h >= 0 && h < 0x40000000 ? static_cast<int>(h) : -1; }

// A file-size limit makes the growing call fail (error 223) instead of ending
// the process; a handler the program installed itself is left alone.
void IgnoreFileSizeSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction old;
    if (::sigaction(SIGXFSZ, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) ::signal(SIGXFSZ, SIG_IGN);
  });
}

bool IsReadOnlyMode(mode_t mode) { return S_ISREG(mode) && (mode & S_IWUSR) == 0; }

DWORD AccessOf(DWORD access, bool delete_on_close) {
  DWORD a = 0;
  if (access & kGenericRead) a |= kGenericRead;
  if (access & kGenericWrite) a |= kGenericWrite;
  if ((access & kDeleteAccess) || delete_on_close) a |= kDeleteAccess;
  return a;
}

bool SharingConflict(const OpenEntry& e, DWORD access, DWORD share) {
  if ((access & kGenericRead) && !(e.share & kFileShareRead)) return true;
  if ((access & kGenericWrite) && !(e.share & kFileShareWrite)) return true;
  if ((access & kDeleteAccess) && !(e.share & kFileShareDelete)) return true;
  if ((e.access & kGenericRead) && !(share & kFileShareRead)) return true;
  if ((e.access & kGenericWrite) && !(share & kFileShareWrite)) return true;
  if ((e.access & kDeleteAccess) && !(share & kFileShareDelete)) return true;
  return false;
}

// Caller holds the table lock. Entries whose descriptor was closed behind
// the table's back (or now refers to another file) are dropped.
bool AnyOpenConflict(dev_t dev, ino_t ino, DWORD access, DWORD share) {
  auto& files = OpenFiles();
  for (auto it = files.begin(); it != files.end();) {
    const OpenEntry& e = it->second;
    if (e.dev == dev && e.ino == ino) {
      struct stat st;
      if (::fstat(it->first, &st) != 0 || st.st_dev != e.dev || st.st_ino != e.ino) {
        if (e.lock_fd >= 0) ::close(e.lock_fd);
        it = files.erase(it);
        continue;
      }
      if (SharingConflict(e, access, share)) return true;
    }
    ++it;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Share modes between processes. Every open of a regular file holds shared
// open-file-description locks on single bytes far past any data: one byte
// per right it holds and one per sharing it denies. An open takes its bytes
// first and then looks for another open's byte that refuses it, so of two
// racing opens at least one sees the other. The locks belong to the open
// file description: they last while any duplicate of the descriptor is open
// and end with it, also when the holder is killed.

constexpr off_t kShareLockBase = 0x7FFFFFFFFFFFFF00;
constexpr int kDeniesOffset = 3;  // bytes 0-2: holds read, write, delete; 3-5: denies them

struct ShareRight {
  DWORD access;
  DWORD share;
};
constexpr ShareRight kShareRights[3] = {
    {kGenericRead, kFileShareRead}, {kGenericWrite, kFileShareWrite}, {kDeleteAccess, kFileShareDelete}};

bool ShareLockCall(int fd, int command, short type, int byte) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareLockBase + byte;
  fl.l_len = 1;
  int r;
  do {
    r = ::fcntl(fd, command, &fl);
  } while (r != 0 && errno == EINTR);
  if (r != 0) return false;
  return command != F_OFD_GETLK || fl.l_type != F_UNLCK;
}

// True when another open of the file holds Byte.
bool OthersHold(int fd, int byte) { return ShareLockCall(fd, F_OFD_GETLK, F_WRLCK, byte); }

void DropShareLocks(int fd) {
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareLockBase;
  fl.l_len = 2 * kDeniesOffset;
  ::fcntl(fd, F_OFD_SETLK, &fl);
}

enum class ShareLocks { kTaken, kConflict, kUnsupported };

// Takes the bytes of an open with Access and Share on Fd (readable) and
// checks them against every other open of the file.
ShareLocks TakeShareLocks(int fd, DWORD access, DWORD share) {
  for (int i = 0; i < 3; ++i) {
    const bool holds = access & kShareRights[i].access;
    const bool denies = !(share & kShareRights[i].share);
    if ((holds && !ShareLockCall(fd, F_OFD_SETLK, F_RDLCK, i)) ||
        (denies && !ShareLockCall(fd, F_OFD_SETLK, F_RDLCK, kDeniesOffset + i))) {
      const int err = errno;
      DropShareLocks(fd);
      // Another program's exclusive lock over the bytes refuses the open.
      return err == EAGAIN || err == EACCES ? ShareLocks::kConflict : ShareLocks::kUnsupported;
    }
  }
  for (int i = 0; i < 3; ++i) {
    if (((access & kShareRights[i].access) && OthersHold(fd, kDeniesOffset + i)) ||
        (!(share & kShareRights[i].share) && OthersHold(fd, i))) {
      DropShareLocks(fd);
      return ShareLocks::kConflict;
    }
  }
  return ShareLocks::kTaken;
}

// The descriptor that carries an open's share locks: fd itself when it can
// read, else a read-only descriptor of the same file (-1 when the file
// cannot be read: such a handle shares only within this process).
int ShareLockDescriptor(int fd, bool readable) {
  if (readable) return fd;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  int r;
  do {
    r = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (r < 0 && errno == EINTR);
  return r;
}

bool OutOfDescriptors(int err) { return err == EMFILE || err == ENFILE; }

// Deleting needs every open of the file to share delete: 0, or the error
// that refuses the delete (without a descriptor to look, it is refused too).
DWORD OthersDenyDelete(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OutOfDescriptors(errno) ? ErrnoToError(errno) : 0;
  struct stat st;
  const bool denied = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && OthersHold(fd, kDeniesOffset + 2);
  ::close(fd);
  return denied ? DWORD{kErrorSharingViolation} : 0;
}

std::vector<MappingObject*>& Mappings();

// Caller holds the table lock: the largest file offset a mapping or view of
// the file still needs.
std::uint64_t MappedExtent(dev_t dev, ino_t ino);

FILETIME TimespecToFileTime(const struct timespec& ts) { return UnixTimeToFileTime(ts.tv_sec, ts.tv_nsec); }

struct timespec FileTimeToTimespec(FILETIME ft) {
  std::int64_t s = 0, ns = 0;
  FileTimeToUnixTime(ft, &s, &ns);
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(s);
  ts.tv_nsec = static_cast<long>(ns);
  return ts;
}

DWORD AttributesOf(const struct stat& st) {
  DWORD a = 0;
  if (S_ISDIR(st.st_mode)) {
    a |= kFileAttributeDirectory;
  } else {
    a |= kFileAttributeArchive;
    if (IsReadOnlyMode(st.st_mode)) a |= kFileAttributeReadOnly;
  }
  return a;
}

// Attributes of a name without following a final symbolic link; a link
// carries the reparse-point bit and the folder bit of its target.
bool LinkAwareAttributes(const std::string& path, struct stat* lst, DWORD* attributes) {
  if (::lstat(path.c_str(), lst) != 0) return false;
  if (S_ISLNK(lst->st_mode)) {
    struct stat st;
    DWORD a = kFileAttributeReparsePoint;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) a |= kFileAttributeDirectory;
    *attributes = a;
  } else {
    *attributes = AttributesOf(*lst);
  }
  return true;
}

}  // namespace

struct MappingObject {
  int fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  DWORD protect = 0;
  std::uint64_t size = 0;
};

namespace {
std::vector<MappingObject*>& Mappings() {
  static std::vector<MappingObject*> t;
  return t;
}
std::uint64_t MappedExtent(dev_t dev, ino_t ino) {
  std::uint64_t extent = 0;
  for (const MappingObject* m : Mappings())
    if (m->dev == dev && m->ino == ino) extent = std::max(extent, m->size);
  for (const auto& [addr, v] : Views())
    if (v.dev == dev && v.ino == ino) extent = std::max(extent, v.end);
  return extent;
}
}  // namespace

// ---------------------------------------------------------------------------
// Files

FileHandle CreateFile(const std::string& name, DWORD access, DWORD share, DWORD disposition,
                      DWORD flags_and_attributes) {
  if (name.empty()) {
    SetLastError(kErrorPathNotFound);
    return kInvalidFile;
  }
  const bool want_read = access & kGenericRead;
  const bool want_write = access & kGenericWrite;
  const bool delete_on_close = flags_and_attributes & kFileFlagDeleteOnClose;
  int oflags = O_CLOEXEC;
  if (want_read && want_write)
    oflags |= O_RDWR;
  else if (want_write)
    oflags |= O_WRONLY;
  else
    oflags |= O_RDONLY;
  bool truncate = false;
  switch (disposition) {
    case kCreateNew: oflags |= O_CREAT | O_EXCL; break;
    case kCreateAlways: oflags |= O_CREAT; truncate = true; break;
    case kOpenExisting: break;
    case kOpenAlways: oflags |= O_CREAT; break;
    case kTruncateExisting:
      if (!want_write) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidFile;
      }
      truncate = true;
      break;
    default: SetLastError(kErrorInvalidParameter); return kInvalidFile;
  }
  if (flags_and_attributes & kFileFlagWriteThrough) oflags |= O_DSYNC;
  int direct = (flags_and_attributes & kFileFlagNoBuffering) ? O_DIRECT : 0;
  const bool regular_only = flags_and_attributes & (kFileFlagOpenReparsePoint | kFileFlagRegularFileOnly);
  if (regular_only) oflags |= O_NONBLOCK;
  if (flags_and_attributes & kFileFlagOpenReparsePoint) oflags |= O_NOFOLLOW;
  if (want_write) IgnoreFileSizeSignal();

  std::unique_lock<std::mutex> lock(TableMutex());
  struct stat before;
  const bool existed = ::stat(name.c_str(), &before) == 0;
  if (existed) {
    if (disposition == kCreateNew) {
      SetLastError(kErrorFileExists);
      return kInvalidFile;
    }
    if (S_ISDIR(before.st_mode)) {
      SetLastError(kErrorAccessDenied);
      return kInvalidFile;
    }
    if (IsReadOnlyMode(before.st_mode) && (want_write || truncate || delete_on_close)) {
      SetLastError(kErrorAccessDenied);
      return kInvalidFile;
    }
  }
  const mode_t mode = (flags_and_attributes & kFileAttributeReadOnly) ? 0444 : 0666;
  // Opening a FIFO or a device may wait without end (for the other end of
  // the FIFO): not under the table lock, which other opens and forks wait for.
  const bool open_may_wait = existed && !S_ISREG(before.st_mode) && !(oflags & O_NONBLOCK);
  if (open_may_wait) lock.unlock();
  int fd;
  do {
    fd = SystemCalls().open(name.c_str(), oflags | direct, mode);
    // A file system without direct transfers: opened buffered.
    if (fd < 0 && errno == EINVAL && direct) direct = 0, errno = EINTR;
  } while (fd < 0 && errno == EINTR);
  if (open_may_wait) lock.lock();
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) {
      SetLastError(kErrorFileExists);
    } else if (err == EISDIR) {
      SetLastError(kErrorAccessDenied);
    } else {
      SetLastError(ErrnoForPath(err, name));
    }
    return kInvalidFile;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    SetLastErrorFromErrno(err);
    return kInvalidFile;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    SetLastError(kErrorAccessDenied);
    return kInvalidFile;
  }
  if (regular_only) {
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      SetLastError(kErrorCantAccessFile);
      return kInvalidFile;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  const DWORD eff_access = AccessOf(access, delete_on_close);
  DropStaleEntry(fd);
  if (AnyOpenConflict(st.st_dev, st.st_ino, eff_access, share)) {
    ::close(fd);
    SetLastError(kErrorSharingViolation);
    return kInvalidFile;
  }
  int lock_fd = -1;
  if (S_ISREG(st.st_mode)) {
    const int carrier = ShareLockDescriptor(fd, (oflags & O_ACCMODE) != O_WRONLY);
    if (carrier < 0 && OutOfDescriptors(errno)) {
      // Not a file this process cannot read: the share cannot be held.
      const int err = errno;
      ::close(fd);
      SetLastErrorFromErrno(err);
      return kInvalidFile;
    }
    if (carrier >= 0) {
      const ShareLocks taken = TakeShareLocks(carrier, eff_access, share);
      if (taken != ShareLocks::kTaken && carrier != fd) ::close(carrier);
      if (taken == ShareLocks::kConflict) {
        ::close(fd);
        SetLastError(kErrorSharingViolation);
        return kInvalidFile;
      }
      if (taken == ShareLocks::kTaken && carrier != fd) lock_fd = carrier;
    }
  }
  // Failures past this point close the descriptor, and the locks with it.
  auto fail_open = [&](DWORD code) {
    if (lock_fd >= 0) ::close(lock_fd);
    ::close(fd);
    SetLastError(code);
    return kInvalidFile;
  };
  if (truncate && st.st_size > 0) {
    if (MappedExtent(st.st_dev, st.st_ino) > 0) return fail_open(kErrorUserMappedFile);
    if (SystemCalls().ftruncate(fd, 0) != 0) return fail_open(ErrnoToError(errno));
  }
  if (existed && truncate && (flags_and_attributes & kFileAttributeReadOnly))
    ::fchmod(fd, st.st_mode & ~(S_IWUSR | S_IWGRP | S_IWOTH));
  if (flags_and_attributes & kFileFlagSequentialScan) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (flags_and_attributes & kFileFlagRandomAccess) ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);

  OpenEntry e;
  e.dev = st.st_dev;
  e.ino = st.st_ino;
  e.access = eff_access;
  e.share = share;
  e.delete_on_close = delete_on_close;
  e.lock_fd = lock_fd;
  if (delete_on_close) e.path = GetFullPathName(name);
  OpenFiles()[fd] = std::move(e);
  SetLastError(existed && (disposition == kCreateAlways || disposition == kOpenAlways) ? kErrorAlreadyExists
                                                                                         : kErrorSuccess);
  return fd;
}

bool CloseFile(FileHandle handle) {
  const int h = Fd(handle);
  if (h < 0) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = OpenFiles().find(h);
  // A descriptor this layer did not open is still closed.
  if (it == OpenFiles().end()) return ::close(h) == 0 || Fail(kErrorInvalidHandle);
  OpenEntry e = std::move(it->second);
  OpenFiles().erase(it);
  ::close(h);
  if (e.lock_fd >= 0) ::close(e.lock_fd);
  if (e.delete_on_close && !e.path.empty()) {
    struct stat st;
    bool still_open = false;
    for (const auto& [fd, o] : OpenFiles())
      if (o.dev == e.dev && o.ino == e.ino) still_open = true;
    if (!still_open && ::lstat(e.path.c_str(), &st) == 0 && st.st_dev == e.dev && st.st_ino == e.ino)
      ::unlink(e.path.c_str());
  }
  return true;
}

FileHandle DuplicateFileHandle(FileHandle handle, bool inherit) {
  const int h = Fd(handle);
  if (h < 0) {
    SetLastError(kErrorInvalidHandle);
    return kInvalidFile;
  }
  std::lock_guard<std::mutex> lock(TableMutex());
  const int dup = ::fcntl(h, inherit ? F_DUPFD : F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    SetLastErrorFromErrno(errno);
    return kInvalidFile;
  }
  DropStaleEntry(dup);
  auto it = OpenFiles().find(h);
  if (it != OpenFiles().end()) {
    // The copy holds the same rights and sharing until it is closed too.
    OpenEntry copy = it->second;
    if (copy.lock_fd >= 0 && (copy.lock_fd = ::fcntl(copy.lock_fd, F_DUPFD_CLOEXEC, 0)) < 0) {
      const int err = errno;
      ::close(dup);
      SetLastErrorFromErrno(err);
      return kInvalidFile;
    }
    OpenFiles()[dup] = std::move(copy);
  }
  return dup;
}

namespace {
// A transfer refused by the descriptor's mode is access denied, as a handle
// opened without that right answers.
bool FailTransfer(int h) {
  int err = errno;
  if (err == EBADF && ::fcntl(h, F_GETFD) != -1) return Fail(kErrorAccessDenied);
  SetLastErrorFromErrno(err);
  return false;
}
}  // namespace

bool ReadFile(FileHandle handle, void* buffer, std::int64_t count, std::int64_t* done) {
  const int h = Fd(handle);
  if (done) *done = 0;
  if (count < 0) return Fail(kErrorInvalidParameter);
  auto* p = static_cast<char*>(buffer);
  std::int64_t total = 0;
  while (total < count) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(count - total, 1 << 30));
    ssize_t n = ::read(h, p + total, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done) *done = total;
      return FailTransfer(h);
    }
    if (n == 0) break;
    total += n;
  }
  if (done) *done = total;
  SetLastError(kErrorSuccess);
  return true;
}

bool WriteFile(FileHandle handle, const void* buffer, std::int64_t count, std::int64_t* done) {
  const int h = Fd(handle);
  if (done) *done = 0;
  if (count < 0) return Fail(kErrorInvalidParameter);
  const auto* p = static_cast<const char*>(buffer);
  std::int64_t total = 0;
  while (total < count) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(count - total, 1 << 30));
    ssize_t n = SystemCalls().write(h, p + total, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A descriptor left non-blocking (a pipe another program made, say):
      // the write waits for room, as a blocking one does.
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilWritable(h)) continue;
      if (done) *done = total;
      return FailTransfer(h);
    }
    if (n == 0) {
      if (done) *done = total;
      return Fail(kErrorDiskFull);
    }
    total += n;
  }
  if (done) *done = total;
  SetLastError(kErrorSuccess);
  return true;
}

bool SetFilePointer(FileHandle handle, std::int64_t distance, DWORD method, std::int64_t* new_position) {
  const int h = Fd(handle);
  int whence;
  switch (method) {
    case kFileBegin: whence = SEEK_SET; break;
    case kFileCurrent: whence = SEEK_CUR; break;
    case kFileEnd: whence = SEEK_END; break;
    default: return Fail(kErrorInvalidParameter);
  }
  if (whence == SEEK_SET && distance < 0) return Fail(kErrorNegativeSeek);
  off_t r = ::lseek(h, static_cast<off_t>(distance), whence);
  if (r < 0) {
    if (errno == EINVAL) return Fail(kErrorNegativeSeek);
    return FailErrno();
  }
  if (new_position) *new_position = r;
  SetLastError(kErrorSuccess);
  return true;
}

bool GetFileSize(FileHandle handle, std::int64_t* size) {
  const int h = Fd(handle);
  struct stat st;
  if (::fstat(h, &st) != 0) return FailErrno();
  if (size) *size = st.st_size;
  return true;
}

bool SetEndOfFile(FileHandle handle) {
  const int h = Fd(handle);
  off_t pos = ::lseek(h, 0, SEEK_CUR);
  if (pos < 0) return FailErrno();
  struct stat st;
  if (::fstat(h, &st) != 0) return FailErrno();
  std::lock_guard<std::mutex> lock(TableMutex());
  if (pos < st.st_size && MappedExtent(st.st_dev, st.st_ino) > static_cast<std::uint64_t>(pos))
    return Fail(kErrorUserMappedFile);
  if (SystemCalls().ftruncate(h, pos) != 0) return FailTransfer(h);
  return true;
}

bool FlushFileBuffers(FileHandle handle) {
  const int h = Fd(handle);
  if (::fsync(h) != 0) {
    if (errno == EINVAL || errno == EROFS) return true;  // nothing to flush (pipes, special files)
    return FailErrno();
  }
  return true;
}

bool IsAppendOnly(FileHandle handle) {
  const int flags = ::fcntl(Fd(handle), F_GETFL);
  return flags != -1 && (flags & O_APPEND) != 0;
}

bool GetFileInformationByHandle(FileHandle handle, FileInformation* info) {
  const int h = Fd(handle);
  struct stat st;
  if (::fstat(h, &st) != 0) return FailErrno();
  FileInformation r;
  r.attributes = AttributesOf(st);
  r.last_access_time = TimespecToFileTime(st.st_atim);
  r.last_write_time = TimespecToFileTime(st.st_mtim);
  r.creation_time = TimespecToFileTime(st.st_ctim);
#ifdef STATX_BTIME
  struct statx sx;
  if (::statx(h, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME))
    r.creation_time = UnixTimeToFileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
#endif
  r.volume_serial_number = static_cast<DWORD>(st.st_dev);
  r.size = st.st_size;
  r.number_of_links = static_cast<DWORD>(st.st_nlink);
  r.file_index = st.st_ino;
  if (info) *info = r;
  return true;
}

bool IsFileOfThisUserOrRoot(FileHandle handle, std::uint32_t* owner) {
  struct stat st;
  if (::fstat(Fd(handle), &st) != 0) return FailErrno();
  if (owner) *owner = st.st_uid;
  return st.st_uid == 0 || st.st_uid == ::geteuid();
}

bool SetFileTime(FileHandle handle, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write) {
  const int h = Fd(handle);
  (void)creation;
  struct timespec ts[2];
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;
  ts[1] = ts[0];
  if (last_access) ts[0] = FileTimeToTimespec(*last_access);
  if (last_write) ts[1] = FileTimeToTimespec(*last_write);
  if (::futimens(h, ts) != 0) return FailTransfer(h);
  return true;
}

DWORD GetFileAttributes(const std::string& name) {
  struct stat lst;
  DWORD a = 0;
  if (name.empty() || !LinkAwareAttributes(name, &lst, &a)) {
    SetLastError(name.empty() ? kErrorPathNotFound : ErrnoForPath(errno, name));
    return kInvalidFileAttributes;
  }
  return a;
}

bool SetFileAttributes(const std::string& name, DWORD attributes) {
  struct stat st;
  if (::stat(name.c_str(), &st) != 0) return Fail(ErrnoForPath(errno, name));
  if (!S_ISREG(st.st_mode)) return true;
  mode_t mode = st.st_mode & 07777;
  if (attributes & kFileAttributeReadOnly)
    mode &= ~(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  if (mode != (st.st_mode & 07777) && ::chmod(name.c_str(), mode) != 0) return FailErrno();
  return true;
}

bool DeleteFile(const std::string& name) {
  struct stat st;
  if (name.empty()) return Fail(kErrorPathNotFound);
  std::lock_guard<std::mutex> lock(TableMutex());
  if (::lstat(name.c_str(), &st) != 0) return Fail(ErrnoForPath(errno, name));
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (IsReadOnlyMode(st.st_mode)) return Fail(kErrorAccessDenied);
  if (!S_ISLNK(st.st_mode) &&
      AnyOpenConflict(st.st_dev, st.st_ino, kDeleteAccess, kFileShareRead | kFileShareWrite | kFileShareDelete))
    return Fail(kErrorSharingViolation);
  if (S_ISREG(st.st_mode))
    if (const DWORD refused = OthersDenyDelete(name)) return Fail(refused);
  if (::unlink(name.c_str()) != 0) return Fail(ErrnoForPath(errno, name));
  return true;
}

bool CreateDirectory(const std::string& name) {
  if (name.empty()) return Fail(kErrorPathNotFound);
  if (::mkdir(name.c_str(), 0777) == 0) return true;
  int err = errno;
  if (err == EEXIST) return Fail(kErrorAlreadyExists);
  if (err == ENOENT || err == ENOTDIR) return Fail(kErrorPathNotFound);
  return Fail(ErrnoToError(err));
}

bool RemoveDirectory(const std::string& name) {
  struct stat lst;
  if (name.empty()) return Fail(kErrorPathNotFound);
  if (::lstat(name.c_str(), &lst) != 0) return Fail(ErrnoForPath(errno, name));
  if (S_ISLNK(lst.st_mode)) {
    struct stat st;
    if (::stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Fail(kErrorDirectory);
    if (::unlink(name.c_str()) != 0) return FailErrno();
    return true;
  }
  if (!S_ISDIR(lst.st_mode)) return Fail(kErrorDirectory);
  if (::rmdir(name.c_str()) == 0) return true;
  int err = errno;
  if (err == ENOTEMPTY || err == EEXIST) return Fail(kErrorDirNotEmpty);
  if (err == EBUSY) return Fail(kErrorSharingViolation);
  return Fail(ErrnoToError(err));
}

// ---------------------------------------------------------------------------
// Mappings

MappingHandle CreateFileMapping(FileHandle file, DWORD protect, std::uint64_t maximum_size,
                                const std::string& name) {
  if (!name.empty()) {
    SetLastError(kErrorNotSupported);
    return nullptr;
  }
  if (file < 0) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  if (protect != kPageReadOnly && protect != kPageReadWrite && protect != kPageWriteCopy) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = OpenFiles().find(Fd(file));
  if (it == OpenFiles().end()) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  const OpenEntry entry = it->second;
  if (!(entry.access & kGenericRead) || (protect == kPageReadWrite && !(entry.access & kGenericWrite))) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  struct stat st;
  if (::fstat(Fd(file), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  std::uint64_t size = maximum_size;
  if (size == 0) {
    if (st.st_size == 0) {
      SetLastError(kErrorFileInvalid);
      return nullptr;
    }
    size = static_cast<std::uint64_t>(st.st_size);
  } else if (size > static_cast<std::uint64_t>(st.st_size) && protect != kPageReadWrite) {
    SetLastError(kErrorNotEnoughMemory);
    return nullptr;
  }
  if (protect == kPageReadWrite) {
    // Real blocks behind every page a view may write, so that a full disk
    // or a size limit fails here rather than faulting in the middle of a copy.
    if (const int err = SystemCalls().fallocate(Fd(file), 0, static_cast<off_t>(size)); err != 0) {
      SetLastErrorFromErrno(err);
      return nullptr;
    }
  }
  int dup = ::fcntl(Fd(file), F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  DropStaleEntry(dup);
  auto* m = new MappingObject;
  m->fd = dup;
  m->dev = st.st_dev;
  m->ino = st.st_ino;
  m->protect = protect;
  m->size = size;
  // The mapping keeps the file open with the opener's rights and sharing.
  OpenEntry held = entry;
  held.delete_on_close = false;
  held.path.clear();
  held.lock_fd = -1;  // readable: the duplicate shares the handle's locks
  OpenFiles()[dup] = std::move(held);
  Mappings().push_back(m);
  SetLastError(kErrorSuccess);
  return m;
}

bool CloseMapping(MappingHandle mapping) {
  if (!mapping) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> lock(TableMutex());
  auto& all = Mappings();
  auto it = std::find(all.begin(), all.end(), mapping);
  if (it == all.end()) return Fail(kErrorInvalidHandle);
  all.erase(it);
  OpenFiles().erase(mapping->fd);
  ::close(mapping->fd);
  delete mapping;
  return true;
}

std::uint64_t MappingSize(MappingHandle mapping) { return mapping ? mapping->size : 0; }

void* MapViewOfFile(MappingHandle mapping, DWORD access, std::uint64_t offset, std::size_t size) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto& all = Mappings();
  if (!mapping || std::find(all.begin(), all.end(), mapping) == all.end()) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  if (offset % kAllocationGranularity != 0) {
    SetLastError(kErrorMappedAlignment);
    return nullptr;
  }
  if (offset >= mapping->size || (size != 0 && size > mapping->size - offset)) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  if (size == 0) size = static_cast<std::size_t>(mapping->size - offset);
  int prot = PROT_READ;
  int flags = MAP_SHARED;
  if (access & kFileMapWrite) {
    if (mapping->protect != kPageReadWrite) {
      SetLastError(kErrorAccessDenied);
      return nullptr;
    }
    prot |= PROT_WRITE;
  } else if (access & kFileMapCopy) {
    prot |= PROT_WRITE;
    flags = MAP_PRIVATE;
  }
  void* p = SystemCalls().mmap(nullptr, size, prot, flags, mapping->fd, static_cast<off_t>(offset));
  if (p == MAP_FAILED) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  ViewEntry v;
  v.size = size;
  v.dev = mapping->dev;
  v.ino = mapping->ino;
  v.end = offset + size;
  Views()[p] = v;
  SetLastError(kErrorSuccess);
  return p;
}

bool UnmapViewOfFile(const void* address) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto it = Views().find(address);
  if (it == Views().end()) return Fail(kErrorInvalidAddress);
  ::munmap(const_cast<void*>(address), it->second.size);
  Views().erase(it);
  return true;
}

bool FlushViewOfFile(const void* address, std::size_t size) {
  std::lock_guard<std::mutex> lock(TableMutex());
  auto& views = Views();
  auto it = views.upper_bound(address);
  if (it == views.begin()) return Fail(kErrorInvalidAddress);
  --it;
  auto base = reinterpret_cast<std::uintptr_t>(it->first);
  auto addr = reinterpret_cast<std::uintptr_t>(address);
  if (addr >= base + it->second.size) return Fail(kErrorInvalidAddress);
  std::size_t len = size == 0 ? base + it->second.size - addr : std::min<std::size_t>(size, base + it->second.size - addr);
  const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  std::uintptr_t start = addr & ~(page - 1);
  if (::msync(reinterpret_cast<void*>(start), len + (addr - start), MS_SYNC) != 0) return FailErrno();
  return true;
}

// ---------------------------------------------------------------------------
// Directory search

namespace {

bool WildMatch(const char* n, std::size_t nl, const char* m, std::size_t ml) {
  std::size_t ni = 0, mi = 0, star_m = std::string::npos, star_n = 0;
  while (ni < nl) {
    if (mi < ml && m[mi] == '*') {
      star_m = mi++;
      star_n = ni;
    } else if (mi < ml && (m[mi] == '?' || FoldAscii(m[mi]) == FoldAscii(n[ni]))) {
      ++mi;
      ++ni;
    } else if (star_m != std::string::npos) {
      mi = star_m + 1;
      ni = ++star_n;
    } else {
      return false;
    }
  }
  while (mi < ml && m[mi] == '*') ++mi;
  return mi == ml;
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  const std::size_t ml = mask.size();
  if (ml >= 2 && mask[ml - 2] == '.' && mask[ml - 1] == '*') {
    if (WildMatch(name.data(), name.size(), mask.data(), ml)) return true;
    return WildMatch(name.data(), name.size(), mask.data(), ml - 2);
  }
  if (ml >= 2 && mask[ml - 1] == '.' && mask != "..") {
    if (name.find('.') != std::string::npos) return false;
    return WildMatch(name.data(), name.size(), mask.data(), ml - 1);
  }
  return WildMatch(name.data(), name.size(), mask.data(), ml);
}

struct FindObject {
  DIR* dir = nullptr;
  std::string folder;
  std::string mask;
};

namespace {
bool NextMatch(FindObject* f, FindData* data) {
  for (;;) {
    errno = 0;
    struct dirent* de = ::readdir(f->dir);
    if (!de) return false;
    std::string name = de->d_name;
    if (!MatchesMask(name, f->mask)) continue;
    std::string full = f->folder == "/" ? "/" + name : f->folder + "/" + name;
    struct stat lst;
    DWORD attributes = 0;
    if (!LinkAwareAttributes(full, &lst, &attributes)) continue;  // vanished meanwhile
    FindData d;
    d.attributes = attributes;
    d.creation_time = TimespecToFileTime(lst.st_ctim);
    d.last_access_time = TimespecToFileTime(lst.st_atim);
    d.last_write_time = TimespecToFileTime(lst.st_mtim);
    d.size = S_ISREG(lst.st_mode) ? lst.st_size : 0;
    d.name = std::move(name);
    if (data) *data = std::move(d);
    return true;
  }
}
}  // namespace

FindHandle FindFirstFile(const std::string& pattern, FindData* data) {
  std::string folder, mask;
  auto p = pattern.find_last_of('/');
  if (p == std::string::npos) {
    folder = ".";
    mask = pattern;
  } else {
    folder = p == 0 ? "/" : pattern.substr(0, p);
    mask = pattern.substr(p + 1);
  }
  if (mask.empty()) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  DIR* d = ::opendir(folder.c_str());
  if (!d) {
    int err = errno;
    SetLastError(err == ENOENT || err == ENOTDIR ? kErrorPathNotFound : ErrnoToError(err));
    return nullptr;
  }
  auto* f = new FindObject{d, folder, mask};
  if (!NextMatch(f, data)) {
    ::closedir(d);
    delete f;
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  SetLastError(kErrorSuccess);
  return f;
}

bool FindNextFile(FindHandle find, FindData* data) {
  if (!find) return Fail(kErrorInvalidHandle);
  if (!NextMatch(find, data)) return Fail(kErrorNoMoreFiles);
  return true;
}

bool FindClose(FindHandle find) {
  if (!find) return Fail(kErrorInvalidHandle);
  ::closedir(find->dir);
  delete find;
  return true;
}

// ---------------------------------------------------------------------------
// Folders

std::string GetTempPath() {
  std::string dir;
  ReadEnvironmentVariable("TMPDIR", &dir);
  if (dir.empty()) dir = "/tmp";
  // A relative folder is taken from the current folder, as the system does.
  if (dir[0] != '/') {
    const std::string current = GetCurrentDirectory();
    if (!current.empty()) dir = (current == "/" ? "" : current) + "/" + dir;
  }
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool GetDiskFreeSpaceEx(const std::string& path, std::uint64_t* free_to_caller, std::uint64_t* total,
                        std::uint64_t* total_free) {
  struct statvfs st;
  if (::statvfs(path.empty() ? "." : path.c_str(), &st) != 0) return Fail(ErrnoForPath(errno, path));
  const std::uint64_t unit = st.f_frsize;
  if (free_to_caller) *free_to_caller = st.f_bavail * unit;
  if (total) *total = st.f_blocks * unit;
  if (total_free) *total_free = st.f_bfree * unit;
  return true;
}

std::string GetCurrentDirectory() {
  std::vector<char> buf(512);
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) return std::string(buf.data());
    if (errno != ERANGE) {
      SetLastErrorFromErrno(errno);
      return std::string();
    }
    buf.resize(buf.size() * 2);
  }
}

std::string GetFullPathName(const std::string& name) {
  std::string path = !name.empty() && name[0] == '/' ? name : GetCurrentDirectory() + "/" + name;
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::string r;
  for (const auto& part : parts) r += "/" + part;
  if (r.empty()) r = "/";
  if (path.size() > 1 && path.back() == '/' && r != "/") r += '/';
  return r;
}

std::string SearchPath(const std::string& search_path, const std::string& file_name, PathSearch what) {
  auto is_file = [what](const std::string& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return false;
    if (what == PathSearch::Executable) return S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
    return !S_ISDIR(st.st_mode);
  };
  if (file_name.empty()) {
    SetLastError(kErrorInvalidParameter);
    return std::string();
  }
  if (file_name.find('/') != std::string::npos) {
    if (is_file(file_name)) return GetFullPathName(file_name);
    SetLastError(kErrorFileNotFound);
    return std::string();
  }
  std::string dirs = search_path;
  if (dirs.empty() && !ReadEnvironmentVariable("PATH", &dirs) && what == PathSearch::Executable)
    dirs = "/usr/local/bin:/usr/bin:/bin";
  std::size_t i = 0;
  while (i <= dirs.size()) {
    std::size_t j = dirs.find(':', i);
    if (j == std::string::npos) j = dirs.size();
    std::string candidate = j > i ? dirs.substr(i, j - i) : std::string(".");
    if (candidate.back() != '/') candidate += '/';
    candidate += file_name;
    if (is_file(candidate)) return GetFullPathName(candidate);
    i = j + 1;
  }
  SetLastError(kErrorFileNotFound);
  return std::string();
}

// 1601-01-01 to 1970-01-01 in seconds.
constexpr std::int64_t kEpochDifference = 11644473600LL;

FILETIME UnixTimeToFileTime(std::int64_t seconds, std::int64_t nanoseconds) {
  return static_cast<FILETIME>((seconds + kEpochDifference) * 10000000LL + nanoseconds / 100);
}

void FileTimeToUnixTime(FILETIME ft, std::int64_t* seconds, std::int64_t* nanoseconds) {
  const auto ticks = static_cast<std::int64_t>(ft);
  *seconds = ticks / 10000000LL - kEpochDifference;
  *nanoseconds = (ticks % 10000000LL) * 100;
}

}  // namespace vt::os
