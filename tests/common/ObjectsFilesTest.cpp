#include "common/ObjectsFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>

#include "common/Objects.h"
#include "support/TestFiles.h"

namespace fs = std::filesystem;
using namespace vt;

namespace {

class FolderTest : public test::TempFolderTest {};

using test::CodedMessageOf;
using test::MessageOf;

}  // namespace

TEST(PathText, EachStyleKeepsItsRules) {
  EXPECT_EQ(IncludeTrailingBackslash("C:\\a"), "C:\\a\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:"), "C:\\");
  EXPECT_EQ(IncludeTrailingBackslash("C:\\a/"), "C:\\a/");
  EXPECT_EQ(IncludeTrailingBackslash(""), "");
  EXPECT_EQ(ExcludeTrailingBackslash("C:\\a\\"), "C:\\a");
  EXPECT_EQ(ExcludeTrailingBackslash("C:\\a/"), "C:\\a/");
  EXPECT_EQ(ExtractFilePathEx("C:\\dir\\file.txt  "), "C:\\dir\\");
  EXPECT_EQ(ExtractFilePathEx("C:file"), "C:");
  EXPECT_EQ(ExtractFilePathEx("file"), "");
  EXPECT_EQ(ExtractFileNameEx("C:\\dir/file.txt "), "file.txt");
  EXPECT_EQ(ExtractFileExtEx("C:\\a.b\\file.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExtEx("C:\\a.b\\file"), "");
  EXPECT_EQ(ChangeFileExtEx("C:\\a.b\\file", ".exe"), "C:\\a.b\\file.exe");
  EXPECT_EQ(ChangeFileExtEx("C:\\a\\file.pak", ".exe"), "C:\\a\\file.exe");
  EXPECT_EQ(ExtractFileBaseName("C:\\a\\Setup.exe"), "Setup");
  EXPECT_TRUE(IsAbsolutePath("D:x"));
  EXPECT_TRUE(IsAbsolutePath("\\x"));
  EXPECT_FALSE(IsAbsolutePath("x\\y"));
  EXPECT_FALSE(IsAbsolutePath(""));
  EXPECT_EQ(QuoteAlways("a \"b\""), "\"a \"b\"\"");
  EXPECT_EQ(QuoteAlwaysSingle("a"), "'a'");
  // Other text is POSIX: '/' is the separator.
  EXPECT_EQ(IncludeTrailingBackslash("/tmp/a"), "/tmp/a/");
  EXPECT_EQ(ExcludeTrailingBackslash("/tmp/a/"), "/tmp/a");
  EXPECT_EQ(ExtractFileNameEx("/tmp/a:b"), "a:b");  // ':' is a plain character here
  EXPECT_EQ(ExtractFileExtEx("/tmp/a.d/name"), "");
}

TEST(PathText, NormalizeAndExpand) {
  auto norm = [](std::string s) {
    NormalizePath(s);
    return s;
  };
  EXPECT_EQ(norm("D:\\a\\..\\..\\b"), "D:\\b");
  EXPECT_EQ(norm("D:\\a\\b\\.."), "D:\\a\\b\\..");
  EXPECT_EQ(norm("D:/a//b/./c\\"), "D:\\a\\b\\c\\");
  EXPECT_EQ(norm("D:\\a.\\b"), "D:\\a\\b");
  EXPECT_EQ(norm("D:\\a\\."), "D:\\a");
  EXPECT_EQ(norm("\\\\srv\\share\\x"), "\\\\srv\\share\\x");
  EXPECT_EQ(norm("a\\..\\..\\b"), "..\\b");
  EXPECT_EQ(norm("D:::x"), "D:x");
  EXPECT_EQ(norm("/a/./b//c/../d"), "/a/b/d");
  EXPECT_EQ(norm("/a/../../b"), "/b");
  EXPECT_EQ(norm("/a./b"), "/a./b");  // a trailing dot is part of a POSIX name

  EXPECT_EQ(ExpandPath("D:\\a\\b", "..\\c\\.\\d"), "D:\\a\\c\\d");
  EXPECT_EQ(ExpandPath("D:\\a", "\\x"), "D:\\x");
  EXPECT_EQ(ExpandPath("D:\\a", "\\\\srv\\share\\f"), "\\\\srv\\share\\f");
  EXPECT_EQ(ExpandPath("D:\\a\\", "\"\""), "D:\\a\\");
  EXPECT_EQ(ExpandPath("D:\\a", ""), "D:\\a\\");
  EXPECT_EQ(ExpandPath("D:\\a", "\"b c\""), "D:\\a\\b c");
  EXPECT_EQ(MessageOf([] { ExpandPath("", "rel"); }),
            "Base path cannot be an empty string (relative path is \"rel\")");
  EXPECT_EQ(ExpandPath("/tmp/x", "../y/./Setup.exe"), "/tmp/y/Setup.exe");
  EXPECT_EQ(ExpandPath("/tmp/x", "/etc/passwd"), "/etc/passwd");
  int pos = 0;
  EXPECT_EQ(ExpandPath("/tmp", "a/b.txt", &pos), "/tmp/a/b.txt");
  EXPECT_EQ(pos, 8);
  EXPECT_EQ(ExpandPath("C:\\t", "b.txt", &pos), "C:\\t\\b.txt");
  EXPECT_EQ(pos, 6);
}

TEST_F(FolderTest, ForceDirectoriesCreatesParentsAndRefusesFiles) {
  std::vector<std::string> seen;
  int id = AddCreateDirNotify([&](const std::string& p) { seen.push_back(p); });
  EXPECT_TRUE(ForceDirectoriesNotify(P("a/b/c/"), "test"));
  EXPECT_EQ(seen, std::vector<std::string>{P("a/b/c")});
  EXPECT_FALSE(ForceDirectoriesNotify(P("a/b/c"), ""));
  EXPECT_FALSE(ForceDirectoriesNotify("/", ""));
  RemoveCreateDirNotify(id);

  Write("file");
  std::string error = CodedMessageOf<EOSError>([&] { ForceDirectoriesNotify(P("file/sub"), ""); });
  EXPECT_TRUE(error.starts_with("Failed to create directory: " + P("file/sub") +
                                "\r\nCannot create directory '" + P("file") + "': ") &&
              error.ends_with(" #183"))
      << error;
  error = MessageOf<EOSError>([&] { ForceDirectoriesNotify(P("file"), "temporary directory"); });
  EXPECT_TRUE(error.starts_with("Failed to create directory (temporary directory): " + P("file") + "\r\n"))
      << error;
  EXPECT_FALSE(CreateDirectoryChecked(P("a"), false));
  EXPECT_THROW(CreateDirectoryChecked(P("a"), true), EOSError);
}

TEST_F(FolderTest, EnumerationFlagsAndDotNames) {
  Write(".a");
  Write("B.TXT", "12345");
  ASSERT_TRUE(ForceDirectoriesNotify(P("sub/deep"), ""));
  Write("sub/deep/x.txt");
  std::set<std::string> names;
  auto collect = [&](const TEnumFileInfo& i) { names.insert(i.FullName.empty() ? i.Name : i.FullName); };

  EXPECT_TRUE(EnumerateFiles(dir_, 0, "*.*", collect));
  EXPECT_EQ(names, (std::set<std::string>{".a", "B.TXT"}));
  names.clear();
  EnumerateFiles(dir_, efFolders | efDotEntries, "*", collect);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", ".a", "B.TXT", "sub"}));
  names.clear();
  EnumerateFiles(dir_, efFoldersOnly | efRecursive | efFullName, "*", collect);
  EXPECT_EQ(names, (std::set<std::string>{P("sub"), P("sub/deep")}));
  names.clear();
  EnumerateFiles(dir_, efRecursive | efFullName | efLowerCase, "*.txt", collect);
  std::string lower = P("b.txt");
  LowerCaseAsciiInPlace(lower);
  EXPECT_EQ(names, (std::set<std::string>{lower}));

  TEnumFileInfo got;
  EnumerateFiles(dir_, 0, "b.txt", [&](const TEnumFileInfo& i) { got = i; });
  EXPECT_EQ(got.Name, "B.TXT");
  EXPECT_EQ(got.Size, 5);
  EXPECT_FALSE(got.IsDirectory);
  EXPECT_NE(got.LastWriteTime, 0u);

  EXPECT_FALSE(EnumerateFiles("/", 0, "*", collect));
  EXPECT_FALSE(EnumerateFiles(P("none"), 0, "*", collect));
  EXPECT_THROW(EnumerateFiles(dir_, efRecursive, "*", collect), Exception);
  EXPECT_THROW(EnumerateFiles(dir_, efRaiseOnDeleteFailure, "*", collect), EAssertionFailed);
}

TEST_F(FolderTest, DeleteDirectoryStaysInsideTheTree) {
  // Outside the tree: a folder and a file that links point at.
  ASSERT_TRUE(ForceDirectoriesNotify(P("outside"), ""));
  Write("outside/keep.txt");
  Write("outside_file.txt");

  ASSERT_TRUE(ForceDirectoriesNotify(P("tree/sub"), ""));
  Write("tree/.a");
  Write("tree/.hidden");
  Write("tree/sub/file");
  fs::create_directory_symlink(P("outside"), P("tree/dirlink"));
  fs::create_symlink(P("outside_file.txt"), P("tree/filelink"));
  fs::create_symlink(P("nowhere"), P("tree/dangling"));

  DeleteDirectory(P("tree"), "*.*", false);
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("tree"))));
  EXPECT_TRUE(fs::exists(P("outside/keep.txt")));
  EXPECT_TRUE(fs::exists(P("outside_file.txt")));

  // A folder given as a link: the link goes, the target stays.
  fs::create_directory_symlink(P("outside"), P("toplink"));
  DeleteDirectory(P("toplink"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("toplink"))));
  EXPECT_TRUE(fs::exists(P("outside/keep.txt")));

  // Files that cannot be deleted stay, silently, and so does their folder.
  ASSERT_TRUE(ForceDirectoriesNotify(P("t2"), ""));
  Write("t2/ro");
  Write("t2/rw");
  os::SetFileAttributes(P("t2/ro"), os::kFileAttributeReadOnly);
  DeleteDirectory(P("t2"));
  EXPECT_TRUE(fs::exists(P("t2/ro")));
  EXPECT_FALSE(fs::exists(P("t2/rw")));
  EXPECT_THROW(DeleteDirectoryContents(P("t2"), "*.*", false, true), EOSError);

  // Single-link-only keeps the files with more names than one.
  ASSERT_TRUE(ForceDirectoriesNotify(P("t"), ""));
  Write("t/single");
  Write("t/linked");
  fs::create_hard_link(P("t/linked"), P("other"));
  EXPECT_EQ(GetFileLinkCount(P("t/none")), 0);
  DeleteDirectoryContents(P("t"), "*.*", true, false);
  EXPECT_FALSE(fs::exists(P("t/single")));
  EXPECT_TRUE(fs::exists(P("t/linked")));
}

