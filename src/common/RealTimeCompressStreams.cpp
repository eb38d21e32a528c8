#include "common/RealTimeCompressStreams.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "common/FileStreams.h"
#include "common/StreamUtils.h"
#include "platform/Files.h"
#include "platform/Modules.h"

namespace vt {

namespace {

constexpr const char* kUnit = "RealTimeCompressStreams";

void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void WriteU32(TStream& s, std::uint32_t v) {
  std::uint8_t b[4];
  PutU32(b, v);
  s.WriteBuffer(b, 4);
}

// Compresses one block of N bytes into Target (capacity Cap): U, then the
// packet. Answers the block's size.
std::int64_t CompressBlock(std::uint32_t format, const std::uint8_t* source, std::int64_t n, std::uint8_t* target,
                           std::int64_t cap) {
  const std::int64_t bound = CompressedBlockBound(format, n);
  if (bound > cap)
    throw Exception(Format("Compression error: Output buffer is too small. %d provided, %d required.", cap, bound));
  PutU32(target, static_cast<std::uint32_t>(n));
  char* packet = reinterpret_cast<char*>(target + 4);
  std::size_t result;
  if (format == cfQuickLZ120) {
    result = quicklz::Library120().compress(source, packet, static_cast<std::size_t>(n));
    if (result == 0) throw Exception("QuickLZ 1.20 compression has returned an unspecified error");
  } else if (format == cfQuickLZ131) {
    std::vector<char> scratch(quicklz::kMaxCompressScratch);
    result = quicklz::Library131().plain.compress(source, packet, static_cast<std::size_t>(n), scratch.data());
    if (result == 0) throw Exception("QuickLZ 1.31 compression has returned an unspecified error");
  } else {
    throw Exception(Format("Unknown compression format (%d)", format));
  }
  const std::int64_t size = static_cast<std::int64_t>(result) + 4;
  if (size > cap) throw Exception("Compression error: Output buffer overrun.");
  return size;
}

// Decompresses the packet of a block (Available bytes at Source) that holds
// U bytes into Target (capacity Cap). The packet's own sizes are checked
// against U and Available before anything is written.
void DecompressBlock(std::uint32_t format, const std::uint8_t* source, std::int64_t available, std::uint32_t u,
                     std::uint8_t* target, std::int64_t cap) {
  if (u > cap)
    throw Exception(Format("Decompression error: Output buffer is too small. %d provided, %d required.", cap, u));
  if (u == 0) return;
  if (format != cfQuickLZ120 && format != cfQuickLZ131)
    throw Exception(Format("Unknown compression format (%d)", format));
  const char* packet = reinterpret_cast<const char*>(source);
  if (available < 3 || ((source[0] & 2) && available < 9))
    throw Exception("Decompression error: Input buffer is smaller than expected.");
  std::size_t stored_size, packet_size, result;
  if (format == cfQuickLZ120) {
    const auto& lib = quicklz::Library120();
    stored_size = lib.size_decompressed(packet);
    packet_size = lib.size_source(packet);
  } else {
    const auto& lib = quicklz::Library131();
    stored_size = lib.plain.size_decompressed(packet);
    packet_size = lib.plain.size_compressed(packet);
  }
  if (stored_size != u) throw Exception("Decompression error: Output buffer size mismatch.");
  if (packet_size > static_cast<std::uint64_t>(available))
    throw Exception("Decompression error: Input buffer is smaller than expected.");
  if (format == cfQuickLZ120) {
    result = quicklz::Library120().decompress(packet, target);
  } else {
    char scratch[quicklz::kMaxDecompressScratch];
    result = quicklz::Library131().plain.decompress(packet, target, scratch);
  }
  if (result != u) throw Exception("Decompression error: Output buffer size mismatch.");
}

}  // namespace

std::int64_t CompressedBlockBound(std::uint32_t format, std::int64_t n) {
  switch (format) {
    case 1: return n + 36004;
    case 2: return n + 4;
    case 3: return n + 404;
    default: AssertionFailed(kUnit, 187);
  }
}

std::int64_t CompressedContainerBound(std::uint32_t format, std::int64_t count) {
  const std::int64_t full = count / kCompressBlockSize;
  const std::int64_t rest = count % kCompressBlockSize;
  // Past the largest size: no bound short of it.
  std::int64_t bound = 0;
  if (__builtin_mul_overflow(full, CompressedBlockBound(format, kCompressBlockSize) + 4, &bound) ||
      __builtin_add_overflow(bound, CompressedBlockBound(format, rest) + (rest ? 4 : 0) + 4, &bound))
    return INT64_MAX;
  return bound;
}

std::int64_t CompressToStream(TStream& source, std::int64_t count, TStream& target, std::uint32_t format) {
  if (count < 0) count = 0;
  // A memory source tells what it holds: a count beyond it is refused
  // before the target is written or sized.
  const bool source_in_memory = IsMemoryStream(source);
  if (source_in_memory && count > 0 && (source.Position() < 0 || source.Size() - source.Position() < count))
    throw Exception("Compression error: Input buffer is smaller than expected.");
  const std::int64_t start = target.Position();
  std::uint8_t header[16];
  const bool wide = static_cast<std::uint64_t>(count) > 0xFFFFFFFFu;
  std::memcpy(header, wide ? "sdc3" : "sdc2", 4);
  PutU32(header + 4, format);
  PutU32(header + 8, static_cast<std::uint32_t>(count));
  PutU32(header + 12, static_cast<std::uint32_t>(static_cast<std::uint64_t>(count) >> 32));
  target.WriteBuffer(header, wide ? 16 : 12);
  if (count == 0) return target.Position() - start;

  std::int64_t bound = 0;
  if (__builtin_add_overflow(target.Position(), CompressedContainerBound(format, count), &bound))
    bound = INT64_MAX;
  auto* target_memory = dynamic_cast<TMemoryStream*>(&target);
  // A memory target is grown once to the bound (for a source known to hold
  // the count) and kept from shrinking between blocks, so no block
  // reallocates and copies what came before.
  auto* target_virtual = dynamic_cast<TVirtualStream*>(&target);
  struct OptionsGuard {
    TVirtualStream* stream;
    std::uint16_t options;
    ~OptionsGuard() {
      if (stream) stream->SetOptions(options);
    }
  } guard{target_virtual, target_virtual ? target_virtual->Options() : std::uint16_t{0}};
  if (target_virtual) target_virtual->SetOptions(guard.options | vsoNeverShrink);
  if (target_memory != nullptr && source_in_memory && target_memory->Size() < bound) {
    const std::int64_t pos = target_memory->Position();
    target_memory->SetSize(bound);
    target_memory->SetPosition(pos);
  }
  std::vector<std::uint8_t> source_buffer, target_buffer;
  for (std::int64_t remaining = count; remaining > 0;) {
    const std::int64_t n = std::min(remaining, kCompressBlockSize);
    const std::uint8_t* block_source;
    if (source_in_memory) {
      const std::int64_t pos = source.Position();
      if (pos < 0 || source.Size() - pos < n)
        throw Exception("Compression error: Input buffer is smaller than expected.");
      block_source = static_cast<const std::uint8_t*>(StreamMemory(source, true));
      source.Seek(n, TSeekOrigin::soCurrent);
    } else {
      source_buffer.resize(static_cast<std::size_t>(n));
      if (ReadFully(source, source_buffer.data(), n) != n)
        throw Exception("Compression error: Input buffer is smaller than expected.");
      block_source = source_buffer.data();
    }
    const std::int64_t p = target.Position();
    WriteU32(target, 0xFFFFFFFFu);
    const std::int64_t cap = CompressedBlockBound(format, n);
    std::int64_t size;
    if (target_memory != nullptr) {
      const std::int64_t at = p + 4;
      if (target_memory->Size() < at + cap) target_memory->SetSize(at + cap);
      size = CompressBlock(format, block_source, n, static_cast<std::uint8_t*>(target_memory->Memory()) + at, cap);
      target_memory->SetSize(at + size);
      target_memory->SetPosition(at + size);
    } else {
      target_buffer.resize(static_cast<std::size_t>(cap));
      size = CompressBlock(format, block_source, n, target_buffer.data(), cap);
      target.WriteBuffer(target_buffer.data(), size);
    }
    const std::int64_t end = target.Position();
    target.SetPosition(p);
    WriteU32(target, static_cast<std::uint32_t>(size));
    target.SetPosition(end);
    remaining -= n;
  }
  if (target_virtual) target_virtual->SetOptions(guard.options);
  if (target_memory != nullptr) target_memory->SetSize(target_memory->Position());
  if (target.Position() > bound) throw Exception("Compression error: Output stream has grown larger than expected.");
  return target.Position() - start;
}

TDecompressStream::TDecompressStream(TStream* source, std::int64_t start_position, int max_cached_blocks,
                                     bool owns_source, std::int64_t container_size)
    : source_(source),
      owns_source_(owns_source),
      max_cached_blocks_(std::max(1, max_cached_blocks)) {
  VT_ASSERT_AT(source != nullptr, kUnit, 780);
  try {
    if (container_size < 0) container_size = std::max<std::int64_t>(0, source_->Size() - start_position);
    container_end_ = start_position + container_size;
    source_->SetPosition(start_position);
    std::uint8_t header[16];
    source_->ReadBuffer(header, 12);
    std::int64_t pos = start_position + 12;
    format_ = GetU32(header + 4);
    std::uint64_t total = GetU32(header + 8);
    if (std::memcmp(header, "sdc3", 4) == 0) {
      source_->ReadBuffer(header + 12, 4);
      total |= std::uint64_t{GetU32(header + 12)} << 32;
      pos += 4;
    } else if (std::memcmp(header, "sdc1", 4) != 0 && std::memcmp(header, "sdc2", 4) != 0) {
      throw Exception("Decompression error: Header contains an invalid signature.");
    }
    // Every block lies inside the container, holds at least its U field and
    // at most one block's worth of data.
    std::uint64_t offset = 0;
    while (pos < container_end_) {
      if (container_end_ - pos < 8) throw Exception("Decompression error: Invalid source block size.");
      std::uint8_t lu[8];
      source_->ReadBuffer(lu, 8);
      const std::int32_t l = static_cast<std::int32_t>(GetU32(lu));
      const std::uint32_t u = GetU32(lu + 4);
      if (l < 4 || l > container_end_ - pos - 4 || u > kCompressBlockSize)
        throw Exception("Decompression error: Invalid source block size.");
      if (u > 0) blocks_.Add(pos, static_cast<std::int64_t>(offset));
      offset += u;
      pos += 4 + static_cast<std::int64_t>(l);
      source_->SetPosition(pos);
    }
    if (offset != total)
      throw Exception("Decompression error: Output buffer size does not match total size of source blocks.");
    total_size_ = static_cast<std::int64_t>(total);
  } catch (...) {
    if (owns_source_) delete source_;
    throw;
  }
}

TDecompressStream::~TDecompressStream() {
  if (owns_source_) delete source_;
}

std::int64_t TDecompressStream::Write(const void*, std::int64_t) {
  throw Exception("Cannot write to decompressed stream.");
}

std::int64_t TDecompressStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  const std::int64_t base = origin == TSeekOrigin::soCurrent ? position_ : origin == TSeekOrigin::soEnd ? total_size_ : 0;
  std::int64_t to = 0;
  if (__builtin_add_overflow(base, offset, &to)) throw EStreamError("Invalid stream position");
  position_ = to;
  return position_;
}

