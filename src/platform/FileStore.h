// Small stores kept whole in one file (the registry's hives, the firewall's
// list): a folder checked before use, a bounded read that never follows a
// link nor waits on a FIFO, and replacement through a temporary file and a
// rename, so that readers see the old file or the new one, never a part.
// Readers therefore take no lock; writers serialise on a lock file beside
// the store and give up after a bounded wait.
//
// Calls answer a Windows error code (0 on success) and set no last error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/LastError.h"

namespace vt::os {

// Who keeps a store's folder: the user, or (the machine's registry) root,
// read by every user and written by its owner only.
enum class StoreOwner { kUser, kMachine };

// Checks a store's folder before it is used. Every folder above it must
// belong to root or to this user and be writable by nobody else (a sticky
// folder excepted), and no symbolic link on the way may belong to another
// user; the folder itself must belong to this user (a machine store, to
// read: to root or to this user) and be writable by nobody else.
// A folder that breaks these rules is refused with kErrorAccessDenied and a
// message on standard error, once per folder, that names it and says why.
// To read (create false): kErrorPathNotFound when the folder does not exist.
// To write (create true): missing folders are made (0700, a machine store's
// 0755), and a folder this user does not own answers kErrorAccessDenied (no
// message for a machine store owned by root: the ordinary case of a user
// without the right).
DWORD OpenStoreFolder(const std::string& dir, StoreOwner owner, bool create);

// Holds an exclusive advisory lock on the file at path (created when
// missing), waiting a bounded time for another holder to let go;
// kErrorLockViolation when it did not. error() is 0 when the lock is held.
class StoreLock {
 public:
  StoreLock(const std::string& path, bool exclusive = true);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  DWORD error() const { return error_; }

 private:
  int fd_ = -1;
  DWORD error_ = kErrorSuccess;
};

// Reads the whole file. kErrorFileNotFound when it does not exist; 1921 for
// a symbolic link, 1920 for anything else but a regular file; kErrorBadDb
// when it holds more than max_size bytes.
DWORD ReadStoreFile(const std::string& path, std::size_t max_size, std::string* text);

// Writes text to a temporary file beside path (with the given mode), flushes
// it to the disk and renames it over path. On any failure path is left as it
// was and the temporary file is removed. The caller holds the store's lock.
// The file is written unnamed (O_TMPFILE) and named only once complete, so a
// writer killed while writing leaves nothing; where the file system has no
// unnamed files it is written under its name. Temporary files left by
// writers that no longer run are removed first.
DWORD ReplaceStoreFile(const std::string& path, std::string_view text, mode_t mode = 0600);

namespace testing {
// How long a writer waits for the store's lock (5000 ms unless set).
void SetStoreLockTimeout(unsigned milliseconds);
}  // namespace testing

}  // namespace vt::os
