// Helper process for the named-object tests. Commands:
//   set-event NAME                 open the event and set it
//   wait-event NAME MS             open the event and wait: exit 0 signalled, 1 time-out
//   create-event NAME              create (or open) an event: exit 183 when it existed, else 0
//   hold-event NAME READY END      create the event, set event READY, then END: "exit"
//                                  returns without closing, "wait" sleeps until killed
//   hold-mutex NAME READY          own the mutex, set event READY, end without releasing
//   hold-table NAME READY [MS]     open the event, take its holder table's lock, set event
//                                  READY, then run for MS ms and let it go, or sleep until
//                                  killed
//   open-after GATE NAME           open event GATE, wait until it is set, then open the
//                                  event NAME and wait until it is set: exit 0
//   pulse NAME COUNT               open the event and pulse it COUNT times, each
//                                  once a wait on it has begun (support/Pulses.h)
//   wait-any NAME MS               open the event and wait on it and an unnamed event:
//                                  exit 0 when the event ended it, 1 time-out
//   pulse-nofd NAME COUNT          as pulse, with no descriptor left to open anything
//   nofd-then-pulse NAME COUNT     with no descriptor left, wait on several objects once
//                                  (1 ms), then with descriptors again pulse as pulse
//   fork-wait NAME DONE [nofd]     create the auto-reset event, fork without exec (with
//                                  nofd: with no descriptor left) and end; the child waits
//                                  on the event and an unnamed one and sets event DONE
//                                  when the event ended the wait
//   hold-waiters NAME READY        open the event, take its waiter counts' lock and keep
//                                  it, set event READY, then sleep until killed
//   set-reset NAME READY           open the event, then set and reset it without end;
//                                  set event READY after the first 100 rounds
//   wait-stay NAME MS DONE         open the event and wait MS: on a time-out set event
//                                  DONE and sleep until killed (keeping the handle),
//                                  else exit 2
//   nowaitv-wait NAME              refuse futex_waitv (ENOSYS, a seccomp filter), then as
//                                  its first wait wait on the event and an unnamed event
//                                  without time-out: exit 0 when the event ended it
//   hold-many PREFIX COUNT READY   open events PREFIX_0 .. PREFIX_<COUNT-1>, take the
//                                  waiter counts' lock of each and keep them, set event
//                                  READY, then sleep until killed
//   hold-until NAME READY GO       open the event, take its waiter counts' lock, set
//                                  event READY, wait for event GO, then end (which
//                                  lets the lock go)
//   section NAME                   create or open the session-style section, write 'B' to
//                                  byte 1: exit 183 when it existed, else 0
//   truncate PID FILE              truncate the name file, then every object memfd of
//                                  process PID: exit 0 when only the name file gave way
//   fork-env VAR MS                in a program that has used the layer for nothing else,
//                                  fork while another thread holds the environment's lock:
//                                  exit 0 when the child read VAR and ended within MS
//   stdio NAME                     start-up with standard descriptors checked, then create
//                                  the event: exit 0 when descriptor 1 is /dev/null and
//                                  the object's descriptors are close-on-exec
// Any failure exits with 100 + the last error (bounded).
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/Section.h"
#include "platform/SharedSegment.h"
#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "support/Pulses.h"

using namespace vt::os;

namespace {

[[noreturn]] void Fail() { std::_Exit(100 + static_cast<int>(GetLastError() % 100)); }

std::string LinkOf(const std::string& path) {
  char buf[4096];
  ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Truncates every object memfd of the process; answers how many there
// were, or -1 when one of them gave way.
int TruncateObjectMemory(const std::string& pid) {
  const std::string folder = "/proc/" + pid + "/fd/";
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return -1;
  int found = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string path = folder + entry->d_name;
    if (LinkOf(path).rfind("/memfd:vt.object", 0) != 0) continue;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) found = ::ftruncate(fd, 0) == 0 ? -1000 : found + 1, ::close(fd);
  }
  ::closedir(dir);
  return found;
}

// Whether the thread (a /proc/.../task/TID path) sleeps in a futex call.
bool AsleepInFutex(const std::string& task) {
  std::ifstream in(task + "/syscall");
  long number = -1;
  return static_cast<bool>(in >> number) && (number == SYS_futex || number == SYS_futex_waitv);
}

