#include "platform/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/ForkLocks.h"
#include "platform/PeExec.h"
#include "platform/Section.h"
#include "platform/SharedSegment.h"
#include "platform/Sync.h"
#include "platform/Utf.h"
#include "platform/WakeWord.h"

namespace vt::os {

std::mutex& detail::ProcessOrphansLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

std::vector<pid_t>& Orphans() {  // children whose handles were all closed while they ran
  static auto* list = new std::vector<pid_t>;
  return *list;
}

void ReapOrphans() {
  std::lock_guard lock(detail::ProcessOrphansLock());
  auto& list = Orphans();
  for (size_t i = 0; i < list.size();) {
    pid_t r = ::waitpid(list[i], nullptr, WNOHANG);
    if (r == list[i] || (r < 0 && errno == ECHILD)) {
      list[i] = list.back();
      list.pop_back();
    } else {
      ++i;
    }
  }
}

// The signals ignored when the program started (nohup, a background job of
// a shell): read before main runs.
sigset_t ReadIgnoredSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s = 1; s < NSIG; ++s) {
    struct sigaction current {};
    if (s != SIGKILL && s != SIGSTOP && ::sigaction(s, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      sigaddset(&set, s);
  }
  return set;
}
const sigset_t g_ignored_at_start = ReadIgnoredSignals();

// Termination requests: the handler records each one in a pipe that child
// waits read.
int g_request_pipe[2] = {-1, -1};
std::atomic<int> g_first_request{0};
std::atomic<TerminationPolicy> g_policy{TerminationPolicy::kStopChild};

void OnTerminationRequest(int signal) {
  const int saved = errno;
  int none = 0;
  g_first_request.compare_exchange_strong(none, signal);
  const auto byte = static_cast<unsigned char>(signal);
  const ssize_t ignored = ::write(g_request_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

DWORD StatusToExitCode(int status) {
  if (WIFEXITED(status)) return static_cast<DWORD>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return kExitCodeSignalBase + static_cast<DWORD>(WTERMSIG(status));
  return kExitCodeSignalBase;
}

// A child process behind a handle; signalled once it has ended.
class Child : public KernelObject {
 public:
  Child(pid_t pid, int pidfd, int gate) : pid_(pid), pidfd_(pidfd), gate_(gate) {}
  ~Child() override {
    if (watch_stop_ >= 0) {
      const std::uint64_t one = 1;
      (void)!::write(watch_stop_, &one, sizeof one);
      ::close(watch_stop_);
    }
    if (pidfd_ >= 0) ::close(pidfd_);
    if (gate_ >= 0) ::close(gate_);  // a child never resumed ends without running
    std::lock_guard lock(lock_);
    bool ended = false;
    if (Reap(&ended) && !ended) {
      std::lock_guard orphans(detail::ProcessOrphansLock());
      Orphans().push_back(pid_);
    }
  }
  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_; }
  // Lets a child started suspended run its program. Answers the previous
  // suspend count (1, then 0).
  DWORD Resume() {
    std::lock_guard lock(lock_);
    if (gate_ < 0) return 0;
    const char go = 1;
    ssize_t n;
    do {
      n = ::send(gate_, &go, 1, MSG_NOSIGNAL);  // a child killed meanwhile: no broken-pipe signal
    } while (n < 0 && errno == EINTR);
    ::close(gate_);
    gate_ = -1;
    return 1;
  }
  bool Waitable() const override { return true; }
  Poll TryWait() override {
    std::lock_guard lock(lock_);
    bool ended = false;
    if (!Reap(&ended)) return Poll::kFailed;
    return ended ? Poll::kSignaled : Poll::kNotSignaled;
  }
  DWORD WaitSingle(DWORD timeout_ms) override;
  // Waits on several objects learn of the end from a watcher thread, started
  // by the first of them, that wakes the wake word when the child ends.
  bool JoinWaiters(bool, DWORD, std::uint32_t* mark) override {
    StartWatcher();
    *mark = 0;
    return true;
  }
  // Without a watcher the end is looked for every 5 ms.
  DWORD RecheckMs() const override { return watching_.load() ? kInfinite : 5; }
  // Acts on the termination requests caught so far, as the policy says.
  void PassOnRequests() {
    unsigned char requests[64];
    ssize_t n;
    while ((n = ::read(g_request_pipe[0], requests, sizeof requests)) > 0) {
      std::lock_guard lock(lock_);
      if (ended_) continue;
      for (ssize_t i = 0; i < n; ++i)
        ::kill(pid_, g_policy.load() == TerminationPolicy::kForwardToChild ? requests[i] : SIGKILL);
    }
  }
  // kStillActive while running; false with the last error on a failed query.
  bool ExitCode(DWORD* code) {
    std::lock_guard lock(lock_);
    bool ended = false;
    if (!Reap(&ended)) return false;
    *code = ended ? exit_code_ : kStillActive;
    return true;
  }

 private:
  // Collects the status once the child has ended. Caller holds lock_.
  bool Reap(bool* ended) {
    if (ended_) {
      *ended = true;
      return true;
    }
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    *ended = r != 0;
    if (r != 0) {
      ended_ = true;
      exit_code_ = StatusToExitCode(status);
    }
    return true;
  }

  void StartWatcher();

  pid_t pid_;
  int pidfd_;
  int gate_;  // write end of a suspended child's gate, -1 once resumed
  int watch_stop_ = -1;  // an eventfd: written when the object goes, ending its watcher
  std::atomic<bool> watching_{false};
  std::mutex lock_;
  bool ended_ = false;
  DWORD exit_code_ = 0;
};

// The watcher holds copies of its descriptors only, never the object.
void Child::StartWatcher() {
  std::lock_guard lock(lock_);
  if (watching_.load() || ended_) return;
  const int stop = ::eventfd(0, EFD_CLOEXEC);
  if (stop < 0) return;
  const int stop_copy = ::fcntl(stop, F_DUPFD_CLOEXEC, 0);
  const int pidfd = pidfd_ >= 0 ? ::fcntl(pidfd_, F_DUPFD_CLOEXEC, 0) : -1;
  if (stop_copy < 0 || (pidfd_ >= 0 && pidfd < 0)) {
    for (int fd : {stop, stop_copy, pidfd})
      if (fd >= 0) ::close(fd);
    return;
  }
  const pid_t pid = pid_;
  try {
    std::thread([stop_copy, pidfd, pid] {
      bool ended = false;
      for (;;) {
        pollfd fds[2] = {{stop_copy, POLLIN, 0}, {pidfd, POLLIN, 0}};
        // Without a process descriptor: a look every 5 ms that leaves the status to be collected.
        const int r = ::poll(fds, pidfd >= 0 ? 2 : 1, pidfd >= 0 ? -1 : 5);
        if (r < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (pidfd >= 0 ? fds[1].revents != 0 : [pid] {
              siginfo_t info{};
              return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                     info.si_pid != 0;
            }()) {
          ended = true;
          break;
        }
      }
      if (ended) detail::WakeSeveralWaiters();
      ::close(stop_copy);
      if (pidfd >= 0) ::close(pidfd);
    }).detach();
  } catch (...) {
    for (int fd : {stop, stop_copy, pidfd})
      if (fd >= 0) ::close(fd);
    return;
  }
  watch_stop_ = stop;
  watching_.store(true);
}

DWORD Child::WaitSingle(DWORD timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms == kInfinite ? 0 : timeout_ms);
  const int requests = g_request_pipe[0];
  for (;;) {
    if (requests >= 0) PassOnRequests();
    switch (TryWait()) {
      case Poll::kSignaled: return kWaitObject0;
      case Poll::kFailed: return kWaitFailed;
      default: break;
    }
    int wait_ms = -1;
    if (timeout_ms != kInfinite) {
      // Rounded up: the wait never ends before the time asked.
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return kWaitTimeout;
      wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    // Without a process descriptor the child's end is looked for every 5 ms.
    if (pidfd_ < 0 && (wait_ms < 0 || wait_ms > 5)) wait_ms = 5;
    pollfd fds[2];
    nfds_t count = 0;
    if (pidfd_ >= 0) fds[count++] = {pidfd_, POLLIN, 0};
    if (requests >= 0) fds[count++] = {requests, POLLIN, 0};
    if (::poll(fds, count, wait_ms) < 0 && errno != EINTR) {
      SetLastErrorFromErrno(errno);
      return kWaitFailed;
    }
  }
}

// ---- starting ----

enum Stage : int {
  kStageExec = 1,
  kStageChdir = 2,
  kStageRedirect = 3,
  kStageSession = 4,
  kStageUser = 5,
  kStageSuspended = 6,  // not a failure: the child waits at its gate
};

struct ExecReport {
  int stage;
  int err;
};

std::string BaseName(const std::string& path) {
  size_t p = path.find_last_of("/\\");
  return p == std::string::npos ? path : path.substr(p + 1);
}

bool SameAscii(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// "cmd /c <text>" or "cmd.exe /C <text>": <text> as the interpreter sees it
// (surrounding quotes removed). False when the line has no /c switch.
bool InterpreterText(const std::string& line, std::string* text) {
  auto tokens = SplitCommandLine(line);
  size_t pos = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    pos = line.find(tokens[i].raw, pos);
    if (pos == std::string::npos) return false;
    pos += tokens[i].raw.size();
    if (i > 0 && (tokens[i].raw == "/c" || tokens[i].raw == "/C")) {
      std::string rest = line.substr(pos);
      size_t b = rest.find_first_not_of(" \t");
      rest = b == std::string::npos ? std::string() : rest.substr(b);
      if (rest.size() >= 2 && rest.front() == '"') {
        size_t last = rest.find_last_of('"');
        if (last > 0) rest = rest.substr(1, last - 1) + rest.substr(last + 1);
      }
      *text = rest;
      return true;
    }
  }
  return false;
}

// Copies size bytes at offset of fd into an anonymous executable file.
// Returns its descriptor, or -1 with the last error set.
int CopyToAnonymousFile(int fd, std::uint64_t offset, std::uint64_t size, const std::string& name);

// Copies the ELF program of a PE file into an anonymous file. Returns the
// descriptor, or -1 with the last error set (193 for a plain PE image).
int ExtractEmbeddedElf(int fd, std::uint64_t file_size, const std::string& name) {
  std::uint8_t tail[peexec::kTrailerSize];
  std::uint64_t offset = 0, size = 0;
  std::uint8_t magic[4];
  if (file_size < peexec::kTrailerSize ||
      ::pread(fd, tail, sizeof tail, static_cast<off_t>(file_size - sizeof tail)) != static_cast<ssize_t>(sizeof tail) ||
      !peexec::ParseTrailer(tail, file_size, &offset, &size) ||
      ::pread(fd, magic, 4, static_cast<off_t>(offset)) != 4 || !peexec::IsElfMagic(magic)) {
    SetLastError(kErrorBadExeFormat);
    return -1;
  }
  return CopyToAnonymousFile(fd, offset, size, name);
}

int CopyToAnonymousFile(int fd, std::uint64_t offset, std::uint64_t size, const std::string& name) {
  int mfd = static_cast<int>(::syscall(SYS_memfd_create, BaseName(name).c_str(), MFD_CLOEXEC));
  if (mfd < 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  // A small chunk: a start under a tight address-space limit needs no
  // mapping of its own for it.
  constexpr size_t kChunk = 64 << 10;
  const std::unique_ptr<char[]> buf(new (std::nothrow) char[kChunk]);
  if (!buf) {
    ::close(mfd);
    SetLastError(kErrorNotEnoughMemory);
    return -1;
  }
  std::uint64_t done = 0;
  while (done < size) {
    size_t want = static_cast<size_t>(std::min<std::uint64_t>(kChunk, size - done));
    ssize_t r = ::pread(fd, buf.get(), want, static_cast<off_t>(offset + done));
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      SetLastError(r < 0 ? ErrnoToError(errno) : kErrorBadExeFormat);
      ::close(mfd);
      return -1;
    }
    for (ssize_t w = 0; w < r;) {
      ssize_t n = ::write(mfd, buf.get() + w, static_cast<size_t>(r - w));
      if (n < 0) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        ::close(mfd);
        return -1;
      }
      w += n;
    }
    done += static_cast<std::uint64_t>(r);
  }
  return mfd;
}

constexpr size_t kMaxEnvironmentChars = 16u << 20;

// Reads an environment block; false when it has no end within the bound.
bool ParseEnvironment(const void* block, bool unicode, std::vector<std::string>* out) {
  if (unicode) {
    const char16_t* p = static_cast<const char16_t*>(block);
    size_t i = 0;
    while (i < kMaxEnvironmentChars) {
      size_t n = 0;
      while (i + n < kMaxEnvironmentChars && p[i + n] != 0) ++n;
      if (i + n >= kMaxEnvironmentChars) return false;
      if (n == 0) return true;
      out->push_back(Utf16ToUtf8(std::u16string_view(p + i, n)));
      i += n + 1;
    }
    return false;
  }
  const char* p = static_cast<const char*>(block);
  size_t i = 0;
  while (i < kMaxEnvironmentChars) {
    size_t n = ::strnlen(p + i, kMaxEnvironmentChars - i);
    if (i + n >= kMaxEnvironmentChars) return false;
    if (n == 0) return true;
    out->emplace_back(p + i, n);
    i += n + 1;
  }
  return false;
}

// What a priority class becomes: a scheduling policy and a nice value.
struct Priority {
  bool set = false;
  int policy = SCHED_OTHER;
  int nice = 0;
};

Priority PriorityFor(DWORD flags) {
  Priority p;
  p.set = true;
  if (flags & kRealtimePriorityClass)
    p.policy = SCHED_RR, p.nice = -10;  // the nice value is the fallback to high
  else if (flags & kHighPriorityClass)
    p.nice = -10;
  else if (flags & kAboveNormalPriorityClass)
    p.nice = -5;
  else if (flags & kIdlePriorityClass)
    p.policy = SCHED_IDLE, p.nice = 19;
  else if (flags & kBelowNormalPriorityClass)
    p.nice = 10;
  else if (!(flags & kNormalPriorityClass))
    p.set = false;
  return p;
}

// In the child. Realtime that the user may not take falls back to high, as
// there; a nice value below the present one that the user may not take
// leaves the present one.
void ApplyPriority(const Priority& p) {
  struct sched_param param {};
  if (p.policy == SCHED_RR) {
    param.sched_priority = ::sched_get_priority_min(SCHED_RR);
    if (::sched_setscheduler(0, SCHED_RR, &param) == 0) return;
    param.sched_priority = 0;
  }
  (void)::sched_setscheduler(0, p.policy == SCHED_IDLE ? SCHED_IDLE : SCHED_OTHER, &param);
  (void)::setpriority(PRIO_PROCESS, 0, p.nice);
}

// A user token: the identity a child takes.
class UserToken : public KernelObject {
 public:
  UserToken(uid_t uid, gid_t gid, std::vector<gid_t> groups) : uid(uid), gid(gid), groups(std::move(groups)) {}
  const uid_t uid;
  const gid_t gid;
  const std::vector<gid_t> groups;
};

// Whether the process may take other user and group ids (CAP_SETUID and
// CAP_SETGID in its effective set).
bool MayChangeIdentity() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const auto has = [&](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1u; };
  return has(CAP_SETUID) && has(CAP_SETGID);
}

// The entries of the runtime handle block that name open descriptors
// replace the first three of fds.
void RuntimeHandlesOver(const std::vector<std::uint8_t>& block, int fds[3]) {
  std::uint32_t count = 0;
  if (block.size() < 4) return;
  std::memcpy(&count, block.data(), 4);
  for (std::uint32_t i = 0; i < 3 && i < count; ++i) {
    const std::size_t at = 4 + count + 4 * std::size_t{i};
    if (at + 4 > block.size() || !(block[4 + i] & kRuntimeHandleOpen)) continue;
    std::int32_t handle = 0;
    std::memcpy(&handle, block.data() + at, 4);
    if (handle >= 0 && ::fcntl(handle, F_GETFD) >= 0) fds[i] = handle;
  }
}

[[noreturn]] void ChildFail(int pipe_fd, int stage, int err) {
  ExecReport rep{stage, err};
  (void)::syscall(SYS_write, pipe_fd, &rep, sizeof rep);
  ::_exit(127);
}

// A child that only execs starts sharing the starter's memory (as
// posix_spawn does): the kernel copies none of the starter's mappings. Not
// under the address sanitizer, whose interceptors and stack poisoning
// would run in the child on the starter's memory.
#if defined(__SANITIZE_ADDRESS__)
#define VT_START_SHARING_MEMORY 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VT_START_SHARING_MEMORY 0
#endif
#endif
#if !defined(VT_START_SHARING_MEMORY) && (defined(__x86_64__) || defined(__aarch64__))
#define VT_START_SHARING_MEMORY 1
#endif
#if !defined(VT_START_SHARING_MEMORY)
#define VT_START_SHARING_MEMORY 0
#endif

#if VT_START_SHARING_MEMORY
constexpr std::size_t kChildStackSize = 64 * 1024;

template <class Body>
int RunSharingChild(void* body) {
  (*static_cast<Body*>(body))();
  return 127;
}
#endif

// The kernel's struct sigaction (x86_64, aarch64), for setting a default or
// ignored disposition of every signal, the C library's own included.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  std::uint64_t mask;
};

