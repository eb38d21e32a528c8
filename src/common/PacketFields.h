// Field encodings of packet payloads and the text forms of packet fields.
//
// Every payload is its fields in index order, each in one of these forms
// (all integers little-endian):
//   raw N        the field's N bytes as held in memory
//   sized N      one byte S, then S bytes (the reader zero-fills or skips)
//   compact      compact length of the value (0 .. 2^31-1)
//   string       compact length L, then L bytes
//   wide         compact length W (UTF-16 units), then 2*W bytes
//   string list  compact count N, then N strings
//   stream       length (UInt32, or compact with a streaming context), bytes
//   packet       a nested packet as SavePacket writes it
//   packet list  UInt32 count N, then N nested packets
//
// Readers take the bytes that remain as a bound: a stored length or count
// that cannot fit in them raises the stream read error before anything is
// allocated or read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "common/Classes.h"
#include "common/StreamUtils.h"

namespace vt {

class TStrings;
class TChunkedDataContainer;
class TCustomList;

// The one reader of packet payloads: a cursor and an end over the bytes
// at hand. Over a memory stream they are the stream's own memory, offsets
// are its positions and its size bounds every read. Over any other stream
// (a file, a pipe, a socket) they are a buffer of the reader's, refilled
// as it runs out; offsets count from where the reader started, and the
// stream is never asked for its size or position: it may not know them.
// Such a source may hand over fewer bytes than asked; only a read of 0
// bytes is its end. The reader never reads ahead past Limit (an offset;
// negative: only the bytes asked for, so that the stream ends right behind
// what was read), and what it allocates for a stored length or count
// grows in steps with the bytes that actually arrive. Nested packets are
// read through the same reader; operations that need a stream get the
// reader itself, or the memory stream at the reader's position. Finish
// puts the source's position behind what was read.
class TFieldReader final : public TStream {
 public:
  TFieldReader(TStream& source, std::int64_t limit);
  ~TFieldReader() override;
  TFieldReader(const TFieldReader&) = delete;
  TFieldReader& operator=(const TFieldReader&) = delete;

  // Stream is the reader of a load in progress: nullptr when it is not one.
  static TFieldReader* Of(TStream& stream) {
    return typeid(stream) == typeid(TFieldReader) ? static_cast<TFieldReader*>(&stream) : nullptr;
  }

  // The end of the stand-alone packet being read (negative: none), which
  // its nested packets share: set for a packet's payload, then put back.
  // Nothing past it is read: the bytes at hand stop there, and a read that
  // would cross it raises EReadError.
  std::int64_t Limit() const { return limit_; }
  void SetLimit(std::int64_t limit) {
    limit_ = limit;
    if (memory_ != nullptr) {  // the memory's bytes end at the limit
      const std::int64_t end = limit >= 0 && limit < size_ ? limit : size_;
      bound_ = end;
      if (begin_ + end >= cur_) {
        end_ = begin_ + end;
        end_pos_ = end;
      }
      return;
    }
    bound_ = limit >= 0 ? limit : kUnbounded;
    // The bytes at hand end at the limit; those read past it wait behind.
    const std::int64_t real = end_pos_ + hidden_;
    std::int64_t seen = limit >= 0 && limit < real ? limit : real;
    if (seen < Offset()) seen = Offset();
    end_ += seen - end_pos_;
    hidden_ = real - seen;
    end_pos_ = seen;
  }
  std::int64_t Offset() const { return end_pos_ - (end_ - cur_); }
  // Where the data must end: the memory's size, else the limit when one is
  // known (a stand-alone packet's end), else nowhere known.
  std::int64_t Bound() const { return bound_; }
  // Bytes at hand: read, not yet taken.
  std::size_t InHand() const { return static_cast<std::size_t>(end_ - cur_); }
  // A stored length that cannot fit before the bound is the data ending
  // early: EReadError before anything is allocated.
  void CheckFits(std::uint64_t needed) const {
    const std::int64_t left = bound_ - Offset();
    if (left < 0 || needed > static_cast<std::uint64_t>(left)) throw EReadError();
  }
  // Makes N bytes at hand, reading them in steps (the bytes a stored count
  // promises at least, before anything is sized by that count).
  void Prefetch(std::uint64_t n) {
    CheckFits(n);
    if (n > InHand()) PrefetchSlow(n);
  }

