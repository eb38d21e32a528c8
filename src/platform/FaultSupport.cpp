#include "platform/FaultSupport.h"

#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Modules.h"

namespace vt::os {

namespace {

constexpr std::uintptr_t kStackGuardGap = 1u << 20;  // below a stack: its overflow

struct ThreadFaultState {
  void* alt_stack = nullptr;  // our mapping (guard page first), null when none
  std::size_t alt_size = 0;
  StackBounds bounds;
  bool bounds_known = false;
};
thread_local ThreadFaultState t_state;

// Releases the thread's alternate stack when the thread ends by any road.
struct AltStackOwner {
  bool armed = false;
  ~AltStackOwner() {
    if (armed) ReleaseThreadFaultStack();
  }
};
thread_local AltStackOwner t_owner;

std::size_t PageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

bool WorkOutStackBounds(StackBounds* b) {
  pthread_attr_t attr;
  if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return false;
  void* addr = nullptr;
  std::size_t size = 0, guard = 0;
  const bool ok = ::pthread_attr_getstack(&attr, &addr, &size) == 0;
  ::pthread_attr_getguardsize(&attr, &guard);
  ::pthread_attr_destroy(&attr);
  if (!ok || !addr || size == 0) return false;
  b->Low = reinterpret_cast<std::uintptr_t>(addr);
  b->High = b->Low + size;
  // A thread's guard pages lie below its stack; the main thread's stack
  // grows down to its limit, with the system's gap below that. Anything
  // within the gap below the stack counts as its overflow.
  const std::uintptr_t gap = guard > kStackGuardGap ? guard : kStackGuardGap;
  b->GuardLow = b->Low > gap ? b->Low - gap : 0;
  return true;
}

// ---- noted at installation ----

std::atomic<long> g_utc_offset{0};

constexpr std::size_t kNameCapacity = 1024;
char g_program_name[kNameCapacity];
std::atomic<std::uintptr_t> g_program_base{0};

int FirstImage(struct dl_phdr_info* info, size_t, void* data) {
  for (int i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_LOAD) {
      *static_cast<std::uintptr_t*>(data) = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
      break;
    }
  return 1;
}

struct RangeSink {
  CodeRange* ranges;
  int capacity;
  int count;
};

int ExecutableSegments(struct dl_phdr_info* info, size_t, void* data) {
  auto* sink = static_cast<RangeSink*>(data);
  for (int i = 0; i < info->dlpi_phnum && sink->count < sink->capacity; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X))
      sink->ranges[sink->count++] = {info->dlpi_addr + ph.p_vaddr, info->dlpi_addr + ph.p_vaddr + ph.p_memsz};
  }
  return sink->count >= sink->capacity;
}

// ---- the memory map, read without allocating ----

struct MapEntry {
  std::uintptr_t start, end, offset;
  bool readable, executable;
  const char* path;  // within the line; empty when none
};

std::uintptr_t ParseHex(const char*& p) {
  std::uintptr_t v = 0;
  for (;; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') v = v * 16 + static_cast<std::uintptr_t>(c - '0');
    else if (c >= 'a' && c <= 'f') v = v * 16 + static_cast<std::uintptr_t>(c - 'a' + 10);
    else break;
  }
  return v;
}

void SkipField(const char*& p) {
  while (*p && *p != ' ') ++p;
  while (*p == ' ') ++p;
}

bool ParseMapLine(const char* p, MapEntry& e) {
  e.start = ParseHex(p);
  if (*p++ != '-') return false;
  e.end = ParseHex(p);
  if (*p++ != ' ' || !p[0] || !p[1] || !p[2]) return false;
  e.readable = p[0] == 'r';
  e.executable = p[2] == 'x';
  SkipField(p);
  e.offset = ParseHex(p);
  SkipField(p);  // offset's end
  SkipField(p);  // device
  SkipField(p);  // inode
  e.path = p;
  return true;
}

