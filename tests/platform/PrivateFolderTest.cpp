#include "platform/PrivateFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/LastError.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace vt::os {
namespace {

TEST(PrivateFolder, FreshOwnerOnlyNeverFollowingPlantedLinks) {
  test::TempFolder folder{"vt_private"};
  const fs::path root = folder.path(), outside = root / "outside", f = root / "Vontaro_Setup_1";
  fs::create_directories(outside);
  std::ofstream(outside / "keep.txt") << "keep";

  ASSERT_TRUE(CreatePrivateFolder(f.string() + "/"));
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_all);
  std::ofstream(f / "stale.txt") << "old";
  ASSERT_TRUE(CreatePrivateFolder(f.string()));  // an earlier folder of the same name is not reused
  EXPECT_TRUE(fs::is_empty(f));
  EXPECT_FALSE(CreatePrivateFolder((root / "missing" / "x").string()));
  EXPECT_NE(GetLastError(), kErrorSuccess);

  // A link in place of the folder is replaced, not followed.
  fs::remove(f);
  fs::create_directory_symlink(outside, f);
  ASSERT_TRUE(CreatePrivateFolder(f.string()));
  EXPECT_FALSE(fs::is_symlink(f));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));

  // Links inside a tree being removed are removed themselves.
  fs::create_directories(f / "sub");
  fs::create_directory_symlink(outside, f / "sub" / "dirlink");
  fs::create_symlink(outside / "keep.txt", f / "filelink");
  ASSERT_TRUE(RemoveTreeNoFollow(f.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(f)));
  EXPECT_TRUE(fs::exists(outside / "keep.txt"));
  EXPECT_TRUE(RemoveTreeNoFollow(f.string()));  // nothing there
}

// A held folder is never reused or swept while its holder lives; a folder
// nobody holds is a leftover, removed with what is in it, without following
// the links inside; entries of other names stay.
TEST(PrivateFolder, HeldFoldersStayAndLeftoversGo) {
  test::TempFolder folder{"vt_held"};
  const fs::path root = folder.path();
  fs::create_directories(root / "outside");
  std::ofstream(root / "outside" / "keep.txt") << "keep";
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  int held = -1;
  ASSERT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
  std::ofstream(root / "Run_1" / "Setup.pak") << "x";
  int other = -1;
  EXPECT_EQ(CreateHeldFolder(parent, "Run_1", &other), HeldFolder::kInUse);
  const fs::path deep = root / "Run_2" / "a" / "b" / "c";
  fs::create_directories(deep);
  std::ofstream(deep / "f") << "f";
  fs::create_directory_symlink(root / "outside", root / "Run_2" / "a" / "link");
  fs::create_directories(root / "Other_3");
  fs::create_directories(root / "Run_4.moved");  // not a name a run gives its folder
  fs::create_directories(root / "Run_5_2");      // a name passed over for the next one
  fs::create_directories(root / "Run_6_");
  EXPECT_EQ(RemoveLeftoverFolders(parent, "Run_"), 2);
  EXPECT_FALSE(fs::exists(root / "Run_5_2"));
  EXPECT_TRUE(fs::exists(root / "Run_6_"));
  EXPECT_TRUE(fs::exists(root / "Run_1" / "Setup.pak"));
  EXPECT_FALSE(fs::exists(root / "Run_2"));
  EXPECT_TRUE(fs::exists(root / "Other_3"));
  EXPECT_TRUE(fs::exists(root / "Run_4.moved"));
  EXPECT_TRUE(fs::exists(root / "outside" / "keep.txt"));

  FolderScratch scratch;
  int err = 0;
  char name[16] = {};
  EXPECT_TRUE(RemoveHeldFolder(parent, "Run_1", held, &scratch, &err, name, sizeof name));
  EXPECT_FALSE(fs::exists(root / "Run_1"));
  CloseFolder(held);
  ::close(parent);
}

