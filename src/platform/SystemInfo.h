// Facts about the machine: the Windows-like version this layer reports, the
// system information record, processor topology and identification, ticks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

// The extended version record. The layer reports a Windows-like version:
// 10.0 build 19045, NT platform, workstation, unless the environment variable
// VT_OS_VERSION gives "major.minor[.build]" (read at each call).
struct OSVersionInfoEx {
  DWORD dwOSVersionInfoSize = 156;
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
  DWORD dwPlatformId = 0;
  char szCSDVersion[128] = {};
  std::uint16_t wServicePackMajor = 0;
  std::uint16_t wServicePackMinor = 0;
  std::uint16_t wSuiteMask = 0;
  std::uint8_t wProductType = 0;
  std::uint8_t wReserved = 0;
};
constexpr DWORD kVerPlatformWin32Nt = 2;
constexpr std::uint8_t kVerNtWorkstation = 1;
bool GetVersionEx(OSVersionInfoEx* info);

// Processor architectures of the system information record.
constexpr std::uint16_t kProcessorArchitectureIntel = 0;
constexpr std::uint16_t kProcessorArchitectureArm = 5;
constexpr std::uint16_t kProcessorArchitectureIa64 = 6;
constexpr std::uint16_t kProcessorArchitectureAmd64 = 9;
constexpr std::uint16_t kProcessorArchitectureIa32OnWin64 = 10;
constexpr std::uint16_t kProcessorArchitectureArm64 = 12;

struct SystemInfo {
  std::uint16_t wProcessorArchitecture = 0;
  DWORD dwPageSize = 0;
  void* lpMinimumApplicationAddress = nullptr;
  void* lpMaximumApplicationAddress = nullptr;
  std::uintptr_t dwActiveProcessorMask = 0;
  DWORD dwNumberOfProcessors = 0;
  DWORD dwProcessorType = 0;
  DWORD dwAllocationGranularity = 0;
  std::uint16_t wProcessorLevel = 0;
  std::uint16_t wProcessorRevision = 0;
};
// The program's own view and the machine's; here both describe the host.
void GetSystemInfo(SystemInfo* info);
void GetNativeSystemInfo(SystemInfo* info);

// One entry of the processor topology: a core (relationship 0) or a package
// (relationship 3), with the logical processors it holds as a mask per
// group of 64.
constexpr DWORD kRelationProcessorCore = 0;
constexpr DWORD kRelationProcessorPackage = 3;
struct ProcessorGroupMask {
  std::uint16_t group;
  std::uint64_t mask;
};
struct LogicalProcessorEntry {
  DWORD relationship;
  std::vector<ProcessorGroupMask> masks;
};
// The online processors as cores and packages (from the system's topology;
// a system that tells none gives one core and one package per processor).
bool GetLogicalProcessorInformationEx(std::vector<LogicalProcessorEntry>* entries);

// The processor identification instruction: false where there is none.
bool Cpuid(std::uint32_t leaf, std::uint32_t regs[4]);

// Tick counts: platform/Sync.h.
bool QueryPerformanceCounter(std::int64_t* count);
bool QueryPerformanceFrequency(std::int64_t* frequency);

// The local date and time.
struct SystemTime {
  std::uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
void GetLocalTime(SystemTime* time);

// Return addresses of the calling thread's frames, innermost first, the
// caller of this routine first. Answers how many were stored.
int CaptureStackBackTrace(void** frames, int max_frames);

}  // namespace vt::os
