// A folder that belongs to one run: created fresh, owner-only, never reusing
// or following what was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vt::os {

// Removes whatever stands at name (a file, a symbolic link itself, or a
// folder tree without following the links inside it), then creates the
// folder with owner-only permissions and checks that it is a real folder of
// this user. The parent must exist. False with the last error set on failure
// (183 when something there could not be removed).
bool CreatePrivateFolder(const std::string& name);

// Deletes a file, a link (never its target) or a folder tree without
// following links, as RemoveHeldFolder empties a folder. True when nothing
// is left; false with the last error.
bool RemoveTreeNoFollow(const std::string& name);

}  // namespace vt::os

namespace vt::os {

// Which folders a walk makes where they do not exist: none, all, or only
// the path's own last part (not one that a link on the way names).
enum class MakeMissing { kNone, kAll, kLast };

// Opens the folder at path for a run that writes into it, walking from the
// root one part at a time as the system resolves it ('..' after a link goes
// up from the link's target): every folder passed must belong to root or
// this user and must not be writable by its group or by others unless it
// has the sticky bit, so that no other user can rename what lies in it, and
// every symbolic link on the way must belong to root or this user (its
// owner may turn it even in a sticky folder). Returns the folder's
// descriptor, with *resolved its path without links; -1 with the last error
// set and, when the walk refused a folder or a link, *unsafe that one and
// *why the reason. A folder that make names is made on the way with mode
// 0755 whatever the umask, in the folder the walk reached, never through a
// name.
int OpenTrustedFolder(const std::string& path, std::string* unsafe, std::string* why,
                      std::string* resolved = nullptr, MakeMissing make = MakeMissing::kNone);

// Walks as far as path exists, as OpenTrustedFolder does but checking only
// the links: true when a symbolic link of another user lies on the way, with
// *link its path (links before it resolved) and *why the reason.
bool FindForeignLink(const std::string& path, std::string* link, std::string* why);

// Makes the folders of path that do not exist, with exactly mode, walking
// as OpenTrustedFolder does: each is made in the folder the walk reached and
// checked, never through a name another user could turn. False with the
// last error set and, when a folder or link was refused, *unsafe and *why.
bool MakeTrustedFolders(const std::string& path, unsigned mode, std::string* unsafe, std::string* why);

enum class HeldFolder { kHeld, kInUse, kFailed };

// Creates name in the folder open as parent_fd, owner-only, and holds it
// with a lock that ends with the process (a crash included); *folder_fd gets
// the folder's descriptor, which keeps the lock. A folder of this user at
// the name without a live holder is removed first. kInUse: another live run
// holds a folder of that name, or something of this user's that is not a
// folder stands there (it stays); kFailed: the last error is set (183 when
// another user's entry stands there).
HeldFolder CreateHeldFolder(int parent_fd, const std::string& name, int* folder_fd);

// Removes this user's folders in parent_fd named prefix and a decimal number
// (or two joined by '_') that no live run holds (what killed runs left behind), as
// RemoveHeldFolder removes them. Another user's entries are never touched.
// Returns how many were removed.
int RemoveLeftoverFolders(int parent_fd, const std::string& prefix);

// Scratch space for RemoveHeldFolder: a directory buffer, the descriptors of
// the folders it stands in and the folders where something stays.
struct FolderScratch {
  static constexpr int kHeldLevels = 32;
  static constexpr int kStuckFolders = 256;
  alignas(8) char buffer[8192];
  int held[kHeldLevels];
  struct {
    std::uint64_t dev, ino;
  } stuck[kStuckFolders];
  int stuck_count;
};

// Empties the folder open as folder_fd, at any depth (links are removed,
// never followed; memory and descriptors stay bounded: a folder deeper than
// the walk holds open is first moved into folder_fd under a name of the
// walk's own) and removes it from parent_fd when name still names it. A
// folder of this user that refuses the removal (or its reading) is given
// u+rwx; another user's is never changed. Past
// FolderScratch::kStuckFolders folders holding what cannot go, the walk
// enters no further folder. Another walk may remove the same folder at
// the same time, through a descriptor of its own (OpenFolderAgain).
// Async-signal-safe. True when nothing is left; else false with errno of
// the first failure in *failed_errno and the name of the first entry that
// stayed in failed_name (size failed_name_size).
bool RemoveHeldFolder(int parent_fd, const char* name, int folder_fd, FolderScratch* scratch,
                      int* failed_errno, char* failed_name, std::size_t failed_name_size);

// Whether the folder open as fd lies on a file system mounted read-only.
bool OnReadOnlyFileSystem(int fd);
// Whether the nearest folder of path that exists (path itself, else the
// folder above it, and so on) lies on a file system mounted read-only.
bool NearestFolderOnReadOnlyFileSystem(const std::string& path);

// Closes a descriptor this layer returned.
void CloseFolder(int fd);

// The folder open as folder_fd opened once more, with a read position of
// its own, or -1 with errno. Async-signal-safe.
int OpenFolderAgain(int folder_fd);

// A path that reaches name inside the folder open as folder_fd through the
// descriptor itself (so that no rename of the folder redirects it), or an
// empty string where the system offers no such path.
std::string PathThroughFolder(int folder_fd, const std::string& name);

}  // namespace vt::os
