// Display names of the requests and notifications of a process running in
// the virtual environment.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vt {

enum class TVERequestKind : std::uint8_t {
  FileSync,
  DirectorySync,
  RegistryKeySync,
  RegistrySubkeysSync,
  MemoryReservation,
  Exception,
  MissingAssembly,
  WaitRequest,
  CryptUnprotectData,
  MissingDirect3DDll,
  OSBitnessMismatch,
  AssemblyDependenciesSync,
  StartMspdbsrv,
  BuildCacheInputsFile,
  BuildCacheOutputsFile,
};

inline constexpr std::array<std::string_view, 15> VERequestKindTexts = {
    "File Synchronization",
    "Directory Synchronization",
    "Registry Key Synchronization",
    "Registry Subkeys Synchronization",
    "Memory Reservation Requirement",
    "Exception",
    "Missing Assembly",
    "Wait Request",
    "CryptUnprotectData",
    "Missing Direct3D DLL Notification",
    "OS Bitness Mismatch Notification",
    "Assembly Dependencies Synchronization",
    "Start mspdbsrv process",
    "Build Cache Inputs File",
    "Build Cache Outputs File",
};

}  // namespace vt
