#include "platform/zone_rules.h"

#include "platform/KorTime.h"

namespace korvane::zone {

namespace {

int64_t ChangeTicks(const ChangeRule& rule, int32_t present_year) {
  int32_t day = rule.day;
  if (rule.year == 0) day = calendar::NthWeekdayOfMonth(present_year, rule.month, rule.weekday, rule.day);
  CKorUTCTime t(0);
  t.SetDateTime(present_year, rule.month, day, rule.hour, rule.minute, rule.second, rule.millisecond, 0, 0);
  return t.GetTicks();
}

}  // namespace

int32_t OffsetHours(const ZoneRules& rules, const LocalClock& now) {
  int32_t minutes = -rules.bias_minutes;
  if (rules.daylight_start.month != 0 && rules.standard_start.month != 0) {
    const int64_t start = ChangeTicks(rules.daylight_start, now.year);
    const int64_t end = ChangeTicks(rules.standard_start, now.year);
    CKorUTCTime present(0);
    present.SetDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second, now.millisecond, 0, 0);
    const int64_t t = present.GetTicks();
    const bool daylight = start <= end ? (start <= t && t < end) : (t >= start || t < end);
    if (daylight) minutes -= rules.daylight_bias_minutes;
  }
  return minutes / 60;
}

}  // namespace korvane::zone
