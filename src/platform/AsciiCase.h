// ASCII case folding for the names the platform layer compares without
// regard to case (other bytes compare as they are).
#pragma once

#include <string>
#include <string_view>

namespace vt::os {

constexpr char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = FoldAscii(c);
  return r;
}

constexpr bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

}  // namespace vt::os
