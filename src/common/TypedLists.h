// The typed lists and maps of the library: each fixes an item record and
// the item strategy of TCustomList or TCustomHashTable.
//
// String fields of records are owned std::string pointers (nullptr for the
// empty string), so records stay relocatable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Guid.h"
#include "common/Lists.h"
#include "common/Objects.h"
#include "common/StreamUtils.h"

namespace vt {

// ---------------------------------------------------------------------------
// Lists

class TIntegerList : public TCustomList {
 public:
  explicit TIntegerList(std::uint16_t options = 0) : TCustomList(options, sizeof(std::int32_t)) {}
  const char* ClassName() const override { return "TIntegerList"; }
  ~TIntegerList() override { Destroy(); }
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::int32_t value);
  void Insert(int index, std::int32_t value);
  std::int32_t Items(int index) const { return *static_cast<const std::int32_t*>(CheckedItem(index)); }
  void SetItem(int index, std::int32_t value);
  int IndexOf(std::int32_t value) { return TCustomList::IndexOf(&value); }
  bool Find(std::int32_t value, int& index) { return TCustomList::Find(&value, index); }
};

struct TIntegerListExRec {
  std::int32_t Key;
  TObject* Object;
};

class TIntegerListEx : public TCustomList {
 public:
  explicit TIntegerListEx(std::uint16_t options = 0) : TCustomList(options, sizeof(TIntegerListExRec)) {
    SetHoldsReferences();
  }
  const char* ClassName() const override { return "TIntegerListEx"; }
  ~TIntegerListEx() override { Destroy(); }
  void FinalizeItem(void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::int32_t key, TObject* object);
  void Insert(int index, std::int32_t key, TObject* object);
  std::int32_t Keys(int index) const { return Rec(index).Key; }
  TObject* Objects(int index) const { return Rec(index).Object; }
  int IndexOf(std::int32_t key);
  TObject* ObjectOf(std::int32_t key);

 private:
  const TIntegerListExRec& Rec(int index) const { return *static_cast<TIntegerListExRec*>(CheckedItem(index)); }
};

struct TIntegerPairListExRec {
  std::int32_t Key1, Key2;
  TObject* Object;
};

class TIntegerPairListEx : public TCustomList {
 public:
  explicit TIntegerPairListEx(std::uint16_t options = 0) : TCustomList(options, sizeof(TIntegerPairListExRec)) {
    SetHoldsReferences();
  }
  const char* ClassName() const override { return "TIntegerPairListEx"; }
  ~TIntegerPairListEx() override { Destroy(); }
  void FinalizeItem(void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::int32_t key1, std::int32_t key2, TObject* object);
  std::int32_t Key1(int index) const { return Rec(index).Key1; }
  std::int32_t Key2(int index) const { return Rec(index).Key2; }
  TObject* Objects(int index) const { return Rec(index).Object; }
  int IndexOf(std::int32_t key1, std::int32_t key2);
  TObject* ObjectOf(std::int32_t key1, std::int32_t key2);

 private:
  const TIntegerPairListExRec& Rec(int index) const {
    return *static_cast<TIntegerPairListExRec*>(CheckedItem(index));
  }
};

class TCardinalList : public TCustomList {
 public:
  explicit TCardinalList(std::uint16_t options = 0) : TCustomList(options, sizeof(std::uint32_t)) {}
  const char* ClassName() const override { return "TCardinalList"; }
  ~TCardinalList() override { Destroy(); }
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::uint32_t value);
  bool Find(std::uint32_t value, int& index) { return TCustomList::Find(&value, index); }
  int IndexOf(std::uint32_t value) { return TCustomList::IndexOf(&value); }
  std::uint32_t Items(int index) const { return *static_cast<const std::uint32_t*>(CheckedItem(index)); }
};

struct TIntegerViewListRec {
  std::int32_t Key;
  void* View;
};

// Option $20: views of deleted items are unmapped through Unmap.
class TIntegerViewList : public TCustomList {
 public:
  explicit TIntegerViewList(std::uint16_t options = 0, TUnmapViewFunc unmap = nullptr);
  const char* ClassName() const override { return "TIntegerViewList"; }
  ~TIntegerViewList() override { Destroy(); }
  void FinalizeItem(void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::int32_t key, void* view);
  void Insert(int index, std::int32_t key, void* view);
  int IndexOf(std::int32_t key);
  std::int32_t Keys(int index) const { return Rec(index).Key; }
  void* Views(int index) const { return Rec(index).View; }

 private:
  const TIntegerViewListRec& Rec(int index) const { return *static_cast<TIntegerViewListRec*>(CheckedItem(index)); }
  TUnmapViewFunc unmap_;
};