// In a child before it waits at its gate: closes what exec would close, so
// that the starter's own descriptors (files and the shares they hold, other
// children's gates) do not live on in a child that has not run yet. The
// three given stay open. System calls only.
void CloseOnExecDescriptorsNow(int report, int gate, int program) {
  const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto close_if_on_exec = [&](int fd) {
    if (fd > 2 && fd != report && fd != gate && fd != program && fd != dir) {
      const int flags = ::fcntl(fd, F_GETFD);
      if (flags >= 0 && (flags & FD_CLOEXEC)) ::close(fd);
    }
  };
  if (dir < 0) {
    // Without /proc: every number below the limit, up to a bound.
    struct rlimit limit {};
    int last = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(last))
      last = static_cast<int>(limit.rlim_cur);
    for (int fd = 3; fd < last; ++fd) close_if_on_exec(fd);
    return;
  }
  alignas(dirent64) char buffer[2048];
  for (;;) {
    const long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (n <= 0) break;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      int fd = 0;
      const char* c = entry->d_name;
      if (*c < '0' || *c > '9') continue;
      for (; *c >= '0' && *c <= '9'; ++c) fd = fd * 10 + (*c - '0');
      close_if_on_exec(fd);
    }
  }
  ::close(dir);
}

// Whether a program whose open was refused (errno EACCES) may run all the
// same: a regular file the caller may execute but not read. errno stays.
bool MayRunUnread(const std::string& file) {
  const int saved = errno;
  struct stat st {};
  const bool may = saved == EACCES && ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                   ::faccessat(AT_FDCWD, file.c_str(), X_OK, AT_EACCESS) == 0;
  errno = saved;
  return may;
}

