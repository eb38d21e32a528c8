#include "common/CodePatch.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/ProcessRunner.h"
#include "common/SysUtils.h"
#include "platform/VirtualMemory.h"
#include "support/ForgedMapLine.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

std::string Child() { return test::ProgramBeside("vt_proc_child"); }

// Patches are written to a scratch page and read back, never run.
TEST(CodePatch, RelativeJumpAndPushRetAreWrittenAndUndoneAndProtectionFailuresRaise) {
  auto* page =
      static_cast<std::uint8_t*>(os::VirtualAlloc(nullptr, os::kPageSize, os::kMemCommit, os::kPageReadOnly));
  ASSERT_NE(page, nullptr);
  os::DWORD old = 0;
  ASSERT_TRUE(os::VirtualProtect(page, os::kPageSize, os::kPageReadWrite, &old));
  for (int i = 0; i < 64; ++i) page[i] = static_cast<std::uint8_t>(0xA0 + i);
  ASSERT_TRUE(os::VirtualProtect(page, os::kPageSize, os::kPageReadOnly, &old));

  TSavedCode saved{};
  std::uint8_t* target = page + 8;
  PatchCode(target, page + 0x100, false, saved);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(saved[i], 0xA8 + i);
  const std::uint8_t jump[] = {0xE9, 0xF3, 0x00, 0x00, 0x00};  // 0x100 - 8 - 5
  EXPECT_EQ(std::memcmp(target, jump, 5), 0);
  EXPECT_EQ(target[5], 0xAD);
  // The previous protection is back.
  os::MemoryBasicInformation info{};
  ASSERT_NE(os::VirtualQuery(page, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, os::kPageReadOnly);

  RestoreCode(target, saved);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(target[i], 0xA8 + i);

  // Backward jump: negative displacement.
  PatchCode(page + 0x200, page, false, saved);
  const std::uint8_t back[] = {0xE9, 0xFB, 0xFD, 0xFF, 0xFF};  // -0x200 - 5
  EXPECT_EQ(std::memcmp(page + 0x200, back, 5), 0);

  // Push and return needs a 32-bit address.
  PatchCode(page + 0x300, reinterpret_cast<const void*>(0x12345678), true, saved);
  const std::uint8_t push_ret[] = {0x68, 0x78, 0x56, 0x34, 0x12, 0xC3};
  EXPECT_EQ(std::memcmp(page + 0x300, push_ret, 6), 0);
  if (sizeof(void*) > 4) {
    std::vector<std::uint8_t> before(page + 0x400, page + 0x410);
    // push imm32 sign-extends: from 0x80000000 the return would go elsewhere.
    for (std::uintptr_t far : {std::uintptr_t{1} << 40, std::uintptr_t{0x80000000u}, std::uintptr_t{0xFFFFFFFFu}})
      EXPECT_EQ(test::MessageOf([&] { PatchCode(page + 0x400, reinterpret_cast<const void*>(far), true, saved); }),
                "Jump target out of range")
          << far;
    PatchCode(page + 0x300, reinterpret_cast<const void*>(0x7FFFFFFF), true, saved);
    const std::uint8_t highest[] = {0x68, 0xFF, 0xFF, 0xFF, 0x7F, 0xC3};
    EXPECT_EQ(std::memcmp(page + 0x300, highest, 6), 0);
    EXPECT_THROW(PatchCode(page + 0x400, page + (std::intptr_t{1} << 33), false, saved), Exception);
    EXPECT_EQ(std::vector<std::uint8_t>(page + 0x400, page + 0x410), before);
  }

  // A page whose protection cannot change.
  ASSERT_TRUE(os::VirtualFree(page, os::kPageSize, os::kMemDecommit));
  const std::string error = test::MessageOf<EOSError>([&] { PatchCode(page, page + 64, false, saved); });
  EXPECT_TRUE(error.starts_with("Failed to change protection of 16 bytes at 0x0")) << error;
  os::VirtualFree(page, 0, os::kMemRelease);
}

// Patches of real routines, called through pointers the compiler cannot see
// through, so that the patched code runs.
std::atomic<int> g_sink{0};
[[gnu::noinline]] int Increment(int x) {
  g_sink.store(x);
  return x + 1;
}
[[gnu::noinline]] int Scale(int x) {
  g_sink.store(-x);
  return x * 100;
}
int (*volatile g_increment)(int) = &Increment;

std::atomic<int> g_counted{0};
std::size_t CountingStrlen(const char* s) {
  ++g_counted;
  const volatile char* v = s;  // no loop the compiler would turn into strlen
  std::size_t n = 0;
  while (v[n] != '\0') ++n;
  return n;
}

// An absolute jump to `to` placed within reach of a relative jump at `near`.
void* TrampolineNear(const void* near, const void* to) {
  const auto base = reinterpret_cast<std::uintptr_t>(near) & ~std::uintptr_t{os::kAllocationGranularity - 1};
  for (std::uintptr_t step = 1; step < 16384; ++step) {
    auto* p = static_cast<std::uint8_t*>(os::VirtualAlloc(reinterpret_cast<void*>(base - step * os::kAllocationGranularity),
                                                          os::kPageSize, os::kMemReserve | os::kMemCommit,
                                                          os::kPageExecuteReadWrite));
    if (!p) continue;
    const std::uint8_t jump[] = {0xFF, 0x25, 0, 0, 0, 0};  // jmp [rip+0]
    std::memcpy(p, jump, sizeof jump);
    const auto address = reinterpret_cast<std::uintptr_t>(to);
    std::memcpy(p + sizeof jump, &address, sizeof address);
    return p;
  }
  return nullptr;
}

TEST(CodePatch, RoutinesOfTheProgramAndOfALibraryArePatchedAndRestored) {
  void* target = reinterpret_cast<void*>(g_increment);
  TSavedCode saved{};
  PatchCode(target, reinterpret_cast<const void*>(&Scale), false, saved);
  EXPECT_EQ(g_increment(7), 700);
  os::MemoryBasicInformation info{};
  ASSERT_NE(os::VirtualQuery(target, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, os::kPageExecuteRead);  // the code's own protection is back
  RestoreCode(target, saved);
  EXPECT_EQ(g_increment(7), 8);

  // The C library's own routine (not a sanitizer's interceptor of it).
  void* libc = ::dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  auto* const volatile real_strlen = reinterpret_cast<std::size_t (*)(const char*)>(::dlsym(libc, "strlen"));
  ::dlclose(libc);
  ASSERT_NE(real_strlen, nullptr);
  void* trampoline = TrampolineNear(reinterpret_cast<void*>(real_strlen), reinterpret_cast<void*>(&CountingStrlen));
  ASSERT_NE(trampoline, nullptr);
  std::string text = "patched";
  PatchCode(reinterpret_cast<void*>(real_strlen), trampoline, false, saved);
  const int before = g_counted;
  const std::size_t length = real_strlen(text.c_str());
  const int after = g_counted;
  RestoreCode(reinterpret_cast<void*>(real_strlen), saved);
  EXPECT_EQ(length, 7u);
  EXPECT_GT(after, before);
  text += "!";
  EXPECT_EQ(real_strlen(text.c_str()), 8u);
  EXPECT_EQ(g_counted, after);
  os::VirtualFree(trampoline, 0, os::kMemRelease);
}

// The permissions of the area holding address in the process's map ("r-xp").
std::string MapPermissions(const void* address) {
  const std::string line = test::MapLineOf(address);
  return line.empty() ? "unmapped" : line.substr(line.find(' ') + 1, 4);
}

// Two threads patch and restore on one page (one patch straddling the next), round after round;
// no write meets a page the other made read-only, and the pages end as they began.
void PatchFromTwoThreads(std::uint8_t* code, int rounds) {
  std::vector<std::uint8_t> before(code, code + 2 * os::kPageSize);
  std::atomic<int> ready{0};
  auto patcher = [&](std::uint8_t* target) {
    ++ready;
    while (ready < 2) {
    }
    TSavedCode saved{};
    for (int i = 0; i < rounds; ++i) {
      PatchCode(target, code + 0x800, false, saved);
      RestoreCode(target, saved);
    }
  };
  std::thread first(patcher, code + 0x100), second(patcher, code + os::kPageSize - 8);
  first.join();
  second.join();
  EXPECT_EQ(MapPermissions(code), "r-xp");
  EXPECT_EQ(MapPermissions(code + os::kPageSize), "r-xp");
  EXPECT_TRUE(std::equal(before.begin(), before.end(), code));
}

TEST(CodePatch, ThreadsPatchingOnePageLeaveItsProtection) {
  // Pages of this layer.
  auto* own = static_cast<std::uint8_t*>(
      os::VirtualAlloc(nullptr, 2 * os::kPageSize, os::kMemCommit, os::kPageReadWrite));
  ASSERT_NE(own, nullptr);
  for (std::size_t i = 0; i < 2 * os::kPageSize; ++i) own[i] = static_cast<std::uint8_t>(i * 13);
  os::DWORD old = 0;
  ASSERT_TRUE(os::VirtualProtect(own, 2 * os::kPageSize, os::kPageExecuteRead, &old));
  PatchFromTwoThreads(own, 20000);
  os::MemoryBasicInformation info{};
  ASSERT_NE(os::VirtualQuery(own, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, os::kPageExecuteRead);
  EXPECT_EQ(info.RegionSize, 2 * os::kPageSize);
  os::VirtualFree(own, 0, os::kMemRelease);

  // Pages mapped by others, whose protection is read from the process's map.
  void* m = ::mmap(nullptr, 2 * os::kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  auto* foreign = static_cast<std::uint8_t*>(m);
  for (std::size_t i = 0; i < 2 * os::kPageSize; ++i) foreign[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(::mprotect(m, 2 * os::kPageSize, PROT_READ | PROT_EXEC), 0);
  PatchFromTwoThreads(foreign, 1000);
  ::munmap(m, 2 * os::kPageSize);
}

TEST(CodePatch, DwordMoveMatchesByteCopies) {
  for (int count : {0, 1, 3, 4, 7, 8, 13}) {
    for (int shift : {-5, -2, 0, 2, 5}) {
      std::vector<std::uint8_t> a(40), b;
      for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(i * 7 + 1);
      b = a;
      DwordMove(a.data() + 10, a.data() + 10 + shift, count);
      std::memmove(b.data() + 10 + shift, b.data() + 10, static_cast<size_t>(count));
      EXPECT_EQ(a, b) << count << " " << shift;
    }
  }
}

// The exit-code hook in real processes, after their unit finalizations.
// Runs the child's hook mode; its output must show the finalization ran once.
int RunHook(const std::string& items) {
  test::TempFolder dir;
  const int fd = ::open(dir.File("out").c_str(), O_WRONLY | O_CREAT, 0600);
  const TStdHandles std_handles{fd, -1, 2};
  int code = RunProcess("\"" + Child() + "\" hook " + items, true, 0, {}, nullptr, nullptr, &std_handles);
  ::close(fd);
  EXPECT_EQ(test::ReadFileText(dir.File("out")), "finalized\n") << items;
  return code;
}

TEST(CodePatch, ExitCodeHookSetsTheStatusOfARealProcess) {
  EXPECT_EQ(RunHook("3"), 3);                     // main returns 0
  EXPECT_EQ(RunHook("3 exit=0"), 3);              // exit through the hooked call
  EXPECT_EQ(RunHook("1 4"), 4);                   // the last code wins
  EXPECT_EQ(RunHook("3 exit=0xC0000005"), 0x05);  // exception code kept (low 8 bits)
  EXPECT_EQ(RunHook("-2 exit=0xC0000005"), 254);  // stored -2 wins
  EXPECT_EQ(RunHook("1 fin=9"), 9);               // stored by a finalization
  EXPECT_EQ(RunHook("exit=5"), 5);                // no hook: the requested code
}

}  // namespace
}  // namespace vt
