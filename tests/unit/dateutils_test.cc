// The runtime's date and time helpers.
#include "rtl/dateutils.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(DateUtils, EncodesAndDecodesAcrossTheCalendar) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(2000, 3, 1) - EncodeDate(2000, 2, 28), 2.0);  // 2000 was a leap year
  EXPECT_EQ(EncodeDate(1900, 3, 1) - EncodeDate(1900, 2, 28), 1.0);  // 1900 was not
  for (auto [y, m, d] : {std::tuple{1, 1, 1},
                         {1899, 12, 29},
                         {1999, 12, 31},
                         {2024, 2, 29},
                         {2038, 1, 19},
                         {9999, 12, 31}}) {
    int yy, mm, dd;
    TDateTime date = EncodeDate(y, m, d);
    // Before day zero the time of day is counted away from it.
    DecodeDate(date < 0 ? date - 0.75 : date + 0.75, yy, mm, dd);
    EXPECT_EQ(yy * 10000 + mm * 100 + dd, y * 10000 + m * 100 + d);
  }
  int h, n, s, ms;
  DecodeTime(EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 59, 999), h, n, s, ms);
  EXPECT_EQ(h * 10000000 + n * 100000 + s * 1000 + ms, 235959999);
  DecodeTime(-1.25, h, n, s, ms);
  EXPECT_EQ(h, 6);
}

TEST(DateUtils, RefusesImpossibleFields) {
  TDateTime out = 42;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, out));
  EXPECT_FALSE(TryEncodeDate(2024, 13, 1, out));
  EXPECT_FALSE(TryEncodeDate(2024, 0, 1, out));
  EXPECT_FALSE(TryEncodeDate(0, 1, 1, out));
  EXPECT_FALSE(TryEncodeDate(2024, 4, 31, out));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(23, 60, 0, 0, out));
  EXPECT_FALSE(TryEncodeTime(23, 0, 60, 0, out));
  EXPECT_FALSE(TryEncodeTime(-1, 0, 0, 0, out));
  EXPECT_EQ(out, 42);
  EXPECT_THROW(EncodeDate(2024, 2, 30), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(DateUtils, FormatsWithThePattern) {
  TDateTime t = EncodeDate(2007, 3, 4) + EncodeTime(5, 6, 7, 8);
  EXPECT_EQ(FormatDateTime("yymmdd hhnnss", t), "070304 050607");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", t), "2007-03-04 05:06:07.008");
  // A time that rounds up to midnight belongs to the next day.
  EXPECT_EQ(FormatDateTime("yyyymmdd hhnnss", EncodeDate(1999, 12, 31) + 0.9999999999),
            "20000101 000000");
}

TEST(DateUtils, UtcAndLocalClocksAgreeWithinADay) {
  TDateTime utc = NowUTC(), local = Now();
  EXPECT_GT(utc, EncodeDate(2020, 1, 1));
  EXPECT_LT(std::fabs(utc - local), 1.0);
}

}  // namespace
