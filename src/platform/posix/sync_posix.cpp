#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "platform/KorEvent.h"
#include "platform/KorMutex.h"

namespace korvane {

struct CKorEvent::Impl {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool signaled = false;
};

namespace {

timespec MonotonicDeadline(uint32_t milliseconds) {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

}  // namespace

CKorEvent::CKorEvent() : impl_(new Impl) {
  pthread_mutex_init(&impl_->mutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&impl_->cond, &attr);
  pthread_condattr_destroy(&attr);
}

CKorEvent::~CKorEvent() {
  pthread_cond_destroy(&impl_->cond);
  pthread_mutex_destroy(&impl_->mutex);
}

void CKorEvent::Set() {
  pthread_mutex_lock(&impl_->mutex);
  impl_->signaled = true;
  pthread_cond_signal(&impl_->cond);
  pthread_mutex_unlock(&impl_->mutex);
}

void CKorEvent::Reset() {
  pthread_mutex_lock(&impl_->mutex);
  impl_->signaled = false;
  pthread_mutex_unlock(&impl_->mutex);
}

bool CKorEvent::Wait(uint32_t milliseconds) {
  pthread_mutex_lock(&impl_->mutex);
  if (!impl_->signaled && milliseconds != 0) {
    if (milliseconds == kInfinite) {
      while (!impl_->signaled) pthread_cond_wait(&impl_->cond, &impl_->mutex);
    } else {
      // One absolute deadline: spurious wake-ups go back to waiting for the rest of it.
      const timespec deadline = MonotonicDeadline(milliseconds);
      while (!impl_->signaled) {
        if (pthread_cond_timedwait(&impl_->cond, &impl_->mutex, &deadline) == ETIMEDOUT) break;
      }
    }
  }
  const bool signaled = impl_->signaled;
  impl_->signaled = false;
  pthread_mutex_unlock(&impl_->mutex);
  return signaled;
}

struct CKorMutex::Impl {
  pthread_mutex_t mutex;
};

CKorMutex::CKorMutex() : impl_(new Impl) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&impl_->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

CKorMutex::~CKorMutex() { pthread_mutex_destroy(&impl_->mutex); }

void CKorMutex::Lock() { pthread_mutex_lock(&impl_->mutex); }
void CKorMutex::Unlock() { pthread_mutex_unlock(&impl_->mutex); }
bool CKorMutex::TryLock() { return pthread_mutex_trylock(&impl_->mutex) == 0; }

}  // namespace korvane
