#include "platform/Environment.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/ForkLocks.h"

namespace vt::os {

// getenv and setenv are not safe against each other.
std::mutex& detail::EnvironmentLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

bool ReadEnvironmentVariable(const std::string& name, std::string* value) {
  std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
  const char* v = name.empty() ? nullptr : std::getenv(name.c_str());
  if (v == nullptr) return false;
  *value = v;
  return true;
}

void detail::LoadTimeZone() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
    ::tzset();
  });
}

DWORD GetEnvironmentVariable(const std::string& name, char* buffer, DWORD size) {
  std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
  const char* v = name.empty() ? nullptr : std::getenv(name.c_str());
  if (!v) {
    SetLastError(kErrorEnvVarNotFound);
    return 0;
  }
  const std::size_t len = std::strlen(v);
  if (len >= 0xFFFFFFFFu) {
    SetLastError(kErrorNotEnoughMemory);
    return 0;
  }
  if (buffer == nullptr || size <= len) {
    SetLastError(kErrorSuccess);
    return static_cast<DWORD>(len + 1);
  }
  std::memcpy(buffer, v, len + 1);
  SetLastError(kErrorSuccess);
  return static_cast<DWORD>(len);
}

bool SetEnvironmentVariable(const std::string& name, const char* value) {
  if (name.empty() || name.find('=') != std::string::npos) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
  int r = value ? ::setenv(name.c_str(), value, 1) : ::unsetenv(name.c_str());
  if (r != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

std::string ExpandEnvironmentStrings(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%') {
      std::size_t j = text.find('%', i + 1);
      if (j != std::string::npos && j > i + 1) {
        std::string name = text.substr(i + 1, j - i - 1);
        std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
        const char* v = std::getenv(name.c_str());
        if (v) {
          out += v;
          i = j + 1;
          continue;
        }
      }
    }
    out += text[i++];
  }
  return out;
}

std::string GetUserName() {
  std::vector<char> buf(1024);
  struct passwd pw;
  struct passwd* result = nullptr;
  for (;;) {
    int r = ::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result);
    if (r == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    break;
  }
  if (result && result->pw_name && *result->pw_name) return result->pw_name;
  std::lock_guard<std::mutex> lock(detail::EnvironmentLock());
  for (const char* var : {"USER", "LOGNAME"}) {
    const char* v = std::getenv(var);
    if (v && *v) return v;
  }
  SetLastError(kErrorNoneMapped);
  return std::string();
}

std::string GetComputerName() {
  struct utsname u;
  if (::uname(&u) != 0) {
    SetLastErrorFromErrno(errno);
    return std::string();
  }
  std::string name = u.nodename;
  auto dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

bool GetProcessWindowStationName(std::string* name) {
  *name = "WinSta0";
  return true;
}

std::string GetWindowsDirectory() { return "/"; }
std::string GetSystemDirectory() { return "/bin"; }

}  // namespace vt::os
