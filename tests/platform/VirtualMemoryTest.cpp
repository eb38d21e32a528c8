#include "platform/VirtualMemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "support/ForgedMapLine.h"
#include "support/LimitedChild.h"

namespace vt::os {
namespace {

TEST(VirtualMemory, ReserveCommitDecommitRelease) {
  constexpr std::size_t kSize = 16 * kPageSize;
  auto* base = static_cast<char*>(VirtualAlloc(nullptr, kSize, kMemReserve, kPageNoAccess));
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % kAllocationGranularity, 0u);

  MemoryBasicInformation info{};
  ASSERT_EQ(VirtualQuery(base + 100, &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.BaseAddress == base && info.AllocationBase == base);
  EXPECT_TRUE(info.State == kMemReserve && info.RegionSize == kSize) << info.State << " " << info.RegionSize;

  // Commit pages 2..3 (an unaligned range covering both).
  EXPECT_EQ(VirtualAlloc(base + 2 * kPageSize + 10, kPageSize, kMemCommit, kPageReadWrite),
            base + 2 * kPageSize);
  std::memset(base + 2 * kPageSize, 0x5A, 2 * kPageSize);
  ASSERT_EQ(VirtualQuery(base + 3 * kPageSize, &info, sizeof info), sizeof info);
  EXPECT_EQ(std::vector<std::uint64_t>({info.State, info.Protect, info.RegionSize, info.Type}),
            std::vector<std::uint64_t>({kMemCommit, kPageReadWrite, kPageSize, kMemPrivate}));

  // Protection of committed pages only.
  DWORD old = 0;
  EXPECT_TRUE(VirtualProtect(base + 2 * kPageSize, kPageSize, kPageReadOnly, &old));
  EXPECT_EQ(old, DWORD{kPageReadWrite});
  EXPECT_FALSE(VirtualProtect(base, kPageSize, kPageReadOnly, &old));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_TRUE(VirtualProtect(base + 2 * kPageSize, kPageSize, kPageReadWrite, &old));

  // Decommitted pages come back zeroed.
  EXPECT_TRUE(VirtualFree(base + 2 * kPageSize, 2 * kPageSize, kMemDecommit));
  ASSERT_EQ(VirtualQuery(base + 2 * kPageSize, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.State, DWORD{kMemReserve});
  ASSERT_NE(VirtualAlloc(base + 2 * kPageSize, 2 * kPageSize, kMemCommit, kPageReadWrite), nullptr);
  EXPECT_TRUE(base[2 * kPageSize] == 0 && base[4 * kPageSize - 1] == 0);

  // Release needs the base and size 0.
  EXPECT_FALSE(VirtualFree(base + kPageSize, 0, kMemRelease));
  EXPECT_FALSE(VirtualFree(base, kSize, kMemRelease));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidParameter});
  EXPECT_TRUE(VirtualFree(base, 0, kMemRelease));
  EXPECT_FALSE(VirtualFree(base, 0, kMemRelease));
}

TEST(VirtualMemory, CommitAloneOccupiedAddressesAndBadArguments) {
  auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 10000, kMemCommit, kPageReadWrite));
  ASSERT_NE(p, nullptr);
  for (std::size_t i = 0; i < 3 * kPageSize; i += 997) EXPECT_EQ(p[i], 0);
  p[10000 - 1] = 1;
  MemoryBasicInformation info{};
  ASSERT_EQ(VirtualQuery(p, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.RegionSize, 3 * kPageSize);
  // Reserving at an occupied address fails; once it is free, it works.
  EXPECT_EQ(VirtualAlloc(p, kPageSize, kMemReserve, kPageNoAccess), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_TRUE(VirtualFree(p, 0, kMemRelease));
  void* b = VirtualAlloc(p, kPageSize, kMemReserve | kMemCommit, kPageReadWrite);
  if (b != nullptr) {  // another thread may have taken the range meanwhile
    EXPECT_EQ(b, p);
    EXPECT_TRUE(VirtualFree(b, 0, kMemRelease));
  }

  EXPECT_EQ(VirtualAlloc(nullptr, 0, kMemCommit, kPageReadWrite), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidParameter});
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, kMemCommit, 0x3), nullptr);  // two protections at once
  EXPECT_EQ(VirtualAlloc(nullptr, 4096, 0, kPageReadWrite), nullptr);
  int local = 0;
  // Committing outside any reservation of this layer fails.
  EXPECT_EQ(VirtualAlloc(&local, 4, kMemCommit, kPageReadWrite), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_EQ(VirtualQuery(&local, &info, sizeof info - 1), 0u);
  // Foreign memory (the stack) is described as committed read-write.
  ASSERT_EQ(VirtualQuery(&local, &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.State == kMemCommit && info.Protect == kPageReadWrite);
}

// Memory mapped by others: a range that is not mapped throughout is refused
// as a whole, and the mapped part keeps its protection.
TEST(VirtualMemory, ForeignRangeWithAHoleChangesNothing) {
  void* m = ::mmap(nullptr, 3 * kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  auto* p = static_cast<char*>(m);
  DWORD old = 0;
  // The layer's first call may map memory of its own (under the address
  // sanitizer, registering its fork handlers does), which would fill the hole.
  ASSERT_TRUE(VirtualProtect(p, kPageSize, kPageReadWrite, &old));
  ASSERT_EQ(::munmap(p + kPageSize, kPageSize), 0);
  for (char* start : {p, p + kPageSize}) {
    EXPECT_FALSE(VirtualProtect(start, 2 * kPageSize, kPageNoAccess, &old));
    EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  }
  MemoryBasicInformation info{};
  for (char* page : {p, p + 2 * kPageSize}) {
    ASSERT_EQ(VirtualQuery(page, &info, sizeof info), sizeof info);
    EXPECT_EQ(info.Protect, DWORD{kPageReadWrite});
  }
  // Adjacent mappings of different protections are one range.
  void* middle = ::mmap(p + kPageSize, kPageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(middle, p + kPageSize) << "the hole was taken meanwhile";
  EXPECT_TRUE(VirtualProtect(p + 1, 3 * kPageSize - 2, kPageReadOnly, &old));
  EXPECT_EQ(old, DWORD{kPageReadWrite});
  ASSERT_EQ(VirtualQuery(p + 2 * kPageSize, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.Protect, DWORD{kPageReadOnly});
  ::munmap(p, 3 * kPageSize);
}

// A mapped file whose path holds a map line where a 512-byte piece begins
// forges no area: one below every area, and one above them all, which a
// walk reaches only after every line.
TEST(VirtualMemory, PathsInTheProcesssMapForgeNoArea) {
  for (const std::uintptr_t page : {test::ForgedMapLine::kBelowEveryArea, test::PageAboveEveryArea()}) {
    test::ForgedMapLine forged(page);
    ASSERT_TRUE(forged.Ready()) << forged.line();
    MemoryBasicInformation info{};
    ASSERT_EQ(VirtualQuery(forged.page(), &info, sizeof info), sizeof info);
    EXPECT_EQ(info.State, DWORD{kMemFree}) << forged.line();
    EXPECT_EQ(info.Protect, 0u);
    EXPECT_GE(info.RegionSize, kPageSize);
    // The file itself and the areas after its line are read as they are.
    ASSERT_EQ(VirtualQuery(forged.view(), &info, sizeof info), sizeof info);
    EXPECT_EQ(std::vector<std::uint64_t>({info.State, info.Protect, info.Type, info.RegionSize}),
              std::vector<std::uint64_t>({kMemCommit, kPageReadOnly, kMemMapped, kPageSize}));
    std::vector<char> heap(64);
    ASSERT_EQ(VirtualQuery(heap.data(), &info, sizeof info), sizeof info);
    EXPECT_EQ(info.Protect, DWORD{kPageReadWrite});
  }
}

// Commits stop exactly where memory and swap stop, for a new region and
// inside a reserved one; what is decommitted or released may be committed
// again. No page is touched.
TEST(VirtualMemory, CommitsStopAtTheCommitLimit) {
  const std::size_t start = CommittedBytes();
  ASSERT_LE(start, CommitLimit());
  const std::size_t room = (CommitLimit() - start) / kPageSize * kPageSize;
  ASSERT_GT(room, 4 * kPageSize);
  for (int twice = 0; twice < 2; ++twice) {
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, room + kPageSize, kMemCommit, kPageReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{kErrorNotEnoughMemory});
    void* whole = VirtualAlloc(nullptr, room, kMemCommit, kPageReadWrite);
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(CommittedBytes(), start + room);
    EXPECT_EQ(VirtualAlloc(nullptr, kPageSize, kMemCommit, kPageReadWrite), nullptr);
    ASSERT_TRUE(VirtualFree(whole, 0, kMemRelease));
    EXPECT_EQ(CommittedBytes(), start);

    auto* base = static_cast<char*>(VirtualAlloc(nullptr, room + 2 * kPageSize, kMemReserve, kPageNoAccess));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(VirtualAlloc(base, room - kPageSize, kMemCommit, kPageReadWrite), base);
    // Pages committed already count once.
    EXPECT_EQ(VirtualAlloc(base, room, kMemCommit, kPageReadWrite), base);
    EXPECT_EQ(VirtualAlloc(base + room, kPageSize, kMemCommit, kPageReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{kErrorNotEnoughMemory});
    ASSERT_TRUE(VirtualFree(base + kPageSize, kPageSize, kMemDecommit));
    EXPECT_EQ(CommittedBytes(), start + room - kPageSize);
    EXPECT_EQ(VirtualAlloc(base + room, kPageSize, kMemCommit, kPageReadWrite), base + room);
    EXPECT_EQ(VirtualAlloc(base + kPageSize, kPageSize, kMemCommit, kPageReadWrite), nullptr);
    ASSERT_TRUE(VirtualFree(base, 0, kMemRelease));
    EXPECT_EQ(CommittedBytes(), start);
  }
}

// Zeroed pages read as zeros, give back their memory and stay committed
// with their protection; a range not of whole committed pages of one
// region is refused and changes nothing.
TEST(VirtualMemory, ZeroedPagesReadAsZerosGiveBackMemoryAndStayCommitted) {
  constexpr std::size_t kPages = 16384;  // 64 MiB
  auto* base = static_cast<char*>(VirtualAlloc(nullptr, (kPages + 1) * kPageSize, kMemReserve, kPageNoAccess));
  ASSERT_NE(base, nullptr);
  ASSERT_EQ(VirtualAlloc(base, kPages * kPageSize, kMemCommit, kPageReadWrite), base);
  std::memset(base, 0x5A, kPages * kPageSize);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(base + 4 * kPageSize, kPageSize, kPageReadOnly, &old));
  const std::size_t committed = CommittedBytes();
  const std::size_t resident = test::ResidentBytes(::getpid());
  for (int twice = 0; twice < 2; ++twice) {
    ASSERT_TRUE(VirtualZeroPages(base + kPageSize, (kPages - 2) * kPageSize));
    if (twice == 0) {
      EXPECT_LT(test::ResidentBytes(::getpid()) + (std::size_t{32} << 20), resident);
    }
    EXPECT_EQ(CommittedBytes(), committed);
    EXPECT_TRUE(base[kPageSize - 1] == 0x5A && base[(kPages - 1) * kPageSize] == 0x5A);
    static const char kZeros[kPageSize] = {};
    bool zeros = true;
    for (std::size_t page = 1; page < kPages - 1; ++page)
      zeros = zeros && std::memcmp(base + page * kPageSize, kZeros, kPageSize) == 0;
    EXPECT_TRUE(zeros);
  }
  MemoryBasicInformation info{};
  ASSERT_EQ(VirtualQuery(base + 4 * kPageSize, &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.State == kMemCommit && info.Protect == kPageReadOnly) << info.State << " " << info.Protect;
  base[kPageSize] = 1;  // writable still

  const std::size_t last = (kPages - 1) * kPageSize;
  for (const auto& [at, size, error] : {std::tuple{base + last + 1, kPageSize, kErrorInvalidParameter},
                                        std::tuple{base + last, kPageSize + 1, kErrorInvalidParameter},
                                        std::tuple{base + last, std::size_t{0}, kErrorInvalidParameter},
                                        std::tuple{base + last, 2 * kPageSize, kErrorInvalidAddress}}) {
    SetLastError(0);
    EXPECT_FALSE(VirtualZeroPages(at, size));
    EXPECT_EQ(GetLastError(), DWORD{error});
  }
  EXPECT_EQ(base[last], 0x5A);
  alignas(kPageSize) static char foreign[kPageSize] = {1};
  EXPECT_FALSE(VirtualZeroPages(foreign, kPageSize));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_EQ(foreign[0], 1);
  EXPECT_TRUE(VirtualFree(base, 0, kMemRelease));
}

// A move carries the kept bytes into a new region, then zeros (never what
// the old block held past them); the old region is gone and the commit
// count holds the new one only, so a move that leaves no more committed
// than the limit allows is granted however much the old region held.
TEST(VirtualMemory, MoveCarriesTheKeptBytesAndCountsOneRegion) {
  const std::size_t start = CommittedBytes();
  auto* old = static_cast<char*>(VirtualAlloc(nullptr, 16 * kPageSize, kMemReserve, kPageNoAccess));
  ASSERT_NE(old, nullptr);
  ASSERT_EQ(VirtualAlloc(old, 4 * kPageSize, kMemCommit, kPageReadWrite), old);
  constexpr std::size_t kKeep = 3 * kPageSize + 100;
  for (std::size_t i = 0; i < kKeep; ++i) old[i] = static_cast<char>(i < kPageSize || i >= 2 * kPageSize ? i % 251 + 1 : 0);
  old[kKeep] = 'Q';
  SetLastError(0);
  EXPECT_EQ(VirtualMove(old, 5 * kPageSize, 6 * kPageSize, 64 * kPageSize), nullptr);  // keeps uncommitted pages
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_EQ(VirtualMove(old + kPageSize, 0, kPageSize, kPageSize), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});
  EXPECT_EQ(VirtualMove(old, 2 * kPageSize, kPageSize, 64 * kPageSize), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidParameter});
  EXPECT_EQ(CommittedBytes(), start + 4 * kPageSize);

  auto* moved = static_cast<char*>(VirtualMove(old, kKeep, 10 * kPageSize, 64 * kPageSize));
  ASSERT_NE(moved, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(moved) % kAllocationGranularity, 0u);
  EXPECT_EQ(CommittedBytes(), start + 10 * kPageSize);
  bool same = true;
  for (std::size_t i = 0; i < kKeep; ++i) same = same && moved[i] == static_cast<char>(i < kPageSize || i >= 2 * kPageSize ? i % 251 + 1 : 0);
  EXPECT_TRUE(same);
  const std::string zeros(10 * kPageSize - kKeep, '\0');
  EXPECT_EQ(std::string(moved + kKeep, zeros.size()), zeros);
  MemoryBasicInformation info{};
  ASSERT_EQ(VirtualQuery(moved, &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.State == kMemCommit && info.Protect == kPageReadWrite && info.RegionSize == 10 * kPageSize);
  ASSERT_EQ(VirtualQuery(moved + 10 * kPageSize, &info, sizeof info), sizeof info);
  EXPECT_TRUE(info.State == kMemReserve && info.RegionSize == 54 * kPageSize);
  EXPECT_FALSE(VirtualFree(old, 0, kMemRelease));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidAddress});

  // At the limit: half the room held, all of it asked for.
  const std::size_t room = (CommitLimit() - CommittedBytes()) / kPageSize * kPageSize;
  ASSERT_GT(room, 4 * kPageSize);
  auto* half = static_cast<char*>(VirtualAlloc(nullptr, room / 2, kMemCommit, kPageReadWrite));
  ASSERT_NE(half, nullptr);
  half[0] = 'h';
  const std::size_t held = CommittedBytes();
  SetLastError(0);
  EXPECT_EQ(VirtualMove(half, 1, room + kPageSize, 2 * room), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{kErrorNotEnoughMemory});
  EXPECT_EQ(CommittedBytes(), held);
  EXPECT_EQ(half[0], 'h');
  auto* whole = static_cast<char*>(VirtualMove(half, 1, room, 2 * room));
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole[0], 'h');
  EXPECT_EQ(CommittedBytes(), start + 10 * kPageSize + room);
  EXPECT_TRUE(VirtualFree(whole, 0, kMemRelease));
  EXPECT_TRUE(VirtualFree(moved, 0, kMemRelease));
  EXPECT_EQ(CommittedBytes(), start);
}

