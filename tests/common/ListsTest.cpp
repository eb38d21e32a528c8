#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/StreamUtils.h"
#include "common/TypedLists.h"
#include "support/PipeFeed.h"
#include "support/StreamBytes.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

std::vector<int> Values(const TIntegerList& l) {
  std::vector<int> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Items(i));
  return v;
}

using test::Bytes;
using test::MessageOf;

// Counts live instances so ownership can be checked.
struct Counted : TObject {
  static int alive;
  Counted() { ++alive; }
  ~Counted() override { --alive; }
};
int Counted::alive = 0;

TEST(CustomList, GrowthRuleAndStorageRelease) {
  TIntegerList l;
  std::vector<int> caps;
  for (int i = 0; i < 153; ++i) {
    l.Add(i);
    if (caps.empty() || caps.back() != l.Capacity()) caps.push_back(l.Capacity());
  }
  EXPECT_EQ(caps, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 152, 304}));
  while (l.Count() > 1) l.DeleteFirst();
  EXPECT_EQ(l.Items(0), 152);
  EXPECT_EQ(l.Capacity(), 304);
  l.DeleteLast();
  EXPECT_EQ(l.Capacity(), 0);

  TIntegerList s(loStreamStorage);  // records in an owned TVirtualStream
  for (int i = 0; i < 100; ++i) s.Add(i);
  s.Move(99, 0);
  EXPECT_EQ(s.Items(0), 99);
  EXPECT_EQ(s.Items(1), 0);
  s.Move(0, 99);
  EXPECT_EQ(s.Items(99), 99);
}

TEST(CustomList, DuplicateModes) {
  for (int options : {int{loSorted}, loSorted | loDupIgnore}) {  // none given: ignore
    TIntegerList ignore(options);
    EXPECT_EQ(ignore.Add(5), 0);
    EXPECT_EQ(ignore.Add(1), 0);
    EXPECT_EQ(ignore.Add(5), 1);
    EXPECT_EQ(Values(ignore), (std::vector<int>{1, 5}));
  }

  TIntegerList accept(loSorted | loDupAccept);
  for (int v : {5, 3, 5, 9, 5, 3}) accept.Add(v);
  EXPECT_EQ(Values(accept), (std::vector<int>{3, 3, 5, 5, 5, 9}));
  int index = -1;
  EXPECT_TRUE(accept.Find(5, index));
  EXPECT_EQ(index, 2);  // the first of the equal keys

  TIntegerList error(loSorted | loDupError);
  error.Add(1);
  EXPECT_EQ(MessageOf([&] { error.Add(1); }), "TIntegerList: List does not allow duplicates.");
  EXPECT_EQ(error.Count(), 1);

  EXPECT_THROW(TIntegerList(loDupError | loDupAccept), EAssertionFailed);
  EXPECT_THROW(TIntegerList(loDupAccept | loDupIgnore), EAssertionFailed);
  EXPECT_THROW(TIntegerList{loHashed}, EAssertionFailed);
}

TEST(CustomList, RemoveIndexErrorsAndMove) {
  TIntegerList u;
  for (int v : {1, 2, 1, 3, 1}) u.Add(v);
  const int one = 1;
  EXPECT_EQ(u.Remove(&one), 3);
  EXPECT_EQ(Values(u), (std::vector<int>{2, 3}));

  TIntegerList s(loSorted | loDupAccept);
  for (int v : {4, 2, 4, 4, 1, 4, 7}) s.Add(v);
  const int four = 4;
  EXPECT_EQ(s.Remove(&four), 4);
  EXPECT_EQ(Values(s), (std::vector<int>{1, 2, 7}));
  EXPECT_EQ(s.Remove(&four), 0);

  EXPECT_EQ(MessageOf<EListError>([&] { s.Items(3); }), "TIntegerList: List index out of bounds (3)");
  EXPECT_THROW(s.Delete(-1), EListError);
  EXPECT_THROW(s.InsertSlot(4), EListError);
  EXPECT_THROW(s.Move(0, 3), EListError);
  EXPECT_THROW(s.SetCapacity(2), EListError);
  EXPECT_EQ(MessageOf([&] { s.SetItem(0, 5); }),
            "TIntegerList: Cannot set value of an index field in a sorted/hashed list");
  EXPECT_THROW(s.Insert(0, 1), EAssertionFailed);  // typed Insert needs an unsorted list
}

