#include "common/StringLists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "support/TestFiles.h"

namespace vt {
namespace {

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Get(i));
  return v;
}

// Counts live instances so that ownership can be checked.
struct Counted : TObject {
  explicit Counted(int& live) : live_(live) { ++live_; }
  ~Counted() override { --live_; }
  int& live_;
};

template <typename F>
std::string ErrorText(F&& f) {
  return test::MessageOf<EStringListError>(f);
}

TEST(StringListEx, IndexErrorsUnsortedEditingAndGrowth) {
  TStringListEx l;
  l.Add("a");
  l.Add("c");
  l.Insert(1, "b");
  l.Insert(3, "d");  // at Count: appends
  EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(ErrorText([&] { l.Insert(5, "x"); }), "List index out of bounds (5)");
  EXPECT_EQ(ErrorText([&] { l.Get(-1); }), "List index out of bounds (-1)");
  EXPECT_EQ(ErrorText([&] { l.GetObject(4); }), "List index out of bounds (4)");
  EXPECT_EQ(ErrorText([&] { l.Delete(4); }), "List index out of bounds (4)");
  EXPECT_EQ(ErrorText([&] { l.Exchange(0, 4); }), "List index out of bounds (4)");
  EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "b", "c", "d"}));  // unchanged by failures
  l.Put(0, "z");
  l.Exchange(0, 3);
  l.Delete(1);
  EXPECT_EQ(Items(l), (std::vector<std::string>{"d", "c", "z"}));
  EXPECT_EQ(l.IndexOf("Z"), 2);  // case-insensitive
  TStringListEx cs(sloCaseSensitive);
  cs.Add("abc");
  EXPECT_EQ(cs.IndexOf("ABC"), -1);
  EXPECT_EQ(ErrorText([&] { l.SetCapacity(1); }), "List capacity out of bounds (1)");

  l.Clear();
  std::vector<int> caps;
  for (int i = 0; i < 100; ++i) {
    l.Add("x");
    if (caps.empty() || caps.back() != l.GetCapacity()) caps.push_back(l.GetCapacity());
  }
  EXPECT_EQ(caps, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
  l.Clear();
  EXPECT_EQ(l.GetCapacity(), 0);
  TStringListEx src;
  for (int i = 0; i < 17; ++i) src.Add("s");
  l.AddStrings(src);
  EXPECT_EQ(l.GetCapacity(), 32);
}

TEST(StringListEx, SortedAddAndDuplicates) {
  // Each option bit alone shows in the behaviour below; combined duplicate bits have a precedence.
  EXPECT_EQ(TStringListEx(sloDupAccept | sloDupError).Duplicates(), TDuplicates::dupError);
  EXPECT_EQ(TStringListEx(sloDupIgnore | sloDupError | sloDupAccept).Duplicates(), TDuplicates::dupIgnore);
  EXPECT_TRUE(TStringListEx(sloFlag6).Flag6());

  TStringListEx ign(sloSorted);
  EXPECT_EQ(ign.Add("b"), 0);
  EXPECT_EQ(ign.Add("a"), 0);
  EXPECT_EQ(ign.Add("b"), 1);
  EXPECT_EQ(ign.Add("B"), 1);  // case-insensitive duplicate
  EXPECT_EQ(Items(ign), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ErrorText([&] { ign.Insert(0, "x"); }), "Operation not allowed on sorted string list");
  EXPECT_EQ(ErrorText([&] { ign.Put(0, "x"); }), "Operation not allowed on sorted string list");

  TStringListEx err(sloSorted | sloDupError);
  err.Add("b");
  EXPECT_EQ(ErrorText([&] { err.Add("b"); }), "String list does not allow duplicates");
  EXPECT_EQ(err.Count(), 1);

  TStringListEx acc(sloSorted | sloDupAccept | sloCaseSensitive);
  acc.AddObject("b", reinterpret_cast<TObject*>(1));
  acc.Add("a");
  const int i = acc.AddObject("b", reinterpret_cast<TObject*>(2));
  EXPECT_EQ(i, 1);  // before the first equal item
  EXPECT_EQ(acc.GetObject(1), reinterpret_cast<TObject*>(2));
  int found = -1;
  EXPECT_TRUE(acc.Find("b", found));
  EXPECT_EQ(found, 1);
  EXPECT_FALSE(acc.Find("B", found));  // case-sensitive
  EXPECT_EQ(found, 0);
  EXPECT_EQ(acc.IndexOf("B"), -1);
  EXPECT_EQ(ign.IndexOf("A"), 0);
}

