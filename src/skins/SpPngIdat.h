// The pixel side of the PNG codec: row filters, the conversion between PNG
// rows and the header chunk's buffers, the image data's zlib stream over IDAT
// chunks, and the byte order and chunk framing the chunk codec shares. It
// calls nothing of the chunk codec, which builds on it.
#pragma once

#include <cstdint>
#include <string>

#include "skins/SpPngImage.h"

namespace vt::png_detail {

std::uint32_t GetBE32(const std::uint8_t* p);
void PutBE32(std::uint8_t* p, std::uint32_t v);
bool ReadBE32(TStream& s, std::uint32_t& v);
// Length, name, data and CRC of one chunk.
void WriteChunk(TStream& s, const char name[4], const std::uint8_t* data, std::uint32_t size);
// Bytes between the stream's position and its end.
std::int64_t Remaining(TStream& s);

// Bytes of the decompressed image data of a header: every row of every pass
// with its filter byte (0 for a colour type or depth without rows).
std::int64_t ImageDataSize(const TspPngLayerIHDR& h);

// Whether PNG defines a colour type with a bit depth.
bool ValidColourAndDepth(int color_type, int bit_depth);
// Bits per pixel of the header's DIB for a colour type and depth (0: none).
int DibBitCount(int color_type, int bit_depth);

// Bytes of one complete pixel: the filters' distance to the left neighbour.
int FilterOffset(int color_type, int depth);
// Undoes the filter named by row[0] on the n bytes after it; prior is the
// previous row in the same layout (filter byte first).
void Unfilter(std::uint8_t* row, const std::uint8_t* prior, int n, int offset);
// Writes filter `type` (1-4) of the n bytes of raw, given the prior row, to out.
void FilterRow(int type, const std::uint8_t* raw, const std::uint8_t* prior, std::uint8_t* out, int n, int offset);

// Decodes the image data of the IDAT chunk whose size bytes stand at the
// stream's position, and of the IDAT chunks after it, into the header's
// buffers (samples shown through gamma). False, with the reason in why, for
// data that is not whole.
bool DecodeImageData(TStream& s, std::int64_t size, TspPngLayerIHDR& h, const std::uint8_t* gamma,
                     std::string& why);
// Encodes the header's buffers as IDAT chunks, by the owner's interlace
// method, filter set, compression level and IDAT size.
bool EncodeImageData(TStream& s, const TspPngLayerIHDR& h, const TspPngImage& owner);

// The first pixel, in row order, of a palette image whose index is past
// `entries`: its number (y x width + x), or -1.
std::int64_t FirstIndexPast(const TspPngLayerIHDR& h, int entries);

}  // namespace vt::png_detail
