// The wake word of waits on several objects (internal to the platform).
//
// A thread waiting on several objects sleeps on one futex word shared by
// every process of this user that sees the same /proc (a segment named like
// the objects', see SharedSegment.h). Each object counts the waiters on
// several objects that joined it; a set, a release or a process end that
// finds any bumps the word and wakes every sleeper on it, and they look at
// their objects again. Works on any kernel with futexes; waits on one object
// sleep on that object's own word instead.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace vt::os::detail {

// The shared word, mapped on first use. When the shared segment cannot be
// made (a name file another user put there, no memory), a word of this
// process only: sets made by other processes then wake nobody, and waits
// look at their objects every kUnsharedRecheckMs instead.
std::atomic<std::uint32_t>& WakeWord();
bool WakeWordShared();
inline constexpr std::uint32_t kUnsharedRecheckMs = 10;
// Bumps the word and wakes every sleeper.
void WakeSeveralWaiters();

timespec MonotonicNow();
timespec AddMs(timespec ts, std::uint32_t ms);
bool Reached(const timespec& deadline);  // the monotonic clock is at or past it
// Sleeps while word holds seen, until woken or the absolute monotonic
// deadline (null: none). Spurious returns are the caller's to handle.
void SleepOnWord(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* deadline);
void WakeWordSleepers(std::atomic<std::uint32_t>& word);

}  // namespace vt::os::detail
