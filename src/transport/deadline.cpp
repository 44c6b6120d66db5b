#include "transport/transport_result.h"

namespace korvane::deadline {

KorTimeVal FromMillis(uint32_t milliseconds) {
  return KorTimeVal{static_cast<int32_t>(milliseconds / 1000), static_cast<int32_t>(milliseconds % 1000 * 1000)};
}

KorTimeVal Add(KorTimeVal a, KorTimeVal b) {
  KorTimeVal r{a.sec + b.sec, a.usec + b.usec};
  if (r.usec > 999999) {
    r.sec += 1;
    r.usec -= 1000000;
  }
  return r;
}

KorTimeVal Left(KorTimeVal deadline, KorTimeVal now) {
  KorTimeVal r{deadline.sec - now.sec, deadline.usec - now.usec};
  if (r.usec < 0) {
    r.sec -= 1;
    r.usec += 1000000;
  }
  return r;
}

int64_t ToMillis(KorTimeVal t) { return static_cast<int64_t>(t.sec) * 1000 + t.usec / 1000; }

bool Passed(KorTimeVal deadline, KorTimeVal now) {
  return now.sec > deadline.sec || (now.sec == deadline.sec && now.usec > deadline.usec);
}

uint32_t MillisLeft(KorTimeVal deadline, KorTimeVal now) {
  const int64_t ms = ToMillis(Left(deadline, now));
  return ms < 0 ? 0 : static_cast<uint32_t>(ms);
}

}  // namespace korvane::deadline
