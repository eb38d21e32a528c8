// Controls a running program from outside. Usage: vt_rc_signal <step>...
//   pulse <event> <ms>   open the named event, set it, hold it that long, reset it
//   pulses <event> <n>   pulse the event n times without holding it, each time
//                        once the program waits again since the last pulse of any
//                        event (support/Pulses.h)
//   sleep <ms>           wait
//   mutex <name>         exit 1 unless the named mutex exists
// Exit code 0 when every step succeeded; 2 on bad usage; 3 when an event
// cannot be opened or signalled.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Handles.h"
#include "platform/Sync.h"
#include "support/Pulses.h"

int main(int argc, char** argv) {
  using namespace vt::os;
  vt::test::EventPulser pulser;
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    if (step == "pulse" && i + 2 < argc) {
      HANDLE event = OpenEventA(argv[i + 1]);
      if (!event) {
        std::fprintf(stderr, "cannot open event %s (%u)\n", argv[i + 1], GetLastError());
        return 3;
      }
      const bool ok = SetEvent(event);
      Sleep(static_cast<unsigned>(std::atoi(argv[i + 2])));
      const bool reset = ResetEvent(event);
      CloseHandle(event);
      if (!ok || !reset) return 3;
      i += 2;
    } else if (step == "pulses" && i + 2 < argc) {
      // Kept open: the next step's first pulse waits for a wait begun after this one's last.
      HANDLE event = OpenEventA(argv[i + 1]);
      if (!event || !pulser.Pulse(event, std::atoi(argv[i + 2]))) return 3;
      i += 2;
    } else if (step == "sleep" && i + 1 < argc) {
      Sleep(static_cast<unsigned>(std::atoi(argv[++i])));
    } else if (step == "mutex" && i + 1 < argc) {
      HANDLE mutex = OpenMutexA(argv[++i]);
      if (!mutex) return 1;
      CloseHandle(mutex);
    } else {
      std::fprintf(stderr, "bad step %s\n", step.c_str());
      return 2;
    }
  }
  return 0;
}
