#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/Files.h"
#include "platform/Handles.h"
#include "support/HoldingChild.h"
#include "support/TestFiles.h"

namespace vt::os {
namespace {

using test::HoldingChild;

constexpr DWORD kAccesses[] = {kGenericRead, kGenericWrite, kGenericRead | kGenericWrite, kDeleteAccess};

// Whether a second open with Access and Share may join a first one.
bool Compatible(DWORD first_access, DWORD first_share, DWORD access, DWORD share) {
  auto refused = [](DWORD a, DWORD s) {
    return ((a & kGenericRead) && !(s & kFileShareRead)) || ((a & kGenericWrite) && !(s & kFileShareWrite)) ||
           ((a & kDeleteAccess) && !(s & kFileShareDelete));
  };
  return !refused(access, first_share) && !refused(first_access, share);
}

class ShareModesTest : public test::TempFolderTest {
 protected:
  void SetUp() override { Write("f", "data"); }
  // The error of an open in this process (0 when it worked).
  DWORD OpenError(DWORD access, DWORD share) {
    FileHandle h = CreateFile(P("f"), access, share, kOpenExisting, 0);
    if (h == kInvalidFile) return GetLastError();
    CloseFile(h);
    return 0;
  }
};

// Every access against every share mode, the first open held by another process.
TEST_F(ShareModesTest, AccessAgainstShareAcrossProcesses) {
  for (DWORD first_access : kAccesses) {
    for (DWORD first_share = 0; first_share < 8; ++first_share) {
      HoldingChild holder(P("f"), first_access, first_share);
      ASSERT_TRUE(holder.held()) << holder.error();
      for (DWORD access : kAccesses) {
        for (DWORD share = 0; share < 8; ++share) {
          const bool ok = Compatible(first_access, first_share, access, share);
          EXPECT_EQ(OpenError(access, share), ok ? 0u : DWORD{kErrorSharingViolation})
              << "held with access " << std::hex << first_access << " share " << first_share << ", opened with access "
              << access << " share " << share;
        }
      }
    }
  }
}

// The other way round: this process holds, the other one opens.
TEST_F(ShareModesTest, OtherProcessRefusedByThisOne) {
  FileHandle h = CreateFile(P("f"), kGenericWrite, kFileShareRead, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidFile);
  EXPECT_EQ(HoldingChild(P("f"), kGenericWrite, kFileShareRead | kFileShareWrite).error(), kErrorSharingViolation);
  EXPECT_TRUE(HoldingChild(P("f"), kGenericRead, kFileShareRead | kFileShareWrite).held());
  // A duplicate keeps the share after the first handle is closed.
  HANDLE dup = kInvalidFile;
  ASSERT_TRUE(DuplicateHandle(kCurrentProcess, h, kCurrentProcess, &dup, false));
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(HoldingChild(P("f"), kGenericWrite, 7).error(), kErrorSharingViolation);
  ASSERT_TRUE(CloseHandle(dup));
  EXPECT_TRUE(HoldingChild(P("f"), kGenericWrite, 0).held());
}

TEST_F(ShareModesTest, DeleteNeedsDeleteSharingOfOtherProcesses) {
  {
    HoldingChild holder(P("f"), kGenericRead, kFileShareRead | kFileShareWrite);
    ASSERT_TRUE(holder.held());
    EXPECT_FALSE(DeleteFile(P("f")));
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  }
  HoldingChild holder(P("f"), kGenericRead, kFileShareRead | kFileShareDelete);
  ASSERT_TRUE(holder.held());
  EXPECT_TRUE(DeleteFile(P("f")));
}

// A holder killed outright leaves no share behind.
TEST_F(ShareModesTest, ShareEndsWithAKilledHolder) {
  HoldingChild holder(P("f"), kGenericWrite, 0);
  ASSERT_TRUE(holder.held());
  EXPECT_EQ(OpenError(kGenericRead, 7), DWORD{kErrorSharingViolation});
  holder.Release(true);
  EXPECT_EQ(OpenError(kGenericRead | kGenericWrite, 0), 0u);
}

}  // namespace
}  // namespace vt::os

namespace vt::os {
namespace {

// A child started suspended holds only what it inherits: the starter's own
// files (closed on exec) keep no share alive in it while it waits.
TEST_F(ShareModesTest, SuspendedChildKeepsNoShareOfItsStarter) {
  for (bool inherit : {false, true}) {
    FileHandle h = CreateFile(P("f"), kGenericRead, 0, kOpenExisting, 0);
    ASSERT_NE(h, kInvalidFile);
    ProcessInformation pi;
    ASSERT_TRUE(CreateProcess(test::ProgramBeside("vt_proc_child"), "vt_proc_child exit 0", inherit,
                              kCreateSuspended, nullptr, {}, {}, &pi));
    ASSERT_TRUE(CloseFile(h));
    EXPECT_EQ(OpenError(kGenericRead | kGenericWrite, 0), 0u) << inherit;
    ResumeChildThread(pi.thread);
    EXPECT_EQ(WaitForProcess(pi.process, kInfinite), kWaitObject0);
    CloseHandle(pi.process);
    CloseHandle(pi.thread);
  }
}

// A write-only handle closed behind this layer's back: when its number is
// reused, the share it held ends with it.
TEST_F(ShareModesTest, StaleEntryReleasesItsShare) {
  Write("g", "other");
  FileHandle h = CreateFile(P("f"), kGenericWrite, 0, kOpenExisting, 0);
  ASSERT_NE(h, kInvalidFile);
  ::close(static_cast<int>(h));
  FileHandle reused = CreateFile(P("g"), kGenericRead, kFileShareRead, kOpenExisting, 0);
  ASSERT_EQ(reused, h);
  EXPECT_EQ(OpenError(kGenericRead | kGenericWrite, 0), 0u);
  EXPECT_TRUE(CloseFile(reused));
}

}  // namespace
}  // namespace vt::os

namespace vt::os {
namespace {

// Out of descriptors, a share that cannot be held or looked at refuses the
// open or the delete instead of letting it past another process's share.
TEST_F(ShareModesTest, NoDescriptorLeftForTheShareRefuses) {
  Write("g", "other");
  HoldingChild holder(P("f"), kGenericRead, kFileShareRead | kFileShareWrite);
  ASSERT_TRUE(holder.held());
  const pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit few {64, 64};
    if (::setrlimit(RLIMIT_NOFILE, &few) != 0) ::_exit(10);
    const FileHandle g = CreateFile(P("g"), kGenericWrite, 0, kOpenExisting, 0);
    int last = -1;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) last = fd;
    ::close(last);  // one left
    // A copy that could not carry the share would leave it with the first handle.
    HANDLE copy = kInvalidFile;
    if (g == kInvalidFile || DuplicateHandle(kCurrentProcess, g, kCurrentProcess, &copy, false)) ::_exit(14);
    if (GetLastError() != kErrorTooManyOpenFiles) ::_exit(15);
    if (CreateFile(P("f"), kGenericWrite, kFileShareRead, kOpenExisting, 0) != kInvalidFile) ::_exit(11);
    if (GetLastError() != kErrorTooManyOpenFiles) ::_exit(12);
    // The free number stays free for the delete's look, which fails as well.
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
    }
    if (DeleteFile(P("f")) || GetLastError() != kErrorTooManyOpenFiles) ::_exit(13);
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Read("f"), "data");
}

}  // namespace
}  // namespace vt::os
