#include "platform/VirtualMemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

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
  ASSERT_EQ(::munmap(p + kPageSize, kPageSize), 0);
  DWORD old = 0;
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

}  // namespace
}  // namespace vt::os
