// "QuickLZ.dll": the 1.2.0 entry points over our own codec.
#include <cstddef>

#include "platform/quicklz/ExportTable.h"
#include "platform/quicklz/QuickLZCodec.h"

namespace {
using vt::qlz::Version;
// The 1.2.0 interface lets the compressor use n + 36000 bytes of destination.
constexpr std::size_t kDestinationSlack = 36000;
}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::size_t qlz_size_decompressed(const char* source) {
  vt::qlz::Header h;
  return vt::qlz::ParseHeader(reinterpret_cast<const std::uint8_t*>(source), 9, h) ? h.data_size : 0;
}

// The packet size c (the 1.2.0 library's name for it).
__attribute__((visibility("default"))) std::size_t qlz_size_source(const char* source) {
  vt::qlz::Header h;
  return vt::qlz::ParseHeader(reinterpret_cast<const std::uint8_t*>(source), 9, h) ? h.packet_size : 0;
}

__attribute__((visibility("default"))) std::size_t qlz_compress(const void* source, char* destination,
                                                                 std::size_t size) {
  return vt::qlz::Compress(static_cast<const std::uint8_t*>(source), size,
                           reinterpret_cast<std::uint8_t*>(destination), size + kDestinationSlack, Version::k120);
}

// The destination must hold qlz_size_decompressed bytes and the source
// qlz_size_source bytes; 0 for a malformed packet.
__attribute__((visibility("default"))) std::size_t qlz_decompress(const char* source, void* destination) {
  vt::qlz::Header h;
  const auto* src = reinterpret_cast<const std::uint8_t*>(source);
  if (!vt::qlz::ParseHeader(src, 9, h)) return 0;
  const std::int64_t r =
      vt::qlz::Decompress(src, h.packet_size, static_cast<std::uint8_t*>(destination), h.data_size, Version::k120);
  return r < 0 ? 0 : static_cast<std::size_t>(r);
}

__attribute__((visibility("default"))) extern const VtExportEntry VtExportTable[] = {
    {"_qlz_compress@12", VT_EXPORT_FN(qlz_compress)},
    {"_qlz_decompress@8", VT_EXPORT_FN(qlz_decompress)},
    {"_qlz_size_decompressed@4", VT_EXPORT_FN(qlz_size_decompressed)},
    {"_qlz_size_source@4", VT_EXPORT_FN(qlz_size_source)},
    {"qlz_compress", VT_EXPORT_FN(qlz_compress)},
    {"qlz_decompress", VT_EXPORT_FN(qlz_decompress)},
    {"qlz_size_decompressed", VT_EXPORT_FN(qlz_size_decompressed)},
    {"qlz_size_source", VT_EXPORT_FN(qlz_size_source)},
    {nullptr, nullptr},
};

}  // extern "C"
