#include "common/StreamUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/ExceptionHooks.h"
#include "platform/VirtualMemory.h"

namespace vt {

namespace {

constexpr const char* kUnit = "StreamUtils";
constexpr std::int64_t kVirtualThreshold = 49152;
constexpr std::int64_t kCopyPiece = 1048576;
// Zeroing this much or more of a virtual block drops its pages instead.
constexpr std::int64_t kDropPages = 65536;

[[noreturn]] void OutOfMemory() { throw EStreamError("Out of memory while expanding memory stream"); }

constexpr std::int64_t kPage = static_cast<std::int64_t>(os::kPageSize);

std::int64_t PageUp(std::int64_t v) {
  if (v > std::numeric_limits<std::int64_t>::max() - (kPage - 1)) OutOfMemory();
  return (v + (kPage - 1)) / kPage * kPage;
}

// Address space for a block of Size bytes: twice the next power of two, so
// that later growth commits pages in place instead of copying the block.
// Past 2^40 bytes the block gets its own size: doubling would not fit.
std::int64_t ReserveFor(std::int64_t size) {
  if (size > (std::int64_t{1} << 40)) return PageUp(size);
  std::int64_t r = kPage;
  while (r < size) r <<= 1;
  return r * 2;
}

// A block with `commit` bytes committed inside `reserve` bytes of space.
void* AllocVirtual(std::int64_t commit, std::int64_t reserve) {
  void* p = os::VirtualAlloc(nullptr, static_cast<std::size_t>(reserve), os::kMemReserve, os::kPageNoAccess);
  if (p == nullptr) OutOfMemory();
  if (os::VirtualAlloc(p, static_cast<std::size_t>(commit), os::kMemCommit, os::kPageReadWrite) == nullptr) {
    os::VirtualFree(p, 0, os::kMemRelease);
    OutOfMemory();
  }
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// TVirtualStream

TVirtualStream::TVirtualStream(std::uint16_t options) : options_(options) {}

TVirtualStream::~TVirtualStream() {
  options_ &= static_cast<std::uint16_t>(~vsoKeepBlock);
  Clear();
  ReleaseOwner();
}

void TVirtualStream::SetExternalMemory(void* memory, std::int64_t size) {
  const std::uint16_t saved = options_;
  options_ &= static_cast<std::uint16_t>(~(vsoKeepBlock | vsoLocked));
  Clear();
  options_ = saved;
  kind_ = memory != nullptr ? TStreamMemoryKind::External : TStreamMemoryKind::None;
  SetPointer(memory, memory != nullptr ? size : 0);
  SetCapacityField(memory != nullptr ? size : 0);
}

void TVirtualStream::LendMemory(void* memory, std::int64_t size, TSharedStreamOwner* owner) {
  SetExternalMemory(memory, size);
  if (memory == nullptr) return;
  kind_ = TStreamMemoryKind::Lent;
  SetSharedOwner(owner);
}

std::int64_t TVirtualStream::Read(void* buffer, std::int64_t count) {
  if (kind_ != TStreamMemoryKind::Lent) return TMemoryStream::Read(buffer, count);
  const std::int64_t pos = RawPosition();
  if (pos < 0 || count <= 0 || pos >= GetSize()) return 0;
  const std::int64_t n = std::min(count, GetSize() - pos);
  CopyFileView(buffer, static_cast<char*>(Memory()) + pos, static_cast<std::size_t>(n));
  SetRawPosition(pos + n);
  return n;
}

std::int64_t TVirtualStream::Write(const void* buffer, std::int64_t count) {
  // The lent bytes may be another stream's too: write into a copy.
  if (kind_ == TStreamMemoryKind::Lent && count > 0) SetCapacity(GetSize());
  return TMemoryStream::Write(buffer, count);
}

void TVirtualStream::SetSharedOwner(TSharedStreamOwner* owner) {
  if (owner != nullptr) owner->RefCount.fetch_add(1);
  ReleaseOwner();
  owner_ = owner;
}

void TVirtualStream::ReleaseOwner() {
  if (owner_ == nullptr) return;
  TSharedStreamOwner* owner = owner_;
  owner_ = nullptr;
  VT_ASSERT_AT(owner->RefCount.load() >= 1, kUnit, 1573);
  if (owner->RefCount.fetch_sub(1) == 1) delete owner;
}

void TVirtualStream::ReleaseBlock() {
  void* p = Memory();
  switch (kind_) {
    case TStreamMemoryKind::Heap:
      std::free(p);
      os::UnchargeCommit(static_cast<std::size_t>(Capacity()));
      break;
    case TStreamMemoryKind::Virtual: os::VirtualFree(p, 0, os::kMemRelease); break;
    case TStreamMemoryKind::Lent:
      kind_ = TStreamMemoryKind::None;
      ReleaseOwner();
      break;
    default: break;
  }
  kind_ = TStreamMemoryKind::None;
  reserved_ = 0;
  used_ = 0;
}

void TVirtualStream::ZeroBytes(std::int64_t from, std::int64_t to) {
  char* base = static_cast<char*>(Memory());
  // Whole pages of a virtual block are dropped instead: they cost no memory
  // until written again.
  const std::int64_t first = PageUp(from), last = to / kPage * kPage;
  if (kind_ != TStreamMemoryKind::Virtual || last - first < kDropPages ||
      !os::VirtualZeroPages(base + first, static_cast<std::size_t>(last - first))) {
    std::memset(base + from, 0, static_cast<std::size_t>(to - from));
    return;
  }
  std::memset(base + from, 0, static_cast<std::size_t>(first - from));
  std::memset(base + last, 0, static_cast<std::size_t>(to - last));
}

std::int64_t TVirtualStream::GrowUsed(std::int64_t end) {
  if (kind_ != TStreamMemoryKind::Virtual) return end;
  const std::int64_t zero = used_;
  used_ = std::max(used_, end);
  return zero;
}

void* TVirtualStream::Realloc(std::int64_t& new_capacity) {
  const bool lent = kind_ == TStreamMemoryKind::Lent;
  if (new_capacity <= 0) {
    if ((options_ & vsoKeepBlock) != 0 && !lent) {
      new_capacity = Capacity();
      return Memory();
    }
    new_capacity = 0;
    ReleaseBlock();
    return nullptr;
  }
  if ((options_ & vsoLocked) != 0) throw Exception("Cannot resize a locked stream");
  if (kind_ == TStreamMemoryKind::External) throw Exception("Cannot resize an external memory stream");

  if ((options_ & vsoExactSize) == 0) {
    const std::int64_t largest = (options_ & vsoGranule4M)     ? std::int64_t{1} << 22
                                 : (options_ & vsoGranule1M)   ? std::int64_t{1} << 20
                                 : (options_ & vsoGranule256K) ? std::int64_t{1} << 18
                                                               : std::int64_t{1} << 16;
    std::int64_t granule = kPage;
    while (granule < new_capacity && granule < largest) granule <<= 1;
    if (new_capacity > std::numeric_limits<std::int64_t>::max() - granule) OutOfMemory();
    new_capacity = (new_capacity + granule - 1) / granule * granule;
  }
  // Lent bytes are never resized in place: they are copied below.
  if (new_capacity == Capacity() && !lent) return Memory();
  if ((options_ & vsoNeverShrink) != 0 && new_capacity <= Capacity() && !lent) {
    new_capacity = Capacity();
    return Memory();
  }
  if (static_cast<std::uint64_t>(new_capacity) > std::numeric_limits<std::size_t>::max() / 2) OutOfMemory();

  const bool on_heap =
      (options_ & vsoHeap) != 0 || ((options_ & vsoVirtual) == 0 && new_capacity < kVirtualThreshold);
  void* old_block = Memory();
  const std::int64_t keep = std::min(GetSize(), new_capacity);

  if (!on_heap && kind_ == TStreamMemoryKind::Virtual && new_capacity <= reserved_) {
    // Resize in place inside the reserved space: commit or give back pages.
    char* base = static_cast<char*>(old_block);
    const std::int64_t committed = PageUp(Capacity()), wanted = PageUp(new_capacity);
    if (wanted > committed) {
      if (os::VirtualAlloc(base + committed, static_cast<std::size_t>(wanted - committed), os::kMemCommit,
                           os::kPageReadWrite) == nullptr) {
        OutOfMemory();
      }
    } else if (wanted < committed) {
      if (os::VirtualFree(base + wanted, static_cast<std::size_t>(committed - wanted), os::kMemDecommit))
        used_ = std::min(used_, wanted);  // given back pages come back as zeros
    }
    return old_block;
  }
  if (on_heap && kind_ == TStreamMemoryKind::Heap) {
    // The heap counts against the commit limit like virtual memory.
    const std::int64_t more = new_capacity - Capacity();
    if (more > 0 && !os::ChargeCommit(static_cast<std::size_t>(more))) OutOfMemory();
    void* p = std::realloc(old_block, static_cast<std::size_t>(new_capacity));
    if (p == nullptr) {
      if (more > 0) os::UnchargeCommit(static_cast<std::size_t>(more));
      OutOfMemory();
    }
    if (more < 0) os::UnchargeCommit(static_cast<std::size_t>(-more));
    return p;
  }
  if (!on_heap && kind_ == TStreamMemoryKind::Virtual) {
    // Past the reserved space: the pages move to a larger reservation,
    // those never written left untouched.
    const std::int64_t reserve = ReserveFor(new_capacity);
    void* p = os::VirtualMove(old_block, static_cast<std::size_t>(keep), static_cast<std::size_t>(new_capacity),
                              static_cast<std::size_t>(reserve));
    if (p == nullptr) OutOfMemory();
    reserved_ = reserve;
    used_ = keep;
    return p;
  }
  void* p = nullptr;
  std::int64_t reserve = 0;
  if (on_heap) {
    if (!os::ChargeCommit(static_cast<std::size_t>(new_capacity))) OutOfMemory();
    p = std::malloc(static_cast<std::size_t>(new_capacity));
    if (p == nullptr) {
      os::UnchargeCommit(static_cast<std::size_t>(new_capacity));
      OutOfMemory();
    }
  } else {
    reserve = ReserveFor(new_capacity);
    p = AllocVirtual(new_capacity, reserve);
  }
  if (keep > 0) {
    if (kind_ == TStreamMemoryKind::Virtual) {
      // Piecewise, giving back each copied megabyte, so peak memory stays
      // near one copy.
      for (std::int64_t off = 0; off < keep; off += kCopyPiece) {
        const std::int64_t n = std::min(kCopyPiece, keep - off);
        std::memcpy(static_cast<char*>(p) + off, static_cast<char*>(old_block) + off, static_cast<std::size_t>(n));
        if (n == kCopyPiece) os::VirtualFree(static_cast<char*>(old_block) + off, kCopyPiece, os::kMemDecommit);
      }
    } else if (lent) {
      try {
        CopyFileView(p, old_block, static_cast<std::size_t>(keep));
      } catch (...) {
        if (on_heap) {
          std::free(p);
          os::UnchargeCommit(static_cast<std::size_t>(new_capacity));
        } else {
          os::VirtualFree(p, 0, os::kMemRelease);
        }
        throw;
      }
    } else {
      std::memcpy(p, old_block, static_cast<std::size_t>(keep));
    }
  }
  ReleaseBlock();
  kind_ = on_heap ? TStreamMemoryKind::Heap : TStreamMemoryKind::Virtual;
  reserved_ = reserve;
  used_ = keep;  // the fresh pages past the copy are zeros
  return p;
}

// ---------------------------------------------------------------------------
// TPointerStream

TPointerStream::TPointerStream(void* memory, std::int64_t size, bool read_only)
    : block_size_(memory != nullptr && size > 0 ? size : 0), read_only_(read_only) {
  SetPointer(memory, block_size_);
}

void TPointerStream::SetSize(std::int64_t new_size) {
  if (new_size < 0) throw EStreamError(Format("Invalid stream size %d", new_size));
  if (new_size > block_size_) throw EWriteError(Format("Cannot grow a pointer-stream to %d bytes", new_size));
  SetPointer(Memory(), new_size);
  if (RawPosition() > new_size) SetRawPosition(new_size);
}

TPointerStream::~TPointerStream() {
  void* p = Memory();
  if (p == nullptr) return;
  if (owns_memory_) {
    std::free(p);
  } else if (unmap_view_ != nullptr) {
    unmap_view_(p);
  }
}

std::int64_t TPointerStream::Write(const void* buffer, std::int64_t count) {
  if (read_only_) throw EStreamError("Cannot write to read-only pointer-stream");
  const std::int64_t pos = RawPosition();
  if (count <= 0 || pos < 0) return 0;
  const std::int64_t room = GetSize() - pos;
  if (count > room) overflow_ = true;
  if (room <= 0) return 0;
  const std::int64_t n = std::min(count, room);
  std::memcpy(static_cast<char*>(Memory()) + pos, buffer, static_cast<std::size_t>(n));
  SetRawPosition(pos + n);
  return n;
}

// ---------------------------------------------------------------------------
// Helpers on memory streams

bool StreamsEqual(TCustomMemoryStream& a, TCustomMemoryStream& b) {
  const std::int64_t size = a.Size();
  if (size != b.Size()) return false;
  if (size == 0) return true;
  const auto* pa = static_cast<const char*>(a.Memory());
  const auto* pb = static_cast<const char*>(b.Memory());
  if (!IsLentStream(a) && !IsLentStream(b)) return std::memcmp(pa, pb, static_cast<std::size_t>(size)) == 0;
  return FileViewsEqual(pa, pb, static_cast<std::size_t>(size));
}

void AssignStream(TCustomMemoryStream& target, TCustomMemoryStream& source) {
  if (&target == &source) return;
  const std::int64_t size = source.Size();
  DropLentMemory(target);
  target.SetPosition(0);
  target.SetSize(size);
  if (target.Size() < size) throw EWriteError();
  if (size > 0) CopyFileView(target.Memory(), source.Memory(), static_cast<std::size_t>(size));
}

void DropLentMemory(TStream& stream) {
  if (IsLentStream(stream)) static_cast<TVirtualStream&>(stream).Clear();
}

bool IsLentStream(const TStream& stream) {
  const auto* v = dynamic_cast<const TVirtualStream*>(&stream);
  return v != nullptr && v->MemoryKind() == TStreamMemoryKind::Lent;
}

void EnsureStreamSize(TStream& stream, std::int64_t min_size) {
  if (stream.Size() >= min_size) return;
  const std::int64_t pos = stream.Position();
  stream.SetSize(min_size);
  stream.SetPosition(pos);
}

bool IsMemoryStream(const TStream& stream) {
  return dynamic_cast<const TCustomMemoryStream*>(&stream) != nullptr && !IsLentStream(stream);
}

void* StreamMemory(TStream& stream, bool at_position) {
  auto* m = dynamic_cast<TCustomMemoryStream*>(&stream);
  if (m == nullptr || IsLentStream(stream)) return nullptr;
  char* p = static_cast<char*>(m->Memory());
  if (at_position && p != nullptr) p += m->Position();
  return p;
}

void SetStreamSizeExact(TStream& stream, std::int64_t size, bool discard) {
  auto* v = dynamic_cast<TVirtualStream*>(&stream);
  if (v == nullptr) {
    stream.SetSize(size);
    return;
  }
  if (discard && v->MemoryKind() == TStreamMemoryKind::Lent) v->Clear();
  const std::uint16_t saved = v->Options();
  v->SetOptions(static_cast<std::uint16_t>(saved | vsoExactSize));
  try {
    v->SetSize(size);
  } catch (...) {
    v->SetOptions(saved);
    throw;
  }
  v->SetOptions(saved);
}

// ---------------------------------------------------------------------------
// Compact integers

void WriteCompactLength(TStream& stream, std::int64_t value) {
  VT_ASSERT_AT(value >= 0 && value < (std::int64_t{1} << 31), kUnit, 3844);
  if (value < 128) {
    const std::uint8_t b = static_cast<std::uint8_t>(value * 2);
    stream.WriteBuffer(&b, 1);
    return;
  }
  const auto w = static_cast<std::uint32_t>(value * 2 + 1);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
                                 static_cast<std::uint8_t>(w >> 16), static_cast<std::uint8_t>(w >> 24)};
  stream.WriteBuffer(bytes, 4);
}

std::int64_t ReadFully(TStream& stream, void* buffer, std::int64_t count) {
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t got = stream.Read(static_cast<char*>(buffer) + done, count - done);
    if (got <= 0) break;
    done += got;
  }
  return done;
}

void ReadExact(TStream& stream, void* buffer, std::int64_t count) {
  if (ReadFully(stream, buffer, count) != count) throw EReadError();
}

std::uint32_t ReadCompactLength(TStream& stream) {
  std::uint8_t bytes[4] = {};
  stream.ReadBuffer(bytes, 1);
  if ((bytes[0] & 1) == 0) return bytes[0] >> 1;
  ReadExact(stream, bytes + 1, 3);
  const std::uint32_t w = bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) |
                          (std::uint32_t{bytes[3]} << 24);
  return w >> 1;
}

