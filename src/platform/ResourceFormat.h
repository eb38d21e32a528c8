// Resources of a Linux program: appended to the program file by the
// packaging tool (tools/vtpack) and read in place by the resource calls of
// Resources.h. Header only and free of OS headers, so the tool includes it.
//
// Layout, appended behind the program's own bytes (all integers
// little-endian, every data block starts at a multiple of 16):
//
//   [program][zero padding][data blocks][directory][trailer]
//
//   directory entry: data offset (UInt64, from the file's start), data size
//                    (UInt32), type key length (UInt16), name key length
//                    (UInt16), then the two keys' bytes
//   trailer (32 bytes): magic "VtRsrc01" (8), start of the appended part =
//                    the program's own size (UInt64), directory offset
//                    (UInt64), directory size (UInt32), entry count (UInt32)
//
// Keys: an integer identifier below 65536 is "#" and its decimal digits
// ("#1000"); a name is kept in upper case (names compare ignoring case).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vt::os::rsrc {

inline constexpr char kMagic[8] = {'V', 't', 'R', 's', 'r', 'c', '0', '1'};
inline constexpr std::size_t kTrailerSize = 32;
inline constexpr std::size_t kEntryFixedSize = 16;
inline constexpr std::size_t kAlignment = 16;
// Directory limits: more entries or longer keys mean a damaged file.
inline constexpr std::uint32_t kMaxEntries = 65536;
inline constexpr std::size_t kMaxKeyLength = 256;

// Standard resource types.
inline constexpr std::uint16_t kTypeRcData = 10;
inline constexpr std::uint16_t kTypeManifest = 24;

// The executable header image of the program: a PE32 header (DOS header and
// NT headers, 512 bytes) whose optional header carries the subsystem the
// program was packaged as (2 windowed, 3 console). The platform layer hands
// out its address as the program's module handle, so the image explorer
// reads the running program's header from memory.
inline constexpr std::uint16_t kTypeImageHeader = 0x5654;
inline constexpr std::uint16_t kImageHeaderId = 1;
inline constexpr std::size_t kImageHeaderSize = 512;

inline std::string IdKey(std::uint32_t id) { return "#" + std::to_string(id); }

