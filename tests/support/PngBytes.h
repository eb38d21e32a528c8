// PNG file pieces built with zlib: big-endian words, deflated data and
// chunks with their CRC. No test framework, so benchmarks use it too.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>

namespace vt::test {

inline std::string BE32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

inline std::string Deflated(const std::string& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 9);
  out.resize(n);
  return out;
}

// A chunk with its CRC (computed by zlib).
inline std::string Chunk(const std::string& name, const std::string& data) {
  std::string body = name + data;
  auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return BE32(static_cast<std::uint32_t>(data.size())) + body + BE32(crc);
}

inline const std::string kPngSignature("\x89PNG\r\n\x1a\n", 8);

}  // namespace vt::test
