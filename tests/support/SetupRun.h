// Bootstrapper runs for tests that need only a program, its environment and
// what it wrote: packaging with the build's tools, a start in a process
// group of its own with standard output and error in files, and the wait.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/Patience.h"
#include "support/TestFiles.h"

extern char** environ;

namespace vt::test {

struct SetupRunResult {
  int status = -1;  // as waitpid gives it
  std::string out, err;
  int ExitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

class SetupRuns {
 public:
  explicit SetupRuns(const std::filesystem::path& dir) : dir_(dir) {}

  // A setup package of the sample inner setup, compressed, packaged into a
  // console bootstrapper made from unpackaged (with tool in resource 1002,
  // the LZMA tool unless given).
  std::filesystem::path Package(const std::string& name, const std::string& unpackaged = "vt_install",
                                const std::filesystem::path& tool = {}) {
    const std::filesystem::path exe = ProgramFolder() / "vt_sample_setup.exe", pak = dir_ / (name + ".pak");
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_make_setup_pak") + " " + Q(exe) + " " + Q(pak)), 0);
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vt_lzma") + " e " + Q(pak) + " " + Q(pak.string() + ".lzma")), 0);
    const auto size = static_cast<std::uint32_t>(std::filesystem::file_size(exe));
    std::string meta;
    for (int b = 0; b < 4; ++b) meta += static_cast<char>((size >> (8 * b)) & 0xFF);
    WriteFileText(dir_ / (name + ".meta"), meta + '\1');
    const std::filesystem::path out = dir_ / name;
    EXPECT_EQ(Shell(Q(ProgramFolder() / "vtpack") + " " + Q(ProgramFolder() / unpackaged) + " -o " + Q(out) +
                    " --subsystem console --add RCDATA 1000 " + Q(pak.string() + ".lzma") + " --add RCDATA 1002 " +
                    Q(tool.empty() ? ProgramFolder() / "vt_lzma" : tool) + " --add RCDATA 1001 " +
                    Q(dir_ / (name + ".meta"))),
              0);
    return out;
  }

  // Runs argv with the environment plus env, in a process group of its own;
  // while_running gets its pid once it runs. Waits for its end.
  SetupRunResult Run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                     const std::function<void(pid_t)>& while_running = {}) {
    const std::filesystem::path out = dir_ / ("run" + std::to_string(++runs_) + ".out"),
                                err = dir_ / ("run" + std::to_string(runs_) + ".err");
    std::vector<std::string> block;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string key = entry.substr(0, entry.find('='));
      if (!env.count(key)) block.push_back(entry);
    }
    for (const auto& [k, v] : env) block.push_back(k + "=" + v);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : block) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out_fd = ::open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    const int err_fd = ::open(err.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      for (const int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) ::signal(s, SIG_DFL);  // as a terminal starts it
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
    ::close(out_fd);
    ::close(err_fd);
    SetupRunResult result;
    EXPECT_GT(pid, 0);
    if (pid <= 0) return result;
    if (while_running) while_running(pid);
    const bool ended = WaitPatiently([&] { return ::waitpid(pid, &result.status, WNOHANG) == pid; });
    if (!ended) {
      Signal(pid, SIGKILL);
      ::waitpid(pid, &result.status, 0);
      ADD_FAILURE() << argv[0] << " did not end";
    }
    result.out = ReadFileText(out);
    result.err = ReadFileText(err);
    return result;
  }

 private:
  std::filesystem::path dir_;
  int runs_ = 0;
};

// The process id the sample program reports once it has written its report
// (0 when it never does).
inline int ReportedPid(const std::filesystem::path& report) {
  int pid = 0;
  WaitPatiently([&] {
    const std::string text = ReadFileText(report);
    const size_t p = text.find("\npid=");
    if (p == std::string::npos || text.find("\nexit_code=") == std::string::npos) return false;
    pid = std::atoi(&text[p + 5]);
    return true;
  });
  return pid;
}

}  // namespace vt::test
