#include "common/ProcessRunner.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/Objects.h"
#include "common/ObjectsFiles.h"
#include "platform/CommandLine.h"
#include "platform/LastError.h"
#include "platform/Process.h"

namespace vt {

namespace {

struct Attempt {
  bool created = false;
  bool called = false;
  std::uint32_t error = 0;
  std::string text;
  std::string program;  // the file started, for the system text's insert
};

void ClearInformation(os::ProcessInformation& pi) {
  if (pi.process) os::CloseHandle(pi.process);
  if (pi.thread) os::CloseHandle(pi.thread);
  pi = {};
}

std::uint32_t CreationFlags(TRunProcessOptions o) {
  std::uint32_t f = 0;
  if (o & roSuspended) f |= os::kCreateSuspended;
  if (o & roNewConsole) f |= os::kCreateNewConsole;
  if (o & roNewProcessGroup) f |= os::kCreateNewProcessGroup;
  if (o & roUnicodeEnvironment) f |= os::kCreateUnicodeEnvironment;
  if (o & roBreakawayFromJob) f |= os::kCreateBreakawayFromJob;
  if (o & roDetachedProcess) f |= os::kDetachedProcess;
  if (o & roNormalPriority) f |= os::kNormalPriorityClass;
  if (o & roBelowNormalPriority) f |= os::kBelowNormalPriorityClass;
  if (o & roAboveNormalPriority) f |= os::kAboveNormalPriorityClass;
  if (o & roIdlePriority) f |= os::kIdlePriorityClass;
  if (o & roHighPriority) f |= os::kHighPriorityClass;
  if (o & roRealtimePriority) f |= os::kRealtimePriorityClass;
  return f;
}

// Restores the error mode on every way out.
class ErrorModeGuard {
 public:
  explicit ErrorModeGuard(bool active) : active_(active) {
    if (active_) saved_ = os::SetErrorMode(os::kSemFailCriticalErrors | os::kSemNoGpFaultErrorBox |
                                           os::kSemNoOpenFileErrorBox);
  }
  ~ErrorModeGuard() {
    if (active_) os::SetErrorMode(saved_);
  }
  ErrorModeGuard(const ErrorModeGuard&) = delete;
  ErrorModeGuard& operator=(const ErrorModeGuard&) = delete;

 private:
  bool active_;
  unsigned saved_ = 0;
};

}  // namespace

std::vector<std::uint8_t> RuntimeHandleBlock(os::HANDLE input, os::HANDLE output, os::HANDLE error) {
  const os::HANDLE handles[3] = {input, output, error};
  std::vector<std::uint8_t> block(4 + 3 + 3 * 4, 0);
  block[0] = 3;
  for (std::size_t i = 0; i < 3; ++i) {
    const os::DWORD type = handles[i] == os::kInvalidHandleValue ? os::kFileTypeUnknown : os::GetFileType(handles[i]);
    block[4 + i] = type == os::kFileTypePipe ? 0x89 : type == os::kFileTypeDisk ? 0x81 : 0xC1;
    const auto word = static_cast<std::uint32_t>(handles[i]);
    std::memcpy(block.data() + 7 + 4 * i, &word, 4);
  }
  return block;
}

std::string CommandInterpreterPath() { return ExpandPath(GetSystemDir(), "cmd.exe"); }

int RunProcess(const std::string& CommandLine, bool Wait, TRunProcessOptions Options,
               const std::string& CurrentDirectory, TProcessInformation* ProcessInformation,
               const void* Environment, const TStdHandles* StdHandles, os::HANDLE UserToken,
               const std::string& ApplicationName, const std::string& Desktop) {
  os::StartupInfo si;
  si.desktop = Desktop;
  si.end_with_parent = Wait;
  int exit_code = -1;
  if (Options & (roHideWindow | roMaximized)) {
    si.flags |= os::kStartfUseShowWindow;
    if (Options & roHideWindow) si.show_window = os::kSwHide;
    if (Options & roMaximized) si.show_window = os::kSwShowMaximized;
  }
  if (StdHandles) {
    si.flags |= os::kStartfUseStdHandles;
    si.std_output = StdHandles->Output;
    si.std_input = StdHandles->Input;
    si.std_error = StdHandles->Error;
  }
  const std::uint32_t flags = CreationFlags(Options);
  if (Options & roPassStdHandlesToCrt) {
    if (si.flags & os::kStartfUseStdHandles)
      si.runtime_handles = RuntimeHandleBlock(si.std_input, si.std_output, si.std_error);
    else
      si.runtime_handles = RuntimeHandleBlock(os::GetStdHandle(os::kStdInputHandle),
                                              os::GetStdHandle(os::kStdOutputHandle),
                                              os::GetStdHandle(os::kStdErrorHandle));
  }

  os::ProcessInformation pi;
  Attempt last;
  {
    ErrorModeGuard error_mode((Options & roNoErrorDialogs) != 0);
    auto attempt = [&](const std::string& application, std::string command_line) {
      if (application.empty() && command_line.empty()) command_line = " ";
      Attempt a;
      a.called = true;
      a.created = os::CreateProcess(application, command_line, (Options & roInheritHandles) != 0, flags,
                                    Environment, CurrentDirectory, si, &pi,
                                    static_cast<std::uintptr_t>(UserToken));
      a.error = a.created ? 0 : os::GetLastError();
      if (!a.created) {
        const std::vector<std::string> args = os::CommandLineToArgs(command_line);
        a.program = !application.empty() ? application : args.empty() ? std::string() : args[0];
      }
      a.text = "Failed to create process: ";
      a.text.append(application).append("; ");
      const std::size_t length = os::CommandLineLength(command_line);
      if (!a.created && a.error == os::kErrorFilenameExcedRange && length >= os::kMaxCommandLine) {
        // The line itself would bury the reason: its start, then why.
        a.text.append(command_line.substr(0, 200))
            .append("... (the command line is too long: ")
            .append(std::to_string(length))
            .append(" characters, at most ")
            .append(std::to_string(os::kMaxCommandLine - 1))
            .append(")");
      } else {
        a.text.append(command_line);
      }
      if (!a.created) ClearInformation(pi);
      last = a;
    };
    if (!(Options & roUseCmd)) attempt(ApplicationName, CommandLine);
    if (!last.created && (Options & (roUseCmd | roCmdFallback)))
    {
      std::string line = "cmd /c ";
      line.append(QuoteAlways(CommandLine));
      attempt(CommandInterpreterPath(), line);
    }
  }
  if (!last.created) {
    if (last.called) throw EOSError(OSErrorText(last.text, {}, last.error, last.program), last.error);
    throw Exception("CreateProcess was not called");
  }

  if (Wait) {
    std::uint32_t code = 0;
    if (os::WaitForProcess(pi.process, os::kInfinite) != os::kWaitObject0 ||
        !os::GetExitCodeProcess(pi.process, &code)) {
      std::uint32_t error = os::GetLastError();
      ClearInformation(pi);
      RaiseOSErrorCode("Wait operation failed", error);
    }
    exit_code = static_cast<int>(code);
  }

  if (ProcessInformation) {
    ProcessInformation->hProcess = pi.process;
    ProcessInformation->hThread = pi.thread;
    ProcessInformation->dwProcessId = pi.process_id;
    ProcessInformation->dwThreadId = pi.thread_id;
  } else {
    ClearInformation(pi);
  }
  return exit_code;
}

}  // namespace vt
