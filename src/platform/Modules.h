// Run-time loaded libraries: load, look up entry points, free, and where the
// program's own file lies.
//
// Entry-point names that an ELF symbol cannot carry (stdcall-decorated names
// such as "_qlz_compress@12") are found through the library's export table:
// an array of {name, address} pairs ending with a null name, exported under
// the symbol "VtExportTable". GetProcAddress looks there when the name is not
// an exported symbol.
//
// Some system libraries that programs look for by name are built into this
// layer: LoadLibrary gives them a handle of their own, with the entry points
// the platform has ("msimg32.dll": TransparentBlt); entry points it lacks
// are not found. They are found by their bare name, with or without ".dll",
// in any case; GetModuleHandle finds them while loaded.
#pragma once

#include <string>

namespace vt::os {

using HMODULE = void*;

// Loads a shared library by path. On failure answers nullptr and sets the
// last error: kErrorModNotFound when the file is missing, else
// kErrorBadExeFormat.
HMODULE LoadLibrary(const std::string& file_name);

// Address of an entry point, or nullptr with last error kErrorProcNotFound
// (kErrorModNotFound for a handle that names no module).
void* GetProcAddress(HMODULE module, const std::string& name);

bool FreeLibrary(HMODULE module);

// The built-in library of that name, loaded or not; nullptr when there is
// none. IsBuiltinModule tells a built-in library's handle.
HMODULE FindBuiltinModule(const std::string& file_name);
bool IsBuiltinModule(HMODULE module);
// How often the built-in library is loaded (0 when not).
int BuiltinModuleLoadCount(HMODULE module);

// Whether a handle names a module: a built-in library, or an object the
// dynamic loader has loaded now (the program, its libraries, those
// LoadLibrary loaded). The module calls answer anything else with an error.
bool IsLoadedModule(HMODULE module);

// Full path of the running program's file ("" if it cannot be read).
std::string GetProgramFileName();

// Searches the library search path (LD_LIBRARY_PATH, then the system's
// library folders) for a file of that name. Answers its full path, or "".
std::string SearchLibraryPath(const std::string& file_name);

}  // namespace vt::os