TEST(CustomList, InsertListMoveItemsEqualsAssign) {
  TIntegerList a, b;
  for (int v : {1, 2, 3}) a.Add(v);
  for (int v : {8, 9}) b.Add(v);
  a.InsertList(b, 1);
  EXPECT_EQ(Values(a), (std::vector<int>{1, 8, 9, 2, 3}));
  EXPECT_THROW(a.InsertList(a, 0), EAssertionFailed);
  TCardinalList other;
  EXPECT_THROW(a.InsertList(other, 0), EAssertionFailed);
  EXPECT_THROW(a.Equals(other), EAssertionFailed);

  TIntegerList sorted(loSorted);
  EXPECT_THROW(sorted.InsertList(b, 0), EAssertionFailed);  // the other list is not sorted
  EXPECT_EQ(MessageOf([&] { sorted.MoveItemsFrom(b); }),
            "TIntegerList: Cannot add multiple items to a sorted list.");

  a.MoveItemsFrom(b);
  EXPECT_EQ(Values(a), (std::vector<int>{1, 8, 9, 2, 3, 8, 9}));
  EXPECT_TRUE(b.Count() == 0 && b.Capacity() == 0);

  TIntegerList c;
  c.Assign(a);
  EXPECT_TRUE(c.Equals(a));
  c.Assign(c);  // onto itself: unchanged
  c.DeleteLast();
  EXPECT_FALSE(c.Equals(a));
  c.Add(10);
  EXPECT_FALSE(c.Equals(a));
}

// A refused Assign checks first: the target keeps its items, an owning one
// its objects.
TEST(CustomList, RefusedAssignChangesNothing) {
  Counted::alive = 0;
  {
    TIntegerListEx owning(loOwnsObjects), other(loOwnsObjects);
    owning.Add(1, new Counted);
    other.Add(2, new Counted);
    EXPECT_THROW(owning.Assign(other), Exception);
    EXPECT_EQ(owning.Count() + Counted::alive, 3);
  }
  TIntegerList sorted(loSorted), unsorted;
  sorted.Add(5);
  EXPECT_THROW(sorted.Assign(unsorted), EAssertionFailed);
  EXPECT_EQ(sorted.Count(), 1);
}

TEST(CustomList, SaveAndLoad) {
  TIntegerList l;
  TVirtualStream s;
  l.SaveToStream(s);
  EXPECT_EQ(Bytes(s), std::string("\x00", 1));
  for (int v : {1, -2, 0x01020304}) l.Add(v);
  s.Clear();
  l.SaveToStream(s);
  EXPECT_EQ(Bytes(s), std::string("\x06\x01\x00\x00\x00\xFE\xFF\xFF\xFF\x04\x03\x02\x01", 13));
  s.SetPosition(0);
  TIntegerList m;
  m.Add(99);
  m.LoadFromStream(s);
  EXPECT_EQ(Values(m), (std::vector<int>{1, -2, 0x01020304}));
  EXPECT_EQ(m.Capacity(), 3);

  // A count larger than the bytes that follow is refused before allocating.
  TVirtualStream bad;
  WriteCompactLength(bad, 0x7FFFFFFF);
  bad.WriteBuffer("\0\0\0\0", 4);
  bad.SetPosition(0);
  EXPECT_THROW(m.LoadFromStream(bad), EReadError);
  EXPECT_EQ(m.Capacity(), 0);

  // Records holding references never travel raw.
  TStringIntegerMap strings;
  EXPECT_THROW(strings.SaveToStream(s), Exception);
}

// Over a pipe, which knows neither its size nor its position: lists of a
// few records and of many load, nothing behind them is taken, and a list
// cut short is the read error and leaves the list empty.
TEST(CustomList, LoadsFromAPipe) {
  for (int n : {0, 3, 16384, 16385, 100000}) {
    SCOPED_TRACE(n);
    TIntegerList l;
    for (int i = 0; i < n; ++i) l.Add(i * 7);
    TVirtualStream s;
    l.SaveToStream(s);
    TIntegerList m;
    m.Add(1);
    test::TPipeFeed pipe(Bytes(s) + "tail");
    m.LoadFromStream(pipe.In());
    EXPECT_EQ(Values(m), Values(l));
    EXPECT_EQ(m.Capacity(), n);
    EXPECT_EQ(pipe.Rest(), "tail");
    if (n == 0) continue;
    test::TPipeFeed cut(Bytes(s).substr(0, s.Size() - 1));
    EXPECT_THROW(m.LoadFromStream(cut.In()), EReadError);
    EXPECT_EQ(m.Count(), 0);
    EXPECT_EQ(m.Capacity(), 0);
  }
  // A count of 2^31-1 records over a pipe that holds four bytes allocates
  // no more than arrives before the read error.
  TVirtualStream claim;
  WriteCompactLength(claim, 0x7FFFFFFF);
  claim.WriteBuffer("\1\2\3\4", 4);
  test::TPipeFeed pipe(Bytes(claim));
  TIntegerList m;
  EXPECT_THROW(m.LoadFromStream(pipe.In()), EReadError);
  EXPECT_EQ(m.Capacity(), 0);
}

