#include "common/SystemInfo.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "common/ObjectsFiles.h"
#include "common/ObjectsUnit.h"
#include "platform/Sync.h"

namespace vt {
namespace {

TEST(SystemInfo, ReportedVersionIsConfigurable) {
  os::OSVersionInfoEx v;
  ASSERT_TRUE(os::GetVersionEx(&v));
  EXPECT_EQ(v.dwPlatformId, os::kVerPlatformWin32Nt);
  EXPECT_TRUE(IsWindows7OrLater(v));
  ::setenv("VT_OS_VERSION", "6.0.6002", 1);
  ASSERT_TRUE(os::GetVersionEx(&v));
  ::unsetenv("VT_OS_VERSION");
  EXPECT_TRUE(v.dwMajorVersion == 6u && v.dwMinorVersion == 0u && v.dwBuildNumber == 6002u);
  EXPECT_FALSE(IsWindows7OrLater(v));  // Vista
  v.dwMinorVersion = 1;
  EXPECT_TRUE(IsWindows7OrLater(v));
  v.dwMajorVersion = 5;
  EXPECT_FALSE(IsWindows7OrLater(v));
  v.dwOSVersionInfoSize = 148;
  EXPECT_FALSE(os::GetVersionEx(&v));
}

// A processor identification answering from a table.
TCpuidFunction FakeCpuid(std::uint32_t max_extended, const char* brand48) {
  return [=](std::uint32_t leaf, std::uint32_t regs[4]) {
    if (leaf == 0x80000000u) {
      regs[0] = max_extended;
      return true;
    }
    if (leaf < 0x80000002u || leaf > max_extended) return false;
    std::memcpy(regs, brand48 + 16 * (leaf - 0x80000002u), 16);
    return true;
  };
}

TEST(SystemInfo, ProcessorBrand) {
  char brand[48];
  std::memset(brand, 0, sizeof brand);
  std::memcpy(brand, "    Test CPU @ 3.00GHz  ", 24);
  EXPECT_EQ(GetProcessorBrand(FakeCpuid(0x80000008u, brand)), "Test CPU @ 3.00GHz");
  EXPECT_EQ(GetProcessorBrand(FakeCpuid(0x80000003u, brand)), "");  // no extended brand functions
  std::memset(brand, 'x', sizeof brand);                            // no terminating zero: cut at 48
  EXPECT_EQ(GetProcessorBrand(FakeCpuid(0x80000004u, brand)), std::string(48, 'x'));
  std::memset(brand, ' ', sizeof brand);
  EXPECT_EQ(GetProcessorBrand(FakeCpuid(0x80000004u, brand)), "");
}

TEST(SystemInfo, ProcessorCounts) {
  using E = os::LogicalProcessorEntry;
  // Two packages of two cores with two threads each.
  std::vector<E> entries = {{0, {{0, 0x3}}},  {0, {{0, 0xC}}},  {0, {{0, 0x30}}},
                            {0, {{0, 0xC0}}}, {3, {{0, 0x0F}}}, {3, {{0, 0xF0}}}};
  TProcessorInfo info;
  CountProcessors(entries, info);
  EXPECT_EQ(std::vector<int>({info.Packages, info.Cores, info.LogicalProcessors}),
            std::vector<int>({2, 4, 8}));
  // Without package entries: logical processors div cores; groups add up.
  CountProcessors({{0, {{0, 0x3}, {1, 0x1}}}, {0, {{0, 0x3}}}}, info);
  EXPECT_EQ(info.Packages, 2);
  EXPECT_EQ(info.LogicalProcessors, 5);
  CountProcessors({}, info);
  EXPECT_EQ(info.Packages, 0);

  // This machine.
  GetProcessorInfo(info);
  EXPECT_GE(info.Packages, 1);
  EXPECT_GE(info.Cores, info.Packages);
  EXPECT_GE(info.LogicalProcessors, info.Cores);
  InitSystemInfo();
  EXPECT_EQ(LogicalProcessorCount, info.LogicalProcessors);
  EXPECT_EQ(static_cast<unsigned>(LogicalProcessorCount), std::thread::hardware_concurrency());
  EXPECT_GT(SystemInfo.dwPageSize, 0u);
  EXPECT_EQ(SystemInfo.dwAllocationGranularity, 65536u);
#if defined(__x86_64__)
  EXPECT_TRUE(Is64BitWindows());
#endif
}

TEST(SystemInfo, OperatingSystemLayerStartUp) {
  ::setenv("VT_OS_VERSION", "6.1.7601", 1);
  const std::uint64_t before = os::GetTickCount64();
  kObjectsUnit.initialize();
  ::unsetenv("VT_OS_VERSION");
  // The facts are kept: the version read at start-up stays in force.
  EXPECT_TRUE(OSVersionInfo.dwMajorVersion == 6u && OSVersionInfo.dwMinorVersion == 1u &&
              OSVersionInfo.dwBuildNumber == 7601u);
  EXPECT_TRUE(IsWindows7OrLater());
  EXPECT_GE(StartTick, before);
  EXPECT_LE(StartTick, os::GetTickCount64());
  // The system folders, each with its trailing separator.
  EXPECT_EQ(GetWindowsDir(), "/");
  EXPECT_EQ(GetSystemDir(), "/bin/");
  kObjectsUnit.finalize();
  EXPECT_EQ(GetSystemDir(), "/bin/");  // asked again after finalization
  InitSystemInfo();                    // back to the reported version
  EXPECT_EQ(OSVersionInfo.dwMajorVersion, 10u);
}

TEST(SystemInfo, Tables) {
  EXPECT_STREQ(FindSystemMessage(3013), "Current logging level may degrade build performance");
  EXPECT_STREQ(FindSystemMessage(3042), ".NET Assembly Breadcrumb Store access.");
  EXPECT_EQ(FindSystemMessage(3030), nullptr);
  EXPECT_STREQ(WindowsEditions[80].Name, "Datacenter (evaluation)");
}

}  // namespace
}  // namespace vt
