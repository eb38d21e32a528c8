// Compressor and decompressor for the QuickLZ 1.2.0 and 1.3.1 (level 1, no
// streaming) packet formats. Both versions share one packet layout; the
// version only changes a few compressor choices and the decoder's tail
// threshold.
//
// Packet: a 3-byte header (flags, c, n as bytes) or a 9-byte header (flags,
// c and n as UInt32), then either the n input bytes (stored) or groups of a
// 32-bit control word and up to 31 tokens (literal, match, run).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt::qlz {

enum class Version { k120, k131 };

// Flag byte bits.
inline constexpr std::uint8_t kFlagCompressed = 0x01;
inline constexpr std::uint8_t kFlagLongHeader = 0x02;

// What a packet's header says. Valid only when ParseHeader answered true.
struct Header {
  std::uint8_t flags = 0;
  std::size_t header_size = 0;     // 3 or 9
  std::uint32_t packet_size = 0;   // c: header, payload and padding
  std::uint32_t data_size = 0;     // n: uncompressed bytes
};

// Reads the header from the first `available` bytes of `src`. Answers false
// when the bytes cannot hold the header or a reserved flag bit (2..7) is set.
bool ParseHeader(const std::uint8_t* src, std::size_t available, Header& header);

// Largest packet Compress writes for n input bytes (a stored packet).
constexpr std::size_t StoredSize(std::size_t n) { return n + (n < 216 ? 3 : 9); }

// Room Compress needs beyond the input size; any capacity of at least
// n + kCompressSlack is enough for every input.
inline constexpr std::size_t kCompressSlack = 9 + 16;

// Compresses n bytes into dst (capacity `capacity`, at least n + kCompressSlack)
// and answers the packet size c. Follows the reference compressors' parsing
// on a fresh state: the last bytes are always literals and every match
// distance is at least 4. n = 0 gives 0 for 1.3.1 (no packet) and a 12-byte
// empty packet for 1.2.0. Answers 0 when n does not fit 32 bits or capacity is
// below n + kCompressSlack.
std::size_t Compress(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::size_t capacity,
                     Version version);

// Decompresses the packet at src, of which `available` bytes may be read,
// into dst (capacity `capacity`). Never reads or writes out of bounds. Answers
// n, or -1 when the packet is malformed (bad flags, sizes beyond `available`
// or `capacity`, references before the start, matches or runs into the last
// four bytes, truncated tokens, distances below 4).
std::int64_t Decompress(const std::uint8_t* src, std::size_t available, std::uint8_t* dst, std::size_t capacity,
                        Version version);

}  // namespace vt::qlz
