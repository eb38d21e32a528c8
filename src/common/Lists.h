// Record containers of fixed-size items: a contiguous list that may be kept
// sorted, and a chained hash table. Typed descendants (TypedLists.h) fill
// the item-strategy operations; records are moved as raw bytes, so a record
// may hold only relocatable fields (integers, pointers, owned pointers).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/Classes.h"

namespace vt {

class TVirtualStream;

// Options of TCustomList (and, for $10 and $100, of TCustomHashTable).
enum : std::uint16_t {
  loSorted = 0x1,
  loDupError = 0x2,
  loDupAccept = 0x4,
  loDupIgnore = 0x8,
  loOwnsObjects = 0x10,
  loOwnsViews = 0x20,
  loStreamStorage = 0x80,  // item storage is an owned TVirtualStream
  loIgnoreCase = 0x100,
  loHashed = 0x200,         // not accepted by the constructor
  loKeyFieldsFixed = 0x400,  // set for sorted lists: keys are not changed in place
};

// Duplicates modes.
enum : int { dupIgnore = 0, dupAccept = 1, dupError = 2 };

// Hash function of a table: a plain function of the item's key field.
using THashFunc = std::uint32_t (*)(const void* key);

class TCustomList : public TObject {
 public:
  TCustomList(std::uint16_t options, int item_size);
  ~TCustomList() override;
  TCustomList(const TCustomList&) = delete;
  TCustomList& operator=(const TCustomList&) = delete;

  virtual const char* ClassName() const { return "TCustomList"; }

  // Item strategy.
  virtual void FinalizeItem(void* item);
  virtual void CopyItem(const void* source, void* target);
  virtual std::uint32_t HashItem(THashFunc hash, const void* item);
  virtual int CompareItems(const void* a, const void* b) = 0;
  virtual bool SameItems(const void* a, const void* b) = 0;
  virtual int ItemSize() const { return item_size_; }
  // Clear, then copies of Source's items (same class).
  virtual void Assign(TCustomList& source);

  void Clear();
  void Delete(int index);
  void DeleteFirst();
  void DeleteLast();
  // A new, uninitialized record at Index; the caller fills it.
  void* InsertSlot(int index);
  // Bisection search of a sorted list: true when an equal item exists;
  // Index is its position or the insertion point.
  bool Find(const void* key, int& index);
  int IndexOf(const void* key);
  int Remove(const void* key);
  void Move(int from_index, int to_index);
  void SetCapacity(int capacity);
  void InsertList(TCustomList& other, int index);
  void MoveItemsFrom(TCustomList& other);
  bool Equals(TCustomList& other);
  virtual void SaveToStream(TStream& stream);
  virtual void LoadFromStream(TStream& stream);

  int Count() const { return count_; }
  int Capacity() const { return capacity_; }
  bool IsEmpty() const { return count_ == 0; }
  std::uint16_t Options() const { return options_; }
  int Duplicates() const { return duplicates_; }
  bool Sorted() const { return (options_ & loSorted) != 0; }
  bool IgnoreCase() const { return (options_ & loIgnoreCase) != 0; }

 protected:
  void* ItemAt(int index) const { return items_ + static_cast<std::size_t>(index) * item_size_; }
  // ItemAt after the index check.
  void* CheckedItem(int index) const;
  [[noreturn]] void IndexError(int index) const;
  [[noreturn]] void Fail(std::string_view text) const;
  // The typed-Add rule: answers the index of the record to fill (Slot set)
  // or of the existing equal item (Slot nullptr).
  int AddRecord(const void* key, void*& slot);
  // Raises when key fields may not be changed in place.
  void CheckKeyChange() const;
  // Records of this list hold references (strings, objects, views): never
  // streamed raw.
  void SetHoldsReferences() { holds_references_ = true; }
  // Every typed descendant calls Destroy in its destructor, so that its
  // own item finalization and class name are still in force.
  void Destroy();
  void SetGuard(std::uint32_t guard) { guard_ = guard; }

 private:
  void CheckGuard(int line) const;
  // The asserts and refusals of copying Other's items in.
  void CheckCopyFrom(TCustomList& other) const;
  void Grow();
  void SetStorage(int capacity);

