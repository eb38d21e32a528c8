// The shared session section every program of the product maps at start-up,
// and the native-call helpers around it: status names and status errors,
// object-name queries, a committed-memory probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Locks.h"
#include "common/Units.h"
#include "platform/Section.h"

namespace vt {

inline constexpr const char* kSessionSectionName = "\\BaseNamedObjects\\Global\\Palgrem_SessionData_0";
inline constexpr std::size_t kSessionDataSize = 72;

// Creates or opens the section, maps it and publishes the view once per
// process; later and concurrent calls answer the published view.
void* GetSessionData();

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

// The lock guarding the session data.
TFastMutex& SessionLock();

// Unit start-up: maps the section and creates the lock.
void InitializeSession();
void FinalizeSession();
inline constexpr UnitEntry kSessionUnit{"Session", InitializeSession, FinalizeSession};

}  // namespace vt
