#include "common/PacketFields.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/DateTimeFormat.h"
#include "common/StreamUtils.h"
#include "common/StringLists.h"

namespace vt {

static_assert(std::endian::native == std::endian::little, "the wire form is little-endian");

namespace {

// A stored length that does not fit in the bytes left is the data ending early.
void CheckFits(std::uint64_t needed, std::int64_t left) {
  if (left < 0 || needed > static_cast<std::uint64_t>(left)) throw EReadError();
}

std::int64_t BufferLeft(const std::uint8_t* cursor, const std::uint8_t* end) { return end - cursor; }

void TakeBytes(const std::uint8_t*& cursor, const std::uint8_t* end, void* dest, std::uint64_t n) {
  CheckFits(n, BufferLeft(cursor, end));
  if (n != 0) std::memcpy(dest, cursor, static_cast<std::size_t>(n));
  cursor += n;
}

std::uint32_t ReadUInt32(TStream& stream) {
  std::uint32_t v;
  stream.ReadBuffer(&v, 4);
  return v;
}

}  // namespace

void ReadRawFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, void* dest, std::int64_t count) {
  TakeBytes(cursor, end, dest, static_cast<std::uint64_t>(count));
}

std::int64_t StreamBytesLeft(TStream& stream) {
  const std::int64_t left = stream.Size() - stream.Position();
  return left > 0 ? left : 0;
}

// ---- Strings ----------------------------------------------------------------

void WriteStringField(TStream& stream, std::string_view value) {
  WriteCompactLength(stream, static_cast<std::int64_t>(value.size()));
  stream.WriteBuffer(value.data(), static_cast<std::int64_t>(value.size()));
}

void ReadStringField(TStream& stream, std::string& value) {
  const std::uint32_t n = ReadCompactLength(stream);
  CheckFits(n, StreamBytesLeft(stream));
  value.resize(n);
  stream.ReadBuffer(value.data(), n);
}

void ReadStringFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, std::string& value) {
  const std::uint32_t n = ReadCompactLengthFromBuffer(cursor, end);
  CheckFits(n, BufferLeft(cursor, end));
  value.assign(reinterpret_cast<const char*>(cursor), n);
  cursor += n;
}

void WriteWideStringField(TStream& stream, std::u16string_view value) {
  WriteCompactLength(stream, static_cast<std::int64_t>(value.size()));
  stream.WriteBuffer(value.data(), static_cast<std::int64_t>(value.size()) * 2);
}

void ReadWideStringField(TStream& stream, std::u16string& value) {
  const std::uint32_t n = ReadCompactLength(stream);
  CheckFits(std::uint64_t{n} * 2, StreamBytesLeft(stream));
  value.resize(n);
  stream.ReadBuffer(value.data(), std::int64_t{n} * 2);
}

void ReadWideStringFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end,
                                   std::u16string& value) {
  const std::uint32_t n = ReadCompactLengthFromBuffer(cursor, end);
  CheckFits(std::uint64_t{n} * 2, BufferLeft(cursor, end));
  value.resize(n);
  if (n != 0) std::memcpy(value.data(), cursor, std::size_t{n} * 2);
  cursor += std::size_t{n} * 2;
}

// ---- String lists -------------------------------------------------------------

void WriteStringListField(TStream& stream, const TStrings& list) {
  const int n = list.Count();
  WriteCompactLength(stream, n);
  for (int i = 0; i < n; ++i) WriteStringField(stream, list.Get(i));
}

// Every stored string takes at least its one length byte.
void ReadStringListField(TStream& stream, TStrings& list) {
  const std::uint32_t n = ReadCompactLength(stream);
  CheckFits(n, StreamBytesLeft(stream));
  list.Clear();
  list.SetCapacity(static_cast<int>(n));
  std::string s;
  for (std::uint32_t i = 0; i < n; ++i) {
    ReadStringField(stream, s);
    list.Add(s);
  }
}

void ReadStringListFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, TStrings& list) {
  const std::uint32_t n = ReadCompactLengthFromBuffer(cursor, end);
  CheckFits(n, BufferLeft(cursor, end));
  list.Clear();
  list.SetCapacity(static_cast<int>(n));
  std::string s;
  for (std::uint32_t i = 0; i < n; ++i) {
    ReadStringFieldFromBuffer(cursor, end, s);
    list.Add(s);
  }
}

