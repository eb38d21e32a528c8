#include "platform/VirtualMemory.h"

#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "platform/ForkLocks.h"

namespace vt::os {

std::mutex& detail::MemoryRegionsLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

// The protections of a region's pages as runs: the first page of each run
// and the protection of its pages (0 while only reserved). The first run
// starts at page 0; a run lasts until the next one starts. Two neighbouring
// runs may have the same protection.
using Runs = std::map<std::size_t, std::uint16_t>;

// One reserved region.
struct Region {
  std::size_t size;
  DWORD allocation_protect;
  Runs runs;
};

std::size_t PageCount(const Region& r) { return r.size / kPageSize; }

std::uint16_t ProtectionAt(const Region& r, std::size_t page) { return std::prev(r.runs.upper_bound(page))->second; }

// The end of the pages from `page` on that share its protection.
std::size_t RunEnd(const Region& r, std::size_t page) {
  auto it = r.runs.upper_bound(page);
  const std::uint16_t p = std::prev(it)->second;
  while (it != r.runs.end() && it->second == p) ++it;
  return it == r.runs.end() ? PageCount(r) : it->first;
}

bool AllCommitted(const Region& r, std::size_t first, std::size_t last) {
  for (auto it = std::prev(r.runs.upper_bound(first)); it != r.runs.end() && it->first < last; ++it)
    if (it->second == 0) return false;
  return true;
}

// Lets a run start at `page` without changing any protection. May throw
// std::bad_alloc; then nothing changed.
void SplitAt(Region& r, std::size_t page) {
  if (page >= PageCount(r)) return;
  auto it = std::prev(r.runs.upper_bound(page));
  if (it->first != page) r.runs.emplace_hint(std::next(it), page, it->second);
}

// Gives pages [first, last) the protection p, runs having been split at both
// ends (SplitAt); allocates nothing.
void Assign(Region& r, std::size_t first, std::size_t last, std::uint16_t p) {
  auto it = r.runs.find(first);
  it->second = p;
  r.runs.erase(std::next(it), r.runs.lower_bound(last));
  if (it != r.runs.begin() && std::prev(it)->second == p) it = std::prev(r.runs.erase(it));
  if (auto next = std::next(it); next != r.runs.end() && next->second == p) r.runs.erase(next);
}

// Splits the runs at both ends of [first, last); false when memory ran out.
bool PrepareRange(Region& r, std::size_t first, std::size_t last) {
  try {
    SplitAt(r, first);
    SplitAt(r, last);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// Pages of [first, last) that are committed.
std::size_t CommittedPages(const Region& r, std::size_t first, std::size_t last) {
  std::size_t n = 0;
  for (auto it = std::prev(r.runs.upper_bound(first)); it != r.runs.end() && it->first < last; ++it) {
    if (it->second == 0) continue;
    const auto next = std::next(it);
    const std::size_t end = std::min(last, next == r.runs.end() ? PageCount(r) : next->first);
    n += end - std::max(first, it->first);
  }
  return n;
}

// Bytes committed through this layer, under the regions lock.
std::size_t g_committed = 0;

// A number of bytes in a control file; "max", a missing or unreadable file:
// no bound.
std::uint64_t ReadBound(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return UINT64_MAX;
  unsigned long long v = 0;
  const bool read = std::fscanf(f, "%llu", &v) == 1;
  std::fclose(f);
  return read ? v : UINT64_MAX;
}

std::uint64_t AddSaturated(std::uint64_t a, std::uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The process's memory cgroup and those above it, up to the mount, each
// bounding memory plus swap. V2: memory.max + memory.swap.max; v1:
// memory.memsw.limit_in_bytes, else memory.limit_in_bytes + swap.
std::uint64_t CgroupBound(std::uint64_t swap) {
  FILE* f = std::fopen("/proc/self/cgroup", "re");
  if (f == nullptr) return UINT64_MAX;
  std::string v1, v2;
  bool has_v2 = false;
  char line[1024];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    std::string l(line);
    if (!l.empty() && l.back() == '\n') l.pop_back();
    const std::size_t a = l.find(':'), b = a == std::string::npos ? a : l.find(':', a + 1);
    if (b == std::string::npos) continue;
    const std::string controllers = "," + l.substr(a + 1, b - a - 1) + ",";
    if (controllers == ",,") {
      v2 = l.substr(b + 1);
      has_v2 = true;
    } else if (controllers.find(",memory,") != std::string::npos) {
      v1 = l.substr(b + 1);
    }
  }
  std::fclose(f);
  std::uint64_t bound = UINT64_MAX;
  auto walk = [&](const std::string& mount, std::string rel, auto&& of_dir) {
    // A path from another namespace is not under the mount: its root is.
    if (::access((mount + rel).c_str(), F_OK) != 0) rel.clear();
    for (;;) {
      bound = std::min(bound, of_dir(mount + rel));
      const std::size_t slash = rel.rfind('/');
      if (rel.empty() || slash == std::string::npos) break;
      rel.erase(slash);
    }
  };
  if (has_v2) {
    walk("/sys/fs/cgroup", v2 == "/" ? std::string() : v2, [&](const std::string& dir) {
      const std::uint64_t memory = ReadBound(dir + "/memory.max");
      return memory == UINT64_MAX ? UINT64_MAX
                                  : AddSaturated(memory, std::min(ReadBound(dir + "/memory.swap.max"), swap));
    });
  }
  if (!v1.empty()) {
    walk("/sys/fs/cgroup/memory", v1 == "/" ? std::string() : v1, [&](const std::string& dir) {
      const std::uint64_t both = ReadBound(dir + "/memory.memsw.limit_in_bytes");
      const std::uint64_t memory = ReadBound(dir + "/memory.limit_in_bytes");
      return std::min(both, memory == UINT64_MAX ? UINT64_MAX : AddSaturated(memory, swap));
    });
  }
  return bound;
}

std::mutex& RegionsLock() { return detail::MemoryRegionsLock(); }

std::map<std::uintptr_t, Region>& Regions() {
  static auto* regions = new std::map<std::uintptr_t, Region>();  // outlives every static destructor
  return *regions;
}

bool ProtectToPosix(DWORD protect, int* prot) {
  switch (protect & ~DWORD{kPageGuard}) {
    case kPageNoAccess: *prot = PROT_NONE; break;
    case kPageReadOnly: *prot = PROT_READ; break;
    case kPageReadWrite:
    case kPageWriteCopy: *prot = PROT_READ | PROT_WRITE; break;
    case kPageExecute: *prot = PROT_EXEC; break;
    case kPageExecuteRead: *prot = PROT_READ | PROT_EXEC; break;
    case kPageExecuteReadWrite: *prot = PROT_READ | PROT_WRITE | PROT_EXEC; break;
    default: return false;
  }
  if (protect & kPageGuard) {
    if ((protect & kPageNoAccess) != 0) return false;
    *prot = PROT_NONE;  // a guard page faults on first touch
  }
  return true;
}

constexpr std::uintptr_t RoundDown(std::uintptr_t v, std::size_t a) { return v & ~(std::uintptr_t{a} - 1); }
constexpr std::uintptr_t RoundUp(std::uintptr_t v, std::size_t a) { return RoundDown(v + a - 1, a); }

bool Fail(DWORD code) {
  SetLastError(code);
  return false;
}

// Whether Bytes more can be committed (under the regions lock): what is
// committed stays within what memory and swap can back.
bool MayCommit(std::size_t bytes) {
  if (bytes <= CommitLimit() && g_committed <= CommitLimit() - bytes) return true;
  return Fail(kErrorNotEnoughMemory);
}

// The region holding [start, end), or nullptr.
std::pair<const std::uintptr_t, Region>* FindRegion(std::uintptr_t start, std::uintptr_t end) {
  auto& regions = Regions();
  auto it = regions.upper_bound(start);
  if (it == regions.begin()) return nullptr;
  --it;
  if (end > it->first + it->second.size || start < it->first) return nullptr;
  return &*it;
}

// Maps a fresh anonymous block of `size` bytes aligned to the granularity,
// at `fixed` when given.
void* MapAligned(std::uintptr_t fixed, std::size_t size, int prot) {
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  if (fixed != 0) {
    void* p = mmap(reinterpret_cast<void*>(fixed), size, prot, flags | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    if (reinterpret_cast<std::uintptr_t>(p) != fixed) {  // kernels that ignore the flag
      munmap(p, size);
      errno = EEXIST;
      return nullptr;
    }
    return p;
  }
  const std::size_t span = size + kAllocationGranularity - kPageSize;
  void* p = mmap(nullptr, span, prot, flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  const auto raw = reinterpret_cast<std::uintptr_t>(p);
  const auto base = RoundUp(raw, kAllocationGranularity);
  if (base > raw) munmap(p, base - raw);
  if (raw + span > base + size) munmap(reinterpret_cast<void*>(base + size), raw + span - (base + size));
  return reinterpret_cast<void*>(base);
}

// Replaces pages with fresh, inaccessible ones (contents discarded).
bool DiscardPages(std::uintptr_t start, std::size_t size) {
  return mmap(reinterpret_cast<void*>(start), size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED,
              -1, 0) != MAP_FAILED;
}

}  // namespace

std::size_t CommitLimit() {
  static const std::size_t limit = [] {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return std::size_t{UINTPTR_MAX >> 1};
    const std::uint64_t unit = info.mem_unit != 0 ? info.mem_unit : 1;
    const std::uint64_t swap = std::uint64_t{info.totalswap} * unit;
    const std::uint64_t bound =
        std::min(AddSaturated(std::uint64_t{info.totalram} * unit, swap), CgroupBound(swap));
    return static_cast<std::size_t>(std::min<std::uint64_t>(bound, UINTPTR_MAX >> 1));
  }();
  return limit;
}

std::size_t CommittedBytes() {
  std::lock_guard<std::mutex> lock(RegionsLock());
  return g_committed;
}

void* VirtualAlloc(void* address, std::size_t size, DWORD allocation_type, DWORD protect) {
  int prot = 0;
  const DWORD kinds = allocation_type & (kMemCommit | kMemReserve);
  if (size == 0 || kinds == 0 || (allocation_type & ~(kMemCommit | kMemReserve | kMemTopDown)) != 0 ||
      !ProtectToPosix(protect, &prot)) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  const auto addr = reinterpret_cast<std::uintptr_t>(address);
  if (size > UINTPTR_MAX / 2 || addr > UINTPTR_MAX - size - kAllocationGranularity) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(RegionsLock());

  if (address == nullptr || (allocation_type & kMemReserve) != 0) {
    // A new region.
    std::uintptr_t fixed = 0;
    std::size_t length = RoundUp(size, kPageSize);
    if (address != nullptr) {
      fixed = RoundDown(addr, kAllocationGranularity);
      length = RoundUp(addr + size, kPageSize) - fixed;
    }
    const bool commit = (allocation_type & kMemCommit) != 0;
    if (commit && !MayCommit(length)) return nullptr;
    void* p = MapAligned(fixed, length, commit ? prot : PROT_NONE);
    if (p == nullptr) {
      Fail(errno == EEXIST ? kErrorInvalidAddress : kErrorNotEnoughMemory);
      return nullptr;
    }
    try {
      Region r{length, protect, Runs{{0, commit ? static_cast<std::uint16_t>(protect) : std::uint16_t{0}}}};
      Regions().emplace(reinterpret_cast<std::uintptr_t>(p), std::move(r));
    } catch (const std::bad_alloc&) {
      munmap(p, length);
      Fail(kErrorNotEnoughMemory);
      return nullptr;
    }
    if (commit) g_committed += length;
    return p;
  }

  // Commit inside an existing region.
  const std::uintptr_t start = RoundDown(addr, kPageSize);
  const std::uintptr_t end = RoundUp(addr + size, kPageSize);
  auto* region = FindRegion(start, end);
  if (region == nullptr) {
    Fail(kErrorInvalidAddress);
    return nullptr;
  }
  const std::size_t first = (start - region->first) / kPageSize;
  const std::size_t last = (end - region->first) / kPageSize;
  const std::size_t fresh = (last - first - CommittedPages(region->second, first, last)) * kPageSize;
  if (!MayCommit(fresh)) return nullptr;
  if (!PrepareRange(region->second, first, last) ||
      mprotect(reinterpret_cast<void*>(start), end - start, prot) != 0) {
    Fail(kErrorNotEnoughMemory);
    return nullptr;
  }
  Assign(region->second, first, last, static_cast<std::uint16_t>(protect));
  g_committed += fresh;
  return reinterpret_cast<void*>(start);
}

bool VirtualFree(void* address, std::size_t size, DWORD free_type) {
  const auto addr = reinterpret_cast<std::uintptr_t>(address);
  if (address == nullptr || (free_type != kMemRelease && free_type != kMemDecommit)) {
    return Fail(kErrorInvalidParameter);
  }
  std::lock_guard<std::mutex> lock(RegionsLock());
  auto& regions = Regions();
  if (free_type == kMemRelease) {
    auto it = regions.find(addr);
    if (size != 0 || it == regions.end()) return Fail(it == regions.end() ? kErrorInvalidAddress : kErrorInvalidParameter);
    g_committed -= CommittedPages(it->second, 0, PageCount(it->second)) * kPageSize;
    munmap(address, it->second.size);
    regions.erase(it);
    return true;
  }
  std::uintptr_t start = RoundDown(addr, kPageSize);
  std::uintptr_t end = 0;
  if (size == 0) {
    auto it = regions.find(addr);
    if (it == regions.end()) return Fail(kErrorInvalidAddress);
    end = addr + it->second.size;
  } else {
    if (size > UINTPTR_MAX / 2 || addr > UINTPTR_MAX - size - kPageSize) return Fail(kErrorInvalidParameter);
    end = RoundUp(addr + size, kPageSize);
  }
  auto* region = FindRegion(start, end);
  if (region == nullptr) return Fail(kErrorInvalidAddress);
  const std::size_t first = (start - region->first) / kPageSize;
  const std::size_t last = (end - region->first) / kPageSize;
  const std::size_t dropped = CommittedPages(region->second, first, last) * kPageSize;
  if (!PrepareRange(region->second, first, last) || !DiscardPages(start, end - start))
    return Fail(kErrorNotEnoughMemory);
  Assign(region->second, first, last, 0);
  g_committed -= dropped;
  return true;
}

bool VirtualZeroPages(void* address, std::size_t size) {
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  if (address == nullptr || size == 0 || size > UINTPTR_MAX / 2 || start % kPageSize != 0 ||
      size % kPageSize != 0 || start > UINTPTR_MAX - size) {
    return Fail(kErrorInvalidParameter);
  }
  std::lock_guard<std::mutex> lock(RegionsLock());
  auto* region = FindRegion(start, start + size);
  if (region == nullptr) return Fail(kErrorInvalidAddress);
  const std::size_t first = (start - region->first) / kPageSize;
  if (!AllCommitted(region->second, first, first + size / kPageSize)) return Fail(kErrorInvalidAddress);
  // Private anonymous pages read as zeros once dropped.
  if (madvise(address, size, MADV_DONTNEED) != 0) return Fail(kErrorInvalidAddress);
  return true;
}

namespace {

bool Readable(std::uint16_t protect) {
  if ((protect & kPageGuard) != 0) return false;
  switch (protect) {
    case kPageReadOnly:
    case kPageReadWrite:
    case kPageWriteCopy:
    case kPageExecuteRead:
    case kPageExecuteReadWrite: return true;
    default: return false;
  }
}

bool AllReadable(const Region& r, std::size_t first, std::size_t last) {
  for (auto it = std::prev(r.runs.upper_bound(first)); it != r.runs.end() && it->first < last; ++it)
    if (!Readable(it->second)) return false;
  return true;
}

// Copies Size bytes to fresh (zero) pages at To, leaving alone the pages
// whose bytes are all zeros, and gives back From's pages as they are done.
void CopyWrittenPages(char* to, char* from, std::size_t size) {
  static const char kZeros[kPageSize] = {};
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  for (std::size_t off = 0; off < size; off += kPiece) {
    const std::size_t piece = std::min(kPiece, size - off);
    for (std::size_t at = off; at < off + piece; at += kPageSize) {
      const std::size_t n = std::min(kPageSize, size - at);
      if (std::memcmp(from + at, kZeros, n) != 0) std::memcpy(to + at, from + at, n);
    }
    madvise(from + off, RoundUp(piece, kPageSize), MADV_DONTNEED);
  }
}

}  // namespace

void* VirtualMove(void* base, std::size_t keep, std::size_t commit, std::size_t reserve) {
  const auto from = reinterpret_cast<std::uintptr_t>(base);
  if (base == nullptr || keep > commit || commit > reserve || reserve == 0 || reserve > UINTPTR_MAX / 2) {
    Fail(kErrorInvalidParameter);
    return nullptr;
  }
  const std::size_t committed = RoundUp(commit, kPageSize);
  const std::size_t length = RoundUp(reserve, kPageSize);
  std::size_t old_length = 0;
  void* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(RegionsLock());
    auto& regions = Regions();
    auto it = regions.find(from);
    if (it == regions.end()) {
      Fail(kErrorInvalidAddress);
      return nullptr;
    }
    Region& old = it->second;
    const std::size_t keep_pages = RoundUp(keep, kPageSize) / kPageSize;
    if (keep_pages > PageCount(old) || (keep_pages > 0 && !AllReadable(old, 0, keep_pages))) {
      Fail(kErrorInvalidAddress);
      return nullptr;
    }
    // The old region's pages give way to the new ones.
    const std::size_t held = CommittedPages(old, 0, PageCount(old)) * kPageSize;
    if (committed > held && !MayCommit(committed - held)) return nullptr;
    p = MapAligned(0, length, PROT_NONE);
    if (p == nullptr || (committed > 0 && mprotect(p, committed, PROT_READ | PROT_WRITE) != 0)) {
      if (p != nullptr) munmap(p, length);
      Fail(kErrorNotEnoughMemory);
      return nullptr;
    }
    try {
      Runs runs{{0, committed > 0 ? std::uint16_t{kPageReadWrite} : std::uint16_t{0}}};
      if (committed > 0 && committed < length) runs.emplace(committed / kPageSize, 0);
      regions.emplace(reinterpret_cast<std::uintptr_t>(p), Region{length, old.allocation_protect, std::move(runs)});
    } catch (const std::bad_alloc&) {
      munmap(p, length);
      Fail(kErrorNotEnoughMemory);
      return nullptr;
    }
    g_committed = g_committed - held + committed;
    // Until it is unmapped below, the old region counts as reserved only;
    // its pages stay mapped for the copy.
    old.runs.erase(std::next(old.runs.begin()), old.runs.end());
    old.runs.begin()->second = 0;
    old_length = old.size;
  }
  CopyWrittenPages(static_cast<char*>(p), static_cast<char*>(base), keep);
  std::lock_guard<std::mutex> lock(RegionsLock());
  munmap(base, old_length);
  Regions().erase(from);
  return p;
}

bool ChargeCommit(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(RegionsLock());
  if (!MayCommit(bytes)) return false;
  g_committed += bytes;
  return true;
}

void UnchargeCommit(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(RegionsLock());
  g_committed -= std::min(bytes, g_committed);
}

namespace {
void QueryForeign(std::uintptr_t page, MemoryBasicInformation* info);
bool MappedThroughout(std::uintptr_t start, std::uintptr_t end);

// Any page of [start, end) in a region this layer reserved.
bool OverlapsRegion(std::uintptr_t start, std::uintptr_t end) {
  auto& regions = Regions();
  auto it = regions.lower_bound(end);
  return it != regions.begin() && std::prev(it)->first + std::prev(it)->second.size > start;
}

// Memory mapped by others (the program's and libraries' code among it): the
// old protection is the first page's in the process's map.
bool ProtectForeign(std::uintptr_t start, std::uintptr_t end, int prot, DWORD* old_protect) {
  MemoryBasicInformation info{};
  QueryForeign(start, &info);
  // mprotect would change the pages before a hole and then fail.
  if (info.State != kMemCommit || !MappedThroughout(start, end)) return Fail(kErrorInvalidAddress);
  if (mprotect(reinterpret_cast<void*>(start), end - start, prot) != 0)
    return Fail(errno == EACCES ? kErrorAccessDenied : kErrorInvalidAddress);
  if (old_protect != nullptr) *old_protect = info.Protect;
  return true;
}
}  // namespace

bool VirtualProtect(void* address, std::size_t size, DWORD new_protect, DWORD* old_protect) {
  int prot = 0;
  const auto addr = reinterpret_cast<std::uintptr_t>(address);
  if (size == 0 || size > UINTPTR_MAX / 2 || !ProtectToPosix(new_protect, &prot) ||
      addr > UINTPTR_MAX - size - kPageSize) {
    return Fail(kErrorInvalidParameter);
  }
  std::lock_guard<std::mutex> lock(RegionsLock());
  const std::uintptr_t start = RoundDown(addr, kPageSize);
  const std::uintptr_t end = RoundUp(addr + size, kPageSize);
  auto* region = FindRegion(start, end);
  if (region == nullptr) {
    if (OverlapsRegion(start, end)) return Fail(kErrorInvalidAddress);
    return ProtectForeign(start, end, prot, old_protect);
  }
  Region& r = region->second;
  const std::size_t first = (start - region->first) / kPageSize;
  const std::size_t last = (end - region->first) / kPageSize;
  if (!AllCommitted(r, first, last)) return Fail(kErrorInvalidAddress);
  const std::uint16_t previous = ProtectionAt(r, first);
  if (!PrepareRange(r, first, last)) return Fail(kErrorNotEnoughMemory);
  if (mprotect(reinterpret_cast<void*>(start), end - start, prot) != 0) return Fail(kErrorInvalidAddress);
  if (old_protect != nullptr) *old_protect = previous;
  Assign(r, first, last, static_cast<std::uint16_t>(new_protect));
  return true;
}

namespace {

DWORD PermsToProtect(const char* perms) {
  const bool r = perms[0] == 'r', w = perms[1] == 'w', x = perms[2] == 'x';
  if (x) return w ? kPageExecuteReadWrite : (r ? kPageExecuteRead : kPageExecute);
  if (w) return kPageReadWrite;
  return r ? kPageReadOnly : kPageNoAccess;
}

// Calls visit(lo, hi, perms, inode) for each area of the process's map, in
// address order, until it answers false. A line with a long path comes in
// pieces; only the first piece of a line is read, so that no part of a path
// passes for an area.
template <typename Visit>
void ForEachArea(Visit visit) {
  FILE* f = std::fopen("/proc/self/maps", "re");
  if (f == nullptr) return;
  char line[512];
  bool at_line_start = true;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    const bool starts = at_line_start;
    at_line_start = std::strchr(line, '\n') != nullptr;
    if (!starts) continue;
    unsigned long long lo = 0, hi = 0, offset = 0, inode = 0;
    char perms[5] = {}, dev[16] = {};
    if (std::sscanf(line, "%llx-%llx %4s %llx %15s %llu", &lo, &hi, perms, &offset, dev, &inode) < 3) continue;
    if (!visit(static_cast<std::uintptr_t>(lo), static_cast<std::uintptr_t>(hi), perms, inode)) break;
  }
  std::fclose(f);
}

// Memory this layer did not reserve: described from the process's map.
void QueryForeign(std::uintptr_t page, MemoryBasicInformation* info) {
  *info = MemoryBasicInformation{reinterpret_cast<void*>(page), nullptr, 0, 0, kMemFree, 0, 0};
  std::uintptr_t next_start = (UINTPTR_MAX >> 1) + 1;  // end of the user half
  bool found = false;
  ForEachArea([&](std::uintptr_t lo, std::uintptr_t hi, const char* perms, unsigned long long inode) {
    if (page >= lo && page < hi) {
      info->AllocationBase = reinterpret_cast<void*>(lo);
      info->AllocationProtect = info->Protect = PermsToProtect(perms);
      info->RegionSize = hi - page;
      info->State = kMemCommit;
      info->Type = inode != 0 ? kMemMapped : kMemPrivate;
      found = true;
      return false;
    }
    if (lo > page) {
      next_start = std::min(next_start, lo);
      return false;  // the areas come in address order
    }
    return true;
  });
  if (!found) info->RegionSize = next_start > page ? next_start - page : kPageSize;
}

// Whether the process's map covers [start, end) without a hole.
bool MappedThroughout(std::uintptr_t start, std::uintptr_t end) {
  std::uintptr_t covered = start;
  ForEachArea([&](std::uintptr_t lo, std::uintptr_t hi, const char*, unsigned long long) {
    if (lo > covered) return false;
    if (hi > covered) covered = hi;
    return covered < end;
  });
  return covered >= end;
}

}  // namespace

std::size_t VirtualQuery(const void* address, MemoryBasicInformation* info, std::size_t length) {
  if (info == nullptr || length < sizeof(MemoryBasicInformation)) {
    Fail(kErrorInsufficientBuffer);
    return 0;
  }
  const std::uintptr_t page = RoundDown(reinterpret_cast<std::uintptr_t>(address), kPageSize);
  {
    std::lock_guard<std::mutex> lock(RegionsLock());
    if (auto* region = FindRegion(page, page + 1)) {
      const Region& r = region->second;
      const std::size_t i = (page - region->first) / kPageSize;
      const std::uint16_t p = ProtectionAt(r, i);
      *info = MemoryBasicInformation{reinterpret_cast<void*>(page),
                                     reinterpret_cast<void*>(region->first),
                                     r.allocation_protect,
                                     (RunEnd(r, i) - i) * kPageSize,
                                     p != 0 ? DWORD{kMemCommit} : DWORD{kMemReserve},
                                     p,
                                     kMemPrivate};
      return sizeof(MemoryBasicInformation);
    }
  }
  QueryForeign(page, info);
  return sizeof(MemoryBasicInformation);
}

}  // namespace vt::os
