#include "platform/Clock.h"

#include <gtest/gtest.h>

namespace orbitrace {
namespace {

TEST(ClockTest, TickDiffWrapsOnce) {
  EXPECT_EQ(TickDiff(100, 350), 250u);
  EXPECT_EQ(TickDiff(0xFFFFFFF0u, 0x10u), 0x1Fu);  // (2^32-1) - start + now
  EXPECT_EQ(TickDiff(5, 5), 0u);
}

TEST(ClockTest, CalendarHelpers) {
  struct Case {
    Date date;
    int weekday;
    Date monday;
  } cases[] = {
      {{2010, 9, 8}, 3, {2010, 9, 6}},    // Wednesday
      {{2010, 9, 12}, 7, {2010, 9, 6}},   // Sunday stays in the week before
      {{2010, 9, 13}, 1, {2010, 9, 13}},  // Monday is its own Monday
      {{2021, 1, 1}, 5, {2020, 12, 28}},  // across the year boundary
      {{2024, 3, 2}, 6, {2024, 2, 26}},   // across a leap February
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsoWeekday(c.date), c.weekday) << c.date.year << "-" << c.date.month;
    EXPECT_EQ(MondayOf(c.date), c.monday) << c.date.year << "-" << c.date.month;
  }
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_FALSE(IsValidDate(2010, 13, 1));
  EXPECT_FALSE(IsValidDate(2010, 4, 31));
  EXPECT_FALSE(IsValidDate(2010, 0, 10));
}

TEST(ClockTest, OleDatesAndSecondsSince2000) {
  EXPECT_EQ(DaysSinceOleEpoch(Date{1899, 12, 30}), 0);
  EXPECT_EQ(DaysSinceOleEpoch(Date{1900, 1, 1}), 2);
  EXPECT_EQ(DaysSinceOleEpoch(Date{2000, 1, 1}), 36526);
  LocalDateTime t;
  t.year = 2000;
  t.month = 1;
  t.day = 1;
  t.hour = 18;
  EXPECT_DOUBLE_EQ(ToOleDateTime(t), 36526.75);
  EXPECT_EQ(SecondsSince2000(946684800), 0);
  EXPECT_EQ(SecondsSince2000(946684800 + 86400), 86400);
}

}  // namespace
}  // namespace orbitrace
