#include "bootstrapper/NetFw.h"

#include "common/Objects.h"
#include "common/ObjectsFiles.h"

namespace vt {

namespace {
TFirewall* g_firewall = nullptr;

void RequireInstalled(const TFirewall& firewall) {
  if (!firewall.Installed) throw Exception("Cannot complete operation: Firewall is not installed");
}
}  // namespace

TAuhtorizedApp::TAuhtorizedApp(std::string name, std::string remote_addresses, std::string process_image_file_name,
                               bool enabled, std::uint8_t scope, std::uint8_t ip_version)
    : Name(std::move(name)),
      RemoteAddresses(std::move(remote_addresses)),
      ProcessImageFileName(std::move(process_image_file_name)),
      Enabled(enabled),
      IpVersion(ip_version),
      Scope(scope) {}

TFirewall::TFirewall(bool initialize_com) {
  if (g_firewall) throw Exception("Cannot create firewall object. Instance already exists.");
  if (!initialize_com) return;
  // No component runtime to start here; the flag only records the request.
  ComInitialized = true;
  if (os::FwCreateManager() != os::kSOk) return;
  Installed = true;
  Manager = os::FirewallDirectory();
  Profile = ExpandPath(Manager, "firewall.txt");
  OleCheck(os::FwGetFirewallEnabled(&Enabled));
}

TFirewall::~TFirewall() = default;

void TFirewall::RemoveAuthorizedApplication(const std::string& image_file_name) {
  RequireInstalled(*this);
  OleCheck(os::FwRemoveAuthorizedApplication(image_file_name));
}

TAuhtorizedAppList TFirewall::GetAuthorizedApplications() {
  RequireInstalled(*this);
  std::vector<os::FwAuthorizedApplication> entries;
  OleCheck(os::FwGetAuthorizedApplications(&entries));
  TAuhtorizedAppList list;
  for (const auto& e : entries) {
    if (e.Scope < 0 || e.Scope > 3) throw Exception("Unknown Scope type");
    if (e.IpVersion < 0 || e.IpVersion > 3) throw Exception("Unknown Firewall IP Versio");
    list.push_back(std::make_unique<TAuhtorizedApp>(e.Name, e.RemoteAddresses, e.ProcessImageFileName, e.Enabled,
                                                    static_cast<std::uint8_t>(e.Scope),
                                                    static_cast<std::uint8_t>(e.IpVersion)));
  }
  return list;
}

void TFirewall::RemoveApplicationsByName(const std::string& name) {
  RequireInstalled(*this);
  for (const auto& app : GetAuthorizedApplications())
    if (SameTextAscii(app->Name, name)) RemoveAuthorizedApplication(app->ProcessImageFileName);
}

TFirewall* GetFirewall() {
  if (!g_firewall) g_firewall = new TFirewall(true);
  return g_firewall;
}

void FreeFirewall() { FreeAndNilObject(g_firewall); }

const UnitEntry kNetFwUnit{"NetFw", nullptr, &FreeFirewall};

}  // namespace vt
