// The firewall as the setup sees it: one process-wide instance over the
// current profile, the list of allowed programs and their removal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Objects.h"
#include "common/SysUtils.h"
#include "common/Units.h"
#include "platform/Firewall.h"

namespace vt {

// One allowed program (the class name is spelled so).
class TAuhtorizedApp {
 public:
  TAuhtorizedApp(std::string name, std::string remote_addresses, std::string process_image_file_name, bool enabled,
                 std::uint8_t scope, std::uint8_t ip_version);
  std::string Name;
  std::string RemoteAddresses;
  std::string ProcessImageFileName;
  bool Enabled;
  std::uint8_t IpVersion;  // 0 to 3
  std::uint8_t Scope;      // 0 to 3
};
using TAuhtorizedAppList = std::vector<std::unique_ptr<TAuhtorizedApp>>;

class TFirewall {
 public:
  // Raises "Cannot create firewall object. Instance already exists." while
  // the process-wide instance exists. With initialize_com: initialises the
  // thread's component objects and creates the manager; no firewall leaves
  // Installed false, a failing call on the way raises the OLE error.
  explicit TFirewall(bool initialize_com);
  ~TFirewall();
  TFirewall(const TFirewall&) = delete;
  TFirewall& operator=(const TFirewall&) = delete;

  // Each raises "Cannot complete operation: Firewall is not installed"
  // unless Installed.
  void RemoveAuthorizedApplication(const std::string& image_file_name);
  // Raises "Unknown Scope type" / "Unknown Firewall IP Versio" for values
  // outside 0..3.
  TAuhtorizedAppList GetAuthorizedApplications();
  // Removes every allowed program whose name equals name, ignoring the case
  // of ASCII letters, in one change of the firewall; another program's entry
  // with the same image stays.
  void RemoveApplicationsByName(const std::string& name);

  // The manager and its current profile; null without a firewall.
  os::ComPtr<os::INetFwMgr> Manager;
  os::ComPtr<os::INetFwProfile> Profile;
  bool Installed = false;
  bool Enabled = false;
  bool ComInitialized = false;

 private:
  void Release();
  // The current profile's allowed programs; raises unless Installed.
  os::ComPtr<os::INetFwAuthorizedApplications> Applications();
};

// The process-wide instance, created on first call.
TFirewall* GetFirewall();
void FreeFirewall();

// Frees the instance at shutdown.
extern const UnitEntry kNetFwUnit;

}  // namespace vt
