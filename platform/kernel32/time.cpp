// The clock: local and UTC time with milliseconds, tick counts, and the fixed clock that tests use.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <mutex>

#include "qzplatform.h"
#include "windows.h"

namespace {

struct FixedClock {
  std::mutex lock;
  bool fixed = false;
  SYSTEMTIME local = {};
};

// Day of the week (0 = Sunday) of a calendar date, by days since 1970-01-01 (a Thursday).
WORD DayOfWeek(int year, int month, int day) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  time_t seconds = timegm(&t);
  long long days = static_cast<long long>(seconds) / 86400;
  if (static_cast<long long>(seconds) % 86400 < 0) --days;
  return static_cast<WORD>(((days + 4) % 7 + 7) % 7);
}

bool Normalise(SYSTEMTIME* time) {
  if (time->wMonth < 1 || time->wMonth > 12 || time->wDay < 1 || time->wDay > 31 || time->wHour > 23 ||
      time->wMinute > 59 || time->wSecond > 59 || time->wMilliseconds > 999)
    return false;
  time->wDayOfWeek = DayOfWeek(time->wYear, time->wMonth, time->wDay);
  return true;
}

// "YYYY-MM-DD hh:mm:ss.mmm"; the milliseconds may be left out.
bool ParseFixedTime(const char* text, SYSTEMTIME* time) {
  unsigned year, month, day, hour, minute, second, millis = 0;
  int fields = sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u.%3u", &year, &month, &day, &hour, &minute, &second, &millis);
  if (fields < 6) return false;
  *time = SYSTEMTIME{static_cast<WORD>(year),   static_cast<WORD>(month),  0,
                     static_cast<WORD>(day),    static_cast<WORD>(hour),   static_cast<WORD>(minute),
                     static_cast<WORD>(second), static_cast<WORD>(millis)};
  return Normalise(time);
}

FixedClock& Clock() {
  static FixedClock* clock = [] {
    FixedClock* created = new FixedClock;  // never destroyed: the clock is read at exit
    const char* env = getenv("QZWMI_FIXED_TIME");
    if (env && *env) created->fixed = ParseFixedTime(env, &created->local);
    return created;
  }();
  return *clock;
}

void FromTm(const struct tm& t, long nanoseconds, SYSTEMTIME* out) {
  out->wYear = static_cast<WORD>(t.tm_year + 1900);
  out->wMonth = static_cast<WORD>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  out->wDay = static_cast<WORD>(t.tm_mday);
  out->wHour = static_cast<WORD>(t.tm_hour);
  out->wMinute = static_cast<WORD>(t.tm_min);
  out->wSecond = static_cast<WORD>(t.tm_sec);
  out->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

bool FixedLocal(SYSTEMTIME* out) {
  FixedClock& clock = Clock();
  std::lock_guard<std::mutex> guard(clock.lock);
  if (!clock.fixed) return false;
  *out = clock.local;
  return true;
}

}  // namespace

extern "C" void QzSetFixedLocalTime(const SYSTEMTIME* time) {
  FixedClock& clock = Clock();
  std::lock_guard<std::mutex> guard(clock.lock);
  if (!time) {
    clock.fixed = false;
    return;
  }
  SYSTEMTIME copy = *time;
  if (!Normalise(&copy)) return;
  clock.local = copy;
  clock.fixed = true;
}

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime || FixedLocal(lpSystemTime)) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  localtime_r(&now.tv_sec, &t);
  FromTm(t, now.tv_nsec, lpSystemTime);
}

extern "C" void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (!lpSystemTime) return;
  SYSTEMTIME local;
  if (FixedLocal(&local)) {
    // The fixed time is local: UTC is what the time zone makes of it.
    struct tm t = {};
    t.tm_year = local.wYear - 1900;
    t.tm_mon = local.wMonth - 1;
    t.tm_mday = local.wDay;
    t.tm_hour = local.wHour;
    t.tm_min = local.wMinute;
    t.tm_sec = local.wSecond;
    t.tm_isdst = -1;
    time_t seconds = mktime(&t);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    FromTm(utc, static_cast<long>(local.wMilliseconds) * 1000000, lpSystemTime);
    return;
  }
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  gmtime_r(&now.tv_sec, &t);
  FromTm(t, now.tv_nsec, lpSystemTime);
}
