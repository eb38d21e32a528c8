// Removal of the firewall exception a setup run may have added for itself.
#pragma once

#include <memory>

#include "common/Classes.h"

namespace vt {

// The name of that exception.
inline constexpr const char* kSetupAppExceptionName = "Vontaro Setup App";

// The setup engine's firewall helper. Of its six operations the first four
// are left to descendants, the fifth answers 0 and the sixth does nothing;
// nothing here calls them. It owns one object.
class TFirewallUtil : public TObject {
 public:
  TFirewallUtil() = default;
  TFirewallUtil(const TFirewallUtil&) = delete;
  TFirewallUtil& operator=(const TFirewallUtil&) = delete;

  virtual void Operation0() = 0;
  virtual void Operation1() = 0;
  virtual void Operation2() = 0;
  virtual void Operation3() = 0;
  virtual int Operation4() { return 0; }
  virtual void Operation5() {}

  // Removes every allowed program named kSetupAppExceptionName (any case);
  // nothing when no firewall is installed.
  static void RemoveSetupAppException();

 protected:
  std::unique_ptr<TObject> Owned;
};

}  // namespace vt
