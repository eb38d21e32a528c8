// Named kernel objects shared between processes (internal to the platform).
//
// Design: every named object (event, mutex, section) is one shared-memory
// file in /dev/shm, named after the object's namespace and its escaped name:
//   "Global\X" and "\BaseNamedObjects\X"      -> /dev/shm/vt.g.<X>
//   "X", "Local\X" (the session namespace)    -> /dev/shm/vt.s<uid>.<X>
// Events and mutexes share one namespace, as kernel objects do: opening a
// name as the wrong kind fails with ERROR_INVALID_HANDLE.
//
// The file starts with a header (magic, kind, data size); the object's state
// follows: a robust, recursive, process-shared pthread mutex for a mutex (the
// kernel marks it abandoned when the owning thread or process dies), a
// signalled word and a futex sequence word for an event, plain bytes for a
// section.
//
// Life time: each open handle holds a shared flock() on its descriptor. The
// creator initialises the file under an exclusive lock; openers block on the
// shared lock until it is done. Closing the last handle anywhere (an
// exclusive lock can then be taken) unlinks the file, so a later create
// starts afresh. A file nobody holds a lock on was left by processes that
// died; the next create sweeps it. After taking a lock, a process checks that
// the path still names its file, and starts over when it was swept.
//
// Security: the open security descriptor (null access list) creates the file
// with mode 0666, set with fchmod so that the umask does not narrow it; the
// default gives mode 0600 (the creating user only).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/LastError.h"

namespace vt::os::detail {

enum class SegmentKind : std::uint32_t { kEvent = 1, kMutex = 2, kSection = 3 };

struct SegmentHeader {
  std::uint32_t magic;  // written last by the creator
  std::uint32_t kind;
  std::uint64_t data_size;
};
inline constexpr std::size_t kSegmentDataOffset = 64;

// Where a Windows-style name lives. Answers false (last error set) for a
// name that is too long or empty after its prefix.
struct ObjectPath {
  std::string file;         // "/dev/shm/vt.g.Name"
  std::string native_name;  // "\BaseNamedObjects\Name" or "\Sessions\1\BaseNamedObjects\Name"
};
bool ResolveObjectName(std::string_view name, bool native, ObjectPath& out);

class Segment {
 public:
  Segment() = default;
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;
  ~Segment();

  // Creates the named object or opens the existing one (existed then true).
  // init receives the data area of a new object. data_size is the object's
  // size for a new object; an opened one keeps its own. 0 or an error code.
  DWORD Create(const ObjectPath& path, SegmentKind kind, std::uint64_t data_size, bool open_security,
               void (*init)(void* data, void* context), void* context, bool& existed);
  // Opens an existing object: ERROR_FILE_NOT_FOUND when there is none.
  DWORD Open(const ObjectPath& path, SegmentKind kind);
  // An unnamed object in anonymous shared memory.
  DWORD CreateAnonymous(SegmentKind kind, std::uint64_t data_size, void (*init)(void* data, void* context),
                        void* context);

  void* Data() const { return base_ ? static_cast<char*>(base_) + kSegmentDataOffset : nullptr; }
  std::uint64_t DataSize() const { return data_size_; }
  const std::string& NativeName() const { return native_name_; }
  // Keep the mapping when the segment is closed (a thread still owns a
  // robust mutex inside it).
  void LeakMappingOnClose() { leak_mapping_ = true; }

 private:
  DWORD Attach(const ObjectPath& path, SegmentKind kind, bool create, std::uint64_t data_size, bool open_security,
               void (*init)(void*, void*), void* context, bool& existed);
  void Close();

  int fd_ = -1;
  void* base_ = nullptr;
  std::size_t map_size_ = 0;
  std::uint64_t data_size_ = 0;
  std::string file_;
  std::string native_name_;
  bool leak_mapping_ = false;
};

}  // namespace vt::os::detail
