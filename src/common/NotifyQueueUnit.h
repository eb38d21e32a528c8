// Start-up of the main thread's notification queue and the runtime's console
// flag, apart from the queue's types so that a program's start-up code needs
// no more than this.
#pragma once

#include "common/Units.h"

namespace vt {

// The runtime's console flag: a console program sets it before the units
// start, and its queue then stays in mode 0.
void SetConsoleProgram(bool console);
bool IsConsoleProgram();

// Creates the queue, attaches it to the initializing thread and, unless the
// program is a console program, switches it to window mode.
extern const UnitEntry kNotifyQueueUnit;

// Shutdown of the unit's queue before the log closes: it stops serving and
// reports the notifications it leaves undelivered; the unit's finalization
// frees it later. Nothing when there is no queue.
void ShutDownMainNotifyQueue();

}  // namespace vt
