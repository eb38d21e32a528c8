// Coordinator role names, the global role map and the coordinator name
// suffixes.
#pragma once

#include <array>

#include "common/TypedLists.h"
#include "common/Units.h"

namespace vt {

// Indexed by role: 0 the primary, 1 the backup coordinator.
inline constexpr std::array<const char*, 2> CoordRoleNames = {"Primary Coordinator", "Backup Coordinator"};

// Indexed by role, like CoordRoleNames.
inline constexpr std::array<const char*, 2> CoordNameSuffixes = {"", ".backup"};

// Sorted, duplicates ignored; created by the CoordTypes unit (nullptr
// before its first start) and kept until the program ends.
TStringIntegerMap* CoordRoleMap();

extern const UnitEntry kCoordTypesUnit;
extern const UnitEntry kCoordNameSuffixesUnit;

}  // namespace vt
