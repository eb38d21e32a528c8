#include "platform/CommandLine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

// ---- the process's own command line ----

namespace vt::os {

std::string QuoteArgument(std::string_view arg) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') backslashes = backslashes * 2 + 1;
    quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + '"';
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (i > 0) line += ' ';
    line += !a.empty() && a.find_first_of(" \t\"") == std::string::npos ? a : QuoteArgument(a);
  }
  return line;
}

namespace {

// Filled once at load time, before any thread runs; never freed.
std::vector<std::string>* g_args = nullptr;
std::string* g_given_line = nullptr;

std::vector<std::string> ReadProcArgs() {
  std::vector<std::string> args;
  int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return args;
  std::string data;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || data.size() > (64u << 20)) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t start = 0;
  for (size_t i = 0; i < data.size(); ++i)
    if (data[i] == '\0') {
      args.push_back(data.substr(start, i - start));
      start = i + 1;
    }
  return args;
}

// Runs from the program's initializer array (glibc passes argc, argv and
// the environment), before main and before any other thread exists.
__attribute__((constructor)) void CaptureCommandLine(int argc, char** argv, char**) {
  g_args = new std::vector<std::string>;
  if (argc >= 0 && argv) {
    for (int i = 0; i < argc && argv[i]; ++i) g_args->emplace_back(argv[i]);
  } else {
    *g_args = ReadProcArgs();
  }
  if (const char* given = ::getenv(kCommandLineVariable)) {
    g_given_line = new std::string(given);
    ::unsetenv(kCommandLineVariable);
  }
}

}  // namespace

const std::string& GetCommandLine() {
  static const std::string* line = [] {
    const std::vector<std::string> args = g_args ? *g_args : ReadProcArgs();
    if (g_given_line && CommandLineToArgs(*g_given_line) == args) return new std::string(*g_given_line);
    return new std::string(JoinCommandLine(args));
  }();
  return *line;
}

}  // namespace vt::os
