// Child processes, process and thread ids, the error mode and the process's
// own exit.
//
// Exit codes: a child's exit code is its exit status. Linux keeps only the
// low 8 bits of a status, so codes above 255 that a program passes to
// ExitProcess (or that the exit hook chooses) reach the parent modulo 256.
// A child ended by a signal reports kExitCodeSignalBase + the signal number
// (bit 31 set, as exception codes are), so a crash is never read as success.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/LastError.h"

namespace vt::os {

using ProcessHandle = HANDLE;  // 0: none

constexpr DWORD kStillActive = 259;
constexpr DWORD kExitCodeSignalBase = 0xC0000000u;

// Start-up record flags and show modes.
constexpr DWORD kStartfUseShowWindow = 0x1;
constexpr DWORD kStartfUseStdHandles = 0x100;
constexpr std::uint16_t kSwHide = 0;
constexpr std::uint16_t kSwShowMaximized = 3;

// Creation flags.
constexpr DWORD kCreateSuspended = 0x4;
constexpr DWORD kDetachedProcess = 0x8;
constexpr DWORD kCreateNewConsole = 0x10;
constexpr DWORD kNormalPriorityClass = 0x20;
constexpr DWORD kIdlePriorityClass = 0x40;
constexpr DWORD kHighPriorityClass = 0x80;
constexpr DWORD kRealtimePriorityClass = 0x100;
constexpr DWORD kCreateNewProcessGroup = 0x200;
constexpr DWORD kCreateUnicodeEnvironment = 0x400;
constexpr DWORD kBelowNormalPriorityClass = 0x4000;
constexpr DWORD kAboveNormalPriorityClass = 0x8000;
constexpr DWORD kCreateBreakawayFromJob = 0x1000000;

// Error-mode bits.
constexpr unsigned kSemFailCriticalErrors = 0x1;
constexpr unsigned kSemNoGpFaultErrorBox = 0x2;
constexpr unsigned kSemNoOpenFileErrorBox = 0x8000;

struct StartupInfo {
  DWORD flags = 0;
  std::uint16_t show_window = 0;
  std::string desktop;  // no desktops here: ignored
  // File descriptors for the child's standard input, output and error when
  // flags has kStartfUseStdHandles; a negative value gives the null device.
  std::intptr_t std_input = -1;
  std::intptr_t std_output = -1;
  std::intptr_t std_error = -1;
  // The runtime library's handle block (u32 count, count flag bytes, count
  // u32 handles, unaligned). Its first three entries, when their flag has
  // the open bit (kRuntimeHandleOpen) and their handle is an open
  // descriptor, become the child's standard input, output and error, over
  // the redirection above.
  std::vector<std::uint8_t> runtime_handles;
  // The child is killed when the thread that started it ends (the process's
  // death included): for children the caller waits for.
  bool end_with_parent = false;
};
inline constexpr std::uint8_t kRuntimeHandleOpen = 0x01;

struct ProcessInformation {
  ProcessHandle process = 0;
  ProcessHandle thread = 0;  // a second handle to the same child
  DWORD process_id = 0;
  DWORD thread_id = 0;  // the child's main thread, which has the process id
};

// Starts a program. command_line is a Windows-style command line; it is split
// by the runtime's argument rules into the child's arguments. The program is
// application_name when given, else the first argument (searched on PATH when
// it holds no '/'). A file starting with "MZ" runs only when it carries an
// embedded ELF program (platform/PeExec.h), else the start fails with 193.
// A program file counts by its content: an ELF file without the execute
// permission runs from an executable copy.
// The application "cmd.exe" (any folder, any case) is the command
// interpreter: "cmd /c <text>" runs <text> with /bin/sh -c.
// A new console that is hidden, or a detached process, gets the null device as
// standard handles unless they are given. The inherit flag false closes every
// descriptor above 2 in the child.
// kCreateSuspended: the child exists (ids and handles are returned) but waits
// before running the program until ResumeChildThread; a child whose handles
// are all closed without that ends with 127.
// Priority classes (the first of realtime, high, above normal, idle, below
// normal, normal that is set): realtime is the round-robin policy at its
// lowest priority, and without the privilege for it falls back to high, as
// there; idle is the idle policy; the others are the ordinary policy with
// nice values -10, -5, 10 and 0 (normal is set even when this process runs
// otherwise). A nice value below this process's own that the user may not
// take leaves this process's; without a class the child inherits both.
// user_token: a handle from CreateUserToken; the child runs with its user,
// group and supplementary groups (error 1314 when the process may not take
// them).
// environment: a block of "name=value" strings each ended by NUL and the block
// by a second NUL (UTF-16 with kCreateUnicodeEnvironment), or null. Either
// way the child also gets its command line in kCommandLineVariable
// (platform/CommandLine.h, GetCommandLine).
// A command line of kMaxCommandLine characters or more (UTF-16 units, as
// there; the limit counts the terminating NUL) fails with
// kErrorFilenameExcedRange (206). Start failures give the Windows error that
// says the same as the system's (a process limit that stops fork:
// kErrorNoProcSlots, 89).
// Returns false with the last error set on failure.
bool CreateProcess(const std::string& application_name, const std::string& command_line, bool inherit_handles,
                   DWORD creation_flags, const void* environment, const std::string& current_directory,
                   const StartupInfo& startup, ProcessInformation* info, std::uintptr_t user_token = 0);

// Lets a child started with kCreateSuspended run (thread is its thread or
// process handle). Answers the previous suspend count: 1, then 0; 0xFFFFFFFF
// with error 6 for a handle that is not a child's.
DWORD ResumeChildThread(ProcessHandle thread);

// A token naming a user: user id, group id and supplementary groups. One
// for another identity than the process's own (or a group it is not in)
// needs the privilege to change identities (CAP_SETUID and CAP_SETGID); 0
// with error 1314 without it. Closed with CloseHandle.
HANDLE CreateUserToken(DWORD uid, DWORD gid, const std::vector<DWORD>& groups);

// Copies a handle of a child process (source_process, a process handle from
// CreateProcess; the child must still run) into this process: a descriptor
// through the child's process descriptor (pidfd_getfd, which needs the
// right to trace the child: the same user, or privilege), a named event,
// mutex or section by opening the name the child publishes for that handle.
// The child's unnamed objects and process handles cannot be copied (error
// 6, as for a handle the child does not have); nor can the named objects of
// a child that does not run as this process's user, in this process's user
// namespace (error 5): names are private to their user.
bool DuplicateFromProcess(ProcessHandle source_process, HANDLE handle, HANDLE* target, bool inherit);

inline constexpr std::size_t kMaxCommandLine = 32767;
// The length of a command line as the limit counts it.
std::size_t CommandLineLength(const std::string& command_line);

// Process and thread handles are handles of the platform table: they close
// with CloseHandle and are waitable (signalled when the child has ended).

// kWaitObject0 when the child has ended, kWaitTimeout, or kWaitFailed (last
// error set). timeout_ms kInfinite waits without limit.
DWORD WaitForProcess(ProcessHandle process, DWORD timeout_ms);

// kStillActive while the child runs. False with the last error on failure.
bool GetExitCodeProcess(ProcessHandle process, DWORD* code);
DWORD GetProcessId(ProcessHandle process);

DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();

// The process error mode (kept for the children's start; no dialogs exist
// here). Returns the previous mode.
unsigned SetErrorMode(unsigned mode);
unsigned GetErrorMode();

// Termination requests: SIGHUP, SIGINT, SIGQUIT, SIGTERM, and the other
// signals that end a process unless caught and that this program never
// raises itself (SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU; SIGPIPE and SIGXFSZ are
// write errors here). Once caught they no longer end the process: each is
// recorded, and a wait for a child (WaitForProcess, with or without
// time-out) acts on the requests that arrive before or during it as the
// policy says.
enum class TerminationPolicy {
  kStopChild,       // the child is killed; the wait returns once it has ended
  kForwardToChild,  // each request is sent on to the child; the wait goes on
};
// Catches the requests (from the first call on) and sets the policy; a
// signal the program was started with ignored (nohup) stays ignored. False
// with the last error when the handlers cannot be installed.
bool CatchTerminationRequests(TerminationPolicy policy);
// The signal number of the first request caught, 0 while none was.
int TerminationRequest();
// A fault signal that another process sent (kill -SEGV) is no fault: once
// requests are caught it is recorded as one of them (true); false while
// they are not. Async-signal-safe.
bool RecordSentSignalAsRequest(int signal) noexcept;

// Writes to a pipe without a reader fail with an error (as there) instead of
// ending the process with a signal. Children start with every signal at its
// default, except those the program was started with ignored and still
// ignores: they stay ignored.
void IgnoreBrokenPipeSignal();

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no file opened later takes a standard descriptor. Called first thing at
// start-up.
void EnsureStandardHandles();

// Ends the process with code (the low 8 bits on Linux). When an exit hook is
// set, it is removed first and chooses the code from the requested one.
[[noreturn]] void ExitProcess(DWORD code);

// The exit hook: consulted once by ExitProcess, or, when the process ends
// through exit() or a return from main, by a handler that then ends the
// process at once with the chosen code (handlers registered before the first
// SetExitHook call do not run then). Null removes the hook.
using ExitHook = DWORD (*)(DWORD requested);
void SetExitHook(ExitHook hook);
ExitHook GetExitHook();

}  // namespace vt::os
