#include "common/CrossRegistry.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/ProcessRunner.h"
#include "support/TestFiles.h"

namespace vt {
namespace {

namespace fs = std::filesystem;

// Every test gets a registry folder of its own.
class Registry : public test::TempFolderTest {
 protected:
  void SetUp() override { ::setenv("VT_REGISTRY_DIR", dir_.c_str(), 1); }
  void TearDown() override { ::unsetenv("VT_REGISTRY_DIR"); }
  void SetValue(os::HKEY root, const std::string& key, const std::string& name, std::uint32_t type,
                const std::string& bytes, std::uint32_t view = 0) {
    os::HKEY k = 0;
    ASSERT_EQ(os::RegCreateKeyEx(root, key, os::kKeyAllAccess | view, &k), 0u);
    ASSERT_EQ(os::RegSetValueEx(k, name, type, bytes.data(), bytes.size()), 0u);
    os::RegCloseKey(k);
  }
  void SetDword(os::HKEY root, const std::string& key, const std::string& name, std::uint32_t v,
                std::uint32_t view = 0) {
    SetValue(root, key, name, os::kRegDword, std::string(reinterpret_cast<const char*>(&v), 4), view);
  }
};

TEST_F(Registry, TypedReadsAndTolerantDefaults) {
  SetDword(os::kHkeyCurrentUser, "Software\\Test", "Int", 12);
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "Str", os::kRegSz, std::string("12\0", 3));
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "Neg", os::kRegExpandSz, std::string("-7\0", 3));
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "Abc", os::kRegSz, std::string("abc\0", 4));
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "Bin", os::kRegBinary, "\x01\x02");
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "One", os::kRegSz, std::string("1\0", 2));
  SetValue(os::kHkeyCurrentUser, "Software\\Test", "Cut", os::kRegSz, std::string("ab\0cd\0", 6));

  TCrossRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Software\\Test", false));
  EXPECT_EQ(reg.ReadInteger("Int"), 12);
  EXPECT_EQ(reg.ReadIntegerDef("int", 5), 12);  // names ignore case
  EXPECT_EQ(reg.ReadIntegerDef("Str", 5), 12);
  EXPECT_EQ(reg.ReadIntegerDef("Neg", 5), -7);
  EXPECT_EQ(reg.ReadIntegerDef("Missing", 5), 5);
  EXPECT_TRUE(reg.ReadBoolDef("One", false));
  EXPECT_TRUE(reg.ReadBoolDef("Missing", true));
  EXPECT_EQ(reg.ReadString("Str"), "12");
  EXPECT_EQ(reg.ReadString("Cut"), "ab");
  EXPECT_EQ(reg.ReadString("Missing"), "");
  EXPECT_EQ(reg.GetDataSize("Str"), 3);
  EXPECT_EQ(reg.GetDataSize("Missing"), -1);
  TRegDataType type;
  int size;
  ASSERT_TRUE(reg.GetDataInfo("Bin", type, size));
  EXPECT_EQ(type, TRegDataType::rdBinary);
  EXPECT_EQ(size, 2);

  auto message = [](auto&& f) { return test::MessageOf<Exception>(f); };
  EXPECT_EQ(message([&] { reg.ReadIntegerDef("Abc", 0); }),
            "Invalid registry integer value at: Software\\Test\\Abc");
  EXPECT_EQ(message([&] { reg.ReadIntegerDef("Bin", 0); }),
            "Unexpected registry value type at: Software\\Test\\Bin");
  EXPECT_EQ(message([&] { reg.ReadInteger("Str"); }), "Invalid data type for 'Str'");
  EXPECT_EQ(message([&] { reg.ReadString("Int"); }), "Invalid data type for 'Int'");
  EXPECT_EQ(message([&] { reg.ReadInteger("Missing"); }), "Failed to get data for 'Missing'");
  EXPECT_THROW(reg.ReadInteger("Str"), ERegistryException);
}