  // N bytes at the cursor (valid until the next read), then past them.
  const std::uint8_t* Take(std::size_t n) {
    if (n <= static_cast<std::size_t>(end_ - cur_)) {
      const std::uint8_t* p = cur_;
      cur_ += n;
      return p;
    }
    return TakeSlow(n);
  }
  void Get(void* dest, std::size_t n) {
    if (n <= static_cast<std::size_t>(end_ - cur_)) {
      if (n != 0) std::memcpy(dest, cur_, n);
      cur_ += n;
      return;
    }
    GetSlow(dest, n);
  }
  std::uint8_t GetByte() { return *Take(1); }
  std::uint32_t GetUInt32() {
    std::uint32_t v;
    std::memcpy(&v, Take(4), 4);
    return v;
  }
  std::uint32_t GetCompact();
  void SkipTo(std::int64_t offset);

  // The wire forms.
  void ReadString(std::string& value);
  void ReadWide(std::u16string& value);
  void ReadStringList(TStrings& list);
  void ReadStream(TMemoryStream& target, bool use_compact_length);
  void ReadChunked(TChunkedDataContainer& target, bool use_compact_length);
  // Compact count N, then N records of ItemSize bytes (typed lists).
  void ReadTypedList(TCustomList& target, int item_size);
  // One byte S, then S bytes into Field (zero-filled when S < Width, the
  // surplus skipped when S > Width). Never writes past Width.
  void ReadSized(void* field, int width);

  // For operations that read a stream: the memory stream at the reader's
  // position (in place), else the reader; Resume takes the position back.
  TStream& Stream();
  void Resume();

  void Finish();
  // After a failed read of a stand-alone packet whose header ends at
  // HeaderEnd and which states its end at End (negative: a size not to be
  // trusted), so that a reader that goes on always moves forward: the
  // source is put at End when that lies within it, else behind the header
  // (at its end, when that comes first). A source that cannot tell its
  // size (a pipe) is read on to End when the packet's payload is at most
  // kMaxBlindSkip, else left behind what was read. Never raises.
  void Abandon(std::int64_t header_end, std::int64_t end) noexcept;
  static constexpr std::int64_t kMaxBlindSkip = std::int64_t{16} << 20;
  // Where offset 0 is in the source; -1 when the source cannot tell (a
  // pipe, a device, a stream whose seeks mean nothing). Asked once.
  std::int64_t SourceBase() noexcept;
  // The source's end as an offset (for memory, its size); -1 when unknown.
  std::int64_t SourceEnd() noexcept;

  // The class of the last stand-alone header read: a look-up cache for the
  // packets of a list, which are mostly of one class.
  const void* LastClass = nullptr;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override { return Bound(); }

 private:
  static constexpr std::int64_t kUnbounded = std::int64_t{1} << 62;
  void PrefetchSlow(std::uint64_t n);
  // A read of N more bytes that would cross the limit raises EReadError.
  void CheckWithinLimit(std::size_t n) const {
    if (limit_ < 0) return;
    const std::int64_t left = std::max<std::int64_t>(limit_ - Offset(), 0);
    if (static_cast<std::uint64_t>(n) > static_cast<std::uint64_t>(left)) throw EReadError();
  }
  [[gnu::noinline]] void ReadLongString(std::string& value, std::size_t n);
  const std::uint8_t* TakeSlow(std::size_t n);
  void GetSlow(void* dest, std::size_t n);
  void Refill(std::size_t need);
  // Reads from the source until N bytes came (a read of 0 is the end).
  std::int64_t ReadSource(void* dest, std::int64_t n);
  // Count items of Unit bytes into the destination Grow sizes (Grow(items)
  // answers its memory): at once when they are at hand, else in steps.
  template <typename Grow>
  void GetGrowing(std::size_t count, std::size_t unit, Grow&& grow);
  bool Lend(std::size_t n, TMemoryStream& target);

