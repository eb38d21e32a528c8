// The object base and the stream classes every container and packet is
// written through.
#pragma once

#include <cstdint>
#include <string>

#include "common/SysUtils.h"

namespace vt {

// Common base of the library's objects: owners free what they own through it.
// Destructors may raise: consistency checks at destruction are exceptions.
class TObject {
 public:
  virtual ~TObject() noexcept(false) = default;
};

enum class TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// Byte stream with a position. Read and Write move at most Count bytes and
// answer how many moved; ReadBuffer and WriteBuffer move all or raise.
class TMemoryStream;

class TStream : public TObject {
 public:
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  virtual std::int64_t GetSize();
  virtual void SetSize(std::int64_t new_size);
  std::int64_t Size() { return GetSize(); }

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // Raise EReadError / EWriteError when fewer bytes move.
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);

  // Copies Count bytes from Source's position (Count = 0: all of Source,
  // from its start). Answers the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);

  // Puts Target over the next Count bytes of this stream in place, without
  // copying them, and moves past them; false (nothing done) when the stream
  // does not lend its bytes.
  virtual bool LendBytes(std::int64_t count, TMemoryStream& target) { return false; }
};

// A stream over one block of memory. Reads, seeks and size work on the
// block; subclasses decide how the block is obtained.
class TCustomMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t GetSize() override { return size_; }

  void* Memory() const { return memory_; }
  void SaveToStream(TStream& stream);

 protected:
  void SetPointer(void* memory, std::int64_t size) {
    memory_ = memory;
    size_ = size;
  }
  std::int64_t RawPosition() const { return position_; }
  void SetRawPosition(std::int64_t p) { position_ = p; }

 private:
  void* memory_ = nullptr;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

// A growable memory stream. Realloc is the reallocation hook: it answers
// the block for NewCapacity (and may round NewCapacity up). A subclass that
// overrides Realloc must call Clear() in its own destructor.
class TMemoryStream : public TCustomMemoryStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;

  std::int64_t Write(const void* buffer, std::int64_t count) override;
  void SetSize(std::int64_t new_size) override;

  void Clear();
  void LoadFromStream(TStream& stream);
  std::int64_t Capacity() const { return capacity_; }

 protected:
  virtual void* Realloc(std::int64_t& new_capacity);
  // The size grows to End inside the block: answers the offset from which
  // the block's bytes are known to read as zeros (fresh pages), so that
  // only those below it are zeroed by hand. The heap's bytes are not.
  virtual std::int64_t GrowUsed(std::int64_t end) { return end; }
  // Zeroes bytes From .. To of the block.
  virtual void ZeroBytes(std::int64_t from, std::int64_t to);
  void SetCapacity(std::int64_t new_capacity);
  // For subclasses whose Realloc kept the block without changing capacity.
  void SetCapacityField(std::int64_t c) { capacity_ = c; }

 private:
  // The size grew from From to End: bytes From .. To are zeroed, except
  // those GrowUsed knows to be zero.
  void ZeroGrown(std::int64_t from, std::int64_t to, std::int64_t end);

  std::int64_t capacity_ = 0;
};

}  // namespace vt
