#include "common/ChunkedDataContainer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "common/StreamUtils.h"
#include "platform/SystemInfo.h"

namespace vt {

namespace {
constexpr std::int64_t kMaxSize = std::numeric_limits<std::int32_t>::max();
}

TChunkedDataContainer::~TChunkedDataContainer() { Clear(); }

std::int64_t TChunkedDataContainer::ChunkSize() {
  static const std::int64_t size = [] {
    os::SystemInfo info;
    os::GetSystemInfo(&info);
    return static_cast<std::int64_t>(info.dwPageSize != 0 ? info.dwPageSize : 4096) * 1024;
  }();
  return size;
}

void TChunkedDataContainer::Clear() {
  for (std::uint8_t* c : chunks_) delete[] c;
  chunks_.clear();
  position_ = 0;
  size_ = 0;
}

std::int64_t TChunkedDataContainer::UsedBytes(std::size_t i) const {
  return std::min(ChunkSize(), size_ - static_cast<std::int64_t>(i) * ChunkSize());
}

std::int64_t TChunkedDataContainer::Read(void* buffer, std::int64_t count) {
  const std::int64_t chunk = ChunkSize();
  std::int64_t n = std::min<std::int64_t>(count, size_ - position_);
  if (n <= 0) return 0;
  const std::int64_t result = n;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t pos = position_;
  while (n > 0) {
    const std::int64_t offset = pos % chunk;
    const std::int64_t piece = std::min(n, chunk - offset);
    std::memcpy(out, chunks_[static_cast<std::size_t>(pos / chunk)] + offset, static_cast<std::size_t>(piece));
    out += piece;
    pos += piece;
    n -= piece;
  }
  position_ = static_cast<std::int32_t>(pos);
  return result;
}

std::int64_t TChunkedDataContainer::Write(const void* buffer, std::int64_t count) {
  const std::int64_t chunk = ChunkSize();
  // The position and size are 32-bit: what would pass that is not written.
  std::int64_t n = std::min<std::int64_t>(count, kMaxSize - position_);
  if (n <= 0) return 0;
  const std::int64_t result = n;
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int64_t pos = position_;
  while (n > 0) {
    const auto index = static_cast<std::size_t>(pos / chunk);
    if (index == chunks_.size()) chunks_.push_back(new std::uint8_t[static_cast<std::size_t>(chunk)]);
    const std::int64_t offset = pos % chunk;
    const std::int64_t piece = std::min(n, chunk - offset);
    std::memcpy(chunks_[index] + offset, in, static_cast<std::size_t>(piece));
    in += piece;
    pos += piece;
    n -= piece;
    // Keep Size in step, so a failed chunk allocation leaves a sound state.
    position_ = static_cast<std::int32_t>(pos);
    size_ = std::max(size_, position_);
  }
  return result;
}

std::int64_t TChunkedDataContainer::Seek(std::int64_t offset, TSeekOrigin origin) {
  // Position and size are 32-bit: a larger offset clamps as this one does,
  // and the sums below cannot overflow.
  offset = std::clamp<std::int64_t>(offset, -2 * kMaxSize, 2 * kMaxSize);
  std::int64_t target = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: target = offset; break;
    case TSeekOrigin::soCurrent: target = position_ + offset; break;
    case TSeekOrigin::soEnd: target = size_ + offset; break;
  }
  position_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(target, 0, size_));
  return position_;
}

void TChunkedDataContainer::LoadFromStream(TStream& stream, std::int64_t count) {
  Clear();
  if (count <= 0) return;
  // Bytes in memory are counted first. Other streams need not know their
  // size: chunks are made as their bytes come.
  if (count > kMaxSize) throw EReadError();
  if (auto* memory = dynamic_cast<TCustomMemoryStream*>(&stream);
      memory != nullptr && count > memory->Size() - memory->Position())
    throw EReadError();
  const std::int64_t chunk = ChunkSize();
  try {
    for (std::int64_t left = count; left > 0;) {
      const std::int64_t piece = std::min(left, chunk);
      std::unique_ptr<std::uint8_t[]> c(new std::uint8_t[static_cast<std::size_t>(chunk)]);
      ReadExact(stream, c.get(), piece);
      chunks_.push_back(c.release());
      size_ = static_cast<std::int32_t>(size_ + piece);
      left -= piece;
    }
  } catch (...) {  // a load cut short leaves the container empty
    Clear();
    throw;
  }
  position_ = size_;
}

void TChunkedDataContainer::SaveToStream(TStream& stream) {
  position_ = 0;
  for (std::size_t i = 0; i < chunks_.size(); ++i) {
    const std::int64_t used = UsedBytes(i);
    stream.WriteBuffer(chunks_[i], used);
    position_ = static_cast<std::int32_t>(position_ + used);
  }
}

bool TChunkedDataContainer::Equals(const TChunkedDataContainer& other) const {
  if (chunks_.size() != other.chunks_.size() || size_ != other.size_) return false;
  for (std::size_t i = 0; i < chunks_.size(); ++i) {
    if (std::memcmp(chunks_[i], other.chunks_[i], static_cast<std::size_t>(UsedBytes(i))) != 0) return false;
  }
  return true;
}

void TChunkedDataContainer::Assign(const TChunkedDataContainer& source) {
  if (&source == this) return;
  Clear();
  for (std::size_t i = 0; i < source.chunks_.size(); ++i) WriteBuffer(source.chunks_[i], source.UsedBytes(i));
}

}  // namespace vt
