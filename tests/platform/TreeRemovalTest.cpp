// Tree removals that something else keeps filling while they run.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/LastError.h"
#include "platform/PrivateFolder.h"
#include "support/Patience.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace vt::os {
namespace {

// What a filler process did, in memory it shares with the test.
struct FillerCounts {
  std::atomic<long> made{0};      // folders it made
  std::atomic<long> no_space{0};  // makes the file system refused for want of room
  std::atomic<bool> started{false};
};

// A child process that stands in bottom, makes a folder "d" there, goes into
// it and makes the next, over and over: a chain that grows at its bottom
// while a removal takes it from the top.
class Filler {
 public:
  explicit Filler(const fs::path& bottom) {
    void* shared = ::mmap(nullptr, sizeof(FillerCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    counts_ = new (shared) FillerCounts;
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(bottom.c_str()) != 0) ::_exit(1);
      counts_->started.store(true);
      for (;;) {
        if (::mkdir("d", 0700) == 0) {
          counts_->made.fetch_add(1);
          if (::chdir("d") != 0) ::sched_yield();  // taken before it could go in
        } else if (errno == ENOSPC) {
          counts_->no_space.fetch_add(1);
          ::sched_yield();
        } else if (errno == ENOENT) {
          ::sched_yield();  // its own folder went: nothing is made any more
        }
      }
    }
  }
  ~Filler() {
    Stop();
    if (counts_) ::munmap(counts_, sizeof(FillerCounts));
  }
  Filler(const Filler&) = delete;
  Filler& operator=(const Filler&) = delete;

  bool Started() const {
    return pid_ > 0 && test::WaitPatiently([&] { return counts_->started.load(); });
  }
  void Stop() {
    if (pid_ <= 0) return;
    test::Signal(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  const FillerCounts& Counts() const { return *counts_; }

 private:
  FillerCounts* counts_ = nullptr;
  pid_t pid_ = -1;
};

// Nests levels folders "n" under top; the deepest one's path.
fs::path MakeChain(const fs::path& top, int levels) {
  fs::path p = top;
  for (int i = 0; i < levels; ++i) p /= "n";
  fs::create_directories(p);
  return p;
}

// How many folders the removal may leave the filler time to make: far more
// than a walk over what stands needs, far less than the file system's room.
constexpr long kFillerBound = 200000;

// The filler stands in the bottom folder of a chain shallower and one deeper
// than the folders the walk holds open. Either that folder is a mount point
// (a file system of 100,000 inodes), which no removal takes: the removal
// ends with "in use" (170). Or the whole tree is on such a file system,
// which the filler would fill: the removal ends with "in use" or, having
// reached the filler's folder, with nothing left. Either way the filler made
// a bounded number of folders and none was refused for want of room. Done
// through RemoveTreeNoFollow and through a held folder's removal, twice in
// a row. Runs in a mount namespace of its own; false when none can be made.
bool RemoveWhileFilled(const fs::path& root) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  constexpr const char* kSmall = "nr_inodes=100000,size=64m";
  for (const bool whole_tree : {false, true}) {
    SCOPED_TRACE(whole_tree ? "the whole tree on the small file system" : "a small file system at the bottom");
    const fs::path base = whole_tree ? root / "small" : root;
    if (whole_tree) {
      fs::create_directories(base);
      if (::mount("none", base.c_str(), "tmpfs", 0, kSmall) != 0) return false;
    }
    const int parent = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(parent, 0);
    for (const int levels : {3, FolderScratch::kHeldLevels + 8}) {
      SCOPED_TRACE(std::to_string(levels) + " levels");
      for (const bool held_folder : {false, true}) {
        SCOPED_TRACE(held_folder ? "held folder" : "RemoveTreeNoFollow");
        int held = -1;
        if (held_folder) {
          EXPECT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
        }
        const fs::path top = base / "Run_1", bottom = MakeChain(top, levels);
        if (!whole_tree && ::mount("none", bottom.c_str(), "tmpfs", 0, kSmall) != 0) return false;
        // The mount, wherever the walk moves it.
        const int mount_fd = whole_tree ? -1 : ::open(bottom.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        EXPECT_TRUE(whole_tree || mount_fd >= 0);
        Filler filler(bottom);
        EXPECT_TRUE(filler.Started());
        for (int run = 0; run < 2; ++run) {
          bool removed = false;
          int err = 0;
          if (held_folder) {
            const auto scratch = std::make_unique<FolderScratch>();
            char stayed[32] = {};
            removed = RemoveHeldFolder(parent, "Run_1", held, scratch.get(), &err, stayed, sizeof stayed);
          } else {
            removed = RemoveTreeNoFollow(top.string());
            if (!removed) err = GetLastError() == kErrorBusy ? EBUSY : -1;
          }
          if (removed && whole_tree) {
            EXPECT_FALSE(fs::exists(top)) << run;
          } else {
            EXPECT_FALSE(removed) << run;
            EXPECT_EQ(err, EBUSY) << run;
          }
        }
        filler.Stop();
        EXPECT_LT(filler.Counts().made.load(), kFillerBound);
        EXPECT_EQ(filler.Counts().no_space.load(), 0);
        if (!whole_tree) {
          EXPECT_EQ(::umount2(("/proc/self/fd/" + std::to_string(mount_fd)).c_str(), MNT_DETACH), 0);
          ::close(mount_fd);
        }
        EXPECT_TRUE(RemoveTreeNoFollow(top.string()));  // once nothing holds it
        CloseFolder(held);
        EXPECT_TRUE(fs::is_empty(base));
      }
    }
    ::close(parent);
    if (whole_tree) {
      EXPECT_EQ(::umount2(base.c_str(), MNT_DETACH), 0);
    }
  }
  return true;
}

TEST(TreeRemoval, AFolderSomethingKeepsFillingStopsTheRemovalInBoundedWork) {
  test::TempFolder folder{"vt_filled"};
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(300);  // a removal that does not end fails the test
    const bool ran = RemoveWhileFilled(folder.path());
    ::_exit(!ran ? 77 : ::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a file system here (needs root)";
  ASSERT_TRUE(WIFEXITED(status)) << "ended with signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks in the mount namespace failed (see above)";
}

}  // namespace
}  // namespace vt::os
