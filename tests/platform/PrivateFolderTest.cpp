#include "platform/PrivateFolder.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vt::os
