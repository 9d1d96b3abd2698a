// Dates and times of the runtime: file dates in the packed MS-DOS form.
#pragma once

#include <cstdint>
#include <string>

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
