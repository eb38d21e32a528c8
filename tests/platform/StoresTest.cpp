// The small-file stores (registry hives, firewall list) on a shared machine:
// locks that cannot hang a reader, folders of other users, the machine's
// registry read by every user, and a small stack.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "platform/FileStore.h"
#include "platform/Firewall.h"
#include "platform/Registry.h"
#include "platform/TestHooks.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt::os {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

// Sets or unsets a variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

DWORD SetDword(HKEY root, const std::string& key, const std::string& name, std::uint32_t value) {
  HKEY k = 0;
  if (DWORD e = RegCreateKeyEx(root, key, kKeyAllAccess, &k)) return e;
  const DWORD e = RegSetValueEx(k, name, kRegDword, &value, 4);
  RegCloseKey(k);
  return e;
}

// The value, or ~0 with the error in *error.
std::uint32_t GetDword(HKEY root, const std::string& key, const std::string& name, DWORD* error) {
  HKEY k = 0;
  *error = RegOpenKeyEx(root, key, kKeyRead, &k);
  if (*error) return ~0u;
  std::vector<std::uint8_t> data;
  *error = RegQueryValueEx(k, name, nullptr, &data);
  RegCloseKey(k);
  std::uint32_t v = ~0u;
  if (!*error && data.size() == 4) std::memcpy(&v, data.data(), 4);
  return v;
}

