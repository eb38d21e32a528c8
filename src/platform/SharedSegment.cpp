#include "platform/SharedSegment.h"

#include <dirent.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/SharedFolder.h"
#include "platform/TestHooks.h"

namespace vt::os::detail {

namespace {

constexpr std::uint32_t kMagic = 0x4A424F56;  // "VOBJ"
constexpr std::uint32_t kVersion = 3;  // 3: events and mutexes count their waiters
constexpr std::size_t kMaxNameLength = 260;
constexpr std::uint64_t kMaxDataSize = 1ull << 30;
constexpr std::size_t kMaxFileComponent = 200;
// Join and create races (a name being removed or made meanwhile) are retried
// this often, 1 ms apart.
constexpr int kAttempts = 200;
constexpr DWORD kRetry = 0xFFFFFFFFu;

struct NameHeader {
  std::uint32_t magic;
  std::uint32_t version;
  std::uint32_t kind;
  std::uint32_t reserved;
  std::uint64_t data_size;
  std::uint64_t data_dev;  // the memfd's inode
  std::uint64_t data_ino;
  std::int32_t table_holder;  // the process holding the table lock, 0: none known
  std::uint32_t next_look;    // where the next joiner looks at records
};
struct HolderRecord {
  std::int32_t pid;  // 0: a free record
  std::int32_t fd;
};
constexpr off_t kHoldersOffset = 64;
constexpr std::size_t kMaxHolders = 4096;
constexpr std::size_t kLooksPerJoin = 16;
static_assert(sizeof(NameHeader) <= kHoldersOffset);

off_t HolderOffset(std::size_t slot) { return kHoldersOffset + static_cast<off_t>(slot * sizeof(HolderRecord)); }

// "/dev/shm/vt.<uid>.": every name file of this user starts so.
std::string UserPrefix() {
  return std::string(kSharedObjectFolder) + "/vt." + std::to_string(::geteuid()) + ".";
}

// Holders are reached through /proc, so an object is shared by the processes
// that see the same /proc (the same PID namespace view): its identity (the
// mount's device) is part of every name, and holders record their process
// id as that /proc numbers them. Processes of other views (containers with
// their own /proc) get objects of their own instead of ones they could not
// reach. The layout generation follows: programs whose objects are laid
// out otherwise never meet this one's under the same names.
constexpr char kLayoutGeneration[] = "v2";
std::string ViewPrefix() {
  struct stat st {};
  const unsigned long long view = ::stat("/proc/self", &st) == 0 ? static_cast<unsigned long long>(st.st_dev) : 0;
  return UserPrefix() + "p" + std::to_string(view) + "." + kLayoutGeneration + ".";
}

// This process's id in the /proc it sees (in a PID namespace whose /proc is
// the parent's, not getpid()).
std::int32_t ViewPid() {
  char buf[32];
  const ssize_t n = ::readlink("/proc/self", buf, sizeof buf - 1);
  if (n > 0) {
    buf[n] = 0;
    char* end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    if (*end == 0 && pid > 0 && pid <= INT32_MAX) return static_cast<std::int32_t>(pid);
  }
  return static_cast<std::int32_t>(::getpid());
}

// ViewPid(), learnt again in a forked child.
std::int32_t OwnViewPid() {
  static std::atomic<pid_t> learnt_by{0};
  static std::atomic<std::int32_t> view_pid{0};
  const pid_t self = ::getpid();
  if (learnt_by.load() != self) {
    view_pid.store(ViewPid());
    learnt_by.store(self);
  }
  return view_pid.load();
}

// Letters, digits, '_', '-' and '.' stay; every other byte becomes %XX.
// Over-long results keep a prefix and a hash of the whole name.
std::string EscapeName(std::string_view name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
        c == '.') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (out.size() > kMaxFileComponent) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    out.resize(kMaxFileComponent - 17);
    out.push_back('~');
    for (int i = 15; i >= 0; --i) out.push_back(kHex[(h >> (i * 4)) & 15]);
  }
  return out;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

// Never follows a link, never blocks on a fifo, never becomes a terminal.
int OpenName(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool OwnedRegularFile(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// The descriptor still names the file at path (it was not removed meanwhile).
bool SameFile(int fd, const std::string& path) {
  struct stat a {}, b {};
  if (::fstat(fd, &a) != 0 || a.st_nlink == 0) return false;
  if (::lstat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int LockFile(int fd, int op) {
  int r;
  do {
    r = ::flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

// Nobody holds the name file: its holders are gone. Removes it.
bool SweepIfUnheld(int fd, const std::string& path) {
  if (LockFile(fd, LOCK_EX | LOCK_NB) != 0) return false;
  if (SameFile(fd, path)) ::unlink(path.c_str());
  return true;
}

bool ReadAt(int fd, void* buf, std::size_t size, off_t at) {
  return ::pread(fd, buf, size, at) == static_cast<ssize_t>(size);
}
bool WriteAt(int fd, const void* buf, std::size_t size, off_t at) {
  return ::pwrite(fd, buf, size, at) == static_cast<ssize_t>(size);
}

// The table lock: an open-file-description write lock on the whole name
// file. Its holder writes its process id into the header once it has it
// and clears it before it lets go, so that a waiter can tell a holder that
// cannot let go (stopped, frozen, traced) from a slow one.
constexpr off_t kTableHolderOffset = offsetof(NameHeader, table_holder);
constexpr off_t kNextLookOffset = offsetof(NameHeader, next_look);
// A wait fails once the holder has let nobody in for this long with none of
// its threads running, or nobody is known to hold it.
constexpr auto kStuckHolder = std::chrono::seconds(2);
constexpr auto kHolderLookInterval = std::chrono::milliseconds(50);

struct flock WholeFile(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return fl;
}

// 0, EAGAIN while another description holds it, or another errno.
int TryLockTable(int fd) {
  struct flock fl = WholeFile(F_WRLCK);
  if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
  return errno == EACCES || errno == EINTR ? EAGAIN : errno;
}

// Only in a name file of this layout: another one's header may mean
// something else there.
void MarkTableHolder(int fd, std::int32_t pid) {
  NameHeader header{};
  if (ReadAt(fd, &header, sizeof header, 0) && header.magic == kMagic && header.version == kVersion &&
      header.table_holder != pid)
    WriteAt(fd, &pid, sizeof pid, kTableHolderOffset);
}

void UnlockTable(int fd) {
  MarkTableHolder(fd, 0);
  struct flock fl = WholeFile(F_UNLCK);
  ::fcntl(fd, F_OFD_SETLK, &fl);
}

// The state letter of a /proc stat file, or 0. The waits for the table
// use no heap: they run on the close path too, which must work without it.
char StateIn(const char* stat_path) {
  int fd;
  do {
    fd = ::open(stat_path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  char buf[512];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  buf[n] = 0;
  const char* p = std::strrchr(buf, ')');  // the name may hold anything but ends there
  return p && p[1] == ' ' ? p[2] : 0;
}

// The calling thread's id as the /proc it sees numbers it ("" unknown).
using ThreadIdText = char[24];
void OwnThreadId(ThreadIdText& out) {
  out[0] = 0;
  char buf[64];
  const ssize_t n = ::readlink("/proc/thread-self", buf, sizeof buf - 1);
  if (n <= 0) return;
  buf[n] = 0;  // "<pid>/task/<tid>"
  const char* tid = std::strrchr(buf, '/');
  tid = tid ? tid + 1 : buf;
  if (std::strlen(tid) < sizeof out) std::strcpy(out, tid);
}

// Whether a thread of the process other than the caller (who looks) runs
// or waits for a processor.
bool AnyThreadRuns(std::int32_t pid, const char* caller) {
  char folder[48];
  std::snprintf(folder, sizeof folder, "/proc/%d/task/", static_cast<int>(pid));
  DIR* dir = ::opendir(folder);
  if (!dir) return false;
  bool runs = false;
  char path[sizeof folder + sizeof(dirent::d_name) + 8];
  while (dirent* entry = runs ? nullptr : ::readdir(dir)) {
    if (entry->d_name[0] == '.' || std::strcmp(entry->d_name, caller) == 0) continue;
    std::strcpy(path, folder);
    std::strcat(path, entry->d_name);
    std::strcat(path, "/stat");
    runs = StateIn(path) == 'R';
  }
  ::closedir(dir);
  return runs;
}

// Tells a table lock holder that cannot let go: the same holder (or none
// known) for kStuckHolder, none of its threads running at any look.
class HolderWatch {
 public:
  explicit HolderWatch(int fd) : fd_(fd) { OwnThreadId(caller_); }
  bool Stuck() {
    const auto now = std::chrono::steady_clock::now();
    std::int32_t holder = 0;
    if (!ReadAt(fd_, &holder, sizeof holder, kTableHolderOffset)) holder = 0;
    if (holder != holder_ || (holder > 0 && AnyThreadRuns(holder, caller_))) {
      holder_ = holder;
      since_ = now;
    }
    return now - since_ >= kStuckHolder;
  }

 private:
  int fd_;
  ThreadIdText caller_;
  std::int32_t holder_ = -1;
  std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
};

// A blocking wait for the lock made on a thread of its own (the lock is
// the description's, whichever thread takes it), so that the caller can
// give up on a holder that cannot let go. The thread lets the lock go when
// it gets it after the caller gave up.
struct LockWait {
  std::mutex lock;
  std::condition_variable finished_cv;
  int fd = -1;  // a duplicate of the caller's descriptor
  bool finished = false;
  bool locked = false;
  bool abandoned = false;
};

// False when no such wait could be made; locked then tells the outcome.
bool WaitOnThread(int fd, bool& locked) {
  std::shared_ptr<LockWait> wait;
  try {
    wait = std::make_shared<LockWait>();
  } catch (const std::bad_alloc&) {
    return false;
  }
  wait->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (wait->fd < 0) return false;
  try {
    std::thread([wait] {
      struct flock fl = WholeFile(F_WRLCK);
      int r;
      do {
        r = ::fcntl(wait->fd, F_OFD_SETLKW, &fl);
      } while (r != 0 && errno == EINTR);
      if (r == 0) MarkTableHolder(wait->fd, OwnViewPid());
      std::lock_guard<std::mutex> guard(wait->lock);
      wait->finished = true;
      wait->locked = r == 0;
      if (r == 0 && wait->abandoned) UnlockTable(wait->fd);
      ::close(wait->fd);
      wait->finished_cv.notify_all();
    }).detach();
  } catch (const std::exception&) {  // no thread, or no memory for one
    ::close(wait->fd);
    return false;
  }
  HolderWatch watch(fd);
  std::unique_lock<std::mutex> guard(wait->lock);
  while (!wait->finished_cv.wait_for(guard, kHolderLookInterval, [&] { return wait->finished; })) {
    if (watch.Stuck()) {
      wait->abandoned = true;
      locked = false;
      return true;
    }
  }
  locked = wait->locked;
  return true;
}

enum class TableWait {
  kBlocking,    // a wait in turn, on a thread of its own
  kPolling,     // tries 1 ms apart (a forked child's handler makes no threads)
  kOnlyIfFree,  // one try
};

// Write lock on the whole holder table. A wait lasts as long as the holder
// can let go: one that cannot (stopped, frozen) makes it fail.
bool LockTable(int fd, TableWait how = TableWait::kBlocking) {
  int r = TryLockTable(fd);
  if (r == 0) MarkTableHolder(fd, OwnViewPid());
  if (r != EAGAIN || how == TableWait::kOnlyIfFree) return r == 0;
  bool locked = false;
  if (how == TableWait::kBlocking && WaitOnThread(fd, locked)) return locked;
  HolderWatch watch(fd);
  auto next_look = std::chrono::steady_clock::now() + kHolderLookInterval;
  for (;;) {
    ::usleep(1000);
    r = TryLockTable(fd);
    if (r == 0) {
      MarkTableHolder(fd, OwnViewPid());
      return true;
    }
    if (r != EAGAIN) return false;
    if (std::chrono::steady_clock::now() < next_look) continue;
    next_look += kHolderLookInterval;
    if (watch.Stuck()) return false;
  }
}

// Reads and checks the header and the holder table of a name file.
DWORD ReadNameFile(int fd, SegmentKind kind, NameHeader& header, std::vector<HolderRecord>& holders) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return ErrnoToError(errno);
  if (st.st_size < HolderOffset(1) || (st.st_size - kHoldersOffset) % sizeof(HolderRecord) != 0 ||
      st.st_size > HolderOffset(kMaxHolders))
    return kErrorFileCorrupt;
  if (!ReadAt(fd, &header, sizeof header, 0) || header.magic != kMagic) return kErrorFileCorrupt;
  if (header.version != kVersion || header.kind != static_cast<std::uint32_t>(kind)) return kErrorInvalidHandle;
  if (header.data_size == 0 || header.data_size > kMaxDataSize) return kErrorFileCorrupt;
  holders.resize(static_cast<std::size_t>(st.st_size - kHoldersOffset) / sizeof(HolderRecord));
  if (!ReadAt(fd, holders.data(), holders.size() * sizeof(HolderRecord), kHoldersOffset)) return kErrorFileCorrupt;
  return kErrorSuccess;
}

bool IsObjectData(const struct stat& st, const NameHeader& header) {
  return S_ISREG(st.st_mode) && st.st_dev == header.data_dev && st.st_ino == header.data_ino &&
         static_cast<std::uint64_t>(st.st_size) >= header.data_size;
}

enum class Holder { kReached, kDead, kUnknown };

// Opens the object's memfd through a holder's descriptor; the link is
// checked before it is opened, so nothing else is ever opened.
Holder ReachHolder(const HolderRecord& record, const NameHeader& header, int& data_fd) {
  std::string link = "/proc/" + std::to_string(record.pid) + "/fd/" + std::to_string(record.fd);
  struct stat st {};
  if (::stat(link.c_str(), &st) != 0) return errno == ENOENT ? Holder::kDead : Holder::kUnknown;
  if (!IsObjectData(st, header)) return Holder::kDead;
  int fd = ::open(link.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return Holder::kUnknown;
  if (::fstat(fd, &st) != 0 || !IsObjectData(st, header)) {
    ::close(fd);
    return Holder::kUnknown;
  }
  data_fd = fd;
  return Holder::kReached;
}

// Whether a record's process still holds the object through its descriptor:
// kDead once that process has ended, its id is another process's or its
// descriptor is gone (closed at an exec), else kUnknown.
Holder LookAtHolder(const HolderRecord& record, const NameHeader& header) {
  const std::string link = "/proc/" + std::to_string(record.pid) + "/fd/" + std::to_string(record.fd);
  struct stat st {};
  if (::stat(link.c_str(), &st) != 0) return errno == ENOENT ? Holder::kDead : Holder::kUnknown;
  return IsObjectData(st, header) ? Holder::kUnknown : Holder::kDead;
}

// The first free record (kMaxHolders: none). A full table first takes back
// the record of every holder that has ended.
std::size_t FreeSlot(std::vector<HolderRecord>& holders, const NameHeader& header, bool& cleared) {
  for (std::size_t slot = 0; slot < holders.size(); ++slot)
    if (holders[slot].pid == 0) return slot;
  if (holders.size() < kMaxHolders) return holders.size();
  std::size_t free = kMaxHolders;
  for (std::size_t slot = 0; slot < holders.size(); ++slot) {
    if (holders[slot].pid > 0 && LookAtHolder(holders[slot], header) != Holder::kDead) continue;
    holders[slot] = {};
    cleared = true;
    if (free == kMaxHolders) free = slot;
  }
  return free;
}

// Removes the name files of this user that nobody holds.
void SweepNames() {
  DIR* dir = ::opendir(kSharedObjectFolder);
  if (!dir) return;
  const std::string prefix = UserPrefix();
  const std::string_view own = std::string_view(prefix).substr(sizeof kSharedObjectFolder);  // past the folder and "/"
  while (dirent* entry = ::readdir(dir)) {
    if (!StartsWith(entry->d_name, own)) continue;
    std::string path = std::string(kSharedObjectFolder) + "/" + entry->d_name;
    int fd = OpenName(path, O_RDONLY);
    if (fd < 0) continue;
    if (OwnedRegularFile(fd)) SweepIfUnheld(fd, path);
    ::close(fd);
  }
  ::closedir(dir);
}

// Named segments still holding their names, for the exit-time release.
struct LiveSegments {
  std::mutex lock;
  std::set<Segment*> segments;
};
LiveSegments& Live() {
  static auto* live = new LiveSegments;  // lives to the end of the process
  return *live;
}

std::atomic<unsigned> g_temp_counter{0};

}  // namespace

namespace {
// Field 22 of /proc/<pid>/stat, and whether the process still runs (not a
// zombie). False when the file cannot be read as such.
bool ReadProcessStat(std::int32_t pid, std::uint64_t* start, bool* running, bool* gone) {
  *gone = false;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *gone = errno == ENOENT || errno == ESRCH;
    return false;
  }
  char buf[1024];
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) {
    *gone = n == 0 || errno == ESRCH;
    return false;
  }
  buf[n] = 0;
  const char* p = std::strrchr(buf, ')');  // the name may hold anything but ends there
  if (!p || p[1] != ' ') return false;
  p += 2;
  *running = *p != 'Z' && *p != 'X' && *p != 'x';
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p, ' ');
    if (!p) return false;
    ++p;
  }
  char* end = nullptr;
  *start = std::strtoull(p, &end, 10);
  return end != p;
}
}  // namespace

namespace {
// This process's identity, learnt at the first use and again in a forked
// child (getpid() is a system call: waits ask for it twice each).
std::atomic<bool> g_identity_known{false};
std::atomic<std::int32_t> g_identity_id{0};
std::atomic<std::uint64_t> g_identity_start{0};

void ForgetIdentity() { g_identity_known.store(false); }

void LearnIdentity() {
  static std::once_flag at_fork;
  std::call_once(at_fork, [] { ::pthread_atfork(nullptr, nullptr, ForgetIdentity); });
  if (g_identity_known.load()) return;
  const std::int32_t id = ViewPid();
  std::uint64_t start = 0;
  bool running = true, gone = false;
  if (!ReadProcessStat(id, &start, &running, &gone)) start = 0;
  g_identity_id.store(id);
  g_identity_start.store(start);
  g_identity_known.store(true);
}
}  // namespace

std::int32_t ProcessViewId() {
  LearnIdentity();
  return g_identity_id.load();
}

std::uint64_t ProcessViewStart() {
  LearnIdentity();
  return g_identity_start.load();
}

bool ProcessViewEnded(std::int32_t pid, std::uint64_t start) {
  std::uint64_t value = 0;
  bool running = true, gone = false;
  if (!ReadProcessStat(pid, &value, &running, &gone)) return gone;
  return !running || (start != 0 && value != start);
}

bool ResolveObjectName(std::string_view name, bool native, ObjectPath& out) {
  bool global = false;
  if (native) {
    if (StartsWith(name, "\\BaseNamedObjects\\")) {
      name.remove_prefix(18);
      global = true;
      if (StartsWith(name, "Global\\")) name.remove_prefix(7);
      else if (StartsWith(name, "Local\\")) name.remove_prefix(6), global = false;
    } else if (StartsWith(name, "\\Sessions\\")) {
      size_t at = name.find("\\BaseNamedObjects\\");
      if (at == std::string_view::npos) {
        SetLastError(kErrorPathNotFound);
        return false;
      }
      name.remove_prefix(at + 18);
    } else {
      SetLastError(kErrorPathNotFound);
      return false;
    }
  } else if (StartsWith(name, "Global\\")) {
    name.remove_prefix(7);
    global = true;
  } else if (StartsWith(name, "Local\\")) {
    name.remove_prefix(6);
  }
  if (name.empty()) {
    SetLastError(kErrorInvalidName);
    return false;
  }
  if (name.size() > kMaxNameLength) {
    SetLastError(kErrorFilenameExcedRange);
    return false;
  }
  out.file = ViewPrefix() + (global ? "g." : "s.") + EscapeName(name);
  out.native_name = (global ? std::string("\\BaseNamedObjects\\") : "\\Sessions\\1\\BaseNamedObjects\\") +
                    std::string(name);
  return true;
}

bool ResolveWakeWordPath(ObjectPath& out) {
  out.file = ViewPrefix() + "wake";
  out.native_name.clear();
  return true;
}

Segment::~Segment() { Close(); }

int Segment::HolderRecords() const {
  struct stat st {};
  if (name_fd_ < 0 || ::fstat(name_fd_, &st) != 0 || st.st_size < kHoldersOffset) return -1;
  std::vector<HolderRecord> holders(static_cast<std::size_t>(st.st_size - kHoldersOffset) / sizeof(HolderRecord));
  if (!ReadAt(name_fd_, holders.data(), holders.size() * sizeof(HolderRecord), kHoldersOffset)) return -1;
  return static_cast<int>(
      std::count_if(holders.begin(), holders.end(), [](const HolderRecord& r) { return r.pid != 0; }));
}

bool Segment::HoldTable(bool hold) {
  if (name_fd_ < 0) return false;
  if (hold) return LockTable(name_fd_);
  UnlockTable(name_fd_);
  return true;
}

void Segment::ReleaseName() {
  if (name_fd_ < 0) return;
  // A forked child that could not take a hold of its own shares the
  // parent's description and holds nothing of its own.
  if (holder_pid_ != ::getpid()) {
    ::close(name_fd_);
    name_fd_ = -1;
    return;
  }
  if (LockTable(name_fd_)) {
    HolderRecord record{};
    if (record_pid_ != 0 && ReadAt(name_fd_, &record, sizeof record, HolderOffset(slot_)) &&
        record.pid == record_pid_ && record.fd == data_fd_) {
      record = {};
      WriteAt(name_fd_, &record, sizeof record, HolderOffset(slot_));
    }
    UnlockTable(name_fd_);
  }
  // The last holder anywhere removes the name; a description shared with a
  // forked child is never the last.
  if (!shared_with_child_) SweepIfUnheld(name_fd_, file_);
  ::close(name_fd_);
  name_fd_ = -1;
}

void Segment::Close() {
  if (!file_.empty()) {
    LiveSegments& live = Live();
    std::lock_guard<std::mutex> guard(live.lock);
    live.segments.erase(this);
    ReleaseName();
  }
  if (data_fd_ >= 0) ::close(data_fd_);
  data_fd_ = -1;
  if (base_ && !leak_mapping_) ::munmap(base_, map_size_);
  base_ = nullptr;
}

void ReleaseNamesAtExit() {
  LiveSegments& live = Live();
  std::lock_guard<std::mutex> guard(live.lock);
  for (Segment* segment : live.segments) segment->ReleaseName();
  live.segments.clear();
}

// A process forked without exec holds the parent's objects too: it gets a
// description of each name file of its own, locked before the fork (so the
// parent's end never finds the name unheld), and a record in the holder
// table, so that others reach the object through it once the parent is gone.
constexpr int kNoForkHold = -1;      // not a name this process holds
constexpr int kSharedForkHold = -2;  // no description could be made for the child
namespace {
// Forks of this thread are of a child that only execs or ends.
thread_local bool t_exec_only_fork = false;
bool g_forking_exec_only = false;  // the fork under way; read by its handlers
}  // namespace

std::mutex& LiveSegmentsLock() { return Live().lock; }

std::mutex* NewForkHeldLock() {
  EnsureForkHandlers();
  return new std::mutex;
}

namespace {
// Indexed by LayerLock.
std::mutex& (*const kLayerLocks[])() = {
    &WakeWordLock,      &LiveSegmentsLock,    &HandleTableLock,   &EnvironmentLock,   &FilesLock,
    &RegistryKeysLock,  &ResourceModulesLock, &SectionViewsLock,  &MemoryRegionsLock, &ComClassesLock,
    &StoreRefusalsLock, &ProcessOrphansLock,  &FaultHandlersLock, &GdiObjectsLock};
static_assert(std::size(kLayerLocks) == static_cast<std::size_t>(LayerLock::kCount));

std::mutex& LockOf(LayerLock which) { return kLayerLocks[static_cast<std::size_t>(which)](); }

// The locks after the live names' (which the segments' own handlers take).
constexpr auto kFirstPlain = static_cast<std::size_t>(LayerLock::kHandleTable);
constexpr auto kLockCount = static_cast<std::size_t>(LayerLock::kCount);

void UnlockPlainLocksAfterFork() {
  for (std::size_t i = kLockCount; i-- > kFirstPlain;) kLayerLocks[i]().unlock();
}
}  // namespace

// One set of handlers takes the layer's private locks around a fork, in the
// order LayerLock gives, and lets them go in both processes.
void EnsureForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    ::pthread_atfork(
        [] {
          LockOf(LayerLock::kWakeWord).lock();
          Segment::PrepareFork();
          for (std::size_t i = kFirstPlain; i < kLockCount; ++i) kLayerLocks[i]().lock();
        },
        [] {
          UnlockPlainLocksAfterFork();
          Segment::ForkedParent();
          LockOf(LayerLock::kWakeWord).unlock();
        },
        [] {
          UnlockPlainLocksAfterFork();
          Segment::ForkedChild();
          LockOf(LayerLock::kWakeWord).unlock();
        });
  });
}

ExecOnlyForks::ExecOnlyForks() : was_(t_exec_only_fork) { t_exec_only_fork = true; }
ExecOnlyForks::~ExecOnlyForks() { t_exec_only_fork = was_; }

void Segment::PrepareFork() {
  LiveSegments& live = Live();
  live.lock.lock();
  // A child that only execs takes no hold: it shares this process's
  // descriptions (close-on-exec) until its exec or end.
  g_forking_exec_only = t_exec_only_fork;
  if (g_forking_exec_only) return;
  const pid_t self = ::getpid();
  for (Segment* segment : live.segments) {
    segment->fork_fd_ = kNoForkHold;
    if (segment->name_fd_ < 0 || segment->holder_pid_ != self) continue;
    const std::string own = "/proc/self/fd/" + std::to_string(segment->name_fd_);
    int fd = ::open(own.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat a {}, b {};
    if (fd >= 0 && (::fstat(fd, &a) != 0 || ::fstat(segment->name_fd_, &b) != 0 || a.st_dev != b.st_dev ||
                    a.st_ino != b.st_ino || LockFile(fd, LOCK_SH | LOCK_NB) != 0)) {
      ::close(fd);
      fd = kSharedForkHold;
    }
    segment->fork_fd_ = fd < 0 ? kSharedForkHold : fd;
  }
}

void Segment::ForkedParent() {
  LiveSegments& live = Live();
  if (!g_forking_exec_only) {
    for (Segment* segment : live.segments) {
      if (segment->fork_fd_ >= 0) ::close(segment->fork_fd_);
      if (segment->fork_fd_ == kSharedForkHold) segment->shared_with_child_ = true;
      segment->fork_fd_ = kNoForkHold;
    }
  }
  live.lock.unlock();
}

namespace {
// A forked child's record: the first free one (kMaxHolders: none).
std::size_t FreeRecord(int name_fd) {
  struct stat st {};
  if (::fstat(name_fd, &st) != 0 || st.st_size < kHoldersOffset) return kMaxHolders;
  const std::size_t count = std::min(static_cast<std::size_t>(st.st_size - kHoldersOffset) / sizeof(HolderRecord), kMaxHolders);
  std::vector<HolderRecord> holders(count);
  NameHeader header{};
  if (!ReadAt(name_fd, holders.data(), count * sizeof(HolderRecord), kHoldersOffset) ||
      !ReadAt(name_fd, &header, sizeof header, 0))
    return kMaxHolders;
  bool cleared = false;
  const std::size_t free = FreeSlot(holders, header, cleared);
  if (cleared) WriteAt(name_fd, holders.data(), count * sizeof(HolderRecord), kHoldersOffset);
  return free;
}
}  // namespace

void Segment::ForkedChild() {
  LiveSegments& live = Live();
  if (g_forking_exec_only) {
    live.lock.unlock();
    return;
  }
  const std::int32_t record_pid = ViewPid();
  for (Segment* segment : live.segments) {
    const int fd = segment->fork_fd_;
    segment->fork_fd_ = kNoForkHold;
    if (fd == kNoForkHold) continue;
    // Without a description of its own (no descriptor left) the child
    // shares the parent's, which then neither of them removes.
    // The new description takes the parent's number: a forked child has
    // the parent's descriptors, no other numbers.
    if (fd >= 0) {
      if (::dup3(fd, segment->name_fd_, O_CLOEXEC) >= 0) {
        ::close(fd);
      } else {
        ::close(segment->name_fd_);
        segment->name_fd_ = fd;
      }
    }
    segment->shared_with_child_ = fd < 0;
    segment->holder_pid_ = ::getpid();
    segment->record_pid_ = 0;  // no record yet: its release then leaves the table alone
    const int name_fd = segment->name_fd_;
    if (!LockTable(name_fd, TableWait::kPolling)) continue;
    const std::size_t slot = FreeRecord(name_fd);
    const HolderRecord self{record_pid, segment->data_fd_};
    if (slot < kMaxHolders && WriteAt(name_fd, &self, sizeof self, HolderOffset(slot))) {
      segment->slot_ = slot;
      segment->record_pid_ = record_pid;
    }
    // A shared description's lock is the parent's too, but the parent
    // writes only its own record, and not while its fork is prepared.
    UnlockTable(name_fd);
  }
  live.lock.unlock();
}

DWORD Segment::Create(const ObjectPath& path, SegmentKind kind, std::uint64_t data_size,
                      void (*init)(void*, void*), void* context, bool& existed) {
  return Attach(path, kind, true, data_size, init, context, existed);
}

DWORD Segment::Open(const ObjectPath& path, SegmentKind kind) {
  bool existed = false;
  return Attach(path, kind, false, 0, nullptr, nullptr, existed);
}

DWORD Segment::MapData(int data_fd, std::uint64_t data_size) {
  void* base = ::mmap(nullptr, data_size, PROT_READ | PROT_WRITE, MAP_SHARED, data_fd, 0);
  if (base == MAP_FAILED) return ErrnoToError(errno);
  data_fd_ = data_fd;
  base_ = base;
  map_size_ = data_size;
  data_size_ = data_size;
  return kErrorSuccess;
}

DWORD Segment::CreateAnonymous(std::uint64_t data_size, void (*init)(void*, void*), void* context) {
  if (data_size == 0 || data_size > kMaxDataSize) return kErrorInvalidParameter;
  void* base = ::mmap(nullptr, data_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return ErrnoToError(errno);
  base_ = base;
  map_size_ = data_size_ = data_size;
  if (init) init(base, context);
  return kErrorSuccess;
}

DWORD Segment::Attach(const ObjectPath& path, SegmentKind kind, bool create, std::uint64_t data_size,
                      void (*init)(void*, void*), void* context, bool& existed) {
  if (create && (data_size == 0 || data_size > kMaxDataSize)) return kErrorInvalidParameter;
  if (create) SweepNames();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) ::usleep(1000);
    DWORD r;
    int fd = OpenName(path.file, O_RDWR);
    if (fd >= 0) {
      r = Join(fd, path.file, kind);
      existed = true;
    } else if (errno == ENOENT) {
      if (!create) return kErrorFileNotFound;
      r = CreateNew(path.file, kind, data_size, init, context);
      existed = false;
    } else {
      return errno == ELOOP ? kErrorAccessDenied : ErrnoToError(errno);  // ELOOP: a symbolic link
    }
    if (r == kRetry) continue;
    if (r == kErrorSuccess) {
      file_ = path.file;
      native_name_ = path.native_name;
      static std::once_flag at_exit;
      std::call_once(at_exit, [] { std::atexit(ReleaseNamesAtExit); });
      EnsureForkHandlers();
      LiveSegments& live = Live();
      std::lock_guard<std::mutex> guard(live.lock);
      live.segments.insert(this);
    }
    return r;
  }
  // Holders keep the name but none of them can hand the object over.
  return kErrorAccessDenied;
}

// Joins the object of an existing name file; takes the descriptor.
DWORD Segment::Join(int fd, const std::string& file, SegmentKind kind) {
  auto fail = [fd](DWORD err) {
    ::close(fd);
    return err;
  };
  if (!OwnedRegularFile(fd)) return fail(kErrorAccessDenied);
  if (SweepIfUnheld(fd, file)) return fail(kRetry);
  // A shared lock marks this holder; an exclusive one is only ever held by
  // a process removing the name.
  if (LockFile(fd, LOCK_SH | LOCK_NB) != 0 || !SameFile(fd, file)) return fail(kRetry);
  if (!LockTable(fd, table_lock_only_if_free_ ? TableWait::kOnlyIfFree : TableWait::kBlocking))
    return fail(kErrorTimeout);
  NameHeader header{};
  std::vector<HolderRecord> holders;
  const std::int32_t record_pid = OwnViewPid();
  DWORD err = ReadNameFile(fd, kind, header, holders);
  int data_fd = -1;
  // A holder is reached, and kLooksPerJoin records in use are looked at
  // from where the last joiner stopped (every one of a small table): those
  // of ended holders are taken back a few at a time, so a join costs the
  // same however many records the table holds.
  const std::size_t count = holders.size();
  std::size_t at = header.next_look < count ? header.next_look : 0;
  std::size_t looked = 0;
  bool cleared = false;
  for (std::size_t step = 0; err == kErrorSuccess && step < count && (data_fd < 0 || looked < kLooksPerJoin);
       ++step) {
    HolderRecord& holder = holders[at];
    at = at + 1 < count ? at + 1 : 0;
    if (holder.pid == 0) continue;
    ++looked;
    Holder state = Holder::kDead;  // garbage records too
    if (holder.pid > 0) state = data_fd >= 0 ? LookAtHolder(holder, header) : ReachHolder(holder, header, data_fd);
    if (state != Holder::kDead) continue;
    holder = {};
    cleared = true;
  }
  std::size_t slot = kMaxHolders;
  if (err == kErrorSuccess && data_fd >= 0) {
    slot = FreeSlot(holders, header, cleared);
    const auto next = static_cast<std::uint32_t>(at);
    WriteAt(fd, &next, sizeof next, kNextLookOffset);
  }
  if (cleared) WriteAt(fd, holders.data(), holders.size() * sizeof(HolderRecord), kHoldersOffset);
  if (err == kErrorSuccess && data_fd >= 0) {
    if (slot == kMaxHolders) err = kErrorNotEnoughQuota;
    HolderRecord self{record_pid, data_fd};
    if (err == kErrorSuccess && !WriteAt(fd, &self, sizeof self, HolderOffset(slot))) err = ErrnoToError(errno);
  }
  UnlockTable(fd);
  if (err == kErrorSuccess && data_fd < 0) {
    // Every holder left meanwhile, or none is reachable: look again.
    SweepIfUnheld(fd, file);
    return fail(kRetry);
  }
  if (err == kErrorSuccess) err = MapData(data_fd, header.data_size);
  if (err != kErrorSuccess) {
    if (data_fd >= 0) ::close(data_fd);
    return fail(err);
  }
  name_fd_ = fd;
  slot_ = slot;
  holder_pid_ = ::getpid();
  record_pid_ = record_pid;
  return kErrorSuccess;
}

// Makes a new object under a temporary name and links it to its name.
DWORD Segment::CreateNew(const std::string& file, SegmentKind kind, std::uint64_t data_size,
                         void (*init)(void*, void*), void* context) {
  int data_fd = ::memfd_create("vt.object", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (data_fd < 0) return ErrnoToError(errno);
  struct stat st {};
  DWORD err = kErrorSuccess;
  if (::ftruncate(data_fd, static_cast<off_t>(data_size)) != 0 ||
      ::fcntl(data_fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0 || ::fstat(data_fd, &st) != 0)
    err = ErrnoToError(errno);
  if (err == kErrorSuccess) err = MapData(data_fd, data_size);
  if (err != kErrorSuccess) {
    ::close(data_fd);
    return err;
  }
  if (init) init(base_, context);

  const std::int32_t record_pid = ViewPid();
  const std::string temp =
      ViewPrefix() + "new." + std::to_string(record_pid) + "." + std::to_string(g_temp_counter.fetch_add(1));
  int fd = OpenName(temp, O_RDWR | O_CREAT | O_EXCL, 0600);
  DWORD result = kRetry;
  if (fd < 0) {
    result = ErrnoToError(errno);
  } else if (::fchmod(fd, 0600) == 0 && LockFile(fd, LOCK_SH | LOCK_NB) == 0 && SameFile(fd, temp)) {
    const NameHeader header{kMagic,    kVersion,  static_cast<std::uint32_t>(kind), 0, data_size,
                            st.st_dev, st.st_ino, 0,                                0};
    const HolderRecord self{record_pid, data_fd};
    if (!WriteAt(fd, &header, sizeof header, 0) || !WriteAt(fd, &self, sizeof self, HolderOffset(0)))
      result = ErrnoToError(errno);
    else if (::link(temp.c_str(), file.c_str()) == 0)
      result = kErrorSuccess;
    else if (errno != EEXIST)
      result = ErrnoToError(errno);
  }
  if (fd >= 0) ::unlink(temp.c_str());
  if (result == kErrorSuccess) {
    name_fd_ = fd;
    slot_ = 0;
    holder_pid_ = ::getpid();
    record_pid_ = record_pid;
    return result;
  }
  if (fd >= 0) ::close(fd);
  Close();
  return result;
}

}  // namespace vt::os::detail

namespace vt::os {
void PlatformTestHelper::HoldLayerLock(detail::LayerLock which, bool hold) {
  if (hold)
    detail::LockOf(which).lock();
  else
    detail::LockOf(which).unlock();
}
}  // namespace vt::os
