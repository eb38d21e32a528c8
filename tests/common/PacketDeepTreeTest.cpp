// Deep packet trees handled on threads with small stacks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PacketTestClasses.h"
#include "common/PacketFields.h"
#include "common/StringLists.h"
#include "common/TestHooks.h"
#include "platform/FaultSupport.h"
#include "platform/ThreadApi.h"
#include "support/PacketBytes.h"
#include "support/TestFiles.h"

namespace vt::test {
namespace {

std::unique_ptr<TChainPacket> Chain(int depth) {
  auto root = std::make_unique<TChainPacket>();
  TChainPacket* p = root.get();
  for (int i = 1; i < depth; ++i) p = &p->NeedNext();
  return root;
}

// Runs F on a new thread with a stack of SIZE bytes, waits for it and expects it raised nothing.
template <typename F>
void OnStack(std::size_t size, F f) {
  std::string errors = "(not run)";
  auto run = [&] { errors = MessageOf(f); };
  const os::ThreadHandle thread = os::CreateThread(
      size, [](void* p) -> os::DWORD { return (*static_cast<decltype(run)*>(p))(), 0; }, &run, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(os::WaitForThread(thread, os::kInfinite), os::kWaitObject0);
  os::CloseThreadHandle(thread);
  EXPECT_EQ(errors, "(no exception)");
}

// DEPTH levels, each held by the one above in its any-class member or as its list's second item.
std::unique_ptr<TAllKindsPacket> KindsTree(int depth, bool through_any) {
  auto root = std::make_unique<TAllKindsPacket>();
  TAllKindsPacket* p = root.get();
  for (int i = 1; i < depth; ++i) {
    auto next = std::make_unique<TAllKindsPacket>();
    TAllKindsPacket* below = next.get();
    below->I32 = i;
    if (through_any) {
      p->Any.Reset(std::move(next));
    } else {
      p->Items.AddNew().Value = i;
      p->Items.Add(std::move(next));
    }
    p = below;
  }
  return root;
}

// The deepest packet of such a tree.
TAllKindsPacket& Deepest(TAllKindsPacket& root) {
  TAllKindsPacket* p = &root;
  for (;;) {
    TPacket* next = p->Items.Count() != 0 ? p->Items.GetItem(1) : p->Any.Pointer();
    if (next == nullptr || &next->ClassType() != &TAllKindsPacket::Class) return *p;
    p = static_cast<TAllKindsPacket*>(next);
  }
}

class PacketDeepTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterTestPackets(); }
};

// Each operation, freeing included, works on small stacks and leaves what it leaves on a large one.
TEST_F(PacketDeepTreeTest, DeepTreesAreComparedAssignedDumpedAndFreedOnSmallStacks) {
  const int before = TChainPacket::Class.InstanceCount();
  // Deeper than a load accepts too, not dumped (a dump's text grows with depth).
  for (int depth : {kMaxPacketNesting, 8 * kMaxPacketNesting}) {
    const bool dumped = depth == kMaxPacketNesting;
    const auto model = Chain(depth);
    TStringListEx model_dump;
    if (dumped) model->DumpToStrings(model_dump);
    for (std::size_t kib : {64, 96, 128}) {
      SCOPED_TRACE(std::to_string(depth) + " levels, " + std::to_string(kib) + " KiB");
      std::unique_ptr<TChainPacket> same = Chain(depth), shorter = Chain(depth - 1), copy;
      auto freed = Chain(depth);
      bool equal = false, unequal = true;
      TStringListEx dump;
      OnStack(kib * 1024, [&] {
        equal = model->Equals(*same);
        unequal = model->Equals(*shorter) || shorter->Equals(*model);
        copy = std::make_unique<TChainPacket>();
        copy->Assign(*model);
        if (dumped) model->DumpToStrings(dump);
        same->Clear();
        freed.reset();
        shorter.reset();
      });
      EXPECT_TRUE(equal);
      EXPECT_FALSE(unequal);
      ASSERT_NE(copy, nullptr);
      EXPECT_TRUE(copy->Equals(*model));
      EXPECT_EQ(StringsToText(dump), StringsToText(model_dump));
      EXPECT_TRUE(same->Equals(*model));
      EXPECT_EQ(freed, nullptr);
      // Run twice: the copy assigned again, then freed on the small stack.
      OnStack(kib * 1024, [&] {
        copy->Assign(*model);
        equal = copy->Equals(*model);
        copy.reset();
      });
      EXPECT_TRUE(equal);
      EXPECT_EQ(copy, nullptr);
    }
  }
  EXPECT_EQ(TChainPacket::Class.InstanceCount(), before);
}

// The same through any-class members and lists (an any-class member assigns into what it holds).
TEST_F(PacketDeepTreeTest, TreesHeldByAnyClassMembersAndListsOnSmallStacks) {
  const int before = TAllKindsPacket::Class.InstanceCount();
  for (bool through_any : {false, true}) {
    SCOPED_TRACE(through_any ? "any-class members" : "packet lists");
    const auto model = KindsTree(kMaxPacketNesting, through_any);
    auto same = KindsTree(kMaxPacketNesting, through_any), other = KindsTree(kMaxPacketNesting, through_any);
    auto freed = KindsTree(8 * kMaxPacketNesting, through_any);
    Deepest(*other).Str = "differs";
    std::unique_ptr<TAllKindsPacket> copy;
    bool equal = false, unequal = true;
    OnStack(64 * 1024, [&] {
      equal = model->Equals(*same);
      unequal = model->Equals(*other);
      copy = std::make_unique<TAllKindsPacket>();
      copy->Assign(*model);
      same->Clear();
      freed.reset();
      other.reset();
    });
    EXPECT_TRUE(equal);
    EXPECT_FALSE(unequal);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->Equals(*model), !through_any);
    EXPECT_EQ(Deepest(*copy).I32, through_any ? 0 : kMaxPacketNesting - 1);
    EXPECT_EQ(freed, nullptr);
  }
  EXPECT_EQ(TAllKindsPacket::Class.InstanceCount(), before);
}

