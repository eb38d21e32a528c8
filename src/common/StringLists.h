// String lists with an object per string: the abstract TStrings and
// TStringListEx (own storage, sorted look-up by halving search, quicksort,
// merge of sorted lists, command-line switch look-up), plus small text
// helpers of packet dumps and comparisons.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Classes.h"

namespace vt {

// A list of strings, each with an associated object reference. Indices run
// from 0 to Count - 1; bad indices raise EStringListError.
class TStrings : public TObject {
 public:
  virtual std::string Get(int index) const = 0;
  virtual int GetCapacity() const = 0;
  virtual int GetCount() const = 0;
  virtual TObject* GetObject(int index) const = 0;
  virtual void Put(int index, const std::string& s);
  virtual void PutObject(int index, TObject* object) = 0;
  virtual void SetCapacity(int new_capacity);
  virtual int Add(const std::string& s);
  virtual int AddObject(const std::string& s, TObject* object);
  virtual void AddStrings(const TStrings& source);
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;
  virtual void Exchange(int index1, int index2);
  virtual int IndexOf(const std::string& s) const;
  virtual void Insert(int index, const std::string& s) = 0;

  int Count() const { return GetCount(); }
  std::string operator[](int index) const { return Get(index); }
  void BeginUpdate() { ++update_count_; }
  void EndUpdate() {
    if (update_count_ > 0) --update_count_;
  }
  int UpdateCount() const { return update_count_; }

 protected:
  // Raises EStringListError with Msg formatted with Data.
  [[noreturn]] static void Error(const char* msg, std::int64_t data);
  [[noreturn]] static void Error(const char* msg);

 private:
  int update_count_ = 0;
};

// Option bits of TStringListEx.
enum : std::uint8_t {
  sloCaseSensitive = 0x01,
  sloSorted = 0x02,
  sloDupError = 0x04,
  sloDupAccept = 0x08,
  sloDupIgnore = 0x10,
  sloOwnsObjects = 0x20,
  sloFlag6 = 0x40,
};

enum class TDuplicates { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TStringListEx : public TStrings {
 public:
  // Maps a source object to the object stored in this list (AddStringsEx).
  using TObjectMap = std::function<TObject*(void* data, TObject* object)>;
  // Compares the items at two indices of List: <0, 0, >0.
  using TCompare = int (*)(const TStringListEx& list, int index1, int index2);

  explicit TStringListEx(std::uint8_t options = 0);
  ~TStringListEx() override;
  TStringListEx(const TStringListEx&) = delete;
  TStringListEx& operator=(const TStringListEx&) = delete;

  std::string Get(int index) const override;
  // The string at Index, without a copy.
  const std::string& Ref(int index) const;
  // Replaces the lines by Count strings that Fill writes in order, into
  // the strings there are (their storage is kept); objects are dropped
  // (freed when owned). A sorted list is cleared and each string added.
  // When Fill raises, the lines filled before stay.
  void FillLines(int count, void (*fill)(void* data, std::string& s), void* data);
  int GetCapacity() const override { return capacity_; }
  int GetCount() const override { return static_cast<int>(items_.size()); }
  TObject* GetObject(int index) const override;
  void Put(int index, const std::string& s) override;
  void PutObject(int index, TObject* object) override;
  void SetCapacity(int new_capacity) override;
  int Add(const std::string& s) override;
  // Adds S with Object in one step. When a sorted list ignores S as a
  // duplicate, the existing item is kept; an owning list frees Object.
  int AddObject(const std::string& s, TObject* object) override;
  void AddStrings(const TStrings& source) override;
  void Clear() override;
  void Delete(int index) override;
  void Exchange(int index1, int index2) override;
  int IndexOf(const std::string& s) const override;
  void Insert(int index, const std::string& s) override;
  void InsertObject(int index, const std::string& s, TObject* object);

  // Appends Source, each object passed through Map (identity when empty).
  virtual void AddStringsEx(const TStrings& source, const TObjectMap& map = {}, void* map_data = nullptr);
  // Halving search: true when found; Index is the (first, with accept) equal
  // item or the insert position.
  virtual bool Find(const std::string& s, int& index) const;
  virtual void Sort();
  virtual void CustomSort(TCompare compare);

  // Index of the first switch token (starting with '-' or '/') whose text
  // after the switch character starts with Name (case-sensitive); with
  // Known (sorted), the token must also resolve to exactly Name. An empty
  // Name gives the first non-switch token. -1 when none.
  int IndexOfSwitch(const std::string& name, const TStringListEx* known = nullptr) const;
  bool HasSwitch(const std::string& name, const TStringListEx* known = nullptr) const {
    return IndexOfSwitch(name, known) >= 0;
  }

  bool Sorted() const { return sorted_; }
  TDuplicates Duplicates() const { return duplicates_; }
  bool CaseSensitive() const { return case_sensitive_; }
  bool OwnsObjects() const { return owns_objects_; }
  bool Flag6() const { return flag6_; }

  // Compares two strings by this list's case rule.
  int CompareStrings(std::string_view a, std::string_view b) const;

 private:
  struct Item {
    std::string str;
    TObject* object = nullptr;
  };

  void CheckIndex(int index) const;
  void Grow();
  void Reserve(std::int64_t needed);
  void InsertItem(int index, std::string s, TObject* object);
  int AddSorted(const std::string& s, TObject* object);
  void QuickSort(int lo, int hi, TCompare compare);
  void MergeSorted(const TStringListEx& source, const TObjectMap& map, void* map_data);
  void AppendItems(const TStrings& source, const TObjectMap& map, void* map_data);
  std::string ResolveSwitch(std::string_view rest) const;

  std::vector<Item> items_;
  int capacity_ = 0;
  bool sorted_;
  TDuplicates duplicates_;
  bool case_sensitive_;
  bool owns_objects_;
  bool flag6_;
};

// True when both lists have the same count and, index by index, byte-equal
// strings and identical object references.
bool StringListsEqual(const TStrings& a, const TStrings& b);

// Each line of Text (CR LF, CR or LF ends a line) becomes Prefix, Indent
// blanks, the line and Suffix; lines are joined with CR LF after every line.
// With Indent 0 and no Prefix or Suffix the result is Text itself.
void IndentText(const std::string& text, int indent, const std::string& prefix, std::string& result,
                const std::string& suffix = std::string());

}  // namespace vt
