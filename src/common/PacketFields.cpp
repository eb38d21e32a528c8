#include "common/PacketFields.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "common/ChunkedDataContainer.h"
#include "common/DateTimeFormat.h"
#include "common/ExceptionHooks.h"
#include "common/FileStreams.h"
#include "common/Lists.h"
#include "common/StreamUtils.h"
#include "common/StringLists.h"
#include "platform/Handles.h"

namespace vt {

static_assert(std::endian::native == std::endian::little, "the wire form is little-endian");

// ---- Reader ---------------------------------------------------------------------

namespace {
// Read-ahead of a reader over a stream that is not in memory, and the first
// step of what a stored length sizes before its bytes arrive.
constexpr std::size_t kReadAhead = 65536;
}  // namespace

// Lent memory is read through the stream (under the view guard), not in
// place: its file may be cut short under it.
TFieldReader::TFieldReader(TStream& source, std::int64_t limit)
    : source_(source),
      memory_(IsLentStream(source) ? nullptr : dynamic_cast<TCustomMemoryStream*>(&source)),
      limit_(limit) {
  if (memory_ != nullptr) {
    size_ = memory_->Size();
    const std::int64_t pos = memory_->Position();
    begin_ = static_cast<const std::uint8_t*>(memory_->Memory());
    end_ = begin_ + size_;
    cur_ = pos >= 0 && pos <= size_ ? begin_ + pos : end_;
    end_pos_ = size_;
  }
  SetLimit(limit);
}

TFieldReader::~TFieldReader() = default;

std::int64_t TFieldReader::ReadSource(void* dest, std::int64_t n) {
  auto* p = static_cast<std::uint8_t*>(dest);
  std::int64_t done = 0;
  while (done < n) {
    const std::int64_t got = source_.Read(p + done, n - done);
    if (got <= 0) break;
    done += got;
  }
  end_pos_ += done;
  return done;
}

// Makes Need bytes at hand; reads ahead up to the limit, without waiting
// for more than Need.
void TFieldReader::Refill(std::size_t need) {
  CheckWithinLimit(need);
  const std::size_t have = static_cast<std::size_t>(end_ - cur_);
  std::int64_t ahead = limit_ - end_pos_;
  if (ahead > static_cast<std::int64_t>(kReadAhead)) ahead = kReadAhead;
  const std::size_t want = std::max(need, have + static_cast<std::size_t>(ahead > 0 ? ahead : 0));
  const std::size_t at = static_cast<std::size_t>(cur_ - begin_);
  if (buffer_.size() < want) {
    std::vector<std::uint8_t> grown(std::max<std::size_t>(want, 4096));
    if (have != 0) std::memcpy(grown.data(), buffer_.data() + at, have);
    buffer_.swap(grown);
  } else if (have != 0) {
    std::memmove(buffer_.data(), buffer_.data() + at, have);
  }
  begin_ = buffer_.data();
  cur_ = begin_;
  end_ = begin_ + have;
  while (static_cast<std::size_t>(end_ - cur_) < need) {
    const std::int64_t got = source_.Read(buffer_.data() + (end_ - begin_),
                                          static_cast<std::int64_t>(want - static_cast<std::size_t>(end_ - begin_)));
    if (got <= 0) throw EReadError();
    end_ += got;
    end_pos_ += got;
  }
}

void TFieldReader::PrefetchSlow(std::uint64_t n) {
  while (InHand() < n) {
    const std::size_t have = InHand();
    Refill(static_cast<std::size_t>(std::min<std::uint64_t>(n, have + std::max(have, kReadAhead))));
  }
}

const std::uint8_t* TFieldReader::TakeSlow(std::size_t n) {
  if (memory_ != nullptr) throw EReadError();
  Refill(n);
  const std::uint8_t* p = cur_;
  cur_ += n;
  return p;
}

void TFieldReader::GetSlow(void* dest, std::size_t n) {
  if (memory_ != nullptr) throw EReadError();
  CheckWithinLimit(n);
  const std::size_t have = static_cast<std::size_t>(end_ - cur_);
  if (n - have < kReadAhead) {
    std::memcpy(dest, Take(n), n);
    return;
  }
  // Large blocks go straight from the source to their place.
  if (have != 0) std::memcpy(dest, cur_, have);
  cur_ = end_;
  const std::int64_t rest = static_cast<std::int64_t>(n - have);
  if (ReadSource(static_cast<std::uint8_t*>(dest) + have, rest) != rest) throw EReadError();
}

template <typename Grow>
void TFieldReader::GetGrowing(std::size_t count, std::size_t unit, Grow&& grow) {
  if (count * unit <= InHand() || memory_ != nullptr) {
    Get(grow(count), count * unit);
    return;
  }
  const std::size_t first = kReadAhead / unit;
  std::size_t got = 0;
  while (got < count) {
    const std::size_t step = std::min(count - got, std::max(first, got));
    Get(static_cast<std::uint8_t*>(static_cast<void*>(grow(got + step))) + got * unit, step * unit);
    got += step;
  }
}

std::uint32_t TFieldReader::GetCompact() {
  const std::uint8_t b0 = GetByte();
  if ((b0 & 1) == 0) return b0 >> 1;
  const std::uint8_t* p = Take(3);
  const std::uint32_t w =
      b0 | (std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 24);
  return w >> 1;
}

void TFieldReader::SkipTo(std::int64_t offset) {
  const std::int64_t start = end_pos_ - (end_ - begin_);
  if (offset >= start && offset <= end_pos_) {
    cur_ = end_ - (end_pos_ - offset);
    return;
  }
  std::int64_t ahead = 0;
  if (__builtin_sub_overflow(offset, Offset(), &ahead)) throw EStreamError("Invalid stream position");
  if (offset > end_pos_) CheckWithinLimit(static_cast<std::size_t>(ahead));
  if (memory_ != nullptr) {  // outside the memory nothing more can be read
    cur_ = end_;
    end_pos_ = offset;
    return;
  }
  std::int64_t back = 0;
  if (offset < end_pos_ && __builtin_sub_overflow(offset, end_pos_ + hidden_, &back))
    throw EStreamError("Invalid stream position");
  cur_ = end_;
  if (offset > end_pos_) {
    // Forward: read past, so that data ending early is seen (and sources
    // that cannot seek are served).
    while (end_pos_ < offset) {
      cur_ = end_;
      Refill(static_cast<std::size_t>(std::min<std::int64_t>(offset - end_pos_, kReadAhead)));
    }
    cur_ = end_ - (end_pos_ - offset);
    return;
  }
  source_.Seek(back, TSeekOrigin::soCurrent);
  hidden_ = 0;
  cur_ = end_ = begin_;
  end_pos_ = offset;
}

void TFieldReader::ReadString(std::string& value) {
  const std::uint32_t n = GetCompact();
  CheckFits(n);
  if (n <= static_cast<std::size_t>(end_ - cur_)) {
    const char* p = reinterpret_cast<const char*>(cur_);
    cur_ += n;
    if (n <= value.capacity()) {
      value.clear();
      value.append(p, n);
    } else {
      value = std::string(p, n);
    }
    return;
  }
  ReadLongString(value, n);
}

// A string beyond the bytes at hand, in steps as they arrive.
void TFieldReader::ReadLongString(std::string& value, std::size_t n) {
  GetGrowing(n, 1, [&](std::size_t size) {
    value.resize(size);
    return value.data();
  });
}

void TFieldReader::ReadWide(std::u16string& value) {
  const std::uint32_t n = GetCompact();
  CheckFits(std::uint64_t{n} * 2);
  GetGrowing(n, 2, [&](std::size_t size) {
    value.resize(size);
    return value.data();
  });
}

// Every stored string takes at least its one length byte.
void TFieldReader::ReadStringList(TStrings& list) {
  const std::uint32_t n = GetCompact();
  Prefetch(n);
  if (auto* plain = dynamic_cast<TStringListEx*>(&list)) {
    plain->FillLines(
        static_cast<int>(n),
        [](void* reader, std::string& s) { static_cast<TFieldReader*>(reader)->ReadString(s); }, this);
    return;
  }
  list.Clear();
  list.SetCapacity(static_cast<int>(n));
  std::string s;
  for (std::uint32_t i = 0; i < n; ++i) {
    ReadString(s);
    list.Add(s);
  }
}

// Large blocks of a source that lends its bytes are not copied: the target
// is put over them in place, and the read-ahead is dropped.
bool TFieldReader::Lend(std::size_t n, TMemoryStream& target) {
  if (memory_ != nullptr) return false;
  // Bytes read ahead go back first; a source that cannot take them back
  // (a pipe) lends nothing.
  const std::int64_t ahead = (end_ - cur_) + hidden_;
  if (ahead != 0) {
    try {
      source_.Seek(-ahead, TSeekOrigin::soCurrent);
    } catch (const Exception&) {
      return false;
    }
  }
  if (!source_.LendBytes(static_cast<std::int64_t>(n), target)) {
    if (ahead != 0) source_.Seek(ahead, TSeekOrigin::soCurrent);
    return false;
  }
  end_pos_ = Offset() + static_cast<std::int64_t>(n);
  hidden_ = 0;
  cur_ = end_ = begin_;
  return true;
}

void TFieldReader::ReadStream(TMemoryStream& target, bool use_compact_length) {
  const std::uint32_t n = use_compact_length ? GetCompact() : GetUInt32();
  CheckFits(n);
  if (n >= kReadAhead && Lend(n, target)) return;
  target.SetPosition(0);
  bool first = true;
  GetGrowing(n, 1, [&](std::size_t size) {
    SetStreamSizeExact(target, static_cast<std::int64_t>(size), first);
    first = false;
    return target.Memory();
  });
  target.SetPosition(0);
}

void TFieldReader::ReadChunked(TChunkedDataContainer& target, bool use_compact_length) {
  const std::uint32_t n = use_compact_length ? GetCompact() : GetUInt32();
  CheckFits(n);
  target.LoadFromStream(Stream(), n);
  Resume();
}

void TFieldReader::ReadTypedList(TCustomList& target, int item_size) {
  // The records at hand (within the limit) before the list is sized by
  // their count.
  const std::size_t head = (*Take(1) & 1) != 0 ? 4 : 1;
  --cur_;
  Prefetch(head);
  const std::uint32_t n = GetCompact();
  cur_ -= head;
  Prefetch(head + std::uint64_t{n} * static_cast<std::uint64_t>(item_size));
  target.LoadFromStream(Stream());
  Resume();
}

void TFieldReader::ReadSized(void* field, int width) {
  const int stored = GetByte();
  CheckFits(static_cast<std::uint64_t>(stored));
  auto* p = static_cast<std::uint8_t*>(field);
  if (stored < width) {
    std::memset(p + stored, 0, static_cast<std::size_t>(width - stored));
    Get(p, static_cast<std::size_t>(stored));
  } else {
    Get(p, static_cast<std::size_t>(width));
    SkipTo(Offset() + stored - width);
  }
}

TStream& TFieldReader::Stream() {
  if (memory_ == nullptr) return *this;
  memory_->SetPosition(Offset());
  return *memory_;
}

void TFieldReader::Resume() {
  if (memory_ != nullptr) SkipTo(memory_->Position());
}

void TFieldReader::Finish() {
  if (memory_ != nullptr) {
    source_.SetPosition(Offset());
  } else if (cur_ != end_ || hidden_ != 0) {  // bytes read ahead go back
    source_.Seek(-((end_ - cur_) + hidden_), TSeekOrigin::soCurrent);
    end_pos_ = Offset();
    end_ = cur_;
    hidden_ = 0;
  }
}

std::int64_t TFieldReader::SourceBase() noexcept {
  if (memory_ != nullptr) return 0;
  if (base_ == -2) {
    base_ = -1;
    try {
      // A pipe's or a device's position means nothing, and asking a pipe
      // raises.
      const auto* handle = dynamic_cast<const THandleStream*>(&source_);
      if (handle == nullptr || os::GetFileType(handle->Handle()) == os::kFileTypeDisk) {
        const std::int64_t base = source_.Position() - (end_pos_ + hidden_);
        if (base >= 0) base_ = base;
      }
    } catch (const Exception&) {
    }
  }
  return base_;
}

std::int64_t TFieldReader::SourceEnd() noexcept {
  if (memory_ != nullptr) return size_;
  if (source_end_ == -2) {
    source_end_ = -1;
    const std::int64_t base = SourceBase();
    if (base >= 0) {
      try {
        // Seeks that mean nothing may answer an end before what was read.
        const std::int64_t size = source_.Size();
        if (size - base >= end_pos_ + hidden_) source_end_ = size - base;
      } catch (const Exception&) {
      }
    }
  }
  return source_end_;
}

void TFieldReader::Abandon(std::int64_t header_end, std::int64_t end) noexcept {
  try {
    const std::int64_t source_end = SourceEnd();
    if (source_end >= 0) {
      const std::int64_t at = end >= 0 && end <= source_end ? end : std::min(header_end, source_end);
      if (memory_ != nullptr) {
        source_.SetPosition(at);
        return;
      }
      // Nothing read goes back: the source is put in place.
      source_.SetPosition(SourceBase() + at);
      cur_ = end_ = begin_;
      end_pos_ = at;
      hidden_ = 0;
      return;
    }
    // The stated end cannot be checked but by reading up to it.
    if (end >= 0 && end - header_end <= kMaxBlindSkip) {
      SetLimit(end);
      if (Offset() <= end) SkipTo(end);
    }
    Finish();
  } catch (...) {  // the first failure is the one reported
  }
}

std::int64_t TFieldReader::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t n = std::min(count, std::max<std::int64_t>(Bound() - Offset(), 0));
  if (n <= end_ - cur_) {
    Get(buffer, static_cast<std::size_t>(n));
    return n;
  }
  // Past the buffer: what the source still gives.
  const std::int64_t have = end_ - cur_;
  if (have != 0) std::memcpy(buffer, cur_, static_cast<std::size_t>(have));
  cur_ = end_;
  if (memory_ != nullptr) return have;
  return have + ReadSource(static_cast<std::uint8_t*>(buffer) + have, n - have);
}

