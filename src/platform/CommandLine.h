// Splitting a Windows-style command line by the argument rules of the
// compiler runtime: shared by process start and the command-line tokenizer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vt::os {

struct CommandLineToken {
  std::string text;  // quotes and escaping backslashes resolved
  std::string raw;   // as it stands in the command line
};

// Splits a whole command line (program part included). Stops at the end of
// the text or at an embedded NUL byte.
std::vector<CommandLineToken> SplitCommandLine(std::string_view line);

// The processed texts only.
std::vector<std::string> CommandLineToArgs(std::string_view line);

}  // namespace vt::os
