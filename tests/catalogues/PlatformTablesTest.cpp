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

TEST(PlatformTables, VisualStudioVersionsAndYears) {
  EXPECT_EQ(At(VSVersionTexts, TVSVersion::Unknown), "");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::Unknown), "");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS40), "4.0");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS60), "6.0");
  const auto v14 = std::find(VSVersionTexts.begin(), VSVersionTexts.end(), "14.0") - VSVersionTexts.begin();
  EXPECT_EQ(VSYearTexts.at(static_cast<std::size_t>(v14)), "2015");
  EXPECT_EQ(At(VSVersionTexts, TVSVersion::VS140), "14.0");
  EXPECT_EQ(std::count(VSVersionTexts.begin(), VSVersionTexts.end(), "13.0"), 0);
  EXPECT_EQ(At(VSVersionTexts, TVSVersion::VS170), "17.0");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS170), "2022");
  EXPECT_EQ(At(VSYearTexts, TVSVersion::VS70), "2002");
  EXPECT_EQ(At(SharedProjectExtensions, TSharedProjectKind::ShProj), ".shproj");
}

TEST(PlatformTables, CompilersPlatformsAndRequestKinds) {
  EXPECT_EQ(At(VCCompilerTexts, TVCCompiler::Unknown), "<unknown>");
  EXPECT_EQ(At(VCCompilerCodes, TVCCompiler::Unknown), "");
  EXPECT_EQ(At(VCCompilerCodes, TVCCompiler::ParallelComposer), "PC");
  EXPECT_EQ(At(VCCompilerTexts, TVCCompiler::IntelCompiler), "Intel Compiler");
  EXPECT_EQ(At(VCPlatformTexts, TVCPlatform::Win64), "Win64");
  EXPECT_EQ(At(InteropPlatformTexts, TInteropPlatform::X64), "x64");
  EXPECT_EQ(At(InteropPlatformTexts, TInteropPlatform::Itanium), "itanium");
  EXPECT_EQ(At(VERequestKindTexts, TVERequestKind::Exception), "Exception");
  EXPECT_EQ(At(VERequestKindTexts, TVERequestKind::StartMspdbsrv), "Start mspdbsrv process");
  EXPECT_EQ(At(VERequestKindTexts, TVERequestKind::BuildCacheOutputsFile), "Build Cache Outputs File");
}

}  // namespace
}  // namespace vt
