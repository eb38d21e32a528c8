#include "platform/Section.h"

#include <unistd.h>

#include <climits>
#include <map>
#include <mutex>

#include "platform/SharedSegment.h"

namespace vt::os {

std::mutex& detail::SectionViewsLock() {
  static std::mutex* m = detail::NewForkHeldLock();
  return *m;
}

namespace {

class SectionObject : public KernelObject {
 public:
  detail::Segment segment;
  std::string NativeName() const override { return segment.NativeName(); }
};

struct ViewEntry {
  std::shared_ptr<SectionObject> section;
  int count = 0;
};

std::mutex& ViewLock() { return detail::SectionViewsLock(); }

std::map<void*, ViewEntry>& Views() {
  static auto* views = new std::map<void*, ViewEntry>;
  return *views;
}

NTSTATUS StatusFromError(DWORD err) {
  switch (err) {
    case kErrorAccessDenied: return kStatusAccessDenied;
    case kErrorInvalidHandle: return kStatusObjectTypeMismatch;
    case kErrorFileCorrupt: return kStatusFileCorruptError;
    case kErrorTimeout: return kStatusTimeout;
    case kErrorFileNotFound: return kStatusObjectNameNotFound;
    case kErrorPathNotFound: return kStatusObjectPathNotFound;
    case kErrorInvalidName: return kStatusObjectNameInvalid;
    case kErrorFilenameExcedRange: return kStatusNameTooLong;
    case kErrorNotEnoughMemory:
    case kErrorDiskFull: return kStatusNoMemory;
    default: return kStatusInvalidParameter;
  }
}

}  // namespace

NTSTATUS NtCreateSectionNamed(std::string_view native_name, std::uint64_t size, bool /*open_security*/,
                              HANDLE* section) {
  *section = 0;
  if (size == 0) return kStatusInvalidParameter;
  detail::ObjectPath path;
  if (!detail::ResolveObjectName(native_name, true, path)) return StatusFromError(GetLastError());
  auto object = std::make_shared<SectionObject>();
  bool existed = false;
  DWORD err =
      object->segment.Create(path, detail::SegmentKind::kSection, size, nullptr, nullptr, existed);
  if (err != kErrorSuccess) {
    SetLastError(err);  // the cause behind the status, for the caller's message
    return StatusFromError(err);
  }
  *section = InsertHandle(object);
  return existed ? kStatusObjectNameExists : kStatusSuccess;
}

void* MapSectionView(HANDLE section, std::uint64_t* size) {
  auto object = LookupHandleAs<SectionObject>(section);
  if (!object) return nullptr;
  void* view = object->segment.Data();
  std::lock_guard<std::mutex> guard(ViewLock());
  ViewEntry& entry = Views()[view];
  entry.section = object;
  ++entry.count;
  if (size) *size = object->segment.DataSize();
  return view;
}

bool UnmapSectionView(void* view) {
  std::shared_ptr<SectionObject> release;  // freed outside the lock
  std::lock_guard<std::mutex> guard(ViewLock());
  auto it = Views().find(view);
  if (it == Views().end()) {
    SetLastError(kErrorInvalidAddress);
    return false;
  }
  if (--it->second.count == 0) {
    release = std::move(it->second.section);
    Views().erase(it);
  }
  return true;
}

NTSTATUS NtClose(HANDLE handle) { return CloseHandle(handle) ? kStatusSuccess : kStatusInvalidHandle; }

NTSTATUS NtQueryObjectName(HANDLE handle, std::string& name) {
  name.clear();
  if (IsTableHandle(handle)) {
    auto object = LookupHandle(handle);
    if (!object) return kStatusInvalidHandle;
    name = object->NativeName();
    return kStatusSuccess;
  }
  if (handle < 0 || handle >= kHandleTableBase) return kStatusInvalidHandle;
  std::string link = "/proc/self/fd/" + std::to_string(handle);
  char buf[PATH_MAX + 1];
  ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return kStatusInvalidHandle;
  name.assign(buf, static_cast<size_t>(n));
  return kStatusSuccess;
}

}  // namespace vt::os
