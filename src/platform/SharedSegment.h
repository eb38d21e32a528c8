// Named kernel objects shared between processes (internal to the platform).
//
// Ownership: a named object is private to the user who made it. Its name is
// a file in /dev/shm that carries the effective uid, the /proc the process
// sees (<view>: "p" and the device number of that /proc mount) and the
// layout generation of the objects (<gen>, "v2"):
//   "Global\X" and "\BaseNamedObjects\X"      -> /dev/shm/vt.<uid>.<view>.<gen>.g.<X>
//   "X", "Local\X" (the session namespace)    -> /dev/shm/vt.<uid>.<view>.<gen>.s.<X>
// so "Global\" means every process of this user that sees the same /proc,
// and users never meet. Processes in PID namespaces with a /proc of their
// own (containers sharing /dev/shm) cannot reach each other's objects, so
// each such view has its own; PID namespaces that share one /proc share
// their objects. Name files are 0600 whatever the security descriptor asks.
// Events and mutexes share one namespace, as kernel objects do.
//
// Storage: the object's state lives in a sealed memfd that can neither
// shrink nor grow, so a mapping never faults whatever happens to the name
// file. The name file holds a header (magic, version, kind, data size, the
// memfd's inode) and a table of holders (pid in that /proc and memfd
// descriptor); it is only read and written with pread/pwrite under an
// open-file-description lock, never mapped. An opener reaches the memfd through
// /proc/<pid>/fd/<n> of a holder whose descriptor still names the recorded
// inode. A creator fills a temporary file and links it to the name, so a
// name never shows a half-made object.
//
// Errors of Create and Open, after the name file is checked:
//   ERROR_ACCESS_DENIED (5)     not a regular file owned by this user (a
//                               symbolic link, another user's file), or no
//                               live holder can hand the object over
//   ERROR_INVALID_HANDLE (6)    an object of another kind or layout version
//   ERROR_FILE_CORRUPT (1392)   a damaged or truncated name file
//   ERROR_TIMEOUT (1460)        the holder table's lock stayed 2 s with a
//                               holder none of whose threads ran (stopped,
//                               frozen); a running holder is waited for
//
// Life time: each holder keeps a shared flock() on the name file. Closing
// the last handle anywhere (an exclusive lock can then be taken) unlinks the
// name; process exit closes the names the process still holds. A process
// forked without exec holds its parent's objects with descriptions, locks
// and holder records of its own (ExecOnlyForks: none). A joiner takes back
// the records of holders that no longer have the object's descriptor
// (ended, its id reused, the descriptor closed at an exec): it looks at 16
// records in use from where the last joiner stopped (all of a smaller
// table), and at all of a full table. A name file
// nobody holds a lock on was left by processes that died (the memfd went
// with them): every named create sweeps this user's such files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ForkLocks.h"
#include "platform/LastError.h"

namespace vt::os::detail {

enum class SegmentKind : std::uint32_t { kEvent = 1, kMutex = 2, kSection = 3, kWakeWord = 4 };

// Where a Windows-style name lives. Answers false (last error set) for a
// name that is too long or empty after its prefix.
struct ObjectPath {
  std::string file;         // "/dev/shm/vt.0.p22.v2.g.Name"
  std::string native_name;  // "\BaseNamedObjects\Name" or "\Sessions\1\BaseNamedObjects\Name"
};
bool ResolveObjectName(std::string_view name, bool native, ObjectPath& out);
// The wake word of this view (WakeWord.h): /dev/shm/vt.<uid>.<view>.<gen>.wake,
// outside every object namespace.
bool ResolveWakeWordPath(ObjectPath& out);

// This process as the /proc it sees numbers it, and its start time there
// (0 when unknown). A process of that /proc has ended (a zombie too) or its
// id is another process's now; false while that cannot be told.
std::int32_t ProcessViewId();
std::uint64_t ProcessViewStart();
bool ProcessViewEnded(std::int32_t pid, std::uint64_t start);

// Forks made on this thread while one lives are of a child that only execs
// or ends: it takes no hold of the process's names (it shares its
// descriptions, closed at its exec), so a start costs the same whatever the
// process holds.
class ExecOnlyForks {
 public:
  ExecOnlyForks();
  ~ExecOnlyForks();
  ExecOnlyForks(const ExecOnlyForks&) = delete;
  ExecOnlyForks& operator=(const ExecOnlyForks&) = delete;

 private:
  bool was_;
};

// One handle's hold on an object. Not for concurrent use.
class Segment {
 public:
  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment();

  // Creates the named object or opens the existing one (existed then true).
  // init receives the zeroed data area of a new object. data_size is the
  // object's size for a new object; an opened one keeps its own. 0 or an
  // error code.
  DWORD Create(const ObjectPath& path, SegmentKind kind, std::uint64_t data_size,
               void (*init)(void* data, void* context), void* context, bool& existed);
  // Opens an existing object: ERROR_FILE_NOT_FOUND when there is none.
  DWORD Open(const ObjectPath& path, SegmentKind kind);
  // An unnamed object in anonymous shared memory.
  DWORD CreateAnonymous(std::uint64_t data_size, void (*init)(void* data, void* context), void* context);

  void* Data() const { return base_; }
  std::uint64_t DataSize() const { return data_size_; }
  const std::string& NativeName() const { return native_name_; }
  // Records in use in the name's holder table (for tests), or -1.
  int HolderRecords() const;
  // Keep the mapping when the segment is closed (a thread still owns a
  // robust mutex inside it).
  void LeakMappingOnClose() { leak_mapping_ = true; }
  // Joining fails at once (ERROR_TIMEOUT) instead of waiting while another
  // process holds the holder table.
  void TakeTableLockOnlyIfFree() { table_lock_only_if_free_ = true; }
  // Takes (waiting as a join does) or lets go of the holder table's lock,
  // for tests.
  bool HoldTable(bool hold);

 private:
  friend void ReleaseNamesAtExit();
  friend void EnsureForkHandlers();

  static void PrepareFork();
  static void ForkedParent();
  static void ForkedChild();
  DWORD Attach(const ObjectPath& path, SegmentKind kind, bool create, std::uint64_t data_size,
               void (*init)(void*, void*), void* context, bool& existed);
  DWORD Join(int name_fd, const std::string& file, SegmentKind kind);
  DWORD CreateNew(const std::string& file, SegmentKind kind, std::uint64_t data_size, void (*init)(void*, void*),
                  void* context);
  DWORD MapData(int data_fd, std::uint64_t data_size);
  void ReleaseName();
  void Close();

  int name_fd_ = -1;
  int data_fd_ = -1;
  std::size_t slot_ = 0;  // this holder's record in the name file
  std::int32_t holder_pid_ = 0;  // getpid() of the holder, to tell a forked child
  std::int32_t record_pid_ = 0;  // the holder's id as the holder table records it
  void* base_ = nullptr;
  std::size_t map_size_ = 0;
  std::uint64_t data_size_ = 0;
  std::string file_;
  std::string native_name_;
  bool leak_mapping_ = false;
  bool table_lock_only_if_free_ = false;
  int fork_fd_ = -1;                // the next forked child's own description
  bool shared_with_child_ = false;  // a forked child shares name_fd_'s description
};

// Lets go of every name the process holds, as the kernel closes handles at
// exit: a name whose last holder this was is removed. Mappings stay, so
// threads still running are not disturbed. Runs from an atexit handler and
// from the exit hook's handler.
void ReleaseNamesAtExit();

}  // namespace vt::os::detail
