// The block-compressed container: a short header and independently
// compressed blocks of at most kCompressBlockSize input bytes each, written
// in one pass by CompressToStream and read through TDecompressStream, which
// decompresses only the blocks a read needs and keeps a few of them cached.
//
// Layout (little-endian): "sdc2", format (UInt32), total size (UInt32); or
// "sdc3", format, total size (UInt64). Readers also accept "sdc1". Then
// blocks back to back: L (Int32, bytes after L), U (UInt32, uncompressed
// size), L - 4 bytes of compressed data. Format 1 is a QuickLZ 1.2.0 packet,
// format 3 a QuickLZ 1.3.1 packet; the codecs are the run-time libraries
// "QuickLZ.dll" and "QuickLZ131.dll", loaded from the program's folder or the
// library search path.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/Classes.h"
#include "common/StreamUtils.h"
#include "common/TypedLists.h"

namespace vt {

enum : std::uint32_t {
  cfQuickLZ120 = 1,
  cfQuickLZ131 = 3,
};

// Input bytes per block ($1F8000); every block but the last holds exactly this.
inline constexpr std::int64_t kCompressBlockSize = 0x1F8000;

// Worst-case size of one block of N input bytes (U field included); formats
// other than 1, 2 and 3 are an assertion failure.
std::int64_t CompressedBlockBound(std::uint32_t format, std::int64_t n);
// Worst-case size of the blocks of a container holding Count bytes.
std::int64_t CompressedContainerBound(std::uint32_t format, std::int64_t count);

// Compresses Count bytes from Source's position into Target as one container
// and answers the bytes written (header and blocks). Totals that do not fit
// 32 bits are written with the "sdc3" header.
std::int64_t CompressToStream(TStream& source, std::int64_t count, TStream& target, std::uint32_t format);

// Read-only, seekable stream over the uncompressed data of a container.
class TDecompressStream : public TStream {
 public:
  // Reads the header at StartPosition and builds the block map.
  // ContainerSize < 0 stands for the rest of Source from StartPosition.
  TDecompressStream(TStream* source, std::int64_t start_position, int max_cached_blocks, bool owns_source,
                    std::int64_t container_size = -1);
  ~TDecompressStream() override;
  TDecompressStream(const TDecompressStream&) = delete;
  TDecompressStream& operator=(const TDecompressStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Raises "Cannot write to decompressed stream.".
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override { return total_size_; }

  std::uint32_t CompressionFormat() const { return format_; }
  std::int64_t ContainerEnd() const { return container_end_; }
  std::size_t BlockCount() const { return static_cast<std::size_t>(blocks_.Count()); }
  // How many blocks were decompressed so far (cache misses).
  std::int64_t BlocksDecompressed() const { return blocks_decompressed_; }

 private:
  // The bytes of the map's block Index, from the cache or decompressed.
  TVirtualStream& BlockData(int index);

  TStream* source_;
  bool owns_source_;
  int max_cached_blocks_;
  std::int64_t container_end_;
  std::uint32_t format_ = 0;
  std::int64_t total_size_ = 0;
  std::int64_t position_ = 0;
  // Uncompressed offset of a block's first byte -> position of its L field;
  // blocks with U = 0 are left out.
  TInt64IntegerMap blocks_{loSorted};
  // Block index -> TVirtualStream with its bytes, most recently decompressed first.
  TIntegerListEx cache_{loOwnsObjects};
  std::int64_t blocks_decompressed_ = 0;
};

// The run-time compression libraries.
namespace quicklz {

struct TLibrary120 {
  std::size_t (*compress)(const void* source, char* destination, std::size_t size);
  std::size_t (*decompress)(const char* source, void* destination);
  std::size_t (*size_decompressed)(const char* source);
  std::size_t (*size_source)(const char* source);
};

struct TLibrary131 {
  struct Set {
    std::size_t (*size_decompressed)(const char* source);
    std::size_t (*size_compressed)(const char* source);
    std::size_t (*compress)(const void* source, char* destination, std::size_t size, char* scratch);
    std::size_t (*decompress)(const char* source, void* destination, char* scratch);
    int (*get_setting)(int setting);
  };
  Set plain;
  Set streaming;  // resolved, not used by the container
};

// Process-wide switch, off by default: when set, a library is loaded from a
// copy in the temporary folder (LoadLibraryFromTempCopy) instead of in place.
inline std::atomic<bool> LoadFromTempCopies{false};

// Scratch sizes the 1.3.1 library may ask for at most.
inline constexpr int kMaxCompressScratch = 32784;
inline constexpr int kMaxDecompressScratch = 16;

// Loads a library from Folder (the file name appended) or else from the
// library search path, and resolves its entry points. Raises "QuickLZ library
// not found: %s", "Cannot load library '%s'", "Cannot get address of procedure
// '%s'" and, for 1.3.1, the buffer size mismatch texts.
TLibrary120 LoadLibrary120(const std::string& folder);
TLibrary131 LoadLibrary131(const std::string& folder);

// The libraries of the program's folder, loaded once per process.
const TLibrary120& Library120();
const TLibrary131& Library131();

}  // namespace quicklz

}  // namespace vt
