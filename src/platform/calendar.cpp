#include "platform/calendar.h"

namespace korvane::calendar {

namespace {
constexpr int32_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int64_t LeapYearsBefore(int64_t year) {
  if (year <= 0) return 0;
  return (year - 1) / 400 + (year + 3) / 4 - (year - 1) / 100;
}

int64_t FirstDayOfYear(int64_t year) { return 365 * year + LeapYearsBefore(year); }
}  // namespace

bool IsLeapYear(int32_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int32_t DaysInMonth(int32_t year, int32_t month) {
  if (month == 2 && IsLeapYear(year)) return 29;
  return kMonthDays[month - 1];
}

int64_t DayNumber(int32_t year, int32_t month, int32_t day) {
  int64_t n = FirstDayOfYear(year);
  for (int32_t m = 1; m < month; ++m) n += DaysInMonth(year, m);
  return n + day - 1;
}

Date DateOfDayNumber(int64_t day_number) {
  // Estimate the year from the mean year length, then correct by at most a step or two.
  int64_t year = day_number * 400 / 146097;
  while (year > 0 && FirstDayOfYear(year) > day_number) --year;
  while (FirstDayOfYear(year + 1) <= day_number) ++year;
  int64_t rest = day_number - FirstDayOfYear(year);
  const auto y = static_cast<int32_t>(year);
  int32_t month = 1;
  while (rest >= DaysInMonth(y, month)) {
    rest -= DaysInMonth(y, month);
    ++month;
  }
  return Date{y, month, static_cast<int32_t>(rest) + 1};
}

int32_t Weekday(int64_t day_number) { return static_cast<int32_t>((day_number + 6) % 7); }

int32_t NthWeekdayOfMonth(int32_t year, int32_t month, int32_t weekday, int32_t n) {
  const int32_t first_weekday = Weekday(DayNumber(year, month, 1));
  const int32_t first = 1 + (weekday - first_weekday + 7) % 7;
  if (n < 2) return first;
  const int32_t max_weeks = (DaysInMonth(year, month) - first) / 7;
  return first + 7 * (n - 1 < max_weeks ? n - 1 : max_weeks);
}

}  // namespace korvane::calendar
