// A folder that belongs to one run: created fresh, owner-only, never reusing
// or following what was there before.
#pragma once

#include <string>

namespace vt::os {

// Removes whatever stands at name (a file, a symbolic link itself, or a
// folder tree without following the links inside it), then creates the
// folder with owner-only permissions and checks that it is a real folder of
// this user. The parent must exist. False with the last error set on failure
// (183 when something there could not be removed).
bool CreatePrivateFolder(const std::string& name);

// Deletes a file, a link (never its target) or a folder tree without
// following links. True when nothing is left; false with the last error.
bool RemoveTreeNoFollow(const std::string& name);

}  // namespace vt::os