// A child process that holds an exclusive lock on the file until killed.
pid_t HoldLock(const std::string& path) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
    const char ok = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? '1' : '0';
    [[maybe_unused]] ssize_t n = ::write(ready[1], &ok, 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  if (::read(ready[0], &ok, 1) != 1 || ok != '1') {
    if (child > 0) {
      vt::test::Signal(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
    ::close(ready[0]);
    return -1;
  }
  ::close(ready[0]);
  return child;
}

void EndChild(pid_t child) {
  vt::test::Signal(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

class Stores : public test::TempFolderTest {
 protected:
  void SetUp() override {
    fs::create_directory(P("reg"));
    fs::create_directory(P("fw"));
    test::WriteFileText(P("fw") + "/firewall.txt", "VTFW 1\napp\tVontaro Setup App\tC:\\a.exe\t*\t1\t0\t2\n");
  }
  void TearDown() override {
    testing::SetStoreLockTimeout(5000);
    testing::SetMaxHiveFile(64u << 20);
  }
  ScopedEnv registry_{"VT_REGISTRY_DIR", P("reg").c_str()};
  ScopedEnv machine_{"VT_MACHINE_REGISTRY_DIR", nullptr};
  ScopedEnv firewall_{"VT_FIREWALL_DIR", P("fw").c_str()};
};

// Another process holding a store's lock neither hangs a reader nor a
// writer: readers take no lock, writers give up with the Windows error.
TEST_F(Stores, AHeldLockHangsNoReaderAndStopsWritersInTime) {
  ASSERT_EQ(SetDword(kHkeyCurrentUser, "Software\\Held", "V", 7), 0u);
  const pid_t registry_holder = HoldLock(P("reg") + "/HKEY_CURRENT_USER.lock");
  const pid_t firewall_holder = HoldLock(P("fw") + "/firewall.lock");
  ASSERT_GT(registry_holder, 0);
  ASSERT_GT(firewall_holder, 0);
  testing::SetStoreLockTimeout(200);
  auto work = std::async(std::launch::async, [] {
    DWORD read_error = 0;
    const std::uint32_t v = GetDword(kHkeyCurrentUser, "Software\\Held", "V", &read_error);
    std::vector<FwAuthorizedApplication> apps;
    const HRESULT list = FwGetAuthorizedApplications(&apps);
    return std::make_tuple(read_error, v, list, apps.size(), SetDword(kHkeyCurrentUser, "Software\\Held", "V", 8),
                           FwRemoveAuthorizedApplication("C:\\a.exe"));
  });
  // A hang shows as a failure here, not as a test that never ends.
  const bool finished = work.wait_for(vt::test::kPatience) == std::future_status::ready;
  EndChild(registry_holder);
  EndChild(firewall_holder);
  ASSERT_TRUE(finished) << "a store call waited for the held lock";
  const auto [read_error, v, list, apps, set, remove] = work.get();
  EXPECT_EQ(read_error, 0u);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(list, kSOk);
  EXPECT_EQ(apps, 1u);
  EXPECT_EQ(set, kErrorLockViolation);
  EXPECT_EQ(remove, HResultFromWin32(kErrorLockViolation));
  // Nothing changed; with the holders gone the writers go through.
  DWORD e = 0;
  EXPECT_EQ(GetDword(kHkeyCurrentUser, "Software\\Held", "V", &e), 7u);
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "Software\\Held", "V", 8), 0u);
  EXPECT_EQ(FwRemoveAuthorizedApplication("C:\\a.exe"), kSOk);
}

// Reading creates nothing, not even a lock file.
TEST_F(Stores, ReadersCreateNothing) {
  HKEY k = 0;
  EXPECT_EQ(RegOpenKeyEx(kHkeyCurrentUser, "Software\\X", kKeyRead, &k), kErrorFileNotFound);
  EXPECT_TRUE(Entries(P("reg")).empty());
  ASSERT_EQ(SetDword(kHkeyCurrentUser, "Software\\X", "V", 1), 0u);
  fs::remove(P("reg") + "/HKEY_CURRENT_USER.lock");
  DWORD e = 0;
  EXPECT_EQ(GetDword(kHkeyCurrentUser, "Software\\X", "V", &e), 1u);
  EXPECT_EQ(Entries(P("reg")), std::vector<std::string>{"HKEY_CURRENT_USER.reg"});
}

// Without $HOME the home folder comes from the user database, never /tmp.
TEST_F(Stores, WithoutHomeTheUserDatabaseGivesTheFolder) {
  ScopedEnv home("HOME", nullptr), xdg("XDG_CONFIG_HOME", nullptr), reg("VT_REGISTRY_DIR", nullptr),
      fw("VT_FIREWALL_DIR", nullptr);
  const passwd* pw = ::getpwuid(::geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(RegistryDirectory(), std::string(pw->pw_dir) + "/.config/vontaro/registry");
  EXPECT_EQ(FirewallDirectory(), std::string(pw->pw_dir) + "/.config/vontaro/firewall");
  // Relative folders are not taken either.
  ScopedEnv relative_home("HOME", "rel"), relative_xdg("XDG_CONFIG_HOME", "cfg");
  EXPECT_EQ(RegistryDirectory(), std::string(pw->pw_dir) + "/.config/vontaro/registry");
  ScopedEnv own_xdg("XDG_CONFIG_HOME", dir_.c_str());
  EXPECT_EQ(RegistryDirectory(), dir_ + "/vontaro/registry");
}

// A store folder that others can change is refused with a message, for
// reading and writing, and nothing is created in it.
TEST_F(Stores, FolderOthersCanChangeIsRefused) {
  fs::create_directory(P("open"));
  fs::create_directory(P("open/reg"));
  ::chmod(P("open/reg").c_str(), 0777);
  ScopedEnv reg("VT_REGISTRY_DIR", (P("open") + "/reg").c_str());
  ::testing::internal::CaptureStderr();
  HKEY k = 0;
  EXPECT_EQ(RegOpenKeyEx(kHkeyCurrentUser, "Software", kKeyRead, &k), kErrorAccessDenied);
  EXPECT_EQ(RegCreateKeyEx(kHkeyCurrentUser, "Software", kKeyAllAccess, &k), kErrorAccessDenied);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(said, "The settings folder \"" + P("open") + "/reg\" is not used: other users can change it.\n");
  EXPECT_TRUE(Entries(P("open/reg")).empty());

  // A folder above that others can rename in (not sticky).
  ::chmod(P("open/reg").c_str(), 0700);
  ::chmod(P("open").c_str(), 0775);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RegCreateKeyEx(kHkeyCurrentUser, "Software", kKeyAllAccess, &k), kErrorAccessDenied);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("other users can change \"" + P("open") + "\""),
            std::string::npos);
  EXPECT_TRUE(Entries(P("open/reg")).empty());

  // The firewall's folder likewise: refused, not installed.
  ::chmod(P("fw").c_str(), 0770);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(FwCreateManager(), HResultFromWin32(kErrorAccessDenied));
  EXPECT_EQ(FwRemoveAuthorizedApplication("C:\\a.exe"), HResultFromWin32(kErrorAccessDenied));
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(P("fw")), std::string::npos);
  EXPECT_EQ(Entries(P("fw")), std::vector<std::string>{"firewall.txt"});
}

