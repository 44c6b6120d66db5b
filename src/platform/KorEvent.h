#ifndef KORVANE_PLATFORM_KOREVENT_H
#define KORVANE_PLATFORM_KOREVENT_H

#include <cstdint>
#include <memory>

namespace korvane {

// Auto-reset event: one Set releases one Wait; a Set that nobody waits for stays pending
// and lets the next Wait return at once.
class CKorEvent {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  CKorEvent();
  ~CKorEvent();
  CKorEvent(const CKorEvent&) = delete;
  CKorEvent& operator=(const CKorEvent&) = delete;

  void Set();
  void Reset();
  // True when the event was signaled (and is now consumed), false when milliseconds passed
  // first. A timed wait never returns false early, whatever wakes the thread meanwhile.
  bool Wait(uint32_t milliseconds);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane

#endif
