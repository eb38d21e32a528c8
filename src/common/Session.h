// The shared session section every program of the product maps at start-up,
// and the native-call helpers around it: status names and status errors,
// object attributes and counted strings, object-name and system-information
// queries, the process list, a committed-memory probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/Locks.h"
#include "common/Units.h"
#include "platform/NativeInfo.h"
#include "platform/Section.h"

namespace vt {

inline constexpr const char* kSessionSectionName = "\\BaseNamedObjects\\Global\\Palgrem_SessionData_0";
inline constexpr std::size_t kSessionDataSize = 72;

// Creates or opens the section, maps it and publishes the view once per
// process; later and concurrent calls answer the published view.
void* GetSessionData();

// " (the shared-memory folder /dev/shm is full)" and the like: what keeps
// named objects from being made in their folder (out_of_room: one could
// not be made for want of room), or empty.
std::string SharedFolderNote(bool out_of_room);

// The status's name, or prefix + "0x" + 8 hexadecimal digits when unknown.
std::string NtStatusToText(os::NTSTATUS status, std::string_view prefix);
// Exception(message + ": " + name + " (0x" + 8 digits + ")").
[[noreturn]] void RaiseNtStatus(os::NTSTATUS status, std::string_view message, const FormatArgs& args = {});
// Raises unless the status is success or STATUS_NOT_IMPLEMENTED.
void CheckNtStatus(os::NTSTATUS status, std::string_view message, const FormatArgs& args = {});

// The native name of a kernel object ("\BaseNamedObjects\...").
std::string QueryObjectName(os::HANDLE handle);
// Clears the variable, then closes a non-zero handle.
void CloseNtHandleAndNil(os::HANDLE& handle);
// True when any page of the range is not committed or not accessible.
bool IsBadMemory(const void* address, std::size_t size);

// Native object attributes; the name's wide text is kept in the record, so
// it is neither copied nor moved.
struct TObjectAttributes {
  TObjectAttributes() = default;
  TObjectAttributes(const TObjectAttributes&) = delete;
  TObjectAttributes& operator=(const TObjectAttributes&) = delete;
  os::OBJECT_ATTRIBUTES Attributes;
  os::UNICODE_STRING Name;
  char16_t NameBuffer[524] = {};  // 1048 bytes
};
// Case-insensitive, inheritable when the security attributes say so, with
// their descriptor; the name (when not empty) converted into the record.
void InitObjectAttributes(TObjectAttributes& attributes, std::string_view name,
                          const os::SECURITY_ATTRIBUTES* security_attributes);
// S into the caller's buffer of BufferSize bytes; raises "Failed to convert
// ansi string to unicode buffer: %s" when it does not fit.
void AnsiToUnicodeString(std::string_view s, char16_t* buffer, std::size_t buffer_size,
                         os::UNICODE_STRING& unicode_string);
// A copy of the counted string (empty for null).
std::u16string UnicodeStringToWide(const os::UNICODE_STRING* value);

// The class's record in Buffer, starting with InitialSize bytes and doubling
// while the system asks for more; answers the record's length. Raises
// "Failed to query system information (class <n>)" with the status.
std::uint32_t QuerySystemInformation(std::uint32_t info_class, std::vector<std::uint8_t>& buffer,
                                     std::uint32_t initial_size);
// The process list (class 5, 65536 bytes to start).
std::uint32_t QueryProcessList(std::vector<std::uint8_t>& buffer);
// Bytes of a process entry before its thread entries: 184, or 136 for
// system versions 4 and lower.
std::uint32_t ProcessEntryHeaderSize();
// The threads the process has in the process list (0 when not listed).
int GetProcessThreadCount(std::uint32_t process_id);

// The lock guarding the session data.
TFastMutex& SessionLock();

// Unit start-up: maps the section and creates the lock.
void InitializeSession();
void FinalizeSession();
inline constexpr UnitEntry kSessionUnit{"Session", InitializeSession, FinalizeSession};

}  // namespace vt
