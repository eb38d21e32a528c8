// Field encodings of packet payloads and the text forms of packet fields.
//
// Every payload is its fields in index order, each in one of these forms
// (all integers little-endian):
//   raw N        the field's N bytes as held in memory
//   sized N      one byte S, then S bytes (the reader zero-fills or skips)
//   compact      compact length of the value (0 .. 2^31-1)
//   string       compact length L, then L bytes
//   wide         compact length W (UTF-16 units), then 2*W bytes
//   string list  compact count N, then N strings
//   stream       length (UInt32, or compact with a streaming context), bytes
//   packet       a nested packet as SavePacket writes it
//   packet list  UInt32 count N, then N nested packets
//
// Readers take the bytes that remain as a bound: a stored length or count
// that cannot fit in them raises the stream read error before anything is
// allocated or read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Classes.h"

namespace vt {

class TStrings;

// ---- Stream writers and readers ----------------------------------------

void WriteStringField(TStream& stream, std::string_view value);
void ReadStringField(TStream& stream, std::string& value);
void WriteWideStringField(TStream& stream, std::u16string_view value);
void ReadWideStringField(TStream& stream, std::u16string& value);
// Count, then each line; objects attached to lines are not written.
void WriteStringListField(TStream& stream, const TStrings& list);
// Empties List, then adds the stored lines in order.
void ReadStringListField(TStream& stream, TStrings& list);
// Length (compact when UseCompactLength, else UInt32), then Source's whole
// content; Source's position is ignored and kept.
void WriteStreamField(TStream& stream, TCustomMemoryStream& source, bool use_compact_length);
// Target is rewound and sized to exactly the stored length; position 0.
void ReadStreamField(TStream& stream, TMemoryStream& target, bool use_compact_length);
// One byte S, then S bytes into Field (zero-filled when S < Width, the
// surplus skipped when S > Width). Never writes past Width.
void ReadFixedField(TStream& stream, void* field, int width);

// ---- Memory readers: parse at Cursor, never past End, advance Cursor -----

void ReadStringFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, std::string& value);
void ReadWideStringFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end,
                                   std::u16string& value);
void ReadStringListFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, TStrings& list);
void ReadStreamFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, TMemoryStream& target,
                               bool use_compact_length);
void ReadFixedFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, void* field, int width);
// Exactly Count bytes into Dest.
void ReadRawFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, void* dest, std::int64_t count);

// Bytes left between the stream's position and its end (0 when past it).
std::int64_t StreamBytesLeft(TStream& stream);

// ---- Text forms -----------------------------------------------------------

// S with every NUL replaced by a blank, in single quotes (quotes inside are
// not doubled).
std::string StringFieldToText(std::string_view s);

// The general number form with 4 significant digits and '.' as separator:
// fixed notation unless the integer part has more than 4 digits or the
// magnitude is below 0.00001; trailing zeros dropped ("0.3", "1.25",
// "1.235E5", "1E-6").
std::string FloatToTextGeneral4(double value);

// A day count from 1899-12-30 as "yyyy-mm-dd hh:nn:ss": the date alone when
// the time of day is 0, the time alone when the day part is 0. Values
// outside the years 1 to 9999 (and NaN) fall back to FloatToTextGeneral4.
std::string DateTimeToText(double value);

// Text to number with '.' as separator; leading and trailing blanks are
// allowed. False for anything else (no NaN or infinity texts).
bool TryTextToFloat(std::string_view text, double& value);

// UTF-16 <-> the 8-bit text of packet dumps and string accessors (UTF-8).
std::string WideToAnsi(std::u16string_view s);
std::u16string AnsiToWide(std::string_view s);

// A string list's text: every line followed by CR LF.
std::string StringsToText(const TStrings& list);
// Replaces the lines of List by the segments of Text ending at CR, LF or
// CR LF (a final line break adds no empty line).
void SetStringsText(TStrings& list, std::string_view text);

}  // namespace vt
