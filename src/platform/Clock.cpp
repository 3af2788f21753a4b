#include "platform/Clock.h"

#include <time.h>

namespace orbitrace {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  return Date{static_cast<int>(y + (m <= 2 ? 1 : 0)), static_cast<int>(m), static_cast<int>(d)};
}

}  // namespace

LocalDateTime Clock::Now() const {
  return ToLocal(UnixMillis());
}

uint32_t SystemClock::TickCount() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t SystemClock::UnixMillis() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

const SystemClock& SystemClock::Instance() {
  // Never destroyed: worker threads that run until the process ends keep using it.
  static const SystemClock* const clock = new SystemClock;
  return *clock;
}

uint32_t TickDiff(uint32_t start, uint32_t now) {
  if (start <= now) return now - start;
  return (0xFFFFFFFFu - start) + now;
}

LocalDateTime ToLocal(int64_t unixMillis) {
  int64_t secs = unixMillis / 1000;
  int64_t ms = unixMillis % 1000;
  if (ms < 0) {
    ms += 1000;
    secs -= 1;
  }
  const time_t t = static_cast<time_t>(secs);
  tm parts{};
  localtime_r(&t, &parts);
  LocalDateTime r;
  r.year = parts.tm_year + 1900;
  r.month = parts.tm_mon + 1;
  r.day = parts.tm_mday;
  r.hour = parts.tm_hour;
  r.minute = parts.tm_min;
  r.second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  r.millisecond = static_cast<int>(ms);
  r.isoWeekday = parts.tm_wday == 0 ? 7 : parts.tm_wday;
  return r;
}

int IsoWeekday(const Date& d) {
  // 1970-01-01 was a Thursday (ISO 4).
  const int64_t days = DaysFromCivil(d.year, d.month, d.day);
  int64_t w = (days + 3) % 7;  // 0 = Monday
  if (w < 0) w += 7;
  return static_cast<int>(w) + 1;
}

bool IsValidDate(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int limit = kDays[month - 1];
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && leap) limit = 29;
  return day <= limit;
}

Date AddDays(const Date& d, int days) {
  return CivilFromDays(DaysFromCivil(d.year, d.month, d.day) + days);
}

Date MondayOf(const Date& d) {
  return AddDays(d, -(IsoWeekday(d) - 1));
}

Date MondayOf(const LocalDateTime& t) {
  return MondayOf(Date{t.year, t.month, t.day});
}

int64_t DaysSinceOleEpoch(const Date& d) {
  return DaysFromCivil(d.year, d.month, d.day) - DaysFromCivil(1899, 12, 30);
}

double ToOleDateTime(const LocalDateTime& t) {
  const double days = static_cast<double>(DaysSinceOleEpoch(Date{t.year, t.month, t.day}));
  const double frac =
      (((t.hour * 60.0 + t.minute) * 60.0 + t.second) * 1000.0 + t.millisecond) / 86400000.0;
  // Before the epoch the fraction counts away from zero, as OLE Automation dates do.
  return days >= 0 ? days + frac : days - frac;
}

int64_t SecondsSince2000(int64_t unixSeconds) {
  return unixSeconds - 946684800;
}

}  // namespace orbitrace