  TStream& source_;
  TCustomMemoryStream* memory_;  // the source when it is read in place
  const std::uint8_t* begin_ = nullptr;
  const std::uint8_t* cur_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  std::int64_t end_pos_ = 0;  // offset of end_
  std::int64_t size_ = 0;     // of the memory
  std::int64_t limit_;
  std::int64_t bound_;  // Bound()
  std::int64_t hidden_ = 0;  // bytes read past the limit, behind end_
  std::int64_t base_ = -2;   // SourceBase(); -2: not asked yet
  std::int64_t source_end_ = -2;
  std::vector<std::uint8_t> buffer_;
};

// The one writer of packet payloads: fields go into a buffer of its own,
// handed to the target stream in large pieces (the whole of each piece,
// however little a single write takes). Offsets count from where the
// writer started; the target is never asked for its position. A size that
// is written before it is known (OpenSize .. CloseSize, a stand-alone
// header) is patched in the buffer, else by seeking back in the target;
// a target that cannot seek (a pipe, a socket) is handed nothing while a
// size is open. Flush hands over what is buffered.
class TFieldWriter;
// Lets a writer go; its storage is kept for the thread's next writer.
struct TFieldWriterRelease {
  void operator()(TFieldWriter* writer) const;
};
using TFieldWriterPtr = std::unique_ptr<TFieldWriter, TFieldWriterRelease>;

class TFieldWriter final : public TStream {
 public:
  // A writer over Target. Writers hold their buffer and live on the heap, in
  // storage each thread keeps for its next one, so a save allocates nothing.
  static TFieldWriterPtr Make(TStream& target);
  ~TFieldWriter() override;
  TFieldWriter(const TFieldWriter&) = delete;
  TFieldWriter& operator=(const TFieldWriter&) = delete;

  static TFieldWriter* Of(TStream& stream) {
    return typeid(stream) == typeid(TFieldWriter) ? static_cast<TFieldWriter*>(&stream) : nullptr;
  }

  std::int64_t Offset() const { return base_ + (cur_ - buffer_); }
  void Put(const void* data, std::size_t n) {
    if (n <= static_cast<std::size_t>(buffer_ + kBufferSize - cur_)) {
      if (n != 0) std::memcpy(cur_, data, n);
      cur_ += n;
      return;
    }
    PutSlow(data, n);
  }
  void PutByte(std::uint8_t b) { Put(&b, 1); }
  void PutCompact(std::int64_t value) {
    if (value >= 0 && value < 128 && cur_ != buffer_ + kBufferSize) {
      *cur_++ = static_cast<std::uint8_t>(value * 2);
      return;
    }
    PutLongCompact(value);
  }
  // A size written before its value is known: OpenSize answers the
  // present offset, CloseSize puts Value at At (behind that offset) once
  // the bytes it counts are written.
  std::int64_t OpenSize() {
    ++open_sizes_;
    return Offset();
  }
  void CloseSize(std::int64_t at, std::uint32_t value);
  void Flush();

  // The wire forms.
  void WriteString(std::string_view value) {
    PutCompact(static_cast<std::int64_t>(value.size()));
    Put(value.data(), value.size());
  }
  void WriteWide(std::u16string_view value);
  void WriteStringList(const TStrings& list);
  // Length (compact, else UInt32), then Size bytes of Data.
  void WriteBlock(const void* data, std::int64_t size, bool use_compact_length);
  // A stream's bytes as a block; lent bytes are copied under the view guard.
  void WriteStreamBlock(const TCustomMemoryStream& stream, bool use_compact_length);
  void WriteChunked(TChunkedDataContainer& source, bool use_compact_length);
  void WriteSized(const void* field, int width) {
    PutByte(static_cast<std::uint8_t>(width));
    Put(field, static_cast<std::size_t>(width));
  }

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override;
  void SetSize(std::int64_t new_size) override;

