// Virtual memory with reserve / commit / decommit / release semantics.
//
// Address space is reserved in 64 KB-aligned regions; pages inside a region
// are committed (readable and writable as asked, zero on first commit or
// after a decommit) or only reserved (no access). Failures answer nullptr /
// false / 0 and set the last error (vt::os::GetLastError).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/LastError.h"

namespace vt::os {

// Allocation and free types.
enum : DWORD {
  kMemCommit = 0x1000,
  kMemReserve = 0x2000,
  kMemDecommit = 0x4000,
  kMemRelease = 0x8000,
  kMemFree = 0x10000,
  kMemPrivate = 0x20000,
  kMemMapped = 0x40000,
  kMemTopDown = 0x100000,
};

// Page protections (one base value, optionally with kPageGuard).
enum : DWORD {
  kPageNoAccess = 0x01,
  kPageReadOnly = 0x02,
  kPageReadWrite = 0x04,
  kPageWriteCopy = 0x08,
  kPageExecute = 0x10,
  kPageExecuteRead = 0x20,
  kPageExecuteReadWrite = 0x40,
  kPageGuard = 0x100,
};

struct MemoryBasicInformation {
  void* BaseAddress;     // page of the queried address
  void* AllocationBase;  // base of the region it belongs to
  DWORD AllocationProtect;
  std::size_t RegionSize;  // bytes from BaseAddress with the same state and protection
  DWORD State;             // kMemCommit, kMemReserve or kMemFree
  DWORD Protect;           // 0 unless committed
  DWORD Type;              // kMemPrivate or kMemMapped; 0 when free
};

constexpr std::size_t kPageSize = 4096;
constexpr std::size_t kAllocationGranularity = 65536;

// The most this process may hold committed through this layer at once:
// physical memory plus swap, or less where the process's memory cgroup (or
// one above it) allows less memory plus swap. A commit that would pass it
// fails with kErrorNotEnoughMemory, as an overcommitting kernel would not
// refuse it but end the process once the pages are touched.
std::size_t CommitLimit();
// Bytes committed through this layer now, those charged included.
std::size_t CommittedBytes();

// Reserves and/or commits. Address nullptr: a new region (kMemCommit alone
// reserves and commits). Address inside a reserved region with kMemCommit:
// commits the pages covering [Address, Address + Size) and answers the first
// page. Address with kMemReserve: reserves exactly there (rounded down to
// the granularity) or fails with kErrorInvalidAddress.
void* VirtualAlloc(void* address, std::size_t size, DWORD allocation_type, DWORD protect);

// kMemRelease: Address must be a region base and Size 0. kMemDecommit:
// the pages covering [Address, Address + Size) (Size 0 with a region base:
// the whole region) go back to reserved; their contents are discarded.
bool VirtualFree(void* address, std::size_t size, DWORD free_type);

// Changes the protection of committed pages; answers the previous protection
// of the first page in *old_protect. Pages this layer did not reserve (the
// program's and libraries' code among them) must be mapped throughout, else
// nothing changes; their previous protection is read from the process's
// map. A range that reaches partly into a reserved region fails with
// kErrorInvalidAddress.
bool VirtualProtect(void* address, std::size_t size, DWORD new_protect, DWORD* old_protect);

// Pages [Address, Address + Size) (both multiples of the page size),
// committed in one region, read as zeros again and give back the memory
// they held, without being touched; they stay committed, with their
// protection. Else false and kErrorInvalidParameter or kErrorInvalidAddress.
bool VirtualZeroPages(void* address, std::size_t size);

// Moves the region at Base (its base) into a new region of Reserve bytes
// and answers it; Base's region is released. The new region's first Commit
// bytes are committed read-write and hold Base's first Keep bytes (Keep <=
// Commit <= Reserve, Base's first Keep bytes committed and readable), then
// zeros. Pages that read as zeros are not written, so pages never written
// cost no memory in either region; Base's pages are given back as they are
// copied. The commit limit sees only the commitment the move leaves, never
// both regions at once. Fails with Base's region unchanged.
void* VirtualMove(void* base, std::size_t keep, std::size_t commit, std::size_t reserve);

// Memory held outside this layer (a large heap block) counted against the
// commit limit: ChargeCommit fails with kErrorNotEnoughMemory where
// Bytes more would pass it; UnchargeCommit gives back what it counted.
bool ChargeCommit(std::size_t bytes);
void UnchargeCommit(std::size_t bytes);

// Describes the pages from Address on. Answers sizeof(MemoryBasicInformation)
// on success (Length must be at least that), else 0.
std::size_t VirtualQuery(const void* address, MemoryBasicInformation* info, std::size_t length);

}  // namespace vt::os
