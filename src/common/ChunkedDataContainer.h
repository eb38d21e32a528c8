// A growable in-memory stream that keeps its bytes in fixed-size chunks, so
// appending never copies what is already stored.
#pragma once

#include <cstdint>
#include <vector>

#include "common/Classes.h"

namespace vt {

class TChunkedDataContainer : public TStream {
 public:
  TChunkedDataContainer() = default;
  ~TChunkedDataContainer() override;
  TChunkedDataContainer(const TChunkedDataContainer&) = delete;
  TChunkedDataContainer& operator=(const TChunkedDataContainer&) = delete;

  // The system's page size times 1024.
  static std::int64_t ChunkSize();

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  // Every origin clamps the position to 0 .. Size.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override { return size_; }

  void Clear();
  // Clear, then Count bytes of Stream; Position and Size end at Count.
  void LoadFromStream(TStream& stream, std::int64_t count);
  // All bytes from the start; Position ends at Size.
  void SaveToStream(TStream& stream);
  bool Equals(const TChunkedDataContainer& other) const;
  void Assign(const TChunkedDataContainer& source);

  int ChunkCount() const { return static_cast<int>(chunks_.size()); }

 private:
  // Bytes of chunk I that hold data.
  std::int64_t UsedBytes(std::size_t i) const;

  std::vector<std::uint8_t*> chunks_;
  std::int32_t position_ = 0;
  std::int32_t size_ = 0;
};

}  // namespace vt