// Runs F with less stack left than a walk keeps in hand, however large the
// thread's stack came out.
template <typename F>
[[gnu::noinline]] void WithLowStack(F& f) {
  volatile char used[2048];
  used[0] = 0;
  if (os::StackSpaceLeft() >= kNestingStackReserve - 8 * 1024) {
    WithLowStack(f);
  } else {
    f();
  }
  used[1] = used[0];
}

// A long list compared, copied and dumped on a low stack: each walk goes
// on in one thread of its own, not one per item.
TEST_F(PacketDeepTreeTest, LongListsOnSmallStacksTakeOneHelperThreadPerWalk) {
  TSmallPacketList model, same, copy;
  for (int i = 0; i < 2000; ++i) {
    model.AddNew().Value = i;
    same.AddNew().Value = i;
  }
  std::vector<int> helpers;
  bool equal = false;
  std::string dump;
  auto walks = [&] {
    int before = CommonTestHelper::WalkHelpersStarted();
    auto count = [&] {
      const int now = CommonTestHelper::WalkHelpersStarted();
      helpers.push_back(now - before);
      before = now;
    };
    for (int twice = 0; twice < 2; ++twice) {
      equal = model.Equals(same);
      count();
      copy.Assign(model);
      count();
      model.DumpToText(dump);
      count();
    }
  };
  OnStack(256 * 1024, [&] { WithLowStack(walks); });
  EXPECT_EQ(helpers, std::vector<int>(6, 1));
  EXPECT_TRUE(equal);
  EXPECT_TRUE(copy.Equals(model));
  EXPECT_EQ(copy.Count(), 2000);
  EXPECT_NE(dump.find("[2000/2000]"), std::string::npos);
}

}  // namespace
}  // namespace vt::test
