// Pulses of events that a waiter is known to be waiting for: the pulsing
// side (a thread or another process) sets and at once resets an event, each
// time only once a wait has begun since its last pulse (of any event).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "platform/Sync.h"
#include "platform/TestHooks.h"
#include "support/Patience.h"

namespace vt::test {

class EventPulser {
 public:
  // False when an event call fails or no wait begins within 30 s.
  bool Pulse(os::HANDLE event, int count) {
    for (int k = 0; k < count; ++k) {
      std::uint32_t joins = 0;
      if (last_event_ && last_event_ != event && !AwaitWait(last_event_, last_joins_, &joins)) return false;
      if (!AwaitWait(event, last_event_ == event ? std::optional(last_joins_) : std::nullopt, &joins)) return false;
      if (!os::SetEvent(event) || !os::ResetEvent(event)) return false;
      last_event_ = event;
      last_joins_ = joins;
    }
    return true;
  }

 private:
  // Until a wait on event goes on, one begun after the one counted as last.
  static bool AwaitWait(os::HANDLE event, std::optional<std::uint32_t> last, std::uint32_t* joins) {
    bool readable = true;
    const bool waits = test::WaitPatiently(
        [&] {
          std::uint32_t waiting = 0;
          readable = os::PlatformTestHelper::EventWaiters(event, &waiting, joins);
          return !readable || (static_cast<std::int32_t>(waiting) > 0 && (!last || *joins != *last));
        },
        std::chrono::microseconds(50));
    return waits && readable;
  }

  os::HANDLE last_event_ = 0;
  std::uint32_t last_joins_ = 0;
};

inline bool PulseWaitedEvent(os::HANDLE event, int count) { return EventPulser().Pulse(event, count); }

}  // namespace vt::test