 private:
  static constexpr std::size_t kBufferSize = 16384;
  void PutSlow(const void* data, std::size_t n);
  void PutLongCompact(std::int64_t value);
  void WriteLength(std::int64_t n, bool use_compact_length);
  // Hands N bytes on: to the target, or to the held bytes while a size is
  // open over a target that cannot seek.
  void Hand(const void* data, std::size_t n);
  void WriteTarget(const void* data, std::size_t n);
  // Puts Value at At, already handed to the target, by seeking back.
  [[gnu::noinline]] void PatchTarget(std::int64_t at, std::uint32_t value);
  bool TargetSeeks();

  explicit TFieldWriter(TStream& target);

  TStream& target_;
  std::int64_t base_ = 0;  // offset of buffer_[0]
  std::uint8_t* cur_;
  int open_sizes_ = 0;
  int seeks_ = 0;  // whether the target seeks: 0 not asked yet, 1 yes, -1 no
  std::vector<std::uint8_t> held_;  // handed on, not yet written (offsets base_ - size .. base_)
  // Inside the object, so that Put finds its bound without a load; writers
  // are therefore made on the heap (Make), never on the stack.
  std::uint8_t buffer_[kBufferSize];
};

// The reader a load goes through: Stream itself when it is a reader, else
// one of the scope's own over it, finished by Done.
class TReaderScope {
 public:
  TReaderScope(TStream& stream, std::int64_t limit) : reader_(TFieldReader::Of(stream)) {
    if (reader_ == nullptr) {
      reader_ = &own_.emplace(stream, limit);
      start_ = own_->Offset();
    }
  }
  TFieldReader& operator*() const { return *reader_; }
  TFieldReader* operator->() const { return reader_; }
  void Done() {
    if (own_) own_->Finish();
  }
  // A failed read of the stand-alone packet whose HeaderSize bytes of
  // header were read from the scope's start and which ends at End
  // (negative: a size not to be trusted): the scope's own reader leaves
  // its stream as TFieldReader::Abandon does.
  void Abandon(std::int64_t header_size, std::int64_t end) noexcept {
    if (own_) own_->Abandon(start_ + header_size, end);
  }
  // Offsets of the scope's own reader as stream positions; over a stream
  // that cannot tell its position, counted from the scope's start.
  std::int64_t StreamPosition(std::int64_t offset) {
    if (!own_) return offset;
    const std::int64_t base = own_->SourceBase();
    return base >= 0 ? base + offset : offset;
  }

 private:
  TFieldReader* reader_;
  std::optional<TFieldReader> own_;
  std::int64_t start_ = 0;
};

// The writer a save goes through: Stream itself when it is a writer, else
// one of the scope's own over it (on the heap), flushed by Done. The hot
// paths of a save use it rather than WithFieldWriter, so that their bodies
// stay inlined.
class TWriterScope {
 public:
  explicit TWriterScope(TStream& stream) : writer_(TFieldWriter::Of(stream)) {
    if (writer_ == nullptr) [[unlikely]] {
      own_ = TFieldWriter::Make(stream);
      writer_ = own_.get();
    }
  }
  TFieldWriter& operator*() const { return *writer_; }
  TFieldWriter* operator->() const { return writer_; }
  void Done() {
    if (own_) own_->Flush();
  }

