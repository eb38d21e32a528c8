#include "platform/CommandLine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/LastError.h"

namespace vt::os {
namespace {

std::vector<std::string> Texts(std::string_view line) { return CommandLineToArgs(line); }

// The splitting rules themselves are checked through the bootstrapper's tokenizer.
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
  std::string data((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::string> args;
  for (size_t start = 0, i = 0; i < data.size(); ++i)
    if (data[i] == '\0') {
      args.push_back(data.substr(start, i - start));
      start = i + 1;
    }
  EXPECT_EQ(Texts(GetCommandLine()), args);
  EXPECT_EQ(&GetCommandLine(), &GetCommandLine());
}

TEST(LastError, TextsAndErrnoMapping) {
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified");
  EXPECT_EQ(SystemErrorText(193), "%1 is not a valid Win32 application");
  EXPECT_EQ(ErrnoToError(2 /*ENOENT*/), kErrorFileNotFound);
}

}  // namespace
}  // namespace vt::os
