// Memory streams with a controlled growth policy, a stream over a given
// block, small helpers on memory streams, and the compact integer forms
// shared by packets, lists and streaming contexts.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/Classes.h"

namespace vt {

// Options of TVirtualStream.
enum : std::uint16_t {
  vsoGranule256K = 0x1,   // largest growth granule 2^18
  vsoGranule1M = 0x2,     // 2^20
  vsoGranule4M = 0x4,     // 2^22 (the highest granule bit wins; none: 2^16)
  vsoNeverShrink = 0x8,   // a smaller capacity keeps the present block
  vsoHeap = 0x10,         // always on the heap
  vsoVirtual = 0x20,      // always in virtual memory
  vsoExactSize = 0x40,    // capacity taken as asked
  vsoLocked = 0x80,       // any resize to a non-zero capacity raises
  vsoKeepBlock = 0x100,   // capacity 0 keeps the block (not at destruction)
};

// Lent: memory another stream lends (LendMemory), read in place until the
// stream is first written or resized.
enum class TStreamMemoryKind { None, Heap, Virtual, External, Lent };

// Reference-counted owner shared by several streams (for example the owner
// of external memory). The last stream to go frees it.
class TSharedStreamOwner : public TObject {
 public:
  std::atomic<std::int32_t> RefCount{0};
};

// Memory stream that grows by powers of two from 4 KB up to a granule and
// keeps large blocks in virtual memory.
class TVirtualStream : public TMemoryStream {
 public:
  explicit TVirtualStream(std::uint16_t options = 0);
  ~TVirtualStream() override;

  std::uint16_t Options() const { return options_; }
  void SetOptions(std::uint16_t options) { options_ = options; }
  TStreamMemoryKind MemoryKind() const { return kind_; }

  // Puts the stream over memory supplied from outside: readable and
  // writable within Size, never resized, never freed by the stream.
  void SetExternalMemory(void* memory, std::int64_t size);

  // Puts the stream over Size bytes that Owner lends (a copy-on-write view
  // that other streams may share). They are read in place; the first write
  // or resize takes a private copy and lets the lent bytes and Owner go, so
  // the stream then behaves as one that owns its memory.
  void LendMemory(void* memory, std::int64_t size, TSharedStreamOwner* owner);

  // Lent bytes are read through CopyFileView: their file may be cut short.
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;

  // Attaches a shared owner: its count is raised now and dropped (freeing
  // it at 0) when the stream is destroyed or given another owner.
  void SetSharedOwner(TSharedStreamOwner* owner);

 protected:
  void* Realloc(std::int64_t& new_capacity) override;
  std::int64_t GrowUsed(std::int64_t end) override;
  void ZeroBytes(std::int64_t from, std::int64_t to) override;

 private:
  void ReleaseBlock();
  void ReleaseOwner();

  std::uint16_t options_;
  TStreamMemoryKind kind_ = TStreamMemoryKind::None;
  std::int64_t reserved_ = 0;  // address space behind a virtual-memory block
  // Of a virtual-memory block: the bytes from here on were never part of
  // the stream since their pages were committed, so they read as zeros.
  std::int64_t used_ = 0;
  TSharedStreamOwner* owner_ = nullptr;
};

using TUnmapViewFunc = void (*)(void* view);

// Stream over a given block of memory. Writes never pass the block's end:
// what does not fit is cut off and Overflow is set.
class TPointerStream : public TCustomMemoryStream {
 public:
  TPointerStream(void* memory, std::int64_t size, bool read_only);
  ~TPointerStream() override;
  TPointerStream(const TPointerStream&) = delete;
  TPointerStream& operator=(const TPointerStream&) = delete;

  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // Any size up to the block's; a larger one raises EWriteError.
  void SetSize(std::int64_t new_size) override;

  bool ReadOnly() const { return read_only_; }
  bool Overflow() const { return overflow_; }

  // The block came from malloc and is freed with the stream.
  void SetOwnsMemory(bool owns) { owns_memory_ = owns; }
  // The block is a mapped view, unmapped through Unmap with the stream.
  void SetOwnsMappedView(TUnmapViewFunc unmap) { unmap_view_ = unmap; }

 private:
  std::int64_t block_size_;
  bool read_only_;
  bool overflow_ = false;
  bool owns_memory_ = false;
  TUnmapViewFunc unmap_view_ = nullptr;
};

// Equal sizes and equal bytes.
bool StreamsEqual(TCustomMemoryStream& a, TCustomMemoryStream& b);
// Target rewound, sized to Source and filled with its bytes.
void AssignStream(TCustomMemoryStream& target, TCustomMemoryStream& source);
// Grows Stream to at least MinSize, keeping its position.
void EnsureStreamSize(TStream& stream, std::int64_t min_size);
// True for memory streams and pointer streams whose bytes are read in
// place: not for lent bytes, which are read through the stream (under the
// view guard).
bool IsMemoryStream(const TStream& stream);
// The stream's memory (plus its position when AtPosition); nullptr for
// streams that IsMemoryStream does not take.
void* StreamMemory(TStream& stream, bool at_position);
// Sets the size of a TVirtualStream with the exact-size option in force for
// the call (other streams: a plain size change). With Discard the content
// is about to be overwritten: lent memory is let go instead of copied.
void SetStreamSizeExact(TStream& stream, std::int64_t size, bool discard = false);
// A stream over lent memory lets it go (it becomes empty); other streams
// are left as they are. For targets about to be overwritten whole, so that
// the lent bytes are not copied first.
void DropLentMemory(TStream& stream);
// True for a stream over lent memory (a view of a file that may be cut short).
bool IsLentStream(const TStream& stream);

// Reads up to Count bytes, however few each read of the stream gives (a
// pipe, a socket); returns how many it got before the stream ended.
std::int64_t ReadFully(TStream& stream, void* buffer, std::int64_t count);
// The same, with EReadError when the stream ends first.
void ReadExact(TStream& stream, void* buffer, std::int64_t count);

// Bytes in memory being parsed: Pos moves, End bounds what may be read.
struct TBufferCursor {
  const std::uint8_t* Pos;
  const std::uint8_t* End;
};

// Compact length: 0 .. 2^31-1; below 128 one byte (value*2), else four
// bytes (value*2+1, little-endian). The buffer form reads at the cursor and
// moves it past the value; a value cut short by End raises EReadError.
void WriteCompactLength(TStream& stream, std::int64_t value);
std::uint32_t ReadCompactLength(TStream& stream);
std::uint32_t ReadCompactLengthFromBuffer(TBufferCursor& cursor);

// Compact id: 0 .. 2^15-1; below 128 one byte (value*2), else two bytes
// (value*2+1, little-endian).
void WriteCompactId(TStream& stream, std::int64_t value);
std::uint16_t ReadCompactId(TStream& stream);

// Writes one byte and answers it.
std::uint8_t WriteByteValue(TStream& stream, std::uint8_t value);
std::uint8_t ReadByteValue(TStream& stream);

}  // namespace vt
