// The process's context: environment variables, the user's and the
// computer's names, the window station and the system folders.
#pragma once

#include <string>

#include "platform/LastError.h"

namespace vt::os {

// Environment variables, in the Windows calling shape: with a buffer too
// small for the value and its terminating zero the result is the size
// needed (terminator included); otherwise the value's length. 0 with error
// 203 when the variable is missing.
DWORD GetEnvironmentVariable(const std::string& name, char* buffer, DWORD size);
// A null Value removes the variable.
bool SetEnvironmentVariable(const std::string& name, const char* value);
// Replaces each %NAME% by the variable's value; unknown names stay as they are.
std::string ExpandEnvironmentStrings(const std::string& text);

// The effective user's login name; empty with an error when unknown.
std::string GetUserName();
// The host's name as the system knows it.
std::string GetComputerName();
// The name of the process's window station. Every process here runs in the
// one interactive station, "WinSta0".
bool GetProcessWindowStationName(std::string* name);

// The system's folders, without a trailing '/': the Windows folder is the
// root "/", the system folder "/bin", which holds the command interpreter.
std::string GetWindowsDirectory();
std::string GetSystemDirectory();

// The variable's value into *Value; false (Value untouched) when missing.
bool ReadEnvironmentVariable(const std::string& name, std::string* value);

namespace detail {
// Reads the time zone (TZ) once, under the environment's lock: the local
// time conversions read it on their first use otherwise. Not called with
// another of the layer's fork-held locks held.
void LoadTimeZone();
}  // namespace detail

}  // namespace vt::os
