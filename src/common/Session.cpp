#include "common/Session.h"

#include <atomic>

#include "platform/VirtualMemory.h"

namespace vt {

namespace {
std::atomic<void*> g_session_view{nullptr};
TFastMutex* g_session_lock = nullptr;
}  // namespace

void* GetSessionData() {
  if (void* view = g_session_view.load(std::memory_order_acquire)) return view;
  os::HANDLE section = 0;
  os::NTSTATUS status = os::NtCreateSectionNamed(kSessionSectionName, kSessionDataSize,
                                                 GetEveryoneSecurityDescriptor()->NullDacl, &section);
  if (status != os::kStatusSuccess && status != os::kStatusObjectNameExists)
    throw EOSError(Format("Failed to open/create session data: %s", NtStatusToText(status, "STATUS ")), status);
  std::uint64_t size = 0;
  void* view = os::MapSectionView(section, &size);
  if (!view) {
    os::DWORD err = os::GetLastError();
    os::CloseHandle(section);
    RaiseOSError("Failed to map view of file mapping 0x0%x at position %d:%d (%d bytes)",
                 {section, 0, 0, kSessionDataSize}, err);
  }
  void* expected = nullptr;
  if (!g_session_view.compare_exchange_strong(expected, view, std::memory_order_acq_rel)) {
    // Another thread published first: drop ours.
    os::CloseHandle(section);
    os::UnmapSectionView(view);
    return expected;
  }
  // The section handle and the view stay until the process ends.
  return view;
}

void RaiseNtStatus(os::NTSTATUS status, std::string_view message, const FormatArgs& args) {
  std::string text = args.empty() ? std::string(message) : FormatV(message, args);
  throw Exception(text + ": " + NtStatusToText(status, "STATUS ") + " (0x" + IntToHexFixed(status, 8) + ")");
}

void CheckNtStatus(os::NTSTATUS status, std::string_view message, const FormatArgs& args) {
  if (status != os::kStatusSuccess && status != os::kStatusNotImplemented) RaiseNtStatus(status, message, args);
}

std::string QueryObjectName(os::HANDLE handle) {
  std::string name;
  os::NTSTATUS status = os::NtQueryObjectName(handle, name);
  if (status != os::kStatusSuccess) RaiseNtStatus(status, "Failed to query object name: 0x0%x", {handle});
  return name;
}

void CloseNtHandleAndNil(os::HANDLE& handle) {
  os::HANDLE h = handle;
  handle = 0;
  if (h != 0) os::NtClose(h);
}

bool IsBadMemory(const void* address, std::size_t size) {
  auto first = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{os::kPageSize - 1};
  auto end = reinterpret_cast<std::uintptr_t>(address) + size;
  if (end < first) return true;  // the range wraps
  for (std::uintptr_t page = first; page < end; page += os::kPageSize) {
    os::MemoryBasicInformation info{};
    if (os::VirtualQuery(reinterpret_cast<const void*>(page), &info, sizeof info) != sizeof info) return true;
    if (info.State != os::kMemCommit || info.Protect == 0 ||
        (info.Protect & (os::kPageNoAccess | os::kPageGuard)) != 0)
      return true;
    if (page + os::kPageSize < page) break;
  }
  return false;
}

TFastMutex& SessionLock() {
  if (!g_session_lock) throw Exception("Session unit is not initialized");
  return *g_session_lock;
}

void InitializeSession() {
  GetSessionData();
  if (!g_session_lock) g_session_lock = new TFastMutex;
}

void FinalizeSession() { FreeAndNilObject(g_session_lock); }

}  // namespace vt
