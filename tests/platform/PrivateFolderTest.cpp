#include "platform/PrivateFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
  EXPECT_EQ(RemoveLeftoverFolders(parent, "Run_"), 1);
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

// A link counts by its owner as well as by where it lies: root's or the
// user's own is walked, and the folder's path comes back resolved; another
// user's is refused wherever the walk meets it, also by the check that stops
// where the path stops existing.
TEST(PrivateFolder, TrustedFolderWalkRefusesLinksOfOtherUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give links to another user";
  test::TempFolder folder{"vt_links"};
  const fs::path root = folder.path(), link = root / "sticky" / "link", real = root / "real" / "in";
  fs::permissions(root, fs::perms::owner_all | fs::perms::others_exec);
  fs::create_directories(real);
  fs::create_directories(root / "sticky");
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
