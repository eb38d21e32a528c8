// Shared body of the two codec fuzz targets: decode the input as a packet
// (bounded output), then compress the input and require an exact round trip
// with both decoders.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/quicklz/QuickLZCodec.h"

inline int FuzzQuickLZ(const std::uint8_t* data, std::size_t size, vt::qlz::Version version) {
  using namespace vt::qlz;
  Header h;
  if (ParseHeader(data, size, h) && h.data_size <= (1u << 20)) {
    std::vector<std::uint8_t> out(h.data_size);
    const std::int64_t r = Decompress(data, size, out.data(), out.size(), version);
    if (r >= 0 && r != static_cast<std::int64_t>(h.data_size)) std::abort();
  }
  std::vector<std::uint8_t> packet(size + kCompressSlack);
  const std::size_t c = Compress(data, size, packet.data(), packet.size(), version);
  if (size == 0) return 0;
  if (c == 0 || c > size + kCompressSlack) std::abort();
  for (Version v : {Version::k120, Version::k131}) {
    std::vector<std::uint8_t> back(size);
    if (Decompress(packet.data(), c, back.data(), back.size(), v) != static_cast<std::int64_t>(size)) std::abort();
    if (std::memcmp(back.data(), data, size) != 0) std::abort();
  }
  return 0;
}
