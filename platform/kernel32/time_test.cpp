// The clock: the fixed clock through the API, and days of the week.
#include <gtest/gtest.h>
#include <windows.h>

#include "qzplatform.h"

namespace {

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek && a.wDay == b.wDay &&
         a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond &&
         a.wMilliseconds == b.wMilliseconds;
}

TEST(FixedClock, LocalTimeIsFixedWithItsDayOfWeek) {
  struct Case {
    SYSTEMTIME set;
    WORD day_of_week;
  };
  const Case cases[] = {
      {{2024, 2, 6, 29, 23, 59, 58, 999}, 4},  // a leap day, a Thursday: wDayOfWeek is recomputed
      {{1999, 12, 0, 31, 8, 0, 0, 1}, 5},
      {{2038, 1, 0, 19, 3, 14, 8, 0}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.set.wYear);
    QzSetFixedLocalTime(&c.set);
    SYSTEMTIME expected = c.set;
    expected.wDayOfWeek = c.day_of_week;
    SYSTEMTIME now;
    memset(&now, 0xCC, sizeof now);
    GetLocalTime(&now);
    EXPECT_TRUE(SameTime(now, expected)) << now.wYear << "-" << now.wMonth << "-" << now.wDay << " dow "
                                         << now.wDayOfWeek << " ms " << now.wMilliseconds;
    GetSystemTime(&now);
    EXPECT_EQ(now.wMilliseconds, c.set.wMilliseconds);
  }
  QzSetFixedLocalTime(nullptr);
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2024);
}

TEST(FixedClock, InvalidTimeLeavesTheClockAlone) {
  SYSTEMTIME good = {2020, 5, 0, 17, 10, 0, 0, 0};
  QzSetFixedLocalTime(&good);
  SYSTEMTIME bad = {2020, 13, 0, 1, 0, 0, 0, 0};
  QzSetFixedLocalTime(&bad);
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_EQ(now.wMonth, 5);
  EXPECT_EQ(now.wDayOfWeek, 0);  // a Sunday
  QzSetFixedLocalTime(nullptr);
}

}  // namespace