TEST(StringListEx, SortMatchesReferenceOrder) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    TStringListEx l(sloCaseSensitive);
    std::vector<std::string> ref;
    const int n = static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) {
      std::string s(1 + rng() % 3, 'a');
      for (auto& c : s) c = static_cast<char>('a' + rng() % 4);
      l.AddObject(s, reinterpret_cast<TObject*>(static_cast<intptr_t>(i)));
      ref.push_back(s);
    }
    const std::vector<std::string> unsorted = ref;
    l.Sort();
    std::sort(ref.begin(), ref.end());
    EXPECT_EQ(Items(l), ref);
    // Objects travel with their strings.
    for (int i = 0; i < n; ++i) EXPECT_EQ(unsorted[static_cast<std::size_t>(reinterpret_cast<intptr_t>(l.GetObject(i)))], l.Get(i));
  }
  TStringListEx ci;  // ASCII-only case folding
  for (auto s : {"b", "A", "a", "B", "_"}) ci.Add(s);
  ci.Sort();
  std::string folded;
  for (auto& x : Items(ci)) folded += static_cast<char>(std::tolower(static_cast<unsigned char>(x[0])));
  EXPECT_EQ(folded, "aabb_");
}

TEST(StringListEx, OwnershipFreesObjects) {
  int live = 0;
  {
    TStringListEx l(sloOwnsObjects);
    l.AddObject("a", new Counted(live));
    l.AddObject("b", new Counted(live));
    l.AddObject("c", new Counted(live));
    l.Delete(0);
    EXPECT_EQ(live, 2);
    auto* keep = l.GetObject(0);
    l.PutObject(0, keep);  // same object: not freed
    EXPECT_EQ(live, 2);
    l.PutObject(0, new Counted(live));
    EXPECT_EQ(live, 2);
    TStringListEx sorted(sloSorted | sloOwnsObjects);
    sorted.AddObject("x", new Counted(live));
    sorted.AddObject("x", new Counted(live));  // ignored duplicate: the new object is freed
    EXPECT_EQ(live, 3);
  }
  EXPECT_EQ(live, 0);
  TStringListEx plain;
  Counted c(live);
  plain.AddObject("a", &c);
  plain.Clear();
  EXPECT_EQ(live, 1);
}

