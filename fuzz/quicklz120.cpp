// Fuzz target: the QuickLZ 1.2.0 decoder on arbitrary packets, and the
// compressor's round trip.
#include "quicklz_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzQuickLZ(data, size, vt::qlz::Version::k120);
}
