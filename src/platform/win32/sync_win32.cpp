#include <windows.h>

#include "platform/KorEvent.h"
#include "platform/KorMutex.h"
#include "platform/clock.h"
#include "platform/win32/loader_state.h"

namespace korvane {

struct CKorEvent::Impl {
  HANDLE event;
};

CKorEvent::CKorEvent() : impl_(new Impl{CreateEventA(nullptr, FALSE, FALSE, nullptr)}) {}

CKorEvent::~CKorEvent() {
  if (impl_->event != nullptr) CloseHandle(impl_->event);
}

void CKorEvent::Set() { SetEvent(impl_->event); }

void CKorEvent::Reset() { ResetEvent(impl_->event); }

bool CKorEvent::Wait(uint32_t milliseconds) {
  // When the process is ending no other thread is left to signal: take a pending Set only.
  if (platform::win32::CurrentLoaderState() == platform::win32::LoaderState::kProcessEnding) milliseconds = 0;
  if (milliseconds == kInfinite) return WaitForSingleObject(impl_->event, INFINITE) == WAIT_OBJECT_0;
  // Kernel waits are timed in scheduler ticks and may end a little early; one deadline on
  // the monotonic clock and a wait for the rest make sure a time-out is never early.
  const int64_t deadline = platform::MonotonicMicros() + static_cast<int64_t>(milliseconds) * 1000;
  DWORD wait_ms = milliseconds;
  for (;;) {
    const DWORD rc = WaitForSingleObject(impl_->event, wait_ms);
    if (rc == WAIT_OBJECT_0) return true;
    if (rc != WAIT_TIMEOUT) return false;
    const int64_t left = deadline - platform::MonotonicMicros();
    if (left <= 0) return false;
    wait_ms = static_cast<DWORD>((left + 999) / 1000);
  }
}

// A kernel mutex rather than a critical section: it is recursive for its owner, and one
// left behind by a thread that ExitProcess ended is handed on (abandoned) instead of
// blocking the process detach for ever.
struct CKorMutex::Impl {
  HANDLE mutex;
};

CKorMutex::CKorMutex() : impl_(new Impl{CreateMutexA(nullptr, FALSE, nullptr)}) {}

CKorMutex::~CKorMutex() {
  if (impl_->mutex != nullptr) CloseHandle(impl_->mutex);
}

void CKorMutex::Lock() { WaitForSingleObject(impl_->mutex, INFINITE); }

void CKorMutex::Unlock() { ReleaseMutex(impl_->mutex); }

bool CKorMutex::TryLock() {
  const DWORD rc = WaitForSingleObject(impl_->mutex, 0);
  return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

}  // namespace korvane
