#include "rtl/dateutils.h"

#include <cmath>
#include <cstdint>

#include "platform/filesys.h"
#include "platform/userenv.h"

namespace {

constexpr std::int64_t kMsPerDay = 86400000;
// Days from 1970-01-01 to the runtime's day zero, 1899-12-30.
constexpr std::int64_t kEpochShift = -25569;

// Days since 1970-01-01 of a civil date (proleptic Gregorian calendar).
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  auto yoe = static_cast<unsigned>(y - era * 400);
  unsigned doy =
      (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
  unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  auto doe = static_cast<unsigned>(z - era * 146097);
  unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Splits a value into whole days and milliseconds of the day, rounding to
// the nearest millisecond (which may carry into the next day).
void Split(TDateTime value, std::int64_t& days, std::int64_t& ms) {
  double whole = std::trunc(value);
  days = static_cast<std::int64_t>(whole);
  ms = std::llround(std::fabs(value - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += value < 0 ? -1 : 1;
  }
}

TDateTime FromCalendar(const plat::CalendarTime& t) {
  TDateTime date = 0, time = 0;
  TryEncodeDate(t.year, t.month, t.day, date);
  TryEncodeTime(t.hour, t.minute, t.second, t.millisecond, time);
  return ComposeDateTime(date, time);
}

void AppendPadded(std::string& out, int value, int width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (static_cast<int>(digits.size()) < width)
    out.append(static_cast<std::size_t>(width) - digits.size(), '0');
  out += digits;
}

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  if (day < 1 || day > DaysInMonth(year, month)) return false;
  out = static_cast<double>(DaysFromCivil(year, month, day) - kEpochShift);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    return false;
  }
  std::int64_t ms = ((hour * 60 + minute) * 60 + second) * 1000LL + millisecond;
  out = static_cast<double>(ms) / static_cast<double>(kMsPerDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime out;
  if (!TryEncodeDate(year, month, day, out)) throw EConvertError("Invalid argument to date encode");
  return out;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  TDateTime out;
  if (!TryEncodeTime(hour, minute, second, millisecond, out))
    throw EConvertError("Invalid argument to time encode");
  return out;
}

TDateTime ComposeDateTime(TDateTime date, TDateTime time) {
  return date < 0 ? date - time : date + time;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  std::int64_t days, ms;
  Split(value, days, ms);
  CivilFromDays(days + kEpochShift, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  std::int64_t days, ms;
  Split(value, days, ms);
  millisecond = static_cast<int>(ms % 1000);
  second = static_cast<int>(ms / 1000 % 60);
  minute = static_cast<int>(ms / 60000 % 60);
  hour = static_cast<int>(ms / 3600000);
}

TDateTime Now() { return FromCalendar(plat::LocalNow()); }
TDateTime NowUTC() { return FromCalendar(plat::UtcNow()); }

std::string FormatDateTime(const std::string& pattern, TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(value, y, mo, d);
  DecodeTime(value, h, mi, s, ms);
  std::string out;
  std::size_t i = 0;
  auto at = [&](const char* token) {
    return pattern.compare(i, std::char_traits<char>::length(token), token) == 0;
  };
  while (i < pattern.size()) {
    if (at("yyyy")) {
      AppendPadded(out, y, 4);
      i += 4;
    } else if (at("yy")) {
      AppendPadded(out, y % 100, 2);
      i += 2;
    } else if (at("zzz")) {
      AppendPadded(out, ms, 3);
      i += 3;
    } else if (at("mm") || at("dd") || at("hh") || at("nn") || at("ss")) {
      char c = pattern[i];
      AppendPadded(out, c == 'm' ? mo : c == 'd' ? d : c == 'h' ? h : c == 'n' ? mi : s, 2);
      i += 2;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

std::int32_t PackFileDate(int year, int month, int day, int hour, int minute, int second) {
  if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
    return -1;
  std::uint32_t date = static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day);
  std::uint32_t time = static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
  return static_cast<std::int32_t>(date << 16 | time);
}

std::int32_t FileAge(const std::string& path) {
  plat::LocalTime t;
  if (!plat::FileLastWriteLocal(path, &t)) return -1;
  return PackFileDate(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

int CompareFileDates(std::int32_t a, std::int32_t b) {
  auto ua = static_cast<std::uint32_t>(a), ub = static_cast<std::uint32_t>(b);
  return ua < ub ? -1 : ua > ub ? 1 : 0;
}
