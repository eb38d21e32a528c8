#include "platform/Sync.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/Section.h"
#include "platform/TestHooks.h"
#include "support/PrivateShm.h"
#include "support/TestFiles.h"
#include "support/Patience.h"

namespace vt::os {
namespace {

// Names unique to this test run, so parallel runs never meet.
std::string Name(const std::string& base) { return base + "_" + std::to_string(::getpid()); }

// The name file of an object of this user ("Global\" names when global).
std::string StoreFile(const std::string& name, bool global = false) {
  struct stat proc {};
  ::stat("/proc/self", &proc);
  return "/dev/shm/vt." + std::to_string(::geteuid()) + ".p" + std::to_string(proc.st_dev) + ".v2" +
         (global ? ".g." : ".s.") + name;
}

// The error a failed call leaves, or ~0 for a success.
DWORD Fails(bool ok) { return ok ? ~0u : GetLastError(); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Why this machine cannot play a second user (uid 65534), or empty.
constexpr const char* kSetpriv = "/usr/bin/setpriv";
std::string NoSecondUser() {
  if (::geteuid() != 0) return "not running as root";
  if (::access(kSetpriv, X_OK) != 0) return "setpriv is missing";
  return {};
}

enum class As { kSameUser, kOtherUser, kStdoutClosed };

// Starts the helper program as a second process without waiting; answers its pid.
pid_t StartHelper(std::vector<std::string> args, As as = As::kSameUser) {
  args.insert(args.begin(), test::ProgramBeside("vt_sync_helper"));
  if (as == As::kOtherUser)
    args.insert(args.begin(), {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups"});
  pid_t pid = ::fork();
  if (pid == 0) {
    if (as == As::kStdoutClosed) ::close(1);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(98);
  }
  return pid;
}

int WaitHelper(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
int RunHelper(std::vector<std::string> args, As as = As::kSameUser) {  // to its end; its exit code
  return WaitHelper(StartHelper(std::move(args), as));
}

TEST(Events, ResetModesAndHandleLifetime) {
  HANDLE manual = CreateEventA(nullptr, true, false, "");
  ASSERT_NE(manual, 0);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitTimeout);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);  // stays signalled
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 10), kWaitTimeout);

  HANDLE autoev = CreateEventA(nullptr, false, true, "");
  EXPECT_EQ(WaitForSingleObject(autoev, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(autoev, 0), kWaitTimeout);  // reset by the wait

  // A waiting thread is released by a set from another thread.
  std::thread setter([&] { Sleep(30); SetEvent(autoev); });
  EXPECT_EQ(WaitForSingleObject(autoev, vt::test::kPatienceMs), kWaitObject0);
  setter.join();

  // A closed handle is invalid; a duplicate made before still reaches the object.
  HANDLE dup = 0;
  ASSERT_TRUE(DuplicateHandle(kCurrentProcess, manual, kCurrentProcess, &dup, false));
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_EQ(Fails(CloseHandle(manual)), kErrorInvalidHandle);
  EXPECT_EQ(Fails(SetEvent(manual)), kErrorInvalidHandle);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitFailed);
  EXPECT_TRUE(SetEvent(dup));
  EXPECT_EQ(WaitForSingleObject(dup, 0), kWaitObject0);
  EXPECT_TRUE(CloseHandle(dup) && CloseHandle(autoev));
}

TEST(NamedObjects, ExistingNamesKindsAndLifetime) {
  std::string name = Name("vt_test_named");
  HANDLE a = CreateEventA(nullptr, true, false, name);
  ASSERT_NE(a, 0);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  HANDLE b = CreateEventA(nullptr, false, true, name);  // settings of the existing object win
  ASSERT_NE(b, 0);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(WaitForSingleObject(b, 0), kWaitTimeout);
  SetEvent(a);
  EXPECT_EQ(WaitForSingleObject(b, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(b, 0), kWaitObject0);  // still manual reset

  // One namespace for all kinds.
  EXPECT_EQ(Fails(CreateMutexA(nullptr, false, name)), kErrorInvalidHandle);
  EXPECT_EQ(Fails(OpenMutexA(name)), kErrorInvalidHandle);

  // "Local\" is the default namespace; "Global\" is another one.
  HANDLE local = OpenEventA("Local\\" + name);
  EXPECT_NE(local, 0);
  EXPECT_EQ(Fails(OpenEventA("Global\\" + name)), kErrorFileNotFound);

  std::string native;
  EXPECT_EQ(NtQueryObjectName(a, native), kStatusSuccess);
  EXPECT_EQ(native, "\\Sessions\\1\\BaseNamedObjects\\" + name);

  for (HANDLE h : {a, b, local}) CloseHandle(h);
  // Closing the last handle ends the object.
  EXPECT_FALSE(Exists(StoreFile(name)));

  EXPECT_EQ(CreateEventA(nullptr, true, false, "Global\\"), 0);
  EXPECT_EQ(Fails(CreateEventA(nullptr, true, false, std::string(300, 'n'))), kErrorFilenameExcedRange);
  // Odd characters are escaped, never taken as path parts.
  HANDLE odd = CreateEventA(nullptr, true, false, Name("a/../b\\c%d"));
  EXPECT_TRUE(CloseHandle(odd));
}

TEST(NamedObjects, PrivateToTheirUserAndSectionsSharedBetweenProcesses) {
  // Even the open descriptor and a permissive umask give a file of this user only.
  mode_t old = ::umask(0);
  SECURITY_DESCRIPTOR open_sd{1, true};
  SECURITY_ATTRIBUTES open_sa{12, &open_sd, false};
  std::string name = Name("vt_test_users"), section = "\\BaseNamedObjects\\" + name + "_s";
  HANDLE e = CreateEventA(&open_sa, true, false, "Global\\" + name);
  HANDLE s = 0;
  EXPECT_EQ(NtCreateSectionNamed("\\BaseNamedObjects\\Global\\" + name + "_s", 72, true, &s), kStatusSuccess);
  ::umask(old);
  ASSERT_NE(e, 0);
  struct stat st {};
  ASSERT_EQ(::stat(StoreFile(name, true).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Another process names the section without "Global\": the same object.
  std::uint64_t size = 0;
  auto* view = static_cast<char*>(MapSectionView(s, &size));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(size, 72u);
  view[0] = 'A';
  EXPECT_EQ(RunHelper({"section", section}), 183);
  EXPECT_EQ(view[1], 'B');

  // A second user gets objects of its own under the same names, while ours live.
  std::string why = NoSecondUser();
  if (why.empty()) {
    EXPECT_EQ(RunHelper({"create-event", "Global\\" + name}, As::kOtherUser), 0);
    EXPECT_EQ(RunHelper({"section", section}, As::kOtherUser), 0);
  }
  CloseHandle(e);
  // The view outlives the handle.
  EXPECT_EQ(NtClose(s), kStatusSuccess);
  view[2] = 'C';
  EXPECT_TRUE(UnmapSectionView(view));
  EXPECT_FALSE(UnmapSectionView(view));
  EXPECT_EQ(NtCreateSectionNamed("BaseNamedObjects\\x", 72, true, &s), kStatusObjectPathNotFound);
  EXPECT_EQ(NtCreateSectionNamed(section, 0, true, &s), kStatusInvalidParameter);
  EXPECT_EQ(NtQueryObjectName(kInvalidHandleValue, name), kStatusInvalidHandle);
  if (!why.empty()) GTEST_SKIP() << "second user: " << why;
}

TEST(NamedObjects, ForeignOrDamagedNameFilesGiveErrors) {
  // What lies at the name, whether a live process holds it, and the result.
  enum Plant { kGarbage, kForeignUser, kSymlink };
  struct Case {
    const char* what;
    Plant plant;
    std::string content;
    bool held;
    DWORD error;
  };
  const Case cases[] = {
      {"another user's file", kForeignUser, std::string(72, 'x'), false, kErrorAccessDenied},
      {"symbolic link", kSymlink, "", false, kErrorAccessDenied},
      {"console text", kGarbage, "Please wait....", true, kErrorFileCorrupt},
      {"zeroed header", kGarbage, std::string(72, '\0'), true, kErrorFileCorrupt},
      {"garbage nobody holds", kGarbage, "Please wait....", false, kErrorSuccess},
  };
  std::string name = Name("vt_test_planted");
  std::string file = StoreFile(name);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.plant == kForeignUser && !NoSecondUser().empty()) continue;
    if (c.plant == kSymlink) { ASSERT_EQ(::symlink("/dev/null", file.c_str()), 0); }
    int holder = -1;
    if (c.plant != kSymlink) {
      // Locked before it is filled: a parallel test's create sweeps only unheld files.
      holder = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_EQ(::flock(holder, LOCK_SH), 0);
      ASSERT_EQ(::write(holder, c.content.data(), c.content.size()), static_cast<ssize_t>(c.content.size()));
      if (c.plant == kForeignUser) { ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0); }
      if (!c.held) {
        ::close(holder);
        holder = -1;
      }
    }
    HANDLE e = CreateEventA(nullptr, true, false, name);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(e != 0, c.error == kErrorSuccess);
    if (c.error != kErrorSuccess) { EXPECT_EQ(OpenEventA(name), 0); }
    if (e) CloseHandle(e);
    if (holder >= 0) ::close(holder);
    ::unlink(file.c_str());
  }
}

TEST(NamedObjects, HolderOutlivesTruncationAndClosedStdoutIsNotTaken) {
  // A closed standard output is not taken by an object, nor any object descriptor inherited.
  EXPECT_EQ(RunHelper({"stdio", Name("vt_test_stdio")}, As::kStdoutClosed), 0);
  std::string name = Name("vt_test_truncated");
  HANDLE e = CreateEventA(nullptr, false, false, name);
  ASSERT_NE(e, 0);
  // The name file gives way, the object's memory does not.
  EXPECT_EQ(RunHelper({"truncate", std::to_string(::getpid()), StoreFile(name)}), 0);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), kWaitObject0);
  EXPECT_EQ(Fails(OpenEventA(name)), kErrorFileCorrupt);
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_FALSE(Exists(StoreFile(name)));
}

