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
// Programs are keyed by their image file name, compared byte for byte (a
// file name is bytes, case counts). Through the component objects an image
// file name passes as UTF-16 that gives back every byte (FileNameToUtf16).
// Writers replace the file as a whole under a lock file, waiting for it a
// bounded time; readers take no lock.
//
// Calls answer an HRESULT (0 on success). The same firewall is the system
// class CLSID_NetFwMgr of the component objects (Com.h): its manager hands
// out the local policy, its current profile and the allowed programs; each
// allowed program answers its properties by name ("Name",
// "ProcessImageFileName", "RemoteAddresses", "Enabled", "Scope",
// "IpVersion"). Without the store's folder the class does not exist.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/Com.h"
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
// Removes every allowed program whose name and image file name are both
// those of one of entries (byte for byte; their other fields do not count),
// in one rewrite of the store and none when nothing matches. kSOk also when
// nothing matched: what is gone already need not go.
HRESULT FwRemoveAuthorizedApplications(const std::vector<FwAuthorizedApplication>& entries);

// ---- The firewall as component objects ----

extern const GUID CLSID_NetFwMgr;  // "HNetCfg.FwMgr"
extern const GUID IID_INetFwMgr;
extern const GUID IID_INetFwPolicy;
extern const GUID IID_INetFwProfile;
extern const GUID IID_INetFwAuthorizedApplications;

using VARIANT_BOOL = std::int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

class INetFwAuthorizedApplications : public IDispatch {
 public:
  virtual HRESULT Remove(const std::u16string& process_image_file_name) = 0;
  // Removes, all at once, the allowed programs that have both the name and
  // the image file name of one of the pairs.
  virtual HRESULT RemoveNamed(const std::vector<std::pair<std::u16string, std::u16string>>& names_and_images) = 0;
  // An IEnumVARIANT over the allowed programs, each an IDispatch.
  virtual HRESULT get__NewEnum(IUnknown** enumerator) = 0;

 protected:
  ~INetFwAuthorizedApplications() = default;
};

class INetFwProfile : public IDispatch {
 public:
  virtual HRESULT get_FirewallEnabled(VARIANT_BOOL* enabled) = 0;
  virtual HRESULT get_AuthorizedApplications(INetFwAuthorizedApplications** applications) = 0;

 protected:
  ~INetFwProfile() = default;
};

class INetFwPolicy : public IDispatch {
 public:
  virtual HRESULT get_CurrentProfile(INetFwProfile** profile) = 0;

 protected:
  ~INetFwPolicy() = default;
};

class INetFwMgr : public IDispatch {
 public:
  virtual HRESULT get_LocalPolicy(INetFwPolicy** policy) = 0;

 protected:
  ~INetFwMgr() = default;
};

// Whether the class exists (the store's folder does), and its factory.
bool FirewallInstalled();
HRESULT CreateFirewallManager(const GUID& iid, void** object);

}  // namespace vt::os
