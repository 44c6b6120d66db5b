#include <time.h>

#include "platform/clock.h"

namespace korvane::platform {

namespace {
int64_t Read(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
}  // namespace

int64_t MonotonicMicros() { return Read(CLOCK_MONOTONIC); }

int64_t SystemMicrosSince1970() { return Read(CLOCK_REALTIME); }

int32_t CurrentZoneOffsetHours() {
  // The C library's zone rules know daylight saving in either hemisphere.
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  return static_cast<int32_t>(local.tm_gmtoff / 3600);
}

}  // namespace korvane::platform
