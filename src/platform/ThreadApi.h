// Operating-system threads with Windows-shaped behaviour: creation (also
// suspended), resume, waiting for the end, exit code, thread ids.
#pragma once

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
// waits for ResumeThread); other bits are accepted and ignored. StackSize 0
// means the default. On failure: null, and the last error is set.
ThreadHandle CreateThread(std::size_t stack_size, ThreadProc proc, void* param, DWORD flags,
                          DWORD* thread_id);

// Lowers the suspend count; the thread starts when it reaches 0. Answers the
// previous count, or 0xFFFFFFFF (last error set) for a null handle.
DWORD ResumeThread(ThreadHandle thread);

// Raises the suspend count of a thread that has not started yet. A running
// thread cannot be stopped from outside here: 0xFFFFFFFF, ERROR_NOT_SUPPORTED.
DWORD SuspendThread(ThreadHandle thread);

// Waits until the thread's procedure has returned: kWaitObject0, or
// kWaitTimeout; kWaitFailed (last error set) for a null handle.
DWORD WaitForThread(ThreadHandle thread, DWORD timeout_ms);

// The exit code, or kStillActive while the thread runs or has not started.
bool GetExitCodeThread(ThreadHandle thread, DWORD* exit_code);

DWORD GetThreadId(ThreadHandle thread);

// Releases the handle. A finished thread is joined; a running one goes on
// by itself; one that never started is discarded without running.
void CloseThreadHandle(ThreadHandle thread);

}  // namespace vt::os
