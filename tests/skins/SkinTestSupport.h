// Shared helpers of the skin tests: unit start-up, PNG fixtures and chunks.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "skins/SkinUnits.h"
#include "skins/SpPngImage.h"
#include "support/PngBytes.h"
#include "support/TestFiles.h"

namespace vt::test {

inline void EnsureSkinUnits() { InitializeUnits(SkinUnits()); }

inline std::string PngFixture(const std::string& name) {
  const char* dir = std::getenv("VT_TEST_DATA_DIR");
  return ReadFileText(std::string(dir ? dir : VT_TEST_DATA_DIR) + "/png/" + name);
}


inline std::string IhdrData(std::uint32_t w, std::uint32_t h, int depth, int color, int compression = 0,
                            int filter = 0, int interlace = 0) {
  return BE32(w) + BE32(h) +
         std::string{char(depth), char(color), char(compression), char(filter), char(interlace)};
}

// Loads bytes into the image; raises what the image raises.
inline void LoadPngBytes(TspPngImage& image, const std::string& bytes) {
  TMemoryStream s;
  s.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  s.SetPosition(0);
  image.LoadFromStream(s);
}

inline std::string SavePngBytes(TspPngImage& image) {
  TMemoryStream s;
  image.SaveToStream(s);
  return std::string(static_cast<const char*>(s.Memory()), static_cast<std::size_t>(s.Size()));
}

// The chunks of a PNG file: (name, data) in order.
inline std::vector<std::pair<std::string, std::string>> SplitChunks(const std::string& png) {
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t at = 8;
  while (at + 12 <= png.size()) {
    std::uint32_t len = 0;
    for (int i = 0; i < 4; ++i) len = len << 8 | std::uint8_t(png[at + i]);
    out.emplace_back(png.substr(at + 4, 4), png.substr(at + 8, len));
    at += 12 + len;
  }
  return out;
}

// The formulas the fixtures were written with.
inline int FxRed(int x, int y) { return (x * 40 + y * 7) & 255; }
inline int FxGreen(int x, int y) { return (y * 50 + x * 3) & 255; }
inline int FxBlue(int x, int y) { return (x * y * 11) & 255; }
inline int FxAlpha(int x, int y) { return (x * 30 + y * 60) & 255; }
inline int FxGrey16(int x, int y) { return (x * 4099 + y * 771) & 65535; }

}  // namespace vt::test
