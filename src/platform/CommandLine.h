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

// The argument in quotes, read back exactly by CommandLineToArgs: each inner
// quote escaped, the backslashes before it or before the closing quote
// doubled.
std::string QuoteArgument(std::string_view arg);

// Joins arguments into a command line that CommandLineToArgs splits back into
// exactly those arguments: an argument without blanks, tabs or quotes stays
// as it is, any other is quoted by QuoteArgument.
std::string JoinCommandLine(const std::vector<std::string>& args);

// The process's whole command line, program part included. A process that
// CreateProcess started receives the line it was started with in the
// environment variable kCommandLineVariable; the line is used when it splits
// into exactly the process's arguments. Otherwise the line is joined from
// the arguments (argument 0 first). The variable is taken out of the
// environment at load time, so it is never passed on.
const std::string& GetCommandLine();

inline constexpr const char* kCommandLineVariable = "VT_PROCESS_COMMAND_LINE";

}  // namespace vt::os
