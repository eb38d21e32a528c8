#include "platform/ModuleNames.h"

#include <dlfcn.h>
#include <link.h>

#include "platform/LastError.h"

namespace vt::os {

namespace {
HMODULE ProgramHandle() {
  static HMODULE self = ::dlopen(nullptr, RTLD_NOW);
  return self;
}
}  // namespace

HMODULE GetModuleHandle(const std::string& name) {
  if (name.empty()) return ProgramHandle();
  if (HMODULE builtin = FindBuiltinModule(name)) {
    if (BuiltinModuleLoadCount(builtin) > 0) return builtin;
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  void* h = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) {
    SetLastError(kErrorModNotFound);
    return nullptr;
  }
  ::dlclose(h);  // RTLD_NOLOAD counted one more load
  return h;
}

std::string GetModuleFileName(HMODULE module) {
  if (module == nullptr || module == ProgramHandle()) {
    std::string path = GetProgramFileName();
    if (path.empty()) SetLastError(kErrorFileNotFound);
    return path;
  }
  if (IsBuiltinModule(module)) {
    // Built into this layer: the program's own file holds it.
    return GetProgramFileName();
  }
  link_map* map = nullptr;
  if (!IsLoadedModule(module)) {
    SetLastError(kErrorModNotFound);
    return {};
  }
  if (::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return {};
  }
  if (map->l_name == nullptr || map->l_name[0] == '\0') return GetProgramFileName();
  return map->l_name;
}

}  // namespace vt::os