// What the user keeps at a run's folder name and is no folder (a file, a
// FIFO, a link, to a folder or dangling) is never taken for a leftover: the
// name counts as in use and the entry stays as it was, on every try.
TEST(PrivateFolder, WhatIsNoFolderAtTheNameStaysAndTheNameIsPassedOver) {
  test::TempFolder folder{"vt_notfolder"};
  const fs::path root = folder.path();
  fs::create_directories(root / "target");
  test::WriteFileText(root / "Run_1", "the user's data");
  ASSERT_EQ(::mkfifo((root / "Run_2").c_str(), 0600), 0);
  fs::create_directory_symlink(root / "target", root / "Run_3");
  fs::create_symlink(root / "missing", root / "Run_4");
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  for (int round = 0; round < 2; ++round) {
    for (const char* name : {"Run_1", "Run_2", "Run_3", "Run_4"}) {
      int held = -1;
      EXPECT_EQ(CreateHeldFolder(parent, name, &held), HeldFolder::kInUse) << name;
      EXPECT_EQ(held, -1) << name;
    }
  }
  EXPECT_EQ(test::ReadFileText(root / "Run_1"), "the user's data");
  EXPECT_TRUE(fs::is_fifo(root / "Run_2"));
  EXPECT_EQ(fs::read_symlink(root / "Run_3"), root / "target");
  EXPECT_EQ(fs::read_symlink(root / "Run_4"), root / "missing");
  EXPECT_TRUE(fs::is_empty(root / "target"));
  int held = -1;  // a leftover folder still goes
  fs::create_directories(root / "Run_5" / "sub");
  ASSERT_EQ(CreateHeldFolder(parent, "Run_5", &held), HeldFolder::kHeld);
  EXPECT_TRUE(fs::is_empty(root / "Run_5"));
  CloseFolder(held);
  ::close(parent);
}

