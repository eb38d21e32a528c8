#include "platform/SharedFolder.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace vt::os {
namespace {

constexpr int kCannot = 99;

// FolderWriteProblem(folder) as a child process sees it after prepare (in a
// mount namespace of its own); "(skipped)" when prepare cannot be done here.
std::string ProblemInChild(const std::string& folder, const std::function<bool()>& prepare) {
  int fds[2];
  if (::pipe(fds) != 0) return "(no pipe)";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !prepare())
      ::_exit(kCannot);
    const std::string answer = FolderWriteProblem(folder);
    const bool written = ::write(fds[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  std::string answer;
  char buffer[256];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannot) return "(skipped)";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? answer : "(child failed)";
}

bool MountTmpfs(const std::string& folder, const char* options, unsigned long flags) {
  return ::mount("none", folder.c_str(), "tmpfs", flags, options) == 0;
}

TEST(SharedFolder, AWritableFolderHasNoProblemAndMissingOnesOrFilesSaySo) {
  test::TempFolder folder{"vt_shared_folder"};
  const fs::path root = folder.path();
  EXPECT_EQ(FolderWriteProblem(root.string()), "");
  EXPECT_EQ(FolderWriteProblem((root / "missing").string()), "does not exist");
  std::ofstream(root / "file") << "x";
  EXPECT_EQ(FolderWriteProblem((root / "file").string()), "is not a folder");
  EXPECT_EQ(FolderWriteProblem((root / "file" / "below").string()), "");  // not the folder's fault
  EXPECT_EQ(std::string(kSharedObjectFolder), "/dev/shm");
}

TEST(SharedFolder, ReadOnlyFullAndOtherUsersFoldersSaySo) {
  test::TempFolder folder{"vt_shared_folder"};
  const std::string at = (folder.path() / "shm").string();
  fs::create_directory(at);
  // Another user must reach the folder to be told it may not write there.
  fs::permissions(folder.path(), fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);

  std::string answer = ProblemInChild(at, [&] { return MountTmpfs(at, nullptr, MS_RDONLY); });
  if (answer == "(skipped)") GTEST_SKIP() << "cannot mount a file system here (needs root)";
  EXPECT_EQ(answer, "is read-only");

  // Full of blocks, and out of inodes.
  EXPECT_EQ(ProblemInChild(at,
                           [&] {
                             if (!MountTmpfs(at, "size=4k", 0)) return false;
                             std::ofstream(at + "/fill") << std::string(4096, 'x');
                             return true;
                           }),
            "is full");
  EXPECT_EQ(ProblemInChild(at,
                           [&] {
                             if (!MountTmpfs(at, "nr_inodes=2", 0)) return false;
                             std::ofstream(at + "/fill") << "x";
                             return true;
                           }),
            "is full");
  EXPECT_EQ(ProblemInChild(at, [&] { return MountTmpfs(at, "size=1m", 0); }), "");

  // A folder of root that another user may not write in.
  answer = ProblemInChild(at, [&] {
    return MountTmpfs(at, "mode=0755", 0) && ::setresgid(65534, 65534, 65534) == 0 &&
           ::setresuid(65534, 65534, 65534) == 0;
  });
  EXPECT_EQ(answer, "is not writable by this user");
  EXPECT_EQ(ProblemInChild(at,
                           [&] {
                             return MountTmpfs(at, "mode=1777", 0) && ::setresgid(65534, 65534, 65534) == 0 &&
                                    ::setresuid(65534, 65534, 65534) == 0;
                           }),
            "");
}

}  // namespace
}  // namespace vt::os
