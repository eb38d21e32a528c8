#include "common/TypedLists.h"

#include <cstring>

#include "common/StreamUtils.h"

namespace vt {

namespace {

const std::string& Str(const std::string* p) {
  static const std::string empty;
  return p != nullptr ? *p : empty;
}

std::string* NewStr(std::string_view s) { return s.empty() ? nullptr : new std::string(s); }

template <typename T>
int Cmp(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

template <typename R>
const R& As(const void* p) {
  return *static_cast<const R*>(p);
}
template <typename R>
R& As(void* p) {
  return *static_cast<R*>(p);
}

// Typed Insert is only for unsorted lists.
void CheckUnsorted(const TCustomList& list) { VT_ASSERT_AT(!list.Sorted(), list.ClassName(), 127); }

}  // namespace

// ---------------------------------------------------------------------------
// TIntegerList

int TIntegerList::CompareItems(const void* a, const void* b) { return Cmp(As<std::int32_t>(a), As<std::int32_t>(b)); }
bool TIntegerList::SameItems(const void* a, const void* b) { return As<std::int32_t>(a) == As<std::int32_t>(b); }

int TIntegerList::Add(std::int32_t value) {
  void* slot = nullptr;
  const int index = AddRecord(&value, slot);
  if (slot != nullptr) As<std::int32_t>(slot) = value;
  return index;
}

void TIntegerList::Insert(int index, std::int32_t value) {
  CheckUnsorted(*this);
  As<std::int32_t>(InsertSlot(index)) = value;
}

void TIntegerList::SetItem(int index, std::int32_t value) {
  void* item = CheckedItem(index);
  CheckKeyChange();
  As<std::int32_t>(item) = value;
}

// ---------------------------------------------------------------------------
// TIntegerListEx

void TIntegerListEx::FinalizeItem(void* item) {
  if (Options() & loOwnsObjects) delete As<TIntegerListExRec>(item).Object;
}
int TIntegerListEx::CompareItems(const void* a, const void* b) {
  return Cmp(As<TIntegerListExRec>(a).Key, As<TIntegerListExRec>(b).Key);
}
bool TIntegerListEx::SameItems(const void* a, const void* b) {
  return As<TIntegerListExRec>(a).Key == As<TIntegerListExRec>(b).Key;
}

int TIntegerListEx::Add(std::int32_t key, TObject* object) {
  const TIntegerListExRec rec{key, object};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<TIntegerListExRec>(slot) = rec;
  return index;
}

void TIntegerListEx::Insert(int index, std::int32_t key, TObject* object) {
  CheckUnsorted(*this);
  As<TIntegerListExRec>(InsertSlot(index)) = TIntegerListExRec{key, object};
}

int TIntegerListEx::IndexOf(std::int32_t key) {
  const TIntegerListExRec rec{key, nullptr};
  return TCustomList::IndexOf(&rec);
}

TObject* TIntegerListEx::ObjectOf(std::int32_t key) {
  const int i = IndexOf(key);
  return i < 0 ? nullptr : As<TIntegerListExRec>(ItemAt(i)).Object;
}

// ---------------------------------------------------------------------------
// TIntegerPairListEx

void TIntegerPairListEx::FinalizeItem(void* item) {
  if (Options() & loOwnsObjects) delete As<TIntegerPairListExRec>(item).Object;
}
int TIntegerPairListEx::CompareItems(const void* a, const void* b) {
  const auto& x = As<TIntegerPairListExRec>(a);
  const auto& y = As<TIntegerPairListExRec>(b);
  const int r = Cmp(x.Key1, y.Key1);
  return r != 0 ? r : Cmp(x.Key2, y.Key2);
}
bool TIntegerPairListEx::SameItems(const void* a, const void* b) {
  const auto& x = As<TIntegerPairListExRec>(a);
  const auto& y = As<TIntegerPairListExRec>(b);
  return x.Key1 == y.Key1 && x.Key2 == y.Key2;
}

int TIntegerPairListEx::Add(std::int32_t key1, std::int32_t key2, TObject* object) {
  const TIntegerPairListExRec rec{key1, key2, object};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<TIntegerPairListExRec>(slot) = rec;
  return index;
}

int TIntegerPairListEx::IndexOf(std::int32_t key1, std::int32_t key2) {
  const TIntegerPairListExRec rec{key1, key2, nullptr};
  return TCustomList::IndexOf(&rec);
}

TObject* TIntegerPairListEx::ObjectOf(std::int32_t key1, std::int32_t key2) {
  const int i = IndexOf(key1, key2);
  return i < 0 ? nullptr : As<TIntegerPairListExRec>(ItemAt(i)).Object;
}

// ---------------------------------------------------------------------------
// TCardinalList

int TCardinalList::CompareItems(const void* a, const void* b) {
  return Cmp(As<std::uint32_t>(a), As<std::uint32_t>(b));
}
bool TCardinalList::SameItems(const void* a, const void* b) { return As<std::uint32_t>(a) == As<std::uint32_t>(b); }

int TCardinalList::Add(std::uint32_t value) {
  void* slot = nullptr;
  const int index = AddRecord(&value, slot);
  if (slot != nullptr) As<std::uint32_t>(slot) = value;
  return index;
}

// ---------------------------------------------------------------------------
// TIntegerViewList

TIntegerViewList::TIntegerViewList(std::uint16_t options, TUnmapViewFunc unmap)
    : TCustomList(options, sizeof(TIntegerViewListRec)), unmap_(unmap) {
  SetHoldsReferences();
  VT_ASSERT_AT((options & loOwnsViews) == 0 || unmap != nullptr, ClassName(), 30);
}

void TIntegerViewList::FinalizeItem(void* item) {
  void* view = As<TIntegerViewListRec>(item).View;
  if ((Options() & loOwnsViews) && view != nullptr) unmap_(view);
}
int TIntegerViewList::CompareItems(const void* a, const void* b) {
  return Cmp(As<TIntegerViewListRec>(a).Key, As<TIntegerViewListRec>(b).Key);
}
bool TIntegerViewList::SameItems(const void* a, const void* b) {
  return As<TIntegerViewListRec>(a).Key == As<TIntegerViewListRec>(b).Key;
}

int TIntegerViewList::Add(std::int32_t key, void* view) {
  const TIntegerViewListRec rec{key, view};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<TIntegerViewListRec>(slot) = rec;
  return index;
}

void TIntegerViewList::Insert(int index, std::int32_t key, void* view) {
  CheckUnsorted(*this);
  As<TIntegerViewListRec>(InsertSlot(index)) = TIntegerViewListRec{key, view};
}

int TIntegerViewList::IndexOf(std::int32_t key) {
  const TIntegerViewListRec rec{key, nullptr};
  return TCustomList::IndexOf(&rec);
}

// ---------------------------------------------------------------------------
// TPointer64IntegerList and TInt64IntegerMap

namespace {

int CompareInt64Rec(const void* a, const void* b) { return Cmp(As<TInt64IntegerRec>(a).Key, As<TInt64IntegerRec>(b).Key); }

}  // namespace

int TPointer64IntegerList::CompareItems(const void* a, const void* b) { return CompareInt64Rec(a, b); }
bool TPointer64IntegerList::SameItems(const void* a, const void* b) {
  return As<TInt64IntegerRec>(a).Key == As<TInt64IntegerRec>(b).Key;
}

void TPointer64IntegerList::LoadFromStream(TStream& stream) {
  TCustomList::LoadFromStream(stream);
  for (int i = 0; i < Count(); ++i) As<TInt64IntegerRec>(ItemAt(i)).Padding = 0;
}

int TPointer64IntegerList::Add(std::int64_t key, std::int32_t value) {
  const TInt64IntegerRec rec{key, value, 0};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<TInt64IntegerRec>(slot) = rec;
  return index;
}

int TPointer64IntegerList::IndexOf(std::int64_t key) {
  const TInt64IntegerRec rec{key, 0, 0};
  return TCustomList::IndexOf(&rec);
}

int TInt64IntegerMap::CompareItems(const void* a, const void* b) {
  return Cmp(As<TInt64IntegerMapRec>(a).Key, As<TInt64IntegerMapRec>(b).Key);
}
bool TInt64IntegerMap::SameItems(const void* a, const void* b) {
  return As<TInt64IntegerMapRec>(a).Key == As<TInt64IntegerMapRec>(b).Key;
}

int TInt64IntegerMap::Add(std::int64_t value, std::int64_t key) {
  const TInt64IntegerMapRec rec{key, value};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<TInt64IntegerMapRec>(slot) = rec;
  return index;
}

bool TInt64IntegerMap::Find(std::int64_t key, int& index) {
  const TInt64IntegerMapRec rec{key, 0};
  return TCustomList::Find(&rec, index);
}

int TInt64IntegerMap::IndexOf(std::int64_t key) {
  const TInt64IntegerMapRec rec{key, 0};
  return TCustomList::IndexOf(&rec);
}

// ---------------------------------------------------------------------------
// TStringIntegerMap

void TStringIntegerMap::FinalizeItem(void* item) { delete As<TStringIntegerRec>(item).Key; }
void TStringIntegerMap::CopyItem(const void* source, void* target) {
  const auto& s = As<TStringIntegerRec>(source);
  As<TStringIntegerRec>(target) = TStringIntegerRec{NewStr(Str(s.Key)), s.Value};
}
int TStringIntegerMap::CompareItems(const void* a, const void* b) {
  return CompareKeyStrings(Str(As<TStringIntegerRec>(a).Key), Str(As<TStringIntegerRec>(b).Key), IgnoreCase());
}
bool TStringIntegerMap::SameItems(const void* a, const void* b) {
  return SameKeyStrings(Str(As<TStringIntegerRec>(a).Key), Str(As<TStringIntegerRec>(b).Key), IgnoreCase());
}

int TStringIntegerMap::Add(const std::string& key, std::int32_t value) {
  const TStringIntegerRec probe{const_cast<std::string*>(&key), value};
  void* slot = nullptr;
  const int index = AddRecord(&probe, slot);
  if (slot != nullptr) {
    try {
      As<TStringIntegerRec>(slot) = TStringIntegerRec{NewStr(key), value};
    } catch (...) {
      As<TStringIntegerRec>(slot) = TStringIntegerRec{nullptr, value};
      Delete(index);
      throw;
    }
  }
  return index;
}

bool TStringIntegerMap::Find(const std::string& key, int& index) {
  const TStringIntegerRec probe{const_cast<std::string*>(&key), 0};
  return TCustomList::Find(&probe, index);
}

int TStringIntegerMap::IndexOf(const std::string& key) {
  const TStringIntegerRec probe{const_cast<std::string*>(&key), 0};
  return TCustomList::IndexOf(&probe);
}

const std::string& TStringIntegerMap::Keys(int index) const {
  return Str(static_cast<TStringIntegerRec*>(CheckedItem(index))->Key);
}

// ---------------------------------------------------------------------------
// TNotifyQueueList

void TNotifyQueueList::FinalizeItem(void* item) {
  auto& r = As<TNotifyQueueListRec>(item);
  delete r.Name;
  r.Name = nullptr;
  if (Options() & loOwnsObjects) delete r.Source;
}
void TNotifyQueueList::CopyItem(const void* source, void* target) {
  TNotifyQueueListRec r = As<TNotifyQueueListRec>(source);
  r.Name = NewStr(Str(r.Name));
  As<TNotifyQueueListRec>(target) = r;
}
int TNotifyQueueList::CompareItems(const void* a, const void* b) {
  return Cmp(reinterpret_cast<std::uintptr_t>(As<TNotifyQueueListRec>(a).Source),
             reinterpret_cast<std::uintptr_t>(As<TNotifyQueueListRec>(b).Source));
}
bool TNotifyQueueList::SameItems(const void* a, const void* b) {
  return As<TNotifyQueueListRec>(a).Source == As<TNotifyQueueListRec>(b).Source;
}

int TNotifyQueueList::Add(TObject* source, const TMethod& method, TObject* data, std::uint32_t post_tick,
                          std::string_view name) {
  TNotifyQueueListRec rec{source, method, data, post_tick, 0, nullptr};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) {
    As<TNotifyQueueListRec>(slot) = rec;
    try {
      As<TNotifyQueueListRec>(slot).Name = NewStr(name);
    } catch (...) {
      Delete(index);
      throw;
    }
  }
  return index;
}

const std::string& TNotifyQueueList::Name(int index) { return Str(Items(index).Name); }

int TNotifyQueueList::Remove(TObject* source) {
  const TNotifyQueueListRec probe{source, {}, nullptr, 0, 0, nullptr};
  return TCustomList::Remove(&probe);
}

// ---------------------------------------------------------------------------
// TNotifyTimerList

namespace {
int CompareMethods(const TMethod& a, const TMethod& b) {
  const int r = Cmp(reinterpret_cast<std::uintptr_t>(a.Code), reinterpret_cast<std::uintptr_t>(b.Code));
  return r != 0 ? r : Cmp(reinterpret_cast<std::uintptr_t>(a.Data), reinterpret_cast<std::uintptr_t>(b.Data));
}
}  // namespace

int TNotifyTimerList::CompareItems(const void* a, const void* b) {
  return CompareMethods(As<Rec>(a).Key, As<Rec>(b).Key);
}
bool TNotifyTimerList::SameItems(const void* a, const void* b) {
  return CompareMethods(As<Rec>(a).Key, As<Rec>(b).Key) == 0;
}

int TNotifyTimerList::Add(const TMethod& key, std::uint32_t value1, std::uint32_t value2) {
  const Rec rec{key, value1, value2};
  void* slot = nullptr;
  const int index = AddRecord(&rec, slot);
  if (slot != nullptr) As<Rec>(slot) = rec;
  return index;
}

int TNotifyTimerList::IndexOf(const TMethod& key) {
  const Rec rec{key, 0, 0};
  return TCustomList::IndexOf(&rec);
}

void TNotifyTimerList::SetKey(int index, const TMethod& key) {
  Rec& r = At(index);
  CheckKeyChange();
  r.Key = key;
}

// ---------------------------------------------------------------------------
// TGuidListEx_HashTable

void TGuidListEx_HashTable::FinalizeItem(void* item) {
  if (Options() & loOwnsObjects) delete As<TGuidListExRec>(item).Object;
}
std::uint32_t TGuidListEx_HashTable::HashItem(THashFunc hash, const void* item) {
  return hash(&As<TGuidListExRec>(item).Guid);
}
int TGuidListEx_HashTable::CompareItems(const void* a, const void* b) {
  return CompareGuid(As<TGuidListExRec>(a).Guid, As<TGuidListExRec>(b).Guid);
}
bool TGuidListEx_HashTable::SameItems(const void* a, const void* b) {
  return GuidsEqual(As<TGuidListExRec>(a).Guid, As<TGuidListExRec>(b).Guid);
}

void TGuidListEx_HashTable::Add(const TGUID& guid, TObject* object) {
  const TGuidListExRec rec{guid, object};
  if (void* item = NewItem(&rec)) {
    As<TGuidListExRec>(item) = rec;
    Link(item);
  }
}

TGuidListExRec* TGuidListEx_HashTable::Find(const TGUID& guid) {
  const TGuidListExRec rec{guid, nullptr};
  return static_cast<TGuidListExRec*>(FindItem(&rec));
}

TObject* TGuidListEx_HashTable::ObjectOf(const TGUID& guid) {
  TGuidListExRec* r = Find(guid);
  return r != nullptr ? r->Object : nullptr;
}

// ---------------------------------------------------------------------------
// TStringIntegerIntegerMap_HashTable

void TStringIntegerIntegerMap_HashTable::FinalizeItem(void* item) { delete As<TStringIntegerIntegerRec>(item).Key; }
void TStringIntegerIntegerMap_HashTable::CopyItem(const void* source, void* target) {
  const auto& s = As<TStringIntegerIntegerRec>(source);
  As<TStringIntegerIntegerRec>(target) = TStringIntegerIntegerRec{NewStr(Str(s.Key)), s.Value1, s.Value2};
}
std::uint32_t TStringIntegerIntegerMap_HashTable::HashItem(THashFunc hash, const void* item) {
  return hash(&Str(As<TStringIntegerIntegerRec>(item).Key));
}
int TStringIntegerIntegerMap_HashTable::CompareItems(const void* a, const void* b) {
  return CompareKeyStrings(Str(As<TStringIntegerIntegerRec>(a).Key), Str(As<TStringIntegerIntegerRec>(b).Key),
                           IgnoreCase());
}
bool TStringIntegerIntegerMap_HashTable::SameItems(const void* a, const void* b) {
  return SameKeyStrings(Str(As<TStringIntegerIntegerRec>(a).Key), Str(As<TStringIntegerIntegerRec>(b).Key),
                        IgnoreCase());
}

void TStringIntegerIntegerMap_HashTable::Add(const std::string& key, std::int32_t value1, std::int32_t value2) {
  const TStringIntegerIntegerRec probe{const_cast<std::string*>(&key), value1, value2};
  void* item = NewItem(&probe);
  if (item == nullptr) return;
  try {
    As<TStringIntegerIntegerRec>(item) = TStringIntegerIntegerRec{NewStr(key), value1, value2};
  } catch (...) {
    Discard(item);
    throw;
  }
  Link(item);
}

TStringIntegerIntegerRec* TStringIntegerIntegerMap_HashTable::Find(const std::string& key) {
  const TStringIntegerIntegerRec probe{const_cast<std::string*>(&key), 0, 0};
  return static_cast<TStringIntegerIntegerRec*>(FindItem(&probe));
}

// ---------------------------------------------------------------------------
// TStringInt64ObjectMap_HashTable

void TStringInt64ObjectMap_HashTable::FinalizeItem(void* item) {
  auto& r = As<TStringInt64ObjectRec>(item);
  delete r.Key;
  r.Key = nullptr;
  if (Options() & loOwnsObjects) delete r.Object;
}
void TStringInt64ObjectMap_HashTable::CopyItem(const void* source, void* target) {
  const auto& s = As<TStringInt64ObjectRec>(source);
  As<TStringInt64ObjectRec>(target) = TStringInt64ObjectRec{NewStr(Str(s.Key)), s.Value, s.Object};
}
std::uint32_t TStringInt64ObjectMap_HashTable::HashItem(THashFunc hash, const void* item) {
  return hash(&Str(As<TStringInt64ObjectRec>(item).Key));
}
int TStringInt64ObjectMap_HashTable::CompareItems(const void* a, const void* b) {
  return CompareKeyStrings(Str(As<TStringInt64ObjectRec>(a).Key), Str(As<TStringInt64ObjectRec>(b).Key),
                           IgnoreCase());
}
bool TStringInt64ObjectMap_HashTable::SameItems(const void* a, const void* b) {
  return SameKeyStrings(Str(As<TStringInt64ObjectRec>(a).Key), Str(As<TStringInt64ObjectRec>(b).Key), IgnoreCase());
}

void TStringInt64ObjectMap_HashTable::Add(const std::string& key, std::int64_t value, TObject* object) {
  const TStringInt64ObjectRec probe{const_cast<std::string*>(&key), value, object};
  void* item = NewItem(&probe);
  if (item == nullptr) return;
  try {
    As<TStringInt64ObjectRec>(item) = TStringInt64ObjectRec{NewStr(key), value, object};
  } catch (...) {
    Discard(item);
    throw;
  }
  Link(item);
}

TStringInt64ObjectRec* TStringInt64ObjectMap_HashTable::Find(const std::string& key) {
  const TStringInt64ObjectRec probe{const_cast<std::string*>(&key), 0, nullptr};
  return static_cast<TStringInt64ObjectRec*>(FindItem(&probe));
}

// ---------------------------------------------------------------------------
// TIntegerIntegerMap_HashTable

std::uint32_t TIntegerIntegerMap_HashTable::HashItem(THashFunc hash, const void* item) {
  return hash(&As<TIntegerIntegerRec>(item).Key);
}
int TIntegerIntegerMap_HashTable::CompareItems(const void* a, const void* b) {
  return Cmp(As<TIntegerIntegerRec>(a).Key, As<TIntegerIntegerRec>(b).Key);
}
bool TIntegerIntegerMap_HashTable::SameItems(const void* a, const void* b) {
  return As<TIntegerIntegerRec>(a).Key == As<TIntegerIntegerRec>(b).Key;
}

void TIntegerIntegerMap_HashTable::Add(std::int32_t key, std::int32_t value) {
  const TIntegerIntegerRec rec{key, value};
  if (void* item = NewItem(&rec)) {
    As<TIntegerIntegerRec>(item) = rec;
    Link(item);
  }
}

TIntegerIntegerRec* TIntegerIntegerMap_HashTable::Find(std::int32_t key) {
  const TIntegerIntegerRec rec{key, 0};
  return static_cast<TIntegerIntegerRec*>(FindItem(&rec));
}

std::int32_t TIntegerIntegerMap_HashTable::Lookup(std::int32_t key, std::int32_t default_value) {
  const TIntegerIntegerRec* r = Find(key);
  return r != nullptr ? r->Value : default_value;
}

}  // namespace vt
