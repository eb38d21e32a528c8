#include "platform/Utf.h"

#include <cstdint>

namespace vt::os {

namespace {

// Where a byte that is not UTF-8 goes in UTF-16, and back.
constexpr char16_t kByteEscape = 0xDC00;
bool IsByteEscape(std::uint32_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

std::string ToUtf8(std::u16string_view s, bool bytes) {
  std::string r;
  r.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (bytes && IsByteEscape(c)) {
      r += static_cast<char>(c - kByteEscape);
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      r += static_cast<char>(c);
    } else if (c < 0x800) {
      r += static_cast<char>(0xC0 | (c >> 6));
      r += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      r += static_cast<char>(0xE0 | (c >> 12));
      r += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      r += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      r += static_cast<char>(0xF0 | (c >> 18));
      r += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      r += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      r += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return r;
}

std::u16string ToUtf16(std::string_view s, bool bytes) {
  std::u16string r;
  r.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    int extra = b0 >= 0xF0 && b0 < 0xF5 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC2 && b0 < 0xE0 ? 1 : 0;
    if (b0 >= 0xF5) extra = 0;
    std::uint32_t c = extra == 0 ? b0 : b0 & (0x3F >> extra);
    bool ok = b0 < 0x80 || extra > 0;
    if (extra > 0 && i + static_cast<std::size_t>(extra) < s.size() + 0) {
      for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        c = (c << 6) | (b & 0x3F);
      }
    } else if (extra > 0) {
      ok = false;
    }
    if (ok && extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (ok && extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ok = false;
    if (!ok) {
      // Not UTF-8: the byte, escaped for file names.
      r += static_cast<char16_t>(bytes ? kByteEscape + b0 : b0);
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      r += static_cast<char16_t>(0xD800 + (c >> 10));
      r += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      r += static_cast<char16_t>(c);
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return r;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view s) { return ToUtf8(s, false); }
std::u16string Utf8ToUtf16(std::string_view s) { return ToUtf16(s, false); }
std::string Utf16ToFileName(std::u16string_view s) { return ToUtf8(s, true); }
std::u16string FileNameToUtf16(std::string_view s) { return ToUtf16(s, true); }

}  // namespace vt::os
