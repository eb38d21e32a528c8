#include "common/Lists.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <typeinfo>

#include "common/StreamUtils.h"

namespace vt {

namespace {

constexpr const char* kUnit = "Lists";
constexpr std::uint32_t kListGuard = 0x56AB84FD;
constexpr std::uint32_t kTableGuard = 0x427FDC1F;
constexpr int kMaxCount = 0x7FFFFFFF;

// Runs every step, keeps the first exception and raises it at the end.
class FirstError {
 public:
  template <typename F>
  void Run(F&& f) {
    try {
      f();
    } catch (...) {
      if (!error_) error_ = std::current_exception();
    }
  }
  void Rethrow() {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::exception_ptr error_;
};

}  // namespace

// ---------------------------------------------------------------------------
// TCustomList

TCustomList::TCustomList(std::uint16_t options, int item_size)
    : guard_(kListGuard), item_size_(item_size), options_(options) {
  VT_ASSERT_AT((options & (loHashed | loKeyFieldsFixed)) == 0, kUnit, 376);
  VT_ASSERT_AT(item_size > 0, kUnit, 377);
  if (options & loDupError) {
    VT_ASSERT_AT((options & (loDupAccept | loDupIgnore)) == 0, kUnit, 383);
    duplicates_ = dupError;
  }
  if (options & loDupAccept) {
    VT_ASSERT_AT((options & (loDupError | loDupIgnore)) == 0, kUnit, 388);
    duplicates_ = dupAccept;
  }
  if (options & loDupIgnore) {
    VT_ASSERT_AT((options & (loDupError | loDupAccept)) == 0, kUnit, 393);
    duplicates_ = dupIgnore;
  }
  options_ &= static_cast<std::uint16_t>(~(loDupError | loDupAccept | loDupIgnore));
  if (options_ & loSorted) options_ |= loKeyFieldsFixed;
  if (options_ & loStreamStorage) stream_ = new TVirtualStream();
}

TCustomList::~TCustomList() {
  if (!destroyed_) Destroy();
  delete stream_;
}

void TCustomList::Destroy() {
  destroyed_ = true;
  if (guard_ != kListGuard) {
    AssertionFailed(kUnit, 440,
                    (std::string(ClassName()) + " <- memory overwrite or redundant object destruction detected").c_str());
  }
  Clear();
  guard_ = 0;
}

void TCustomList::CheckGuard(int line) const {
  if (guard_ != kListGuard) {
    AssertionFailed(kUnit, line, (std::string(ClassName()) + " <- memory overwrite detected").c_str());
  }
}

void TCustomList::Fail(std::string_view text) const {
  throw Exception(std::string(ClassName()) + ": " + std::string(text));
}

void TCustomList::IndexError(int index) const {
  throw EListError(std::string(ClassName()) + ": " + Format("List index out of bounds (%d)", index));
}

void* TCustomList::CheckedItem(int index) const {
  if (index < 0 || index >= count_) IndexError(index);
  return ItemAt(index);
}

void TCustomList::CheckKeyChange() const {
  if (options_ & loKeyFieldsFixed) Fail("Cannot set value of an index field in a sorted/hashed list");
}

void TCustomList::FinalizeItem(void*) {}

void TCustomList::CopyItem(const void* source, void* target) {
  std::memcpy(target, source, static_cast<std::size_t>(item_size_));
}

std::uint32_t TCustomList::HashItem(THashFunc, const void*) { return 0; }

void TCustomList::SetStorage(int capacity) {
  const std::size_t bytes = static_cast<std::size_t>(capacity) * static_cast<std::size_t>(item_size_);
  if (stream_ != nullptr) {
    stream_->SetSize(static_cast<std::int64_t>(bytes));
    items_ = static_cast<char*>(stream_->Memory());
  } else if (capacity == 0) {
    std::free(items_);
    items_ = nullptr;
  } else {
    void* p = std::realloc(items_, bytes);
    if (p == nullptr) throw EListError(std::string(ClassName()) + ": Out of memory");
    items_ = static_cast<char*>(p);
  }
  capacity_ = capacity;
}

void TCustomList::SetCapacity(int capacity) {
  if (capacity < count_) IndexError(capacity);
  if (capacity != capacity_) SetStorage(capacity);
}

void TCustomList::Grow() {
  std::int64_t c = capacity_;
  if (c < 9) {
    c += 4;
  } else if (c < 65) {
    c += 16;
  } else {
    c *= 2;
  }
  if (c > kMaxCount) c = kMaxCount;
  if (c <= capacity_) IndexError(count_);
  SetStorage(static_cast<int>(c));
}

void* TCustomList::InsertSlot(int index) {
  CheckGuard(529);
  if (index < 0 || index > count_) IndexError(index);
  if (count_ == capacity_) Grow();
  char* p = static_cast<char*>(ItemAt(index));
  if (index < count_) {
    std::memmove(p + item_size_, p, static_cast<std::size_t>(count_ - index) * item_size_);
  }
  ++count_;
  return p;
}

void TCustomList::Delete(int index) {
  CheckGuard(411);
  if (index < 0 || index >= count_) IndexError(index);
  // Take the record out first, so a failing finalization leaves a sound list.
  std::unique_ptr<char[]> record(new char[item_size_]);
  char* p = static_cast<char*>(ItemAt(index));
  std::memcpy(record.get(), p, static_cast<std::size_t>(item_size_));
  --count_;
  if (index < count_) std::memmove(p, p + item_size_, static_cast<std::size_t>(count_ - index) * item_size_);
  if (count_ == 0) SetStorage(0);
  FinalizeItem(record.get());
}

void TCustomList::DeleteFirst() { Delete(0); }
void TCustomList::DeleteLast() { Delete(count_ - 1); }

void TCustomList::Clear() {
  CheckGuard(349);
  FirstError errors;
  const int n = count_;
  count_ = 0;
  for (int i = 0; i < n; ++i) errors.Run([&] { FinalizeItem(ItemAt(i)); });
  SetStorage(0);
  errors.Rethrow();
}

bool TCustomList::Find(const void* key, int& index) {
  int lo = 0, hi = count_ - 1;
  bool result = false;
  while (lo <= hi) {
    const int mid = static_cast<int>((static_cast<unsigned>(lo) + static_cast<unsigned>(hi)) >> 1);
    const int r = CompareItems(ItemAt(mid), key);
    if (r < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (r == 0) {
        result = true;
        if (duplicates_ != dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return result;
}

int TCustomList::IndexOf(const void* key) {
  if (Sorted()) {
    int lo = 0, hi = count_ - 1;
    while (lo <= hi) {
      const int mid = static_cast<int>((static_cast<unsigned>(lo) + static_cast<unsigned>(hi)) >> 1);
      const int r = CompareItems(ItemAt(mid), key);
      if (r == 0) return mid;
      if (r < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
      }
    }
    return -1;
  }
  for (int i = 0; i < count_; ++i) {
    if (SameItems(ItemAt(i), key)) return i;
  }
  return -1;
}

int TCustomList::Remove(const void* key) {
  int removed = 0;
  if (!Sorted()) {
    for (int i = count_ - 1; i >= 0; --i) {
      if (SameItems(ItemAt(i), key)) {
        Delete(i);
        ++removed;
      }
    }
    return removed;
  }
  const int found = IndexOf(key);
  if (found < 0) return 0;
  Delete(found);
  ++removed;
  while (found < count_ && SameItems(ItemAt(found), key)) {
    Delete(found);
    ++removed;
  }
  for (int i = found - 1; i >= 0; --i) {
    if (SameItems(ItemAt(i), key)) {
      Delete(i);
      ++removed;
    }
  }
  return removed;
}

void TCustomList::Move(int from_index, int to_index) {
  if (from_index < 0 || from_index >= count_) IndexError(from_index);
  if (to_index < 0 || to_index >= count_) IndexError(to_index);
  if (from_index == to_index) return;
  std::unique_ptr<char[]> record(new char[item_size_]);
  std::memcpy(record.get(), ItemAt(from_index), static_cast<std::size_t>(item_size_));
  char* from = static_cast<char*>(ItemAt(from_index));
  char* to = static_cast<char*>(ItemAt(to_index));
  if (from_index < to_index) {
    std::memmove(from, from + item_size_, static_cast<std::size_t>(to_index - from_index) * item_size_);
  } else {
    std::memmove(to + item_size_, to, static_cast<std::size_t>(from_index - to_index) * item_size_);
  }
  std::memcpy(to, record.get(), static_cast<std::size_t>(item_size_));
}

void TCustomList::CheckCopyFrom(TCustomList& other) const {
  VT_ASSERT_AT(typeid(other) == typeid(*this), kUnit, 800);
  if (Sorted()) {
    VT_ASSERT_AT(other.Sorted(), kUnit, 803);
    VT_ASSERT_AT(other.IgnoreCase() == IgnoreCase(), kUnit, 804);
  }
  if ((options_ & other.options_ & (loOwnsObjects | loOwnsViews)) != 0) Fail("Cannot copy owned objects");
}

void TCustomList::InsertList(TCustomList& other, int index) {
  VT_ASSERT_AT(&other != this, kUnit, 795);
  if (index < 0 || index > count_) IndexError(index);
  CheckCopyFrom(other);
  const int n = other.count_;
  if (n == 0) return;
  if (static_cast<std::int64_t>(count_) + n > kMaxCount) IndexError(count_ + n);
  if (count_ + n > capacity_) SetStorage(count_ + n);
  // Open the gap, copy into it, and close what is left of it on failure.
  char* gap = static_cast<char*>(ItemAt(index));
  const std::size_t tail = static_cast<std::size_t>(count_ - index) * item_size_;
  std::memmove(gap + static_cast<std::size_t>(n) * item_size_, gap, tail);
  int done = 0;
  try {
    for (; done < n; ++done) CopyItem(other.ItemAt(done), gap + static_cast<std::size_t>(done) * item_size_);
  } catch (...) {
    std::memmove(gap + static_cast<std::size_t>(done) * item_size_, gap + static_cast<std::size_t>(n) * item_size_,
                 tail);
    count_ += done;
    throw;
  }
  count_ += n;
}

void TCustomList::MoveItemsFrom(TCustomList& other) {
  VT_ASSERT_AT(typeid(other) == typeid(*this), kUnit, 324);
  if (Sorted()) Fail("Cannot add multiple items to a sorted list.");
  if (&other == this || other.count_ == 0) return;
  const int n = other.count_;
  if (static_cast<std::int64_t>(count_) + n > kMaxCount) IndexError(count_ + n);
  if (count_ + n > capacity_) SetStorage(count_ + n);
  std::memcpy(ItemAt(count_), other.items_, static_cast<std::size_t>(n) * item_size_);
  count_ += n;
  other.count_ = 0;
  other.SetStorage(0);
}

bool TCustomList::Equals(TCustomList& other) {
  VT_ASSERT_AT(typeid(other) == typeid(*this), kUnit, 891);
  if (count_ != other.count_) return false;
  for (int i = 0; i < count_; ++i) {
    if (!SameItems(ItemAt(i), other.ItemAt(i))) return false;
  }
  return true;
}

void TCustomList::Assign(TCustomList& source) {
  if (&source == this) return;
  CheckCopyFrom(source);  // a refused copy leaves the list as it was
  Clear();
  InsertList(source, 0);
}

int TCustomList::AddRecord(const void* key, void*& slot) {
  slot = nullptr;
  int index = count_;
  if (Sorted()) {
    if (Find(key, index)) {
      if (duplicates_ == dupIgnore) return index;
      if (duplicates_ == dupError) Fail("List does not allow duplicates.");
    }
  }
  slot = InsertSlot(index);
  return index;
}

void TCustomList::SaveToStream(TStream& stream) {
  if (holds_references_) Fail("Cannot stream items that hold references");
  WriteCompactLength(stream, count_);
  stream.WriteBuffer(items_, static_cast<std::int64_t>(count_) * item_size_);
}

void TCustomList::LoadFromStream(TStream& stream) {
  if (holds_references_) Fail("Cannot stream items that hold references");
  Clear();
  const std::int64_t n = ReadCompactLength(stream);
  // Bytes in memory are counted before anything is allocated. Other streams
  // need not know their size: room grows with the records that arrive, so a
  // count that claims more than comes costs little.
  auto* memory = dynamic_cast<TCustomMemoryStream*>(&stream);
  if (memory != nullptr && n * item_size_ > memory->Size() - memory->Position()) throw EReadError();
  const std::int64_t first = memory != nullptr ? n : std::max<std::int64_t>(65536 / item_size_, 1);
  try {
    for (std::int64_t got = 0; got < n;) {
      const std::int64_t upto = std::min(n, got + std::max(first, got));
      SetCapacity(static_cast<int>(upto));
      ReadExact(stream, items_ + got * item_size_, (upto - got) * item_size_);
      got = upto;
    }
  } catch (...) {
    Clear();
    throw;
  }
  count_ = static_cast<int>(n);
}

// ---------------------------------------------------------------------------
// TCustomHashTable

TCustomHashTable::TCustomHashTable(int duplicates, std::uint16_t options, int bits, THashFunc hash, int item_size)
    : guard_(kTableGuard), options_(options), duplicates_(duplicates), item_size_(item_size), hash_(hash) {
  VT_ASSERT_AT(duplicates >= dupIgnore && duplicates <= dupError, kUnit, 1330);
  VT_ASSERT_AT(bits >= 0 && bits <= 24 && hash != nullptr && item_size > 0, kUnit, 1331);
  node_size_ = (kLink + static_cast<std::size_t>(item_size) + alignof(std::max_align_t) - 1) &
               ~(alignof(std::max_align_t) - 1);
  mask_ = (std::uint32_t{1} << bits) - 1;
}

TCustomHashTable::~TCustomHashTable() {
  if (!destroyed_) Destroy();
}

void TCustomHashTable::Destroy() {
  destroyed_ = true;
  if (guard_ != kTableGuard) {
    AssertionFailed(kUnit, 1437,
                    (std::string(ClassName()) + " <- memory overwrite or redundant object destruction detected").c_str());
  }
  Clear(false);
  guard_ = 0;
}

void TCustomHashTable::CheckGuard(int line) const {
  if (guard_ != kTableGuard) {
    AssertionFailed(kUnit, line, (std::string(ClassName()) + " <- memory overwrite detected").c_str());
  }
}

void TCustomHashTable::Fail(std::string_view text) const {
  throw Exception(std::string(ClassName()) + ": " + std::string(text));
}

void TCustomHashTable::FinalizeItem(void*) {}

void TCustomHashTable::CopyItem(const void* source, void* target) {
  std::memcpy(target, source, static_cast<std::size_t>(item_size_));
}

void TCustomHashTable::AddBlock(std::size_t nodes) {
  // A block: link to the previous block, then the nodes.
  const std::size_t header = alignof(std::max_align_t);
  char* block = static_cast<char*>(std::malloc(header + nodes * node_size_));
  if (block == nullptr) Fail("Out of memory");
  *reinterpret_cast<void**>(block) = blocks_;
  blocks_ = block;
  for (std::size_t i = nodes; i-- > 0;) {
    Node* n = reinterpret_cast<Node*>(block + header + i * node_size_);
    n->next = free_;
    free_ = n;
  }
}

TCustomHashTable::Node* TCustomHashTable::AllocNode() {
  CheckGuard(1359);
  if (free_ == nullptr) AddBlock(count_ == 0 ? 4 : static_cast<std::size_t>(std::min(count_, 128)));
  Node* n = free_;
  free_ = n->next;
  n->next = nullptr;
  return n;
}

void TCustomHashTable::EnsureBuckets() {
  if (buckets_ != nullptr) return;
  buckets_ = static_cast<Node**>(std::calloc(static_cast<std::size_t>(mask_) + 1, sizeof(Node*)));
  if (buckets_ == nullptr) Fail("Out of memory");
}

TCustomHashTable::Node** TCustomHashTable::Bucket(const void* item) {
  return &buckets_[HashItem(hash_, item) & mask_];
}

void* TCustomHashTable::FindItem(const void* key) {
  if (count_ == 0 || buckets_ == nullptr) return nullptr;
  for (Node* n = *Bucket(key); n != nullptr; n = n->next) {
    if (SameItems(ItemOf(n), key)) return ItemOf(n);
  }
  return nullptr;
}

void* TCustomHashTable::NewItem(const void* key) {
  if (duplicates_ != dupAccept && FindItem(key) != nullptr) {
    if (duplicates_ == dupError) Fail("Hashtable does not allow duplicates.");
    return nullptr;
  }
  if (count_ == 0x7FFFFFFF) Fail("Out of memory");
  EnsureBuckets();
  return ItemOf(AllocNode());
}

void TCustomHashTable::Link(void* item) {
  Node* n = NodeOf(item);
  Node** head = Bucket(item);
  n->next = *head;
  *head = n;
  ++count_;
  ++changes_;
}

void TCustomHashTable::Discard(void* item) {
  Node* n = NodeOf(item);
  n->next = free_;
  free_ = n;
}

void TCustomHashTable::DeleteItem(void* item) {
  CheckGuard(1359);
  Node* target = NodeOf(item);
  VT_ASSERT_AT(buckets_ != nullptr, kUnit, 1700);
  for (Node** link = Bucket(item); *link != nullptr; link = &(*link)->next) {
    if (*link == target) {
      *link = target->next;
      --count_;
      ++changes_;
      last_deleted_ = target;
      target->next = free_;
      free_ = target;
      FinalizeItem(item);
      return;
    }
  }
  AssertionFailed(kUnit, 1710);
}

void TCustomHashTable::Clear(bool keep_buckets) {
  CheckGuard(1525);
  FirstError errors;
  if (buckets_ == nullptr) {
    VT_ASSERT_AT(count_ == 0, kUnit, 1549);
  } else {
    for (std::uint32_t b = mask_ + 1; b-- > 0;) {
      for (Node* n = buckets_[b]; n != nullptr; n = n->next) errors.Run([&] { FinalizeItem(ItemOf(n)); });
    }
    if (keep_buckets) {
      std::memset(buckets_, 0, (static_cast<std::size_t>(mask_) + 1) * sizeof(Node*));
    } else {
      std::free(buckets_);
      buckets_ = nullptr;
    }
  }
  while (blocks_ != nullptr) {
    void* next = *static_cast<void**>(blocks_);
    std::free(blocks_);
    blocks_ = next;
  }
  free_ = nullptr;
  count_ = 0;
  ++changes_;
  errors.Rethrow();
}

bool TCustomHashTable::ForEach(const std::function<bool(void* item)>& callback) {
  if (buckets_ == nullptr) return true;
  for (std::uint32_t b = mask_ + 1; b-- > 0;) {
    for (Node* n = buckets_[b]; n != nullptr;) {
      Node* next = n->next;
      const std::uint64_t before = changes_;
      last_deleted_ = nullptr;  // a node deleted earlier may be this one again
      const bool go_on = callback(ItemOf(n));
      // Only the deletion of the item given is allowed: after any other
      // change Next may be freed or reused.
      if (changes_ != before)
        VT_ASSERT_AT(changes_ == before + 1 && last_deleted_ == n && buckets_ != nullptr, kUnit, 1756);
      if (!go_on) return false;
      n = next;
    }
  }
  return true;
}

void TCustomHashTable::Assign(TCustomHashTable& source) {
  if (&source == this) return;
  VT_ASSERT_AT(typeid(source) == typeid(*this), kUnit, 1794);
  VT_ASSERT_AT(source.mask_ == mask_, kUnit, 1795);
  VT_ASSERT_AT(source.node_size_ == node_size_, kUnit, 1796);
  VT_ASSERT_AT(source.hash_ == hash_, kUnit, 1797);
  if ((options_ & source.options_ & loOwnsObjects) != 0) Fail("Cannot copy owned objects");
  Clear(true);
  if (source.count_ == 0 || source.buckets_ == nullptr) return;
  EnsureBuckets();
  AddBlock(static_cast<std::size_t>(source.count_));
  for (std::uint32_t b = 0; b <= mask_; ++b) {
    Node** tail = &buckets_[b];
    for (Node* s = source.buckets_[b]; s != nullptr; s = s->next) {
      Node* n = free_;
      free_ = n->next;
      n->next = nullptr;
      try {
        CopyItem(ItemOf(s), ItemOf(n));
      } catch (...) {
        n->next = free_;
        free_ = n;
        throw;
      }
      *tail = n;
      tail = &n->next;
      ++count_;
    }
  }
}

// ---------------------------------------------------------------------------
// Hash functions and key strings

std::uint32_t StringHash10(std::string_view s) {
  if (s.empty()) return 0;
  const auto len = static_cast<std::int64_t>(s.size());
  auto h = static_cast<std::uint32_t>(len - 2);
  // Words start below len - 2, so a word reaches at most the byte after the
  // text (the terminating zero).
  for (std::int64_t off = 0; off < len - 2; off += 4) {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) {
      const std::int64_t at = off + i;
      const std::uint8_t b = at < len ? static_cast<std::uint8_t>(s[static_cast<std::size_t>(at)]) : 0;
      w |= std::uint32_t{b} << (8 * i);
    }
    h ^= w;
  }
  h &= 0xDFDFDFDFu;
  return ((h >> 10) + h + (h >> 20)) & 0x3FFu;
}

std::uint32_t StringHash10(const void* key) { return StringHash10(*static_cast<const std::string*>(key)); }

std::uint32_t FirstWordHash(const void* key) {
  std::uint32_t w;
  std::memcpy(&w, key, sizeof w);
  return w;
}

namespace {
inline unsigned char UpAscii(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }
}  // namespace

int CompareKeyStrings(std::string_view a, std::string_view b, bool ignore_case) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (ignore_case) {
      x = UpAscii(x);
      y = UpAscii(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameKeyStrings(std::string_view a, std::string_view b, bool ignore_case) {
  return a.size() == b.size() && CompareKeyStrings(a, b, ignore_case) == 0;
}

}  // namespace vt