// Nests levels folders named name under the folder open as fd (or under its
// new folder top), each holding a file, a FIFO and a link to outside; every
// step is relative to a descriptor, so the tree may pass PATH_MAX.
void MakeChain(int fd, const char* top, const std::string& name, int levels, const fs::path& outside) {
  ASSERT_TRUE(!top || ::mkdirat(fd, top, 0700) == 0) << top;
  int cur = top ? ::openat(fd, top, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : ::dup(fd);
  for (int i = 0; i < levels && cur >= 0; ++i) {
    ASSERT_EQ(::mkdirat(cur, name.c_str(), 0700), 0) << i;
    const int next = ::openat(cur, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(cur);
    cur = next;
    ::close(::openat(cur, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_EQ(::mkfifoat(cur, "fifo", 0600), 0);
    ASSERT_EQ(::symlinkat(outside.c_str(), cur, "link"), 0);
  }
  ASSERT_GE(cur, 0);
  ::close(cur);
}

std::set<std::string> Entries(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

// Trees 12 and 200 levels deep and one whose paths pass PATH_MAX go in a
// run's own clean-up (twice: the second finds nothing), in a later run's
// sweep and through RemoveTreeNoFollow, following none of their links.
TEST(PrivateFolder, TreesOfAnyDepthAndPathLengthGo) {
  test::TempFolder folder{"vt_deep"};
  const fs::path root = folder.path(), outside = root / "outside";
  fs::create_directories(outside);
  std::ofstream(outside / "keep.txt") << "keep";
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  const auto scratch = std::make_unique<FolderScratch>();
  const int trees[][2] = {{12, 1}, {200, 1}, {40, 200}};
  for (const auto& [levels, name_size] : trees) {
    const std::string name(static_cast<std::size_t>(name_size), 'd');
    SCOPED_TRACE(std::to_string(levels) + " levels of " + std::to_string(name_size));
    int held = -1;
    ASSERT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
    MakeChain(held, nullptr, name, levels, outside);
    MakeChain(parent, "Run_2", name, levels, outside);  // a killed run's folder
    EXPECT_EQ(RemoveLeftoverFolders(parent, "Run_"), 1);
    EXPECT_EQ(Entries(root), (std::set<std::string>{"Run_1", "outside"}));
    for (int run = 0; run < 2; ++run) {
      int err = -1;
      char stayed[32] = {};
      EXPECT_TRUE(RemoveHeldFolder(parent, "Run_1", held, scratch.get(), &err, stayed, sizeof stayed))
          << stayed;
      EXPECT_EQ(err, 0);
    }
    CloseFolder(held);
    MakeChain(parent, "plain", name, levels, outside);
    EXPECT_TRUE(RemoveTreeNoFollow((root / "plain").string()));
    EXPECT_EQ(Entries(root), std::set<std::string>{"outside"});
  }
  EXPECT_EQ(Entries(outside), std::set<std::string>{"keep.txt"});
  ::close(parent);
}

// A mount point 100 levels down cannot go: it stays with the folders above
// it and is named; a sibling tree still goes, and the walk ends, with
// descriptors for three more folders only. The mount lives in a child
// process's own mount namespace.
TEST(PrivateFolder, WhatCannotGoDeepDownKeepsOnlyItsFoldersAndTheWalkEnds) {
  test::TempFolder folder{"vt_stuck"};
  const fs::path root = folder.path();
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  int held = -1;
  ASSERT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
  MakeChain(held, nullptr, "b", 50, root);
  fs::path busy = root / "Run_1";
  for (int i = 0; i < 100; ++i) busy /= "d";
  fs::create_directories(busy / "busy");
  std::ofstream(busy / "f") << "f";
  busy /= "busy";
  const auto scratch = std::make_unique<FolderScratch>();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(120);  // a walk that never ends fails the test
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("none", busy.c_str(), "tmpfs", 0, nullptr) != 0)
      ::_exit(77);
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    const rlimit limit{static_cast<rlim_t>(lowest_free + 3), static_cast<rlim_t>(lowest_free + 3)};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(4);
    int err = 0;
    char stayed[32] = {};
    const bool removed = RemoveHeldFolder(parent, "Run_1", held, scratch.get(), &err, stayed, sizeof stayed);
    ::_exit(removed ? 1 : err != EBUSY ? 2 : std::strcmp(stayed, "busy") != 0 ? 3 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  CloseFolder(held);
  ::close(parent);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no mount namespace of its own here";
  ASSERT_TRUE(WIFEXITED(status)) << "the walk ended with signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // What stays is the busy folder and folders on the way to it, some of
  // them moved up from below the folders the walk holds.
  std::vector<fs::path> left;
  for (const auto& e : fs::recursive_directory_iterator(root / "Run_1")) {
    EXPECT_TRUE(e.is_directory()) << e.path();
    left.push_back(e.path());
    if (e.path().filename() == "busy") busy = e.path();
  }
  for (const fs::path& p : left) EXPECT_TRUE(busy.string().starts_with(p.string())) << p;
  EXPECT_TRUE(std::find(left.begin(), left.end(), busy) != left.end());
  EXPECT_LE(left.size(), 101u);
}

// Nests levels folders "d" under the folder open as fd (or its new folder
// top), each holding one file.
void MakePlainChain(int fd, const char* top, int levels) {
  ASSERT_TRUE(!top || ::mkdirat(fd, top, 0700) == 0) << top;
  int cur = top ? ::openat(fd, top, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : ::dup(fd);
  for (int i = 0; i < levels && cur >= 0; ++i) {
    ::close(::openat(cur, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    ASSERT_EQ(::mkdirat(cur, "d", 0700), 0) << i;
    const int next = ::openat(cur, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(cur);
    cur = next;
  }
  ASSERT_GE(cur, 0);
  ::close(cur);
}

// Chains at the edge of the folders the walk holds open and far past it go
// in one walk each: in a run's own clean-up (twice), in a later run's sweep
// and through RemoveTreeNoFollow. Entries that already bear the names the
// walk gives the folders it moves up go too.
TEST(PrivateFolder, ChainsPastTheFoldersTheWalkHoldsGo) {
  test::TempFolder folder{"vt_chain"};
  const fs::path root = folder.path();
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  const auto scratch = std::make_unique<FolderScratch>();
  for (const int levels : {FolderScratch::kHeldLevels - 1, FolderScratch::kHeldLevels,
                           FolderScratch::kHeldLevels + 1, 3000}) {
    SCOPED_TRACE(std::to_string(levels) + " levels");
    int held = -1;
    ASSERT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
    MakePlainChain(held, nullptr, levels);
    std::ofstream(root / "Run_1" / ".deep.0") << "x";
    fs::create_directories(root / "Run_1" / ".deep.1" / "d");
    MakePlainChain(parent, "Run_2", levels);
    EXPECT_EQ(RemoveLeftoverFolders(parent, "Run_"), 1);
    EXPECT_EQ(Entries(root), std::set<std::string>{"Run_1"});
    for (int run = 0; run < 2; ++run) {
      int err = -1;
      char stayed[32] = {};
      EXPECT_TRUE(RemoveHeldFolder(parent, "Run_1", held, scratch.get(), &err, stayed, sizeof stayed)) << stayed;
      EXPECT_EQ(err, 0);
    }
    CloseFolder(held);
    MakePlainChain(parent, "plain", levels);
    EXPECT_TRUE(RemoveTreeNoFollow((root / "plain").string()));
    EXPECT_TRUE(Entries(root).empty());
  }
  ::close(parent);
}

// Two walks remove one held folder at once, as a fault's handler finishes
// a clean-up that another thread is doing (through the folder opened once
// more, as the handler does, and through the held descriptor): deep
// chains (which both move up into the folder while the other empties it)
// and a wide folder. Both say nothing stays, and nothing does. Rounds, for
// the walks to meet at different points.
TEST(PrivateFolder, TwoWalksAtOnceBothEndWithNothingLeft) {
  test::TempFolder folder{"vt_twowalks"};
  const fs::path root = folder.path();
  const int parent = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(parent, 0);
  std::vector<std::string> failures;
  for (int round = 0; round < 30; ++round) {
    int held = -1;
    ASSERT_EQ(CreateHeldFolder(parent, "Run_1", &held), HeldFolder::kHeld);
    MakePlainChain(held, "a", FolderScratch::kHeldLevels * 3);
    MakePlainChain(held, "b", FolderScratch::kHeldLevels * 2 + 1);
    for (int i = 0; i < 100; ++i)
      ::close(::openat(held, ("w" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    std::atomic<int> ready{0};
    struct Result {
      bool removed = false;
      int err = -1;
      char stayed[64] = {};
    } results[2];
    const int again = OpenFolderAgain(held);
    ASSERT_GE(again, 0);
    const auto walk = [&](int fd, Result* r) {
      const auto scratch = std::make_unique<FolderScratch>();
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      r->removed = RemoveHeldFolder(parent, "Run_1", fd, scratch.get(), &r->err, r->stayed, sizeof r->stayed);
    };
    std::thread other(walk, again, &results[1]);
    walk(held, &results[0]);
    other.join();
    CloseFolder(again);
    CloseFolder(held);
    for (const Result& r : results)
      if (!r.removed || r.err != 0)
        failures.push_back("round " + std::to_string(round) + ": '" + r.stayed + "' errno " +
                           std::to_string(r.err));
    if (!Entries(root).empty()) failures.push_back("round " + std::to_string(round) + ": the folder stayed");
    fs::remove_all(root / "Run_1");
  }
  EXPECT_TRUE(failures.empty()) << failures.size()
                                << " failures, the first: " << (failures.empty() ? "" : failures.front());
  ::close(parent);
}

// Runs check as user 65534 in a child process; its exit code (0 when all
// held, else the number of the first check that failed).
int AsOtherUser(const std::function<int()>& check) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
        ::setresuid(65534, 65534, 65534) != 0)
      ::_exit(100);
    ::_exit(check());
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// An inner setup unpacks folders that it may not change (0555, holding
// files, two levels down and deeper), or not even read (0311, 0000): this
// user's are given u+rwx and go, in the run's own clean-up and in a later
// run's sweep, also far below the folders the walk holds. Another user's
// folder keeps its mode, and what is in it stays, on every try.
TEST(PrivateFolder, OwnFoldersThatRefuseTheRemovalAreOpenedUpOthersAreNot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  test::TempFolder folder{"vt_modes"};
  const fs::path root = folder.path(), tmp = root / "tmp";
  fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec);
  fs::create_directory(tmp);
  ASSERT_EQ(::chown(tmp.c_str(), 65534, 65534), 0);
  // Run_3 is the user's, with root's 0555 folder holding a file in it.
  fs::create_directories(tmp / "Run_3" / "a" / "root");
  std::ofstream(tmp / "Run_3" / "a" / "root" / "f") << "f";
  for (const fs::path& p : {tmp / "Run_3", tmp / "Run_3" / "a"}) ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
  fs::permissions(tmp / "Run_3" / "a" / "root", static_cast<fs::perms>(0555));

  const int result = AsOtherUser([&] {
    const int parent = ::open(tmp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Shapes as an archive that keeps modes leaves them, in a folder open
    // as fd: 0555 folders two and three levels down holding files, folders
    // that cannot be read, and a 0555 chain deeper than the walk holds.
    const auto unpack = [](int fd) {
      const int top = ::dup(fd);
      if (::mkdirat(top, "a", 0755) != 0 || ::mkdirat(top, "chain", 0755) != 0) return false;
      const int a = ::openat(top, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      for (const char* sub : {"ro", "ro/in", "none", "wx"}) ::mkdirat(a, sub, 0755);
      for (const char* file : {"ro/readme.txt", "ro/in/readme.txt", "none/f", "wx/f"})
        ::close(::openat(a, file, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
      int cur = ::openat(top, "chain", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      for (int i = 0; i < 2 * FolderScratch::kHeldLevels; ++i) {
        ::close(::openat(cur, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        ::mkdirat(cur, "d", 0755);
        const int next = ::openat(cur, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::fchmod(cur, 0555);
        ::close(cur);
        cur = next;
      }
      ::close(cur);
      const bool ok = ::fchmodat(a, "ro/in", 0555, 0) == 0 && ::fchmodat(a, "ro", 0555, 0) == 0 &&
                      ::fchmodat(a, "none", 0, 0) == 0 && ::fchmodat(a, "wx", 0311, 0) == 0 &&
                      ::fchmodat(top, "chain", 0555, 0) == 0;
      ::close(a);
      ::close(top);
      return ok;
    };
    int held = -1;
    if (parent < 0 || CreateHeldFolder(parent, "Run_1", &held) != HeldFolder::kHeld) return 1;
    if (!unpack(held) || ::mkdirat(parent, "Run_2", 0700) != 0) return 2;
    const int leftover = ::openat(parent, "Run_2", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!unpack(leftover)) return 3;
    ::close(leftover);
    FolderScratch scratch;
    for (int run = 0; run < 2; ++run) {
      if (RemoveLeftoverFolders(parent, "Run_") != 1 - run) return 4;
      int err = -1;
      char stayed[32] = {};
      if (!RemoveHeldFolder(parent, "Run_1", held, &scratch, &err, stayed, sizeof stayed) || err != 0) return 5;
      const int other = ::openat(parent, "Run_3", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (RemoveHeldFolder(parent, "Run_3", other, &scratch, &err, stayed, sizeof stayed) || err != EACCES ||
          std::strcmp(stayed, "f") != 0)
        return 6;
      ::close(other);
    }
    return 0;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Entries(tmp), std::set<std::string>{"Run_3"});
  EXPECT_EQ(Entries(tmp / "Run_3" / "a" / "root"), std::set<std::string>{"f"});
  EXPECT_EQ(fs::status(tmp / "Run_3" / "a" / "root").permissions(), static_cast<fs::perms>(0555));
}

TEST(PrivateFolder, TrustedFolderWalkNamesTheFolderOthersCanRenameIn) {
  test::TempFolder folder{"vt_trust"};
  const fs::path root = folder.path();
  fs::create_directories(root / "open" / "in");
  fs::create_directories(root / "sticky" / "in");
  fs::permissions(root / "open", fs::perms::all);
  fs::permissions(root / "sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink("../open/in", root / "sticky" / "up");
  std::string unsafe, why;
  int fd = OpenTrustedFolder((root / "sticky" / "in").string(), &unsafe, &why);
  EXPECT_GE(fd, 0);
  CloseFolder(fd);
  for (const fs::path& p : {root / "open" / "in", root / "sticky" / "up", root / "sticky" / ".." / "open"}) {
    unsafe.clear();
    fd = OpenTrustedFolder(p.string(), &unsafe, &why);
    EXPECT_EQ(fd, -1) << p;
    EXPECT_EQ(unsafe, (root / "open").string()) << p;
    EXPECT_EQ(why, "is writable by all users and has no sticky bit");
  }
  EXPECT_EQ(OpenTrustedFolder("relative", &unsafe, &why), -1);
}

// Folders the walk makes get 0755 whatever the umask, so that the walk
// accepts them; with kLast only the path's own last part is made, never
// the last part a link names. A second walk finds them as they are.
TEST(PrivateFolder, TrustedFolderWalkMakesFoldersWithAFixedMode) {
  test::TempFolder folder{"vt_make"};
  const fs::path root = folder.path();
  fs::create_directories(root / "t");
  fs::create_directory_symlink(root / "t" / "gone", root / "link");
  const mode_t saved = ::umask(0);
  for (const mode_t mask : {0000, 0002, 0022, 0077}) {
    ::umask(mask);
    const fs::path top = root / ("m" + std::to_string(mask)), path = top / "a" / "b";
    std::string unsafe, why;
    EXPECT_EQ(OpenTrustedFolder(path.string(), &unsafe, &why, nullptr, MakeMissing::kLast), -1);
    EXPECT_FALSE(fs::exists(top));
    for (int pass = 0; pass < 2; ++pass) {
      const int fd = OpenTrustedFolder(path.string(), &unsafe, &why, nullptr, MakeMissing::kAll);
      EXPECT_GE(fd, 0) << mask << ": " << unsafe << " " << why;
      CloseFolder(fd);
    }
    for (const fs::path& p : {top, top / "a", path})
      EXPECT_EQ(fs::status(p).permissions(), static_cast<fs::perms>(0755)) << p << " " << mask;
    const int fd = OpenTrustedFolder((path / "c").string(), &unsafe, &why, nullptr, MakeMissing::kLast);
    EXPECT_GE(fd, 0);
    CloseFolder(fd);
    EXPECT_EQ(fs::status(path / "c").permissions(), static_cast<fs::perms>(0755)) << mask;
  }
  ::umask(saved);
  std::string unsafe, why;
  EXPECT_EQ(OpenTrustedFolder((root / "link").string(), &unsafe, &why, nullptr, MakeMissing::kLast), -1);
  EXPECT_FALSE(fs::exists(root / "t" / "gone"));
}

// A link counts by its owner as well as by where it lies: root's or the
// user's own is walked, and the folder's path comes back resolved; another
// user's is refused wherever the walk meets it, also by the check that stops
// where the path stops existing.
TEST(PrivateFolder, TrustedFolderWalkRefusesLinksOfOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give links to another user";
  test::TempFolder folder{"vt_links"};
  const fs::path root = folder.path(), link = root / "sticky" / "link", real = root / "real" / "in";
  fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec);
  for (const fs::path& d : {real, root / "sticky"}) fs::create_directories(d);
  fs::permissions(root / "sticky", fs::perms::all | fs::perms::sticky_bit);
  fs::create_directory_symlink(root / "real", link);
  fs::create_directory_symlink("sticky/link", root / "via");  // root's link to the link
  for (const uid_t owner : {0u, 65534u}) {
    ASSERT_EQ(::lchown(link.c_str(), owner, owner), 0);
    for (const fs::path& p : {link / "in", root / "via" / "in"}) {
      std::string unsafe, why, resolved;
      const int fd = OpenTrustedFolder(p.string(), &unsafe, &why, &resolved);
      CloseFolder(fd);
      EXPECT_EQ(resolved + unsafe + why, owner ? link.string() + "is a symbolic link of another user (uid 65534)"
                                               : real.string()) << p;
    }
    std::string unsafe, why;
    EXPECT_EQ(FindForeignLink((link / "missing" / "x").string(), &unsafe, &why), owner != 0);
    EXPECT_EQ(unsafe, owner ? link.string() : "");
    // For user 65534 the link is root's or their own: walked.
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
      std::string u, w, r;
      ::_exit(OpenTrustedFolder((link / "in").string(), &u, &w, &r) >= 0 && r == real.string() ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
}

}  // namespace
}  // namespace vt::os