TEST_F(FolderTest, DeleteFileInformationAndRealNames) {
  DeleteFileChecked(P("missing"), false);  // nothing happens
  EXPECT_TRUE(CodedMessageOf<EOSError>([&] { DeleteFileChecked(P("missing"), true); }).ends_with(" #2"));
  Write("ro");
  ASSERT_TRUE(os::SetFileAttributes(P("ro"), os::kFileAttributeReadOnly));
  EXPECT_EQ(
      CodedMessageOf<EOSError>([&] { DeleteFileChecked(P("ro"), false); }),
      "Failed to delete file '" + P("ro") + "'\r\nCannot delete a read-only file: Access is denied (5) #5");
  EXPECT_TRUE(FileExistsNotDir(P("ro")));

  Write("MixedCase.Txt", "abc");
  EXPECT_FALSE(IsReadOnlyFile(P("MixedCase.Txt")));
  EXPECT_EQ(GetRealFileName(P("mixedcase.txt")), P("MixedCase.Txt"));
  EXPECT_EQ(GetRealFileName(P("none"), nullptr, false), P("none"));
  EXPECT_EQ(MessageOf([&] { GetRealFileName(P("none")); }), "File not found: " + P("none"));
  os::FileInformation info;
  ASSERT_TRUE(GetFileInformationByName(P("MixedCase.Txt"), &info, true));
  EXPECT_EQ(info.size, 3);
  EXPECT_FALSE(GetFileInformationByName(P("none"), &info, false));
  EXPECT_THROW(GetFileInformationByName(P("none"), &info, true), EOSError);
  EXPECT_FALSE(FileExistsNotDir(dir_));
  EXPECT_FALSE(SearchPathStr("", "sh").empty());
}

