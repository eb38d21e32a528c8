#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/Section.h"
#include "platform/Sync.h"
#include "support/HoldingChild.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

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
  EXPECT_EQ(WaitForSingleObject(owned, vt::test::kPatienceMs), kWaitAbandoned0);
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

// A child of another user: its names are not this user's. The pull is
// refused, never answered with this process's object of the same name, nor
// with this process's private object that the child names itself.
TEST_F(DuplicateFromProcessTest, NamedObjectsOfAnotherUsersChildAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to start a child as user 65534";
  const HANDLE token = CreateUserToken(65534, 65534, {});
  ASSERT_NE(token, 0);
  const std::string suffix = std::to_string(::getpid());
  const HANDLE same_name = CreateEventA(nullptr, true, false, "Global\\vt_dup_user_" + suffix);
  const HANDLE secret = CreateEventA(nullptr, true, false, "vt_dup_secret_" + suffix);
  std::string secret_name;
  ASSERT_TRUE(same_name && secret && NtQueryObjectName(secret, secret_name) == 0);
  for (const std::string& object : {"event:Global\\vt_dup_user_" + suffix, "forge:" + secret_name}) {
    test::HoldingChild child("/dev/null", kGenericRead, 7, object, static_cast<std::uintptr_t>(token));
    ASSERT_TRUE(child.held()) << object << ": " << child.error();
    HANDLE copy = 0;
    EXPECT_FALSE(DuplicateHandle(child.process(), child.mutex_handle(), kCurrentProcess, &copy, false)) << object;
    EXPECT_EQ(GetLastError(), DWORD{kErrorAccessDenied}) << object;
    HANDLE file = kInvalidHandleValue;  // its descriptors still come over
    EXPECT_TRUE(DuplicateHandle(child.process(), child.file_handle(), kCurrentProcess, &file, false));
    CloseHandle(file);
  }
  CloseHandle(same_name);
  CloseHandle(secret);
  CloseHandle(token);
}

// A child of this user inside a user namespace of its own is another user
// there: its names are not this process's names either.
TEST_F(DuplicateFromProcessTest, NamedObjectOfAChildInItsOwnUserNamespaceIsRefused) {
  const std::string name = "vt_dup_userns_" + std::to_string(::getpid());
  const HANDLE same_name = CreateEventA(nullptr, true, false, name);
  ASSERT_NE(same_name, 0);
  test::HoldingChild child("/dev/null", kGenericRead, 7, "userns:" + name);
  if (!child.held() && child.error() == kErrorNotSupported) GTEST_SKIP() << "no user namespaces here";
  ASSERT_TRUE(child.held()) << child.error();
  HANDLE copy = 0;
  EXPECT_FALSE(DuplicateHandle(child.process(), child.mutex_handle(), kCurrentProcess, &copy, false));
  EXPECT_EQ(GetLastError(), DWORD{kErrorAccessDenied});
  EXPECT_EQ(copy, 0);  // nothing made, nothing to close (0 is standard input here)
  CloseHandle(same_name);
}

}  // namespace
}  // namespace vt::os
