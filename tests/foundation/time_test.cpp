#include <gtest/gtest.h>

#include <sstream>

#include "platform/KorTime.h"
#include "platform/calendar.h"
#include "platform/zone_rules.h"

namespace korvane {
namespace {

// Independent civil-date arithmetic (days since 1970-01-01), by eras of 400 years.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

TEST(Calendar, RoundTripAgainstIndependentArithmetic) {
  EXPECT_EQ(calendar::DayNumber(1970, 1, 1), 719528);
  EXPECT_EQ(calendar::Weekday(719528), 4);  // Thursday
  EXPECT_EQ(calendar::Weekday(0), 6);       // Saturday
  for (int64_t n = 0; n < 4 * 146097 + 800; n += 7) {
    const calendar::Date d = calendar::DateOfDayNumber(n);
    ASSERT_EQ(calendar::DayNumber(d.year, d.month, d.day), n) << n;
    ASSERT_EQ(DaysFromCivil(d.year, d.month, d.day) + 719528, n) << n;
  }
  for (int64_t n = 730000; n < 800000; ++n) {  // every day of about two centuries
    const calendar::Date d = calendar::DateOfDayNumber(n);
    ASSERT_EQ(DaysFromCivil(d.year, d.month, d.day) + 719528, n) << n;
  }
  EXPECT_EQ(calendar::NthWeekdayOfMonth(2026, 3, 0, 5), 29);
  EXPECT_EQ(calendar::NthWeekdayOfMonth(2026, 10, 0, 5), 25);
  EXPECT_EQ(calendar::NthWeekdayOfMonth(2026, 3, 0, 2), 8);
}

TEST(KorTime, SetDateTimeClampsAndGetDateInverts) {
  struct Case {
    int y, mo, d, h, mi;
    int ey, emo, ed, eh, emi;
  } cases[] = {
      {2024, 2, 30, 0, 0, 2024, 2, 29, 0, 0}, {2023, 2, 29, 0, 0, 2023, 2, 28, 0, 0},
      {2024, 13, 5, 0, 0, 2024, 12, 5, 0, 0}, {2024, 5, 0, 24, 60, 2024, 5, 1, 23, 59},
      {2000, 1, 1, 0, 0, 2000, 1, 1, 0, 0},   {1999, 12, 31, 0, 0, 1999, 12, 31, 0, 0},
      {2024, 12, 31, 0, 0, 2024, 12, 31, 0, 0}, {2024, -3, -1, -1, -1, 2024, 12, 31, 23, 59},
      {2024, 0, 10, 1, 2, 2024, 1, 10, 1, 2},
  };
  for (const Case& c : cases) {
    CKorUTCTime t(0);
    t.SetDateTime(c.y, c.mo, c.d, c.h, c.mi, 0, 0, 0, 0);
    const calendar::Date d = t.GetDate();
    EXPECT_EQ(d.year, c.ey);
    EXPECT_EQ(d.month, c.emo);
    EXPECT_EQ(d.day, c.ed);
    EXPECT_EQ(t.GetHour(), c.eh);
    EXPECT_EQ(t.GetMinute(), c.emi);
  }
}

TEST(KorTime, LocalReadingsAndDifferences) {
  CKorLocalTime local(2026, 6, 1, 12, 0, 0, 0);
  local.SetZoneOffset(-5);
  const int64_t utc_ms = local.CKorUTCTime::GetMilliseconds();
  EXPECT_EQ(local.GetMilliseconds(), utc_ms - 18000000);
  const int64_t ticks_before = local.CKorUTCTime::GetTicks();
  local.SetMilliseconds(local.GetMilliseconds());
  EXPECT_EQ(local.CKorUTCTime::GetTicks(), ticks_before);

  const int64_t reading = local.GetMilliseconds();
  local.SubtractSeconds(0);
  EXPECT_EQ(local.GetMilliseconds(), reading);
  local.SubtractSeconds(10);
  EXPECT_EQ(local.GetMilliseconds(), reading - 10000);

  const CKorUTCTime a(1000000005), b(1000000002);
  EXPECT_EQ(CKorUTCTime::Difference(a, b), 3);
  EXPECT_EQ(CKorUTCTime::Difference(b, a), -3);

  const CKorUTCTime now_utc;
  const CKorLocalTime now_local;
  EXPECT_EQ(now_local.CKorUTCTime::GetTicks() % CKorUTCTime::kTicksPerMillisecond, 0);
  EXPECT_LT(CKorUTCTime::Difference(CKorUTCTime(now_local.CKorUTCTime::GetTicks()), now_utc),
            CKorUTCTime::kTicksPerSecond);
}

TEST(KorTime, TextRoundTrip) {
  CKorLocalTime t(2026, 12, 11, 15, 4, 5, 67);
  std::ostringstream out;
  t.Write(out);
  EXPECT_EQ(out.str(), "11.12.2026 15:04:05.067");
  CKorUTCTime back(0);
  std::istringstream in("  11.12.2026 15:04:05.067");
  back.Read(in);
  EXPECT_EQ(back.GetTicks(), t.GetTicks());
}

TEST(ZoneRules, DaylightSavingInBothHemispheres) {
  zone::ZoneRules europe;  // UTC+1, summer time last Sunday of March 02:00 to last Sunday of October 03:00
  europe.bias_minutes = -60;
  europe.daylight_bias_minutes = -60;
  europe.daylight_start = {0, 3, 0, 5, 2, 0, 0, 0};
  europe.standard_start = {0, 10, 0, 5, 3, 0, 0, 0};
  zone::ZoneRules sydney;  // UTC+10, daylight saving first Sunday of October to first Sunday of April
  sydney.bias_minutes = -600;
  sydney.daylight_bias_minutes = -60;
  sydney.daylight_start = {0, 10, 0, 1, 2, 0, 0, 0};
  sydney.standard_start = {0, 4, 0, 1, 3, 0, 0, 0};
  zone::ZoneRules india;  // +05:30, no daylight saving
  india.bias_minutes = -330;
  zone::ZoneRules newfoundland;  // -03:30
  newfoundland.bias_minutes = 210;

  struct Case {
    const zone::ZoneRules* rules;
    zone::LocalClock now;
    int32_t hours;
  } cases[] = {
      {&europe, {2026, 1, 15, 12, 0, 0, 0}, 1},   {&europe, {2026, 7, 1, 12, 0, 0, 0}, 2},
      {&europe, {2026, 3, 29, 1, 59, 0, 0}, 1},   {&europe, {2026, 3, 29, 2, 0, 0, 0}, 2},
      {&sydney, {2026, 1, 15, 12, 0, 0, 0}, 11},  {&sydney, {2026, 7, 1, 12, 0, 0, 0}, 10},
      {&sydney, {2026, 12, 31, 23, 0, 0, 0}, 11}, {&india, {2026, 7, 1, 0, 0, 0, 0}, 5},
      {&newfoundland, {2026, 1, 1, 0, 0, 0, 0}, -3},
  };
  for (const Case& c : cases) EXPECT_EQ(zone::OffsetHours(*c.rules, c.now), c.hours);
}

}  // namespace
}  // namespace korvane
