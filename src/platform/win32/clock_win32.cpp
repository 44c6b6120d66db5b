#include <windows.h>

#include "platform/clock.h"
#include "platform/win32/zone_win32.h"

namespace korvane::platform {

namespace win32 {

namespace {
zone::ChangeRule ChangeOf(const SYSTEMTIME& t) {
  zone::ChangeRule rule;
  rule.year = t.wYear;
  rule.month = t.wMonth;
  rule.weekday = t.wDayOfWeek;
  rule.day = t.wDay;  // occurrence of the weekday (5 = last) in a yearly rule
  rule.hour = t.wHour;
  rule.minute = t.wMinute;
  rule.second = t.wSecond;
  rule.millisecond = t.wMilliseconds;
  return rule;
}
}  // namespace

zone::ZoneRules RulesFromZoneInformation(const TIME_ZONE_INFORMATION& info) {
  zone::ZoneRules rules;
  // Standard time is UTC - (Bias + StandardBias), daylight time UTC - (Bias + DaylightBias).
  rules.bias_minutes = info.Bias + info.StandardBias;
  rules.daylight_bias_minutes = info.DaylightBias - info.StandardBias;
  rules.standard_start = ChangeOf(info.StandardDate);
  rules.daylight_start = ChangeOf(info.DaylightDate);
  return rules;
}

zone::LocalClock LocalClockOf(const SYSTEMTIME& local) {
  return zone::LocalClock{local.wYear, local.wMonth,  local.wDay,         local.wHour,
                          local.wMinute, local.wSecond, local.wMilliseconds};
}

}  // namespace win32

int64_t MonotonicMicros() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  // Split so that counter * 1000000 cannot overflow however long the machine has run.
  const int64_t seconds = counter.QuadPart / frequency.QuadPart;
  const int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

int64_t SystemMicrosSince1970() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t hundred_ns = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100-ns units since 1601-01-01; 11644473600 s lie between 1601 and 1970.
  return static_cast<int64_t>(hundred_ns / 10) - INT64_C(11644473600000000);
}

int32_t CurrentZoneOffsetHours() {
  TIME_ZONE_INFORMATION info;
  if (GetTimeZoneInformation(&info) == TIME_ZONE_ID_INVALID) return 0;
  SYSTEMTIME local;
  GetLocalTime(&local);
  return zone::OffsetHours(win32::RulesFromZoneInformation(info), win32::LocalClockOf(local));
}

}  // namespace korvane::platform