// The holder lets the lock go once the fork waits for it, or once the fork
// is made (which then leaves the child a held lock).
int ForkWithEnvironmentHeld(const char* variable, int ms) {
  const std::string forker = "/proc/self/task/" + std::to_string(::syscall(SYS_gettid));
  std::atomic<int> phase{0};  // 1: held; 2: forked
  std::thread holder([&] {
    PlatformTestHelper::HoldLayerLock(detail::LayerLock::kEnvironment, true);
    phase.store(1);
    while (phase.load() != 2 && !AsleepInFutex(forker)) ::usleep(1000);
    PlatformTestHelper::HoldLayerLock(detail::LayerLock::kEnvironment, false);
  });
  while (phase.load() != 1) ::usleep(1000);
  const pid_t child = ::fork();
  if (child == 0) {
    std::string value;
    ReadEnvironmentVariable(variable, &value);
    ::_exit(0);
  }
  phase.store(2);
  holder.join();
  if (child < 0) return 3;
  int status = 0;
  for (int waited = 0; ::waitpid(child, &status, WNOHANG) != child; ++waited) {
    if (waited >= ms) {
      ::kill(child, SIGKILL);  // a child of this program
      ::waitpid(child, &status, 0);
      return 1;
    }
    ::usleep(1000);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 2;
}

// Makes futex_waitv fail with ENOSYS in this process, as on a kernel
// without it.
bool RefuseFutexWaitv() {
#if defined(__x86_64__)
  constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex_waitv, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 99;
  std::string cmd = argv[1], name = argv[2];
  if (cmd == "fork-env" && argc > 3) return ForkWithEnvironmentHeld(argv[2], std::atoi(argv[3]));
  if (cmd == "stdio") {
    EnsureStandardHandles();
    if (!CreateEventA(nullptr, true, false, name)) Fail();
    if (LinkOf("/proc/self/fd/1") != "/dev/null") return 1;
    for (int fd = 3; fd < 64; ++fd) {
      std::string link = LinkOf("/proc/self/fd/" + std::to_string(fd));
      bool object = link.rfind("/dev/shm/", 0) == 0 || link.rfind("/memfd:", 0) == 0;
      if (object && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC)) return 2;
    }
    return 0;
  }
  if (cmd == "set-event" || cmd == "wait-event") {
    HANDLE h = OpenEventA(name);
    if (!h || (cmd == "set-event" && !SetEvent(h))) Fail();
    if (cmd == "set-event" || argc < 4) return cmd == "set-event" ? 0 : 99;
    DWORD r = WaitForSingleObject(h, static_cast<DWORD>(std::atoi(argv[3])));
    return r == kWaitObject0 ? 0 : r == kWaitTimeout ? 1 : 2;
  }
  if (cmd == "wait-any" && argc > 3) {
    HANDLE handles[] = {OpenEventA(name), CreateEventA(nullptr, true, false, "")};
    if (!handles[0] || !handles[1]) Fail();
    const DWORD r = WaitForMultipleObjects(2, handles, false, static_cast<DWORD>(std::atoi(argv[3])));
    return r == kWaitObject0 ? 0 : r == kWaitTimeout ? 1 : 2;
  }
  if ((cmd == "pulse-nofd" || cmd == "nofd-then-pulse") && argc > 3) {
    HANDLE handles[] = {OpenEventA(name), CreateEventA(nullptr, true, false, "")};
    rlimit limit{};
    if (!handles[0] || !handles[1] || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) Fail();
    const rlimit none{0, limit.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &none) != 0) return 4;
    if (cmd == "nofd-then-pulse") {
      if (WaitForMultipleObjects(2, handles, false, 1) != kWaitTimeout) return 5;
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 4;
      // The wake word is tried again only so long after a failure.
      Sleep(200);
    }
    const bool pulsed = vt::test::PulseWaitedEvent(handles[0], std::atoi(argv[3]));
    ::setrlimit(RLIMIT_NOFILE, &limit);  // for whatever runs at exit
    return pulsed ? 0 : 3;
  }
  if (cmd == "fork-wait" && argc > 3) {
    HANDLE handles[] = {CreateEventA(nullptr, false, false, name), CreateEventA(nullptr, true, false, "")};
    HANDLE done = OpenEventA(argv[3]);
    if (!handles[0] || !handles[1] || !done) Fail();
    // The wake word is mapped before the fork.
    if (WaitForMultipleObjects(2, handles, false, 1) != kWaitTimeout) return 5;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) Fail();
    const rlimit none{0, limit.rlim_max};
    if (argc > 4 && std::strcmp(argv[4], "nofd") == 0 && ::setrlimit(RLIMIT_NOFILE, &none) != 0) return 4;
    const pid_t child = ::fork();
    ::setrlimit(RLIMIT_NOFILE, &limit);
    if (child < 0) return 6;
    if (child == 0) {
      // Up to the tests' patience.
      if (WaitForMultipleObjects(2, handles, false, 400000) == kWaitObject0) SetEvent(done);
      std::exit(0);
    }
    return 0;
  }
  if (cmd == "pulse" && argc > 3) {
    HANDLE h = OpenEventA(name);
    if (!h) Fail();
    return vt::test::PulseWaitedEvent(h, std::atoi(argv[3])) ? 0 : 3;
  }
  if (cmd == "create-event") {
    HANDLE h = CreateEventA(nullptr, true, false, name);
    if (!h) Fail();
    return GetLastError() == kErrorAlreadyExists ? 183 : 0;  // the handle goes with the process
  }
  if (cmd == "hold-event" && argc > 4) {
    HANDLE ready = OpenEventA(argv[3]);
    if (!CreateEventA(nullptr, true, false, name) || !ready || !SetEvent(ready)) Fail();
    if (std::strcmp(argv[4], "wait") == 0) ::pause();
    return 0;
  }
  if (cmd == "hold-waiters" && argc > 3) {
    HANDLE event = OpenEventA(name);
    HANDLE ready = OpenEventA(argv[3]);
    if (!event || !ready || !PlatformTestHelper::HoldEventWaitersLock(event) || !SetEvent(ready)) Fail();
    for (;;) ::pause();
  }
  if (cmd == "hold-table" && argc > 3) {
    detail::ObjectPath path;
    detail::Segment segment;
    HANDLE ready = OpenEventA(argv[3]);
    if (!detail::ResolveObjectName(name, false, path) || segment.Open(path, detail::SegmentKind::kEvent) != 0 ||
        !segment.HoldTable(true) || !ready || !SetEvent(ready))
      Fail();
    if (argc < 5) {
      for (;;) ::pause();
    }
    // Busy, never asleep, until the time is up.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(argv[4]));
    while (std::chrono::steady_clock::now() < until) {
    }
    segment.HoldTable(false);
    return 0;
  }
  if (cmd == "open-after" && argc > 3) {
    HANDLE gate = OpenEventA(name);
    if (!gate || WaitForSingleObject(gate, kInfinite) != kWaitObject0) Fail();
    HANDLE event = OpenEventA(argv[3]);
    if (!event || WaitForSingleObject(event, kInfinite) != kWaitObject0) Fail();
    return 0;
  }
  if (cmd == "hold-mutex" && argc > 3) {
    HANDLE m = CreateMutexA(nullptr, false, name);
    if (!m || WaitForSingleObject(m, 5000) != kWaitObject0) Fail();
    HANDLE ready = OpenEventA(argv[3]);
    if (!ready || !SetEvent(ready)) Fail();
    std::_Exit(0);  // the mutex is abandoned
  }
  if (cmd == "set-reset" && argc > 3) {
    HANDLE event = OpenEventA(name);
    HANDLE ready = OpenEventA(argv[3]);
    if (!event || !ready) Fail();
    for (int round = 0;; ++round) {
      if (!SetEvent(event) || !ResetEvent(event)) Fail();
      if (round == 100 && !SetEvent(ready)) Fail();
    }
  }
  if (cmd == "wait-stay" && argc > 4) {
    HANDLE event = OpenEventA(name);
    HANDLE done = OpenEventA(argv[4]);
    if (!event || !done) Fail();
    if (WaitForSingleObject(event, static_cast<DWORD>(std::atoi(argv[3]))) != kWaitTimeout) return 2;
    if (!SetEvent(done)) Fail();
    for (;;) ::pause();
  }
  if (cmd == "nowaitv-wait") {
    if (!RefuseFutexWaitv()) return 4;
    HANDLE handles[] = {OpenEventA(name), CreateEventA(nullptr, true, false, "")};
    if (!handles[0] || !handles[1]) Fail();
    return WaitForMultipleObjects(2, handles, false, kInfinite) == kWaitObject0 ? 0 : 2;
  }
  if (cmd == "hold-many" && argc > 4) {
    std::vector<HANDLE> events;
    for (int i = 0; i < std::atoi(argv[3]); ++i) {
      events.push_back(OpenEventA(name + "_" + std::to_string(i)));
      if (!events.back() || !PlatformTestHelper::HoldEventWaitersLock(events.back())) Fail();
    }
    HANDLE ready = OpenEventA(argv[4]);
    if (!ready || !SetEvent(ready)) Fail();
    for (;;) ::pause();
  }
  if (cmd == "hold-until" && argc > 4) {
    HANDLE event = OpenEventA(name);
    HANDLE ready = OpenEventA(argv[3]);
    HANDLE go = OpenEventA(argv[4]);
    if (!event || !ready || !go || !PlatformTestHelper::HoldEventWaitersLock(event) || !SetEvent(ready)) Fail();
    if (WaitForSingleObject(go, kInfinite) != kWaitObject0) Fail();
    // The lock goes with the process, at once: no exit handlers, whose leak
    // check (under the sanitizers) stops every thread while it is held.
    std::_Exit(0);
  }
  if (cmd == "section") {
    HANDLE s = 0;
    NTSTATUS st = NtCreateSectionNamed(name, 72, true, &s);
    if (st != kStatusSuccess && st != kStatusObjectNameExists) return 3;
    std::uint64_t size = 0;
    auto* view = static_cast<char*>(MapSectionView(s, &size));
    if (!view || size != 72) Fail();
    view[1] = 'B';
    return st == kStatusObjectNameExists ? 183 : 0;
  }
  if (cmd == "truncate" && argc > 3) return ::truncate(argv[3], 0) != 0 ? 1 : TruncateObjectMemory(name) > 0 ? 0 : 2;
  return 99;
}