class GuardedList : public TIntegerList {
 public:
  void Corrupt() { SetGuard(0x12345678); }
  void Heal() { SetGuard(0x56AB84FD); }
};

class GuardedTable : public TIntegerIntegerMap_HashTable {
 public:
  GuardedTable() : TIntegerIntegerMap_HashTable(dupIgnore, 0, 4) {}
  void Corrupt() { SetGuard(0); }
  void Heal() { SetGuard(0x427FDC1F); }
};

TEST(CustomList, GuardWordDetection) {
  GuardedList l;
  l.Add(1);
  l.Corrupt();
  EXPECT_EQ(MessageOf([&] { l.Clear(); }), "TIntegerList <- memory overwrite detected (Lists, line 349)");
  EXPECT_EQ(MessageOf([&] { l.Delete(0); }), "TIntegerList <- memory overwrite detected (Lists, line 411)");
  EXPECT_EQ(MessageOf([&] { l.Add(2); }), "TIntegerList <- memory overwrite detected (Lists, line 529)");
  l.Heal();
  EXPECT_EQ(l.Count(), 1);

  auto* dead = new GuardedList;
  dead->Corrupt();
  EXPECT_EQ(MessageOf([&] { delete dead; }),
            "TIntegerList <- memory overwrite or redundant object destruction detected (Lists, line 440)");

  GuardedTable t;
  t.Add(1, 1);
  t.Corrupt();
  EXPECT_EQ(MessageOf([&] { t.Clear(); }),
            "TIntegerIntegerMap_HashTable <- memory overwrite detected (Lists, line 1525)");
  EXPECT_EQ(MessageOf([&] { t.Add(2, 2); }),
            "TIntegerIntegerMap_HashTable <- memory overwrite detected (Lists, line 1359)");
  t.Heal();
  auto* dead_table = new GuardedTable;
  dead_table->Corrupt();
  EXPECT_EQ(
      MessageOf([&] { delete dead_table; }),
      "TIntegerIntegerMap_HashTable <- memory overwrite or redundant object destruction detected (Lists, "
      "line 1437)");
}

