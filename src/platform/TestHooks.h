// Test hooks of the platform layer: faults and limits its emulation can be
// set to. Only tests include this header; each hook is defined beside the
// state it sets.
#pragma once

#include <cstdint>

#include "platform/ForkLocks.h"
#include "platform/Handles.h"
#include "platform/SystemCalls.h"

namespace vt::os {

class PlatformTestHelper {
 public:
  // The next Count window creations fail with ERROR_NOT_ENOUGH_QUOTA.
  static void FailNextWindowCreations(int count);
  // The next Count thread creations fail with ERROR_NOT_ENOUGH_MEMORY.
  static void FailNextThreadCreations(int count);
  static void SetScreenSize(int width, int height);
  // Messages a thread's queue takes before posting fails with
  // ERROR_NOT_ENOUGH_QUOTA.
  static int GetPostedMessageQuota();
  static void SetPostedMessageQuota(int quota);
  // The live table of the calls that create, write, grow and map files;
  // replace entries only while no other thread is inside the platform layer.
  static SystemCallTable& SystemCalls();
  // Puts every entry back to the system's own call.
  static void ResetSystemCalls();
  // Built-in libraries are not found, as on a system without them.
  static void HideBuiltinModules(bool hidden);
  // The times the fault observer and the fatal-fault hook get before the
  // process ends at once (5000 and 60000 ms).
  static void SetFaultTimeLimits(long observer_ms, long hook_ms);
  // Waits on an event going on now and begun so far (a wait counts once it
  // would see a set); false for anything but an event.
  static bool EventWaiters(HANDLE event, std::uint32_t* waiting, std::uint32_t* joins);
  // Waits on several objects sleep on the wake word alone, as on a kernel
  // that cannot wait on several futex words.
  static void SleepOnWakeWordAlone(bool alone);
  // Records in use in the holder table of a named event's name, or -1.
  static int NameHolderRecords(HANDLE event);
  // Takes the event's lock of its waiter counts and keeps it (as a process
  // stopped inside a wait would).
  static bool HoldEventWaitersLock(HANDLE event);
  // Takes (true) or lets go of (false) one of the layer's own locks, as a
  // thread inside the calls it serves holds it.
  static void HoldLayerLock(detail::LayerLock which, bool hold);
};

}  // namespace vt::os