std::int64_t TFieldReader::Write(const void*, std::int64_t) { throw EWriteError(); }

std::int64_t TFieldReader::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning:
      break;
    case TSeekOrigin::soCurrent:
      if (offset == 0) return Offset();
      base = Offset();
      break;
    case TSeekOrigin::soEnd:
      base = Bound();
      break;
  }
  if (__builtin_add_overflow(base, offset, &offset)) throw EStreamError("Invalid stream position");
  SkipTo(offset);
  return Offset();
}

// ---- Writer ---------------------------------------------------------------------

TFieldWriter::TFieldWriter(TStream& target) : target_(target), cur_(buffer_) {}

TFieldWriter::~TFieldWriter() = default;

namespace {

// The storage of the last writer let go on this thread.
struct TSpareWriter {
  void* block = nullptr;
  ~TSpareWriter() {
    ::operator delete(block);
    block = nullptr;
  }
};
thread_local TSpareWriter t_spare_writer;

}  // namespace

TFieldWriterPtr TFieldWriter::Make(TStream& target) {
  void* block = t_spare_writer.block;
  t_spare_writer.block = nullptr;
  if (block == nullptr) block = ::operator new(sizeof(TFieldWriter));
  try {
    return TFieldWriterPtr(new (block) TFieldWriter(target));
  } catch (...) {
    ::operator delete(block);
    throw;
  }
}

