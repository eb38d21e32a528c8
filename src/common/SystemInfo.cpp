#include "common/SystemInfo.h"

#include <bit>
#include <cstring>

#include "common/ObjectsFiles.h"
#include "platform/Registry.h"
#include "platform/Sync.h"

namespace vt {

os::OSVersionInfoEx OSVersionInfo;
os::SystemInfo SystemInfo;
int LogicalProcessorCount = 0;
std::uint64_t StartTick = 0;

void InitSystemInfo() {
  OSVersionInfo = os::OSVersionInfoEx{};
  os::GetVersionEx(&OSVersionInfo);
  os::GetSystemInfo(&SystemInfo);
  TProcessorInfo info;
  GetProcessorInfo(info);
  LogicalProcessorCount = info.LogicalProcessors;
  InitSystemFolders();
  StartTick = os::GetTickCount64();
}

bool IsWindows7OrLater(const os::OSVersionInfoEx& info) {
  return (info.dwMajorVersion == 6 && info.dwMinorVersion != 0) || info.dwMajorVersion >= 7;
}

bool IsWindows7OrLater() { return IsWindows7OrLater(OSVersionInfo); }

void GetNativeSystemInfoEx(os::SystemInfo& Info) { os::GetNativeSystemInfo(&Info); }

bool Is64BitWindows() {
  static const bool is64 = os::Is64BitSystem();  // the registry layer's own test, so both pick the same views
  return is64;
}

std::string GetProcessorBrand(const TCpuidFunction& cpuid) {
  std::uint32_t regs[4] = {};
  if (!cpuid(0x80000000u, regs) || regs[0] < 0x80000004u) return {};
  char brand[49] = {};
  for (std::uint32_t i = 0; i < 3; ++i) {
    if (!cpuid(0x80000002u + i, regs)) return {};
    std::memcpy(brand + 16 * i, regs, 16);
  }
  std::string name(brand, ::strnlen(brand, 48));
  size_t b = name.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  size_t e = name.find_last_not_of(' ');
  return name.substr(b, e - b + 1);
}

std::string GetProcessorBrand() { return GetProcessorBrand(os::Cpuid); }

void CountProcessors(const std::vector<os::LogicalProcessorEntry>& Entries, TProcessorInfo& Info) {
  Info = TProcessorInfo{};
  bool package_seen = false;
  for (const auto& e : Entries) {
    if (e.relationship == os::kRelationProcessorCore) {
      ++Info.Cores;
      for (const auto& m : e.masks) Info.LogicalProcessors += std::popcount(m.mask);
    } else if (e.relationship == os::kRelationProcessorPackage) {
      ++Info.Packages;
      package_seen = true;
    }
  }
  if (!package_seen && Info.Cores != 0) Info.Packages = Info.LogicalProcessors / Info.Cores;
}

void GetProcessorInfo(TProcessorInfo& Info) {
  std::vector<os::LogicalProcessorEntry> entries;
  os::GetLogicalProcessorInformationEx(&entries);
  CountProcessors(entries, Info);
  Info.Name = GetProcessorBrand();
}

const TSystemMessageRecord SystemMessages[32] = {
    {3001, "Project has an unknown target type"},
    {3002, "Environment variables are not defined"},
    {3003, "Intermediate directory override at file level"},
    {3004, "#import should use no_implementation attribute"},
    {3005, "'/Fd' compiler option is not supported"},
    {3014, "Auto. precompiled header use is not recommended"},
    {3017, "Large number of files create a precompiled header"},
    {3006, "Unsupported compiler detected"},
    {3007, "Importing type library directly is recommended"},
    {3008, "Project imports the module it generates"},
    {3009, "Project imports module that isn't its dependency"},
    {3010, "Import causes an implicit recursive dependency"},
    {3011, "Use of #pragma once in a precompiled header"},
    {3012, "Using Backup Coordinator (primary not available)"},
    {3013, "Current logging level may degrade build performance"},
    {3015, "Standalone mode is currently enabled"},
    {3016, "Response files could not be found"},
    {3018, "PDB instance limit is enabled"},
    {3019, "Could not monitor inaccessible directories"},
    {3020, "Running inside job is not recommended"},
    {3021, "Attempt to write file to a system directory was blocked"},
    {3022, "Attempt to write .NET security config file was blocked"},
    {3023, "Failed to load VC Components configuration file"},
    {3024, "Unix shell redirection misconfigured"},
    {3025, "\"Setup and Deployment\" projects are currently not supported"},
    {3026, "File synchronization failed"},
    {3027, "Command line parameter(s) not yet supported in Visual Studio 2010"},
    {3028, "Process priority elevated"},
    {3029, "Disabling Helper"},
    {3031, "Only Helper machines with Vista OS or higher will participate in build execution."},
    {3032, "PDB Forwarding Unavailable."},
    {3042, ".NET Assembly Breadcrumb Store access."},
};

const char* FindSystemMessage(std::uint32_t Code) {
  for (const auto& m : SystemMessages)
    if (m.Code == Code) return m.Text;
  return nullptr;
}

// Product types as the platform publishes them.
const TWindowsEdition WindowsEditions[81] = {
    {"", 0},                                            // 0 undefined
    {"Ultimate", 0},                                    // 1
    {"Home Basic", 0},                                  // 2
    {"Home Premium", 0},                                // 3
    {"Enterprise", 0},                                  // 4
    {"Home Basic N", 0},                                // 5
    {"Business", 0},                                    // 6
    {"Standard Server", 0},                             // 7
    {"Datacenter Server", 0},                           // 8
    {"Small Business Server", 1},                       // 9
    {"Enterprise Server", 0},                           // 10
    {"Starter", 0},                                     // 11
    {"Datacenter Server (core installation)", 0},       // 12
    {"Standard Server (core installation)", 0},         // 13
    {"Enterprise Server (core installation)", 0},       // 14
    {"Enterprise Server for Itanium-based Systems", 0}, // 15
    {"Business N", 0},                                  // 16
    {"Web Server", 0},                                  // 17
    {"HPC Edition", 0},                                 // 18
    {"Storage Server Essentials", 0},                   // 19
    {"Storage Server Express", 0},                      // 20
    {"Storage Server Standard", 0},                     // 21
    {"Storage Server Workgroup", 0},                    // 22
    {"Storage Server Enterprise", 0},                   // 23
    {"Server for Small Business", 1},                   // 24
    {"Small Business Server Premium", 1},               // 25
    {"Home Premium N", 0},                              // 26
    {"Enterprise N", 0},                                // 27
    {"Ultimate N", 0},                                  // 28
    {"Web Server (core installation)", 0},              // 29
    {"Essential Business Server Management Server", 1}, // 30
    {"Essential Business Server Security Server", 1},   // 31
    {"Essential Business Server Messaging Server", 1},  // 32
    {"Server Foundation", 0},                           // 33
    {"Home Server", 0},                                 // 34
    {"Server for Small Business Edition", 1},           // 35
    {"Standard Server without Hyper-V", 0},             // 36
    {"Datacenter Server without Hyper-V", 0},           // 37
    {"Enterprise Server without Hyper-V", 0},           // 38
    {"Datacenter Server without Hyper-V (core installation)", 0},  // 39
    {"Standard Server without Hyper-V (core installation)", 0},    // 40
    {"Enterprise Server without Hyper-V (core installation)", 0},  // 41
    {"Hyper-V Server", 0},                              // 42
    {"Storage Server Express (core installation)", 0},  // 43
    {"Storage Server Standard (core installation)", 0}, // 44
    {"Storage Server Workgroup (core installation)", 0},   // 45
    {"Storage Server Enterprise (core installation)", 0},  // 46
    {"Starter N", 0},                                   // 47
    {"Professional", 0},                                // 48
    {"Professional N", 0},                              // 49
    {"Small Business Server 2011 Essentials", 1},       // 50
    {"Server for SB Solutions", 1},                     // 51
    {"Server Solutions Premium", 0},                    // 52
    {"Server Solutions Premium (core installation)", 0},   // 53
    {"Server for SB Solutions EM", 1},                  // 54
    {"Server for SB Solutions EM", 1},                  // 55
    {"Windows MultiPoint Server", 0},                   // 56
    {"", 0},                                            // 57
    {"", 0},                                            // 58
    {"Essential Server Solution Management", 1},        // 59
    {"Essential Server Solution Additional", 1},        // 60
    {"Essential Server Solution Management SVC", 1},    // 61
    {"Essential Server Solution Additional SVC", 1},    // 62
    {"Small Business Server Premium (core installation)", 1},  // 63
    {"Server Hyper Core V", 0},                         // 64
    {"", 0},                                            // 65
    {"Starter E", 0},                                   // 66
    {"Home Basic E", 0},                                // 67
    {"Home Premium E", 0},                              // 68
    {"Professional E", 0},                              // 69
    {"Enterprise E", 0},                                // 70
    {"Ultimate E", 0},                                  // 71
    {"Enterprise (evaluation)", 0},                     // 72
    {"", 0},                                            // 73
    {"", 0},                                            // 74
    {"", 0},                                            // 75
    {"MultiPoint Server Standard (full)", 0},           // 76
    {"MultiPoint Server Premium (full)", 0},            // 77
    {"", 0},                                            // 78
    {"Server Standard (evaluation)", 0},                // 79
    {"Datacenter (evaluation)", 0},                     // 80
};

}  // namespace vt
