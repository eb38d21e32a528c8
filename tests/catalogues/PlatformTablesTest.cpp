// The build platform tables: row alignment and the entries callers index.
#include <gtest/gtest.h>

#include <algorithm>

#include "catalogues/InteropPlatforms.h"
#include "catalogues/VCTypes.h"
#include "catalogues/VETypes.h"
#include "catalogues/VisualStudioTypes.h"

namespace vt {
namespace {

template <typename Table, typename Kind>
std::string_view At(const Table& table, Kind kind) {
  return table.at(static_cast<std::size_t>(kind));
}

// Each enumeration indexes its table: the ends and the gap (no 13.0) line up.
TEST(PlatformTables, RowsLineUpWithTheirKinds) {
  EXPECT_EQ(At(VSVersionTexts, TVSVersion::VS140), "14.0");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS140), "2015");
  EXPECT_EQ(std::count(VSVersionTexts.begin(), VSVersionTexts.end(), "13.0"), 0);
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS170), "2022");
  EXPECT_EQ(At(SharedProjectExtensions, TSharedProjectKind::ShProj), ".shproj");
  EXPECT_EQ(At(VCCompilerCodes, TVCCompiler::ParallelComposer), "PC");
  EXPECT_EQ(At(VCPlatformTexts, TVCPlatform::Win64), "Win64");
  EXPECT_EQ(At(InteropPlatformTexts, TInteropPlatform::Itanium), "itanium");
  EXPECT_EQ(At(VERequestKindTexts, TVERequestKind::Exception), "Exception");
  EXPECT_EQ(At(VERequestKindTexts, TVERequestKind::BuildCacheOutputsFile), "Build Cache Outputs File");
}

}  // namespace
}  // namespace vt
