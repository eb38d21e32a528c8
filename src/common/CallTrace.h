// Call traces of the process log: "($CALLTRACE:<reference>:<entries>)".
//
// Entries are the call instructions whose return addresses lie on the
// thread's stack, found by scanning its words. Each is written in upper-case
// hexadecimal at the trace's width, less the leading digits it shares with
// the previous entry (the first is compared with zeros), with "*n" for n
// equal entries in a row. The width is 8 digits, or more when an address of
// the trace (the reference included, which is always written whole) needs
// them: a reader takes the width from the reference.
//
// Everything here is async-signal-safe inside a fault handler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt {

struct TCallTraceEntry {
  std::uintptr_t Address;
  std::uint32_t Count;
};
constexpr int kMaxCallTraceEntries = 128;

// Collects up to kMaxCallTraceEntries entries: first (when not 0), then those
// found on the calling thread's stack from start up to its base. A start of
// 0 is the caller's own position; a start outside the stack falls back to
// its low end.
int CollectCallTrace(std::uintptr_t first, std::uintptr_t start, TCallTraceEntry* entries) noexcept;

// Writes the trace into out, NUL-ended and cut to capacity; answers its
// length.
std::size_t FormatCallTrace(std::uintptr_t reference, const TCallTraceEntry* entries, int count, char* out,
                            std::size_t capacity) noexcept;

// The reference address: a routine of the library.
std::uintptr_t CallTraceReference() noexcept;

// Room for the longest trace.
constexpr std::size_t kCallTraceCapacity = 32 + 17 + kMaxCallTraceEntries * (16 + 9);

}  // namespace vt
