// "QuickLZ131.dll": the 1.3.1 entry points (level 1, no streaming buffer)
// over our own codec. The streaming set behaves as the plain set: without a
// streaming buffer every packet is independent.
#include <cstddef>

#include "platform/quicklz/ExportTable.h"
#include "platform/quicklz/QuickLZCodec.h"

namespace {
using vt::qlz::Version;
// The 1.3.1 interface lets the compressor use n + 400 bytes of destination.
constexpr std::size_t kDestinationSlack = 400;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::size_t qlz_size_decompressed(const char* source) {
  vt::qlz::Header h;
  return vt::qlz::ParseHeader(reinterpret_cast<const std::uint8_t*>(source), 9, h) ? h.data_size : 0;
}

__attribute__((visibility("default"))) std::size_t qlz_size_compressed(const char* source) {
  vt::qlz::Header h;
  return vt::qlz::ParseHeader(reinterpret_cast<const std::uint8_t*>(source), 9, h) ? h.packet_size : 0;
}

// The scratch state is not needed: every call starts from a fresh table.
__attribute__((visibility("default"))) std::size_t qlz_compress(const void* source, char* destination,
                                                                 std::size_t size, char* /*scratch*/) {
  return vt::qlz::Compress(static_cast<const std::uint8_t*>(source), size,
                           reinterpret_cast<std::uint8_t*>(destination), size + kDestinationSlack, Version::k131);
}

// The destination must hold qlz_size_decompressed bytes and the source
// qlz_size_compressed bytes; 0 for a malformed packet.
__attribute__((visibility("default"))) std::size_t qlz_decompress(const char* source, void* destination,
                                                                   char* /*scratch*/) {
  vt::qlz::Header h;
  const auto* src = reinterpret_cast<const std::uint8_t*>(source);
  if (!vt::qlz::ParseHeader(src, 9, h)) return 0;
  const std::int64_t r =
      vt::qlz::Decompress(src, h.packet_size, static_cast<std::uint8_t*>(destination), h.data_size, Version::k131);
  return r < 0 ? 0 : static_cast<std::size_t>(r);
}

// 0 level, 1 compression scratch, 2 decompression scratch, 3 streaming
// buffer, 4-6 RLE / incompressible shortcut / memory-safe switches, 7-9 the
// version digits. Scratch sizes are those of the 32-bit library, which the
// callers check.
__attribute__((visibility("default"))) int qlz_get_setting(int setting) {
  static constexpr int kSettings[] = {1, 32784, 16, 0, 1, 1, 1, 1, 3, 1};
  return setting >= 0 && setting < 10 ? kSettings[setting] : -1;
}

__attribute__((visibility("default"))) std::size_t qlz_streaming_size_decompressed(const char* source) {
  return qlz_size_decompressed(source);
}
__attribute__((visibility("default"))) std::size_t qlz_streaming_size_compressed(const char* source) {
  return qlz_size_compressed(source);
}
__attribute__((visibility("default"))) std::size_t qlz_streaming_compress(const void* source, char* destination,
                                                                           std::size_t size, char* scratch) {
  return qlz_compress(source, destination, size, scratch);
}
__attribute__((visibility("default"))) std::size_t qlz_streaming_decompress(const char* source, void* destination,
                                                                             char* scratch) {
  return qlz_decompress(source, destination, scratch);
}
__attribute__((visibility("default"))) int qlz_streaming_get_setting(int setting) { return qlz_get_setting(setting); }

__attribute__((visibility("default"))) extern const VtExportEntry VtExportTable[] = {
    {"_qlz_size_decompressed@4", VT_EXPORT_FN(qlz_size_decompressed)},
    {"_qlz_size_compressed@4", VT_EXPORT_FN(qlz_size_compressed)},
    {"_qlz_compress@16", VT_EXPORT_FN(qlz_compress)},
    {"_qlz_decompress@12", VT_EXPORT_FN(qlz_decompress)},
    {"_qlz_get_setting@4", VT_EXPORT_FN(qlz_get_setting)},
    {"_qlz_streaming_size_decompressed@4", VT_EXPORT_FN(qlz_streaming_size_decompressed)},
    {"_qlz_streaming_size_compressed@4", VT_EXPORT_FN(qlz_streaming_size_compressed)},
    {"_qlz_streaming_compress@16", VT_EXPORT_FN(qlz_streaming_compress)},
    {"_qlz_streaming_decompress@12", VT_EXPORT_FN(qlz_streaming_decompress)},
    {"_qlz_streaming_get_setting@4", VT_EXPORT_FN(qlz_streaming_get_setting)},
    {"qlz_size_decompressed", VT_EXPORT_FN(qlz_size_decompressed)},
    {"qlz_size_compressed", VT_EXPORT_FN(qlz_size_compressed)},
    {"qlz_compress", VT_EXPORT_FN(qlz_compress)},
    {"qlz_decompress", VT_EXPORT_FN(qlz_decompress)},
    {"qlz_get_setting", VT_EXPORT_FN(qlz_get_setting)},
    {"qlz_streaming_size_decompressed", VT_EXPORT_FN(qlz_streaming_size_decompressed)},
    {"qlz_streaming_size_compressed", VT_EXPORT_FN(qlz_streaming_size_compressed)},
    {"qlz_streaming_compress", VT_EXPORT_FN(qlz_streaming_compress)},
    {"qlz_streaming_decompress", VT_EXPORT_FN(qlz_streaming_decompress)},
    {"qlz_streaming_get_setting", VT_EXPORT_FN(qlz_streaming_get_setting)},
    {nullptr, nullptr},
};

}  // extern "C"