// 16 bytes on the wire: Key (8), Value (4), 4 zero bytes.
struct TInt64IntegerRec {
  std::int64_t Key;
  std::int32_t Value;
  std::uint32_t Padding;
};
static_assert(sizeof(TInt64IntegerRec) == 16);

class TPointer64IntegerList : public TCustomList {
 public:
  explicit TPointer64IntegerList(std::uint16_t options = 0) : TCustomList(options, sizeof(TInt64IntegerRec)) {}
  const char* ClassName() const override { return "TPointer64IntegerList"; }
  ~TPointer64IntegerList() override { Destroy(); }
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;
  void LoadFromStream(TStream& stream) override;

  int Add(std::int64_t key, std::int32_t value);
  int IndexOf(std::int64_t key);
  std::int64_t Keys(int index) const { return Rec(index).Key; }
  std::int32_t Values(int index) const { return Rec(index).Value; }

 private:
  const TInt64IntegerRec& Rec(int index) const { return *static_cast<TInt64IntegerRec*>(CheckedItem(index)); }
};

// Values are 64-bit: the block map of the compressed container keeps
// positions in its source there, which pass 2 GiB in large containers.
struct TInt64IntegerMapRec {
  std::int64_t Key;
  std::int64_t Value;
};
static_assert(sizeof(TInt64IntegerMapRec) == 16);

class TInt64IntegerMap : public TCustomList {
 public:
  explicit TInt64IntegerMap(std::uint16_t options = 0) : TCustomList(options, sizeof(TInt64IntegerMapRec)) {}
  const char* ClassName() const override { return "TInt64IntegerMap"; }
  ~TInt64IntegerMap() override { Destroy(); }
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(std::int64_t value, std::int64_t key);
  bool Find(std::int64_t key, int& index);
  int IndexOf(std::int64_t key);
  std::int64_t Keys(int index) const { return Rec(index).Key; }
  std::int64_t Values(int index) const { return Rec(index).Value; }

 private:
  const TInt64IntegerMapRec& Rec(int index) const { return *static_cast<TInt64IntegerMapRec*>(CheckedItem(index)); }
};

struct TStringIntegerRec {
  std::string* Key;
  std::int32_t Value;
};

class TStringIntegerMap : public TCustomList {
 public:
  explicit TStringIntegerMap(std::uint16_t options = 0) : TCustomList(options, sizeof(TStringIntegerRec)) {
    SetHoldsReferences();
  }
  const char* ClassName() const override { return "TStringIntegerMap"; }
  ~TStringIntegerMap() override { Destroy(); }
  void FinalizeItem(void* item) override;
  void CopyItem(const void* source, void* target) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(const std::string& key, std::int32_t value);
  bool Find(const std::string& key, int& index);
  int IndexOf(const std::string& key);
  const std::string& Keys(int index) const;
  std::int32_t Values(int index) const { return static_cast<TStringIntegerRec*>(CheckedItem(index))->Value; }
  void SetValue(int index, std::int32_t value) { static_cast<TStringIntegerRec*>(CheckedItem(index))->Value = value; }
};

// Notification record of the main-thread queue: Source (the key, by
// address), the method called with the record, Data, the posting tick and
// the notification's name.
struct TNotifyQueueListRec {
  TObject* Source;
  TMethod Method;
  TObject* Data;
  std::uint32_t PostTick;
  std::uint32_t Reserved;
  std::string* Name;
};

class TNotifyQueueList : public TCustomList {
 public:
  explicit TNotifyQueueList(std::uint16_t options = 0) : TCustomList(options, sizeof(TNotifyQueueListRec)) {
    SetHoldsReferences();
  }
  const char* ClassName() const override { return "TNotifyQueueList"; }
  ~TNotifyQueueList() override { Destroy(); }
  void FinalizeItem(void* item) override;
  void CopyItem(const void* source, void* target) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(TObject* source, const TMethod& method, TObject* data, std::uint32_t post_tick, std::string_view name);
  void MoveItemsFrom(TNotifyQueueList& other) { TCustomList::MoveItemsFrom(other); }
  TNotifyQueueListRec& Items(int index) { return *static_cast<TNotifyQueueListRec*>(CheckedItem(index)); }
  TObject* Data(int index) { return Items(index).Data; }
  const std::string& Name(int index);
  // Removes every record of Source.
  int Remove(TObject* source);
};