TEST(NamedObjects, NameGoesWithItsLastHolder) {
  // How the helper that made the object ends, and whether this process
  // holds the object too (its close is then the last).
  struct Case {
    const char* end;
    bool shared;
    bool gone_at_once;  // else the next create anywhere sweeps it
  };
  const Case cases[] = {{"exit", false, true}, {"wait", true, true}, {"wait", false, false}};
  std::string ready = Name("vt_test_gone_ready");
  for (const Case& c : cases) {
    std::string name = Name(std::string("vt_test_gone_") + c.end + (c.shared ? "_shared" : ""));
    SCOPED_TRACE(name);
    HANDLE r = CreateEventA(nullptr, true, false, ready);
    pid_t helper = StartHelper({"hold-event", name, ready, c.end});
    ASSERT_EQ(WaitForSingleObject(r, vt::test::kPatienceMs), kWaitObject0);
    HANDLE mine = c.shared ? OpenEventA(name) : 0;
    EXPECT_EQ(mine != 0, c.shared);
    if (std::string(c.end) == "wait") vt::test::Signal(helper, SIGKILL);
    WaitHelper(helper);
    if (mine) CloseHandle(mine);
    CloseHandle(r);
    // A stale name may also go with any other test's create running beside us.
    if (c.gone_at_once) { EXPECT_FALSE(Exists(StoreFile(name))); }
    CloseHandle(CreateEventA(nullptr, true, false, Name("vt_test_gone_other")));
    EXPECT_FALSE(Exists(StoreFile(name)));
  }
}

