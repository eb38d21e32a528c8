#include "platform/FileStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/ForkLocks.h"
#include "platform/PrivateFolder.h"
#include "platform/SystemCalls.h"

namespace vt::os {

std::mutex& detail::StoreRefusalsLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

constexpr std::size_t kReadChunk = 65536;
std::atomic<unsigned> g_lock_timeout_ms{5000};

// Opens a regular file without following a link in the last part and
// without waiting for the other end of a FIFO. -1 with *error set otherwise.
int OpenRegular(const std::string& path, int flags, DWORD* error) {
  int fd;
  do {
    fd = SystemCalls().open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = ErrnoToError(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = kErrorCantAccessFile;
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

DWORD WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = SystemCalls().write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ErrnoToError(errno);
    if (n == 0) return kErrorWriteFault;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return kErrorSuccess;
}

// Says on standard error why a folder is not used, once per folder and
// reason.
DWORD Refuse(const std::string& dir, const std::string& why) {
  static auto* reported = new std::set<std::string>;
  const std::string text = "The settings folder \"" + dir + "\" is not used: " + why + "\n";
  {
    std::lock_guard guard(detail::StoreRefusalsLock());
    if (!reported->insert(text).second) return kErrorAccessDenied;
  }
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
  return kErrorAccessDenied;
}

bool WritableByOthers(const struct stat& st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// "/", "/a", "/a/b" for "/a/b/c": the folders above path.
std::vector<std::string> FoldersAbove(const std::string& path) {
  std::vector<std::string> out{"/"};
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    if (path[pos - 1] != '/') out.push_back(path.substr(0, pos));
  return out;
}

// The folders above dir must not let another user rename what lies below
// them: owned by root or this user, writable by nobody else unless sticky.
// Those of the path as given and of the path its existing part resolves
// to (links on the way). No link on the way may belong to another user.
DWORD CheckFoldersAbove(const std::string& dir) {
  std::string link, why;
  if (FindForeignLink(dir, &link, &why)) return Refuse(dir, "\"" + link + "\" " + why + ".");
  std::vector<std::string> folders = FoldersAbove(dir);
  std::string existing = dir;
  struct stat st {};
  while (existing.size() > 1 && ::stat(existing.c_str(), &st) != 0) existing.erase(existing.rfind('/'));
  if (existing.empty()) existing = "/";
  if (char* real = ::realpath(existing.c_str(), nullptr)) {
    const std::string resolved = real;
    std::free(real);
    for (auto& f : FoldersAbove(resolved + dir.substr(existing.size()))) folders.push_back(f);
  }
  const uid_t me = ::geteuid();
  for (const std::string& folder : folders) {
    if (::stat(folder.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      return ErrnoToError(errno);
    }
    if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
    if (st.st_uid != 0 && st.st_uid != me)
      return Refuse(dir, "\"" + folder + "\" belongs to another user (uid " + std::to_string(st.st_uid) + ").");
    if (WritableByOthers(st) && !(st.st_mode & S_ISVTX))
      return Refuse(dir, "other users can change \"" + folder + "\".");
  }
  return kErrorSuccess;
}

// Each missing folder is made in the folder walked to before it, so that
// no link another user puts on the way after the check redirects it.
DWORD MakeFolders(const std::string& dir, mode_t mode) {
  std::string unsafe, why;
  if (MakeTrustedFolders(dir, mode, &unsafe, &why)) return kErrorSuccess;
  if (!why.empty()) return Refuse(dir, "\"" + unsafe + "\" " + why + ".");
  return GetLastError();
}

}  // namespace

DWORD OpenStoreFolder(const std::string& folder, StoreOwner owner, bool create) {
  std::string dir = folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty() || dir[0] != '/') return kErrorPathNotFound;
  if (DWORD e = CheckFoldersAbove(dir)) return e;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || !create) return errno == ENOENT ? kErrorPathNotFound : ErrnoToError(errno);
    if (DWORD e = MakeFolders(dir, owner == StoreOwner::kMachine ? 0755 : 0700)) return e;
    if (::stat(dir.c_str(), &st) != 0) return ErrnoToError(errno);
  }
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  const uid_t me = ::geteuid();
  const bool root_owned_machine = owner == StoreOwner::kMachine && st.st_uid == 0;
  if (st.st_uid != me && !root_owned_machine)
    return Refuse(dir, "it belongs to another user (uid " + std::to_string(st.st_uid) + ").");
  if (WritableByOthers(st)) return Refuse(dir, "other users can change it.");
  // Only the owner writes the machine's store.
  if (create && st.st_uid != me) return kErrorAccessDenied;
  return kErrorSuccess;
}

namespace {

// Writers waiting for the lock mark themselves with a read lock on the lock
// file's first byte (a record lock, apart from the flock() that is the store
// lock itself). A writer that finds others waiting waits behind them, so a
// holder that writes in a loop cannot keep the lock from them.
bool SetWaiting(int fd, bool waiting) {
  struct flock fl {};
  fl.l_type = waiting ? F_RDLCK : F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

bool OthersWaiting(int fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

}  // namespace

StoreLock::StoreLock(const std::string& path, bool exclusive) {
  fd_ = OpenRegular(path, O_RDWR | O_CREAT, &error_);
  if (fd_ < 0) return;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lock_timeout_ms.load());
  bool waiting = false;
  for (;;) {
    if (waiting || !OthersWaiting(fd_)) {
      if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        error_ = ErrnoToError(errno);
        return;
      }
    }
    if (!waiting) waiting = SetWaiting(fd_, true);
    if (std::chrono::steady_clock::now() >= deadline) {
      error_ = kErrorLockViolation;
      return;  // closing the file drops the mark
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (waiting) SetWaiting(fd_, false);
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) ::close(fd_);
}

DWORD ReadStoreFile(const std::string& path, std::size_t max_size, std::string* text) {
  text->clear();
  DWORD error = kErrorSuccess;
  const int fd = OpenRegular(path, O_RDONLY, &error);
  if (fd < 0) return error;
  // Read straight into the text: no large buffer on the stack.
  for (;;) {
    const std::size_t have = text->size();
    text->resize(have + kReadChunk);
    const ssize_t n = ::read(fd, text->data() + have, kReadChunk);
    text->resize(have + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = ErrnoToError(errno);
      break;
    }
    if (n == 0) break;
    if (text->size() > max_size) {
      error = kErrorBadDb;
      break;
    }
  }
  ::close(fd);
  if (error) text->clear();
  return error;
}

namespace {

constexpr DWORD kNoUnnamedFiles = ~DWORD{0};

std::string TempName(const std::string& path, pid_t writer) { return path + ".tmp" + std::to_string(writer); }

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Removes the temporary files that writers of path which no longer run left
// beside it. The caller holds the store's lock, so no live writer is between
// naming such a file and renaming it; a process id still in use keeps its
// file.
void RemoveLeftTempFiles(const std::string& path) {
  const std::string prefix = path.substr(path.rfind('/') + 1) + ".tmp";  // npos + 1: the whole path
  DIR* d = ::opendir(FolderOf(path).c_str());
  if (d == nullptr) return;
  const pid_t self = ::getpid();
  while (const dirent* e = ::readdir(d)) {
    const std::string_view name = e->d_name;
    if (!name.starts_with(prefix)) continue;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > 9 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string_view::npos)
      continue;
    const auto writer = static_cast<pid_t>(std::stol(std::string(digits)));
    if (writer != self && (::kill(writer, 0) == 0 || errno != ESRCH)) continue;
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
}

// Gives fd the mode, writes text to it and flushes it to the disk.
DWORD FillFile(int fd, std::string_view text, mode_t mode) {
  if (mode != 0600 && ::fchmod(fd, mode) != 0) return ErrnoToError(errno);
  if (DWORD e = WriteAll(fd, text)) return e;
  if (::fsync(fd) != 0) return ErrnoToError(errno);
  return kErrorSuccess;
}

// Writes text to an unnamed file in path's folder and names it temp once it
// is complete: a writer that dies before leaves nothing. kNoUnnamedFiles
// where the file system has no unnamed files or they cannot be named.
DWORD WriteUnnamed(const std::string& path, const std::string& temp, std::string_view text, mode_t mode) {
  const std::string dir = FolderOf(path);
  int fd;
  do {
    fd = SystemCalls().open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? kNoUnnamedFiles : ErrnoToError(errno);
  DWORD error = FillFile(fd, text, mode);
  if (!error) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
        ::linkat(fd, "", AT_FDCWD, temp.c_str(), AT_EMPTY_PATH) != 0)
      error = kNoUnnamedFiles;
  }
  if (::close(fd) != 0 && !error) error = ErrnoToError(errno);
  return error;
}

DWORD WriteNamed(const std::string& temp, std::string_view text, mode_t mode) {
  DWORD error = kErrorSuccess;
  const int fd = OpenRegular(temp, O_WRONLY | O_CREAT | O_EXCL, &error);
  if (fd < 0) return error;
  error = FillFile(fd, text, mode);
  if (::close(fd) != 0 && !error) error = ErrnoToError(errno);
  return error;
}

}  // namespace

DWORD ReplaceStoreFile(const std::string& path, std::string_view text, mode_t mode) {
  const std::string temp = TempName(path, ::getpid());
  RemoveLeftTempFiles(path);  // this process's own among them
  DWORD error = WriteUnnamed(path, temp, text, mode);
  if (error == kNoUnnamedFiles) {
    ::unlink(temp.c_str());
    error = WriteNamed(temp, text, mode);
  }
  if (!error && SystemCalls().rename(temp.c_str(), path.c_str()) != 0) error = ErrnoToError(errno);
  if (error) ::unlink(temp.c_str());
  return error;
}

namespace testing {
void SetStoreLockTimeout(unsigned milliseconds) { g_lock_timeout_ms = milliseconds; }
}  // namespace testing

}  // namespace vt::os
