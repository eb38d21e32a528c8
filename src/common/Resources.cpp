#include "common/Resources.h"

#include <algorithm>
#include <memory>

#include "common/ExceptionHooks.h"
#include "common/FileStreams.h"
#include "common/StreamUtils.h"
#include "common/TypedLists.h"

namespace vt {

namespace {

// The resource's bytes in place, or nullptr (size 0 counts as a failure).
const void* LockedResource(os::HMODULE module, const os::ResId& name, const os::ResId& type, std::int64_t& size) {
  os::HRSRC r = os::FindResource(module, name, type);
  if (r == nullptr) return nullptr;
  size = os::SizeofResource(module, r);
  if (size == 0) return nullptr;
  os::HGLOBAL g = os::LoadResource(module, r);
  if (g == nullptr) return nullptr;
  return os::LockResource(g);
}

}  // namespace

std::string LoadResourceString(os::HMODULE module, const os::ResId& name, const os::ResId& type) {
  std::int64_t size = 0;
  const void* p = LockedResource(module, name, type, size);
  if (p == nullptr) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  CopyFileView(bytes.data(), p, bytes.size());
  return bytes;
}

bool WriteResourceToStream(os::HMODULE module, const os::ResId& name, const os::ResId& type, TStream& stream) {
  std::int64_t size = 0;
  const auto* p = static_cast<const char*>(LockedResource(module, name, type, size));
  if (p == nullptr) return false;
  // A target in memory or mapped is sized once (other streams, a pipe say,
  // need not know their size or position); the resource's pages are let go
  // as they are written, so that memory stays flat however large the
  // resource. They pass through a buffer: the module's file may be cut
  // short meanwhile.
  const bool sized = dynamic_cast<TMappedFileStream*>(&stream) != nullptr || IsMemoryStream(stream);
  if (sized && stream.Size() < stream.Position() + size) stream.SetSize(stream.Position() + size);
  // Pieces as large as a mapped-file stream's own large windows, which it
  // maps ready for writing: smaller ones fault page by page. A mapped-file
  // stream copies under the view guard itself; other streams get the bytes
  // through a buffer.
  constexpr std::int64_t kPiece = std::int64_t{8} << 20;
  const bool guarded = dynamic_cast<TMappedFileStream*>(&stream) != nullptr;
  std::unique_ptr<char[]> buffer;
  if (!guarded) buffer = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(std::min(kPiece, size)));
  for (std::int64_t done = 0; done < size; done += kPiece) {
    const std::int64_t n = std::min(kPiece, size - done);
    if (guarded) {
      stream.WriteBuffer(p + done, n);
    } else {
      CopyFileView(buffer.get(), p + done, static_cast<std::size_t>(n));
      stream.WriteBuffer(buffer.get(), n);
    }
    os::ReleaseResourcePages(p + done, static_cast<std::size_t>(n));
  }
  return true;
}

bool SaveResourceToFile(os::HMODULE module, const os::ResId& name, const os::ResId& type, std::uint32_t options,
                        const std::string& file_name) {
  if (options & 0x20) {
    TMappedFileStream stream(file_name, kFileModeCreate, 0, options);
    const bool written = WriteResourceToStream(module, name, type, stream);
    stream.Close();
    return written;
  }
  TFileStreamEx stream(file_name, kFileModeCreate, 0, options);
  return WriteResourceToStream(module, name, type, stream);
}

TVersionInfoCache::TVersionInfoCache()
    : map_(std::make_unique<TStringInt64ObjectMap_HashTable>(2, std::uint16_t{0x110}, 8)) {}

TVersionInfoCache::~TVersionInfoCache() = default;

}  // namespace vt
