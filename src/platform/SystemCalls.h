// The system calls through which this layer creates, writes, grows, maps and
// renames files: the ones a full disk, a quota or a failing device makes
// fail. They go through one table so that tests can make any of them fail
// (TestHooks.h); nothing else changes the table.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace vt::os {

struct SystemCallTable {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* buffer, std::size_t count);
  int (*ftruncate)(int fd, off_t length);
  // Reserves real blocks for [Offset, Offset + Length), growing the file;
  // answers 0 or an error number (posix_fallocate's contract).
  int (*fallocate)(int fd, off_t offset, off_t length);
  void* (*mmap)(void* address, std::size_t length, int protection, int flags, int fd, off_t offset);
  int (*rename)(const char* from, const char* to);
};

const SystemCallTable& SystemCalls();

}  // namespace vt::os