// A child forked without exec keeps the name after its parent ends, and a third process's
// set wakes its wait on several objects; with and without descriptors left at the fork. Only
// the processes of the test may wake the child: it runs with a /dev/shm of its own.
TEST(NamedObjects, ForkedChildKeepsTheNameAfterItsParentEnds) {
  if (!test::InPrivateShm()) return test::ExpectPassesInPrivateShm();
  for (bool no_descriptors : {false, true}) {
    SCOPED_TRACE(no_descriptors ? "no descriptor left" : "descriptors left");
    const std::string name = Name(std::string("vt_test_forked") + (no_descriptors ? "_nofd" : ""));
    const std::string done = Name("vt_test_forked_done");
    HANDLE d = CreateEventA(nullptr, true, false, done);
    ASSERT_NE(d, 0);
    std::vector<std::string> args = {"fork-wait", name, done};
    if (no_descriptors) args.push_back("nofd");
    ASSERT_EQ(RunHelper(args), 0);
    EXPECT_TRUE(Exists(StoreFile(name)));
    HANDLE e = OpenEventA(name);
    EXPECT_NE(e, 0) << GetLastError();
    // A pulse once the child waits, from a process that opens the event anew.
    EXPECT_EQ(RunHelper({"pulse", name, "1"}), 0);
    EXPECT_EQ(WaitForSingleObject(d, vt::test::kPatienceMs), kWaitObject0);
    CloseHandle(e);
    CloseHandle(d);
  }
}

