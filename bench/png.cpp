// PNG loading per byte of file: a file of zTXt chunks whose texts each
// inflate past what a file of that size may keep (40 of them in 2.94 MB, 116
// in 8.52 MB), against a plain image file of the same size (an RGB photo-like
// picture: gradients with noise). Bytes per second are bytes of file.
// scripts/bench-png.sh runs the two in turn and prints their ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>

#include "common/Classes.h"
#include "skins/SkinUnits.h"
#include "skins/SpPngImage.h"
#include "support/PngBytes.h"

namespace {

using vt::test::BE32;
using vt::test::Chunk;
using vt::test::Deflated;

void StartUnits() {
  static const bool started = (vt::InitializeUnits(vt::SkinUnits()), true);
  (void)started;
}

// A 1 x 1 grey image behind `texts` zTXt chunks of 72 MB of blanks each.
const std::string& HostileFile(int texts) {
  static std::map<int, std::string> files;
  std::string& file = files[texts];
  if (file.empty()) {
    const std::string bomb = Chunk("zTXt", std::string("K\0\0", 3) + Deflated(std::string(72u << 20, ' ')));
    file = vt::test::kPngSignature +
           Chunk("IHDR", BE32(1) + BE32(1) + std::string("\x08\0\0\0\0", 5));
    for (int i = 0; i < texts; ++i) file += bomb;
    file += Chunk("IDAT", Deflated(std::string(2, '\0'))) + Chunk("IEND", "");
  }
  return file;
}

std::string SavedPhoto(std::uint32_t width, std::uint32_t height) {
  vt::TspPngImage image;
  image.CompressionLevel = 6;
  image.CreateBlank(2, 8, width, height);
  vt::TspPngLayerIHDR& h = *image.Header();
  std::uint32_t x = 12345;
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = h.DibRow(y);
    for (std::uint32_t i = 0; i < width * 3; ++i) {
      x = x * 1103515245u + 12345u;
      row[i] = static_cast<std::uint8_t>((i / 3 + y) / 4 + i % 3 * 40 + (x >> 28));
    }
  }
  vt::TMemoryStream out;
  image.SaveToStream(out);
  return std::string(static_cast<const char*>(out.Memory()), static_cast<std::size_t>(out.Size()));
}

// A photo-like image whose file is about `bytes` long.
const std::string& PlainFile(std::size_t bytes) {
  static std::map<std::size_t, std::string> files;
  std::string& file = files[bytes];
  if (file.empty()) {
    const std::uint32_t width = 1024;
    const std::string trial = SavedPhoto(width, 64);
    const auto height = static_cast<std::uint32_t>(bytes * 64 / trial.size());
    file = SavedPhoto(width, height);
  }
  return file;
}

void Load(benchmark::State& state, const std::string& file) {
  StartUnits();
  vt::TMemoryStream in;
  in.WriteBuffer(file.data(), static_cast<std::int64_t>(file.size()));
  for (auto _ : state) {
    in.SetPosition(0);
    vt::TspPngImage image;
    image.LoadFromStream(in);
    benchmark::DoNotOptimize(image.Header());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
  state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
  // Image data inflated by one load, filter bytes aside.
  in.SetPosition(0);
  vt::TspPngImage image;
  image.LoadFromStream(in);
  const vt::TspPngLayerIHDR& h = *image.Header();
  state.counters["pixels_MB"] = static_cast<double>(h.Width) * h.Height * 3 / 1e6;
}

void BM_PngHostileTexts(benchmark::State& state) {
  Load(state, HostileFile(static_cast<int>(state.range(0))));
}
void BM_PngPlainImage(benchmark::State& state) {
  StartUnits();
  Load(state, PlainFile(HostileFile(static_cast<int>(state.range(0))).size()));
}

BENCHMARK(BM_PngHostileTexts)->Arg(40)->Arg(116)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_PngPlainImage)->Arg(40)->Arg(116)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace
