// Arbitrary bytes to LoadPacket, in buffer mode (memory stream), stream
// mode and through a stream as a pipe is (a few bytes a read, a size it
// claims, no seeking), stand-alone and through a streaming context. Every
// failure must be an exception of the library; a packet that loads must
// save and load again to an equal packet.
#include <cstdint>
#include <cstring>
#include <string>

#include "catalogues/BuildPackets.h"
#include "common/PacketContext.h"

namespace {

// A stream that is not a memory stream; with MaxRead a pipe-like one.
class ByteStream : public vt::TStream {
 public:
  ByteStream(const std::uint8_t* data, std::size_t size, std::int64_t max_read = 0)
      : data_(data), size_(static_cast<std::int64_t>(size)), max_read_(max_read) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    if (pos_ < 0 || pos_ >= size_ || count <= 0) return 0;
    if (max_read_ > 0 && count > max_read_) count = max_read_;
    const std::int64_t n = count < size_ - pos_ ? count : size_ - pos_;
    std::memcpy(buffer, data_ + pos_, static_cast<std::size_t>(n));
    pos_ += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, vt::TSeekOrigin origin) override {
    if (max_read_ > 0) throw vt::EStreamError("The stream cannot seek");
    if (origin == vt::TSeekOrigin::soBeginning) pos_ = offset;
    if (origin == vt::TSeekOrigin::soCurrent) pos_ += offset;
    if (origin == vt::TSeekOrigin::soEnd) pos_ = size_ + offset;
    return pos_;
  }
  std::int64_t GetSize() override { return max_read_ > 0 ? std::int64_t{1} << 40 : size_; }
  bool AtEnd() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::int64_t size_;
  std::int64_t max_read_;
  std::int64_t pos_ = 0;
};

void CheckRoundTrip(const vt::TPacket& p) {
  // Values that the compact form cannot carry are refused on saving.
  vt::TMemoryStream out;
  try {
    vt::SavePacket(p, out);
  } catch (const vt::Exception&) {
    return;
  }
  out.SetPosition(0);
  auto again = vt::LoadPacket(out);
  if (!again->Equals(p)) __builtin_trap();
}

template <typename AtEnd>
void Load(vt::TStream& s, bool with_context, AtEnd&& at_end) {
  vt::TPacketStreamingContext ctx;
  try {
    for (int i = 0; i < 4 && !at_end(); ++i) {
      auto p = vt::LoadPacket(s, with_context ? &ctx : nullptr);
      CheckRoundTrip(*p);
    }
  } catch (const vt::Exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool ready = [] {
    static const vt::UnitEntry units[] = {vt::kPacketsUnit, vt::kBuildPacketsUnit};
    vt::InitializeUnits(units);
    return true;
  }();
  (void)ready;
  if (size == 0) return 0;
  // The first byte picks the form and the pipe's largest read; the rest is
  // the data.
  const bool with_context = (data[0] & 1) != 0;
  std::string copy(reinterpret_cast<const char*>(data + 1), size - 1);
  vt::TPointerStream memory(copy.data(), static_cast<std::int64_t>(copy.size()), true);
  Load(memory, with_context, [&] { return memory.Position() >= memory.Size(); });
  ByteStream stream(data + 1, size - 1);
  Load(stream, with_context, [&] { return stream.AtEnd(); });
  ByteStream pipe(data + 1, size - 1, 1 + (data[0] >> 1) % 16);
  Load(pipe, with_context, [&] { return pipe.AtEnd(); });
  return 0;
}