std::atomic<unsigned> g_error_mode{0};

}  // namespace

std::size_t CommandLineLength(const std::string& command_line) {
  // A string far too long needs no conversion to be counted as such.
  if (command_line.size() >= 4 * std::size_t{kMaxCommandLine}) return command_line.size();
  return Utf8ToUtf16(command_line).size();
}

bool CreateProcess(const std::string& application_name, const std::string& command_line, bool inherit_handles,
                   DWORD creation_flags, const void* environment, const std::string& current_directory,
                   const StartupInfo& startup, ProcessInformation* info, std::uintptr_t user_token) {
  ReapOrphans();
  if (CommandLineLength(command_line) >= kMaxCommandLine) {
    SetLastError(kErrorFilenameExcedRange);
    return false;
  }
  std::shared_ptr<UserToken> user;
  if (user_token != 0) {
    user = LookupHandleAs<UserToken>(static_cast<HANDLE>(user_token));
    if (!user) return false;
  }
  const bool suspended = (creation_flags & kCreateSuspended) != 0;

  // What to run, with which arguments.
  std::vector<std::string> args;
  std::string file;
  std::string shell_text;
  bool interpreter = !application_name.empty() && SameAscii(BaseName(application_name), "cmd.exe");
  if (interpreter) {
    if (!InterpreterText(command_line, &shell_text)) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    file = "/bin/sh";
    args = {"sh", "-c", shell_text};
  } else {
    args = CommandLineToArgs(command_line);
    if (!application_name.empty()) {
      file = application_name;
      if (args.empty()) args.push_back(application_name);
    } else {
      if (args.empty() || args[0].empty()) {
        SetLastError(kErrorFileNotFound);
        return false;
      }
      file = args[0];
      if (file.find('/') == std::string::npos) {
        std::string found = SearchPath({}, file, PathSearch::Executable);
        if (found.empty()) {
          SetLastError(kErrorFileNotFound);
          return false;
        }
        file = found;
      }
    }
  }

  std::vector<std::string> env_strings;
  if (environment &&
      !ParseEnvironment(environment, (creation_flags & kCreateUnicodeEnvironment) != 0, &env_strings)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!current_directory.empty()) {
    struct stat st {};
    if (::stat(current_directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(kErrorDirectory);
      return false;
    }
  }

  // Open the program: a PE image runs only through its embedded ELF program.
  // One that may be run but not read (mode 111) goes to its exec as it is.
  int exec_fd = -1;
  if (int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0 || !MayRunUnread(file)) {
    if (fd < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      SetLastError(kErrorAccessDenied);
      return false;
    }
    std::uint8_t head[4] = {0, 0, 0, 0};
    const ssize_t got = ::pread(fd, head, 4, 0);
    if (got >= 2 && head[0] == 'M' && head[1] == 'Z') {
      exec_fd = ExtractEmbeddedElf(fd, static_cast<std::uint64_t>(st.st_size), file);
      ::close(fd);
      if (exec_fd < 0) return false;
    } else if (got == 4 && peexec::IsElfMagic(head) && ::access(file.c_str(), X_OK) != 0) {
      // A program is one by its content, as there: a file written without
      // the execute permission runs from an executable copy.
      exec_fd = CopyToAnonymousFile(fd, 0, static_cast<std::uint64_t>(st.st_size), file);
      ::close(fd);
      if (exec_fd < 0) return false;
    } else {
      ::close(fd);
    }
  }

  // Everything the child needs, prepared before fork.
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The child learns its command line as given (GetCommandLine), except the
  // command interpreter, which is no program of ours.
  if (!environment) {
    // setenv may move and free what environ points to meanwhile.
    std::lock_guard lock(detail::EnvironmentLock());
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  }
  const std::string variable = std::string(kCommandLineVariable) + "=";
  std::erase_if(env_strings, [&](const std::string& e) { return e.compare(0, variable.size(), variable) == 0; });
  if (!interpreter) env_strings.push_back(variable + command_line);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  char** child_env = envp.data();

  const bool new_session = (creation_flags & (kCreateNewConsole | kDetachedProcess)) != 0;
  const bool new_group = (creation_flags & kCreateNewProcessGroup) != 0;
  const bool hidden = (startup.flags & kStartfUseShowWindow) && startup.show_window == kSwHide;
  const bool use_std = (startup.flags & kStartfUseStdHandles) != 0;
  const bool null_std = !use_std && ((creation_flags & kDetachedProcess) ||
                                     ((creation_flags & kCreateNewConsole) && hidden));
  const Priority priority = PriorityFor(creation_flags);
  // What becomes the child's descriptors 0 to 2: a descriptor, kNullDevice,
  // or kKeep (inherited as it is).
  constexpr int kNullDevice = -1, kKeep = -2;
  int std_fds[3] = {kKeep, kKeep, kKeep};
  if (use_std || null_std) {
    const std::intptr_t given[3] = {startup.std_input, startup.std_output, startup.std_error};
    for (int i = 0; i < 3; ++i) std_fds[i] = use_std && given[i] >= 0 ? static_cast<int>(given[i]) : kNullDevice;
  }
  RuntimeHandlesOver(startup.runtime_handles, std_fds);
  const bool redirect = std_fds[0] != kKeep || std_fds[1] != kKeep || std_fds[2] != kKeep;
  const char* cwd = current_directory.empty() ? nullptr : current_directory.c_str();
  const pid_t parent = ::getpid();
  // A signal ignored at start and still ignored passes on ignored, as the
  // system passes it; every other one starts at its default.
  bool ignored[NSIG] = {};
  for (int s = 1; s < NSIG; ++s) {
    struct sigaction current {};
    ignored[s] = sigismember(&g_ignored_at_start, s) == 1 && ::sigaction(s, nullptr, &current) == 0 &&
                 current.sa_handler == SIG_IGN;
  }

  int report[2] = {-1, -1};
  // A suspended child waits before running the program until a byte comes
  // through its gate; the end of the gate without one ends it.
  int gate[2] = {-1, -1};
  // The start's own descriptors live above 2: a starter without standard
  // handles gets those numbers for them, and the child's handles replace them.
  int* const own[] = {&report[0], &report[1], &gate[0], &gate[1], &exec_fd};
  const auto above_standard = [&] {
    for (int* fd : own)
      if (*fd >= 0 && *fd <= 2) {
        const int moved = ::fcntl(*fd, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return false;
        ::close(*fd);
        *fd = moved;
      }
    return true;
  };
  if (::pipe2(report, O_CLOEXEC) != 0 || (suspended && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gate) != 0) || !above_standard()) {
    SetLastErrorFromErrno(errno);
    for (int* fd : own)
      if (*fd >= 0) ::close(*fd);
    return false;
  }
  // Without the privilege a token names the caller's own identity: nothing to change.
  if (user && user->uid == ::geteuid() && user->gid == ::getegid() && !MayChangeIdentity()) user.reset();
  const gid_t* user_groups = user ? user->groups.data() : nullptr;
  const std::size_t user_group_count = user ? user->groups.size() : 0;

  // The child: system calls only, none that reaches the starter's threads
  // or locks.
  auto child_body = [&]() {
    // No handler of the starter's runs: every signal comes blocked,
    // and is set to its default (or ignored) before it is let through.
    for (int s = 1; s <= 64; ++s) {
      if (s == SIGKILL || s == SIGSTOP) continue;
      KernelSigaction action{};
      action.handler = s < NSIG && ignored[s] ? SIG_IGN : SIG_DFL;
      (void)::syscall(SYS_rt_sigaction, s, &action, nullptr, sizeof action.mask);
    }
    const std::uint64_t none = 0;
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
    if (startup.end_with_parent) {
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ChildFail(report[1], kStageSession, errno);
      if (::getppid() != parent) ::_exit(127);  // the starter died before the request took hold
    }
    if (new_session) {
      if (::setsid() < 0) ChildFail(report[1], kStageSession, errno);
    } else if (new_group) {
      if (::setpgid(0, 0) < 0) ChildFail(report[1], kStageSession, errno);
    }
    if (priority.set) ApplyPriority(priority);
    if (redirect) {
      int null_fd = -1;
      // Move the given descriptors above 2 first so one may replace another.
      int moved[3];
      for (int i = 0; i < 3; ++i) {
        moved[i] = std_fds[i];
        if (std_fds[i] >= 0) {
          moved[i] = ::fcntl(std_fds[i], F_DUPFD_CLOEXEC, 3);
          if (moved[i] < 0) ChildFail(report[1], kStageRedirect, errno);
        }
      }
      for (int i = 0; i < 3; ++i) {
        int src = moved[i];
        if (src == kKeep) continue;
        if (src < 0) {
          if (null_fd < 0) null_fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
          if (null_fd < 0) ChildFail(report[1], kStageRedirect, errno);
          src = null_fd;
        }
        if (::dup2(src, i) < 0) ChildFail(report[1], kStageRedirect, errno);
      }
    }
    if (user) {
      // The system calls themselves: the library's calls change every thread
      // of the process the library knows of (the starter's, in a child that
      // shares its memory).
      if (::syscall(SYS_setgroups, user_group_count, user_groups) != 0 ||
          ::syscall(SYS_setresgid, user->gid, user->gid, user->gid) != 0 ||
          ::syscall(SYS_setresuid, user->uid, user->uid, user->uid) != 0)
        ChildFail(report[1], kStageUser, errno);
    }
    if (cwd && ::chdir(cwd) != 0) ChildFail(report[1], kStageChdir, errno);
    if (!inherit_handles) {
      // Descriptors above 2 close on exec (the report pipe and the program's
      // anonymous file close there anyway).
      if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0) {
        for (int fd = 3; fd < 1024; ++fd)
          if (fd != report[1] && fd != exec_fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    int report_fd = report[1];
    if (suspended) {
      ::close(gate[1]);
      // Gone before the starter hears that the child waits.
      CloseOnExecDescriptorsNow(report_fd, gate[0], exec_fd);
      ExecReport waiting{kStageSuspended, 0};
      if (::write(report_fd, &waiting, sizeof waiting) != static_cast<ssize_t>(sizeof waiting)) ::_exit(127);
      ::close(report_fd);
      report_fd = -1;  // the starter no longer listens: a failure is the exit code
      char go = 0;
      ssize_t n;
      do {
        n = ::read(gate[0], &go, 1);
      } while (n < 0 && errno == EINTR);
      if (n != 1) ::_exit(127);
    }
    if (exec_fd >= 0)
      ::fexecve(exec_fd, argv.data(), child_env);
    else
      ::execve(file.c_str(), argv.data(), child_env);
    ChildFail(report_fd, kStageExec, errno);
  };

  pid_t pid = -1;
  int fork_errno = 0;
  {
    // Every signal blocked, the library's own too, until the child has its
    // own dispositions.
    const std::uint64_t all = ~std::uint64_t{0};
    std::uint64_t before = 0;
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &before, sizeof all);
    const int saved_errno = errno;
    bool started = false;
#if VT_START_SHARING_MEMORY
    // A suspended child waits at its gate before its exec: the starter
    // would wait with it. It is forked.
    if (!suspended) {
      void* stack = ::mmap(nullptr, kChildStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
      if (stack != MAP_FAILED) {
        // The starter goes on once the child has run its program or ended.
        pid = ::clone(&RunSharingChild<decltype(child_body)>, static_cast<char*>(stack) + kChildStackSize,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &child_body);
        fork_errno = pid < 0 ? errno : 0;
        ::munmap(stack, kChildStackSize);
        started = true;
      }
    }
#endif
    if (!started) {
      const detail::ExecOnlyForks exec_only;
      pid = ::fork();
      if (pid == 0) {
        child_body();
        ::_exit(127);
      }
      fork_errno = pid < 0 ? errno : 0;
    }
    errno = saved_errno;  // a child sharing memory sets the starter's
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &before, nullptr, sizeof before);
  }
  ::close(report[1]);
  if (gate[0] >= 0) ::close(gate[0]);
  if (exec_fd >= 0) ::close(exec_fd);
  if (pid < 0) {
    ::close(report[0]);
    if (gate[1] >= 0) ::close(gate[1]);
    // The process limit (or no memory for another process).
    SetLastError(fork_errno == EAGAIN ? kErrorNoProcSlots : ErrnoToError(fork_errno));
    return false;
  }
  ExecReport rep{};
  ssize_t got;
  do {
    got = ::read(report[0], &rep, sizeof rep);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  const bool reported = got == static_cast<ssize_t>(sizeof rep);
  if (suspended && !reported) rep = {kStageSession, EINTR};  // ended before reaching its gate
  if ((reported || suspended) && rep.stage != kStageSuspended) {
    if (gate[1] >= 0) ::close(gate[1]);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (rep.stage == kStageUser && rep.err == EPERM)
      SetLastError(kErrorPrivilegeNotHeld);
    else if (rep.stage == kStageChdir)
      SetLastError(kErrorDirectory);
    else if (rep.stage == kStageExec && rep.err == ENOEXEC)
      SetLastError(kErrorBadExeFormat);
    else
      SetLastErrorFromErrno(rep.err);
    return false;
  }

  auto child = std::make_shared<Child>(pid, static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)), gate[1]);
  ProcessInformation pi;
  pi.process = InsertHandle(child);
  pi.thread = InsertHandle(child);
  pi.process_id = static_cast<DWORD>(pid);
  pi.thread_id = static_cast<DWORD>(pid);
  if (info) *info = pi;
  else {
    CloseHandle(pi.process);
    CloseHandle(pi.thread);
  }
  SetLastError(kErrorSuccess);
  return true;
}

DWORD ResumeChildThread(ProcessHandle thread) {
  auto child = LookupHandleAs<Child>(thread);
  return child ? child->Resume() : 0xFFFFFFFFu;
}

HANDLE CreateUserToken(DWORD uid, DWORD gid, const std::vector<DWORD>& groups) {
  std::vector<gid_t> own(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  own.resize(static_cast<std::size_t>(std::max(::getgroups(static_cast<int>(own.size()), own.data()), 0)));
  const bool same = uid == ::geteuid() && gid == ::getegid() &&
                    std::all_of(groups.begin(), groups.end(),
                                [&](DWORD g) { return g == gid || std::find(own.begin(), own.end(), g) != own.end(); });
  if (!same && !MayChangeIdentity()) {
    SetLastError(kErrorPrivilegeNotHeld);
    return 0;
  }
  std::vector<gid_t> list(groups.begin(), groups.end());
  SetLastError(kErrorSuccess);
  return InsertHandle(std::make_shared<UserToken>(uid, gid, std::move(list)));
}

namespace {

// A copy of descriptor fd of the process behind pidfd, or -1 with the last
// error set.
int CopyDescriptor(int pidfd, int fd) {
  const int copy = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, fd, 0));
  if (copy >= 0) return copy;
  const int err = errno;
  // No such descriptor there, or the process has ended.
  SetLastError(err == EBADF || err == ESRCH ? kErrorInvalidHandle : ErrnoToError(err));
  return -1;
}

// The handle directory of process pid (detail::kHandleDirectoryName), or -1.
int HandleDirectoryOf(pid_t pid, int pidfd) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd/";
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return -1;
  const std::string wanted = std::string("/memfd:") + detail::kHandleDirectoryName + " ";
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    char link[256];
    const ssize_t n = ::readlink((folder + entry->d_name).c_str(), link, sizeof link - 1);
    if (n <= 0 || std::string(link, static_cast<std::size_t>(n)).rfind(wanted, 0) != 0) continue;
    found = ::syscall(SYS_pidfd_getfd, pidfd, std::atoi(entry->d_name), 0);
    break;
  }
  ::closedir(dir);
  return static_cast<int>(found);
}