// Memory held elsewhere is counted up to the limit and given back.
TEST(VirtualMemory, ChargesCountAgainstTheCommitLimit) {
  const std::size_t start = CommittedBytes();
  const std::size_t room = (CommitLimit() - start) / kPageSize * kPageSize;
  for (int twice = 0; twice < 2; ++twice) {
    SetLastError(0);
    EXPECT_FALSE(ChargeCommit(room + 1));
    EXPECT_EQ(GetLastError(), DWORD{kErrorNotEnoughMemory});
    ASSERT_TRUE(ChargeCommit(room - kPageSize));
    EXPECT_EQ(CommittedBytes(), start + room - kPageSize);
    EXPECT_EQ(VirtualAlloc(nullptr, 2 * kPageSize, kMemCommit, kPageReadWrite), nullptr);
    void* last = VirtualAlloc(nullptr, kPageSize, kMemCommit, kPageReadWrite);
    EXPECT_NE(last, nullptr);
    EXPECT_TRUE(VirtualFree(last, 0, kMemRelease));
    UnchargeCommit(room - kPageSize);
    EXPECT_EQ(CommittedBytes(), start);
  }
}

// Bookkeeping grows with the calls on a region, not its size: 16 TiB reserved under a 256 MiB
// data limit, and 64 TiB kept whole or refused cleanly.
TEST(VirtualMemory, HugeRegionsKeepSmallBookkeeping) {
  const std::string result = test::InChildWithDataLimit(256u << 20, [] {
    std::string out;
    const std::size_t vm_before = test::StatusBytes("VmSize");
    constexpr std::size_t kHuge = std::size_t{1} << 44;
    auto* base = static_cast<char*>(VirtualAlloc(nullptr, kHuge, kMemReserve, kPageNoAccess));
    if (base == nullptr) return std::string("reserve failed ") + std::to_string(GetLastError());
    char* middle = base + kHuge / 2;
    char* last = base + kHuge - kPageSize;
    MemoryBasicInformation info{};
    auto describe = [&](const char* at) {
      VirtualQuery(at, &info, sizeof info);
      return std::to_string(info.State) + "/" + std::to_string(info.Protect) + "/" +
             std::to_string(info.RegionSize / kPageSize) + " ";
    };
    out += describe(base);
    if (VirtualAlloc(middle, 1, kMemCommit, kPageReadWrite) != middle ||
        VirtualAlloc(last, kPageSize, kMemCommit, kPageReadWrite) != last)
      return out + "commit failed";
    middle[0] = last[kPageSize - 1] = 1;
    out += describe(base) + describe(middle) + describe(middle + kPageSize) + describe(last);
    DWORD old = 0;
    out += VirtualProtect(middle, kPageSize, kPageReadOnly, &old) ? std::to_string(old) + " " : "protect failed ";
    out += describe(middle);
    if (!VirtualFree(middle, kPageSize, kMemDecommit)) return out + "decommit failed";
    out += describe(base);
    if (!VirtualFree(base, 0, kMemRelease)) return out + "release failed";
    out += describe(base) + "| ";

    // 64 TiB: kept whole or refused, nothing left either way.
    for (DWORD type : {DWORD{kMemReserve}, DWORD{kMemCommit}}) {
      void* p = VirtualAlloc(nullptr, kHuge << 2, type, type == kMemReserve ? kPageNoAccess : kPageReadWrite);
      if (p != nullptr) {
        out += VirtualQuery(p, &info, sizeof info) == sizeof info && info.RegionSize == kHuge << 2 ? "kept " : "wrong ";
        if (!VirtualFree(p, 0, kMemRelease)) out += "not released ";
      } else {
        out += GetLastError() == kErrorNotEnoughMemory ? "refused " : "error " + std::to_string(GetLastError()) + " ";
      }
    }
    const std::size_t vm_after = test::StatusBytes("VmSize");
    out += vm_after < vm_before + (std::size_t{1} << 30) ? "unmapped" : "still mapped";
    return out;
  });
  const std::string pages = std::to_string(std::size_t{1} << 32);
  const std::string half = std::to_string(std::size_t{1} << 31);
  const std::string rest = std::to_string((std::size_t{1} << 31) - 2);
  // 64 TiB of writable data is refused by the limit; a reservation may be kept.
  EXPECT_TRUE(result.starts_with("8192/0/" + pages + " 8192/0/" + half + " 4096/4/1 8192/0/" + rest +
                                 " 4096/4/1 4 4096/2/1 8192/0/" + std::to_string((std::size_t{1} << 32) - 1) +
                                 " 65536/0/"))
      << result;
  EXPECT_TRUE(result.ends_with("| kept refused unmapped") || result.ends_with("| refused refused unmapped")) << result;
}

}  // namespace
}  // namespace vt::os
