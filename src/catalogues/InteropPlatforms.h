// Platforms of managed-code interop (lower case, unlike the native ones).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vt {

enum class TInteropPlatform : std::uint8_t { Win32, X64, Itanium };
inline constexpr std::array<std::string_view, 3> InteropPlatformTexts = {"win32", "x64", "itanium"};

}  // namespace vt