// Whether the process behind pidfd runs as this process's user (every one
// of its user ids, in this process's user namespace, which must be its own
// too: inside another it is another user): its names are then this user's
// names too.
bool RunsAsThisUser(pid_t pid, int pidfd) {
  const std::string folder = "/proc/" + std::to_string(pid);
  struct stat its_namespace {}, own_namespace {};
  if (::stat((folder + "/ns/user").c_str(), &its_namespace) != 0 ||
      ::stat("/proc/self/ns/user", &own_namespace) != 0 || its_namespace.st_dev != own_namespace.st_dev ||
      its_namespace.st_ino != own_namespace.st_ino)
    return false;
  const std::string path = folder + "/status";
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  bool same = false;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    unsigned long ids[4];
    if (std::sscanf(line, "Uid: %lu %lu %lu %lu", &ids[0], &ids[1], &ids[2], &ids[3]) == 4) {
      same = std::all_of(ids, ids + 4, [](unsigned long id) { return id == ::geteuid(); });
      break;
    }
  }
  std::fclose(f);
  // Still the same process: the pid has not gone to another.
  return same && ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

// Opens the named object of native_name in this process, whatever its kind.
HANDLE OpenNamedObject(const std::string& native_name) {
  constexpr std::string_view kGlobal = "\\BaseNamedObjects\\";
  std::string name;
  if (native_name.rfind(kGlobal, 0) == 0) {
    name = "Global\\" + native_name.substr(kGlobal.size());
  } else {
    const std::size_t at = native_name.find(kGlobal);
    if (at == std::string::npos) {
      SetLastError(kErrorInvalidHandle);
      return 0;
    }
    name = "Local\\" + native_name.substr(at + kGlobal.size());
  }
  // An object of another kind answers ERROR_INVALID_HANDLE: try the next.
  if (HANDLE h = OpenMutexA(name)) return h;
  if (GetLastError() != kErrorInvalidHandle) return 0;
  if (HANDLE h = OpenEventA(name)) return h;
  if (GetLastError() != kErrorInvalidHandle) return 0;
  HANDLE section = 0;
  if (NtCreateSectionNamed(native_name, 1, false, &section) == kStatusObjectNameExists) return section;
  if (section) NtClose(section);
  SetLastError(kErrorInvalidHandle);
  return 0;
}

}  // namespace

