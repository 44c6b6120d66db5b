#ifndef KORVANE_PLATFORM_KORTIME_H
#define KORVANE_PLATFORM_KORTIME_H

#include <cstdint>
#include <iosfwd>

#include "platform/calendar.h"

namespace korvane {

// An instant in 10-ns ticks since 0000-01-01 00:00:00 UTC (proleptic Gregorian).
class CKorUTCTime {
 public:
  static constexpr int64_t kTicksPerMicrosecond = 100;
  static constexpr int64_t kTicksPerMillisecond = 100000;
  static constexpr int64_t kTicksPerSecond = 100000000;
  static constexpr int64_t kTicksPerHour = 360000000000;
  static constexpr int64_t kTicksPerDay = 8640000000000;
  static constexpr int64_t kSecondsTo1970 = 62167219200;

  // The present UTC time, to the microsecond.
  CKorUTCTime();
  explicit CKorUTCTime(int64_t ticks) : ticks_(ticks) {}
  virtual ~CKorUTCTime() = default;
  CKorUTCTime(const CKorUTCTime&) = default;
  CKorUTCTime& operator=(const CKorUTCTime&) = default;

  // Text form dd.mm.yyyy hh:mm:ss.mmm of the (local) reading.
  virtual void Read(std::istream& in);
  virtual void Write(std::ostream& out) const;
  virtual int64_t GetMilliseconds() const { return ticks_ / kTicksPerMillisecond; }
  virtual int64_t GetTicks() const { return ticks_; }
  virtual void SetMilliseconds(int64_t ms) { ticks_ = ms * kTicksPerMillisecond; }
  void SetTicks(int64_t ticks) { ticks_ = ticks; }

  // Stores the instant after clamping each field into its range (the year is not clamped).
  void SetDateTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                   int32_t millisecond, int32_t microsecond, int32_t nanosecond);
  calendar::Date GetDate() const;
  int32_t GetHour() const { return static_cast<int32_t>(GetMilliseconds() / 3600000 % 24); }
  int32_t GetMinute() const { return static_cast<int32_t>(GetMilliseconds() / 60000 % 60); }
  int32_t GetSecond() const { return static_cast<int32_t>(GetMilliseconds() / 1000 % 60); }
  int32_t GetMillisecond() const { return static_cast<int32_t>(GetMilliseconds() % 1000); }
  void SubtractSeconds(uint32_t seconds) { ticks_ -= static_cast<int64_t>(seconds) * kTicksPerSecond; }

  // GetTicks of a minus GetTicks of b.
  static int64_t Difference(const CKorUTCTime& a, const CKorUTCTime& b) { return a.GetTicks() - b.GetTicks(); }

 protected:
  int64_t ticks_ = 0;
};

// A UTC instant read through the host's zone offset in whole hours (daylight saving
// included), fixed when the value is created.
class CKorLocalTime : public CKorUTCTime {
 public:
  // The present time, truncated to the whole millisecond, with the present zone offset.
  CKorLocalTime();
  CKorLocalTime(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                int32_t millisecond);

  int64_t GetMilliseconds() const override {
    return ticks_ / kTicksPerMillisecond + static_cast<int64_t>(zone_offset_) * 3600000;
  }
  int64_t GetTicks() const override { return ticks_ + static_cast<int64_t>(zone_offset_) * kTicksPerHour; }
  void SetMilliseconds(int64_t ms) override {
    ticks_ = (ms - static_cast<int64_t>(zone_offset_) * 3600000) * kTicksPerMillisecond;
  }

  int32_t ZoneOffset() const { return zone_offset_; }
  void SetZoneOffset(int32_t hours) { zone_offset_ = hours; }

 private:
  int32_t zone_offset_ = 0;
};

}  // namespace korvane

#endif
