#include "platform/CommandLine.h"

namespace vt::os {

std::vector<CommandLineToken> SplitCommandLine(std::string_view line) {
  if (auto nul = line.find('\0'); nul != std::string_view::npos) line = line.substr(0, nul);
  std::vector<CommandLineToken> tokens;
  const size_t n = line.size();
  size_t i = 0;
  bool in_quotes = false;  // carries over from token to token
  for (;;) {
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) break;
    const size_t start = i;
    std::string text;
    for (;;) {
      bool copy = true;
      size_t backslashes = 0;
      while (i < n && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && line[i] == '"') {
        if (backslashes % 2 == 0) {
          if (in_quotes && i + 1 < n && line[i + 1] == '"') {
            ++i;  // doubled quote inside quotes: a literal quote
          } else {
            copy = false;
            in_quotes = !in_quotes;
          }
        }
        backslashes /= 2;
      }
      text.append(backslashes, '\\');
      if (i >= n || (!in_quotes && (line[i] == ' ' || line[i] == '\t'))) break;
      if (copy) text.push_back(line[i]);
      ++i;
    }
    tokens.push_back({std::move(text), std::string(line.substr(start, i - start))});
  }
  return tokens;
}

std::vector<std::string> CommandLineToArgs(std::string_view line) {
  std::vector<std::string> args;
  for (auto& t : SplitCommandLine(line)) args.push_back(std::move(t.text));
  return args;
}

}  // namespace vt::os