TEST(HashTable, DuplicateModesAndLookups) {
  for (auto mode : {dupIgnore, dupAccept}) {
    TIntegerIntegerMap_HashTable t(mode, 0, 3);
    EXPECT_EQ(t.Find(1), nullptr);  // no buckets yet
    t.Add(1, 10);
    t.Add(1, 11);
    EXPECT_EQ(t.Count(), mode == dupIgnore ? 1 : 2);
    EXPECT_EQ(t.Lookup(1, -1), mode == dupIgnore ? 10 : 11);  // accepted: newest first in its chain
    EXPECT_EQ(t.Lookup(2, -1), -1);
  }

  TGuidListEx_HashTable error(dupError, 0, 5);
  const TGUID g{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
  TGUID h = g;
  h.D4[7] = 9;  // same first word: same bucket
  Counted* obj = new Counted;
  error.Add(g, obj);
  error.Add(h, nullptr);
  EXPECT_EQ(error.ObjectOf(g), obj);
  EXPECT_NE(error.Find(h), nullptr);
  EXPECT_EQ(error.ObjectOf(TGUID{1, 2, 3, {}}), nullptr);
  EXPECT_EQ(MessageOf([&] { error.Add(g, nullptr); }),
            "TGuidListEx_HashTable: Hashtable does not allow duplicates.");
  EXPECT_EQ(error.Count(), 2);
  delete obj;

  // Many keys: node blocks of growing size, every key found.
  TIntegerIntegerMap_HashTable big(dupError, 0, 6);
  for (int i = 0; i < 5000; ++i) big.Add(i * 7919, i);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(big.Lookup(i * 7919, -1), i);
  big.Clear(true);
  EXPECT_EQ(big.Count(), 0);
  EXPECT_EQ(big.Lookup(0, -1), -1);
  big.Add(3, 4);
  EXPECT_EQ(big.Lookup(3, -1), 4);
}

TEST(HashTable, ForEachDeleteAndAssign) {
  TIntegerIntegerMap_HashTable t(dupAccept, 0, 2);
  for (int i = 0; i < 20; ++i) t.Add(i % 10, i);
  int visited = 0;
  EXPECT_FALSE(t.ForEach([&](void*) { return ++visited < 5; }));
  EXPECT_EQ(visited, 5);
  // Delete the odd keys while walking.
  EXPECT_TRUE(t.ForEach([&](void* item) {
    if (static_cast<TIntegerIntegerRec*>(item)->Key % 2 == 1) t.DeleteItem(item);
    return true;
  }));
  EXPECT_EQ(t.Count(), 10);
  EXPECT_EQ(t.Find(3), nullptr);
  // Adding inside the walk breaks the one-deletion rule.
  EXPECT_THROW(t.ForEach([&](void*) {
    t.Add(100, 100);
    return true;
  }),
               EAssertionFailed);
  t.DeleteItem(t.Find(100));

  TIntegerIntegerMap_HashTable copy(dupAccept, 0, 2);
  copy.Add(77, 77);
  copy.Assign(t);
  auto values = [](TIntegerIntegerMap_HashTable& table) {
    std::vector<int> v;
    table.ForEach([&](void* item) {
      v.push_back(static_cast<TIntegerIntegerRec*>(item)->Value);
      return true;
    });
    return v;
  };
  EXPECT_EQ(values(copy), values(t));  // every chain kept in order
  EXPECT_EQ(copy.Find(77), nullptr);
  copy.Assign(copy);
  EXPECT_EQ(copy.Count(), t.Count());

  TIntegerIntegerMap_HashTable other_bits(dupAccept, 0, 3);
  EXPECT_THROW(other_bits.Assign(t), EAssertionFailed);
}

// Deleting another item than the one given raises: the walk's next node
// may be that item, finalized.
TEST(HashTable, ForEachRefusesDeletingAnotherItem) {
  TStringIntegerIntegerMap_HashTable t(dupError, 0, 0);  // one chain
  for (const char* key : {"a-key-long-enough-for-the-heap-1", "a-key-long-enough-for-the-heap-2"}) t.Add(key, 1, 2);
  auto delete_another = [&](void* item) {
    t.ForEach([&](void* other) { return other == item || (t.DeleteItem(other), false); });
    return true;
  };
  EXPECT_THROW(t.ForEach(delete_another), EAssertionFailed);
  EXPECT_EQ(t.Count(), 1);
}

// A node an earlier deletion freed and an insertion took again is no
// deleted item: an insertion or a clear while the walk is at it raises.
TEST(HashTable, ForEachRefusesChangesAtAReusedNode) {
  TIntegerIntegerMap_HashTable t(dupError, 0, 0);  // one chain, newest first
  t.Add(0, 0);
  t.Add(1, 1);
  t.DeleteItem(t.Find(1));
  t.Add(2, 2);  // on the node of 1
  EXPECT_THROW(t.ForEach([&](void*) { return t.Add(3, 3), false; }), EAssertionFailed);
  auto clear_at_2 = [&](void* item) {
    if (static_cast<TIntegerIntegerRec*>(item)->Key == 2) t.Clear(true);  // frees the next node
    return true;
  };
  EXPECT_THROW(t.ForEach(clear_at_2), EAssertionFailed);
}

TEST(HashTable, OwnedObjectsStringKeysAndTheirHash) {
  Counted::alive = 0;
  {
    TStringInt64ObjectMap_HashTable m(dupError, loOwnsObjects | loIgnoreCase, 8, StringHash10);
    m.Add("Alpha", 1, new Counted);
    m.Add("beta", 2, new Counted);
    EXPECT_EQ(MessageOf([&] { m.Add("ALPHA", 3, nullptr); }),
              "TStringInt64ObjectMap_HashTable: Hashtable does not allow duplicates.");
    ASSERT_NE(m.Find("BETA"), nullptr);
    EXPECT_EQ(m.Find("BETA")->Value, 2);
    EXPECT_EQ(Counted::alive, 2);
    TStringInt64ObjectMap_HashTable copy(dupError, loOwnsObjects | loIgnoreCase, 8, StringHash10);
    EXPECT_THROW(copy.Assign(m), Exception);  // two owners of one object
  }
  EXPECT_EQ(Counted::alive, 0);

  TStringIntegerIntegerMap_HashTable exact(dupIgnore, 0, 4);
  exact.Add("key", 1, 2);
  exact.Add("", 3, 4);
  EXPECT_EQ(exact.Find("KEY"), nullptr);
  ASSERT_NE(exact.Find(""), nullptr);
  EXPECT_EQ(exact.Find("")->Value2, 4);
  TStringIntegerIntegerMap_HashTable copy(dupIgnore, 0, 4);
  copy.Assign(exact);
  ASSERT_NE(copy.Find("key"), nullptr);
  EXPECT_EQ(copy.Find("key")->Value1, 1);

  EXPECT_EQ(StringHash10(""), 0u);
  EXPECT_EQ(StringHash10("abc"), 788u);
  EXPECT_EQ(StringHash10("Hello, world"), 312u);
  for (const char* two : {"ab", "zz", "\x01\xFF", "Q7"}) EXPECT_EQ(StringHash10(two), 0u) << two;
  for (const char* one : {"a", "Z", "0", "\x80"}) EXPECT_EQ(StringHash10(one), 467u) << one;
  const std::string key = "Abc";
  EXPECT_EQ(StringHash10(static_cast<const void*>(&key)), 788u);
  const TGUID g{0xCAFEBABE, 1, 2, {}};
  EXPECT_EQ(FirstWordHash(&g), 0xCAFEBABEu);
}

TEST(TypedLists, ObjectOwnershipOfIntegerListEx) {
  Counted::alive = 0;
  {
    TIntegerListEx owning(loOwnsObjects);
    owning.Add(1, new Counted);
    owning.Insert(0, 2, new Counted);
    EXPECT_EQ(owning.Keys(0), 2);
    EXPECT_EQ(owning.ObjectOf(1), owning.Objects(1));
    EXPECT_EQ(owning.ObjectOf(3), nullptr);
    owning.Delete(0);
    EXPECT_EQ(Counted::alive, 1);
    TIntegerListEx copy(loOwnsObjects);
    EXPECT_THROW(copy.Assign(owning), Exception);  // two owners of one object
  }
  EXPECT_EQ(Counted::alive, 0);

  Counted kept;
  {
    TIntegerListEx plain;
    plain.Add(1, &kept);
  }
  EXPECT_EQ(Counted::alive, 1);

  TIntegerPairListEx pairs(loSorted | loOwnsObjects);
  pairs.Add(1, 2, new Counted);
  pairs.Add(1, 1, new Counted);
  pairs.Add(0, 9, nullptr);
  EXPECT_EQ(pairs.IndexOf(1, 2), 2);
  EXPECT_NE(pairs.ObjectOf(1, 1), nullptr);
  pairs.Clear();
  EXPECT_EQ(Counted::alive, 1);
}

TEST(TypedLists, SixtyFourBitKeysAndPadding) {
  TInt64IntegerMap m(loSorted);
  m.Add(10, 1);
  m.Add(20, -1);
  m.Add(30, std::int64_t{1} << 40);
  m.Add(40, -(std::int64_t{1} << 40));
  EXPECT_EQ(m.Keys(0), -(std::int64_t{1} << 40));
  EXPECT_EQ(m.Values(3), 30);
  int index = -1;
  EXPECT_TRUE(m.Find(1, index));
  EXPECT_EQ(index, 2);
  EXPECT_EQ(m.IndexOf(-1), 1);

  TPointer64IntegerList p;
  p.Add(0x0102030405060708, 7);
  TVirtualStream s;
  p.SaveToStream(s);
  EXPECT_EQ(Bytes(s),
            std::string("\x02\x08\x07\x06\x05\x04\x03\x02\x01\x07\x00\x00\x00\x00\x00\x00\x00", 17));
  // Padding read from outside is dropped: saved again as zeros.
  s.SetPosition(0);
  s.SetSize(0);
  WriteCompactLength(s, 1);
  s.WriteBuffer("\x01\0\0\0\0\0\0\0\x02\0\0\0\xAA\xBB\xCC\xDD", 16);
  s.SetPosition(0);
  p.LoadFromStream(s);
  TVirtualStream out;
  p.SaveToStream(out);
  EXPECT_EQ(Bytes(out), std::string("\x02\x01\0\0\0\0\0\0\0\x02\0\0\0\0\0\0\0", 17));
}

TEST(TypedLists, StringIntegerMap) {
  TStringIntegerMap m(loSorted | loDupIgnore | loIgnoreCase);
  EXPECT_EQ(m.Add("beta", 2), 0);
  EXPECT_EQ(m.Add("Alpha", 1), 0);
  EXPECT_EQ(m.Add("BETA", 3), 1);  // ignored: the existing index
  EXPECT_EQ(m.Keys(1), "beta");
  EXPECT_EQ(m.Values(1), 2);
  EXPECT_EQ(m.IndexOf("ALPHA"), 0);

  TStringIntegerMap exact(loSorted | loDupAccept);
  for (const char* k : {"b", "B", "a", "b"}) exact.Add(k, 0);
  EXPECT_EQ(exact.Keys(0), "B");  // byte order: upper case first
  int index = -1;
  EXPECT_TRUE(exact.Find("b", index));
  EXPECT_EQ(index, 2);
  const std::string b = "b";
  const TStringIntegerRec probe{const_cast<std::string*>(&b), 0};
  EXPECT_EQ(exact.Remove(&probe), 2);

  TStringIntegerMap copy(loSorted | loDupAccept);
  copy.Assign(exact);
  exact.Clear();
  EXPECT_EQ(copy.Keys(1), "a");  // a deep copy
}

TEST(TypedLists, NotifyListsAndViews) {
  TNotifyTimerList timers(loSorted);
  const TMethod m1{reinterpret_cast<const void*>(0x10), reinterpret_cast<const void*>(0x2)};
  const TMethod m2{reinterpret_cast<const void*>(0x10), reinterpret_cast<const void*>(0x1)};
  EXPECT_EQ(timers.Add(m1, 1000, 5), 0);
  EXPECT_EQ(timers.Add(m2, 50, 6), 0);  // second word orders equal first words
  EXPECT_EQ(timers.Value1(1), 1000u);
  EXPECT_EQ(timers.Value2(0), 6u);
  EXPECT_EQ(timers.IndexOf(m1), 1);
  EXPECT_EQ(MessageOf([&] { timers.SetKey(0, m1); }),
            "TNotifyTimerList: Cannot set value of an index field in a sorted/hashed list");
  TNotifyTimerList unsorted;
  unsorted.Add(m1, 1, 1);
  EXPECT_NO_THROW(unsorted.SetKey(0, m2));

  Counted::alive = 0;
  TObject* a = new Counted;
  TObject* b = new Counted;
  TNotifyQueueList q(loOwnsObjects), later(loOwnsObjects);
  q.Add(a, m1, nullptr, 1, "first");
  later.Add(b, m1, nullptr, 2, "second");
  later.Add(a, m1, b, 3, "");
  q.MoveItemsFrom(later);  // hands the objects over without freeing them
  EXPECT_EQ(q.Name(1), "second");
  EXPECT_EQ(q.Data(2), b);
  q.Items(2).Source = nullptr;  // a is owned through item 0 only
  q.Items(2).Data = nullptr;
  EXPECT_EQ(q.Remove(a), 1);
  EXPECT_EQ(Counted::alive, 1);
  q.Clear();
  EXPECT_EQ(Counted::alive, 0);

  static std::vector<void*> unmapped;
  unmapped.clear();
  char v1, v2;
  {
    TIntegerViewList views(loOwnsViews, [](void* v) { unmapped.push_back(v); });
    views.Add(1, &v1);
    views.Insert(0, 2, &v2);
    EXPECT_EQ(views.IndexOf(1), 1);
    EXPECT_EQ(views.Views(0), &v2);
    views.Delete(0);
    EXPECT_EQ(unmapped, std::vector<void*>{&v2});
  }
  EXPECT_EQ(unmapped.size(), 2u);
  EXPECT_THROW(TIntegerViewList{loOwnsViews}, EAssertionFailed);

  TCardinalList cards(loSorted);
  cards.Add(0xFFFFFFFFu);
  cards.Add(1);
  EXPECT_EQ(cards.Items(0), 1u);  // unsigned order
  EXPECT_EQ(cards.IndexOf(0xFFFFFFFFu), 1);
}

}  // namespace
}  // namespace vt
