// Test hooks of the bootstrapper: only test programs include this header.
#pragma once

namespace vt {

// Where a run is when the phase hook is called.
enum class TSetupPhase {
  kExtracting,  // the first file is written into the setup folder
  kDecoding,    // the LZMA tool is about to start
  kRunning,     // the inner setup is about to start
};

class SetupBootstrapTestHelper {
 public:
  using PhaseHook = void (*)(TSetupPhase phase);
  // Called on the main thread at each phase; null removes the hook.
  static void SetPhaseHook(PhaseHook hook);
};

}  // namespace vt
