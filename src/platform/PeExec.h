// PE images that also run here: a PE32 image file, followed by a Linux ELF
// program, followed by a 16-byte trailer: the 8 ASCII bytes "VTELFPE1" and a
// little-endian 64-bit file offset where the ELF program starts. The ELF
// size is file size - 16 - offset.
//
// Process start runs the embedded ELF program when a file that starts with
// "MZ" carries this trailer; a file starting with "MZ" without it fails with
// error 193. Header only and free of OS headers, so tools can include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vt::os::peexec {

inline constexpr char kMagic[8] = {'V', 'T', 'E', 'L', 'F', 'P', 'E', '1'};
inline constexpr std::size_t kTrailerSize = 16;

// Writes the trailer for an ELF program that starts at elf_offset.
inline void WriteTrailer(std::uint8_t out[kTrailerSize], std::uint64_t elf_offset) {
  std::memcpy(out, kMagic, sizeof(kMagic));
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<std::uint8_t>(elf_offset >> (8 * i));
}

// Checks the last kTrailerSize bytes of a file of file_size bytes. On success
// gives the ELF program's offset and size (at least 4 bytes, after the PE
// header "MZ").
inline bool ParseTrailer(const std::uint8_t tail[kTrailerSize], std::uint64_t file_size,
                         std::uint64_t* elf_offset, std::uint64_t* elf_size) {
  if (file_size < kTrailerSize + 2 + 4) return false;
  if (std::memcmp(tail, kMagic, sizeof(kMagic)) != 0) return false;
  std::uint64_t offset = 0;
  for (int i = 0; i < 8; ++i) offset |= static_cast<std::uint64_t>(tail[8 + i]) << (8 * i);
  const std::uint64_t end = file_size - kTrailerSize;
  if (offset < 2 || offset > end || end - offset < 4) return false;
  *elf_offset = offset;
  *elf_size = end - offset;
  return true;
}

inline bool IsElfMagic(const std::uint8_t head[4]) {
  return head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

}  // namespace vt::os::peexec
