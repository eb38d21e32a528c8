// Handles and file names of loaded modules (the program and its libraries).
#pragma once

#include <string>

#include "platform/Modules.h"

namespace vt::os {

// The handle of a module already loaded in the process (found by the name it
// was loaded under or its file name); an empty name gives the program
// itself. nullptr with ERROR_MOD_NOT_FOUND when it is not loaded. The
// module's load count is left unchanged.
HMODULE GetModuleHandle(const std::string& name);

// Full path of a module's file; nullptr or the program's handle give the
// program's own file (/proc/self/exe). Empty with the last error set when
// it cannot be told (ERROR_MOD_NOT_FOUND for a handle that names no module).
std::string GetModuleFileName(HMODULE module);

}  // namespace vt::os
