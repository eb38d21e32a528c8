// Arbitrary bytes to the PNG reader, as they are and with every chunk's CRC
// made right (so that mutations reach past the CRC checks). Every failure
// must be the library's exception; an image that loads must save, and what
// it saves must load, with the same chunks and the same texts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "skins/SkinUnits.h"
#include "skins/SpPngImage.h"

namespace {

void RepairCrcs(std::vector<std::uint8_t>& b) {
  std::size_t at = 8;
  while (at + 12 <= b.size()) {
    const std::uint64_t len = (std::uint64_t{b[at]} << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    if (at + 12 + len > b.size()) return;
    const std::uint32_t crc = vt::PngCrc32(0xFFFFFFFFu, &b[at + 4], 4 + len) ^ 0xFFFFFFFFu;
    const std::size_t c = at + 8 + len;
    b[c] = static_cast<std::uint8_t>(crc >> 24);
    b[c + 1] = static_cast<std::uint8_t>(crc >> 16);
    b[c + 2] = static_cast<std::uint8_t>(crc >> 8);
    b[c + 3] = static_cast<std::uint8_t>(crc);
    at += 12 + len;
  }
}

void Run(const std::uint8_t* data, std::size_t size) {
  vt::TMemoryStream in;
  in.WriteBuffer(data, static_cast<std::int64_t>(size));
  in.SetPosition(0);
  vt::TspPngImage image;
  image.MaxPixels = 1 << 18;
  try {
    image.LoadFromStream(in);
  } catch (const vt::Exception&) {
    return;
  }
  vt::TMemoryStream out;
  try {
    image.SaveToStream(out);
  } catch (const vt::EspPngError&) {
    return;  // a chunk that cannot be written again (deflate failure)
  }
  out.SetPosition(0);
  vt::TspPngImage again;
  again.MaxPixels = 1 << 18;
  try {
    again.LoadFromStream(out);
  } catch (const vt::Exception&) {
    std::abort();  // what we write must read back
  }
  // Chunk for chunk, and every text as it was written.
  if (again.Chunks.Count() != image.Chunks.Count()) std::abort();
  for (int i = 0; i < image.Chunks.Count(); ++i) {
    auto* a = static_cast<vt::TspPngLayer*>(image.Chunks.Items(i));
    auto* b = static_cast<vt::TspPngLayer*>(again.Chunks.Items(i));
    if (std::memcmp(a->ChunkName, b->ChunkName, 4) != 0) std::abort();
    auto* ta = dynamic_cast<vt::TspPngLayertEXt*>(a);
    auto* tb = dynamic_cast<vt::TspPngLayertEXt*>(b);
    if (ta && (!tb || ta->Keyword != tb->Keyword || ta->Text != tb->Text)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool started = (vt::InitializeUnits(vt::SkinUnits()), true);
  (void)started;
  Run(data, size);
  std::vector<std::uint8_t> repaired(data, data + size);
  RepairCrcs(repaired);
  Run(repaired.data(), repaired.size());
  return 0;
}
