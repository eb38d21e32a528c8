// Virtual-environment packets: handle fields (their size byte, texts and
// duplication into another process) and the optional forwarder context.
#include <gtest/gtest.h>

#include "CatalogueTestSupport.h"
#include "catalogues/VEPackets.h"
#include "platform/Handles.h"
#include "platform/LastError.h"
#include "platform/Files.h"
#include "platform/Section.h"
#include "platform/Sync.h"
#include "support/HoldingChild.h"

namespace vt {
namespace {

using namespace test;

class VEPacketsTest : public CatalogueTest {};

const std::uintptr_t kSelf = static_cast<std::uintptr_t>(os::kCurrentProcess);

// An unnamed event of this process, closed with the test.
struct TestEvent {
  os::HANDLE Handle = os::CreateEventA(nullptr, true, false, "");
  ~TestEvent() { os::CloseHandle(Handle); }
  TVEHandleValue Value() const { return static_cast<TVEHandleValue>(Handle); }
};

// True when Duplicate names the same event as Original (signalled through
// one, seen through the other).
bool SameEvent(TVEHandleValue original, TVEHandleValue duplicate) {
  os::ResetEvent(static_cast<os::HANDLE>(original));
  if (!os::SetEvent(static_cast<os::HANDLE>(duplicate))) return false;
  return os::WaitForSingleObject(static_cast<os::HANDLE>(original), 0) == os::kWaitObject0;
}

// ---- Handle fields -----------------------------------------------------------

struct HandleFieldRow {
  const TPacketClass* Class;
  std::int32_t Index;
  int Line;
};

TEST_F(VEPacketsTest, HandlesLoadFromFourOrEightBytesOnly) {
  const HandleFieldRow rows[] = {
      {&TVESessionPacket::Class, 8, 6669}, {&TVESessionPacket::Class, 11, 6697},
      {&TVEHandlePacket::Class, 0, 8028},  {&TVEProcessPacket::Class, 1, 9300},
      {&TVEProcessPacket::Class, 2, 9318},
  };
  for (const HandleFieldRow& row : rows) {
    SCOPED_TRACE(QualifiedFieldName(*row.Class, row.Index));
    auto p = row.Class->Create();
    p->SetFieldAsInteger(row.Index, 0x01020304);
    const std::string good = FieldBytes(*p);
    const std::size_t at = good.find(std::string("\x04\x04\x03\x02\x01", 5));
    ASSERT_NE(at, std::string::npos);
    for (const std::string& bad : {std::string("\x02\x05\x00", 3), std::string("\x00", 1),
                                   std::string("\xFF", 1) + std::string(255, '\0')}) {
      std::string fields = good;
      fields.replace(at, 5, bad);
      ReadBothWays(fields, [&](TStream& in, bool buffered) {
        auto q = row.Class->Create();
        q->SetFieldAsInteger(row.Index, 77);
        std::int32_t remaining = row.Class->FieldCount();
        EXPECT_EQ(MessageOf<EAssertionFailed>([&] { ReadFields(*q, in, buffered, remaining); }),
                  "Assertion failure (VEPackets, line " + std::to_string(row.Line) + ")");
        EXPECT_EQ(q->GetFieldAsInteger(row.Index), 0);  // set to 0 before the size is read
      });
    }
    // Eight bytes: the low half is taken; written back in four.
    std::string eight = good;
    eight.replace(at, 5, std::string("\x08\x04\x03\x02\x01\xAA\xBB\xCC\xDD", 9));
    auto a = row.Class->Create();
    auto b = row.Class->Create();
    EXPECT_EQ(LoadFieldsBothWays(*a, *b, eight, row.Class->FieldCount()), std::ssize(eight));
    EXPECT_EQ(FieldBytes(*a), good);
    EXPECT_EQ(FieldBytes(*b), good);
    // Eight bytes announced, three present: a read error, never more.
    std::string cut = good.substr(0, at) + std::string("\x08\x01\x02\x03", 4);
    ReadBothWays(cut, [&](TStream& in, bool buffered) {
      std::int32_t remaining = row.Class->FieldCount();
      EXPECT_THROW(ReadFields(*row.Class->Create(), in, buffered, remaining), EReadError);
    });
  }
}

TEST_F(VEPacketsTest, DuplicateHandlesIntoProcess) {
  TestEvent e1, e2, e3;
  TVESessionPacket s;
  s.CreateProcessMutex = e1.Value();
  s.ExampleFileHandle = e2.Value();
  s.DuplicateHandles(kSelf, kSelf);
  EXPECT_NE(s.CreateProcessMutex, e1.Value());
  EXPECT_NE(s.ExampleFileHandle, e2.Value());
  EXPECT_TRUE(SameEvent(e1.Value(), s.CreateProcessMutex));
  EXPECT_TRUE(SameEvent(e2.Value(), s.ExampleFileHandle));
  os::CloseHandle(s.CreateProcessMutex);
  os::CloseHandle(s.ExampleFileHandle);

  TVEProcessPacket p;
  p.ProcessArrayHandle = e1.Value();
  p.TerminateEventHandle = 0;
  p.FileHandles.AddNew().Handle = e3.Value();
  p.NeedPdbForwarderContext().StringBindingPrefix = "x";
  TVEProcessPacket before;
  before.Assign(p);
  p.DuplicateHandles(kSelf, kSelf);
  EXPECT_TRUE(SameEvent(e1.Value(), p.ProcessArrayHandle));
  EXPECT_NE(p.ProcessArrayHandle, e1.Value());
  EXPECT_EQ(p.TerminateEventHandle, 0u);
  EXPECT_TRUE(p.FileHandles.Equals(before.FileHandles));
  EXPECT_TRUE(p.SamePdbForwarderContext(before.PdbForwarderContext.get()));
  os::CloseHandle(p.ProcessArrayHandle);

  TVEHandlePacket h;
  h.Handle = e3.Value();
  h.DuplicateHandles(kSelf, kSelf);
  EXPECT_TRUE(SameEvent(e3.Value(), h.Handle));
  os::CloseHandle(h.Handle);

  TVEPreloadPacket pre;
  pre.ProcessHandleInSession = e3.Value();
  pre.DuplicateHandles(kSelf, kSelf);
  EXPECT_EQ(pre.ProcessHandleInSession, e3.Value());
}

TEST_F(VEPacketsTest, DuplicateHandlesFailure) {
  TestEvent e1, e2;
  const TVEHandleValue bogus = 0x7FFFFFF0;
  TVESessionPacket s;
  s.CreateProcessMutex = e1.Value();
  s.ExampleFileHandle = bogus;
  const std::string message = MessageOf<EOSError>([&] { s.DuplicateHandles(kSelf, kSelf); });
  EXPECT_EQ(message.rfind("Failed to duplicate handle 0x0", 0), 0u) << message;
  EXPECT_NE(message.find("with same access rights, from process"), std::string::npos);
  EXPECT_NE(s.CreateProcessMutex, e1.Value());  // the first keeps its duplicate
  EXPECT_TRUE(SameEvent(e1.Value(), s.CreateProcessMutex));
  EXPECT_EQ(s.ExampleFileHandle, bogus);
  os::CloseHandle(s.CreateProcessMutex);

  TVEProcessPacket p;
  p.ProcessArrayHandle = bogus;
  p.TerminateEventHandle = e2.Value();
  EXPECT_THROW(p.DuplicateHandles(kSelf, kSelf), EOSError);
  EXPECT_EQ(p.ProcessArrayHandle, bogus);
  EXPECT_EQ(p.TerminateEventHandle, e2.Value());
}

TEST_F(VEPacketsTest, DuplicateHandlesOutOfAChildProcess) {
  test::TempFolder dir;
  test::WriteFileText(dir.File("f"), "held");
  const std::string mutex = "vt_ve_dup_" + std::to_string(::getpid());
  test::HoldingChild child(dir.File("f"), os::kGenericRead, os::kFileShareRead, mutex);
  ASSERT_TRUE(child.held()) << child.error();
  const auto source = static_cast<std::uintptr_t>(child.process());
  TVESessionPacket s;
  s.CreateProcessMutex = static_cast<TVEHandleValue>(child.mutex_handle());
  s.ExampleFileHandle = static_cast<TVEHandleValue>(child.file_handle());
  s.DuplicateHandles(source, kSelf);
  std::string name;
  EXPECT_EQ(os::NtQueryObjectName(static_cast<os::HANDLE>(s.CreateProcessMutex), name), 0u);
  EXPECT_EQ(name, "\\Sessions\\1\\BaseNamedObjects\\" + mutex);
  EXPECT_EQ(os::GetFileType(static_cast<os::HANDLE>(s.ExampleFileHandle)), os::kFileTypeDisk);
  os::CloseHandle(s.CreateProcessMutex);
  os::CloseHandle(s.ExampleFileHandle);

  // Into the child: refused with the Windows error, the fields kept.
  TVEHandlePacket h;
  h.Handle = static_cast<TVEHandleValue>(child.file_handle());
  const std::string message = test::CodedMessageOf<EOSError>([&] { h.DuplicateHandles(kSelf, source); });
  EXPECT_EQ(message.substr(message.size() - 3), "#50") << message;
  EXPECT_EQ(h.Handle, static_cast<TVEHandleValue>(child.file_handle()));
}

TEST_F(VEPacketsTest, HandleTextsAreUnsigned) {
  TVESessionPacket s;
  s.ExampleFileHandle = 0xFFFFFFFF;
  TVEProcessPacket p;
  p.ProcessArrayHandle = 0xFFFFFFFE;
  std::string text;
  EXPECT_EQ(s.FieldToText(11, text), 1);
  EXPECT_EQ(text, "4294967295");
  EXPECT_EQ(p.FieldToText(1, text), 1);
  EXPECT_EQ(text, "4294967294");
  EXPECT_EQ(p.GetFieldAsInteger(1), -2);
}

TEST_F(VEPacketsTest, AbsentForwarderContextNamesItsField) {
  TVEProcessPacket p;
  const std::string message =
      "Attempt to access uninitialized member object: TVEProcessPacket.PdbForwarderContext";
  EXPECT_EQ(MessageOf([&] { p.GetPdbForwarderContext(); }), message);
  EXPECT_EQ(MessageOf([&] { p.GetFieldAsObject(21); }), message);
}

}  // namespace
}  // namespace vt
