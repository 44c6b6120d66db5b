#include "platform/KorTime.h"

#include <cctype>
#include <iomanip>
#include <istream>
#include <ostream>

#include "platform/clock.h"

namespace korvane {

namespace {

int32_t Clamp(int32_t value, int32_t low, int32_t high) {
  if (value < 0 || value > high) return high;
  return value < low ? low : value;
}

// Reads up to width digits; stops at the first non-digit.
int32_t ReadNumber(std::istream& in, int width) {
  int32_t value = 0;
  for (int i = 0; i < width; ++i) {
    const int c = in.peek();
    if (c == std::char_traits<char>::eof() || !std::isdigit(c)) break;
    value = value * 10 + (in.get() - '0');
  }
  return value;
}

void SkipSeparator(std::istream& in, char separator) {
  if (in.peek() == separator) {
    in.get();
    if (separator == ' ') in >> std::ws;
  }
}

}  // namespace

CKorUTCTime::CKorUTCTime() {
  const int64_t micros = platform::SystemMicrosSince1970();
  ticks_ = (micros + kSecondsTo1970 * 1000000) * kTicksPerMicrosecond;
}

void CKorUTCTime::SetDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                              int32_t second, int32_t millisecond, int32_t microsecond, int32_t nanosecond) {
  month = Clamp(month, 1, 12);
  day = Clamp(day, 1, calendar::DaysInMonth(year, month));
  hour = Clamp(hour, 0, 23);
  minute = Clamp(minute, 0, 59);
  second = Clamp(second, 0, 59);
  millisecond = Clamp(millisecond, 0, 999);
  microsecond = Clamp(microsecond, 0, 999);
  nanosecond = Clamp(nanosecond, 0, 999);
  SetTicks(calendar::DayNumber(year, month, day) * kTicksPerDay + hour * kTicksPerHour +
           minute * int64_t{6000000000} + second * kTicksPerSecond + millisecond * kTicksPerMillisecond +
           microsecond * kTicksPerMicrosecond + nanosecond / 10);
}

calendar::Date CKorUTCTime::GetDate() const { return calendar::DateOfDayNumber(GetTicks() / kTicksPerDay); }

void CKorUTCTime::Write(std::ostream& out) const {
  const calendar::Date d = GetDate();
  const char fill = out.fill('0');
  out << std::setw(2) << d.day << '.' << std::setw(2) << d.month << '.' << std::setw(4) << d.year << ' '
      << std::setw(2) << GetHour() << ':' << std::setw(2) << GetMinute() << ':' << std::setw(2) << GetSecond()
      << '.' << std::setw(3) << GetMillisecond();
  out.fill(fill);
}

void CKorUTCTime::Read(std::istream& in) {
  in >> std::ws;
  const int32_t day = ReadNumber(in, 2);
  SkipSeparator(in, '.');
  const int32_t month = ReadNumber(in, 2);
  SkipSeparator(in, '.');
  const int32_t year = ReadNumber(in, 4);
  SkipSeparator(in, ' ');
  const int32_t hour = ReadNumber(in, 2);
  SkipSeparator(in, ':');
  const int32_t minute = ReadNumber(in, 2);
  SkipSeparator(in, ':');
  const int32_t second = ReadNumber(in, 2);
  SkipSeparator(in, '.');
  const int32_t millisecond = ReadNumber(in, 3);
  if (in.fail()) return;
  SetDateTime(year, month, day, hour, minute, second, millisecond, 0, 0);
}

CKorLocalTime::CKorLocalTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                             int32_t second, int32_t millisecond)
    : CKorUTCTime(0) {
  SetDateTime(year, month, day, hour, minute, second, millisecond, 0, 0);
}

CKorLocalTime::CKorLocalTime() : CKorUTCTime(0) {
  const CKorUTCTime now;
  ticks_ = now.GetTicks() / kTicksPerMillisecond * kTicksPerMillisecond;
  zone_offset_ = platform::CurrentZoneOffsetHours();
}

}  // namespace korvane