bool DuplicateFromProcess(ProcessHandle source_process, HANDLE handle, HANDLE* target, bool inherit) {
  auto child = LookupHandleAs<Child>(source_process);
  if (!child) return false;
  if (child->pidfd() < 0) {
    SetLastError(kErrorNotSupported);
    return false;
  }
  if (handle >= 0 && handle < kHandleTableBase) {
    const int fd = CopyDescriptor(child->pidfd(), static_cast<int>(handle));
    if (fd < 0) return false;
    if (inherit) ::fcntl(fd, F_SETFD, 0);
    *target = fd;
    return true;
  }
  std::string name;
  const int directory = IsTableHandle(handle) ? HandleDirectoryOf(child->pid(), child->pidfd()) : -1;
  const bool named = directory >= 0 && detail::ReadPublishedName(directory, handle, &name);
  struct stat made_by {};
  const bool own = named && ::fstat(directory, &made_by) == 0 && made_by.st_uid == ::geteuid() &&
                   RunsAsThisUser(child->pid(), child->pidfd());
  if (directory >= 0) ::close(directory);
  if (!named) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  // A name is opened in this user's namespace: another user's child cannot
  // have its object there, and must not make this process open its own.
  if (!own) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  const HANDLE copy = OpenNamedObject(name);
  if (!copy) return false;
  *target = copy;
  return true;
}

