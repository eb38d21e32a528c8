#include "platform/Handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Files.h"

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

}  // namespace

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

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
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
  if (source_process != kCurrentProcess || target_process != kCurrentProcess) {
    SetLastError(kErrorNotSupported);
    return false;
  }
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
