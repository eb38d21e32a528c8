// Starting child processes from a command line, with options, optional
// redirection of the standard handles, and waiting for the exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"

namespace vt {

// Option bits of RunProcess, one 32-bit word.
using TRunProcessOptions = std::uint32_t;
enum : TRunProcessOptions {
  roHideWindow = 1u << 0,
  roMaximized = 1u << 1,
  roInheritHandles = 1u << 2,
  roNewConsole = 1u << 3,
  roNewProcessGroup = 1u << 4,
  roSuspended = 1u << 5,
  roNormalPriority = 1u << 9,
  roBelowNormalPriority = 1u << 10,
  roAboveNormalPriority = 1u << 11,
  roIdlePriority = 1u << 12,
  roHighPriority = 1u << 13,
  roRealtimePriority = 1u << 14,
  roCmdFallback = 1u << 16,
  roUseCmd = 1u << 17,
  roNoErrorDialogs = 1u << 18,
  roUnicodeEnvironment = 1u << 20,
  roPassStdHandlesToCrt = 1u << 21,
  roBreakawayFromJob = 1u << 28,
  roDetachedProcess = 1u << 29,
};

// Redirection of the child's standard handles (file handles).
struct TStdHandles {
  os::HANDLE Output;
  os::HANDLE Input;
  os::HANDLE Error;
};

// The started process: the caller owns both handles (close them with
// os::CloseHandle).
struct TProcessInformation {
  os::HANDLE hProcess;
  os::HANDLE hThread;
  std::uint32_t dwProcessId;
  std::uint32_t dwThreadId;
};

// Starts CommandLine (a Windows-style command line). With Wait, waits for the
// child (which is killed should this thread or the process end first) and
// returns its exit code (see platform/Process.h for the codes of a
// child ended by a signal); otherwise returns -1. A failed start raises
// EOSError "Failed to create process: <application>; <command line>: <system
// text> (<code>)"; a failed wait or exit-code query raises EOSError "Wait
// operation failed". With roSuspended the child runs once its thread handle
// is passed to os::ResumeChildThread; UserToken is a handle from
// os::CreateUserToken (0: this process's user).
int RunProcess(const std::string& CommandLine, bool Wait, TRunProcessOptions Options = 0,
               const std::string& CurrentDirectory = {}, TProcessInformation* ProcessInformation = nullptr,
               const void* Environment = nullptr, const TStdHandles* StdHandles = nullptr,
               os::HANDLE UserToken = 0, const std::string& ApplicationName = {},
               const std::string& Desktop = {});

// The runtime library's block of the three standard handles (input, output,
// error) that roPassStdHandlesToCrt hands the child: a 32-bit count 3, a flag
// byte per handle (0x89 a pipe, 0x81 a disk file, 0xC1 anything else and the
// invalid handle), then the handles as 32-bit words; 19 bytes.
std::vector<std::uint8_t> RuntimeHandleBlock(os::HANDLE input, os::HANDLE output, os::HANDLE error);

// The command interpreter used by roUseCmd and roCmdFallback: "cmd.exe" in
// the system folder.
std::string CommandInterpreterPath();

}  // namespace vt
