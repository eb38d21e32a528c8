#include "platform/PrivateFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/LastError.h"

namespace vt::os {

namespace {

bool Fail(int err) {
  SetLastError(ErrnoToError(err));
  return false;
}

// Removes the content of the folder open as dir_fd, depth first, never
// following links; depth bounds hostile nesting.
bool RemoveContent(int dir_fd, int depth) {
  if (depth > 256) return Fail(ELOOP);
  DIR* dir = ::fdopendir(dir_fd);
  if (!dir) {
    const int err = errno;
    ::close(dir_fd);
    return Fail(err);
  }
  bool ok = true;
  int err = 0;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int sub = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0 || !RemoveContent(sub, depth + 1) || ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) != 0) {
        if (!err) err = errno ? errno : EIO;
        ok = false;
      }
    } else if (::unlinkat(dir_fd, name.c_str(), 0) != 0) {
      if (!err) err = errno;
      ok = false;
    }
  }
  ::closedir(dir);  // closes dir_fd
  return ok || Fail(err);
}

}  // namespace

bool RemoveTreeNoFollow(const std::string& name) {
  struct stat st;
  if (::lstat(name.c_str(), &st) != 0) return errno == ENOENT ? true : Fail(errno);
  if (!S_ISDIR(st.st_mode)) return ::unlink(name.c_str()) == 0 || Fail(errno);
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  if (!RemoveContent(fd, 0)) return false;
  return ::rmdir(name.c_str()) == 0 || Fail(errno);
}

bool CreatePrivateFolder(const std::string& name) {
  std::string path = name;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  RemoveTreeNoFollow(path);  // what cannot be removed makes mkdir fail below
  if (::mkdir(path.c_str(), 0700) != 0) return Fail(errno);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  if (ok && (st.st_mode & 0777) != 0700) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ok) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  return true;
}

}  // namespace vt::os
