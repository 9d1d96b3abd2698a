#include "rtl/dateutils.h"

#include "platform/filesys.h"

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
