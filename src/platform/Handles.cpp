#include "platform/Handles.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/SharedSegment.h"
#include "platform/TestHooks.h"

namespace vt::os {

namespace {

struct Table {
  std::mutex lock;
  std::vector<std::shared_ptr<KernelObject>> slots;
  std::vector<size_t> free;
};

Table& TheTable() {
  static Table* table = new Table;  // lives to the end of the process
  return *table;
}

// The directory of named objects behind this process's table handles, for
// processes of the same user that copy a handle out of this one: an
// anonymous file (detail::kHandleDirectoryName) with one entry per table
// slot. Caller holds the table lock.
struct Directory {
  int fd = -1;
  pid_t owner = 0;  // a forked child makes its own
};
Directory g_directory;

void Publish(size_t index, const std::string& native_name) {
  if (native_name.size() > detail::kHandleEntrySize - 4) return;
  if (g_directory.fd < 0 || g_directory.owner != ::getpid()) {
    g_directory.fd = ::memfd_create(detail::kHandleDirectoryName, MFD_CLOEXEC);
    g_directory.owner = ::getpid();
    if (g_directory.fd < 0) return;
  }
  char entry[detail::kHandleEntrySize] = {};
  const auto length = static_cast<std::uint32_t>(native_name.size());
  std::memcpy(entry, &length, 4);
  std::memcpy(entry + 4, native_name.data(), native_name.size());
  (void)::pwrite(g_directory.fd, entry, sizeof entry, static_cast<off_t>(index * sizeof entry));
}

void Unpublish(size_t index) {
  if (g_directory.fd < 0 || g_directory.owner != ::getpid()) return;
  const std::uint32_t none = 0;
  (void)::pwrite(g_directory.fd, &none, 4, static_cast<off_t>(index * detail::kHandleEntrySize));
}

}  // namespace

bool detail::ReadPublishedName(int directory, HANDLE handle, std::string* native_name) {
  if (!IsTableHandle(handle)) return false;
  const auto index = static_cast<off_t>((handle - kHandleTableBase) / 4);
  char entry[kHandleEntrySize];
  if (::pread(directory, entry, sizeof entry, index * static_cast<off_t>(sizeof entry)) != static_cast<ssize_t>(sizeof entry))
    return false;
  std::uint32_t length = 0;
  std::memcpy(&length, entry, 4);
  if (length == 0 || length > sizeof entry - 4) return false;
  native_name->assign(entry + 4, length);
  return true;
}

KernelObject::~KernelObject() = default;

KernelObject::Poll KernelObject::TryWait() {
  SetLastError(kErrorInvalidHandle);
  return Poll::kFailed;
}

bool KernelObject::Signal() {
  SetLastError(kErrorInvalidHandle);
  return false;
}

DWORD KernelObject::WaitSingle(DWORD timeout_ms) {
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    switch (TryWait()) {
      case Poll::kSignaled: return kWaitObject0;
      case Poll::kAbandoned: return kWaitAbandoned0;
      case Poll::kFailed: return kWaitFailed;
      case Poll::kNotSignaled: break;
    }
    if (timeout_ms != kInfinite) {
      auto left = std::chrono::milliseconds(timeout_ms) -
                  std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      if (left.count() <= 0) return kWaitTimeout;
      if (left < pause) pause = left;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(10)) pause *= 2;
  }
}

std::mutex& detail::HandleTableLock() { return TheTable().lock; }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  const std::string name = object ? object->NativeName() : std::string();
  detail::EnsureForkHandlers();
  Table& t = TheTable();
  std::lock_guard<std::mutex> guard(t.lock);
  size_t index;
  if (!t.free.empty()) {
    index = t.free.back();
    t.free.pop_back();
    t.slots[index] = std::move(object);
  } else {
    index = t.slots.size();
    t.slots.push_back(std::move(object));
  }
  if (!name.empty()) Publish(index, name);
  return kHandleTableBase + static_cast<HANDLE>(index) * 4;
}

bool IsTableHandle(HANDLE handle) { return handle >= kHandleTableBase && (handle - kHandleTableBase) % 4 == 0; }

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  if (IsTableHandle(handle)) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto index = static_cast<size_t>((handle - kHandleTableBase) / 4);
    if (index < t.slots.size() && t.slots[index]) return t.slots[index];
  }
  SetLastError(kErrorInvalidHandle);
  return nullptr;
}

bool CloseHandle(HANDLE handle) {
  if (IsTableHandle(handle)) {
    std::shared_ptr<KernelObject> object;  // released outside the table lock
    {
      Table& t = TheTable();
      std::lock_guard<std::mutex> guard(t.lock);
      auto index = static_cast<size_t>((handle - kHandleTableBase) / 4);
      if (index < t.slots.size() && t.slots[index]) {
        object = std::move(t.slots[index]);
        t.free.push_back(index);
        if (!object->NativeName().empty()) Unpublish(index);
      }
    }
    if (object) return true;
  } else if (handle >= 0 && handle < kHandleTableBase) {
    return CloseFile(handle);  // ends the file's share and its delete-on-close
  }
  SetLastError(kErrorInvalidHandle);
  return false;
}

bool DuplicateHandle(HANDLE source_process, HANDLE handle, HANDLE target_process, HANDLE* target, bool inherit) {
  if (target_process != kCurrentProcess) {
    SetLastError(kErrorNotSupported);
    return false;
  }
  if (source_process != kCurrentProcess) return DuplicateFromProcess(source_process, handle, target, inherit);
  if (IsTableHandle(handle)) {
    auto object = LookupHandle(handle);
    if (!object) return false;
    *target = InsertHandle(std::move(object));
    return true;
  }
  if (handle >= 0 && handle < kHandleTableBase) {
    const FileHandle fd = DuplicateFileHandle(handle, inherit);
    if (fd == kInvalidFile) return false;
    *target = fd;
    return true;
  }
  SetLastError(kErrorInvalidHandle);
  return false;
}

HANDLE GetStdHandle(DWORD which) {
  switch (which) {
    case kStdInputHandle: return 0;
    case kStdOutputHandle: return 1;
    case kStdErrorHandle: return 2;
    default: return kInvalidHandleValue;
  }
}

DWORD GetFileType(HANDLE handle) {
  struct stat st;
  if (handle < 0 || IsTableHandle(handle) || ::fstat(static_cast<int>(handle), &st) != 0) return kFileTypeUnknown;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return kFileTypeDisk;
  if (S_ISCHR(st.st_mode)) return kFileTypeChar;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return kFileTypePipe;
  return kFileTypeUnknown;
}

}  // namespace vt::os
