#include "platform/SelfCheck.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/Modules.h"
#include "platform/ResourceFormat.h"

namespace vt::os {

namespace {

// The subsystem of a header image at p (size bytes), or 0 when it is none.
int HeaderSubsystem(const std::uint8_t* p, std::size_t size) {
  if (size < rsrc::kImageHeaderSize || p[0] != 'M' || p[1] != 'Z') return 0;
  const std::uint64_t nt = rsrc::GetLE(p + 0x3C, 4);
  if (nt + 24 + 70 > rsrc::kImageHeaderSize) return 0;
  if (p[nt] != 'P' || p[nt + 1] != 'E' || p[nt + 2] != 0 || p[nt + 3] != 0) return 0;
  const std::uint64_t magic = rsrc::GetLE(p + nt + 24, 2);
  if (magic != 0x10B && magic != 0x20B) return 0;
  return static_cast<int>(rsrc::GetLE(p + nt + 24 + 68, 2));
}

// What a damaged file still tells: the header image is the last data block
// before the directory, so it lies close to the file's end.
int SearchSubsystem(const std::uint8_t* base, std::size_t size) {
  constexpr std::size_t kWindow = 64 << 10;
  if (size < rsrc::kImageHeaderSize) return 0;
  std::size_t at = (size - rsrc::kImageHeaderSize) & ~(rsrc::kAlignment - 1);
  const std::size_t low = size > kWindow ? size - kWindow : 0;
  for (;; at -= rsrc::kAlignment) {
    if (const int s = HeaderSubsystem(base + at, size - at)) return s;
    if (at < low + rsrc::kAlignment) return 0;
  }
}

void Check(const std::string& path, ProgramFileCheck& check) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    check.error = ErrnoToError(errno);
    check.problem = errno == ENOMEM ? ProgramFileProblem::kNoMemory : ProgramFileProblem::kUnreadable;
    return;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
    ::close(fd);
    check.problem = ProgramFileProblem::kDamaged;
    return;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int err = errno;
  if (p == MAP_FAILED) {
    check.error = ErrnoToError(err);
    check.problem = err == ENOMEM ? ProgramFileProblem::kNoMemory : ProgramFileProblem::kUnreadable;
    // The file's end, read without mapping it, still tells the build.
    static std::uint8_t tail[16 << 10];
    // From a 16-byte boundary of the file, as the blocks are aligned.
    const std::size_t from = size < sizeof tail - 16 ? 0 : (size - (sizeof tail - 16)) & ~(rsrc::kAlignment - 1);
    const std::size_t n = size - from;
    if (::pread(fd, tail, n, static_cast<off_t>(size - n)) == static_cast<ssize_t>(n))
      check.subsystem = SearchSubsystem(tail, n);
    ::close(fd);
    return;
  }
  ::close(fd);
  const auto* base = static_cast<const std::uint8_t*>(p);
  std::vector<rsrc::Entry> entries;
  std::uint64_t start = 0;
  check.problem = ProgramFileProblem::kDamaged;
  if (rsrc::ParseDirectory(base, size, entries, start)) {
    for (const auto& e : entries)
      if (e.type == rsrc::IdKey(rsrc::kTypeImageHeader) && e.name == rsrc::IdKey(rsrc::kImageHeaderId) &&
          e.offset + e.size <= size) {
        check.subsystem = HeaderSubsystem(base + e.offset, e.size);
        if (check.subsystem != 0) check.problem = ProgramFileProblem::kNone;
      }
  }
  if (check.problem != ProgramFileProblem::kNone) check.subsystem = SearchSubsystem(base, size);
  ::munmap(p, size);
}

}  // namespace

ProgramFileCheck CheckProgramFile() {
  ProgramFileCheck check;
  check.path = GetProgramFileName();
  if (check.path.empty()) {
    check.problem = ProgramFileProblem::kNoPath;
    // The name it was started by still tells which build it is.
    if (const auto* name = reinterpret_cast<const char*>(::getauxval(AT_EXECFN))) {
      char resolved[PATH_MAX];
      if (::realpath(name, resolved)) {
        ProgramFileCheck by_name;
        Check(resolved, by_name);
        check.subsystem = by_name.subsystem;
      }
    }
    return check;
  }
  Check(check.path, check);
  return check;
}

std::uint64_t RaiseOpenFileLimit(std::uint64_t wanted) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return wanted;
  struct rlimit raised = limit;
  raised.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted ? wanted : limit.rlim_max;
  if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0) return raised.rlim_cur;
  return limit.rlim_cur;
}

}  // namespace vt::os
