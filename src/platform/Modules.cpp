#include "platform/Modules.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/Environment.h"
#include "platform/Gdi.h"
#include "platform/LastError.h"
#include "platform/TestHooks.h"

namespace vt::os {

namespace {

struct ExportEntry {
  const char* name;
  void* address;
};

struct BuiltinModule {
  const char* name;
  const ExportEntry* exports;
  std::atomic<int> loads;
};

const ExportEntry kMsimg32Exports[] = {{"TransparentBlt", reinterpret_cast<void*>(&TransparentBlt)}, {nullptr, nullptr}};

BuiltinModule g_builtins[] = {{"msimg32.dll", kMsimg32Exports, {0}}};
std::atomic<bool> g_builtins_hidden{false};

BuiltinModule* AsBuiltin(HMODULE module) {
  for (BuiltinModule& m : g_builtins)
    if (module == &m) return &m;
  return nullptr;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

HMODULE FindBuiltinModule(const std::string& file_name) {
  if (g_builtins_hidden.load() || file_name.find_first_of("/\\") != std::string::npos) return nullptr;
  for (BuiltinModule& m : g_builtins) {
    const std::string_view name = m.name;
    if (SameTextAscii(file_name, name) || SameTextAscii(file_name, name.substr(0, name.size() - 4))) return &m;
  }
  return nullptr;
}

bool IsBuiltinModule(HMODULE module) { return AsBuiltin(module) != nullptr; }

bool IsLoadedModule(HMODULE module) {
  if (module == nullptr) return false;
  if (AsBuiltin(module)) return true;
  // A loader handle is the object's entry in the loader's list, which starts
  // with the program.
  static link_map* const first = [] {
    link_map* map = nullptr;
    void* self = ::dlopen(nullptr, RTLD_NOW);
    return self && ::dlinfo(self, RTLD_DI_LINKMAP, &map) == 0 ? map : nullptr;
  }();
  struct Search {
    link_map* first;
    HMODULE wanted;
    bool found;
  } search{first, module, false};
  // Walked under the loader's lock: no object comes or goes meanwhile.
  ::dl_iterate_phdr(
      [](dl_phdr_info*, std::size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (link_map* m = s->first; m != nullptr && !s->found; m = m->l_next) s->found = m == s->wanted;
        return 1;
      },
      &search);
  return search.found;
}

int BuiltinModuleLoadCount(HMODULE module) {
  const BuiltinModule* m = AsBuiltin(module);
  return m ? m->loads.load() : 0;
}

void PlatformTestHelper::HideBuiltinModules(bool hidden) { g_builtins_hidden.store(hidden); }

HMODULE LoadLibrary(const std::string& file_name) {
  if (HMODULE builtin = FindBuiltinModule(file_name)) {
    ++AsBuiltin(builtin)->loads;
    return builtin;
  }
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
  if (const BuiltinModule* m = AsBuiltin(module)) {
    for (const ExportEntry* e = m->exports; e->name != nullptr; ++e)
      if (name == e->name) return e->address;
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  if (!IsLoadedModule(module)) {
    SetLastError(kErrorModNotFound);
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
  if (BuiltinModule* m = AsBuiltin(module)) {
    int loads = m->loads.load();
    while (loads > 0 && !m->loads.compare_exchange_weak(loads, loads - 1)) {
    }
    if (loads > 0) return true;
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  if (!IsLoadedModule(module) || ::dlclose(module) != 0) {
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
    if (static_cast<size_t>(r) < buf.size()) {
      // A file replaced or deleted while it runs reads "<path> (deleted)":
      // the path is what the program was started as.
      std::string path(buf.data(), static_cast<size_t>(r));
      constexpr std::string_view kDeleted = " (deleted)";
      struct stat named, running;
      if (path.ends_with(kDeleted) && ::stat("/proc/self/exe", &running) == 0 &&
          (::stat(path.c_str(), &named) != 0 || named.st_dev != running.st_dev || named.st_ino != running.st_ino))
        path.resize(path.size() - kDeleted.size());
      return path;
    }
    buf.resize(buf.size() * 2);
  }
}

std::string SearchLibraryPath(const std::string& file_name) {
  if (file_name.empty() || file_name.find('/') != std::string::npos) return {};
  std::vector<std::string> dirs;
  if (std::string list; ReadEnvironmentVariable("LD_LIBRARY_PATH", &list)) {
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