DWORD WaitForProcess(ProcessHandle process, DWORD timeout_ms) {
  auto child = LookupHandleAs<Child>(process);
  return child ? child->WaitSingle(timeout_ms) : kWaitFailed;
}

bool GetExitCodeProcess(ProcessHandle process, DWORD* code) {
  auto child = LookupHandleAs<Child>(process);
  return child && child->ExitCode(code);
}

DWORD GetProcessId(ProcessHandle process) {
  auto child = LookupHandleAs<Child>(process);
  return child ? static_cast<DWORD>(child->pid()) : 0;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

void IgnoreBrokenPipeSignal() { ::signal(SIGPIPE, SIG_IGN); }

void EnsureStandardHandles() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: this one, as those below it are open.
    // Inheritable, as standard handles are.
    int null_fd;
    do {
      null_fd = ::open("/dev/null", O_RDWR);
    } while (null_fd < 0 && errno == EINTR);
    if (null_fd < 0) return;
    if (null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
}

bool CatchTerminationRequests(TerminationPolicy policy) {
  g_policy.store(policy);
  static const int error = [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
    g_request_pipe[0] = fds[0];
    g_request_pipe[1] = fds[1];
    struct sigaction action {};
    action.sa_handler = OnTerminationRequest;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU})
      if (sigismember(&g_ignored_at_start, signal) != 1 && ::sigaction(signal, &action, nullptr) != 0) return errno;
    return 0;
  }();
  if (error) SetLastErrorFromErrno(error);
  return error == 0;
}

