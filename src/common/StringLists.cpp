#include "common/StringLists.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "common/Objects.h"

namespace vt {

namespace {

constexpr const char* kIndexError = "List index out of bounds (%d)";
constexpr const char* kCapacityError = "List capacity out of bounds (%d)";
constexpr const char* kSortedError = "Operation not allowed on sorted string list";
constexpr const char* kDuplicateError = "String list does not allow duplicates";

inline unsigned char UpperAscii(unsigned char c) { return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c; }

int CompareBytes(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  if (n) {
    if (int c = std::memcmp(a.data(), b.data(), n)) return c < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

int CompareTextAscii(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = UpperAscii(static_cast<unsigned char>(a[i]));
    const unsigned char y = UpperAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

bool IsSwitchChar(char c) { return c == '-' || c == '/'; }

struct UpdateGuard {
  explicit UpdateGuard(TStrings& s) : strings(s) { strings.BeginUpdate(); }
  ~UpdateGuard() { strings.EndUpdate(); }
  TStrings& strings;
};

}  // namespace

// ---- TStrings ----

void TStrings::Error(const char* msg, std::int64_t data) { throw EStringListError(Format(msg, data)); }
void TStrings::Error(const char* msg) { throw EStringListError(msg); }

void TStrings::Put(int index, const std::string& s) {
  TObject* object = GetObject(index);
  Delete(index);
  Insert(index, s);
  PutObject(index, object);
}

void TStrings::SetCapacity(int) {}

int TStrings::Add(const std::string& s) {
  const int index = GetCount();
  Insert(index, s);
  return index;
}

int TStrings::AddObject(const std::string& s, TObject* object) {
  const int index = Add(s);
  PutObject(index, object);
  return index;
}

void TStrings::AddStrings(const TStrings& source) {
  UpdateGuard guard(*this);
  const int n = source.GetCount();
  for (int i = 0; i < n; ++i) AddObject(source.Get(i), source.GetObject(i));
}

void TStrings::Exchange(int index1, int index2) {
  std::string s = Get(index1);
  TObject* o = GetObject(index1);
  Put(index1, Get(index2));
  PutObject(index1, GetObject(index2));
  Put(index2, s);
  PutObject(index2, o);
}

int TStrings::IndexOf(const std::string& s) const {
  const int n = GetCount();
  for (int i = 0; i < n; ++i)
    if (SameTextAscii(Get(i), s)) return i;
  return -1;
}

// ---- TStringListEx ----

TStringListEx::TStringListEx(std::uint8_t options)
    : sorted_((options & sloSorted) != 0),
      duplicates_((options & sloDupIgnore)   ? TDuplicates::dupIgnore
                  : (options & sloDupError)  ? TDuplicates::dupError
                  : (options & sloDupAccept) ? TDuplicates::dupAccept
                                             : TDuplicates::dupIgnore),
      case_sensitive_((options & sloCaseSensitive) != 0),
      owns_objects_((options & sloOwnsObjects) != 0),
      flag6_((options & sloFlag6) != 0) {}

TStringListEx::~TStringListEx() { Clear(); }

int TStringListEx::CompareStrings(std::string_view a, std::string_view b) const {
  return case_sensitive_ ? CompareBytes(a, b) : CompareTextAscii(a, b);
}

void TStringListEx::CheckIndex(int index) const {
  if (index < 0 || index >= GetCount()) Error(kIndexError, index);
}

std::string TStringListEx::Get(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].str;
}

const std::string& TStringListEx::Ref(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].str;
}

TObject* TStringListEx::GetObject(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringListEx::Put(int index, const std::string& s) {
  if (sorted_) Error(kSortedError);
  CheckIndex(index);
  items_[static_cast<size_t>(index)].str = s;
}

void TStringListEx::PutObject(int index, TObject* object) {
  CheckIndex(index);
  TObject*& slot = items_[static_cast<size_t>(index)].object;
  TObject* old = slot;
  slot = object;
  if (owns_objects_ && old != object) delete old;
}

void TStringListEx::SetCapacity(int new_capacity) {
  if (new_capacity < GetCount()) Error(kCapacityError, new_capacity);
  items_.reserve(static_cast<size_t>(new_capacity));
  capacity_ = new_capacity;
}

void TStringListEx::Grow() {
  int delta = capacity_ > 64 ? capacity_ / 4 : (capacity_ > 8 ? 16 : 4);
  if (capacity_ > INT_MAX - delta) {
    if (capacity_ == INT_MAX) Error(kCapacityError, capacity_);
    delta = INT_MAX - capacity_;
  }
  SetCapacity(capacity_ + delta);
}

void TStringListEx::Reserve(std::int64_t needed) {
  if (needed <= capacity_) return;
  if (needed > INT_MAX) Error(kCapacityError, needed);
  std::int64_t c = 16;
  while (c < needed) c *= 2;
  SetCapacity(static_cast<int>(std::min<std::int64_t>(c, INT_MAX)));
}

void TStringListEx::InsertItem(int index, std::string s, TObject* object) {
  if (GetCount() == capacity_) Grow();
  items_.insert(items_.begin() + index, Item{std::move(s), object});
}

bool TStringListEx::Find(const std::string& s, int& index) const {
  int lo = 0;
  int hi = GetCount() - 1;
  bool found = false;
  while (lo <= hi) {
    const int mid = static_cast<int>((static_cast<unsigned>(lo) + static_cast<unsigned>(hi)) >> 1);
    const int c = CompareStrings(items_[static_cast<size_t>(mid)].str, s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        if (duplicates_ != TDuplicates::dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

// Sorted add; -1 - index when S was ignored as a duplicate.
int TStringListEx::AddSorted(const std::string& s, TObject* object) {
  int index = 0;
  if (Find(s, index)) {
    if (duplicates_ == TDuplicates::dupIgnore) return -1 - index;
    if (duplicates_ == TDuplicates::dupError) Error(kDuplicateError);
  }
  InsertItem(index, s, object);
  return index;
}

int TStringListEx::Add(const std::string& s) { return AddObject(s, nullptr); }

int TStringListEx::AddObject(const std::string& s, TObject* object) {
  if (!sorted_) {
    const int index = GetCount();
    InsertItem(index, s, object);
    return index;
  }
  const int index = AddSorted(s, object);
  if (index >= 0) return index;
  if (owns_objects_ && object != items_[static_cast<size_t>(-1 - index)].object) delete object;
  return -1 - index;
}

void TStringListEx::AddStrings(const TStrings& source) {
  if (source.GetCount() < 1) return;
  UpdateGuard guard(*this);
  AppendItems(source, {}, nullptr);
}

void TStringListEx::AddStringsEx(const TStrings& source, const TObjectMap& map, void* map_data) {
  UpdateGuard guard(*this);
  const auto* ex = dynamic_cast<const TStringListEx*>(&source);
  if (sorted_ && ex && ex->sorted_ && ex->case_sensitive_ == case_sensitive_) {
    MergeSorted(*ex, map, map_data);
    return;
  }
  AppendItems(source, map, map_data);
}

// Adds Source's items one by one (sorted lists by search), each object
// passed through Map (identity when empty).
void TStringListEx::AppendItems(const TStrings& source, const TObjectMap& map, void* map_data) {
  auto mapped = [&](TObject* o) { return map ? map(map_data, o) : o; };
  const int n = source.GetCount();
  std::vector<Item> copy;  // source may be this list
  copy.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) copy.push_back({source.Get(i), source.GetObject(i)});
  if (sorted_ && duplicates_ == TDuplicates::dupError) {
    // A duplicate raises before anything is added or mapped.
    std::vector<const std::string*> names;
    names.reserve(copy.size());
    for (const auto& item : copy) names.push_back(&item.str);
    std::sort(names.begin(), names.end(),
              [this](const std::string* a, const std::string* b) { return CompareStrings(*a, *b) < 0; });
    int index = 0;
    for (std::size_t i = 0; i < names.size(); ++i)
      if ((i > 0 && CompareStrings(*names[i - 1], *names[i]) == 0) || Find(*names[i], index)) Error(kDuplicateError);
  }
  Reserve(static_cast<std::int64_t>(GetCount()) + n);
  for (auto& item : copy) {
    if (sorted_)
      AddSorted(item.str, mapped(item.object));
    else
      InsertItem(GetCount(), std::move(item.str), mapped(item.object));
  }
}

// One-pass merge of two sorted lists. The result is built aside, so a
// duplicate error leaves this list unchanged.
void TStringListEx::MergeSorted(const TStringListEx& source, const TObjectMap& map, void* map_data) {
  auto mapped = [&](TObject* o) { return map ? map(map_data, o) : o; };
  const std::vector<Item>& a = items_;
  const std::vector<Item>& b = source.items_;
  std::vector<Item> merged;
  merged.reserve(a.size() + b.size());
  size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j >= b.size()) {
      merged.push_back(a[i++]);
    } else if (i >= a.size()) {
      merged.push_back({b[j].str, mapped(b[j].object)});
      ++j;
    } else {
      const int c = CompareStrings(a[i].str, b[j].str);
      if (c == 0 && duplicates_ == TDuplicates::dupIgnore) {
        ++j;
      } else if (c == 0 && duplicates_ == TDuplicates::dupError) {
        Error(kDuplicateError);
      } else if (c <= 0) {
        merged.push_back(a[i++]);
      } else {
        merged.push_back({b[j].str, mapped(b[j].object)});
        ++j;
      }
    }
  }
  if (merged.size() > static_cast<size_t>(INT_MAX)) Error(kCapacityError, static_cast<std::int64_t>(merged.size()));
  std::int64_t c = 16;
  while (c < static_cast<std::int64_t>(merged.size())) c *= 2;
  items_ = std::move(merged);
  capacity_ = std::max(capacity_, static_cast<int>(std::min<std::int64_t>(c, INT_MAX)));
  items_.reserve(static_cast<size_t>(capacity_));
}

void TStringListEx::Clear() {
  std::vector<Item> old;
  old.swap(items_);
  capacity_ = 0;
  if (owns_objects_)
    for (auto& item : old) delete item.object;
}

void TStringListEx::FillLines(int count, void (*fill)(void* data, std::string& s), void* data) {
  if (count < 0) Error(kCapacityError, count);  // before anything is dropped
  if (sorted_) {
    Clear();
    SetCapacity(count);
    std::string s;
    for (int i = 0; i < count; ++i) {
      fill(data, s);
      Add(s);
    }
    return;
  }
  for (Item& item : items_) {
    TObject* object = item.object;
    item.object = nullptr;
    if (owns_objects_) delete object;
  }
  items_.resize(static_cast<size_t>(count));
  SetCapacity(count);
  int i = 0;
  try {
    for (; i < count; ++i) fill(data, items_[static_cast<size_t>(i)].str);
  } catch (...) {
    items_.resize(static_cast<size_t>(i));
    throw;
  }
}

void TStringListEx::Delete(int index) {
  CheckIndex(index);
  TObject* object = items_[static_cast<size_t>(index)].object;
  items_.erase(items_.begin() + index);
  if (owns_objects_) delete object;
}

void TStringListEx::Exchange(int index1, int index2) {
  CheckIndex(index1);
  CheckIndex(index2);
  std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
}

int TStringListEx::IndexOf(const std::string& s) const {
  if (sorted_) {
    int index = 0;
    return Find(s, index) ? index : -1;
  }
  const int n = GetCount();
  for (int i = 0; i < n; ++i) {
    const std::string& item = items_[static_cast<size_t>(i)].str;
    if (case_sensitive_ ? item == s : SameTextAscii(item, s)) return i;
  }
  return -1;
}

void TStringListEx::Insert(int index, const std::string& s) { InsertObject(index, s, nullptr); }

void TStringListEx::InsertObject(int index, const std::string& s, TObject* object) {
  if (sorted_) Error(kSortedError);
  if (index < 0 || index > GetCount()) Error(kIndexError, index);
  InsertItem(index, s, object);
}

void TStringListEx::Sort() {
  CustomSort([](const TStringListEx& list, int i, int j) {
    return list.CompareStrings(list.items_[static_cast<size_t>(i)].str, list.items_[static_cast<size_t>(j)].str);
  });
}

void TStringListEx::CustomSort(TCompare compare) {
  if (sorted_ || GetCount() < 2) return;
  QuickSort(0, GetCount() - 1, compare);
}

void TStringListEx::QuickSort(int lo, int hi, TCompare compare) {
  int i;
  do {
    i = lo;
    int j = hi;
    int p = static_cast<int>((static_cast<unsigned>(lo) + static_cast<unsigned>(hi)) >> 1);
    do {
      while (compare(*this, i, p) < 0) ++i;
      while (compare(*this, j, p) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
        if (p == i)
          p = j;
        else if (p == j)
          p = i;
        ++i;
        --j;
      }
    } while (i <= j);
    if (lo < j) QuickSort(lo, j, compare);
    lo = i;
  } while (i < hi);
}

std::string TStringListEx::ResolveSwitch(std::string_view rest) const {
  int index = 0;
  const std::string key(rest);
  if (Find(key, index)) return items_[static_cast<size_t>(index)].str;
  if (rest.empty()) return {};
  const auto first = [this](char c) {
    return case_sensitive_ ? static_cast<unsigned char>(c) : UpperAscii(static_cast<unsigned char>(c));
  };
  for (int k = index - 1; k >= 0; --k) {
    const std::string& entry = items_[static_cast<size_t>(k)].str;
    if (entry.empty() || first(entry[0]) != first(rest[0])) break;
    if (rest.substr(0, entry.size()) == entry) return entry;
  }
  return {};
}

int TStringListEx::IndexOfSwitch(const std::string& name, const TStringListEx* known) const {
  if (known) VT_ASSERT_AT(known->Sorted(), "StringLists", __LINE__);
  const int n = GetCount();
  for (int i = 0; i < n; ++i) {
    const std::string& item = items_[static_cast<size_t>(i)].str;
    if (item.empty()) continue;
    if (!IsSwitchChar(item[0])) {
      if (name.empty()) return i;
      continue;
    }
    if (name.empty()) continue;
    const std::string_view rest = std::string_view(item).substr(1);
    if (rest.substr(0, name.size()) != name) continue;
    if (!known || known->ResolveSwitch(rest) == name) return i;
  }
  return -1;
}

// ---- free routines ----

bool StringListsEqual(const TStrings& a, const TStrings& b) {
  if (&a == &b) return true;
  const int n = a.GetCount();
  if (n != b.GetCount()) return false;
  for (int i = 0; i < n; ++i)
    if (a.GetObject(i) != b.GetObject(i) || a.Get(i) != b.Get(i)) return false;
  return true;
}

void IndentText(const std::string& text, int indent, const std::string& prefix, std::string& result,
                const std::string& suffix) {
  if (indent == 0 && prefix.empty() && suffix.empty()) {
    result = text;
    return;
  }
  std::string out;
  const std::string blanks(static_cast<size_t>(std::max(indent, 0)), ' ');
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    size_t end = i;
    while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
    out += prefix;
    out += blanks;
    out.append(text, i, end - i);
    out += suffix;
    out += "\r\n";
    i = end;
    if (i < n && text[i] == '\r') ++i;
    if (i < n && text[i] == '\n') ++i;
  }
  result = std::move(out);
}

}  // namespace vt
