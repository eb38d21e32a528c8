// The folder that holds the names of shared objects, and what keeps a
// process from creating files in a folder.
#pragma once

#include <string>

namespace vt::os {

inline constexpr char kSharedObjectFolder[] = "/dev/shm";

// What keeps this process from creating a file in folder: "does not exist",
// "is not a folder", "is read-only", "is not writable by this user" or "is
// full"; empty when none of these is seen. With out_of_room (a file could
// not be made there for want of room) a folder with nothing else wrong "is
// full", whatever room a smaller file would still find.
std::string FolderWriteProblem(const std::string& folder, bool out_of_room = false);

}  // namespace vt::os