TVirtualStream& TDecompressStream::BlockData(int index) {
  if (TObject* cached = cache_.ObjectOf(index)) return static_cast<TVirtualStream&>(*cached);
  const std::int64_t position = blocks_.Values(index);
  const std::int64_t offset = blocks_.Keys(index);
  const std::int64_t end = index + 1 < blocks_.Count() ? blocks_.Keys(index + 1) : total_size_;
  // L and U again, as the map was built from them.
  std::uint8_t lu[8];
  const std::uint8_t* block = lu;
  const bool in_memory = IsMemoryStream(*source_);
  if (in_memory) {
    if (source_->Size() - position < 8) throw Exception("Decompression error: Input buffer is smaller than expected.");
    block = static_cast<const std::uint8_t*>(StreamMemory(*source_, false)) + position;
  } else {
    source_->SetPosition(position);
    if (ReadFully(*source_, lu, 8) != 8) throw Exception("Decompression error: Input buffer is smaller than expected.");
  }
  const std::int64_t l = static_cast<std::int32_t>(GetU32(block));
  const std::uint32_t u = GetU32(block + 4);
  if (l < 4 || l > container_end_ - position - 4 || u != end - offset)
    throw Exception("Decompression error: Invalid source block size.");
  const std::int64_t packet_size = l - 4;
  const std::int64_t packet_pos = position + 8;
  std::vector<std::uint8_t> packet_buffer;
  const std::uint8_t* packet = nullptr;
  if (in_memory) {
    if (source_->Size() - packet_pos < packet_size)
      throw Exception("Decompression error: Input buffer is smaller than expected.");
    packet = static_cast<const std::uint8_t*>(StreamMemory(*source_, false)) + packet_pos;
  } else {
    packet_buffer.resize(static_cast<std::size_t>(packet_size));
    if (ReadFully(*source_, packet_buffer.data(), packet_size) != packet_size)
      throw Exception("Decompression error: Input buffer is smaller than expected.");
    packet = packet_buffer.data();
  }
  auto data = std::make_unique<TVirtualStream>(vsoHeap | vsoExactSize);
  data->SetSize(u);
  DecompressBlock(format_, packet, packet_size, u, static_cast<std::uint8_t*>(data->Memory()), u);
  ++blocks_decompressed_;
  if (cache_.Count() >= max_cached_blocks_) cache_.DeleteLast();
  cache_.Insert(0, index, data.get());
  return *data.release();
}

