// Export table of the run-time loaded compression libraries. Entry-point
// names with '@' (the stdcall decoration the loader asks for first) cannot be
// ELF symbol names, so each library also lists its entry points, decorated
// and plain, in the table "VtExportTable", which vt::os::GetProcAddress
// searches when a name is not an exported symbol.
#pragma once

struct VtExportEntry {
  const char* name;   // nullptr ends the table
  void* address;
};

#define VT_EXPORT_FN(fn) reinterpret_cast<void*>(&fn)
