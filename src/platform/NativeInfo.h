// Native-interface records and queries: counted wide strings, object
// attributes, and the system information this layer answers (the process
// list, from /proc).
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Section.h"
#include "platform/Sync.h"

namespace vt::os {

enum : NTSTATUS {
  kStatusBufferOverflow = 0x80000005,
  kStatusInvalidInfoClass = 0xC0000003,
};

// A counted wide string: lengths in bytes, the buffer not terminated.
struct UNICODE_STRING {
  std::uint16_t Length = 0;
  std::uint16_t MaximumLength = 0;
  char16_t* Buffer = nullptr;
};

struct OBJECT_ATTRIBUTES {
  DWORD Length = 0;
  HANDLE RootDirectory = 0;
  UNICODE_STRING* ObjectName = nullptr;
  DWORD Attributes = 0;
  const SECURITY_DESCRIPTOR* SecurityDescriptor = nullptr;
  const void* SecurityQualityOfService = nullptr;
};
inline constexpr DWORD kObjInherit = 0x2;
inline constexpr DWORD kObjCaseInsensitive = 0x40;

// Source (one byte per character) into Destination's buffer, up to its
// MaximumLength; kStatusBufferOverflow when it does not fit.
NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* destination, std::string_view source);

// System information classes.
inline constexpr std::uint32_t kSystemProcessInformation = 5;

// The process list (class 5), in the native 32-bit layout: one entry per
// process, chained by the offset of the next entry (0 for the last); each is
// a header followed by one 64-byte entry per thread. The header is 184
// bytes, or 136 when the reported system version is 4 or lower. Only the
// counts and ids are filled in; image names are empty.
inline constexpr std::uint32_t kProcessEntryNextOffset = 0;
inline constexpr std::uint32_t kProcessEntryThreadCount = 4;
inline constexpr std::uint32_t kProcessEntryProcessId = 68;
inline constexpr std::uint32_t kProcessEntryParentId = 72;
inline constexpr std::uint32_t kThreadEntrySize = 64;
inline constexpr std::uint32_t kThreadEntryProcessId = 32;
inline constexpr std::uint32_t kThreadEntryThreadId = 36;

// Copies the record of the class into Buffer. When Length is too small:
// kStatusInfoLengthMismatch, with the length needed in *ReturnLength.
NTSTATUS NtQuerySystemInformation(std::uint32_t info_class, void* buffer, std::uint32_t length,
                                  std::uint32_t* return_length);

}  // namespace vt::os