void TFieldWriterRelease::operator()(TFieldWriter* writer) const {
  writer->~TFieldWriter();
  if (t_spare_writer.block == nullptr) {
    t_spare_writer.block = writer;
  } else {
    ::operator delete(writer);
  }
}

bool TFieldWriter::TargetSeeks() {
  if (seeks_ == 0) {
    if (dynamic_cast<TCustomMemoryStream*>(&target_) != nullptr ||
        dynamic_cast<TChunkedDataContainer*>(&target_) != nullptr) {  // a seek past its end stops there
      seeks_ = 1;
    } else if (const auto* handle = dynamic_cast<const THandleStream*>(&target_);
               handle != nullptr && handle->AppendsOnly()) {
      seeks_ = -1;  // it seeks, but writes land at its end
    } else {
      // A target whose seeks mean nothing (a device that takes every write)
      // is not where it was sent.
      try {
        const std::int64_t at = target_.Position();
        const std::int64_t moved = target_.Seek(1, TSeekOrigin::soCurrent);
        target_.SetPosition(at);
        seeks_ = moved == at + 1 ? 1 : -1;
      } catch (const Exception&) {
        seeks_ = -1;
      }
    }
  }
  return seeks_ > 0;
}

// The whole of N bytes, however few each write takes; a write of none fails.
void TFieldWriter::WriteTarget(const void* data, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n != 0) {
    const std::int64_t done = target_.Write(p, static_cast<std::int64_t>(n));
    if (done <= 0) throw EWriteError();
    p += done;
    n -= static_cast<std::size_t>(done);
  }
}

