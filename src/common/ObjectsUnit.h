// Start-up of the operating-system layer, apart from its routines so that a
// program's start-up code needs no more than this.
#pragma once

#include "common/Units.h"

namespace vt {

// Reads the version, system and processor facts, computes the system folders
// and notes the start tick (InitSystemInfo); finalization forgets the folders
// and the cached computer name.
extern const UnitEntry kObjectsUnit;

}  // namespace vt
