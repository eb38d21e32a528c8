// Raw resources of a module read into a byte string, a stream or a new file.
// The resource memory is read in place, through copies that survive the
// module's file being cut short: that raises the in-page error (see
// CopyFileView) instead of ending the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Classes.h"
#include "platform/Resources.h"

namespace vt {

class TStringInt64ObjectMap_HashTable;

// The resource's bytes; empty on any failure (missing, size 0, not loadable,
// not lockable). Raises only the in-page error.
std::string LoadResourceString(os::HMODULE module, const os::ResId& name, const os::ResId& type);

// Writes the resource's bytes to Stream at its position, a megabyte a
// write. False on the failures above (the stream is then untouched); errors
// of the stream itself pass through.
bool WriteResourceToStream(os::HMODULE module, const os::ResId& name, const os::ResId& type, TStream& stream);

// Creates FileName (replacing a file there) as a TMappedFileStream when
// Options has bit $20, else as a TFileStreamEx, with Options passed on, and
// writes the resource into it. The file is closed in every case; when the
// resource is missing the file is still created, empty, and the answer is
// False. Callers must test the answer: a False leaves an empty file behind.
[[nodiscard]] bool SaveResourceToFile(os::HMODULE module, const os::ResId& name, const os::ResId& type,
                                      std::uint32_t options, const std::string& file_name);

// Cache of version information: one owned map from file names (case
// ignored) to a 64-bit value with an owned object.
class TVersionInfoCache {
 public:
  TVersionInfoCache();
  ~TVersionInfoCache();
  TVersionInfoCache(const TVersionInfoCache&) = delete;
  TVersionInfoCache& operator=(const TVersionInfoCache&) = delete;
  TStringInt64ObjectMap_HashTable& Map() { return *map_; }

 private:
  std::unique_ptr<TStringInt64ObjectMap_HashTable> map_;
};

}  // namespace vt
