// The platform layer's process-private locks that its fork handlers hold
// across a fork, so that a child forked while another thread held one finds
// it free (internal to the platform).
#pragma once

#include <mutex>

namespace vt::os::detail {

// In the order the handlers take them (outermost first): a lock taken while
// another is held comes after it. The wake word's lock is held while a name
// is joined, which takes the live names' lock; no other lock of these is
// taken while one is held. Left out: the window manager's lock (held across
// writes to standard error, which may wait without end), the display
// back-end's (its thread and connection are not a forked child's) and the
// locks of single objects (a thread's, a child process's).
enum class LayerLock {
  kWakeWord,
  kLiveSegments,
  kHandleTable,
  kEnvironment,
  kFiles,
  kRegistryKeys,
  kResourceModules,
  kSectionViews,
  kMemoryRegions,
  kComClasses,
  kStoreRefusals,
  kProcessOrphans,
  kFaultHandlers,
  kGdiObjects,
  kCount
};

// Registers, once, the fork handlers that hold these locks across a fork and
// give each forked child its own hold of the named objects.
void EnsureForkHandlers();
// A lock made on the first use of one of the above: registers the handlers
// first. Never freed.
std::mutex* NewForkHeldLock();

// Each defined beside its lock.
std::mutex& WakeWordLock();
std::mutex& LiveSegmentsLock();
std::mutex& HandleTableLock();
std::mutex& EnvironmentLock();
std::mutex& FilesLock();
std::mutex& RegistryKeysLock();
std::mutex& ResourceModulesLock();
std::mutex& SectionViewsLock();
std::mutex& MemoryRegionsLock();
std::mutex& ComClassesLock();
std::mutex& StoreRefusalsLock();
std::mutex& ProcessOrphansLock();
std::mutex& FaultHandlersLock();
std::mutex& GdiObjectsLock();

}  // namespace vt::os::detail
