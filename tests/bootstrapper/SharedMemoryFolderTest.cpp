// A setup run where the shared-memory folder cannot take the session's
// objects ends with 6 and a message that names the folder and what is wrong.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/TestFiles.h"

namespace vt {
namespace {

class SharedMemoryFolder : public test::TempFolderTest {
 protected:
  struct Run {
    int code;
    std::string out;
  };
  // The console sample setup, run in a mount namespace whose /dev/shm is a
  // fresh tmpfs mounted with options. The other problems the message names
  // are the platform tests' (SharedFolderTest).
  Run RunWithShm(const std::string& options) {
    test::WriteFileText(P("run.sh"), "mount -t tmpfs -o '" + options + "' none /dev/shm || exit 99\nexec \"$@\"\n");
    const std::string out = P("out");
    const int code = test::Shell("(TMPDIR=" + test::Q(P("tmp")) + " unshare -m sh " + test::Q(P("run.sh")) + " " +
                                 test::Q(test::ProgramBeside("vt_setup_console")) + " > " + test::Q(out) +
                                 " 2>&1)");
    return {code, test::ReadFileText(out)};
  }
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount /dev/shm in a namespace of its own";
    test::Shell("mkdir -m 1777 " + test::Q(P("tmp")));
    if (RunWithShm("mode=1777").code == 99) GTEST_SKIP() << "cannot mount a file system here";
  }
  bool TmpIsEmpty() { return test::Shell("[ -z \"$(ls -A " + test::Q(P("tmp")) + ")\" ]") == 0; }
};

TEST_F(SharedMemoryFolder, AWritableOneRuns) {
  const Run run = RunWithShm("mode=1777");
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_EQ(run.out.find("session data"), std::string::npos) << run.out;
}

TEST_F(SharedMemoryFolder, ReadOnlyOneEndsWithSixAndSaysSo) {
  const Run run = RunWithShm("ro");
  EXPECT_EQ(run.code, 6) << run.out;
  EXPECT_NE(run.out.find("Fatal Error: Failed to open/create session data: STATUS_ACCESS_DENIED (the shared-memory "
                         "folder /dev/shm is read-only)"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(TmpIsEmpty());
}

// A /dev/shm with room for some of the run's objects only (one page or
// inode up to one short of what a run needs): whichever object runs out of
// room first, the message names the folder and its lack of room.
TEST_F(SharedMemoryFolder, NearlyFullOneEndsWithSixAndSaysItIsFull) {
  for (const std::string room : {"size=4k", "size=80k", "nr_inodes=2", "nr_inodes=3", "nr_inodes=21"}) {
    SCOPED_TRACE(room);
    const Run run = RunWithShm("mode=1777," + room);
    EXPECT_EQ(run.code, 6) << run.out;
    EXPECT_NE(run.out.find("Fatal Error: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" (the shared-memory folder /dev/shm is full)\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("cannot find the file"), std::string::npos) << run.out;
    EXPECT_TRUE(TmpIsEmpty());
  }
}

}  // namespace
}  // namespace vt