class TNotifyTimerList : public TCustomList {
 public:
  struct Rec {
    TMethod Key;
    std::uint32_t Value1, Value2;
  };
  explicit TNotifyTimerList(std::uint16_t options = 0) : TCustomList(options, sizeof(Rec)) {}
  const char* ClassName() const override { return "TNotifyTimerList"; }
  ~TNotifyTimerList() override { Destroy(); }
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  int Add(const TMethod& key, std::uint32_t value1, std::uint32_t value2);
  int IndexOf(const TMethod& key);
  const TMethod& Key(int index) const { return At(index).Key; }
  void SetKey(int index, const TMethod& key);
  std::uint32_t Value1(int index) const { return At(index).Value1; }
  void SetValue1(int index, std::uint32_t v) { At(index).Value1 = v; }
  std::uint32_t Value2(int index) const { return At(index).Value2; }
  void SetValue2(int index, std::uint32_t v) { At(index).Value2 = v; }

 private:
  Rec& At(int index) const { return *static_cast<Rec*>(CheckedItem(index)); }
};

// ---------------------------------------------------------------------------
// Hash tables

struct TGuidListExRec {
  TGUID Guid;
  TObject* Object;
};

class TGuidListEx_HashTable : public TCustomHashTable {
 public:
  TGuidListEx_HashTable(int duplicates, std::uint16_t options, int bits, THashFunc hash = FirstWordHash)
      : TCustomHashTable(duplicates, options, bits, hash, sizeof(TGuidListExRec)) {}
  const char* ClassName() const override { return "TGuidListEx_HashTable"; }
  ~TGuidListEx_HashTable() override { Destroy(); }
  void FinalizeItem(void* item) override;
  std::uint32_t HashItem(THashFunc hash, const void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  void Add(const TGUID& guid, TObject* object);
  TGuidListExRec* Find(const TGUID& guid);
  TObject* ObjectOf(const TGUID& guid);
};

struct TStringIntegerIntegerRec {
  std::string* Key;
  std::int32_t Value1, Value2;
};

class TStringIntegerIntegerMap_HashTable : public TCustomHashTable {
 public:
  TStringIntegerIntegerMap_HashTable(int duplicates, std::uint16_t options, int bits,
                                     THashFunc hash = StringHash10)
      : TCustomHashTable(duplicates, options, bits, hash, sizeof(TStringIntegerIntegerRec)) {}
  const char* ClassName() const override { return "TStringIntegerIntegerMap_HashTable"; }
  ~TStringIntegerIntegerMap_HashTable() override { Destroy(); }
  void FinalizeItem(void* item) override;
  void CopyItem(const void* source, void* target) override;
  std::uint32_t HashItem(THashFunc hash, const void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  void Add(const std::string& key, std::int32_t value1, std::int32_t value2);
  TStringIntegerIntegerRec* Find(const std::string& key);
};

struct TStringInt64ObjectRec {
  std::string* Key;
  std::int64_t Value;
  TObject* Object;
};

class TStringInt64ObjectMap_HashTable : public TCustomHashTable {
 public:
  TStringInt64ObjectMap_HashTable(int duplicates, std::uint16_t options, int bits, THashFunc hash = StringHash10)
      : TCustomHashTable(duplicates, options, bits, hash, sizeof(TStringInt64ObjectRec)) {}
  const char* ClassName() const override { return "TStringInt64ObjectMap_HashTable"; }
  ~TStringInt64ObjectMap_HashTable() override { Destroy(); }
  void FinalizeItem(void* item) override;
  void CopyItem(const void* source, void* target) override;
  std::uint32_t HashItem(THashFunc hash, const void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  void Add(const std::string& key, std::int64_t value, TObject* object);
  TStringInt64ObjectRec* Find(const std::string& key);
};

struct TIntegerIntegerRec {
  std::int32_t Key, Value;
};

class TIntegerIntegerMap_HashTable : public TCustomHashTable {
 public:
  TIntegerIntegerMap_HashTable(int duplicates, std::uint16_t options, int bits, THashFunc hash = FirstWordHash)
      : TCustomHashTable(duplicates, options, bits, hash, sizeof(TIntegerIntegerRec)) {}
  const char* ClassName() const override { return "TIntegerIntegerMap_HashTable"; }
  ~TIntegerIntegerMap_HashTable() override { Destroy(); }
  std::uint32_t HashItem(THashFunc hash, const void* item) override;
  int CompareItems(const void* a, const void* b) override;
  bool SameItems(const void* a, const void* b) override;

  void Add(std::int32_t key, std::int32_t value);
  TIntegerIntegerRec* Find(std::int32_t key);
  std::int32_t Lookup(std::int32_t key, std::int32_t default_value);
};

}  // namespace vt