// $XDG_CONFIG_HOME in another user's folder: root creates nothing there, and
// reads nothing from it.
TEST_F(Stores, AnotherUsersFolderGetsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  const std::string other = P("other");
  ASSERT_EQ(test::Shell("setpriv --reuid=" + std::to_string(kOtherUser) + " --regid=" + std::to_string(kOtherUser) +
                        " --clear-groups true"),
            0);
  fs::create_directory(other);
  ::chmod(dir_.c_str(), 0755);
  ASSERT_EQ(::chown(other.c_str(), kOtherUser, kOtherUser), 0);
  ScopedEnv reg("VT_REGISTRY_DIR", nullptr), fw("VT_FIREWALL_DIR", nullptr), xdg("XDG_CONFIG_HOME", other.c_str());
  ::testing::internal::CaptureStderr();
  HKEY k = 0;
  EXPECT_EQ(RegCreateKeyEx(kHkeyCurrentUser, "Software", kKeyAllAccess, &k), kErrorAccessDenied);
  EXPECT_EQ(FwRemoveAuthorizedApplication("C:\\a.exe"), HResultFromWin32(kErrorAccessDenied));
  EXPECT_TRUE(Entries(other).empty());

  // The other user made the store: refused for reading too.
  fs::create_directories(other + "/vontaro/registry");
  test::WriteFileText(other + "/vontaro/registry/HKEY_CURRENT_USER.reg", "VTREG 1\n[Software]\n\"V\"=dword:1\n");
  for (const char* f : {"/vontaro", "/vontaro/registry", "/vontaro/registry/HKEY_CURRENT_USER.reg"})
    ASSERT_EQ(::chown((other + f).c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(RegOpenKeyEx(kHkeyCurrentUser, "Software", kKeyRead, &k), kErrorAccessDenied);
  EXPECT_EQ(RegCreateKeyEx(kHkeyCurrentUser, "Software\\New", kKeyAllAccess, &k), kErrorAccessDenied);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("belongs to another user (uid 65534)"), std::string::npos);
  EXPECT_EQ(Entries(other + "/vontaro/registry"), std::vector<std::string>{"HKEY_CURRENT_USER.reg"});
}

// Root's link to a store folder is used; once it belongs to another user it
// is refused, for the user's store and the machine's.
TEST_F(Stores, LinkOfAnotherUserOnTheWayIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  fs::create_directory_symlink(P("reg"), P("link"));
  ScopedEnv reg("VT_REGISTRY_DIR", P("link").c_str()), machine("VT_MACHINE_REGISTRY_DIR", (P("link") + "/m").c_str());
  ASSERT_EQ(SetDword(kHkeyCurrentUser, "Software", "V", 1), 0u);
  ASSERT_EQ(SetDword(kHkeyLocalMachine, "Software", "V", 2), 0u);
  ASSERT_EQ(::lchown(P("link").c_str(), kOtherUser, kOtherUser), 0);
  ::testing::internal::CaptureStderr();
  DWORD e = 0;
  EXPECT_EQ(GetDword(kHkeyCurrentUser, "Software", "V", &e), ~0u);
  EXPECT_EQ(e, kErrorAccessDenied);
  EXPECT_EQ(SetDword(kHkeyLocalMachine, "Software", "V", 3), kErrorAccessDenied);
  const std::string why = "is not used: \"" + P("link") + "\" is a symbolic link of another user (uid 65534).\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "The settings folder \"" + P("link") + "\" " + why +
                                                          "The settings folder \"" + P("link") + "/m\" " + why);
}

// A store folder still to be made is made part by part, each in the folder
// reached before it: a link of another user met only on the way there (the
// part before it missing when the path was checked) is refused and nothing
// is made through it.
TEST_F(Stores, FolderIsNotMadeThroughALinkOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user";
  fs::create_directory(P("target"));
  fs::create_directory_symlink(P("target"), P("link"));
  ASSERT_EQ(::lchown(P("link").c_str(), kOtherUser, kOtherUser), 0);
  const std::string store = P("missing") + "/../link/reg";
  ScopedEnv reg("VT_REGISTRY_DIR", store.c_str());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "Software", "V", 1), kErrorAccessDenied);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "The settings folder \"" + store + "\" is not used: \"" +
                                                          P("link") + "\" is a symbolic link of another user (uid "
                                                          "65534).\n");
  EXPECT_TRUE(Entries(P("target")).empty());
}

