#include "catalogues/CoordTypes.h"

#include <memory>

namespace vt {

namespace {

// Options of the role map: kept sorted, an added duplicate key ignored.
constexpr std::uint16_t kRoleMapOptions = loSorted | loDupIgnore;

std::unique_ptr<TStringIntegerMap> g_role_map;
int g_types_init_count = 0;
int g_suffixes_init_count = 0;

void InitializeCoordTypes() {
  if (g_types_init_count++ == 0 && !g_role_map)
    g_role_map = std::make_unique<TStringIntegerMap>(kRoleMapOptions);
}
void FinalizeCoordTypes() { --g_types_init_count; }

void InitializeCoordNameSuffixes() { ++g_suffixes_init_count; }
void FinalizeCoordNameSuffixes() { --g_suffixes_init_count; }

}  // namespace

TStringIntegerMap* CoordRoleMap() { return g_role_map.get(); }

const UnitEntry kCoordTypesUnit{"CoordTypes", &InitializeCoordTypes, &FinalizeCoordTypes};
const UnitEntry kCoordNameSuffixesUnit{"CoordNameSuffixes", &InitializeCoordNameSuffixes,
                                       &FinalizeCoordNameSuffixes};

}  // namespace vt
