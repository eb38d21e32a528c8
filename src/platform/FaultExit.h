// What a program may still do once a fault has struck: system calls only,
// safe in a signal handler.
#pragma once

#include <cstddef>

namespace vt::os {

// Sends every child process that the main thread started and that still
// runs a stop signal (SIGSTOP: it holds still, and a wait for it does not
// end) or a kill signal (SIGKILL).
enum class ChildSignal { kStop, kKill };
void SignalChildProcesses(ChildSignal signal) noexcept;

// Writes all of text to descriptor fd (1 standard output, 2 standard error),
// ignoring failures. A non-blocking descriptor that is full is waited for.
void WriteAllRaw(int fd, const char* text, std::size_t size) noexcept;

// Waits until a write to fd can go on (after EAGAIN from a descriptor that
// another program left non-blocking); false when the wait itself fails.
bool WaitUntilWritable(int fd) noexcept;

// Ends the process at once with code; nothing else runs.
[[noreturn]] void ExitNow(int code) noexcept;

}  // namespace vt::os
