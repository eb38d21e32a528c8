#include "platform/Resources.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/ForkLocks.h"
#include "platform/ModuleNames.h"

namespace vt::os {

std::mutex& detail::ResourceModulesLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

struct ResourceModule {
  const std::uint8_t* base = nullptr;
  std::size_t size = 0;
  bool has_resources = false;
  std::vector<rsrc::Entry> entries;

  ~ResourceModule() {
    if (base != nullptr) ::munmap(const_cast<std::uint8_t*>(base), size);
  }
  bool Owns(HRSRC r) const {
    return !entries.empty() && r >= static_cast<const void*>(entries.data()) &&
           r < static_cast<const void*>(entries.data() + entries.size());
  }
};

// Modules opened with LoadResourceModule, by handle.
std::map<HMODULE, std::unique_ptr<ResourceModule>> g_modules;

std::unique_ptr<ResourceModule> MapModule(const std::string& file_name) {
  const int fd = ::open(file_name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto m = std::make_unique<ResourceModule>();
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastError(kErrorBadExeFormat);
    ::close(fd);
    return nullptr;
  }
  if (st.st_size > 0) {
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      SetLastErrorFromErrno(errno);
      ::close(fd);
      return nullptr;
    }
    m->base = static_cast<const std::uint8_t*>(p);
    m->size = static_cast<std::size_t>(st.st_size);
  }
  ::close(fd);
  std::uint64_t start = 0;
  m->has_resources = rsrc::ParseDirectory(m->base, m->size, m->entries, start);
  return m;
}

// The running program's module: mapped once, kept for the process's life.
ResourceModule* ProgramModule() {
  static ResourceModule* program = [] {
    auto m = MapModule(GetProgramFileName());
    return m ? m.release() : nullptr;
  }();
  return program;
}

ResourceModule* FindModule(HMODULE module) {
  if (module == nullptr || module == GetModuleHandle("")) {
    ResourceModule* m = ProgramModule();
    if (m == nullptr) SetLastError(kErrorResourceDataNotFound);
    return m;
  }
  std::lock_guard<std::mutex> lock(detail::ResourceModulesLock());
  auto it = g_modules.find(module);
  if (it == g_modules.end()) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return it->second.get();
}

}  // namespace

HMODULE LoadResourceModule(const std::string& file_name) {
  auto m = MapModule(file_name);
  if (!m) return nullptr;
  HMODULE h = m.get();
  std::lock_guard<std::mutex> lock(detail::ResourceModulesLock());
  g_modules[h] = std::move(m);
  return h;
}

bool FreeResourceModule(HMODULE module) {
  std::lock_guard<std::mutex> lock(detail::ResourceModulesLock());
  if (g_modules.erase(module) == 0) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  return true;
}

HRSRC FindResource(HMODULE module, const ResId& name, const ResId& type) {
  ResourceModule* m = FindModule(module);
  if (m == nullptr) return nullptr;
  if (!m->has_resources) {
    SetLastError(kErrorResourceDataNotFound);
    return nullptr;
  }
  bool type_found = false;
  for (const auto& e : m->entries) {
    if (e.type != type.Key()) continue;
    type_found = true;
    if (e.name == name.Key()) return &e;
  }
  SetLastError(type_found ? kErrorResourceNameNotFound : kErrorResourceTypeNotFound);
  return nullptr;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  ResourceModule* m = FindModule(module);
  if (m == nullptr || !m->Owns(resource)) {
    SetLastError(kErrorInvalidHandle);
    return 0;
  }
  return static_cast<const rsrc::Entry*>(resource)->size;
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  ResourceModule* m = FindModule(module);
  if (m == nullptr || !m->Owns(resource)) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return m->base + static_cast<const rsrc::Entry*>(resource)->offset;
}

const void* LockResource(HGLOBAL data) { return data; }

void ReleaseResourcePages(const void* address, std::size_t size) {
  // Resource mappings are read-only copies of their file: dropping their
  // pages loses nothing.
  const ResourceModule* m = ProgramModule();
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto from = (reinterpret_cast<std::uintptr_t>(address) + page - 1) & ~(page - 1);
  const auto to = (reinterpret_cast<std::uintptr_t>(address) + size) & ~(page - 1);
  const auto base = reinterpret_cast<std::uintptr_t>(m != nullptr ? m->base : nullptr);
  if (m == nullptr || from >= to || from < base || to > base + m->size) return;
  ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
}

const void* GetModuleImage(HMODULE module, std::size_t* size) {
  HRSRC r = FindResource(module, rsrc::kImageHeaderId, rsrc::kTypeImageHeader);
  if (r == nullptr) return nullptr;
  const DWORD n = SizeofResource(module, r);
  if (n < 64) {
    SetLastError(kErrorBadExeFormat);
    return nullptr;
  }
  if (size) *size = n;
  return LockResource(LoadResource(module, r));
}

}  // namespace vt::os
