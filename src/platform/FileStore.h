// Small stores kept whole in one file (the registry's hives, the firewall's
// list): a lock file beside it, a bounded read that never follows a link nor
// waits on a FIFO, and replacement through a temporary file and a rename, so
// that readers see the old file or the new one, never a part.
//
// Calls answer a Windows error code (0 on success) and set no last error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/LastError.h"

namespace vt::os {

// Holds an advisory lock on the file at path (created when missing): shared
// or exclusive. error() is 0 when the lock is held.
class StoreLock {
 public:
  StoreLock(const std::string& path, bool exclusive);
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

// Writes text to a temporary file beside path, flushes it to the disk and
// renames it over path. On any failure path is left as it was and the
// temporary file is removed. The caller holds the store's exclusive lock.
DWORD ReplaceStoreFile(const std::string& path, std::string_view text);

}  // namespace vt::os
