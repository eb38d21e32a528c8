// Unit initialization and finalization in one explicit order.
//
// Every unit with start-up work exposes an initialize and a finalize
// routine. A program lists its units once, in link order, and runs them with
// InitializeUnits; FinalizeUnits runs the finalizations in reverse. Nothing
// depends on the order of C++ static initialization.
#pragma once

#include <span>

namespace vt {

struct UnitEntry {
  const char* name;
  void (*initialize)();  // may be null
  void (*finalize)();    // may be null
};

// Runs each unit's initialization once, in order. A unit already
// initialized (by name) is skipped, so partial lists may be run by tests.
void InitializeUnits(std::span<const UnitEntry> units);

// Runs the finalizations of every initialized unit in reverse order.
void FinalizeUnits();

bool UnitInitialized(const char* name);

}  // namespace vt
