// The packet class registry: class GUID -> class, and the class numbers.
#include <algorithm>
#include <atomic>

#include "common/Packets.h"
#include "common/TypedLists.h"

namespace vt {

namespace {

constexpr const char* kUnit = "Packets";

// Key: class GUID (hashed by its first word); value: the class, held in the
// record's object slot (the table owns nothing). Duplicates are an error.
TGuidListEx_HashTable* g_registry = nullptr;
std::atomic<std::int32_t> g_class_counter{1};

TObject* ClassSlot(const TPacketClass& cls) { return reinterpret_cast<TObject*>(const_cast<TPacketClass*>(&cls)); }
const TPacketClass* SlotClass(TObject* slot) { return reinterpret_cast<const TPacketClass*>(slot); }

TGuidListEx_HashTable& EnsurePacketClassRegistry() {
  if (g_registry == nullptr) g_registry = new TGuidListEx_HashTable(dupError, 0, 5);
  return *g_registry;
}

// The registered classes, in no particular order.
std::vector<const TPacketClass*> RegistryClasses() {
  std::vector<const TPacketClass*> classes;
  if (g_registry == nullptr) return classes;
  classes.reserve(static_cast<std::size_t>(g_registry->Count()));
  g_registry->ForEach([&](void* item) {
    classes.push_back(SlotClass(static_cast<TGuidListExRec*>(item)->Object));
    return true;
  });
  return classes;
}

// Undoes every registration: the classes lose their numbers and numbering
// starts again at 1, so that the units can be initialized again.
void FreePacketClassRegistry() {
  for (const TPacketClass* cls : RegistryClasses()) cls->ClassNumberPtr()->store(-1);
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
      EnsurePacketClassRegistry().Add(cls.GetClassGUID(), ClassSlot(cls));
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
  TGuidListExRec* rec = g_registry->Find(guid);
  return rec != nullptr ? SlotClass(rec->Object) : nullptr;
}

std::vector<const TPacketClass*> RegisteredPacketClasses() {
  std::vector<const TPacketClass*> classes = RegistryClasses();
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