TEST(Mutexes, RecursiveOwnershipAndAbandonedByThread) {
  HANDLE m = CreateMutexA(nullptr, true, "");
  ASSERT_NE(m, 0);
  EXPECT_EQ(WaitForSingleObject(m, 0), kWaitObject0);  // recursive
  std::atomic<DWORD> other{0};
  std::thread t([&] {
    other = WaitForSingleObject(m, 20);
    if (!ReleaseMutex(m)) other = other + 1000 * GetLastError();
  });
  t.join();
  EXPECT_EQ(other.load(), kWaitTimeout + 1000 * kErrorNotOwner);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(Fails(ReleaseMutex(m)), kErrorNotOwner);

  // A thread that ends owning the mutex abandons it.
  std::thread owner([&] { WaitForSingleObject(m, 1000); });
  owner.join();
  EXPECT_EQ(WaitForSingleObject(m, 1000), kWaitAbandoned0);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), kWaitObject0);  // normal again
  EXPECT_TRUE(ReleaseMutex(m));
  CloseHandle(m);
}

TEST(Waits, SeveralObjects) {
  HANDLE e0 = CreateEventA(nullptr, false, false, ""), e1 = CreateEventA(nullptr, false, false, "");
  HANDLE m = CreateMutexA(nullptr, false, "");
  HANDLE hs[] = {e0, e1, m};
  // Wait-any: the lowest signalled index.
  SetEvent(e1);
  EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 0), kWaitObject0 + 1);
  SetEvent(e0);
  SetEvent(e1);
  EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 0), kWaitObject0);
  EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 0), kWaitObject0 + 1);

  // Wait-all takes everything or nothing.
  SetEvent(e0);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, true, 20), kWaitTimeout);
  EXPECT_EQ(WaitForSingleObject(e0, 0), kWaitObject0);  // left as it was
  EXPECT_EQ(WaitForSingleObject(m, 0), kWaitObject0);    // mutex not kept
  ReleaseMutex(m);
  SetEvent(e0);
  std::thread late([&] { Sleep(30); SetEvent(e1); });
  EXPECT_EQ(WaitForMultipleObjects(3, hs, true, vt::test::kPatienceMs), kWaitObject0);
  late.join();
  EXPECT_EQ(WaitForMultipleObjects(2, hs, false, 0), kWaitTimeout);  // both auto events consumed
  EXPECT_TRUE(ReleaseMutex(m));

  // Bad requests.
  HANDLE twice[] = {e0, e0}, bad[] = {e0, 12345678};
  EXPECT_EQ(Fails(WaitForMultipleObjects(0, hs, false, 0) != kWaitFailed), kErrorInvalidParameter);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, true, 0), kWaitFailed);
  EXPECT_EQ(Fails(WaitForMultipleObjects(2, bad, false, 0) != kWaitFailed), kErrorInvalidHandle);

  // Signal one object, wait for another.
  EXPECT_EQ(SignalObjectAndWait(e1, e1, 0, false), kWaitObject0);
  for (HANDLE h : hs) CloseHandle(h);
}