void TFieldWriter::Hand(const void* data, std::size_t n) {
  if (open_sizes_ > 0 && (!held_.empty() || !TargetSeeks())) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    held_.insert(held_.end(), p, p + n);
    return;
  }
  if (!held_.empty()) {
    WriteTarget(held_.data(), held_.size());
    held_.clear();
  }
  WriteTarget(data, n);
}

void TFieldWriter::Flush() {
  const std::size_t n = static_cast<std::size_t>(cur_ - buffer_);
  cur_ = buffer_;
  if (n != 0) {
    Hand(buffer_, n);
    base_ += static_cast<std::int64_t>(n);
  }
  if (open_sizes_ == 0 && !held_.empty()) {
    WriteTarget(held_.data(), held_.size());
    held_.clear();
  }
}

void TFieldWriter::PutSlow(const void* data, std::size_t n) {
  Flush();
  if (n >= kBufferSize / 2) {
    Hand(data, n);
    base_ += static_cast<std::int64_t>(n);
    return;
  }
  std::memcpy(cur_, data, n);
  cur_ += n;
}

void TFieldWriter::PutLongCompact(std::int64_t value) {
  VT_ASSERT_AT(value >= 0 && value < (std::int64_t{1} << 31), "StreamUtils", 3844);
  if (value < 128) return PutByte(static_cast<std::uint8_t>(value * 2));
  const auto w = static_cast<std::uint32_t>(value * 2 + 1);
  Put(&w, 4);
}

