#include "common/DateTimeFormat.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace vt {
namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}


constexpr std::int64_t kUnixEpochDay = 25569;  // 1970-01-01 from 1899-12-30

}  // namespace

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

double EncodeDate(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
                             kUnixEpochDay);
}

double EncodeTime(int hour, int minute, int second, int msec) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / 86400000.0;
}

std::string FormatDateTime(const std::string& format, double value, const TFormatSettings& fs) {
  std::string out;
  if (!std::isfinite(value) || value < -693594.0 || value >= 2958466.0) return out;
  const double day = std::floor(value);
  std::int64_t ms = std::llround((value - day) * 86400000.0);
  if (ms >= 86400000) ms = 86399999;
  const int hour = static_cast<int>(ms / 3600000), minute = static_cast<int>(ms / 60000 % 60),
            second = static_cast<int>(ms / 1000 % 60);
  std::int64_t year;
  unsigned month, mday;
  CivilFromDays(static_cast<std::int64_t>(day) - kUnixEpochDay, year, month, mday);

  auto number = [&out](long long v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%0*lld", digits, v);
    out += buf;
  };
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    char lc = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    std::size_t run = 1;
    while (i + run < format.size() && (format[i + run] | 0x20) == lc && lc >= 'a' && lc <= 'z') ++run;
    switch (lc) {
      case 'y':
        if (run >= 3)
          number(year, 4);
        else
          number(year % 100, 2);
        break;
      case 'm':
        number(month, run >= 2 ? 2 : 1);
        break;
      case 'd':
        number(mday, run >= 2 ? 2 : 1);
        break;
      case 'h':
        number(hour, run >= 2 ? 2 : 1);
        break;
      case 'n':
        number(minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        number(second, run >= 2 ? 2 : 1);
        break;
      case '/':
        out += fs.DateSeparator;
        break;
      case ':':
        out += fs.TimeSeparator;
        break;
      case '\'':
      case '"': {
        std::size_t end = format.find(c, i + 1);
        if (end == std::string::npos) end = format.size();
        out.append(format, i + 1, end - i - 1);
        run = end + 1 - i;
        if (i + run > format.size()) run = format.size() - i;
        break;
      }
      default:
        out.append(run, c);
    }
    i += run;
  }
  return out;
}

std::string FormatDateTime(const std::string& format, double value) {
  return FormatDateTime(format, value, FormatSettings());
}

std::string DateToStr(double value) { return FormatDateTime(FormatSettings().ShortDateFormat, value); }

std::string TimeToStr(double value) { return FormatDateTime(FormatSettings().LongTimeFormat, value); }

}  // namespace vt
