#include "platform/Modules.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

namespace {

struct ExportEntry {
  const char* name;
  void* address;
};

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

HMODULE LoadLibrary(const std::string& file_name) {
  void* h = ::dlopen(file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (h == nullptr) {
    SetLastError(::access(file_name.c_str(), F_OK) == 0 ? kErrorBadExeFormat : kErrorModNotFound);
    return nullptr;
  }
  return h;
}

void* GetProcAddress(HMODULE module, const std::string& name) {
  if (module == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  if (name.find('@') == std::string::npos) {
    if (void* p = ::dlsym(module, name.c_str())) return p;
  }
  if (const auto* table = static_cast<const ExportEntry*>(::dlsym(module, "VtExportTable"))) {
    for (; table->name != nullptr; ++table) {
      if (name == table->name) return table->address;
    }
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

bool FreeLibrary(HMODULE module) {
  if (module == nullptr || ::dlclose(module) != 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

std::string GetProgramFileName() {
  std::vector<char> buf(4096);
  for (;;) {
    const ssize_t r = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (r < 0) return {};
    if (static_cast<size_t>(r) < buf.size()) return std::string(buf.data(), static_cast<size_t>(r));
    buf.resize(buf.size() * 2);
  }
}

std::string SearchLibraryPath(const std::string& file_name) {
  if (file_name.empty() || file_name.find('/') != std::string::npos) return {};
  std::vector<std::string> dirs;
  if (const char* env = ::getenv("LD_LIBRARY_PATH")) {
    std::string list = env;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) dirs.push_back(list.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* d : {"/usr/local/lib", "/lib", "/usr/lib", "/lib64", "/usr/lib64"}) dirs.emplace_back(d);
  for (const auto& d : dirs) {
    std::string path = d;
    if (path.back() != '/') path += '/';
    path += file_name;
    if (IsRegularFile(path)) return path;
  }
  return {};
}

}  // namespace vt::os
