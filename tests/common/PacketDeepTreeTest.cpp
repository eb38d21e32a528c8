// Trees as deep as a load accepts, and deeper, compared, assigned, cleared,
// dumped and freed on threads with small stacks.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PacketTestClasses.h"
#include "common/PacketFields.h"
#include "common/StringLists.h"
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

// Runs F on a new thread with a stack of Size bytes and waits for it.
template <typename F>
void OnStack(std::size_t size, F&& f) {
  const os::ThreadHandle thread = os::CreateThread(
      size, [](void* param) -> os::DWORD { return (*static_cast<F*>(param))(), 0; }, &f, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(os::WaitForThread(thread, os::kInfinite), os::kWaitObject0);
  os::CloseThreadHandle(thread);
}

class PacketDeepTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterTestPackets(); }
};

// Each operation works on stacks far below what a save accepts, freeing
// included; what each leaves is what it leaves on a large stack.
TEST_F(PacketDeepTreeTest, DeepTreesAreComparedAssignedDumpedAndFreedOnSmallStacks) {
  const int before = TChainPacket::Class.InstanceCount();
  // Deeper than a load accepts too, but not dumped: each level of a dump
  // holds the text of those below it.
  for (int depth : {kMaxPacketNesting, 8 * kMaxPacketNesting}) {
    const bool dumped = depth == kMaxPacketNesting;
    const auto model = Chain(depth);
    TStringListEx model_dump;
    if (dumped) model->DumpToStrings(model_dump);
    for (std::size_t kib : {64, 96, 128}) {
      SCOPED_TRACE(std::to_string(depth) + " levels, " + std::to_string(kib) + " KiB");
      std::unique_ptr<TChainPacket> same = Chain(depth), shorter = Chain(depth - 1), copy;
      auto freed = Chain(depth);
      std::string errors;
      bool equal = false, unequal = true;
      TStringListEx dump;
      OnStack(kib * 1024, [&] {
        errors = MessageOf([&] {
          equal = model->Equals(*same);
          unequal = model->Equals(*shorter) || shorter->Equals(*model);
          copy = std::make_unique<TChainPacket>();
          copy->Assign(*model);
          if (dumped) model->DumpToStrings(dump);
          same->Clear();
          freed.reset();
          shorter.reset();
        });
      });
      EXPECT_EQ(errors, "(no exception)");
      EXPECT_TRUE(equal);
      EXPECT_FALSE(unequal);
      ASSERT_NE(copy, nullptr);
      EXPECT_TRUE(copy->Equals(*model));
      EXPECT_EQ(StringsToText(dump), StringsToText(model_dump));
      EXPECT_TRUE(same->Equals(*model));
      EXPECT_EQ(freed, nullptr);
      // A second round over the same trees: the copy assigned again, then
      // freed on the small stack too.
      OnStack(kib * 1024, [&] {
        errors = MessageOf([&] {
          copy->Assign(*model);
          equal = copy->Equals(*model);
          copy.reset();
        });
      });
      EXPECT_EQ(errors, "(no exception)");
      EXPECT_TRUE(equal);
      EXPECT_EQ(copy, nullptr);
    }
  }
  EXPECT_EQ(TChainPacket::Class.InstanceCount(), before);
}

}  // namespace
}  // namespace vt::test