void TFieldWriter::CloseSize(std::int64_t at, std::uint32_t value) {
  --open_sizes_;
  const std::int64_t held_base = base_ - static_cast<std::int64_t>(held_.size());
  if (at >= base_ && at + 4 <= Offset()) {
    std::memcpy(buffer_ + (at - base_), &value, 4);
  } else if (at >= held_base && at + 4 <= base_) {
    std::memcpy(held_.data() + (at - held_base), &value, 4);
  } else {
    PatchTarget(at, value);
  }
}

// Back to the size, then forward again; a write that lands elsewhere (a
// target that appends whatever its position) fails the save.
void TFieldWriter::PatchTarget(std::int64_t at, std::uint32_t value) {
  Flush();
  const std::int64_t patch = target_.Seek(at - base_, TSeekOrigin::soCurrent);
  WriteTarget(&value, 4);
  if (target_.Seek(base_ - (at + 4), TSeekOrigin::soCurrent) != patch + (base_ - at))
    throw EWriteError("Cannot write the packet size at its place in the stream");
}

void TFieldWriter::WriteWide(std::u16string_view value) {
  PutCompact(static_cast<std::int64_t>(value.size()));
  Put(value.data(), value.size() * 2);
}

void TFieldWriter::WriteStringList(const TStrings& list) {
  const int n = list.Count();
  PutCompact(n);
  if (const auto* plain = dynamic_cast<const TStringListEx*>(&list)) {
    for (int i = 0; i < n; ++i) WriteString(plain->Ref(i));
    return;
  }
  for (int i = 0; i < n; ++i) WriteString(list.Get(i));
}

void TFieldWriter::WriteLength(std::int64_t n, bool use_compact_length) {
  if (use_compact_length) return PutCompact(n);
  if (n > 0xFFFFFFFFll) throw EWriteError("Stream field too large for its length form");
  const std::uint32_t n32 = static_cast<std::uint32_t>(n);
  Put(&n32, 4);
}

void TFieldWriter::WriteBlock(const void* data, std::int64_t size, bool use_compact_length) {
  WriteLength(size, use_compact_length);
  if (size > 0) Put(data, static_cast<std::size_t>(size));
}

void TFieldWriter::WriteStreamBlock(const TCustomMemoryStream& stream, bool use_compact_length) {
  auto& s = const_cast<TCustomMemoryStream&>(stream);
  if (!IsLentStream(stream)) {
    WriteBlock(s.Memory(), s.Size(), use_compact_length);
    return;
  }
  // Its file may have been cut short under it.
  const std::int64_t size = s.Size();
  WriteLength(size, use_compact_length);
  const auto* from = static_cast<const char*>(s.Memory());
  char piece[4096];
  for (std::int64_t at = 0; at < size; at += static_cast<std::int64_t>(sizeof piece)) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(sizeof piece, size - at));
    CopyFileView(piece, from + at, n);
    Put(piece, n);
  }
}

