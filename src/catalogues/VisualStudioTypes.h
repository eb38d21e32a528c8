// Display texts of the Visual Studio versions and of shared-code project files.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vt {

enum class TVSVersion : std::uint8_t {
  Unknown,
  VS40,
  VS60,
  VS70,
  VS71,
  VS80,
  VS90,
  VS100,
  VS110,
  VS120,
  VS140,
  VS150,
  VS160,
  VS170,
};

// Row-aligned, indexed by TVSVersion. There is no version 13.0.
inline constexpr std::array<std::string_view, 14> VSVersionTexts = {
    "", "4.0", "6.0", "7.0", "7.1", "8.0", "9.0", "10.0", "11.0", "12.0", "14.0", "15.0", "16.0", "17.0"};
// The two oldest versions repeat their version number.
inline constexpr std::array<std::string_view, 14> VSYearTexts = {
    "", "4.0", "6.0", "2002", "2003", "2005", "2008", "2010", "2012", "2013", "2015", "2017", "2019", "2022"};

enum class TSharedProjectKind : std::uint8_t { VcxItems, ShProj };
inline constexpr std::array<std::string_view, 2> SharedProjectExtensions = {".vcxitems", ".shproj"};

}  // namespace vt
