// Display texts of the native-code target platforms and compilers.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vt {

enum class TVCPlatform : std::uint8_t { Win32, Win64 };
inline constexpr std::array<std::string_view, 2> VCPlatformTexts = {"Win32", "Win64"};

enum class TVCCompiler : std::uint8_t { Unknown, IntelCompiler, ParallelComposer };
// Row-aligned, indexed by TVCCompiler.
inline constexpr std::array<std::string_view, 3> VCCompilerTexts = {"<unknown>", "Intel Compiler", "Parallel Composer"};
inline constexpr std::array<std::string_view, 3> VCCompilerCodes = {"", "PE", "PC"};

}  // namespace vt
