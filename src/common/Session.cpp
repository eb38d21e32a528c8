#include "common/Session.h"

#include <atomic>
#include <cstring>

#include "platform/SharedFolder.h"
#include "platform/SystemInfo.h"
#include "platform/VirtualMemory.h"

namespace vt {

namespace {
std::atomic<void*> g_session_view{nullptr};
TFastMutex* g_session_lock = nullptr;
}  // namespace

std::string SharedFolderNote(bool out_of_room) {
  const std::string problem = os::FolderWriteProblem(os::kSharedObjectFolder, out_of_room);
  return problem.empty() ? std::string() : Format(" (the shared-memory folder %s %s)", os::kSharedObjectFolder, problem);
}

void* GetSessionData() {
  if (void* view = g_session_view.load(std::memory_order_acquire)) return view;
  os::HANDLE section = 0;
  os::NTSTATUS status = os::NtCreateSectionNamed(kSessionSectionName, kSessionDataSize,
                                                 GetEveryoneSecurityDescriptor()->NullDacl, &section);
  if (status != os::kStatusSuccess && status != os::kStatusObjectNameExists) {
    // The section's name lives in the shared-memory folder: say what is wrong with it.
    const bool out_of_room = status == os::kStatusNoMemory && os::GetLastError() == os::kErrorDiskFull;
    throw EOSError(Format("Failed to open/create session data: %s", NtStatusToText(status, "STATUS ")) +
                       SharedFolderNote(out_of_room),
                   status);
  }
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
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  if (size > UINTPTR_MAX - start) return true;  // the range wraps
  const auto first = start & ~std::uintptr_t{os::kPageSize - 1};
  const auto end = start + size;
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

void InitObjectAttributes(TObjectAttributes& attributes, std::string_view name,
                          const os::SECURITY_ATTRIBUTES* security_attributes) {
  os::OBJECT_ATTRIBUTES& a = attributes.Attributes;
  a = os::OBJECT_ATTRIBUTES{};
  a.Length = sizeof(os::OBJECT_ATTRIBUTES);
  a.Attributes = os::kObjCaseInsensitive;
  if (security_attributes) {
    if (security_attributes->bInheritHandle) a.Attributes |= os::kObjInherit;
    a.SecurityDescriptor = security_attributes->lpSecurityDescriptor;
  }
  if (name.empty()) return;
  AnsiToUnicodeString(name, attributes.NameBuffer, sizeof attributes.NameBuffer, attributes.Name);
  a.ObjectName = &attributes.Name;
}

void AnsiToUnicodeString(std::string_view s, char16_t* buffer, std::size_t buffer_size,
                         os::UNICODE_STRING& unicode_string) {
  unicode_string.Buffer = buffer;
  unicode_string.Length = 0;
  unicode_string.MaximumLength = static_cast<std::uint16_t>(std::min<std::size_t>(buffer_size, 0xFFFF));
  if (os::RtlAnsiStringToUnicodeString(&unicode_string, s) != os::kStatusSuccess)
    throw Exception(Format("Failed to convert ansi string to unicode buffer: %s", s));
}

std::u16string UnicodeStringToWide(const os::UNICODE_STRING* value) {
  if (!value || !value->Buffer) return {};
  return std::u16string(value->Buffer, value->Length / sizeof(char16_t));
}

std::uint32_t QuerySystemInformation(std::uint32_t info_class, std::vector<std::uint8_t>& buffer,
                                     std::uint32_t initial_size) {
  std::uint32_t size = initial_size;
  for (;;) {
    buffer.assign(size, 0);
    std::uint32_t length = 0;
    os::NTSTATUS status = os::NtQuerySystemInformation(info_class, buffer.data(), size, &length);
    if (status == os::kStatusSuccess) return length;
    if (status != os::kStatusInfoLengthMismatch)
      RaiseNtStatus(status, "Failed to query system information (class " + IntToStr(info_class) + ")");
    size *= 2;
  }
}

std::uint32_t QueryProcessList(std::vector<std::uint8_t>& buffer) {
  return QuerySystemInformation(os::kSystemProcessInformation, buffer, 65536);
}

std::uint32_t ProcessEntryHeaderSize() {
  os::OSVersionInfoEx version;
  return os::GetVersionEx(&version) && version.dwMajorVersion <= 4 ? 136 : 184;
}

int GetProcessThreadCount(std::uint32_t process_id) {
  std::vector<std::uint8_t> list;
  const std::uint32_t length = QueryProcessList(list);
  const std::uint32_t header = ProcessEntryHeaderSize();
  auto at = [&](std::size_t offset) {
    std::uint32_t v = 0;
    if (offset + 4 <= length) std::memcpy(&v, list.data() + offset, 4);
    return v;
  };
  for (std::size_t entry = 0; entry + header <= length;) {
    if (at(entry + os::kProcessEntryProcessId) == process_id) {
      // The thread entries that name this process.
      int count = 0;
      for (std::uint32_t i = 0; i < at(entry + os::kProcessEntryThreadCount); ++i)
        count += at(entry + header + i * os::kThreadEntrySize + os::kThreadEntryProcessId) == process_id;
      return count;
    }
    const std::uint32_t next = at(entry + os::kProcessEntryNextOffset);
    if (next == 0) break;
    entry += next;
  }
  return 0;
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
