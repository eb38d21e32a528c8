// A registry of our own: keys with typed values, kept in one text file per
// root key.
//
// Location: HKEY_LOCAL_MACHINE is the machine's store, one for every user:
// the folder /etc/vontaro/registry, read by every user and written by its
// owner (root) only; others get ERROR_ACCESS_DENIED when they open a key of
// it for writing or create one. The other roots are the user's own: the
// folder ~/.config/vontaro/registry, or $XDG_CONFIG_HOME/vontaro/registry
// (the home folder from the user database when $HOME is unset).
// VT_REGISTRY_DIR names a private registry holding every root (tests and
// unprivileged use); VT_MACHINE_REGISTRY_DIR names the machine's folder
// alone. Folders are checked before use (see FileStore.h): one that another
// user owns or can change is refused, and nothing is created in it.
// Files: HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER.reg, HKEY_CLASSES_ROOT.reg,
// HKEY_USERS.reg (the machine's mode 0644, the user's 0600). Each holds the line "VTREG 1", then per key a line
// "[path]" followed by its values:
//   "name"=dword:0000000c          integer
//   "name"="text"                  string (\\ and \" escaped, control characters as \xHH)
//   "name"=hex(<type>):01,ff,...   any other type (expandable string: 2, binary: 3)
// Value names are quoted like strings. Key names cannot hold control
// characters (error 161). Writers replace a file as a whole (temporary file
// + rename) under a lock file, waiting for it a bounded time (else
// ERROR_LOCK_VIOLATION); readers take no lock and never see half a file.
// Nothing is written that would not read back the same: a change that
// would make a hive file larger than 64 MiB, the most a reader takes, is
// refused with ERROR_NO_SYSTEM_RESOURCES (1450) and changes nothing. A hive file that is a link or
// not a regular file is refused (1921, 1920). Key and value names are
// compared without regard to ASCII case.
//
// Views: the system is reported 64-bit where the host is. The 32-bit view,
// which is the program's own (no view flag in the access), sees the keys
// below HKEY_LOCAL_MACHINE\SOFTWARE under SOFTWARE\Wow6432Node.
//
// Calls answer a Windows error code (0 on success) and set no last error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

using HKEY = std::uintptr_t;
constexpr HKEY kHkeyClassesRoot = 0x80000000u;
constexpr HKEY kHkeyCurrentUser = 0x80000001u;
constexpr HKEY kHkeyLocalMachine = 0x80000002u;
constexpr HKEY kHkeyUsers = 0x80000003u;

// Value types.
constexpr DWORD kRegNone = 0;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;

// Access rights.
constexpr DWORD kKeyQueryValue = 0x1;
constexpr DWORD kKeySetValue = 0x2;
constexpr DWORD kKeyCreateSubKey = 0x4;
constexpr DWORD kKeyEnumerateSubKeys = 0x8;
constexpr DWORD kKeyWow64_64Key = 0x100;
constexpr DWORD kKeyWow64_32Key = 0x200;
constexpr DWORD kKeyRead = 0x20019;
constexpr DWORD kKeyAllAccess = 0xF003F;

inline constexpr char kMachineRegistryFolder[] = "/etc/vontaro/registry";

// The user's roots, and HKEY_LOCAL_MACHINE's.
std::string RegistryDirectory();
std::string MachineRegistryDirectory();
// A folder of the user's own settings: $<OverrideVariable>, else
// $XDG_CONFIG_HOME/vontaro/<Name> (when absolute), else
// <home>/.config/vontaro/<Name> with $HOME, or without it the home folder of
// the user database; empty when there is none.
std::string ConfigDirectory(const char* override_variable, const char* name);

// True where the layer reports a 64-bit system (two registry views).
bool Is64BitSystem();

DWORD RegOpenKeyEx(HKEY parent, std::string_view sub_key, DWORD access, HKEY* result);
// Opens or creates the key and its missing parents.
DWORD RegCreateKeyEx(HKEY parent, std::string_view sub_key, DWORD access, HKEY* result, bool* created = nullptr);
DWORD RegCloseKey(HKEY key);
DWORD RegFlushKey(HKEY key);
// kErrorFileNotFound when the value does not exist.
DWORD RegQueryValueEx(HKEY key, std::string_view name, DWORD* type, std::vector<std::uint8_t>* data);
DWORD RegSetValueEx(HKEY key, std::string_view name, DWORD type, const void* data, std::size_t size);
DWORD RegDeleteValue(HKEY key, std::string_view name);
// Deletes a key without subkeys (kErrorAccessDenied when it has some).
DWORD RegDeleteKey(HKEY parent, std::string_view sub_key);

namespace testing {
// The largest hive file read or written (64 MiB unless set).
void SetMaxHiveFile(std::size_t bytes);
}  // namespace testing

}  // namespace vt::os
