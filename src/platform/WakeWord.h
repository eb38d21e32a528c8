// The wake word of waits on several objects (internal to the platform).
//
// A thread waiting on several objects sleeps on one futex word shared by
// every process of this user that sees the same /proc (a segment named like
// the objects', see SharedSegment.h), and, where the kernel has futex_waitv,
// on the change word of each object that has one (an event's set count)
// too; a wait on events alone sleeps on their change words only. Each object counts the waiters on several objects that joined it; a
// set, a release or a process end that finds any bumps the wake word and
// wakes every sleeper on it, and they look at their objects again. A set
// also wakes its event's change word, so that it reaches every waiter even
// from a process that has no shared wake word. Works on any kernel with
// futexes; waits on one object sleep on that object's own word instead.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace vt::os::detail {

// The shared word, mapped on first use. While the shared segment cannot be
// made (descriptors used up, its lock held, a name file another user put
// there, no memory), a word of this process only, and each later use, at
// most once every kWakeWordRetryMs, tries the shared one again. A process on
// its own word wakes only its own waiters through it, so waits that sleep
// on the wake word alone look at their objects every kUnsharedRecheckMs
// while on their own word, and always when they wait on events (whose
// setter may be on its own word).
std::atomic<std::uint32_t>& WakeWord();
bool IsSharedWakeWord(const std::atomic<std::uint32_t>& word);
inline constexpr std::uint32_t kUnsharedRecheckMs = 10;
inline constexpr std::uint32_t kWakeWordRetryMs = 100;
// Bumps the word and wakes every sleeper (on the process's own word too,
// once the process had to use it).
void WakeSeveralWaiters();

timespec MonotonicNow();
timespec AddMs(timespec ts, std::uint32_t ms);
bool Reached(const timespec& deadline);  // the monotonic clock is at or past it
// Sleeps while word holds seen, until woken or the absolute monotonic
// deadline (null: none). Spurious returns are the caller's to handle.
void SleepOnWord(std::atomic<std::uint32_t>& word, std::uint32_t seen, const timespec* deadline);
void WakeWordSleepers(std::atomic<std::uint32_t>& word);

// Sleeps while every word holds its seen value (at most 128 words), as
// SleepOnWord. False, without sleeping, where the kernel cannot wait on
// several words: the caller sleeps on the wake word alone.
bool SleepOnWords(std::atomic<std::uint32_t>* const* words, const std::uint32_t* seen, unsigned count,
                  const timespec* deadline);
bool CanSleepOnWords();

}  // namespace vt::os::detail
