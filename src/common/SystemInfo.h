// Facts about the machine gathered once at start-up: the operating-system
// version, the system information record, processor counts and brand, and
// two constant tables of the product's vocabulary.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/SystemInfo.h"

namespace vt {

struct TProcessorInfo {
  int Packages = 0;
  int Cores = 0;
  int LogicalProcessors = 0;
  std::string Name;
};

struct TSystemMessageRecord {
  std::uint32_t Code;
  const char* Text;
};

struct TWindowsEdition {
  const char* Name;
  std::uint32_t Flags;  // 1: server suite
};

// Filled by InitSystemInfo.
extern os::OSVersionInfoEx OSVersionInfo;
extern os::SystemInfo SystemInfo;
extern int LogicalProcessorCount;
extern std::uint64_t StartTick;

// Start-up: version, system information, processor count, the system
// folders, then the start tick.
void InitSystemInfo();

// Major 6 with a minor other than 0, or major 7 and above (from OSVersionInfo).
bool IsWindows7OrLater();
bool IsWindows7OrLater(const os::OSVersionInfoEx& info);
void GetNativeSystemInfoEx(os::SystemInfo& Info);
// The native architecture is 6, 9 or 10 (computed once).
bool Is64BitWindows();

// The processor identification instruction, as the brand query uses it.
using TCpuidFunction = std::function<bool(std::uint32_t leaf, std::uint32_t regs[4])>;
// The 48-byte brand string of the extended functions 0x80000002-0x80000004,
// trimmed; empty when the processor has no such functions.
std::string GetProcessorBrand();
std::string GetProcessorBrand(const TCpuidFunction& cpuid);
// Counts of the topology entries: a core adds one core and its logical
// processors, a package one package; without packages, logical / cores.
void GetProcessorInfo(TProcessorInfo& Info);
void CountProcessors(const std::vector<os::LogicalProcessorEntry>& Entries, TProcessorInfo& Info);

// The system warning codes, in the product's order.
extern const TSystemMessageRecord SystemMessages[32];
// The text for a code, or null.
const char* FindSystemMessage(std::uint32_t Code);

// Windows edition names indexed by product type (0-80).
extern const TWindowsEdition WindowsEditions[81];

}  // namespace vt
