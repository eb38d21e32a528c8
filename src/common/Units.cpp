#include "common/Units.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/Process.h"

namespace vt {

namespace {
std::mutex g_units_lock;
std::vector<UnitEntry>& Initialized() {
  static std::vector<UnitEntry> list;
  return list;
}
bool Contains(const char* name) {
  for (const auto& u : Initialized())
    if (std::strcmp(u.name, name) == 0) return true;
  return false;
}
}  // namespace

void InitializeUnits(std::span<const UnitEntry> units) {
  os::EnsureStandardHandles();
  std::lock_guard lock(g_units_lock);
  for (const auto& u : units) {
    if (Contains(u.name)) continue;
    if (u.initialize) u.initialize();
    Initialized().push_back(u);
  }
}

void FinalizeUnits() {
  std::vector<UnitEntry> list;
  {
    std::lock_guard lock(g_units_lock);
    list.swap(Initialized());
  }
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (it->finalize) it->finalize();
}

bool UnitInitialized(const char* name) {
  std::lock_guard lock(g_units_lock);
  return Contains(name);
}

}  // namespace vt
