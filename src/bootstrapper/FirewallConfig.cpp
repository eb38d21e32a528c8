#include "bootstrapper/FirewallConfig.h"

#include "bootstrapper/NetFw.h"

namespace vt {

void TFirewallUtil::RemoveSetupAppException() {
  TFirewall* firewall = GetFirewall();
  if (firewall->Installed) firewall->RemoveApplicationsByName(kSetupAppExceptionName);
}

}  // namespace vt
