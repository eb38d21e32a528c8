// A second process that holds a file open (and optionally owns a named
// mutex) until it is released or killed: vt_proc_child's "holdfile" mode,
// started with os::CreateProcess so that its process handle is at hand.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "platform/Process.h"
#include "support/Patience.h"
#include "support/TestFiles.h"

namespace vt::test {

class HoldingChild {
 public:
  // user_token: from os::CreateUserToken, to run the child as another user.
  HoldingChild(const std::string& path, std::uint32_t access, std::uint32_t share, const std::string& mutex = {},
               std::uintptr_t user_token = 0) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    std::string line = "\"" + ProgramBeside("vt_proc_child") + "\" holdfile \"" + path + "\" " +
                        std::to_string(access) + " " + std::to_string(share);
    if (!mutex.empty()) line += " \"" + mutex + "\"";
    os::StartupInfo si;
    si.flags = os::kStartfUseStdHandles;
    si.std_input = in[0];
    si.std_output = out[1];
    si.std_error = 2;
    started_ = os::CreateProcess({}, line, false, 0, nullptr, {}, si, &pi_, user_token);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string reply;
    char c;
    while (started_ && ::read(out[0], &c, 1) == 1 && c != '\n') reply += c;
    ::close(out[0]);
    std::istringstream words(reply);
    std::string word;
    words >> word;
    held_ = word == "held";
    if (held_)
      words >> file_ >> mutex_;
    else
      words >> error_;
  }
  ~HoldingChild() {
    Release();
    if (started_) {
      os::CloseHandle(pi_.process);
      os::CloseHandle(pi_.thread);
    }
  }
  HoldingChild(const HoldingChild&) = delete;
  HoldingChild& operator=(const HoldingChild&) = delete;

  bool held() const { return held_; }
  std::uint32_t error() const { return error_; }
  os::HANDLE process() const { return pi_.process; }
  // The child's handles, valid in the child.
  os::HANDLE file_handle() const { return static_cast<os::HANDLE>(file_); }
  os::HANDLE mutex_handle() const { return static_cast<os::HANDLE>(mutex_); }

  // Ends the child: normally (it returns without closing anything), or by
  // SIGKILL; returns once it has ended.
  void Release(bool kill = false) {
    if (stdin_ >= 0) {
      if (kill && started_) Signal(static_cast<pid_t>(pi_.process_id), SIGKILL);
      ::close(stdin_);
      stdin_ = -1;
      if (started_) os::WaitForProcess(pi_.process, os::kInfinite);
    }
  }

 private:
  bool started_ = false;
  os::ProcessInformation pi_;
  int stdin_ = -1;
  bool held_ = false;
  std::uint32_t error_ = 0;
  long long file_ = -1;
  long long mutex_ = 0;
};

}  // namespace vt::test