// Key of a type or name given as text: "#123" or a decimal number stands for
// the identifier, anything else is a name (upper-cased).
inline std::string TextKey(const std::string& text) {
  std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
  bool numeric = !digits.empty() && digits.size() <= 5;
  for (char c : digits) numeric = numeric && c >= '0' && c <= '9';
  if (numeric && std::stoul(digits) < 65536) return IdKey(static_cast<std::uint32_t>(std::stoul(digits)));
  std::string upper = text;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

struct Entry {
  std::string type;   // key
  std::string name;   // key
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

inline std::uint64_t GetLE(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}
inline void PutLE(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Reads the directory of a file image of `size` bytes. Answers false when
// the file carries no resources or the trailer or directory is damaged;
// every entry's data then lies inside the appended part. `start` receives
// the program's own size.
inline bool ParseDirectory(const std::uint8_t* file, std::uint64_t size, std::vector<Entry>& entries,
                           std::uint64_t& start) {
  entries.clear();
  if (file == nullptr || size < kTrailerSize) return false;
  const std::uint8_t* t = file + size - kTrailerSize;
  if (std::memcmp(t, kMagic, sizeof kMagic) != 0) return false;
  start = GetLE(t + 8, 8);
  const std::uint64_t dir = GetLE(t + 16, 8);
  const std::uint64_t dir_size = GetLE(t + 24, 4);
  const std::uint32_t count = static_cast<std::uint32_t>(GetLE(t + 28, 4));
  const std::uint64_t dir_end_limit = size - kTrailerSize;
  if (start > dir || dir > dir_end_limit || dir_size != dir_end_limit - dir || count > kMaxEntries) return false;
  const std::uint8_t* p = file + dir;
  std::uint64_t left = dir_size;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (left < kEntryFixedSize) return false;
    Entry e;
    e.offset = GetLE(p, 8);
    e.size = static_cast<std::uint32_t>(GetLE(p + 8, 4));
    const std::size_t type_len = static_cast<std::size_t>(GetLE(p + 12, 2));
    const std::size_t name_len = static_cast<std::size_t>(GetLE(p + 14, 2));
    p += kEntryFixedSize;
    left -= kEntryFixedSize;
    if (type_len == 0 || name_len == 0 || type_len > kMaxKeyLength || name_len > kMaxKeyLength ||
        left < type_len + name_len)
      return false;
    e.type.assign(reinterpret_cast<const char*>(p), type_len);
    e.name.assign(reinterpret_cast<const char*>(p) + type_len, name_len);
    p += type_len + name_len;
    left -= type_len + name_len;
    if (e.offset < start || e.offset > dir || e.size > dir - e.offset) return false;
    entries.push_back(std::move(e));
  }
  return left == 0;
}

// Appends resources to a program's bytes. `program` must not carry
// resources any more (strip them with ParseDirectory's `start`).
struct NewResource {
  std::string type;  // key
  std::string name;  // key
  std::vector<std::uint8_t> data;
};
inline void AppendResources(std::vector<std::uint8_t>& file, const std::vector<NewResource>& resources) {
  const std::uint64_t start = file.size();
  std::vector<std::uint8_t> dir;
  for (const auto& r : resources) {
    while (file.size() % kAlignment) file.push_back(0);
    PutLE(dir, file.size(), 8);
    PutLE(dir, r.data.size(), 4);
    PutLE(dir, r.type.size(), 2);
    PutLE(dir, r.name.size(), 2);
    dir.insert(dir.end(), r.type.begin(), r.type.end());
    dir.insert(dir.end(), r.name.begin(), r.name.end());
    file.insert(file.end(), r.data.begin(), r.data.end());
  }
  const std::uint64_t dir_offset = file.size();
  file.insert(file.end(), dir.begin(), dir.end());
  file.insert(file.end(), kMagic, kMagic + sizeof kMagic);
  PutLE(file, start, 8);
  PutLE(file, dir_offset, 8);
  PutLE(file, dir.size(), 4);
  PutLE(file, resources.size(), 4);
}

// A minimal valid PE32 header image (DOS header, NT headers, no sections)
// with the given subsystem.
inline std::vector<std::uint8_t> BuildImageHeader(std::uint16_t subsystem) {
  std::vector<std::uint8_t> h(kImageHeaderSize, 0);
  auto put = [&h](std::size_t at, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  const std::size_t nt = 0x40;
  put(0, 0x5A4D, 2);          // "MZ"
  put(0x3C, nt, 4);           // e_lfanew
  put(nt, 0x00004550, 4);     // "PE\0\0"
  put(nt + 4, 0x014C, 2);     // Machine: i386
  put(nt + 6, 0, 2);          // NumberOfSections
  put(nt + 20, 224, 2);       // SizeOfOptionalHeader
  put(nt + 22, 0x0102, 2);    // Characteristics: executable, 32-bit
  const std::size_t opt = nt + 24;
  put(opt, 0x10B, 2);         // Magic: PE32
  put(opt + 16, 0x1000, 4);   // AddressOfEntryPoint
  put(opt + 28, 0x400000, 4); // ImageBase
  put(opt + 32, 0x1000, 4);   // SectionAlignment
  put(opt + 36, 0x200, 4);    // FileAlignment
  put(opt + 40, 4, 2);        // MajorOperatingSystemVersion
  put(opt + 48, 4, 2);        // MajorSubsystemVersion
  put(opt + 56, 0x1000, 4);   // SizeOfImage
  put(opt + 60, 0x200, 4);    // SizeOfHeaders
  put(opt + 68, subsystem, 2);
  put(opt + 72, 0x100000, 4); // SizeOfStackReserve
  put(opt + 76, 0x1000, 4);   // SizeOfStackCommit
  put(opt + 80, 0x100000, 4); // SizeOfHeapReserve
  put(opt + 84, 0x1000, 4);   // SizeOfHeapCommit
  put(opt + 92, 16, 4);       // NumberOfRvaAndSizes
  return h;
}

}  // namespace vt::os::rsrc
