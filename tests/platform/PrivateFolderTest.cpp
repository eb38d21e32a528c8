#include "platform/PrivateFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/LastError.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;

namespace vt::os {
namespace {

class PrivateFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(outside_);
    std::ofstream(outside_ / "keep.txt") << "keep";
  }
  test::TempFolder folder_{"vt_private"};
  const fs::path root_ = folder_.path(), outside_ = root_ / "outside";
};

TEST_F(PrivateFolderTest, CreatesFreshOwnerOnlyFolder) {
  const fs::path f = root_ / "Vontaro_Setup_1";
  ASSERT_TRUE(CreatePrivateFolder(f.string() + "/"));
  EXPECT_EQ(fs::status(f).permissions() & fs::perms::all, fs::perms::owner_all);
  std::ofstream(f / "stale.txt") << "old";
  ASSERT_TRUE(CreatePrivateFolder(f.string()));  // an earlier folder of the same name is not reused
  EXPECT_TRUE(fs::is_empty(f));
  EXPECT_FALSE(CreatePrivateFolder((root_ / "missing" / "x").string()));
  EXPECT_NE(GetLastError(), kErrorSuccess);
}

TEST_F(PrivateFolderTest, PlantedLinksAreNeitherFollowedNorReused) {
  const fs::path f = root_ / "Vontaro_Setup_2";
  fs::create_directory_symlink(outside_, f);  // a link in place of the folder
  ASSERT_TRUE(CreatePrivateFolder(f.string()));
  EXPECT_FALSE(fs::is_symlink(f));
  EXPECT_TRUE(fs::exists(outside_ / "keep.txt"));

  // Links inside a tree being removed are removed themselves.
  fs::create_directories(f / "sub");
  fs::create_directory_symlink(outside_, f / "sub" / "dirlink");
  fs::create_symlink(outside_ / "keep.txt", f / "filelink");
  ASSERT_TRUE(RemoveTreeNoFollow(f.string()));
  EXPECT_FALSE(fs::exists(fs::symlink_status(f)));
  EXPECT_TRUE(fs::exists(outside_ / "keep.txt"));
  EXPECT_TRUE(RemoveTreeNoFollow(f.string()));  // nothing there
}

}  // namespace
}  // namespace vt::os
