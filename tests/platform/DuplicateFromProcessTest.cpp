#include <string>

#include "platform/Files.h"
#include "platform/Section.h"
#include "platform/Sync.h"
#include "support/HoldingChild.h"
#include "support/TestFiles.h"

namespace vt::os {
namespace {

class DuplicateFromProcessTest : public test::TempFolderTest {};

TEST_F(DuplicateFromProcessTest, FileAndNamedMutexOfAChild) {
  Write("f", "child's file");
  const std::string mutex = "vt_dup_" + std::to_string(::getpid());
  test::HoldingChild child(P("f"), kGenericRead, kFileShareRead, mutex);
  ASSERT_TRUE(child.held()) << child.error();

  HANDLE file = kInvalidHandleValue;
  ASSERT_TRUE(DuplicateHandle(child.process(), child.file_handle(), kCurrentProcess, &file, false));
  char buffer[32] = {};
  std::int64_t done = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done));
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(done)), "child's file");

  HANDLE owned = 0;
  ASSERT_TRUE(DuplicateHandle(child.process(), child.mutex_handle(), kCurrentProcess, &owned, false));
  std::string name;
  EXPECT_EQ(NtQueryObjectName(owned, name), 0u);
  EXPECT_EQ(name, "\\Sessions\\1\\BaseNamedObjects\\" + mutex);
  EXPECT_EQ(WaitForSingleObject(owned, 0), kWaitTimeout);  // the child owns it

  // Copying into another process needs its help: refused.
  HANDLE ignored = 0;
  EXPECT_FALSE(DuplicateHandle(kCurrentProcess, file, child.process(), &ignored, false));
  EXPECT_EQ(GetLastError(), DWORD{kErrorNotSupported});
  // A handle the child does not have.
  EXPECT_FALSE(DuplicateHandle(child.process(), 999, kCurrentProcess, &ignored, false));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidHandle});
  EXPECT_FALSE(DuplicateHandle(child.process(), kHandleTableBase + 4 * 4000, kCurrentProcess, &ignored, false));
  EXPECT_EQ(GetLastError(), DWORD{kErrorInvalidHandle});

  // The child ends without releasing: the copy sees the mutex abandoned, and
  // the file stays readable through the copy.
  child.Release();
  EXPECT_EQ(WaitForSingleObject(owned, 5000), kWaitAbandoned0);
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_TRUE(SetFilePointer(file, 0, kFileBegin, nullptr));
  EXPECT_TRUE(ReadFile(file, buffer, 5, &done));
  EXPECT_EQ(done, 5);
  EXPECT_TRUE(CloseHandle(owned));
  EXPECT_TRUE(CloseHandle(file));
  // Once it has ended nothing more can be copied.
  EXPECT_FALSE(DuplicateHandle(child.process(), child.file_handle(), kCurrentProcess, &ignored, false));
}

// Named objects of any kind: the copy is found by the child's name.
TEST_F(DuplicateFromProcessTest, NamedEventOfAChild) {
  Write("f", "x");
  const std::string event = "Global\\vt_dup_event_" + std::to_string(::getpid());
  test::HoldingChild child(P("f"), kGenericRead, 7, "event:" + event);
  ASSERT_TRUE(child.held()) << child.error();
  HANDLE copy = 0;
  ASSERT_TRUE(DuplicateHandle(child.process(), child.mutex_handle(), kCurrentProcess, &copy, false));
  std::string name;
  EXPECT_EQ(NtQueryObjectName(copy, name), 0u);
  EXPECT_EQ(name, "\\BaseNamedObjects\\vt_dup_event_" + std::to_string(::getpid()));
  EXPECT_EQ(WaitForSingleObject(copy, 0), kWaitObject0);
  EXPECT_TRUE(ResetEvent(copy));
  const HANDLE own = OpenEventA(event);
  ASSERT_NE(own, 0);
  EXPECT_EQ(WaitForSingleObject(own, 0), kWaitTimeout);  // one object, reset through the copy
  CloseHandle(own);
  CloseHandle(copy);
}

}  // namespace
}  // namespace vt::os