// A negative count is refused before anything is dropped, sorted or not.
TEST(StringListEx, FillLinesRefusesANegativeCountAndKeepsTheList) {
  int live = 0;
  for (std::uint8_t options : {std::uint8_t(sloOwnsObjects), std::uint8_t(sloOwnsObjects | sloSorted)}) {
    TStringListEx l(options);
    for (const char* s : {"a", "b"}) l.AddObject(s, new Counted(live));
    EXPECT_EQ(ErrorText([&] { l.FillLines(-1, [](void*, std::string& s) { s = "x"; }, nullptr); }),
              "List capacity out of bounds (-1)");
    EXPECT_EQ(Items(l), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(live, 2);
    EXPECT_NE(l.GetObject(1), nullptr);
  }
  EXPECT_EQ(live, 0);
}

TEST(StringListEx, AddStringsAndMerge) {
  TStringListEx a(sloSorted | sloDupAccept);
  a.AddObject("b", reinterpret_cast<TObject*>(1));
  a.AddObject("d", reinterpret_cast<TObject*>(2));
  TStringListEx b(sloSorted | sloDupAccept);
  b.AddObject("B", reinterpret_cast<TObject*>(3));
  b.AddObject("c", reinterpret_cast<TObject*>(4));
  b.AddObject("e", reinterpret_cast<TObject*>(5));
  int calls = 0;
  a.AddStringsEx(b, [&](void* data, TObject* o) {
    ++calls;
    EXPECT_EQ(data, &calls);
    return reinterpret_cast<TObject*>(reinterpret_cast<intptr_t>(o) * 10);
  }, &calls);
  EXPECT_EQ(Items(a), (std::vector<std::string>{"b", "B", "c", "d", "e"}));
  EXPECT_EQ(a.GetObject(0), reinterpret_cast<TObject*>(1));  // old before equal new
  EXPECT_EQ(a.GetObject(1), reinterpret_cast<TObject*>(30));
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(a.Sorted());
  EXPECT_EQ(a.UpdateCount(), 0);

  TStringListEx ign(sloSorted);
  ign.Add("a");
  ign.Add("c");
  ign.AddStringsEx(b);
  EXPECT_EQ(Items(ign), (std::vector<std::string>{"a", "B", "c", "e"}));

  TStringListEx err(sloSorted | sloDupError);
  err.Add("c");
  err.Add("a");
  EXPECT_EQ(ErrorText([&] { err.AddStringsEx(b); }), "String list does not allow duplicates");
  EXPECT_EQ(Items(err), (std::vector<std::string>{"a", "c"}));  // unchanged by the failure
  EXPECT_EQ(err.UpdateCount(), 0);

  // Different case rule: item by item through the sorted add.
  TStringListEx cs(sloSorted | sloCaseSensitive);
  cs.Add("c");
  cs.AddStringsEx(b);
  EXPECT_EQ(Items(cs), (std::vector<std::string>{"B", "c", "e"}));

  TStringListEx un;
  un.Add("z");
  un.AddStrings(b);
  un.AddStrings(un);  // from itself
  EXPECT_EQ(Items(un), (std::vector<std::string>{"z", "B", "c", "e", "z", "B", "c", "e"}));
  EXPECT_EQ(un.GetObject(1), reinterpret_cast<TObject*>(3));
}

// A bulk add that a duplicate refuses, item by item through the sorted add,
// raises before it adds or maps anything: the list stays as it was.
TEST(StringListEx, RefusedBulkAddLeavesTheListAsItWas) {
  TStringListEx err(sloSorted | sloDupError);
  err.Add("c");
  TStringListEx unsorted, twice;
  for (const char* s : {"a", "C"}) unsorted.Add(s);  // "C": the list's own item, by its case rule
  for (const char* s : {"b", "B"}) twice.Add(s);     // twice in the source
  EXPECT_EQ(ErrorText([&] { err.AddStrings(unsorted); }), "String list does not allow duplicates");
  int mapped = 0;
  auto map = [&](void*, TObject* o) { return ++mapped, o; };
  EXPECT_EQ(ErrorText([&] { err.AddStringsEx(twice, map); }), "String list does not allow duplicates");
  EXPECT_EQ(Items(err), std::vector<std::string>{"c"});
  EXPECT_EQ(mapped, 0);
}

TEST(StringListEx, SwitchLookUp) {
  TStringListEx t;
  for (auto s : {"C:\\setup.exe", "", "/installNow", "-Vs_integrated", "plain", "/vs_integrated=1"}) t.Add(s);
  EXPECT_EQ(t.IndexOfSwitch("install"), 2);
  EXPECT_EQ(t.IndexOfSwitch("vs_integrated"), 5);  // the capitalised one does not count
  EXPECT_FALSE(t.HasSwitch("plain"));               // no switch character
  TStringListEx s;
  s.Add("/a");
  s.Add("-b");
  s.Add("c");
  EXPECT_EQ(s.IndexOfSwitch(""), 2);

  TStringListEx known(sloSorted | sloCaseSensitive);
  for (auto k : {"in", "install", "log"}) known.Add(k);
  TStringListEx u;
  u.Add("/installfoo");
  EXPECT_TRUE(u.HasSwitch("in"));  // prefix only
  EXPECT_FALSE(u.HasSwitch("in", &known));  // resolves to "install"
  EXPECT_TRUE(u.HasSwitch("install", &known));
  u.Put(0, "/inx");
  EXPECT_TRUE(u.HasSwitch("in", &known));
  u.Put(0, "/in");
  EXPECT_TRUE(u.HasSwitch("in", &known));
  TStringListEx unsorted;
  EXPECT_THROW(u.HasSwitch("in", &unsorted), EAssertionFailed);
}

TEST(StringLists, EqualityAndIndent) {
  TStringListEx a, b;
  a.AddObject("x", reinterpret_cast<TObject*>(1));
  b.AddObject("x", reinterpret_cast<TObject*>(1));
  EXPECT_TRUE(StringListsEqual(a, b));
  b.PutObject(0, nullptr);
  EXPECT_FALSE(StringListsEqual(a, b));
  b.PutObject(0, reinterpret_cast<TObject*>(1));
  b.Put(0, "X");
  EXPECT_FALSE(StringListsEqual(a, b));
  b.Put(0, "x");
  b.Add("y");
  EXPECT_FALSE(StringListsEqual(a, b));
  EXPECT_FALSE(StringListsEqual(b, a));

  std::string r;
  IndentText("a\r\nb", 0, "", r);
  EXPECT_EQ(r, "a\r\nb");
  IndentText("a\r\nb\nc\rd\r\n", 2, "> ", r, ";");
  EXPECT_EQ(r, ">   a;\r\n>   b;\r\n>   c;\r\n>   d;\r\n");
  IndentText("a\n\nb", 1, "", r);
  EXPECT_EQ(r, " a\r\n \r\n b\r\n");
  IndentText("", 3, "", r);
  EXPECT_EQ(r, "");
}

}  // namespace
}  // namespace vt
