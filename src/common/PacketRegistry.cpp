// The packet class registry: class GUID -> class, and the class numbers.
#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "common/Packets.h"

namespace vt {

namespace {

constexpr const char* kUnit = "Packets";

struct GuidHash {
  std::size_t operator()(const TGUID& g) const { return g.D1; }
};
struct GuidEq {
  bool operator()(const TGUID& a, const TGUID& b) const { return GuidsEqual(a, b); }
};
using Registry = std::unordered_map<TGUID, const TPacketClass*, GuidHash, GuidEq>;

Registry* g_registry = nullptr;
std::atomic<std::int32_t> g_class_counter{1};

Registry& EnsurePacketClassRegistry() {
  if (g_registry == nullptr) {
    g_registry = new Registry();
    g_registry->reserve(512);
  }
  return *g_registry;
}

// Undoes every registration: the classes lose their numbers and numbering
// starts again at 1, so that the units can be initialized again.
void FreePacketClassRegistry() {
  if (g_registry != nullptr)
    for (const auto& entry : *g_registry) entry.second->ClassNumberPtr()->store(-1);
  delete g_registry;
  g_registry = nullptr;
  g_class_counter.store(1);
}

void InitializePacketsUnit() { RegisterPacketClass(TPacket::Class); }

}  // namespace

std::int32_t NextPacketClassNumber() { return g_class_counter.fetch_add(1); }

void RegisterPacketClass(const TPacketClass& cls) {
  try {
    std::atomic<std::int32_t>* cell = cls.ClassNumberPtr();
    if (cell->load() != -1) return;
    const std::int32_t number = NextPacketClassNumber();
    VT_ASSERT_AT(number < 65535, kUnit, 1691);
    std::int32_t expected = -1;
    if (!cell->compare_exchange_strong(expected, number)) return;
    try {
      Registry& registry = EnsurePacketClassRegistry();
      if (!registry.emplace(cls.GetClassGUID(), &cls).second)
        throw EListError("TGuidListEx_HashTable: Hashtable does not allow duplicates.");
    } catch (...) {
      cell->store(-1);  // the class stays unregistered
      throw;
    }
  } catch (...) {
    ReraiseWithContext("Failed to register packet class: %s", {cls.Name()});
  }
}

const TPacketClass* FindPacketClass(const TGUID& guid) {
  if (g_registry == nullptr) return nullptr;
  auto it = g_registry->find(guid);
  return it == g_registry->end() ? nullptr : it->second;
}

std::vector<const TPacketClass*> RegisteredPacketClasses() {
  std::vector<const TPacketClass*> classes;
  if (g_registry == nullptr) return classes;
  for (const auto& entry : *g_registry) classes.push_back(entry.second);
  std::sort(classes.begin(), classes.end(), [](const TPacketClass* a, const TPacketClass* b) {
    return a->ClassNumberPtr()->load() < b->ClassNumberPtr()->load();
  });
  return classes;
}

std::int32_t GetPacketClassNumber(const TPacketClass& cls) {
  const std::int32_t n = cls.ClassNumberPtr()->load();
  VT_ASSERT_AT(n > 0, kUnit, 1292);
  return n;
}

const UnitEntry kPacketsUnit{"Packets", &InitializePacketsUnit, &FreePacketClassRegistry};

}  // namespace vt