std::uint32_t ReadCompactLengthFromBuffer(TBufferCursor& cursor) {
  const std::uint8_t* p = cursor.Pos;
  if (p >= cursor.End) throw EReadError();
  if ((p[0] & 1) == 0) {
    cursor.Pos = p + 1;
    return p[0] >> 1;
  }
  if (cursor.End - p < 4) throw EReadError();
  const std::uint32_t w =
      p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
  cursor.Pos = p + 4;
  return w >> 1;
}

void WriteCompactId(TStream& stream, std::int64_t value) {
  VT_ASSERT_AT(value >= 0 && value < (std::int64_t{1} << 15), kUnit, 3992);
  if (value < 128) {
    const std::uint8_t b = static_cast<std::uint8_t>(value * 2);
    stream.WriteBuffer(&b, 1);
    return;
  }
  const auto w = static_cast<std::uint16_t>(value * 2 + 1);
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)};
  stream.WriteBuffer(bytes, 2);
}

std::uint16_t ReadCompactId(TStream& stream) {
  std::uint8_t bytes[2] = {};
  stream.ReadBuffer(bytes, 1);
  if ((bytes[0] & 1) == 0) return bytes[0] >> 1;
  stream.ReadBuffer(bytes + 1, 1);
  return static_cast<std::uint16_t>((bytes[0] | (bytes[1] << 8)) >> 1);
}

std::uint8_t WriteByteValue(TStream& stream, std::uint8_t value) {
  stream.WriteBuffer(&value, 1);
  return value;
}

std::uint8_t ReadByteValue(TStream& stream) {
  std::uint8_t b = 0;
  stream.ReadBuffer(&b, 1);
  return b;
}

}  // namespace vt
