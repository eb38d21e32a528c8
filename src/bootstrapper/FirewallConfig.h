// Removal of the firewall exception a setup run may have added for itself.
#pragma once

namespace vt {

// The name of that exception.
inline constexpr const char* kSetupAppExceptionName = "Vontaro Setup App";

class TFirewallUtil {
 public:
  // Removes every allowed program named kSetupAppExceptionName (any case);
  // nothing when no firewall is installed.
  static void RemoveSetupAppException();
};

}  // namespace vt