void TFieldWriter::WriteChunked(TChunkedDataContainer& source, bool use_compact_length) {
  WriteLength(source.Size(), use_compact_length);
  const std::int64_t pos = source.Position();
  source.SaveToStream(*this);
  source.SetPosition(pos);
}

std::int64_t TFieldWriter::Read(void*, std::int64_t) { throw EReadError(); }

std::int64_t TFieldWriter::Write(const void* buffer, std::int64_t count) {
  if (count > 0) Put(buffer, static_cast<std::size_t>(count));
  return count > 0 ? count : 0;
}

// Offsets stay counted from the writer's start: a seek moves the target by
// the same distance.
std::int64_t TFieldWriter::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (origin == TSeekOrigin::soCurrent && offset == 0) return Offset();
  Flush();
  if (origin == TSeekOrigin::soEnd) {
    const std::int64_t from = target_.Position();
    base_ += target_.Seek(offset, origin) - from;
    return base_;
  }
  // The distance from here, then where it leads.
  std::int64_t delta = offset, to = 0;
  if ((origin == TSeekOrigin::soBeginning && __builtin_sub_overflow(offset, base_, &delta)) ||
      __builtin_add_overflow(base_, delta, &to))
    throw EStreamError("Invalid stream position");
  target_.Seek(delta, TSeekOrigin::soCurrent);
  base_ = to;
  return base_;
}

std::int64_t TFieldWriter::GetSize() {
  Flush();
  return target_.Size();
}

void TFieldWriter::SetSize(std::int64_t new_size) {
  Flush();
  const std::int64_t from = target_.Position();
  target_.SetSize(new_size);
  base_ += target_.Position() - from;
}

// ---- The field routines ------------------------------------------------------------

namespace {

// Fn with the stream's reader, or one over it that reads no further than Fn.
template <typename Fn>
void ReadOn(TStream& stream, Fn&& fn) {
  if (TFieldReader* reader = TFieldReader::Of(stream)) return fn(*reader);
  TFieldReader reader(stream, -1);
  fn(reader);
  reader.Finish();
}

// Fn with a reader in place over the cursor's bytes; the cursor then moves
// past what Fn read.
template <typename Fn>
void ReadAt(TBufferCursor& cursor, Fn&& fn) {
  TPointerStream bytes(const_cast<std::uint8_t*>(cursor.Pos), cursor.End - cursor.Pos, true);
  TFieldReader reader(bytes, -1);
  fn(reader);
  cursor.Pos += reader.Offset();
}

}  // namespace

void ReadFixedField(TStream& stream, void* field, int width) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadSized(field, width); });
}
void ReadFixedFieldFromBuffer(TBufferCursor& cursor, void* field, int width) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadSized(field, width); });
}

void WriteStringField(TStream& stream, std::string_view value) {
  WithFieldWriter(stream, [&](TFieldWriter& w) { w.WriteString(value); });
}
void ReadStringField(TStream& stream, std::string& value) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadString(value); });
}
void ReadStringFieldFromBuffer(TBufferCursor& cursor, std::string& value) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadString(value); });
}

void WriteWideStringField(TStream& stream, std::u16string_view value) {
  WithFieldWriter(stream, [&](TFieldWriter& w) { w.WriteWide(value); });
}
void ReadWideStringField(TStream& stream, std::u16string& value) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadWide(value); });
}
void ReadWideStringFieldFromBuffer(TBufferCursor& cursor, std::u16string& value) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadWide(value); });
}

void WriteStringListField(TStream& stream, const TStrings& list) {
  WithFieldWriter(stream, [&](TFieldWriter& w) { w.WriteStringList(list); });
}
void ReadStringListField(TStream& stream, TStrings& list) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadStringList(list); });
}
void ReadStringListFieldFromBuffer(TBufferCursor& cursor, TStrings& list) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadStringList(list); });
}

