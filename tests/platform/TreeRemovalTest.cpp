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
#include <cstdio>
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
  std::atomic<long> made{0};      // entries it made
  std::atomic<long> no_space{0};  // makes the file system refused for want of room
  std::atomic<bool> started{false};
};

// A child process that stands in bottom, makes a folder "d" there, goes into
// it and makes the next, over and over: a chain that grows at its bottom
// while a removal takes it from the top. A flat one makes files "f<n>" in
// bottom instead: one folder that keeps growing.
class Filler {
 public:
  Filler(const fs::path& bottom, bool flat) {
    void* shared = ::mmap(nullptr, sizeof(FillerCounts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) return;
    counts_ = new (shared) FillerCounts;
    pid_ = ::fork();
    if (pid_ == 0) {
      if (::chdir(bottom.c_str()) != 0) ::_exit(1);
      counts_->started.store(true);
      if (flat) {
        for (long n = 0;; ++n) {
          char name[32];
          std::snprintf(name, sizeof name, "f%ld", n);
          const int fd = ::open(name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
          if (fd >= 0) {
            ::close(fd);
            counts_->made.fetch_add(1);
          } else if (errno == ENOSPC) {
            counts_->no_space.fetch_add(1);
            ::sched_yield();
          } else {
            ::sched_yield();  // its folder went: nothing is made any more
          }
        }
      }
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

// How many entries the removal may leave the filler time to make: far more
// than a walk over what stands needs, far less than the file system's room.
constexpr long kFillerBound = 200000;

// The filler stands in the bottom folder of a chain shallower and one deeper
// than the folders the walk holds open. Either that folder is a mount point
// (a file system of 100,000 inodes), which no removal takes: the removal
// ends with "in use" (170). Or the whole tree is on such a file system,
// which the filler would fill: the removal ends with "in use" or, having
// reached the filler's folder, with nothing left. Either way the filler made
// a bounded number of entries and none was refused for want of room. Done
// through RemoveTreeNoFollow and through a held folder's removal, twice in
// a row, with a filler that grows a chain and one that fills its folder.
// Runs in a mount namespace of its own; false when none can be made.
bool RemoveWhileFilled(const fs::path& root, bool flat) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  constexpr const char* kSmall = "nr_inodes=100000,size=64m";
  SCOPED_TRACE(flat ? "a flat filler" : "a chain filler");
  const fs::path home = root / (flat ? "flat" : "chain");
  fs::create_directories(home);
  for (const bool whole_tree : {false, true}) {
    SCOPED_TRACE(whole_tree ? "the whole tree on the small file system" : "a small file system at the bottom");
    const fs::path base = whole_tree ? home / "small" : home;
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
        Filler filler(bottom, flat);
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

// Runs body in a child process (mount namespaces are the process's); the
// test is skipped when the child could not mount what it needs.
void InChildProcess(bool (*body)(const fs::path&), const fs::path& root) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(300);  // a removal that does not end fails the test
    const bool ran = body(root);
    ::_exit(!ran ? 77 : ::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a file system here (needs root)";
  ASSERT_TRUE(WIFEXITED(status)) << "ended with signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the checks in the mount namespace failed (see above)";
}

TEST(TreeRemoval, AFolderSomethingKeepsFillingStopsTheRemovalInBoundedWork) {
  test::TempFolder folder{"vt_filled"};
  InChildProcess([](const fs::path& root) { return RemoveWhileFilled(root, false) && RemoveWhileFilled(root, true); },
                 folder.path());
}

// Nests levels folders "n" under the folder open as fd, each holding a file
// "f", and a file "m" in the one at mark_level; every step is relative.
void MakeChainWithFiles(int fd, int levels, int mark_level) {
  int cur = ::dup(fd);
  for (int level = 1; level <= levels && cur >= 0; ++level) {
    ASSERT_EQ(::mkdirat(cur, "n", 0700), 0);
    const int next = ::openat(cur, "n", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(cur);
    cur = next;
    ASSERT_GE(cur, 0);
    for (const char* name : {"f", level == mark_level ? "m" : nullptr}) {
      if (!name) continue;
      const int file = ::openat(cur, name, O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      ASSERT_GE(file, 0);
      ::close(file);
    }
  }
  ::close(cur);
}

// A 20,000-level chain, each folder holding a file, on a 300 MiB file
// system. Once its removal has passed level 100 the removing process is
// stopped, another process writes 40 MiB and makes 8,000 files elsewhere on
// that file system, and the removal goes on: it finishes, through
// RemoveTreeNoFollow and through a held folder's removal.
bool RemoveWhileOthersWrite(const fs::path& root) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return false;
  const fs::path base = root / "fs";
  fs::create_directories(base);
  if (::mount("none", base.c_str(), "tmpfs", 0, "size=300m,nr_inodes=100000") != 0) return false;
  const int parent = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(parent, 0);
  for (const bool held_folder : {false, true}) {
    SCOPED_TRACE(held_folder ? "held folder" : "RemoveTreeNoFollow");
    int held = -1;
    if (held_folder) {
      EXPECT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
    } else {
      EXPECT_EQ(::mkdirat(parent, "Run_1", 0700), 0);
    }
    const int top = ::openat(parent, "Run_1", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    MakeChainWithFiles(top, 20000, 100);
    int above_mark = ::dup(top);  // the folder above the one with the mark
    for (int level = 1; level < 100; ++level) {
      const int next = ::openat(above_mark, "n", O_PATH | O_DIRECTORY | O_CLOEXEC);
      ::close(above_mark);
      above_mark = next;
    }
    ::close(top);
    const pid_t remover = ::fork();
    if (remover == 0) {
      bool removed = false;
      if (held_folder) {
        auto scratch = std::make_unique<FolderScratch>();
        removed = RemoveHeldFolder(parent, "Run_1", held, scratch.get(), nullptr, nullptr, 0);
      } else {
        removed = RemoveTreeNoFollow((base / "Run_1").string());
      }
      ::_exit(removed ? 0 : 1);
    }
    EXPECT_GT(remover, 0);
    EXPECT_TRUE(test::WaitPatiently(
        [&] { return ::faccessat(above_mark, "n/m", F_OK, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT; }));
    ::close(above_mark);
    int status = 0;
    EXPECT_EQ(::kill(remover, SIGSTOP), 0);
    EXPECT_EQ(::waitpid(remover, &status, WUNTRACED), remover);
    const fs::path elsewhere = base / "elsewhere";
    fs::create_directories(elsewhere);
    test::WriteFileText(elsewhere / "big", std::string(40 << 20, 'x'));
    for (int i = 0; i < 8000; ++i) test::WriteFileText(elsewhere / std::to_string(i), "");
    EXPECT_EQ(::kill(remover, SIGCONT), 0);
    EXPECT_EQ(::waitpid(remover, &status, 0), remover);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the removal did not finish";
    EXPECT_FALSE(fs::exists(base / "Run_1"));
    CloseFolder(held);
    fs::remove_all(elsewhere);
    if (fs::exists(base / "Run_1")) RemoveTreeNoFollow((base / "Run_1").string());
  }
  ::close(parent);
  EXPECT_EQ(::umount2(base.c_str(), MNT_DETACH), 0);
  return true;
}

TEST(TreeRemoval, WritesElsewhereOnTheFileSystemDoNotStopTheRemoval) {
  test::TempFolder folder{"vt_elsewhere"};
  InChildProcess(RemoveWhileOthersWrite, folder.path());
}

}  // namespace
}  // namespace vt::os
