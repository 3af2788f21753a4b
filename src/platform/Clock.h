// Time sources and calendar helpers: the 32-bit millisecond tick counter, local wall-clock
// time, and the date arithmetic the server needs (ISO weekday, Monday of the week, OLE
// Automation dates, seconds since 2000-01-01).
#pragma once

#include <cstdint>
#include <ctime>

namespace orbitrace {

// Broken-down local date and time.
struct LocalDateTime {
  int year = 0;    // e.g. 2010
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int millisecond = 0;
  int isoWeekday = 0;  // Monday 1 .. Sunday 7
};

// Calendar date without a time of day.
struct Date {
  int year = 0;
  int month = 0;
  int day = 0;
  bool operator==(const Date&) const = default;
};

// Injectable time source. The server uses SystemClock; tests substitute a fake one so that
// date changes, hourly clean-ups and counter wrap-around can be exercised without waiting.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start, truncated to 32 bits (wraps after ~49.7 days).
  virtual uint32_t TickCount() const = 0;
  // Seconds since the Unix epoch (UTC), with milliseconds.
  virtual int64_t UnixMillis() const = 0;
  // Local time of the moment UnixMillis() would return.
  LocalDateTime Now() const;
};

class SystemClock final : public Clock {
 public:
  uint32_t TickCount() const override;
  int64_t UnixMillis() const override;
  static const SystemClock& Instance();
};

// Milliseconds elapsed since `start`, aware of one wrap of the 32-bit counter.
uint32_t TickDiff(uint32_t start, uint32_t now);

// Local broken-down time of a Unix time in milliseconds.
LocalDateTime ToLocal(int64_t unixMillis);

// 1 = Monday .. 7 = Sunday.
int IsoWeekday(const Date& d);
bool IsValidDate(int year, int month, int day);
Date AddDays(const Date& d, int days);
// The Monday of the ISO week that holds `d`.
Date MondayOf(const Date& d);
// The Monday of the local week that holds `t`: the date weekly files are named by.
Date MondayOf(const LocalDateTime& t);
// Days since 1899-12-30 (the OLE Automation epoch) of the date, without a fraction.
int64_t DaysSinceOleEpoch(const Date& d);
// OLE Automation date-time value (days since 1899-12-30, time of day as the fraction).
double ToOleDateTime(const LocalDateTime& t);
// Seconds since 2000-01-01 00:00:00 of a UTC moment given as Unix seconds.
int64_t SecondsSince2000(int64_t unixSeconds);

}  // namespace orbitrace
