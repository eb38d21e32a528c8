#include "bootstrapper/CmdLineTokenizer.h"

#include <gtest/gtest.h>

namespace vt {
namespace {

std::vector<std::string> Items(const TStrings& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Get(i));
  return v;
}

TEST(CmdLineTokenizer, RuntimeRulesProcessedAndRaw) {
  TCRTCmdLineTokenizer t(R"("C:\Program Files\Setup.exe" /install "vs_integrated")");
  EXPECT_EQ(Items(t.Tokens()), (std::vector<std::string>{R"(C:\Program Files\Setup.exe)", "/install", "vs_integrated"}));
  EXPECT_EQ(Items(t.RawTokens()),
            (std::vector<std::string>{R"("C:\Program Files\Setup.exe")", "/install", R"("vs_integrated")"}));
  EXPECT_FALSE(t.Tokens().HasSwitch("vs_integrated"));  // quoted token has no switch character
  EXPECT_TRUE(t.Tokens().HasSwitch("install"));
  EXPECT_FALSE(t.Tokens().Sorted());
  EXPECT_FALSE(t.Tokens().CaseSensitive());
}

TEST(CmdLineTokenizer, BackslashesAndQuotes) {
  struct Case {
    const char* line;
    std::vector<std::string> tokens;
  } cases[] = {
      {R"(a\\"b c" d)", {R"(a\b c)", "d"}},              // pair + quote: one backslash, quoting toggles
      {R"(a\\\"b c)", {R"(a\"b)", "c"}},                 // three + quote: one backslash, literal quote
      {R"("a""b c" d)", {R"(a"b c)", "d"}},              // doubled quote inside quotes
      {R"(a\\\\b\ c\\)", {R"(a\\\\b\)", R"(c\\)"}},      // backslashes without quote stay
      {" \t  ", {}},                                     // blanks only
      {R"(x "" y)", {"x", "", "y"}},                     // empty quoted token
      {"a\tb", {"a", "b"}},                              // tab separates
      {R"(^% "%PATH%")", {"^%", "%PATH%"}},              // no shell meaning
      {R"("a b)", {"a b"}},                              // open quote runs to the end
      {R"(a"b c"d e)", {"ab cd", "e"}},                  // quoting inside a token
  };
  for (const auto& c : cases) {
    TCRTCmdLineTokenizer t(c.line);
    EXPECT_EQ(Items(t.Tokens()), c.tokens) << c.line;
    EXPECT_EQ(t.RawTokens().Count(), t.Tokens().Count()) << c.line;
  }
  TCRTCmdLineTokenizer nul(std::string("a b\0c d", 7));
  EXPECT_EQ(Items(nul.Tokens()), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace vt