// HKEY_LOCAL_MACHINE is one store: every user reads the log's settings from
// it, only its owner writes it.
TEST_F(Stores, MachineStoreIsReadByEveryUserAndWrittenByItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a second user";
  const std::string child = P("vt_proc_child");
  fs::copy_file(test::ProgramBeside("vt_proc_child"), child);
  ::chmod(dir_.c_str(), 0755);
  const std::string as_other = "setpriv --reuid=" + std::to_string(kOtherUser) + " --regid=" +
                               std::to_string(kOtherUser) + " --clear-groups ";
  if (test::Shell(as_other + test::Q(child) + " exit 0") != 0) GTEST_SKIP() << "the second user cannot run programs";

  const std::string machine = P("machine");
  ScopedEnv machine_dir("VT_MACHINE_REGISTRY_DIR", machine.c_str());
  // Root writes the log's settings in the program's own view.
  ASSERT_EQ(SetDword(kHkeyLocalMachine, "SOFTWARE\\Palgrem\\Vontaro\\Log", "Level", 1), 0u);
  ASSERT_EQ(SetDword(kHkeyCurrentUser, "SOFTWARE\\Palgrem\\Vontaro\\Log", "Level", 5), 0u);  // not the machine's
  struct stat st {};
  ASSERT_EQ(::stat((machine + "/HKEY_LOCAL_MACHINE.reg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  const std::string before = test::ReadFileText(machine + "/HKEY_LOCAL_MACHINE.reg");

  const std::string out = P("out");
  ASSERT_EQ(test::Shell("(env -u VT_REGISTRY_DIR HOME=/nonexistent " + as_other + test::Q(child) +
                        " regmachine > " + test::Q(out) + ")"),
            0);
  EXPECT_EQ(test::ReadFileText(out), "level=1 open=5 create=5 set=5");
  EXPECT_EQ(test::ReadFileText(machine + "/HKEY_LOCAL_MACHINE.reg"), before);
  EXPECT_EQ(Entries(machine), (std::vector<std::string>{"HKEY_LOCAL_MACHINE.lock", "HKEY_LOCAL_MACHINE.reg"}));
}

DWORD SetText(const std::string& name, const std::string& text) {
  HKEY k = 0;
  if (DWORD e = RegCreateKeyEx(kHkeyCurrentUser, "K", kKeyAllAccess, &k)) return e;
  const DWORD e = RegSetValueEx(k, name, kRegSz, text.c_str(), text.size() + 1);
  RegCloseKey(k);
  return e;
}

// No write makes a hive larger than a reader takes: it is refused as a full
// hive refuses it and changes nothing; the root stays readable and writable.
TEST_F(Stores, HiveNeverGrowsPastWhatReadersTake) {
  const std::string hive = P("reg") + "/HKEY_CURRENT_USER.reg";
  ASSERT_EQ(SetDword(kHkeyCurrentUser, "K", "Small", 1), 0u);
  const std::string before = test::ReadFileText(hive);
  EXPECT_EQ(SetText("Big", std::string(23'000'000, 'x') + '\n'), kErrorNoSystemResources);  // 69 MB of hex
  EXPECT_TRUE(test::ReadFileText(hive) == before);
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "K", "Small", 2), 0u);

  // A file of the limit exactly is written; one byte more is not.
  constexpr std::size_t kLimit = 8192;
  testing::SetMaxHiveFile(kLimit);
  ASSERT_EQ(SetText("S", ""), 0u);
  const std::string fits(kLimit - fs::file_size(hive), 'x');
  EXPECT_EQ(SetText("S", fits), 0u);
  EXPECT_EQ(fs::file_size(hive), kLimit);
  EXPECT_EQ(SetText("S", fits + "x"), kErrorNoSystemResources);
  EXPECT_EQ(fs::file_size(hive), kLimit);
  ASSERT_EQ(SetText("S", ""), 0u);

  // Writers in several processes whose values only together pass it: seven
  // fit, the others are refused.
  std::vector<pid_t> children;
  for (int i = 0; i < 12; ++i)
    if ((children.emplace_back(::fork())) == 0)
      ::_exit(static_cast<int>(SetText("w" + std::to_string(i), std::string(kLimit / 8, 'v')) % 256));
  int kept = 0, refused = 0;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    kept += WEXITSTATUS(status) == 0;
    refused += WEXITSTATUS(status) == kErrorNoSystemResources % 256;
  }
  EXPECT_EQ(kept, 7);
  EXPECT_EQ(refused, 5);
  DWORD e = 0;
  EXPECT_EQ(GetDword(kHkeyCurrentUser, "K", "Small", &e), 2u);
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "K", "Small", 3), 0u);
}

// A hive writer in a child that stops while writing a big value, or just before renaming it.
int g_stopped = -1;  // the child's end of the pipe that says it stopped
void SayStopped() {
  [[maybe_unused]] ssize_t n = ::write(g_stopped, "s", 1);
  for (;;) ::pause();
}
enum class StopAt { kWrite, kRename };

