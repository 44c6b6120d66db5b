#ifndef KORVANE_PLATFORM_ZONE_RULES_H
#define KORVANE_PLATFORM_ZONE_RULES_H

#include <cstdint>

namespace korvane::zone {

// One change of a zone's yearly rule: in month, on the occurrence-th weekday (5 = last) at
// the given local time; with a nonzero year it is that fixed date instead (day = day of month).
struct ChangeRule {
  int32_t year = 0;
  int32_t month = 0;  // 0: the zone has no daylight saving
  int32_t weekday = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};

struct ZoneRules {
  int32_t bias_minutes = 0;           // UTC = local + bias
  int32_t daylight_bias_minutes = 0;  // added to the bias while daylight saving is in force
  ChangeRule standard_start;          // daylight saving ends
  ChangeRule daylight_start;          // daylight saving begins
};

struct LocalClock {
  int32_t year, month, day, hour, minute, second, millisecond;
};

// Offset from UTC in whole hours (truncated toward zero) at the local time now. Daylight
// saving is in force from its start up to its end in the same year; where the period runs
// over the turn of the year (southern hemisphere) it is in force outside end..start.
int32_t OffsetHours(const ZoneRules& rules, const LocalClock& now);

}  // namespace korvane::zone

#endif