TEST_F(Registry, OpenKeyPathsAndFailures) {
  SetDword(os::kHkeyCurrentUser, "A\\B\\C", "V", 1);
  TCrossRegistry reg;
  ASSERT_TRUE(reg.OpenKey("A", false));
  ASSERT_TRUE(reg.OpenKey("B", false));  // below the open key
  EXPECT_EQ(reg.CurrentPath, "A\\B");
  // A missing key keeps the previous one open.
  EXPECT_FALSE(reg.OpenKey("Missing", false));
  EXPECT_EQ(reg.CurrentPath, "A\\B");
  ASSERT_TRUE(reg.OpenKey("\\A\\B\\C", false));  // absolute
  EXPECT_EQ(reg.CurrentPath, "A\\B\\C");
  EXPECT_EQ(reg.ReadInteger("V"), 1);
  reg.CloseKey();
  EXPECT_EQ(reg.CurrentKey, 0u);
  EXPECT_EQ(reg.CurrentPath, "");

  // Another root; a read-only key refuses writes.
  reg.SetRootKey(os::kHkeyLocalMachine);
  EXPECT_FALSE(reg.OpenKey("A", false));
  os::HKEY k = 0;
  ASSERT_EQ(os::RegOpenKeyEx(os::kHkeyCurrentUser, "a\\b", os::kKeyRead, &k), 0u);
  std::uint32_t v = 1;
  EXPECT_EQ(os::RegSetValueEx(k, "X", os::kRegDword, &v, 4), os::kErrorAccessDenied);
  EXPECT_EQ(os::RegDeleteKey(os::kHkeyCurrentUser, "A\\B"), os::kErrorAccessDenied);  // has a subkey
  EXPECT_EQ(os::RegCloseKey(k), 0u);
  EXPECT_EQ(os::RegCloseKey(k), os::kErrorInvalidHandle);
  EXPECT_EQ(os::RegDeleteKey(os::kHkeyCurrentUser, "A\\B\\C"), 0u);
  EXPECT_EQ(os::RegOpenKeyEx(os::kHkeyCurrentUser, "A\\B\\C", os::kKeyRead, &k), os::kErrorFileNotFound);
}

TEST_F(Registry, ThirtyTwoAndSixtyFourBitViews) {
  if (!Is64BitWindows()) GTEST_SKIP() << "one view only";
  SetDword(os::kHkeyLocalMachine, "SOFTWARE\\Palgrem\\X", "Level", 32, os::kKeyWow64_32Key);
  SetDword(os::kHkeyLocalMachine, "SOFTWARE\\Palgrem\\X", "Level", 64, os::kKeyWow64_64Key);
  TCrossRegistry reg;
  reg.SetRootKey(os::kHkeyLocalMachine);
  reg.Access = os::kKeyRead;
  // Neither flag: the program's own, 32-bit view.
  ASSERT_TRUE(reg.OpenKey("SOFTWARE\\Palgrem\\X", false));
  EXPECT_EQ(reg.ReadInteger("Level"), 32);
  reg.Use64BitView = true;
  ASSERT_TRUE(reg.OpenKey("\\Software\\Palgrem\\X", false));
  EXPECT_EQ(reg.ReadInteger("Level"), 64);
  ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Wow6432Node\\Palgrem\\X", false));
  EXPECT_EQ(reg.ReadInteger("Level"), 32);
}

TEST_F(Registry, StoreFileIsReadableTextAndBadFilesAreRefused) {
  SetDword(os::kHkeyCurrentUser, "K", "Level", 1);
  SetValue(os::kHkeyCurrentUser, "K", "Text \"q\"", os::kRegSz, std::string("a\\b\0", 4));
  SetValue(os::kHkeyCurrentUser, "K", "Bin", os::kRegBinary, "\x00\xff", 0);
  std::string text = Read("HKEY_CURRENT_USER.reg");
  EXPECT_EQ(text,
            "VTREG 1\n\n[K]\n\"Level\"=dword:00000001\n\"Text \\\"q\\\"\"=\"a\\\\b\"\n\"Bin\"=hex(3):\n");
  // Replaced as a whole: no temporary files stay behind.
  for (auto& e : fs::directory_iterator(dir_))
    EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();

  // A hand-written file; parents of a listed key exist.
  Write("HKEY_USERS.reg", "VTREG 1\r\n; note\r\n[X\\Y]\r\n\"D\"=dword:1f\r\n\"H\"=hex(4):02,00,00,00\r\n");
  TCrossRegistry reg;
  reg.SetRootKey(os::kHkeyUsers);
  ASSERT_TRUE(reg.OpenKey("X", false));
  ASSERT_TRUE(reg.OpenKey("Y", false));
  EXPECT_EQ(reg.ReadInteger("D"), 31);
  EXPECT_EQ(reg.ReadInteger("H"), 2);

  for (const char* bad : {"garbage\n", "VTREG 1\n\"v\"=dword:1\n", "VTREG 1\n[K]\n\"v\"=dword:123456789\n",
                          "VTREG 1\n[K]\n\"v\"=hex(3):1\n", "VTREG 1\n[K]\n\"v=\"x\"\n", "VTREG 1\n[K\n",
                          "VTREG 1\n[\\K]\n", "VTREG 1\n[K]\n\"v\"=hex(3):01,\n"}) {
    Write("HKEY_USERS.reg", bad);
    os::HKEY k = 0;
    EXPECT_EQ(os::RegOpenKeyEx(os::kHkeyUsers, "K", os::kKeyRead, &k), os::kErrorBadDb) << bad;
  }
}