 private:
  TFieldWriter* writer_;
  TFieldWriterPtr own_;
};

// Runs Fn with the writer a save goes through: Stream itself when it is a
// writer, else one of its own over it (on the heap), flushed after Fn.
template <typename Fn>
[[gnu::noinline]] void WithOwnFieldWriter(TStream& stream, Fn&& fn) {
  const auto writer = TFieldWriter::Make(stream);
  fn(*writer);
  writer->Flush();
}
template <typename Fn>
void WithFieldWriter(TStream& stream, Fn&& fn) {
  if (TFieldWriter* writer = TFieldWriter::Of(stream)) return fn(*writer);
  WithOwnFieldWriter(stream, fn);
}

// ---- The field routines ----------------------------------------------------
// Each wire form by itself, for custom field operations and other callers:
// over any stream (through the stream's reader or writer when it is one, else
// one made for the call, reading no further than the field), and over bytes
// in memory at a cursor, which they advance. All go through the one reader
// and writer above.

// Sized form: one byte S, then S bytes into Field (zero-filled when S is
// less than Width, the surplus skipped when greater).
void ReadFixedField(TStream& stream, void* field, int width);
void ReadFixedFieldFromBuffer(TBufferCursor& cursor, void* field, int width);

void WriteStringField(TStream& stream, std::string_view value);
void ReadStringField(TStream& stream, std::string& value);
void ReadStringFieldFromBuffer(TBufferCursor& cursor, std::string& value);

void WriteWideStringField(TStream& stream, std::u16string_view value);
void ReadWideStringField(TStream& stream, std::u16string& value);
void ReadWideStringFieldFromBuffer(TBufferCursor& cursor, std::u16string& value);

// Objects attached to the items are not written; the reader empties the
// list before it adds what is stored.
void WriteStringListField(TStream& stream, const TStrings& list);
void ReadStringListField(TStream& stream, TStrings& list);
void ReadStringListFieldFromBuffer(TBufferCursor& cursor, TStrings& list);

// The length is compact with UseCompactLength (a streaming context is in
// use), else a UInt32. The writer takes the whole memory whatever the
// position; the reader sizes the target to exactly the stored length and
// leaves it at position 0.
void WriteStreamField(TStream& stream, TCustomMemoryStream& value, bool use_compact_length);
void ReadStreamField(TStream& stream, TMemoryStream& value, bool use_compact_length);
void ReadStreamFieldFromBuffer(TBufferCursor& cursor, TMemoryStream& value, bool use_compact_length);

// The same length rule; the reader replaces the container's content.
void WriteChunkedDataField(TStream& stream, TChunkedDataContainer& value, bool use_compact_length);
void ReadChunkedDataField(TStream& stream, TChunkedDataContainer& value, bool use_compact_length);
void ReadChunkedDataFieldFromBuffer(TBufferCursor& cursor, TChunkedDataContainer& value, bool use_compact_length);

// ---- Text forms -----------------------------------------------------------

// S with every NUL replaced by a blank, in single quotes (quotes inside are
// not doubled).
std::string StringFieldToText(std::string_view s);

// The general number form with 4 significant digits and '.' as separator:
// fixed notation unless the integer part has more than 4 digits or the
// magnitude is below 0.00001; trailing zeros dropped ("0.3", "1.25",
// "1.235E5", "1E-6").
std::string FloatToTextGeneral4(double value);

// A day count from 1899-12-30 as "yyyy-mm-dd hh:nn:ss": the date alone when
// the time of day is 0, the time alone when the day part is 0. Values
// outside the years 1 to 9999 (and NaN) fall back to FloatToTextGeneral4.
std::string DateTimeToText(double value);

// Text to number with '.' as separator; leading and trailing blanks are
// allowed. False for anything else (no NaN or infinity texts).
bool TryTextToFloat(std::string_view text, double& value);

// A string list's text: every line followed by CR LF.
std::string StringsToText(const TStrings& list);
// Replaces the lines of List by the segments of Text ending at CR, LF or
// CR LF (a final line break adds no empty line).
void SetStringsText(TStrings& list, std::string_view text);

}  // namespace vt
