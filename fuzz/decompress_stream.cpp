// Fuzz target: TDecompressStream over an arbitrary container, with reads at
// positions and sizes taken from the input's first bytes.
#include <cstdint>
#include <vector>

#include "common/RealTimeCompressStreams.h"
#include "common/StreamUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t seed = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  vt::TPointerStream source(const_cast<std::uint8_t*>(data + 4), static_cast<std::int64_t>(size - 4), true);
  try {
    vt::TDecompressStream stream(&source, 0, 1 + static_cast<int>(seed & 3), false, -1);
    std::vector<std::uint8_t> buffer(1 << 16);
    // At most 64 reads of up to 64 KiB: bounded work per input.
    std::uint32_t x = seed;
    for (int i = 0; i < 64 && stream.Size() > 0; ++i) {
      x = x * 1103515245u + 12345u;
      if (i % 4 == 0) stream.Seek(static_cast<std::int64_t>(x % static_cast<std::uint64_t>(stream.Size())), vt::TSeekOrigin::soBeginning);
      const std::int64_t got = stream.Read(buffer.data(), 1 + (x >> 8) % buffer.size());
      if (got < 0) __builtin_trap();
    }
  } catch (const vt::Exception&) {
  }
  return 0;
}