// ---- Streams ------------------------------------------------------------------

void WriteStreamField(TStream& stream, TCustomMemoryStream& source, bool use_compact_length) {
  const std::int64_t n = source.Size();
  if (use_compact_length) {
    WriteCompactLength(stream, n);
  } else {
    if (n > 0xFFFFFFFFll) throw EWriteError("Stream field too large for its length form");
    const std::uint32_t n32 = static_cast<std::uint32_t>(n);
    stream.WriteBuffer(&n32, 4);
  }
  if (n > 0) stream.WriteBuffer(source.Memory(), n);
}

void ReadStreamField(TStream& stream, TMemoryStream& target, bool use_compact_length) {
  const std::uint32_t n = use_compact_length ? ReadCompactLength(stream) : ReadUInt32(stream);
  CheckFits(n, StreamBytesLeft(stream));
  target.SetPosition(0);
  SetStreamSizeExact(target, n);
  if (n > 0) stream.ReadBuffer(target.Memory(), n);
  target.SetPosition(0);
}

void ReadStreamFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, TMemoryStream& target,
                               bool use_compact_length) {
  std::uint32_t n;
  if (use_compact_length) {
    n = ReadCompactLengthFromBuffer(cursor, end);
  } else {
    TakeBytes(cursor, end, &n, 4);
  }
  CheckFits(n, BufferLeft(cursor, end));
  target.SetPosition(0);
  SetStreamSizeExact(target, n);
  if (n > 0) std::memcpy(target.Memory(), cursor, n);
  cursor += n;
  target.SetPosition(0);
}

// ---- Sized fields -------------------------------------------------------------

void ReadFixedField(TStream& stream, void* field, int width) {
  const int stored = ReadByteValue(stream);
  auto* p = static_cast<std::uint8_t*>(field);
  if (stored < width) {
    std::memset(p + stored, 0, static_cast<std::size_t>(width - stored));
    stream.ReadBuffer(p, stored);
  } else {
    stream.ReadBuffer(p, width);
    const int skip = stored - width;
    if (skip > 0) {
      CheckFits(static_cast<std::uint64_t>(skip), StreamBytesLeft(stream));
      stream.Seek(skip, TSeekOrigin::soCurrent);
    }
  }
}

void ReadFixedFieldFromBuffer(const std::uint8_t*& cursor, const std::uint8_t* end, void* field, int width) {
  std::uint8_t stored;
  TakeBytes(cursor, end, &stored, 1);
  CheckFits(stored, BufferLeft(cursor, end));
  auto* p = static_cast<std::uint8_t*>(field);
  if (stored < width) {
    std::memset(p + stored, 0, static_cast<std::size_t>(width - stored));
    std::memcpy(p, cursor, stored);
  } else {
    std::memcpy(p, cursor, static_cast<std::size_t>(width));
  }
  cursor += stored;
}

// ---- Text forms ---------------------------------------------------------------

std::string StringFieldToText(std::string_view s) {
  std::string r;
  r.reserve(s.size() + 2);
  r += '\'';
  for (char c : s) r += c == '\0' ? ' ' : c;
  r += '\'';
  return r;
}

