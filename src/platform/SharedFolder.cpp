#include "platform/SharedFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>

namespace vt::os {

std::string FolderWriteProblem(const std::string& folder, bool out_of_room) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return errno == ENOENT ? "does not exist" : std::string();
  if (!S_ISDIR(st.st_mode)) return "is not a folder";
  struct statvfs fs {};
  const bool known = ::statvfs(folder.c_str(), &fs) == 0;
  if (known && (fs.f_flag & ST_RDONLY) != 0) return "is read-only";
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return errno == EROFS ? "is read-only" : errno == EACCES ? "is not writable by this user" : std::string();
  // A file system that counts no blocks or no inodes reports zero free.
  if (out_of_room || (known && ((fs.f_blocks != 0 && fs.f_bfree == 0) || (fs.f_files != 0 && fs.f_ffree == 0))))
    return "is full";
  return {};
}

}  // namespace vt::os
