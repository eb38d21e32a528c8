// Named memory sections and the native-call status codes they report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Handles.h"

namespace vt::os {

using NTSTATUS = std::uint32_t;

enum : NTSTATUS {
  kStatusSuccess = 0,
  kStatusTimeout = 0x00000102,
  kStatusObjectNameExists = 0x40000000,
  kStatusNotImplemented = 0xC0000002,
  kStatusInfoLengthMismatch = 0xC0000004,
  kStatusInvalidHandle = 0xC0000008,
  kStatusInvalidParameter = 0xC000000D,
  kStatusNoMemory = 0xC0000017,
  kStatusAccessDenied = 0xC0000022,
  kStatusObjectTypeMismatch = 0xC0000024,
  kStatusObjectNameInvalid = 0xC0000033,
  kStatusObjectNameNotFound = 0xC0000034,
  kStatusObjectPathNotFound = 0xC000003A,
  kStatusFileCorruptError = 0xC0000102,
  kStatusNameTooLong = 0xC0000106,
};

// Creates the section of size bytes, or opens the existing one (then
// kStatusObjectNameExists). native_name is "\BaseNamedObjects\X" (machine-wide,
// "\BaseNamedObjects\Global\X" is the same) or "\Sessions\<n>\BaseNamedObjects\X".
// Sections are private to the calling user whatever open_security asks (see
// SharedSegment.h); a damaged one gives STATUS_FILE_CORRUPT_ERROR, one of
// another user STATUS_ACCESS_DENIED.
NTSTATUS NtCreateSectionNamed(std::string_view native_name, std::uint64_t size, bool open_security,
                              HANDLE* section);

// Maps the whole section for reading and writing; null with the last error
// set on failure. The view keeps the section alive until it is unmapped.
void* MapSectionView(HANDLE section, std::uint64_t* size);
bool UnmapSectionView(void* view);

NTSTATUS NtClose(HANDLE handle);

// The native name of a named kernel object (empty when unnamed), or the path
// of a file descriptor.
NTSTATUS NtQueryObjectName(HANDLE handle, std::string& name);

}  // namespace vt::os
