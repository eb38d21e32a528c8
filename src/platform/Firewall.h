// A firewall of our own in place of the system's: its current profile, the
// switch that enables it, and the list of programs allowed through it.
//
// Store: the file "firewall.txt" in the folder named by the environment
// variable VT_FIREWALL_DIR, else $XDG_CONFIG_HOME/vontaro/firewall, else
// ~/.config/vontaro/firewall (the home folder from the user database when
// $HOME is unset). Without the folder no firewall is installed; a folder
// another user owns or can change is refused (E_ACCESSDENIED, with a
// message on standard error).
// Without the file the firewall is installed, enabled and allows nothing.
// The file holds the line "VTFW 1", the line "enabled=1" (or 0), then one line
// per allowed program, fields separated by tabs:
//   app <Name> <ProcessImageFileName> <RemoteAddresses> <Enabled 0|1> <Scope> <IpVersion>
// Programs are keyed by their image file name (compared without regard to
// ASCII case). Writers replace the file as a whole under a lock file, waiting
// for it a bounded time; readers take no lock.
//
// Calls answer an HRESULT (0 on success).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace vt::os {

constexpr HRESULT kSOk = 0;
constexpr HRESULT kEFail = static_cast<HRESULT>(0x80004005);
constexpr HRESULT kRegdbEClassNotReg = static_cast<HRESULT>(0x80040154);

struct FwAuthorizedApplication {
  std::string Name;
  std::string ProcessImageFileName;
  std::string RemoteAddresses;
  bool Enabled = true;
  std::int32_t Scope = 0;
  std::int32_t IpVersion = 0;
};

std::string FirewallDirectory();

// kRegdbEClassNotReg when no firewall is installed.
HRESULT FwCreateManager();
// The current profile's switch; kEFail for a store that cannot be read.
HRESULT FwGetFirewallEnabled(bool* enabled);
HRESULT FwGetAuthorizedApplications(std::vector<FwAuthorizedApplication>* applications);
// HResultFromWin32(kErrorFileNotFound) when no allowed program has that image.
HRESULT FwRemoveAuthorizedApplication(const std::string& process_image_file_name);

}  // namespace vt::os
