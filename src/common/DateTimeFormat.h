// The runtime's date and time format settings and the formatting that uses
// them. A date-time value is a day count from 1899-12-30 with the time of day
// as its fraction.
#pragma once

#include <cstdint>
#include <string>

namespace vt {

struct TFormatSettings {
  char DateSeparator = '/';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "m/d/yyyy";
  std::string LongDateFormat = "m/d/yyyy";
  std::string ShortTimeFormat = "h:nn";
  std::string LongTimeFormat = "h:nn:ss";
};

// The process-wide settings (set during start-up, read afterwards).
TFormatSettings& FormatSettings();

// Civil date of a day count from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day);

double EncodeDate(int year, int month, int day);
double EncodeTime(int hour, int minute, int second, int msec);

// Tokens: d dd m mm yy yyyy h hh n nn s ss; '/' and ':' stand for the date
// and time separators; text in single or double quotes is copied; any other
// character is copied as it is.
std::string FormatDateTime(const std::string& format, double value);
std::string FormatDateTime(const std::string& format, double value, const TFormatSettings& settings);
std::string DateToStr(double value);  // ShortDateFormat
std::string TimeToStr(double value);  // LongTimeFormat

}  // namespace vt
