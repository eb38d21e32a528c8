#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "platform/TestHooks.h"

namespace vt::os {

namespace {

constexpr SystemCallTable kSystemCalls = {
    [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    [](int fd, const void* buffer, std::size_t count) { return ::write(fd, buffer, count); },
    [](int fd, off_t length) { return ::ftruncate(fd, length); },
    [](int fd, off_t offset, off_t length) { return ::posix_fallocate(fd, offset, length); },
    [](void* address, std::size_t length, int protection, int flags, int fd, off_t offset) {
      return ::mmap(address, length, protection, flags, fd, offset);
    },
    [](const char* from, const char* to) { return std::rename(from, to); },
};

SystemCallTable g_table = kSystemCalls;

}  // namespace

const SystemCallTable& SystemCalls() { return g_table; }

SystemCallTable& PlatformTestHelper::SystemCalls() { return g_table; }
void PlatformTestHelper::ResetSystemCalls() { g_table = kSystemCalls; }

}  // namespace vt::os
