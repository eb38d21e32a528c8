#include <gtest/gtest.h>

#include <fstream>

#include "platform/CommandLine.h"
#include "platform/LastError.h"

namespace vt::os {
namespace {

std::vector<std::string> Texts(std::string_view line) { return CommandLineToArgs(line); }

// The splitting rules (the bootstrapper's tokenizer relies on these).
TEST(CommandLine, RuntimeArgumentRules) {
  const struct {
    std::string_view line;
    std::vector<std::string> args;
  } cases[] = {
      {R"(a\\"b c" d)", {R"(a\b c)", "d"}},          // two backslashes and a quote: one, quoting toggles
      {R"(a\\\"b c)", {R"(a\"b)", "c"}},             // three and a quote: one and a literal quote
      {R"("a""b c" d)", {R"(a"b c)", "d"}},          // doubled quote inside quotes
      {R"(a\\\\b\ c\\)", {R"(a\\\\b\)", R"(c\\)"}},  // backslashes without a quote stay
      {" \t  ", {}},
      {R"(x "" y)", {"x", "", "y"}},
      {std::string_view("a b\0c d", 7), {"a", "b"}},  // the line ends at a NUL
  };
  for (const auto& c : cases) EXPECT_EQ(Texts(c.line), c.args) << c.line;
}

TEST(CommandLine, JoinedLinesSplitBackIntoTheArguments) {
  const std::vector<std::vector<std::string>> cases = {
      {"/usr/bin/prog", "/install", "a b", ""},
      {"C:\\Program Files\\x.exe", "tail\\", "in\"side", "\\\"", "x\\\\\"y\\ z", "\t", "\"\""},
      {"plain\\path\\", "back\\slashes\\\\"},
      {""},
      {},
  };
  for (const auto& args : cases) EXPECT_EQ(Texts(JoinCommandLine(args)), args) << JoinCommandLine(args);
  EXPECT_EQ(JoinCommandLine({"a", "b c", "d\\"}), "a \"b c\" d\\");
  EXPECT_EQ(JoinCommandLine({"x y\\", "q\""}), "\"x y\\\\\" \"q\\\"\"");
}

TEST(CommandLine, OwnLineSplitsIntoOwnArguments) {
  // This test program was not started by CreateProcess: its line is joined
  // from its arguments, which /proc/self/cmdline lists.
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) args.push_back(arg);
  EXPECT_EQ(Texts(GetCommandLine()), args);
  EXPECT_EQ(&GetCommandLine(), &GetCommandLine());
}

TEST(LastError, TextsAndErrnoMapping) {
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified");
  EXPECT_EQ(SystemErrorText(193), "%1 is not a valid Win32 application");
  EXPECT_EQ(SystemErrorText(193, "/a/%1.exe"), "/a/%1.exe is not a valid Win32 application");
  EXPECT_EQ(SystemErrorText(2, "x"), "The system cannot find the file specified");
  EXPECT_EQ(ErrnoToError(2 /*ENOENT*/), kErrorFileNotFound);
  // The stored allocation-failure text says what an OS error 8 says.
  EXPECT_EQ(kNotEnoughMemoryText, SystemErrorText(kErrorNotEnoughMemory) + " (8)");
}

}  // namespace
}  // namespace vt::os
