#include <gtest/gtest.h>

#include "bootstrapper/CmdLineTokenizer.h"

namespace vt {
namespace {

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Get(i));
  return v;
}

// The splitting rules themselves are the platform's (tested there): here the
// two lists side by side, a tab, quotes inside a token and an open quote.
TEST(CmdLineTokenizer, ProcessedAndRawTokensSideBySide) {
  TCRTCmdLineTokenizer t(R"("C:\Program Files\Setup.exe" /install)"
                         "\t"
                         R"("vs_integrated" a"b c"d "e f)");
  EXPECT_EQ(Items(t.Tokens()), (std::vector<std::string>{R"(C:\Program Files\Setup.exe)", "/install",
                                                         "vs_integrated", "ab cd", "e f"}));
  EXPECT_EQ(Items(t.RawTokens()), (std::vector<std::string>{R"("C:\Program Files\Setup.exe")", "/install",
                                                            R"("vs_integrated")", R"(a"b c"d)", R"("e f)"}));
  EXPECT_FALSE(t.Tokens().HasSwitch("vs_integrated"));  // quoted token has no switch character
  EXPECT_TRUE(t.Tokens().HasSwitch("install"));
  EXPECT_FALSE(t.Tokens().Sorted());
  EXPECT_FALSE(t.Tokens().CaseSensitive());
}

}  // namespace
}  // namespace vt
