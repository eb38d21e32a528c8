#include "common/CallTrace.h"

#include <string>

#include "common/Logs.h"
#include "platform/FaultSupport.h"

namespace vt {

namespace {

constexpr std::uintptr_t kLowestApplicationAddress = 0x10000;
constexpr int kMaxCodeRanges = 256;

// The address of the call instruction that returns to ret, or 0. The ten
// bytes before ret are readable.
std::uintptr_t CallSite(std::uintptr_t ret) {
  auto at = [ret](int back) { return *reinterpret_cast<const std::uint8_t*>(ret - static_cast<std::uintptr_t>(back)); };
  if (at(5) == 0xE8) return ret - 5;                                       // relative call
  if (at(6) == 0xFF && (at(5) == 0x15 || at(5) == 0x1D)) return ret - 6;  // through an absolute address
  if (at(6) == 0xFF && at(5) >= 0x90 && at(5) <= 0x9F) return ret - 6;    // 32-bit displacement
  if (at(3) == 0xFF && at(2) >= 0x50 && at(2) <= 0x5F) return ret - 3;    // 8-bit displacement
  const std::uint8_t m = at(1);
  if (at(2) == 0xFF && ((m >= 0x10 && m <= 0x14) || (m >= 0x16 && m <= 0x1C) || m == 0x1E || m == 0x1F ||
                        (m >= 0xD0 && m <= 0xDF)))
    return ret - 2;  // register or register-indirect call
  return 0;
}

void SortRanges(os::CodeRange* r, int n) {
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && r[j].Start < r[j - 1].Start; --j) {
      const os::CodeRange t = r[j];
      r[j] = r[j - 1];
      r[j - 1] = t;
    }
}

// True when [from, to) lies inside one of the sorted ranges.
bool InRanges(const os::CodeRange* r, int n, std::uintptr_t from, std::uintptr_t to) {
  int lo = 0, hi = n;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (r[mid].Start <= from)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo > 0 && to <= r[lo - 1].End;
}

void Add(TCallTraceEntry* entries, int& count, std::uintptr_t address) {
  if (count > 0 && entries[count - 1].Address == address) {
    if (entries[count - 1].Count < 0x100000) ++entries[count - 1].Count;
  } else if (count < kMaxCallTraceEntries) {
    entries[count++] = {address, 1};
  }
}

// Reads the words of the stack, which holds poisoned areas in sanitizer
// builds.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
void ScanStack(std::uintptr_t from, std::uintptr_t to, const os::CodeRange* ranges, int range_count,
               TCallTraceEntry* entries, int& count) {
  if (range_count == 0) return;
  const std::uintptr_t lowest = ranges[0].Start;
  std::uintptr_t highest = 0;
  for (int i = 0; i < range_count; ++i)
    if (ranges[i].End > highest) highest = ranges[i].End;
  for (std::uintptr_t p = from; p + sizeof(std::uintptr_t) <= to && count < kMaxCallTraceEntries;
       p += sizeof(std::uintptr_t)) {
    const std::uintptr_t x = *reinterpret_cast<const volatile std::uintptr_t*>(p);
    if (x < kLowestApplicationAddress || x < lowest + 10 || x > highest) continue;
    if (!InRanges(ranges, range_count, x - 10, x)) continue;
    if (const std::uintptr_t call = CallSite(x)) Add(entries, count, call);
  }
}

int HexDigits(std::uintptr_t v) {
  int n = 1;
  while (v >>= 4) ++n;
  return n;
}

class TFixedText {
 public:
  TFixedText(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {
    if (capacity_) out_[0] = 0;
  }
  void Put(char c) {
    if (len_ + 1 < capacity_) {
      out_[len_++] = c;
      out_[len_] = 0;
    }
  }
  void Put(const char* s) {
    while (*s) Put(*s++);
  }
  std::size_t Length() const { return len_; }

 private:
  char* out_;
  std::size_t capacity_;
  std::size_t len_ = 0;
};

void PutHex(char* digits, std::uintptr_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v >>= 4) digits[i] = "0123456789ABCDEF"[v & 15];
  digits[width] = 0;
}

}  // namespace

std::uintptr_t CallTraceReference() noexcept { return reinterpret_cast<std::uintptr_t>(&CollectCallTrace); }

int CollectCallTrace(std::uintptr_t first, std::uintptr_t start, TCallTraceEntry* entries) noexcept {
  int count = 0;
  if (first) Add(entries, count, first);
  os::StackBounds bounds;
  if (!os::GetThreadStackBounds(&bounds)) return count;
  if (!start) start = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (start < bounds.Low || start >= bounds.High) start = bounds.Low;
  start = (start + sizeof(std::uintptr_t) - 1) & ~(sizeof(std::uintptr_t) - 1);
  // Only the part the stack has grown into is mapped.
  while (start < bounds.High && !os::IsMapped(start, 1)) start = (start | 0xFFF) + 1;
  os::CodeRange ranges[kMaxCodeRanges];
  const int range_count = os::CollectCodeRanges(ranges, kMaxCodeRanges);
  SortRanges(ranges, range_count);
  ScanStack(start, bounds.High, ranges, range_count, entries, count);
  return count;
}

std::size_t FormatCallTrace(std::uintptr_t reference, const TCallTraceEntry* entries, int count, char* out,
                            std::size_t capacity) noexcept {
  int width = HexDigits(reference) > 8 ? HexDigits(reference) : 8;
  for (int i = 0; i < count; ++i)
    if (HexDigits(entries[i].Address) > width) width = HexDigits(entries[i].Address);
  TFixedText text(out, capacity);
  char digits[17], previous[17];
  PutHex(digits, reference, width);
  PutHex(previous, 0, width);
  text.Put("($CALLTRACE:");
  text.Put(digits);
  text.Put(":");
  for (int i = 0; i < count; ++i) {
    PutHex(digits, entries[i].Address, width);
    int shared = 0;
    while (shared < width && digits[shared] == previous[shared]) ++shared;
    if (i) text.Put(",");
    text.Put(digits + shared);
    if (entries[i].Count > 1) {
      char number[12];
      int n = 0;
      for (std::uint32_t c = entries[i].Count; c; c /= 10) number[n++] = static_cast<char>('0' + c % 10);
      text.Put("*");
      while (n) text.Put(number[--n]);
    }
    for (int k = 0; k <= width; ++k) previous[k] = digits[k];
  }
  text.Put(")");
  return text.Length();
}

// The Flags of the log's interface have no meaning of their own.
std::string GetCallTrace(const void* FirstAddress, const void* StartAddress, std::uint32_t /*Flags*/) {
  TCallTraceEntry entries[kMaxCallTraceEntries];
  std::uintptr_t start = reinterpret_cast<std::uintptr_t>(StartAddress);
  if (!start) start = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  const int count = CollectCallTrace(reinterpret_cast<std::uintptr_t>(FirstAddress), start, entries);
  std::string text(kCallTraceCapacity, '\0');
  text.resize(FormatCallTrace(CallTraceReference(), entries, count, text.data(), text.size()));
  return text;
}

}  // namespace vt