// Every byte value in key names, value names and strings: stored so that it
// reads back exactly, or (control characters in key names) refused with 161;
// either way nothing else in the hive changes.
TEST_F(Registry, AnyByteInNamesAndStringsReadsBackAndInjectsNothing) {
  TCrossRegistry reg;
  ASSERT_TRUE(reg.OpenKey("K", true));
  for (int b = 1; b < 256; ++b) {
    const std::string c(1, static_cast<char>(b));
    const std::string name = "v" + c + "\n\"x\"=dword:1", data = "a" + c + "z";
    ASSERT_EQ(os::RegSetValueEx(reg.CurrentKey, name, os::kRegSz, data.c_str(), data.size() + 1), 0u) << b;
    EXPECT_EQ(reg.ReadString(name), data) << b;
    os::HKEY sub = 0;
    const os::DWORD expected = b < 0x20 ? os::kErrorBadPathname : 0u;
    EXPECT_EQ(os::RegCreateKeyEx(reg.CurrentKey, "k" + c + "]", os::kKeyAllAccess, &sub), expected) << b;
    os::RegCloseKey(sub);
    EXPECT_EQ(os::RegOpenKeyEx(os::kHkeyCurrentUser, "K\\k" + c + "]", os::kKeyRead, &sub), expected) << b;
    os::RegCloseKey(sub);
  }
  EXPECT_EQ(reg.GetDataSize("x"), -1);
}

TEST_F(Registry, HiveThatIsALinkOrAFifoIsRefused) {
  SetDword(os::kHkeyUsers, "K", "V", 1);
  fs::rename(P("HKEY_USERS.reg"), P("elsewhere"));
  fs::create_symlink(P("elsewhere"), P("HKEY_USERS.reg"));
  os::HKEY k = 0;
  EXPECT_EQ(os::RegOpenKeyEx(os::kHkeyUsers, "K", os::kKeyRead, &k), os::kErrorCantResolveFilename);
  fs::remove(P("HKEY_USERS.reg"));
  ASSERT_EQ(::mkfifo(P("HKEY_USERS.reg").c_str(), 0600), 0);
  EXPECT_EQ(os::RegOpenKeyEx(os::kHkeyUsers, "K", os::kKeyRead, &k), os::kErrorCantAccessFile);
  EXPECT_EQ(os::RegCreateKeyEx(os::kHkeyUsers, "K2", os::kKeyAllAccess, &k), os::kErrorCantAccessFile);
}

// Writers in several processes: every value of each is kept.
TEST_F(Registry, ConcurrentWritersKeepEveryValue) {
  constexpr int kWriters = 4, kValues = 250;
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i)
    writers.emplace_back([i] {
      const std::string command = "\"" + test::ProgramBeside("vt_proc_child") + "\" regwrite " +
                                  std::to_string(kValues) + " w" + std::to_string(i) + "_";
      EXPECT_EQ(RunProcess(command, true), 0) << i;
    });
  for (auto& w : writers) w.join();
  TCrossRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Concurrent", false));
  for (int i = 0; i < kWriters; ++i)
    for (int v = 0; v < kValues; ++v)
      ASSERT_EQ(reg.ReadIntegerDef("w" + std::to_string(i) + "_" + std::to_string(v), -1), v) << i;
}

}  // namespace
}  // namespace vt