TEST_F(FolderTest, EnvironmentTempDirAndContextNames) {
  // The temporary folder is created, and its name has no fixed length limit.
  const char* old = ::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  const std::string deep = P(std::string(200, 'd') + "/" + std::string(150, 'e'));
  ::setenv("TMPDIR", deep.c_str(), 1);
  std::string t = GetTempDir();
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  EXPECT_EQ(t, deep + "/");
  EXPECT_TRUE(DirectoryExists(deep));

  // Variables of any length, past the first buffer's too; the context names.
  EXPECT_EQ(GetEnvVar("VT_SURELY_NOT_SET_VARIABLE"), "");
  for (std::size_t len : {127u, 128u, 129u, 130u, 5000u, 70000u}) {
    std::string v(len, 'q');
    v.back() = 'z';
    ::setenv("VT_ENV_LONG", v.c_str(), 1);
    EXPECT_EQ(GetEnvVar("VT_ENV_LONG"), v) << len;
  }
  ::unsetenv("VT_ENV_LONG");
  EXPECT_FALSE(GetUserNameStr().empty());
  EXPECT_EQ(GetComputerNameStr(), GetComputerNameStrNoRaise());
  EXPECT_FALSE(GetComputerNameStr().empty());
  EXPECT_EQ(GetWindowStationName(), "WinSta0");
}

TEST_F(FolderTest, HandleWrappersRaiseWithTheirTexts) {
  EXPECT_TRUE(MessageOf<EOSError>([] {
                SetEndOfFileChecked(12345);
              }).starts_with("Failed to set end of file for handle 0x03039: "));
  EXPECT_EQ(GetFileSizeChecked(12345, false), -1);
  Write("empty", "");
  os::FileHandle h = os::CreateFile(P("empty"), os::kGenericRead, os::kFileShareRead, os::kOpenExisting, 0);
  ASSERT_NE(h, os::kInvalidFile);
  const std::string error =
      CodedMessageOf<EOSError>([&] { CreateFileMappingChecked(h, os::kPageReadOnly, 0, "", true); });
  EXPECT_TRUE(error.starts_with("Failed to create file mapping for handle " +
                                HexAddress(static_cast<std::uint64_t>(h)) + " (0 bytes): ") &&
              error.ends_with(" #" + std::to_string(os::kErrorFileInvalid)))
      << error;
  EXPECT_EQ(CreateFileMappingChecked(h, os::kPageReadOnly, 0, "", false), nullptr);
  os::CloseFile(h);
}
