// Run-time loaded libraries: load, look up entry points, free, and where the
// program's own file lies.
//
// Entry-point names that an ELF symbol cannot carry (stdcall-decorated names
// such as "_qlz_compress@12") are found through the library's export table:
// an array of {name, address} pairs ending with a null name, exported under
// the symbol "VtExportTable". GetProcAddress looks there when the name is not
// an exported symbol.
#pragma once

#include <string>

namespace vt::os {

using HMODULE = void*;

// Loads a shared library by path. On failure answers nullptr and sets the
// last error: kErrorModNotFound when the file is missing, else
// kErrorBadExeFormat.
HMODULE LoadLibrary(const std::string& file_name);

// Address of an entry point, or nullptr with last error kErrorProcNotFound.
void* GetProcAddress(HMODULE module, const std::string& name);

bool FreeLibrary(HMODULE module);

// Full path of the running program's file ("" if it cannot be read).
std::string GetProgramFileName();

// Searches the library search path (LD_LIBRARY_PATH, then the system's
// library folders) for a file of that name. Answers its full path, or "".
std::string SearchLibraryPath(const std::string& file_name);

}  // namespace vt::os
