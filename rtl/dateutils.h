// Dates and times of the runtime. TDateTime: days since 1899-12-30 as a
// double, the time of day in the fraction. Before that day the value is
// negative and the time of day moves it further from zero (-1.25 is 29 Dec
// 1899, 06:00). File dates come in the packed MS-DOS form.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/sysutils.h"

using TDateTime = double;

class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// False, and `out` untouched, for a day that the calendar has not (month 13,
// 30 February, year 0) or a time outside 00:00:00.000 to 23:59:59.999.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& out);
// The same, raising EConvertError for impossible values.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);

// A day and a time of day as one value. Before day zero the fraction counts
// away from it (six in the morning of 1899-12-29 is -1.25), so a plain sum
// would land on the next day.
TDateTime ComposeDateTime(TDateTime date, TDateTime time);

void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);

// The current moment on the local clock, and in UTC.
TDateTime Now();
TDateTime NowUTC();

// Formats with a pattern of the runtime's kind: yyyy or yy, mm, dd, hh, nn
// (minutes), ss and zzz (milliseconds) stand for their fields with leading
// zeros; every other character stands for itself.
std::string FormatDateTime(const std::string& pattern, TDateTime value);

// The packed MS-DOS date and time: the date in the high 16 bits (years since
// 1980, month, day), the time in the low 16 bits (hours, minutes, seconds / 2).
// Returns -1 for a moment that the form cannot hold (before 1980 or after 2107).
std::int32_t PackFileDate(int year, int month, int day, int hour, int minute, int second);
// The last-write date and time of a file in local time, packed; -1 when the
// file cannot be opened or its date cannot be packed.
std::int32_t FileAge(const std::string& path);
// Orders two packed dates; dates from 2044 on have the top bit set, so they
// are compared as unsigned numbers.
int CompareFileDates(std::int32_t a, std::int32_t b);
