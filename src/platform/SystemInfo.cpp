#include "platform/SystemInfo.h"

#include <execinfo.h>
#include <sys/time.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "platform/Environment.h"

namespace vt::os {

bool GetVersionEx(OSVersionInfoEx* info) {
  if (!info || info->dwOSVersionInfoSize != 156) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  *info = OSVersionInfoEx{};
  unsigned major = 10, minor = 0, build = 19045;
  if (std::string v; ReadEnvironmentVariable("VT_OS_VERSION", &v)) {
    unsigned a = 0, b = 0, c = 0;
    int n = std::sscanf(v.c_str(), "%u.%u.%u", &a, &b, &c);
    if (n >= 2) {
      major = a;
      minor = b;
      build = n == 3 ? c : 0;
    }
  }
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformId = kVerPlatformWin32Nt;
  info->wProductType = kVerNtWorkstation;
  return true;
}

namespace {
std::uint16_t HostArchitecture() {
#if defined(__x86_64__)
  return kProcessorArchitectureAmd64;
#elif defined(__aarch64__)
  return kProcessorArchitectureArm64;
#elif defined(__arm__)
  return kProcessorArchitectureArm;
#else
  return kProcessorArchitectureIntel;
#endif
}
}  // namespace

void GetSystemInfo(SystemInfo* info) {
  *info = SystemInfo{};
  info->wProcessorArchitecture = HostArchitecture();
  info->dwPageSize = static_cast<DWORD>(::sysconf(_SC_PAGESIZE));
  info->lpMinimumApplicationAddress = reinterpret_cast<void*>(std::uintptr_t{0x10000});
  info->lpMaximumApplicationAddress =
      reinterpret_cast<void*>(sizeof(void*) == 8 ? std::uintptr_t{0x7FFFFFFEFFFF} : std::uintptr_t{0xBFFEFFFF});
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = n > 0 ? static_cast<DWORD>(n) : 1;
  const unsigned bits = sizeof(std::uintptr_t) * 8;
  info->dwActiveProcessorMask = info->dwNumberOfProcessors >= bits
                                    ? ~std::uintptr_t{0}
                                    : (std::uintptr_t{1} << info->dwNumberOfProcessors) - 1;
  info->dwAllocationGranularity = 65536;
  std::uint32_t r[4];
  if (Cpuid(1, r)) {
    info->wProcessorLevel = static_cast<std::uint16_t>((r[0] >> 8) & 0xF);
    info->wProcessorRevision = static_cast<std::uint16_t>(r[0] & 0xFF);
  }
}

void GetNativeSystemInfo(SystemInfo* info) { GetSystemInfo(info); }

bool GetLogicalProcessorInformationEx(std::vector<LogicalProcessorEntry>* entries) {
  entries->clear();
  long count = ::sysconf(_SC_NPROCESSORS_CONF);
  if (count < 1) count = 1;
  std::map<std::pair<int, int>, std::vector<int>> cores;  // (package, core) -> cpus
  std::map<int, std::vector<int>> packages;
  for (int cpu = 0; cpu < count && cpu < 65536; ++cpu) {
    std::string base = "/sys/devices/system/cpu/cpu" + std::to_string(cpu);
    std::ifstream online(base + "/online");
    int on = 1;
    if (online >> on && on == 0) continue;
    int package = cpu, core = cpu;
    std::ifstream pf(base + "/topology/physical_package_id"), cf(base + "/topology/core_id");
    if (!(pf >> package) || !(cf >> core)) {
      package = cpu;
      core = cpu;
    }
    cores[{package, core}].push_back(cpu);
    packages[package].push_back(cpu);
  }
  auto entry = [](DWORD relationship, const std::vector<int>& cpus) {
    LogicalProcessorEntry e{relationship, {}};
    for (int cpu : cpus) {
      auto group = static_cast<std::uint16_t>(cpu / 64);
      if (e.masks.empty() || e.masks.back().group != group) e.masks.push_back({group, 0});
      e.masks.back().mask |= std::uint64_t{1} << (cpu % 64);
    }
    return e;
  };
  for (auto& [key, cpus] : cores) entries->push_back(entry(kRelationProcessorCore, cpus));
  for (auto& [key, cpus] : packages) entries->push_back(entry(kRelationProcessorPackage, cpus));
  return true;
}

bool Cpuid(std::uint32_t leaf, std::uint32_t regs[4]) {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a, b, c, d;
  // __get_cpuid checks the highest basic or extended leaf first.
  if (!__get_cpuid(leaf, &a, &b, &c, &d)) return false;
  regs[0] = a;
  regs[1] = b;
  regs[2] = c;
  regs[3] = d;
  return true;
#else
  (void)leaf;
  (void)regs;
  return false;
#endif
}

bool QueryPerformanceCounter(std::int64_t* count) {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  *count = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  return true;
}

bool QueryPerformanceFrequency(std::int64_t* frequency) {
  *frequency = 1000000000;
  return true;
}

void GetLocalTime(SystemTime* time) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  detail::LoadTimeZone();
  ::localtime_r(&ts.tv_sec, &local);
  time->wYear = static_cast<std::uint16_t>(local.tm_year + 1900);
  time->wMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
  time->wDay = static_cast<std::uint16_t>(local.tm_mday);
  time->wHour = static_cast<std::uint16_t>(local.tm_hour);
  time->wMinute = static_cast<std::uint16_t>(local.tm_min);
  time->wSecond = static_cast<std::uint16_t>(local.tm_sec);
  time->wMilliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
}

int CaptureStackBackTrace(void** frames, int max_frames) {
  if (max_frames <= 0) return 0;
  std::vector<void*> all(static_cast<size_t>(max_frames) + 1);
  int n = ::backtrace(all.data(), static_cast<int>(all.size()));
  if (n <= 1) return 0;
  for (int i = 1; i < n; ++i) frames[i - 1] = all[static_cast<size_t>(i)];
  return n - 1;
}

}  // namespace vt::os
