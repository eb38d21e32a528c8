// What a program checks about itself before it starts its work: that its
// own file can be found and read whole, and that it may open enough files.
#pragma once

#include <cstdint>
#include <string>

#include "platform/LastError.h"

namespace vt::os {

enum class ProgramFileProblem {
  kNone,
  kNoPath,      // the program's own path cannot be found (/proc is not there)
  kUnreadable,  // the file cannot be opened for reading
  kDamaged,     // its appended resources are cut or damaged
  kNoMemory,    // it cannot be mapped: the address space ran out
};

struct ProgramFileCheck {
  ProgramFileProblem problem = ProgramFileProblem::kNone;
  std::string path;  // the program's file, when known
  DWORD error = 0;   // the system error behind kUnreadable and kNoMemory
  // The subsystem the program was packaged as (2 windowed, 3 console), as
  // far as a damaged file still tells; 0 when unknown.
  int subsystem = 0;
};

// Reads the running program's file as the resource calls will.
ProgramFileCheck CheckProgramFile();

// Raises the soft limit of open descriptors towards wanted (up to the hard
// limit) and returns the limit that holds now.
std::uint64_t RaiseOpenFileLimit(std::uint64_t wanted);

}  // namespace vt::os
