// Resources of a module: found, sized, loaded and locked in place.
//
// On this system a program's resources are appended to its file by the
// packaging tool (tools/vtpack; layout in ResourceFormat.h). The program's
// file is mapped read-only once, on first use, and stays mapped; the
// resource calls hand out pointers into that mapping, never copies.
//
// Modules: nullptr or the program's own handle (GetModuleHandle("")) stand
// for the running program; LoadResourceModule maps any other file the same
// way (as a data file).
//
// The program's executable header: the packaging tool stores a PE32 header
// image as resource (type rsrc::kTypeImageHeader = 0x5654, identifier
// rsrc::kImageHeaderId = 1) with the subsystem the program was packaged as
// (2 windowed, 3 console). GetModuleImage hands out its address, aligned to
// 16 bytes, for the executable-image explorer.
//
// Errors (last error): kErrorResourceDataNotFound (1812) when the module
// carries no resources, kErrorResourceTypeNotFound (1813) when no resource
// has the type, kErrorResourceNameNotFound (1814) when none of the type has
// the name, kErrorInvalidHandle for an unknown module or resource handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/LastError.h"
#include "platform/Modules.h"
#include "platform/ResourceFormat.h"

namespace vt::os {

// A resource's (or resource type's) identifier below 65536, or its name
// (names compare ignoring case; "#123" is the identifier 123).
class ResId {
 public:
  ResId(int id) : key_(rsrc::IdKey(static_cast<std::uint32_t>(id) & 0xFFFF)) {}
  ResId(const char* name) : key_(rsrc::TextKey(name ? name : "")) {}
  ResId(const std::string& name) : key_(rsrc::TextKey(name)) {}
  const std::string& Key() const { return key_; }

 private:
  std::string key_;
};

inline constexpr int kRtRcData = rsrc::kTypeRcData;
inline constexpr int kRtManifest = rsrc::kTypeManifest;

using HRSRC = const void*;
using HGLOBAL = const void*;

// Maps a file read-only as a resource module. nullptr with the last error
// (kErrorFileNotFound, kErrorAccessDenied, ...) when it cannot be mapped; a
// file without resources is a module whose look-ups fail with 1812.
HMODULE LoadResourceModule(const std::string& file_name);
bool FreeResourceModule(HMODULE module);

HRSRC FindResource(HMODULE module, const ResId& name, const ResId& type);
// The resource's size in bytes; 0 with the last error for a bad handle.
DWORD SizeofResource(HMODULE module, HRSRC resource);
// The resource's data handle (its address in the mapping).
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
// The first byte of the resource's data, in place.
const void* LockResource(HGLOBAL data);
// Lets go of the memory that the whole pages of the running program's
// resource data in [Address, Address + Size) occupy; they are read from the program file again when
// next touched. Copies of large resources so keep memory flat.
void ReleaseResourcePages(const void* address, std::size_t size);

// The module's executable header image (see above) and its size; nullptr
// with the last error when the module carries none.
const void* GetModuleImage(HMODULE module, std::size_t* size = nullptr);

}  // namespace vt::os
