#include "common/SysUtils.h"

#include <cstdio>

namespace vt {

EAssertionFailed::EAssertionFailed(std::string message, std::string unit, int line)
    : Exception(message + " (" + unit + ", line " + std::to_string(line) + ")"),
      unit_(std::move(unit)),
      line_(line) {}

void AssertionFailed(const char* unit, int line, const char* message) {
  throw EAssertionFailed(message, unit, line);
}

std::string IntToStr(std::int64_t v) { return std::to_string(v); }

namespace {

std::string Pad(std::string s, int width, bool left) {
  if (width > 0 && static_cast<int>(s.size()) < width) {
    std::string fill(static_cast<size_t>(width) - s.size(), ' ');
    s = left ? s + fill : fill + s;
  }
  return s;
}

std::string Hex(std::uint64_t v, int min_digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 15]);
    v >>= 4;
  } while (v != 0);
  while (static_cast<int>(s.size()) < min_digits) s.insert(s.begin(), '0');
  return s;
}

[[noreturn]] void FormatError(std::string_view fmt) {
  throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

// A width or precision at I: its digits, at most kMaxFormatWidth.
int FormatCount(std::string_view fmt, size_t& i) {
  int value = 0;
  for (; i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9'; ++i) {
    value = value * 10 + (fmt[i] - '0');
    if (value > kMaxFormatWidth) FormatError(fmt);
  }
  return value;
}

// Whether conversion Conv takes an argument of kind K: texts for %s only,
// integers and pointers for the integer conversions, numbers for %f %g %e.
bool Fits(char conv, FormatArg::Kind k) {
  using K = FormatArg::Kind;
  switch (conv) {
    case 's':
      return k == K::kString;
    case 'f':
    case 'g':
    case 'e':
      return k == K::kDouble || k == K::kInt || k == K::kUInt;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'p':
      return k == K::kInt || k == K::kUInt || k == K::kPointer;
    default:
      return true;  // unknown conversions are refused below
  }
}

}  // namespace

std::string FormatV(std::string_view fmt, const std::vector<FormatArg>& args) {
  std::string out;
  size_t next = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      continue;
    }
    if (++i >= fmt.size()) FormatError(fmt);
    if (fmt[i] == '%') {
      out.push_back('%');
      continue;
    }
    bool left = false;
    if (fmt[i] == '-') {
      left = true;
      ++i;
    }
    const int width = FormatCount(fmt, i);
    int prec = -1;
    if (i < fmt.size() && fmt[i] == '.') prec = FormatCount(fmt, ++i);
    if (i >= fmt.size() || next >= args.size())
      FormatError(fmt);
    const FormatArg& a = args[next++];
    char conv = fmt[i];
    if (!Fits(conv, a.kind())) FormatError(fmt);
    std::string piece;
    switch (conv) {
      case 'd':
      case 'i':
        piece = std::to_string(a.AsInt());
        if (prec > 0) {
          bool neg = !piece.empty() && piece[0] == '-';
          std::string digits = neg ? piece.substr(1) : piece;
          while (static_cast<int>(digits.size()) < prec) digits.insert(digits.begin(), '0');
          piece = neg ? "-" + digits : digits;
        }
        break;
      case 'u':
        piece = std::to_string(a.kind() == FormatArg::Kind::kInt ? static_cast<std::uint32_t>(a.AsInt()) : a.AsUInt());
        break;
      case 'x':
      case 'X': {
        std::uint64_t v = a.AsUInt();
        if (a.kind() == FormatArg::Kind::kInt && a.AsInt() >= INT32_MIN && a.AsInt() <= INT32_MAX)
          v = static_cast<std::uint32_t>(a.AsInt());
        piece = Hex(v, prec);
        break;
      }
      case 'p':
        piece = Hex(a.AsUInt(), static_cast<int>(sizeof(void*) * 2));
        break;
      case 's':
        piece = std::string(a.AsString());
        if (prec >= 0 && static_cast<int>(piece.size()) > prec) piece.resize(static_cast<size_t>(prec));
        break;
      case 'f':
      case 'g':
      case 'e': {
        char conversion[16];
        std::snprintf(conversion, sizeof conversion, "%%.%d%c", prec < 0 ? (conv == 'g' ? 15 : 2) : prec, conv == 'e' ? 'E' : conv);
        const int length = std::snprintf(nullptr, 0, conversion, a.AsDouble());
        if (length < 0) FormatError(fmt);
        piece.resize(static_cast<size_t>(length) + 1);
        std::snprintf(piece.data(), piece.size(), conversion, a.AsDouble());
        piece.pop_back();
        break;
      }
      default:
        FormatError(fmt);
    }
    out += Pad(std::move(piece), width, left);
  }
  return out;
}

}  // namespace vt
