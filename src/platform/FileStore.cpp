#include "platform/FileStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemCalls.h"

namespace vt::os {

namespace {

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

}  // namespace

StoreLock::StoreLock(const std::string& path, bool exclusive) {
  fd_ = OpenRegular(path, O_RDWR | O_CREAT, &error_);
  if (fd_ < 0) return;
  while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno == EINTR) continue;
    error_ = ErrnoToError(errno);
    return;
  }
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) ::close(fd_);
}

DWORD ReadStoreFile(const std::string& path, std::size_t max_size, std::string* text) {
  text->clear();
  DWORD error = kErrorSuccess;
  const int fd = OpenRegular(path, O_RDONLY, &error);
  if (fd < 0) return error;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = ErrnoToError(errno);
      break;
    }
    if (n == 0) break;
    if (text->size() + static_cast<std::size_t>(n) > max_size) {
      error = kErrorBadDb;
      break;
    }
    text->append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (error) text->clear();
  return error;
}

DWORD ReplaceStoreFile(const std::string& path, std::string_view text) {
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  DWORD error = kErrorSuccess;
  // A file of that name is left from a process that died while writing.
  ::unlink(temp.c_str());
  const int fd = OpenRegular(temp, O_WRONLY | O_CREAT | O_EXCL, &error);
  if (fd < 0) return error;
  error = WriteAll(fd, text);
  if (!error && ::fsync(fd) != 0) error = ErrnoToError(errno);
  if (::close(fd) != 0 && !error) error = ErrnoToError(errno);
  if (!error && SystemCalls().rename(temp.c_str(), path.c_str()) != 0) error = ErrnoToError(errno);
  if (error) ::unlink(temp.c_str());
  return error;
}

}  // namespace vt::os