std::int64_t TDecompressStream::Read(void* buffer, std::int64_t count) {
  if (position_ < 0 || position_ >= total_size_) return 0;
  count = std::min(count, total_size_ - position_);
  if (count <= 0) return 0;
  // The block with the largest offset not above the position.
  int index = 0;
  if (!blocks_.Find(position_, index)) --index;
  VT_ASSERT_AT(index >= 0, kUnit, 911);
  std::int64_t done = 0;
  while (done < count) {
    VT_ASSERT_AT(index < blocks_.Count(), kUnit, 917);
    TVirtualStream& data = BlockData(index);
    const std::int64_t in_block = position_ - blocks_.Keys(index);
    VT_ASSERT_AT(in_block >= 0 && in_block < data.Size(), kUnit, 918);
    const std::int64_t n = std::min<std::int64_t>(data.Size() - in_block, count - done);
    std::memcpy(static_cast<char*>(buffer) + done, static_cast<const char*>(data.Memory()) + in_block,
                static_cast<std::size_t>(n));
    done += n;
    position_ += n;
    ++index;
  }
  return done;
}

namespace quicklz {

namespace {

os::HMODULE OpenLibrary(const std::string& folder, const std::string& file_name) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += file_name;
  if (folder.empty() || os::GetFileAttributes(path) == os::kInvalidFileAttributes ||
      (os::GetFileAttributes(path) & os::kFileAttributeDirectory)) {
    path = os::SearchLibraryPath(file_name);
    if (path.empty()) throw Exception(Format("QuickLZ library not found: %s", file_name));
  }
  if (LoadFromTempCopies.load()) return LoadLibraryFromTempCopy(path);
  os::HMODULE h = os::LoadLibrary(path);
  if (h == nullptr) throw Exception(Format("Cannot load library '%s'", path));
  return h;
}

// The decorated name first, then the plain one.
template <typename F>
void Resolve(os::HMODULE h, F& fn, const std::string& decorated, const std::string& plain) {
  void* p = os::GetProcAddress(h, decorated);
  if (p == nullptr) p = os::GetProcAddress(h, plain);
  if (p == nullptr) throw Exception(Format("Cannot get address of procedure '%s'", plain));
  fn = reinterpret_cast<F>(p);
}

void ResolveSet(os::HMODULE h, TLibrary131::Set& set, const std::string& prefix) {
  Resolve(h, set.size_decompressed, "_" + prefix + "size_decompressed@4", prefix + "size_decompressed");
  Resolve(h, set.size_compressed, "_" + prefix + "size_compressed@4", prefix + "size_compressed");
  Resolve(h, set.compress, "_" + prefix + "compress@16", prefix + "compress");
  Resolve(h, set.decompress, "_" + prefix + "decompress@12", prefix + "decompress");
  Resolve(h, set.get_setting, "_" + prefix + "get_setting@4", prefix + "get_setting");
}

// Frees the library unless Release was called.
struct LibraryGuard {
  os::HMODULE h;
  ~LibraryGuard() {
    if (h) os::FreeLibrary(h);
  }
  void Release() { h = nullptr; }
};

std::string ProgramFolder() {
  const std::string exe = os::GetProgramFileName();
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

}  // namespace

TLibrary120 LoadLibrary120(const std::string& folder) {
  LibraryGuard guard{OpenLibrary(folder, "QuickLZ.dll")};
  TLibrary120 lib{};
  Resolve(guard.h, lib.compress, "_qlz_compress@12", "qlz_compress");
  Resolve(guard.h, lib.decompress, "_qlz_decompress@8", "qlz_decompress");
  Resolve(guard.h, lib.size_decompressed, "_qlz_size_decompressed@4", "qlz_size_decompressed");
  Resolve(guard.h, lib.size_source, "_qlz_size_source@4", "qlz_size_source");
  guard.Release();
  return lib;
}

TLibrary131 LoadLibrary131(const std::string& folder) {
  LibraryGuard guard{OpenLibrary(folder, "QuickLZ131.dll")};
  TLibrary131 lib{};
  ResolveSet(guard.h, lib.plain, "qlz_");
  ResolveSet(guard.h, lib.streaming, "qlz_streaming_");
  if (lib.plain.get_setting(1) >= kMaxCompressScratch + 1)
    throw Exception("QuickLZ compression buffer size mismatch");
  if (lib.plain.get_setting(2) >= kMaxDecompressScratch + 1)
    throw Exception("QuickLZ decompression buffer size mismatch");
  guard.Release();
  return lib;
}

const TLibrary120& Library120() {
  static std::mutex mutex;
  static std::optional<TLibrary120> lib;
  std::lock_guard<std::mutex> lock(mutex);
  if (!lib) lib = LoadLibrary120(ProgramFolder());
  return *lib;
}

const TLibrary131& Library131() {
  static std::mutex mutex;
  static std::optional<TLibrary131> lib;
  std::lock_guard<std::mutex> lock(mutex);
  if (!lib) lib = LoadLibrary131(ProgramFolder());
  return *lib;
}

}  // namespace quicklz

}  // namespace vt
