// The bootstrapper's main block: unpacks the setup carried in the program's
// resources into a per-process folder, runs the inner Setup.exe and ends
// with its exit code (6 on any failure).
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/SelfCheck.h"

namespace vt {

// Runs once, after the unit initializations. Stores the exit code with
// SetProcessExitCode and also returns it.
int RunSetupBootstrap();

// One progress step: the progress window's bar, or a dot on the console.
void TickProgress();

// "Fatal Error: " + Message on the console, else a message box titled with
// the product caption and " Setup" ("Setup" without a caption); in the log
// either way.
void ReportFatalError(const std::string& message);

// What the user is told when the program's own file cannot serve the run.
std::string ProgramFileProblemText(const os::ProgramFileCheck& check);

// The open descriptors a run needs at least (the unit start-up holds many).
inline constexpr int kNeededOpenFiles = 64;

// Ends a run that failed: the progress window goes, the exit code becomes 6
// and the message is reported (a failing console changes nothing; without
// the memory to report it as usual, the text alone is written where a
// fault's message goes). Returns 6.
int EndWithFatalError(std::string_view message);

// Ends a run with a failure that was caught: its message, or for an
// allocation that failed the system's text for it. Returns 6.
int EndWithFatalError(const std::exception& failure);

// True once a run has ended because an allocation failed: what is left to
// finalize may need memory, so the program then ends at once.
bool EndedOutOfMemory();

}  // namespace vt
