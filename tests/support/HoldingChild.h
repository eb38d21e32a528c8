// A second process that holds a file open (and optionally owns a named
// mutex) until it is released or killed: vt_proc_child's "holdfile" mode.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestFiles.h"

extern char** environ;

namespace vt::test {

class HoldingChild {
 public:
  HoldingChild(const std::string& path, std::uint32_t access, std::uint32_t share, const std::string& mutex = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> args = {ProgramBeside("vt_proc_child"), "holdfile", path, std::to_string(access),
                                     std::to_string(share)};
    if (!mutex.empty()) args.push_back(mutex);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    std::istringstream words(line);
    std::string word;
    words >> word;
    held_ = word == "held";
    if (held_)
      words >> file_ >> mutex_;
    else
      words >> error_;
  }
  ~HoldingChild() { Release(); }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  bool held() const { return held_; }
  std::uint32_t error() const { return error_; }
  int pid() const { return pid_; }
  long long file_handle() const { return file_; }
  long long mutex_handle() const { return mutex_; }

  // Ends the child: normally, or by SIGKILL; returns once it has ended.
  void Release(bool kill = false) {
    if (stdin_ >= 0) {
      if (kill && pid_ > 0) ::kill(pid_, SIGKILL);
      ::close(stdin_);
      stdin_ = -1;
    }
    if (pid_ > 0) {
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  bool held_ = false;
  std::uint32_t error_ = 0;
  long long file_ = -1;
  long long mutex_ = 0;
};

}  // namespace vt::test