std::string FloatToTextGeneral4(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  // The exact decimal expansion (a double has at most 767 significant
  // digits), rounded to 4 digits with ties away from zero.
  char buf[800];
  std::snprintf(buf, sizeof buf, "%.767e", std::fabs(value));
  const bool negative = value < 0;
  int exponent = std::atoi(std::strchr(buf, 'e') + 1);
  std::string digits = {buf[0], buf[2], buf[3], buf[4]};
  if (buf[5] >= '5') {
    int i = 3;
    while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') digits[static_cast<std::size_t>(i--)] = '0';
    if (i < 0) {
      digits = "1000";
      ++exponent;
    } else {
      ++digits[static_cast<std::size_t>(i)];
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string r = negative ? "-" : "";
  if (exponent >= 4 || exponent < -5) {
    r += digits[0];
    if (digits.size() > 1) r += "." + digits.substr(1);
    r += "E" + std::to_string(exponent);
    return r;
  }
  if (exponent < 0) {
    r += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  } else {
    const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      r += digits + std::string(int_digits - digits.size(), '0');
    } else {
      r += digits.substr(0, int_digits) + "." + digits.substr(int_digits);
    }
  }
  return r;
}


std::string DateTimeToText(double value) {
  // Day counts of 0001-01-01 and 9999-12-31 from 1899-12-30.
  if (!(value > -693594.0 && value < 2958466.0)) return FloatToTextGeneral4(value);
  const double day_part = std::trunc(value);
  std::int64_t ms = std::llround(std::fabs(value - day_part) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  const int hour = static_cast<int>(ms / 3600000);
  const int minute = static_cast<int>(ms / 60000 % 60);
  const int second = static_cast<int>(ms / 1000 % 60);
  const bool has_time = hour != 0 || minute != 0 || second != 0;

  std::int64_t y;
  unsigned m, d;
  CivilFromDays(static_cast<std::int64_t>(day_part) - 25569, y, m, d);
  char buf[48];
  if (day_part == 0 && has_time) {
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  } else if (!has_time) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02d:%02d:%02d", static_cast<long long>(y), m, d, hour,
                  minute, second);
  }
  return buf;
}

bool TryTextToFloat(std::string_view text, double& value) {
  std::size_t b = 0, e = text.size();
  while (b < e && text[b] == ' ') ++b;
  while (e > b && text[e - 1] == ' ') --e;
  std::string s(text.substr(b, e - b));
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::size_t mantissa_start = i;
  std::size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != s.size()) return false;
  const bool negative = s[0] == '-';
  double v = 0;
  const char* first = s.data() + mantissa_start;
  auto [ptr, ec] = std::from_chars(first, s.data() + s.size(), v);
  if (ptr != s.data() + s.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) return false;
  if (ec == std::errc::result_out_of_range) return false;
  value = negative ? -v : v;
  return true;
}

std::string WideToAnsi(std::u16string_view s) {
  std::string r;
  r.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = '?';
    }
    if (c < 0x80) {
      r += static_cast<char>(c);
    } else if (c < 0x800) {
      r += static_cast<char>(0xC0 | (c >> 6));
      r += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      r += static_cast<char>(0xE0 | (c >> 12));
      r += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      r += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      r += static_cast<char>(0xF0 | (c >> 18));
      r += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      r += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      r += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return r;
}

std::u16string AnsiToWide(std::string_view s) {
  std::u16string r;
  r.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    int extra = b0 >= 0xF0 && b0 < 0xF5 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC2 && b0 < 0xE0 ? 1 : 0;
    if (b0 >= 0xF5) extra = 0;
    std::uint32_t c = extra == 0 ? b0 : b0 & (0x3F >> extra);
    bool ok = b0 < 0x80 || extra > 0;
    if (extra > 0 && i + static_cast<std::size_t>(extra) < s.size() + 0) {
      for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<std::uint8_t>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        c = (c << 6) | (b & 0x3F);
      }
    } else if (extra > 0) {
      ok = false;
    }
    if (ok && extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (ok && extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ok = false;
    if (!ok) {
      r += static_cast<char16_t>(b0);  // not UTF-8: the byte as it is
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      r += static_cast<char16_t>(0xD800 + (c >> 10));
      r += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      r += static_cast<char16_t>(c);
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return r;
}

std::string StringsToText(const TStrings& list) {
  std::string r;
  const int n = list.Count();
  for (int i = 0; i < n; ++i) {
    r += list.Get(i);
    r += "\r\n";
  }
  return r;
}

void SetStringsText(TStrings& list, std::string_view text) {
  list.BeginUpdate();
  list.Clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && text[j] != '\r' && text[j] != '\n') ++j;
    list.Add(std::string(text.substr(i, j - i)));
    if (j < text.size() && text[j] == '\r') ++j;
    if (j < text.size() && text[j] == '\n') ++j;
    i = j;
  }
  list.EndUpdate();
}

}  // namespace vt