// Calls visit(entry) for each line of /proc/self/maps until it answers
// false. False when the map cannot be read.
template <typename Visit>
bool ForEachMapping(Visit visit) {
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  std::size_t used = 0;
  bool skipping = false;  // inside a line longer than the buffer
  for (;;) {
    const ssize_t n = ::read(fd, buffer + used, sizeof buffer - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
    std::size_t begin = 0;
    for (std::size_t i = 0; i < used; ++i) {
      if (buffer[i] != '\n') continue;
      buffer[i] = 0;
      MapEntry e;
      if (!skipping && ParseMapLine(buffer + begin, e) && !visit(e)) {
        ::close(fd);
        return true;
      }
      skipping = false;
      begin = i + 1;
    }
    if (begin == 0 && used == sizeof buffer - 1) {
      skipping = true;  // an overlong line: drop it
      used = 0;
    } else {
      std::memmove(buffer, buffer + begin, used - begin);
      used -= begin;
    }
  }
  ::close(fd);
  return true;
}

void CopyName(char* out, std::size_t capacity, const char* name) {
  if (capacity == 0) return;
  std::size_t i = 0;
  for (; name[i] && i + 1 < capacity; ++i) out[i] = name[i];
  out[i] = 0;
}

}  // namespace

std::size_t FaultStackSize() {
  std::size_t minimum = static_cast<std::size_t>(SIGSTKSZ) * 4;
  const std::size_t wanted = std::size_t{64} << 10;
  std::size_t size = minimum > wanted ? minimum : wanted;
  const std::size_t page = PageSize();
  return (size + page - 1) / page * page;
}

bool PrepareThreadForFaults() noexcept {
  if (!t_state.bounds_known) t_state.bounds_known = WorkOutStackBounds(&t_state.bounds);
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return false;
  if (!(current.ss_flags & SS_DISABLE)) return true;  // the thread has one
  const std::size_t page = PageSize(), size = FaultStackSize();
  void* mapping = ::mmap(nullptr, size + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return false;
  ::mprotect(mapping, page, PROT_NONE);  // overflowing the handler's stack faults at once
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + page;
  stack.ss_size = size;
  if (::sigaltstack(&stack, nullptr) != 0) {
    ::munmap(mapping, size + page);
    return false;
  }
  t_state.alt_stack = mapping;
  t_state.alt_size = size + page;
  t_owner.armed = true;  // registers the release at the thread's end
  return true;
}

void ReleaseThreadFaultStack() noexcept {
  if (!t_state.alt_stack) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(t_state.alt_stack) + PageSize() &&
      !(current.ss_flags & SS_ONSTACK)) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (::sigaltstack(&off, nullptr) != 0) return;
  } else if (current.ss_flags & SS_ONSTACK) {
    return;  // still in use
  }
  ::munmap(t_state.alt_stack, t_state.alt_size);
  t_state.alt_stack = nullptr;
}

bool GetThreadStackBounds(StackBounds* bounds) noexcept {
  if (!t_state.bounds_known) {
    if (InFaultHandler()) return false;
    t_state.bounds_known = WorkOutStackBounds(&t_state.bounds);
    if (!t_state.bounds_known) return false;
  }
  *bounds = t_state.bounds;
  return true;
}

std::size_t StackSpaceLeft() noexcept {
  StackBounds bounds;
  if (!GetThreadStackBounds(&bounds)) return SIZE_MAX;
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > bounds.Low ? here - bounds.Low : 0;
}

int CollectCodeRanges(CodeRange* ranges, int capacity) noexcept {
  if (capacity <= 0) return 0;
  if (!InFaultHandler()) {
    RangeSink sink{ranges, capacity, 0};
    ::dl_iterate_phdr(&ExecutableSegments, &sink);
    return sink.count;
  }
  int count = 0;
  ForEachMapping([&](const MapEntry& e) {
    if (e.readable && e.executable) ranges[count++] = {e.start, e.end};
    return count < capacity;
  });
  return count;
}

bool IsMapped(std::uintptr_t address, std::size_t length) noexcept {
  if (length == 0) return true;
  const std::uintptr_t page = PageSize();
  const std::uintptr_t first = address & ~(page - 1);
  const std::uintptr_t end = address + length;
  if (end < address) return false;
  unsigned char residency[64];
  for (std::uintptr_t at = first; at < end;) {
    std::uintptr_t pages = (end - at + page - 1) / page;
    if (pages > sizeof residency) pages = sizeof residency;
    if (::mincore(reinterpret_cast<void*>(at), pages * page, residency) != 0) return false;
    at += pages * page;
  }
  return true;
}