pid_t StopWriter(StopAt at, bool unnamed_files) {
  int stopped[2];
  if (::pipe(stopped) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    g_stopped = stopped[1];
    SystemCallTable& calls = PlatformTestHelper::SystemCalls();
    if (!unnamed_files)
      calls.open = [](const char* path, int flags, mode_t mode) {
        if ((flags & O_TMPFILE) == O_TMPFILE) return errno = EOPNOTSUPP, -1;
        return ::open(path, flags, mode);
      };
    if (at == StopAt::kWrite)
      calls.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
        if (size < (1u << 20)) return ::write(fd, data, size);
        [[maybe_unused]] ssize_t half = ::write(fd, data, size / 2);
        SayStopped();
        return -1;
      };
    else
      calls.rename = [](const char*, const char*) {
        SayStopped();
        return -1;
      };
    ::_exit(static_cast<int>(SetText("Big", std::string(4 << 20, 'b'))));
  }
  ::close(stopped[1]);
  char c = 0;
  const bool ok = ::read(stopped[0], &c, 1) == 1;
  ::close(stopped[0]);
  if (!ok) {
    EndChild(child);
    return -1;
  }
  return child;
}

std::vector<std::string> TempFiles(const std::string& dir) {
  std::vector<std::string> names = Entries(dir);
  std::erase_if(names, [](const std::string& n) { return n.find(".tmp") == std::string::npos; });
  return names;
}

// A writer killed mid-write leaves no temporary file for good (the next writer removes named
// ones of writers no longer running), and the hive keeps its old values.
TEST_F(Stores, WritersKilledWhileWritingLeaveNoTemporaryFiles) {
  const std::string dir = P("reg");
  for (bool unnamed : {true, false})
    for (StopAt at : {StopAt::kWrite, StopAt::kRename}) {
      SCOPED_TRACE(std::string(unnamed ? "unnamed" : "named") + (at == StopAt::kWrite ? " write" : " rename"));
      ASSERT_EQ(SetDword(kHkeyCurrentUser, "K", "V", 1), 0u);
      const pid_t writer = StopWriter(at, unnamed);
      ASSERT_GT(writer, 0);
      const std::size_t while_writing = TempFiles(dir).size();
      EndChild(writer);
      // Only a file that is complete gets a name.
      EXPECT_EQ(while_writing, unnamed && at == StopAt::kWrite ? 0u : 1u);
      EXPECT_EQ(SetDword(kHkeyCurrentUser, "K", "V", 2), 0u);
      EXPECT_EQ(TempFiles(dir), std::vector<std::string>{});
      DWORD e = 0;
      EXPECT_EQ(GetDword(kHkeyCurrentUser, "K", "V", &e), 2u);
      HKEY k = 0;
      ASSERT_EQ(RegOpenKeyEx(kHkeyCurrentUser, "K", kKeyRead, &k), 0u);
      std::vector<std::uint8_t> data;
      EXPECT_EQ(RegQueryValueEx(k, "Big", nullptr, &data), kErrorFileNotFound);
      RegCloseKey(k);
    }

  // The file of a running writer stays, and so does anything not named as the hive's.
  const pid_t alive = ::fork();
  if (alive == 0) {
    for (;;) ::pause();
  }
  const std::vector<std::string> kept = {"HKEY_CURRENT_USER.reg.tmp" + std::to_string(alive),
                                         "HKEY_CURRENT_USER.reg.tmpx1", "HKEY_CURRENT_USER.reg.tmp01",
                                         "other.tmp1"};
  for (const auto& name : kept) test::WriteFileText(dir + "/" + name, "x");
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "K", "V", 3), 0u);
  std::vector<std::string> sorted = kept;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(TempFiles(dir), sorted);
  EndChild(alive);
  EXPECT_EQ(SetDword(kHkeyCurrentUser, "K", "V", 4), 0u);
  sorted.erase(std::find(sorted.begin(), sorted.end(), kept[0]));
  EXPECT_EQ(TempFiles(dir), sorted);
  DWORD e = 0;
  EXPECT_EQ(GetDword(kHkeyCurrentUser, "K", "V", &e), 4u);
}

// The stores run on a 64 KiB stack: no large buffers on it.
TEST_F(Stores, SmallStack) {
  const std::string out = P("out");
  const int code = test::Shell("(ulimit -s 64 && " + test::Q(test::ProgramBeside("vt_proc_child")) +
                               " smallstack > " + test::Q(out) + ")");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(test::ReadFileText(out), "ok");
}

}  // namespace
}  // namespace vt::os
