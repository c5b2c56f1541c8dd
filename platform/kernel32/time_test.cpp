// The clock: the fixed clock through the API, and days of the week.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "qzplatform.h"

namespace {

// Each row fixes the clock and reads it back; a refused time leaves the time before it.
TEST(FixedClock, LocalTimeIsFixedWithItsDayOfWeekAndInvalidTimesAreRefused) {
  struct Case { SYSTEMTIME set, read; };  // read: wDayOfWeek recomputed
  const Case cases[] = {
      {{2024, 2, 6, 29, 23, 59, 58, 999}, {2024, 2, 4, 29, 23, 59, 58, 999}},  // a leap day, a Thursday
      {{1999, 12, 0, 31, 8, 0, 0, 1}, {1999, 12, 5, 31, 8, 0, 0, 1}},
      {{2038, 1, 0, 19, 3, 14, 8, 0}, {2038, 1, 2, 19, 3, 14, 8, 0}},
      {{2020, 5, 0, 17, 10, 0, 0, 0}, {2020, 5, 0, 17, 10, 0, 0, 0}},           // a Sunday
      {{2020, 13, 0, 1, 0, 0, 0, 0}, {2020, 5, 0, 17, 10, 0, 0, 0}},            // no month 13
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.set.wYear << "-" << c.set.wMonth << "-" << c.set.wDay);
    QzSetFixedLocalTime(&c.set);
    SYSTEMTIME now;
    memset(&now, 0xCC, sizeof now);
    GetLocalTime(&now);
    EXPECT_EQ(memcmp(&now, &c.read, sizeof now), 0) << now.wYear << "-" << now.wMonth << "-" << now.wDay << " dow "
                                                    << now.wDayOfWeek << " ms " << now.wMilliseconds;
    GetSystemTime(&now);
    EXPECT_EQ(now.wMilliseconds, c.read.wMilliseconds);
  }
  QzSetFixedLocalTime(nullptr);
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_GE(now.wYear, 2024);
}

}  // namespace
