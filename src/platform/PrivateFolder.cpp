#include "platform/PrivateFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

namespace {

bool Fail(int err) {
  SetLastError(ErrnoToError(err));
  return false;
}

struct Dirent64 {
  std::uint64_t ino;
  std::int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

// A walk's work, counted in entries met and passes begun, is bounded:
// something that keeps filling the tree stops the walk (what stays is "in
// use") instead of keeping it busy. Besides, the walk counts the entries it
// meets that were made after it began, by their birth time where the file
// system records one: every folder it enters, and every kSampleEvery-th
// entry met for what passes by in between. Once those reach a sixteenth of
// the entries it removed (and kArrivals at least), the tree is being filled
// as fast as the walk empties it, and the walk stops there too. What other
// processes do elsewhere on the file system does not count.
constexpr long kWalkWork = 1L << 23;
constexpr long kArrivals = 256;
constexpr unsigned kSampleEvery = 64;
// Times a held folder is emptied when something came into it after the
// walk found it empty.
constexpr int kRemoveRounds = 8;

struct RemoveState {
  FolderScratch* scratch;
  int first_errno = 0;
  char* failed_name;
  std::size_t failed_name_size;
  unsigned moved = 0;  // names handed out to folders moved up
  long work_left = kWalkWork;
  long removed = 0;  // entries removed
  long arrived = 0;  // entries met that were made after the walk began
  unsigned met = 0;  // entries met, for the samples
  struct timespec began {};
};

void NoteBeginning(RemoveState& st) {
  if (st.began.tv_sec == 0 && st.began.tv_nsec == 0) ::clock_gettime(CLOCK_REALTIME, &st.began);
}

// Whether the entry sx describes was made after the walk began; false when
// its file system records no birth time.
bool MadeSinceWalkBegan(const RemoveState& st, const struct statx& sx) {
  if ((sx.stx_mask & STATX_BTIME) == 0) return false;
  return sx.stx_btime.tv_sec > st.began.tv_sec ||
         (sx.stx_btime.tv_sec == st.began.tv_sec && sx.stx_btime.tv_nsec > st.began.tv_nsec);
}

// True while the walk may go on: work is left, and what keeps arriving in
// the tree has not caught up with what the walk removes.
bool MayWork(RemoveState& st) {
  if (--st.work_left < 0) return false;
  return st.arrived < kArrivals || st.arrived < st.removed / 16;
}

void NoteFailure(RemoveState& st, int err, const char* name) {
  if (st.first_errno) return;
  st.first_errno = err ? err : EIO;
  if (st.failed_name && st.failed_name_size) {
    std::size_t i = 0;
    for (; name[i] && i + 1 < st.failed_name_size; ++i) st.failed_name[i] = name[i];
    st.failed_name[i] = '\0';
  }
}

// Spends one unit of the walk's work; once none is left (or the tree fills
// as fast as it is emptied) the walk stops, what stays "in use" with name
// first.
bool OutOfWork(RemoveState& st, const char* name) {
  if (st.work_left >= 0 && MayWork(st)) return false;
  st.work_left = -1;
  NoteFailure(st, EBUSY, name);  // something keeps filling the tree
  return true;
}

bool IsStuck(const FolderScratch& s, std::uint64_t dev, std::uint64_t ino) {
  for (int i = 0; i < s.stuck_count; ++i)
    if (s.stuck[i].dev == dev && s.stuck[i].ino == ino) return true;
  return false;
}

// The device and inode of the folder open as fd; a folder made after the
// walk began counts as arrived. False with errno on failure.
bool EnteredFolder(int fd, RemoveState& st, std::uint64_t* dev, std::uint64_t* ino) {
  struct statx sx;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &sx) == 0) {
    *dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    *ino = sx.stx_ino;
    if (MadeSinceWalkBegan(st, sx)) ++st.arrived;
    return true;
  }
  struct stat plain;
  if (errno != ENOSYS || ::fstat(fd, &plain) != 0) return false;
  *dev = plain.st_dev;
  *ino = plain.st_ino;
  return true;
}

// Every kSampleEvery-th entry met is looked at: one made after the walk
// began stands for the entries met since the last look.
void SampleEntry(int fd, const char* name, RemoveState& st) {
  if (++st.met % kSampleEvery != 0) return;
  struct statx sx;
  if (::statx(fd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BTIME, &sx) == 0 && MadeSinceWalkBegan(st, sx))
    st.arrived += kSampleEvery;
}