  std::uint32_t guard_;
  int count_ = 0;
  int capacity_ = 0;
  int item_size_;
  char* items_ = nullptr;
  std::uint16_t options_;
  int duplicates_ = dupIgnore;
  TVirtualStream* stream_ = nullptr;
  bool holds_references_ = false;
  bool destroyed_ = false;
};

class TCustomHashTable : public TObject {
 public:
  TCustomHashTable(int duplicates, std::uint16_t options, int bits, THashFunc hash, int item_size);
  ~TCustomHashTable() override;
  TCustomHashTable(const TCustomHashTable&) = delete;
  TCustomHashTable& operator=(const TCustomHashTable&) = delete;

  virtual const char* ClassName() const { return "TCustomHashTable"; }

  virtual void FinalizeItem(void* item);
  virtual void CopyItem(const void* source, void* target);
  virtual std::uint32_t HashItem(THashFunc hash, const void* item) = 0;
  virtual int CompareItems(const void* a, const void* b) = 0;
  virtual bool SameItems(const void* a, const void* b) = 0;
  virtual int ItemSize() const { return item_size_; }
  // Clears keeping the buckets, then copies Source's chains in order.
  virtual void Assign(TCustomHashTable& source);

  void Clear(bool keep_buckets = false);
  // Visits every item (buckets from last to first, chains in order) until
  // the callback answers false; the callback may delete the item it is
  // given (DeleteItem), and any other change to the table raises an
  // assertion failure. Answers false when stopped.
  bool ForEach(const std::function<bool(void* item)>& callback);
  // Removes one item (a pointer the table gave out).
  void DeleteItem(void* item);
  // The first item equal to Key, or nullptr.
  void* FindItem(const void* key);

  int Count() const { return count_; }
  bool IsEmpty() const { return count_ == 0; }
  int BucketCount() const { return static_cast<int>(mask_ + 1); }
  int Duplicates() const { return duplicates_; }
  std::uint16_t Options() const { return options_; }
  bool IgnoreCase() const { return (options_ & loIgnoreCase) != 0; }
  THashFunc HashFunction() const { return hash_; }

 protected:
  // The typed-Add rule: a new record to fill (then Link it), or nullptr
  // when an equal item exists and duplicates are ignored.
  void* NewItem(const void* key);
  // Enters a filled new record in its bucket.
  void Link(void* item);
  // Gives an unfilled new record back.
  void Discard(void* item);
  [[noreturn]] void Fail(std::string_view text) const;
  // As TCustomList::Destroy.
  void Destroy();
  void SetGuard(std::uint32_t guard) { guard_ = guard; }

 private:
  struct Node {
    Node* next;
  };
  static constexpr std::size_t kLink = sizeof(Node);
  static void* ItemOf(Node* n) { return reinterpret_cast<char*>(n) + kLink; }
  static Node* NodeOf(void* item) { return reinterpret_cast<Node*>(static_cast<char*>(item) - kLink); }

  void CheckGuard(int line) const;
  Node* AllocNode();
  void AddBlock(std::size_t nodes);
  Node** Bucket(const void* item);
  void EnsureBuckets();

  std::uint32_t guard_;
  std::uint16_t options_;
  int duplicates_;
  int count_ = 0;
  std::size_t node_size_;
  int item_size_;
  void* blocks_ = nullptr;
  Node* free_ = nullptr;
  Node** buckets_ = nullptr;
  std::uint32_t mask_;
  THashFunc hash_;
  std::uint64_t changes_ = 0;       // links, deletions and clears
  const Node* last_deleted_ = nullptr;
  bool destroyed_ = false;
};

// Case-insensitive 10-bit hash (0 .. 1023) of a string.
std::uint32_t StringHash10(std::string_view s);
inline std::uint32_t StringHash10(const char* s) { return StringHash10(std::string_view(s)); }
inline std::uint32_t StringHash10(const std::string& s) { return StringHash10(std::string_view(s)); }
// The hash-function form for tables whose key field is a std::string.
std::uint32_t StringHash10(const void* key);
// The key's first 32-bit word (GUIDs and integers).
std::uint32_t FirstWordHash(const void* key);

// Byte order, or ASCII letters folded to upper case.
int CompareKeyStrings(std::string_view a, std::string_view b, bool ignore_case);
bool SameKeyStrings(std::string_view a, std::string_view b, bool ignore_case);

}  // namespace vt
