#include "common/Classes.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "common/StreamUtils.h"

namespace vt {

std::int64_t TStream::GetSize() {
  std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
  std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return size;
}

void TStream::SetSize(std::int64_t) {}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError();
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  const std::int64_t result = count;
  constexpr std::int64_t kBufSize = 0xF000;
  std::vector<char> buf(static_cast<size_t>(count < kBufSize ? (count > 0 ? count : 1) : kBufSize));
  while (count > 0) {
    std::int64_t n = count > kBufSize ? kBufSize : count;
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    count -= n;
  }
  return result;
}

std::int64_t TCustomMemoryStream::Read(void* buffer, std::int64_t count) {
  if (position_ >= 0 && count >= 0) {
    std::int64_t n = size_ - position_;
    if (n > 0) {
      if (n > count) n = count;
      std::memcpy(buffer, static_cast<char*>(memory_) + position_, static_cast<size_t>(n));
      position_ += n;
      return n;
    }
  }
  return 0;
}

std::int64_t TCustomMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: break;
    case TSeekOrigin::soCurrent: base = position_; break;
    case TSeekOrigin::soEnd: base = size_; break;
  }
  std::int64_t to = 0;
  if (__builtin_add_overflow(base, offset, &to)) throw EStreamError("Invalid stream position");
  position_ = to;
  return position_;
}

void TCustomMemoryStream::SaveToStream(TStream& stream) {
  if (size_ == 0) return;
  if (!IsLentStream(*this)) return stream.WriteBuffer(memory_, size_);
  // Lent bytes go through Read, under the view guard: their file may be
  // cut short under them.
  const std::int64_t pos = position_;
  position_ = 0;
  try {
    stream.CopyFrom(*this, size_);
  } catch (...) {
    position_ = pos;
    throw;
  }
  position_ = pos;
}

TMemoryStream::~TMemoryStream() { Clear(); }

void* TMemoryStream::Realloc(std::int64_t& new_capacity) {
  constexpr std::int64_t kDelta = 0x2000;
  if (new_capacity > 0 && new_capacity != GetSize()) {
    // Rounding up may not pass the largest size.
    if (new_capacity > std::numeric_limits<std::int64_t>::max() - (kDelta - 1))
      throw EStreamError("Out of memory while expanding memory stream");
    new_capacity = (new_capacity + (kDelta - 1)) & ~(kDelta - 1);
  }
  void* p = Memory();
  if (new_capacity != capacity_) {
    if (new_capacity == 0) {
      std::free(p);
      p = nullptr;
    } else {
      void* q = std::realloc(p, static_cast<size_t>(new_capacity));
      if (q == nullptr) throw EStreamError("Out of memory while expanding memory stream");
      p = q;
    }
  }
  return p;
}

void TMemoryStream::SetCapacity(std::int64_t new_capacity) {
  void* p = Realloc(new_capacity);
  SetPointer(p, GetSize());
  capacity_ = new_capacity;
}

void TMemoryStream::SetSize(std::int64_t new_size) {
  if (new_size < 0) throw EStreamError(Format("Invalid stream size %d", new_size));
  const std::int64_t old_pos = RawPosition();
  const std::int64_t old_size = GetSize();
  SetCapacity(new_size);
  SetPointer(Memory(), new_size);
  // What the block held past the old end reads as zeros.
  if (new_size > old_size) ZeroGrown(old_size, new_size, new_size);
  if (old_pos > new_size) Seek(0, TSeekOrigin::soEnd);
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  std::int64_t pos = RawPosition();
  if (pos >= 0 && count >= 0) {
    std::int64_t end = 0;
    if (__builtin_add_overflow(pos, count, &end)) throw EStreamError("Out of memory while expanding memory stream");
    if (end > 0) {
      const std::int64_t old_size = GetSize();
      if (end > old_size) {
        if (end > capacity_) SetCapacity(end);
        SetPointer(Memory(), end);
        // A gap left by a seek past the end reads as zeros, never as what
        // the block held before.
        ZeroGrown(old_size, pos, end);
      }
      if (count > 0) std::memcpy(static_cast<char*>(Memory()) + pos, buffer, static_cast<size_t>(count));
      SetRawPosition(end);
      return count;
    }
  }
  return 0;
}

void TMemoryStream::ZeroGrown(std::int64_t from, std::int64_t to, std::int64_t end) {
  const std::int64_t zero = GrowUsed(end);
  if (zero < to) to = zero;
  if (to > from) ZeroBytes(from, to);
}

void TMemoryStream::ZeroBytes(std::int64_t from, std::int64_t to) {
  std::memset(static_cast<char*>(Memory()) + from, 0, static_cast<size_t>(to - from));
}

void TMemoryStream::Clear() {
  SetCapacity(0);
  SetPointer(Memory(), 0);
  SetRawPosition(0);
}

void TMemoryStream::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  std::int64_t count = stream.Size();
  SetSize(count);
  if (count != 0) stream.ReadBuffer(Memory(), count);
}

}  // namespace vt
