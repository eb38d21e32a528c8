#include "common/CodePatch.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "common/Objects.h"
#include "platform/Process.h"
#include "platform/VirtualMemory.h"

namespace vt {

namespace {

constexpr int kPatchSize = 16;

// Patches under way per page, with the protection the page had before the
// first of them. The first patch of a page makes it writable, the last one
// puts the protection back, so that concurrent patches of one page neither
// take each other's writable protection for the original nor lose it while
// another is writing.
struct PageUse {
  int count;
  os::DWORD original;
};

std::mutex& PagesLock() {
  static auto* m = new std::mutex;  // outlives every static destructor
  return *m;
}

std::map<std::uintptr_t, PageUse>& PagesInUse() {
  static auto* pages = new std::map<std::uintptr_t, PageUse>;
  return *pages;
}

// Ends one patch's use of a page; the last one restores its protection.
void ReleasePage(std::uintptr_t page) {
  auto& pages = PagesInUse();
  auto it = pages.find(page);
  if (it == pages.end() || --it->second.count > 0) return;
  os::DWORD ignored = 0;
  os::VirtualProtect(reinterpret_cast<void*>(page), os::kPageSize, it->second.original, &ignored);
  pages.erase(it);
}

// Runs write with the 16 bytes at Target writable, then flushes the
// instruction cache and restores the protection, page by page (the bytes may
// straddle pages of different protections).
template <typename F>
void WithWritableCode(void* Target, F&& write) {
  auto* p = static_cast<char*>(Target);
  const auto address = reinterpret_cast<std::uintptr_t>(Target);
  const std::uintptr_t first_page = address & ~std::uintptr_t{os::kPageSize - 1};
  const std::uintptr_t last_page = (address + kPatchSize - 1) & ~std::uintptr_t{os::kPageSize - 1};
  const std::uintptr_t used[2] = {first_page, last_page};
  const int count = first_page == last_page ? 1 : 2;
  {
    std::lock_guard lock(PagesLock());
    auto& pages = PagesInUse();
    for (int i = 0; i < count; ++i) {
      const auto [it, first_use] = pages.try_emplace(used[i], PageUse{0, 0});
      if (first_use && !os::VirtualProtect(reinterpret_cast<void*>(used[i]), os::kPageSize,
                                           os::kPageExecuteReadWrite, &it->second.original)) {
        const os::DWORD error = os::GetLastError();
        pages.erase(it);
        if (i == 1) ReleasePage(used[0]);
        RaiseOSError("Failed to change protection of %d bytes at 0x0%p",
                     {kPatchSize, static_cast<const void*>(Target)}, error);
      }
      ++it->second.count;
    }
  }
  write();
  __builtin___clear_cache(p, p + kPatchSize);
  std::lock_guard lock(PagesLock());
  for (int i = count - 1; i >= 0; --i) ReleasePage(used[i]);
}

std::atomic<int> g_stored_code{0};
std::atomic<bool> g_hook_installed{false};

os::DWORD ExitProcessHook(os::DWORD requested) {
  // The platform removes the hook before calling it, so a second exit
  // cannot come back here.
  return static_cast<os::DWORD>(ChooseExitCode(requested, g_stored_code.load()));
}

}  // namespace

void PatchCode(void* Target, const void* NewAddress, bool UsePushRet, TSavedCode& Saved) {
  const auto target = reinterpret_cast<std::uintptr_t>(Target);
  const auto dest = reinterpret_cast<std::uintptr_t>(NewAddress);
  std::uint8_t code[6];
  std::size_t length;
  if (UsePushRet) {
    // The pushed 32 bits are sign-extended on 64-bit processors.
    const std::uintptr_t reach = sizeof(void*) > 4 ? 0x7FFFFFFFu : 0xFFFFFFFFu;
    if (dest > reach) throw Exception("Jump target out of range");
    code[0] = 0x68;
    const auto address = static_cast<std::uint32_t>(dest);
    std::memcpy(code + 1, &address, 4);
    code[5] = 0xC3;
    length = 6;
  } else {
    const std::int64_t displacement =
        static_cast<std::int64_t>(dest) - static_cast<std::int64_t>(target) - 5;
    if (displacement < INT32_MIN || displacement > INT32_MAX) throw Exception("Jump target out of range");
    code[0] = 0xE9;
    const auto d32 = static_cast<std::int32_t>(displacement);
    std::memcpy(code + 1, &d32, 4);
    length = 5;
  }
  WithWritableCode(Target, [&] {
    std::memcpy(Saved.data(), Target, kPatchSize);
    std::memcpy(Target, code, length);
  });
}

void RestoreCode(void* Target, const TSavedCode& Saved) {
  WithWritableCode(Target, [&] { std::memcpy(Target, Saved.data(), kPatchSize); });
}

int ChooseExitCode(std::uint32_t Requested, int Stored) {
  if (static_cast<std::int32_t>(Requested) < 0 && Stored >= 0) return static_cast<std::int32_t>(Requested);
  return Stored;
}

void SetProcessExitCode(int Code) {
  g_stored_code.store(Code);
  if (!g_hook_installed.exchange(true)) os::SetExitHook(ExitProcessHook);
}

void DwordMove(const void* Source, void* Dest, std::intptr_t Count) {
  auto* src = static_cast<const std::uint8_t*>(Source);
  auto* dst = static_cast<std::uint8_t*>(Dest);
  if (Count <= 0 || src == dst) return;
  const auto n = static_cast<std::size_t>(Count);
  const std::size_t dwords = n / 4;
  if (dst > src && dst < src + n) {
    // Backwards: whole dwords from the end, then the 1-3 leading bytes.
    std::size_t i = n;
    for (std::size_t k = 0; k < dwords; ++k) {
      i -= 4;
      std::uint32_t v;
      std::memcpy(&v, src + i, 4);
      std::memcpy(dst + i, &v, 4);
    }
    while (i > 0) {
      --i;
      dst[i] = src[i];
    }
    return;
  }
  std::size_t i = 0;
  for (std::size_t k = 0; k < dwords; ++k, i += 4) {
    std::uint32_t v;
    std::memcpy(&v, src + i, 4);
    std::memcpy(dst + i, &v, 4);
  }
  for (; i < n; ++i) dst[i] = src[i];
}

}  // namespace vt
