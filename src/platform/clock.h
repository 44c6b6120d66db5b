#ifndef KORVANE_PLATFORM_CLOCK_H
#define KORVANE_PLATFORM_CLOCK_H

#include <cstdint>

namespace korvane::platform {

// Microseconds on a clock that never jumps (unaffected by clock steps and daylight saving).
// Every deadline and time-out of the library is measured on it.
int64_t MonotonicMicros();

// Wall-clock time: microseconds since 1970-01-01 00:00:00 UTC.
int64_t SystemMicrosSince1970();

// The host's present offset from UTC in whole hours (positive east of Greenwich), daylight
// saving included; fractions of an hour are truncated toward zero.
int32_t CurrentZoneOffsetHours();

}  // namespace korvane::platform

#endif