// Appends the decimal value to text at *used (size 32 in all).
void AppendNumber(char* text, std::size_t* used, unsigned long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value);
  while (n > 0 && *used + 1 < 32) text[(*used)++] = digits[--n];
  text[*used] = '\0';
}

// Gives a folder of this user that lacks u+rwx those rights, so that what
// is in it can go; never touches another user's folder. fd is the folder
// open for reading, or with O_PATH (then changed through /proc). True when
// the mode changed.
bool OpenUp(int fd, bool path_only) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 0700) == 0700)
    return false;
  const mode_t mode = (st.st_mode & 07777) | 0700;
  if (!path_only) return ::fchmod(fd, mode) == 0;
  char link[32] = "/proc/self/fd/";
  std::size_t used = 14;
  AppendNumber(link, &used, static_cast<unsigned long>(fd));
  return ::chmod(link, mode) == 0;
}

// Opens the subfolder name of the folder open as fd for reading, never
// following a link; a folder of this user that cannot be read is opened up
// first. -1 with errno on failure.
int OpenSubfolder(int fd, const char* name) {
  const int d = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (d >= 0 || errno != EACCES) return d;
  const int path = ::openat(fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (path < 0) {
    errno = EACCES;
    return -1;
  }
  int opened = -1;
  if (OpenUp(path, true)) {
    char link[32] = "/proc/self/fd/";
    std::size_t used = 14;
    AppendNumber(link, &used, static_cast<unsigned long>(path));
    opened = ::open(link, O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the same folder, whatever its name is now
  }
  ::close(path);
  if (opened < 0) errno = EACCES;
  return opened;
}

// Removes the entry name of the folder open as fd, trying first what its
// type says it is: 0 when it is gone, else the errno (ENOTEMPTY for a folder
// with content).
int RemoveEntry(int fd, const char* name, bool folder) {
  if (!folder) {
    if (::unlinkat(fd, name, 0) == 0 || errno == ENOENT) return 0;
    const int err = errno;
    if (err != EISDIR && err != EPERM) return err;
    if (::unlinkat(fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
    return errno == ENOTDIR ? err : errno == EEXIST ? ENOTEMPTY : errno;
  }
  if (::unlinkat(fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return 0;
  if (errno != ENOTDIR) return errno == EEXIST ? ENOTEMPTY : errno;
  return ::unlinkat(fd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
}

// Moves the subfolder name of the folder open as fd into the folder open as
// top under a name of the walk's own, so that the walk reaches it from
// there without holding the folders between. What stands at that name in
// top, when it is not an empty folder (which the walk would remove anyway),
// keeps it and the next name is tried. False when it cannot be moved
// (another file system, a folder that is not this user's).
bool MoveUp(int fd, const char* name, int top, RemoveState& st) {
  bool opened_up = false;
  for (int tries = 0; tries < 16;) {
    char target[32] = ".deep.";
    std::size_t used = 6;
    AppendNumber(target, &used, st.moved);
    if (::renameat(fd, name, top, target) == 0) {
      ++st.moved;
      return true;
    }
    const int err = errno;
    if (err == EEXIST || err == ENOTEMPTY || err == ENOTDIR || err == EISDIR || err == EINVAL) {
      ++st.moved;
      ++tries;
      continue;
    }
    // A folder moved to another parent must be writable itself.
    if (err != EACCES || opened_up) return false;
    opened_up = true;
    const int d = OpenSubfolder(fd, name);
    const bool changed = d >= 0 && OpenUp(d, false);
    if (d >= 0) ::close(d);
    if (!changed && !OpenUp(top, false)) return false;
  }
  return false;
}

enum class Pass { kEmpty, kLeft, kDescend, kNoDescriptor };

// One pass over the folder open as fd: removes files, links and empty
// folders; stops at the first folder with content (opened in *sub) unless
// may_descend is false or it is known to keep what stays in it. With
// move_first such a folder is moved into top instead where it can be; when
// descriptors run out it is moved there too, or kNoDescriptor. A refusal
// in a folder of this user opens it up once and tries again.
Pass RemovePass(int fd, RemoveState& st, bool may_descend, bool may_shed, int top, bool move_first, int* sub) {
  if (OutOfWork(st, ".")) return Pass::kLeft;
  if (::lseek(fd, 0, SEEK_SET) < 0) {
    NoteFailure(st, errno, ".");
    return Pass::kLeft;
  }
  char* buffer = st.scratch->buffer;
  bool left = false, opened_up = false;
  for (;;) {
    const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof st.scratch->buffer);
    if (n < 0 && errno == ENOENT) return Pass::kEmpty;  // removed already: nothing is in it
    if (n < 0) {
      NoteFailure(st, errno, ".");
      return Pass::kLeft;
    }
    if (n == 0) return left ? Pass::kLeft : Pass::kEmpty;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const Dirent64*>(buffer + at);
      at += entry->reclen;
      const char* name = entry->name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      if (OutOfWork(st, name)) return Pass::kLeft;
      SampleEntry(fd, name, st);
      int err = RemoveEntry(fd, name, entry->type == DT_DIR);
      if (err == EACCES && !opened_up) {
        opened_up = true;
        if (OpenUp(fd, false)) err = RemoveEntry(fd, name, entry->type == DT_DIR);
      }
      if (err == 0) {
        ++st.removed;
        continue;
      }
      if (err == ENOTEMPTY && may_descend) {
        if (move_first && MoveUp(fd, name, top, st)) continue;
        const int d = OpenSubfolder(fd, name);
        std::uint64_t dev = 0, ino = 0;
        if (d >= 0 && EnteredFolder(d, st, &dev, &ino)) {
          if (!IsStuck(*st.scratch, dev, ino)) {
            *sub = d;
            return Pass::kDescend;
          }
          ::close(d);
          left = true;  // what stays in it was noted when it was found
          continue;
        }
        err = errno;
        if (d >= 0) ::close(d);
        if (d < 0 && err == ENOENT) continue;  // gone meanwhile (another walk took it)
        if (err == EMFILE || err == ENFILE) {
          if (!move_first && top != fd && MoveUp(fd, name, top, st)) continue;
          if (may_shed) return Pass::kNoDescriptor;
        }
      }
      left = true;
      NoteFailure(st, err, name);
    }
  }
}

// Empties the folder open as top_fd, whatever its depth, with system calls
// only: it descends with openat, never following a link, keeping the
// descriptors of at most FolderScratch::kHeldLevels folders. A folder with
// content met at the deepest held level (or when descriptors run out) is
// moved into top_fd, from where the walk comes back to it, so that every
// folder is entered once. Where it cannot be moved the deepest held folder
// stands in for the folders below it, which are found again from it. A
// folder is rescanned from its start whenever the walk comes back to it,
// which removes the emptied folder it descended into. Folders where
// something stays are remembered, so that no walk enters them twice.
bool EmptyTree(int top_fd, RemoveState& st) {
  NoteBeginning(st);
  FolderScratch& s = *st.scratch;
  s.stuck_count = 0;
  s.held[0] = top_fd;
  int depth = 0, deepest = FolderScratch::kHeldLevels - 1;
  bool may_descend = true;
  const auto climb = [&] { ::close(s.held[depth--]); };
  for (;;) {
    int sub = -1;
    switch (RemovePass(s.held[depth], st, may_descend, depth >= 2, top_fd, depth > 0 && depth >= deepest, &sub)) {
      case Pass::kDescend:
        if (depth < deepest) {
          s.held[++depth] = sub;
        } else {
          ::close(s.held[depth]);
          s.held[depth] = sub;
        }
        continue;
      case Pass::kNoDescriptor:
        climb();
        deepest = depth;
        continue;
      case Pass::kEmpty:
        if (depth == 0) return true;
        climb();
        continue;
      case Pass::kLeft: {
        struct stat here;
        if (::fstat(s.held[depth], &here) == 0 && s.stuck_count < FolderScratch::kStuckFolders) {
          s.stuck[s.stuck_count].dev = here.st_dev;
          s.stuck[s.stuck_count++].ino = here.st_ino;
        } else {
          may_descend = false;  // no room to remember it: what is left stays
        }
        if (depth == 0) return false;
        climb();
        continue;
      }
    }
  }
}

}  // namespace

bool RemoveTreeNoFollow(const std::string& name) {
  struct stat st;
  if (::lstat(name.c_str(), &st) != 0) return errno == ENOENT ? true : Fail(errno);
  if (!S_ISDIR(st.st_mode)) return ::unlink(name.c_str()) == 0 || Fail(errno);
  const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  const auto scratch = std::make_unique<FolderScratch>();
  RemoveState state{scratch.get(), 0, nullptr, 0};
  const bool emptied = EmptyTree(fd, state);
  ::close(fd);
  if (!emptied) return Fail(state.first_errno);
  return ::rmdir(name.c_str()) == 0 || Fail(errno);
}

bool CreatePrivateFolder(const std::string& name) {
  std::string path = name;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  RemoveTreeNoFollow(path);  // what cannot be removed makes mkdir fail below
  if (::mkdir(path.c_str(), 0700) != 0) return Fail(errno);
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
  if (ok && (st.st_mode & 0777) != 0700) ok = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  if (!ok) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  return true;
}

namespace {

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Why others could rename entries in the folder described by st, or null.
const char* UnsafeReason(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return "belongs to another user";
  if (st.st_mode & S_ISVTX) return nullptr;
  if (st.st_mode & S_IWOTH) return "is writable by all users and has no sticky bit";
  if (st.st_mode & S_IWGRP) return "is writable by its group and has no sticky bit";
  return nullptr;
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;  // in reverse order: the next one last
  size_t end = path.size();
  while (end > 0) {
    const size_t slash = path.rfind('/', end - 1);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (end > start) parts.push_back(path.substr(start, end - start));
    if (slash == std::string::npos) break;
    end = slash;
  }
  return parts;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

void SleepMs(long ms) {
  struct timespec t {ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

// Takes the lock of a folder that this process made: only a run sweeping
// leftovers can hold it, and only for a moment.
bool LockOwnFolder(int fd) {
  for (int i = 0; i < 500; ++i) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    SleepMs(10);
  }
  errno = EWOULDBLOCK;
  return false;
}

}  // namespace

namespace {

struct Walk {
  int fd = -1;         // the folder reached (O_PATH)
  std::string shown;   // its path, links resolved
  std::string unsafe;  // the part refused, with why
  std::string why;
};

// How a walk makes the folders that do not exist: not at all (mode < 0),
// or with mode, less the umask unless exact; with last_only only the last
// part of the path as given.
struct Make {
  int mode = -1;
  bool exact = false;
  bool last_only = false;
};

// Walks path from the root one part at a time as the system would resolve
// it, but reads every link on the way and checks its owner before its
// target is walked. With check_folders every folder reached must pass
// UnsafeReason. With stop_at_missing a part that does not exist ends the
// walk at the folder before it. With make a part that does not exist is
// made in the folder reached, then walked as whatever stands there. False
// with the last error set, and walk->unsafe and walk->why when a part was
// refused.
bool WalkPath(const std::string& path, bool check_folders, bool stop_at_missing, Make make, Walk* walk) {
  if (path.empty() || path[0] != '/') return Fail(EINVAL);
  std::vector<std::string> todo = Components(path);
  // The parts of the path as given are the bottom ones of todo: a link's
  // parts go on top of them.
  std::size_t given = todo.size();
  int links = 0;
  int cur = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (cur < 0) return Fail(errno);
  std::string shown = "/";
  const auto refuse = [&](const std::string& where, const std::string& reason) {
    walk->unsafe = where;
    walk->why = reason;
    SetLastError(kErrorAccessDenied);
    return false;
  };
  const auto check_folder = [&](int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Fail(errno);
    if (!S_ISDIR(st.st_mode)) {
      SetLastError(kErrorDirectory);
      return false;
    }
    const char* reason = check_folders ? UnsafeReason(st) : nullptr;
    return !reason || refuse(shown, reason);
  };
  bool ok = check_folder(cur);
  while (ok && !todo.empty()) {
    const std::string part = todo.back();
    const bool given_part = todo.size() == given;
    if (given_part) --given;
    todo.pop_back();
    if (part == ".") continue;
    const bool may_make = make.mode >= 0 && (!make.last_only || (given_part && todo.empty()));
    int next = ::openat(cur, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && may_make) {
      const mode_t mode = static_cast<mode_t>(make.mode);
      if (::mkdirat(cur, part.c_str(), mode) == 0) {
        const int made =
            make.exact ? ::openat(cur, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (made >= 0) {
          (void)::fchmod(made, mode);  // whatever the umask took away
          ::close(made);
        }
      } else if (errno != EEXIST) {
        ok = Fail(errno);
        break;
      }
      next = ::openat(cur, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      if (errno == ENOENT && stop_at_missing) break;
      ok = Fail(errno);
      break;
    }
    const std::string next_shown = part == ".." ? Parent(shown) : (shown == "/" ? "" : shown) + "/" + part;
    struct stat st;
    if (::fstat(next, &st) != 0) {
      ok = Fail(errno);
      ::close(next);
      break;
    }
    if (S_ISLNK(st.st_mode)) {
      // The link lies in a folder found safe, but its owner may turn it even
      // in a sticky folder: only root's or this user's is followed.
      char target[4096];
      const ssize_t n = ::readlinkat(next, "", target, sizeof target);
      const int err = errno;
      ::close(next);
      if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        ok = refuse(next_shown, "is a symbolic link of another user (uid " + std::to_string(st.st_uid) + ")");
        break;
      }
      if (n <= 0 || n >= static_cast<ssize_t>(sizeof target) || ++links > 40) {
        ok = Fail(n < 0 ? err : ELOOP);
        break;
      }
      const std::string text(target, static_cast<size_t>(n));
      for (auto& p : Components(text)) todo.push_back(std::move(p));
      if (text[0] == '/') {
        ::close(cur);
        cur = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        shown = "/";
        if (cur < 0) return Fail(errno);
      }
      continue;
    }
    ::close(cur);
    cur = next;
    shown = next_shown;
    ok = check_folder(cur);
  }
  if (!ok) {
    ::close(cur);
    return false;
  }
  walk->fd = cur;
  walk->shown = shown;
  return true;
}

}  // namespace

int OpenTrustedFolder(const std::string& path, std::string* unsafe, std::string* why, std::string* resolved,
                      MakeMissing make) {
  Walk walk;
  const Make how{make == MakeMissing::kNone ? -1 : 0755, true, make == MakeMissing::kLast};
  if (!WalkPath(path, true, false, how, &walk)) {
    if (unsafe && !walk.why.empty()) *unsafe = walk.unsafe;
    if (why && !walk.why.empty()) *why = walk.why;
    return -1;
  }
  const int fd = ::openat(walk.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int err = errno;
  ::close(walk.fd);
  if (fd < 0) {
    Fail(err);
    return -1;
  }
  if (resolved) *resolved = walk.shown;
  return fd;
}

bool FindForeignLink(const std::string& path, std::string* link, std::string* why) {
  Walk walk;
  if (WalkPath(path, false, true, Make{}, &walk)) {
    ::close(walk.fd);
    return false;
  }
  if (walk.why.empty()) return false;
  *link = walk.unsafe;
  *why = walk.why;
  return true;
}

bool MakeTrustedFolders(const std::string& path, unsigned mode, std::string* unsafe, std::string* why) {
  Walk walk;
  if (WalkPath(path, true, false, Make{static_cast<int>(mode & 07777), true}, &walk)) {
    ::close(walk.fd);
    return true;
  }
  *unsafe = walk.unsafe;
  *why = walk.why;
  return false;
}

bool RemoveHeldFolder(int parent_fd, const char* name, int folder_fd, FolderScratch* scratch,
                      int* failed_errno, char* failed_name, std::size_t failed_name_size) {
  RemoveState st{scratch, 0, failed_name, failed_name_size};
  bool ok = false;
  // Another walk may move a folder up into this one after this walk found it
  // empty: it is emptied again, a few times at most.
  for (int round = 0; round < kRemoveRounds; ++round) {
    ok = EmptyTree(folder_fd, st);
    struct stat held, named;
    if (!ok || ::fstat(folder_fd, &held) != 0 || ::fstatat(parent_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(held, named) || ::unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
      break;  // removed, by this walk or another, or no longer named so
    const int err = errno;
    if ((err != ENOTEMPTY && err != EEXIST) || round + 1 == kRemoveRounds) {
      NoteFailure(st, err, name);
      ok = false;
    }
  }
  if (failed_errno) *failed_errno = st.first_errno;
  return ok;
}

HeldFolder CreateHeldFolder(int parent_fd, const std::string& name, int* folder_fd) {
  const char* n = name.c_str();
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (::mkdirat(parent_fd, n, 0700) == 0) {
      const int fd = ::openat(parent_fd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) continue;  // swept away as it was made: make it again
      if (!LockOwnFolder(fd)) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) return HeldFolder::kInUse;
        Fail(err);
        return HeldFolder::kFailed;
      }
      struct stat held, named;
      if (::fstat(fd, &held) == 0 && ::fstatat(parent_fd, n, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          SameFile(held, named) && held.st_uid == ::geteuid()) {
        if ((held.st_mode & 07777) != 0700) (void)::fchmod(fd, 0700);
        *folder_fd = fd;
        return HeldFolder::kHeld;
      }
      ::close(fd);
      continue;
    }
    if (errno != EEXIST) {
      Fail(errno);
      return HeldFolder::kFailed;
    }
    // Something stands at the name: a folder of this user without a live
    // holder is a leftover. Anything else of this user's is no run's: it
    // stays, and the name is taken.
    struct stat st;
    if (::fstatat(parent_fd, n, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid != ::geteuid()) break;
    if (!S_ISDIR(st.st_mode)) return HeldFolder::kInUse;
    const int fd = ::openat(parent_fd, n, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return HeldFolder::kInUse;
      Fail(err);
      return HeldFolder::kFailed;
    }
    auto scratch = std::make_unique<FolderScratch>();
    const bool removed = RemoveHeldFolder(parent_fd, n, fd, scratch.get(), nullptr, nullptr, 0);
    ::close(fd);
    if (!removed) break;
  }
  SetLastError(kErrorAlreadyExists);
  return HeldFolder::kFailed;
}

namespace {

// A decimal number, or two joined by '_' (a name passed over for the next).
bool IsRunNumber(const std::string& text) {
  const std::size_t mark = text.find('_');
  const auto digits = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  return mark == std::string::npos ? digits(text) : digits(text.substr(0, mark)) && digits(text.substr(mark + 1));
}

}  // namespace

int RemoveLeftoverFolders(int parent_fd, const std::string& prefix) {
  const int scan_fd = ::openat(parent_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (scan_fd < 0) return 0;
  DIR* dir = ::fdopendir(scan_fd);
  if (!dir) {
    ::close(scan_fd);
    return 0;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        IsRunNumber(name.substr(prefix.size())) && names.size() < 4096)
      names.push_back(name);
  }
  ::closedir(dir);
  int removed = 0;
  std::unique_ptr<FolderScratch> scratch;
  for (const std::string& name : names) {
    struct stat st;
    if (::fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != ::geteuid())
      continue;
    const int fd = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held;
    if (::fstat(fd, &held) == 0 && held.st_uid == ::geteuid() && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      if (!scratch) scratch = std::make_unique<FolderScratch>();
      if (RemoveHeldFolder(parent_fd, name.c_str(), fd, scratch.get(), nullptr, nullptr, 0)) ++removed;
    }
    ::close(fd);
  }
  return removed;
}

bool OnReadOnlyFileSystem(int fd) {
  struct statvfs st;
  return ::fstatvfs(fd, &st) == 0 && (st.f_flag & ST_RDONLY) != 0;
}

bool NearestFolderOnReadOnlyFileSystem(const std::string& path) {
  std::string at = path.empty() ? "." : path;
  for (;;) {
    struct statvfs st;
    if (::statvfs(at.c_str(), &st) == 0) return (st.f_flag & ST_RDONLY) != 0;
    if (errno != ENOENT && errno != ENOTDIR) return false;
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const std::size_t slash = at.rfind('/');
    if (slash == std::string::npos) {
      if (at == ".") return false;
      at = ".";
    } else {
      at = slash == 0 ? "/" : at.substr(0, slash);
    }
  }
}

void CloseFolder(int fd) {
  if (fd >= 0) ::close(fd);
}

int OpenFolderAgain(int folder_fd) { return ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

std::string PathThroughFolder(int folder_fd, const std::string& name) {
  const std::string link = "/proc/self/fd/" + std::to_string(folder_fd);
  struct stat through, held;
  if (::stat(link.c_str(), &through) != 0 || ::fstat(folder_fd, &held) != 0 || !SameFile(through, held)) return {};
  return link + "/" + name;
}

}  // namespace vt::os
