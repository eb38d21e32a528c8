// Arbitrary bytes to the PNG reader, as they are and with every chunk's CRC
// made right (so that mutations reach past the CRC checks). Every failure
// must be the library's exception; an image that loads must save, and what
// it saves must load, with the same chunks and the same texts.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
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

std::vector<std::string> Names(const vt::TspPngImage& image) {
  std::vector<std::string> names;
  for (int i = 0; i < image.Chunks.Count(); ++i)
    names.emplace_back(static_cast<vt::TspPngLayer*>(image.Chunks.Items(i))->ChunkName, 4);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Texts(const vt::TspPngImage& image) {
  std::vector<std::string> texts;
  for (int i = 0; i < image.Chunks.Count(); ++i)
    if (auto* t = dynamic_cast<vt::TspPngLayertEXt*>(static_cast<vt::TspPngLayer*>(image.Chunks.Items(i))))
      texts.push_back(std::string(t->ChunkName, 4) + t->Keyword + '\0' + t->Text);
  return texts;
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
  // The same chunks (the writer may put ancillary ones that PNG wants
  // earlier before the palette or the data), and every text as it was
  // written, in order.
  if (Names(again) != Names(image) || Texts(again) != Texts(image)) std::abort();
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
