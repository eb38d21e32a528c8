// Operating-system threads with Windows-shaped behaviour: creation (also
// suspended), suspend and resume with a suspend count, the hard end of the
// calling thread, waiting for the end, exit code, thread ids.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/LastError.h"
#include "platform/Process.h"  // GetCurrentThreadId

namespace vt::os {

// Opaque thread handle; null when creation failed.
struct ThreadRecord;
using ThreadHandle = ThreadRecord*;

using ThreadProc = DWORD (*)(void* param);


// Starts Proc(Param) on a new thread. Flags: kCreateSuspended (the thread
// runs nothing of Proc until ResumeThread); other bits are accepted and
// ignored. StackSize 0 means the default. On failure: null, and the last
// error is set.
ThreadHandle CreateThread(std::size_t stack_size, ThreadProc proc, void* param, DWORD flags,
                          DWORD* thread_id);

// Lowers the suspend count; the thread runs (again) when it reaches 0.
// Answers the previous count, or 0xFFFFFFFF (last error set) for a null
// handle.
DWORD ResumeThread(ThreadHandle thread);

// Keeps *Flag equal to "the suspend count is above 0", changed together with
// the count (under the thread's own lock), until the handle is closed; set
// at once. Null stops it.
void TrackSuspendCount(ThreadHandle thread, std::atomic<bool>* flag);

// Raises the suspend count and answers the previous one. A running thread
// is stopped before this returns: it is sent the suspend signal (SIGRTMIN+4)
// and waits in its handler until the count is back at 0; a thread that
// suspends itself waits right here. Every other signal is held back while a
// thread is stopped; a system call it was in is restarted or returns EINTR,
// as the call does for any signal handler. A thread inside one of these
// calls stops when the call has let go of the thread records it holds.
// A thread whose procedure has ended: 0xFFFFFFFF, ERROR_ACCESS_DENIED. When
// the program has its own disposition for the signal (at once), or the
// thread has not stopped after 5 seconds (it blocks the signal: sigwait, a
// signal handler): 0xFFFFFFFF, ERROR_SIGNAL_REFUSED, count unchanged.
DWORD SuspendThread(ThreadHandle thread);

// Ends the calling thread at once with ExitCode when the handle is its own:
// the procedure's frames are left without unwinding (no destructors, no
// catch blocks run) and the thread ends as if its procedure had returned
// ExitCode, so waits and the exit code see it. Does not return then. Another
// thread cannot be ended from outside here: false, ERROR_NOT_SUPPORTED.
bool TerminateThread(ThreadHandle thread, DWORD exit_code);

// Waits until the thread's procedure has ended: kWaitObject0, or
// kWaitTimeout; kWaitFailed (last error set) for a null handle.
DWORD WaitForThread(ThreadHandle thread, DWORD timeout_ms);

// The exit code, or kStillActive while the thread runs or has not started.
bool GetExitCodeThread(ThreadHandle thread, DWORD* exit_code);

DWORD GetThreadId(ThreadHandle thread);

// Releases the handle. A finished thread is joined; a running one goes on
// by itself (a suspended one stays stopped); one that never started is
// discarded without running.
void CloseThreadHandle(ThreadHandle thread);

}  // namespace vt::os