// A wait for sets ends on a set made since the counts were read, not on a set state.
TEST(Waits, ForSetsCountsSetsNotStates) {
  HANDLE held = CreateEventA(nullptr, true, true, ""), other = CreateEventA(nullptr, false, false, "");
  HANDLE events[] = {held, other};
  std::uint32_t counts[2] = {};
  ASSERT_TRUE(GetEventSetCount(held, &counts[0]) && GetEventSetCount(other, &counts[1]));
  EXPECT_EQ(WaitForEventSets(2, events, counts, 0), kWaitTimeout);
  EXPECT_EQ(WaitForEventSets(2, events, counts, 20), kWaitTimeout);
  EXPECT_TRUE(ResetEvent(held));  // a reset is no set
  EXPECT_EQ(WaitForEventSets(2, events, counts, 0), kWaitTimeout);
  SetEvent(other);
  EXPECT_EQ(WaitForEventSets(2, events, counts, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForSingleObject(other, 0), kWaitObject0);  // left as it was
  SetEvent(held);
  SetEvent(held);  // while still set
  EXPECT_EQ(WaitForEventSets(2, events, counts, 0), kWaitObject0);  // the lowest index
  std::uint32_t now = 0;
  ASSERT_TRUE(GetEventSetCount(held, &now));
  EXPECT_EQ(now - counts[0], 2u);
  counts[0] = now;
  GetEventSetCount(other, &counts[1]);
  // A set from another thread while the event is still set ends a wait.
  std::thread setter([&] {
    std::uint32_t waiting = 0, joins = 0;
    while (PlatformTestHelper::EventWaiters(held, &waiting, &joins) && waiting == 0) SwitchToThread();
    SetEvent(held);
  });
  EXPECT_EQ(WaitForEventSets(2, events, counts, vt::test::kPatienceMs), kWaitObject0);
  setter.join();

  HANDLE m = CreateMutexA(nullptr, false, "");
  HANDLE mixed[] = {held, m};
  EXPECT_EQ(WaitForEventSets(2, mixed, counts, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_FALSE(GetEventSetCount(m, &now));
  EXPECT_EQ(WaitForEventSets(0, events, counts, 0), kWaitFailed);
  for (HANDLE h : {held, other, m}) CloseHandle(h);
}

TEST(CrossProcess, EventsAndAbandonedMutexesReachAnotherProcess) {
  std::string name = Name("vt_test_xev"), mname = Name("vt_test_xmutex");
  HANDLE e = CreateEventA(nullptr, false, false, name);
  HANDLE m = CreateMutexA(nullptr, false, mname);
  ASSERT_TRUE(e && m);
  EXPECT_EQ(RunHelper({"set-event", name}), 0);
  EXPECT_EQ(WaitForSingleObject(e, vt::test::kPatienceMs), kWaitObject0);

  // The other process waits; this one sets.
  pid_t waiter = StartHelper({"wait-event", name, "10000"});
  Sleep(50);
  SetEvent(e);
  EXPECT_EQ(WaitHelper(waiter), 0);
  EXPECT_EQ(RunHelper({"wait-event", name, "50"}), 1);  // consumed by the waiter
  EXPECT_EQ(RunHelper({"create-event", name}), 183);

  // A process that ends owning the mutex abandons it.
  pid_t holder = StartHelper({"hold-mutex", mname, name});
  ASSERT_EQ(WaitForSingleObject(e, vt::test::kPatienceMs), kWaitObject0);
  EXPECT_EQ(WaitHelper(holder), 0);
  HANDLE both[] = {e, m};
  EXPECT_EQ(WaitForMultipleObjects(2, both, false, vt::test::kPatienceMs), kWaitAbandoned0 + 1);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), kWaitObject0);
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_TRUE(CloseHandle(e) && CloseHandle(m));
}

}  // namespace
}  // namespace vt::os
