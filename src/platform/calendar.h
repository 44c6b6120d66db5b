#ifndef KORVANE_PLATFORM_CALENDAR_H
#define KORVANE_PLATFORM_CALENDAR_H

// Proleptic Gregorian calendar from year 0 (a leap year). Day number 0 is 0000-01-01, a
// Saturday; 1970-01-01 is day 719528.

#include <cstdint>

namespace korvane::calendar {

struct Date {
  int32_t year;
  int32_t month;  // 1-12
  int32_t day;    // 1-31
};

bool IsLeapYear(int32_t year);
int32_t DaysInMonth(int32_t year, int32_t month);
// Day number of a date in year 0 or later.
int64_t DayNumber(int32_t year, int32_t month, int32_t day);
// Exact inverse of DayNumber for every day number from 0 on.
Date DateOfDayNumber(int64_t day_number);
// 0 = Sunday ... 6 = Saturday.
int32_t Weekday(int64_t day_number);
// Day of the month of the n-th weekday w (0 = Sunday); n of 5 or more selects the last one.
int32_t NthWeekdayOfMonth(int32_t year, int32_t month, int32_t weekday, int32_t n);

}  // namespace korvane::calendar

#endif