int TerminationRequest() { return g_first_request.load(); }

bool RecordSentSignalAsRequest(int signal) noexcept {
  if (g_request_pipe[1] < 0) return false;
  OnTerminationRequest(signal);
  return true;
}

unsigned SetErrorMode(unsigned mode) { return g_error_mode.exchange(mode); }
unsigned GetErrorMode() { return g_error_mode.load(); }

// ---- the process's own exit ----

namespace {
std::atomic<ExitHook> g_exit_hook{nullptr};
std::once_flag g_exit_handler_once;

void ExitHandler(int status, void*) {
  ExitHook hook = g_exit_hook.exchange(nullptr);
  if (!hook) return;
  DWORD code = hook(static_cast<DWORD>(status));
  std::fflush(nullptr);
  // Handlers registered before this one do not run.
  detail::ReleaseNamesAtExit();
  ::_exit(static_cast<int>(code));
}
}  // namespace

void ExitProcess(DWORD code) {
  ExitHook hook = g_exit_hook.exchange(nullptr);
  if (hook) code = hook(code);
  std::exit(static_cast<int>(code));
}

void SetExitHook(ExitHook hook) {
  std::call_once(g_exit_handler_once, [] { ::on_exit(ExitHandler, nullptr); });
  g_exit_hook.store(hook);
}

ExitHook GetExitHook() { return g_exit_hook.load(); }

}  // namespace vt::os