void NoteLocalTimeOffset() {
  const time_t now = ::time(nullptr);
  tm local{};
  if (::localtime_r(&now, &local)) g_utc_offset.store(local.tm_gmtoff);
}

void GetLocalTimeInHandler(SystemTime* out) noexcept {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const long long seconds = static_cast<long long>(ts.tv_sec) + g_utc_offset.load();
  long long days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const long long rest = seconds - days * 86400;
  out->wDayOfWeek = static_cast<std::uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  // Civil date from days since 1970-01-01.
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long doe = days - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  out->wYear = static_cast<std::uint16_t>(year);
  out->wMonth = static_cast<std::uint16_t>(month);
  out->wDay = static_cast<std::uint16_t>(day);
  out->wHour = static_cast<std::uint16_t>(rest / 3600);
  out->wMinute = static_cast<std::uint16_t>(rest / 60 % 60);
  out->wSecond = static_cast<std::uint16_t>(rest % 60);
  out->wMilliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
}

void NoteProgramImage() {
  std::uintptr_t base = 0;
  ::dl_iterate_phdr(&FirstImage, &base);
  const std::string name = GetProgramFileName();
  CopyName(g_program_name, kNameCapacity, name.c_str());
  g_program_base.store(base);
}

bool FindModuleOfAddressInHandler(const void* address, char* name, std::size_t capacity, const void** base) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  if (!at) return false;
  // The mapping that holds the address, then the file's first mapping.
  char path[kNameCapacity];
  path[0] = 0;
  ForEachMapping([&](const MapEntry& e) {
    if (at >= e.start && at < e.end) {
      if (e.path[0] == '/') CopyName(path, sizeof path, e.path);
      return false;
    }
    return true;
  });
  if (!path[0]) return false;
  std::uintptr_t first = 0;
  ForEachMapping([&](const MapEntry& e) {
    if (e.offset == 0 && std::strcmp(e.path, path) == 0 && e.start <= at) first = e.start;
    return e.start <= at;
  });
  // A module is a mapped executable image.
  if (!first || !IsMapped(first, 4) || std::memcmp(reinterpret_cast<const void*>(first), "\177ELF", 4) != 0)
    return false;
  *base = reinterpret_cast<const void*>(first);
  if (first == g_program_base.load() && g_program_name[0])
    CopyName(name, capacity, g_program_name);
  else
    CopyName(name, capacity, path);
  return true;
}

bool AppendToFileInHandler(HANDLE file, const char* data, std::size_t size) noexcept {
  const int fd = static_cast<int>(file);
  if (file < 0 || file >= kHandleTableBase) return false;
  if (::lseek(fd, 0, SEEK_END) < 0) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

HANDLE OpenFileForAppendInHandler(const char* path) noexcept {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // Opened as it is, or made new: never created over what stands there.
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 3; ++tries) {
    fd = ::open(path, kFlags);
    if (fd < 0 && errno == ENOENT) fd = ::open(path, kFlags | O_CREAT | O_EXCL, 0666);
    if (fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (fd < 0) return kInvalidHandleValue;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
      st.st_nlink != 1) {
    ::close(fd);
    return kInvalidHandleValue;
  }
  return fd;
}

void CloseFileInHandler(HANDLE file) noexcept {
  if (file >= 0 && file < kHandleTableBase) ::close(static_cast<int>(file));
}

bool LockNativeMutexInHandler(void* lock, DWORD timeout_ms) noexcept {
  if (!lock) return false;
  auto* mutex = static_cast<pthread_mutex_t*>(lock);
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  const int r = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
  if (r == EOWNERDEAD) ::pthread_mutex_consistent(mutex);
  return r == 0 || r == EOWNERDEAD;
}

void UnlockNativeMutexInHandler(void* lock) noexcept {
  if (lock) ::pthread_mutex_unlock(static_cast<pthread_mutex_t*>(lock));
}

}  // namespace vt::os