void WriteStreamField(TStream& stream, TCustomMemoryStream& value, bool use_compact_length) {
  WithFieldWriter(stream, [&](TFieldWriter& w) { w.WriteStreamBlock(value, use_compact_length); });
}
void ReadStreamField(TStream& stream, TMemoryStream& value, bool use_compact_length) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadStream(value, use_compact_length); });
}
void ReadStreamFieldFromBuffer(TBufferCursor& cursor, TMemoryStream& value, bool use_compact_length) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadStream(value, use_compact_length); });
}

void WriteChunkedDataField(TStream& stream, TChunkedDataContainer& value, bool use_compact_length) {
  WithFieldWriter(stream, [&](TFieldWriter& w) { w.WriteChunked(value, use_compact_length); });
}
void ReadChunkedDataField(TStream& stream, TChunkedDataContainer& value, bool use_compact_length) {
  ReadOn(stream, [&](TFieldReader& r) { r.ReadChunked(value, use_compact_length); });
}
void ReadChunkedDataFieldFromBuffer(TBufferCursor& cursor, TChunkedDataContainer& value, bool use_compact_length) {
  ReadAt(cursor, [&](TFieldReader& r) { r.ReadChunked(value, use_compact_length); });
}

// ---- Text forms ---------------------------------------------------------------

std::string StringFieldToText(std::string_view s) {
  std::string r;
  r.reserve(s.size() + 2);
  r += '\'';
  for (char c : s) r += c == '\0' ? ' ' : c;
  r += '\'';
  return r;
}

std::string FloatToTextGeneral4(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  // The exact decimal expansion (a double has at most 767 significant
  // digits), rounded to 4 digits with ties away from zero.
  char buf[800];
  std::snprintf(buf, sizeof buf, "%.767e", std::fabs(value));
  const bool negative = value < 0;
  int exponent = std::atoi(std::strchr(buf, 'e') + 1);
  std::string digits = {buf[0], buf[2], buf[3], buf[4]};
  if (buf[5] >= '5') {
    int i = 3;
    while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') digits[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) {
      digits = "1000";
      ++exponent;
    } else {
      ++digits[static_cast<std::size_t>(i)];
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string r = negative ? "-" : "";
  if (exponent >= 4 || exponent < -5) {
    r += digits[0];
    if (digits.size() > 1) r += "." + digits.substr(1);
    r += "E" + std::to_string(exponent);
    return r;
  }
  if (exponent < 0) {
    r += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      r += digits + std::string(int_digits - digits.size(), '0');
    } else {
      r += digits.substr(0, int_digits) + "." + digits.substr(int_digits);
    }
  }
  return r;
}

std::string DateTimeToText(double value) {
  // Day counts of 0001-01-01 and 9999-12-31 from 1899-12-30.
  if (!(value > -693594.0 && value < 2958466.0)) return FloatToTextGeneral4(value);
  const double day_part = std::trunc(value);
  std::int64_t ms = std::llround(std::fabs(value - day_part) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  const int hour = static_cast<int>(ms / 3600000);
  const int minute = static_cast<int>(ms / 60000 % 60);
  const int second = static_cast<int>(ms / 1000 % 60);
  const bool has_time = hour != 0 || minute != 0 || second != 0;

  std::int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<std::int64_t>(day_part) - 25569, y, m, d);
  char buf[48];
  if (day_part == 0 && has_time) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  } else if (!has_time) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02d:%02d:%02d", static_cast<long long>(y), m, d, hour,
                  minute, second);
  }
  return buf;
}

bool TryTextToFloat(std::string_view text, double& value) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  std::string s(text.substr(b, e - b));
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t mantissa_start = i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != s.size()) return false;
  const bool negative = s[0] == '-';
  double v = 0;
  const char* first = s.data() + mantissa_start;
  auto [ptr, ec] = std::from_chars(first, s.data() + s.size(), v);
  if (ptr != s.data() + s.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) return false;
  if (ec == std::errc::result_out_of_range) return false;
  value = negative ? -v : v;
  return true;
}

std::string StringsToText(const TStrings& list) {
  std::string r;
  const int n = list.Count();
  for (int i = 0; i < n; ++i) {
    r += list.Get(i);
    r += "\r\n";
  }
  return r;
}

void SetStringsText(TStrings& list, std::string_view text) {
  list.BeginUpdate();
  list.Clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    list.Add(std::string(text.substr(i, j - i)));
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
  }
  list.EndUpdate();
}

}  // namespace vt
