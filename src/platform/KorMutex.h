#ifndef KORVANE_PLATFORM_KORMUTEX_H
#define KORVANE_PLATFORM_KORMUTEX_H

#include <memory>

#include "platform/thread_annotations.h"

namespace korvane {

// Recursive mutex: the owner may lock it again and unlocks it as often.
class KOR_CAPABILITY("mutex") CKorMutex {
 public:
  CKorMutex();
  ~CKorMutex();
  CKorMutex(const CKorMutex&) = delete;
  CKorMutex& operator=(const CKorMutex&) = delete;

  void Lock() KOR_ACQUIRE();
  void Unlock() KOR_RELEASE();
  bool TryLock() KOR_TRY_ACQUIRE(true);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Holds a CKorMutex for the life of a block, however the block is left.
class KOR_SCOPED_CAPABILITY CKorLock {
 public:
  explicit CKorLock(CKorMutex& mutex) KOR_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~CKorLock() KOR_RELEASE() { mutex_.Unlock(); }
  CKorLock(const CKorLock&) = delete;
  CKorLock& operator=(const CKorLock&) = delete;

 private:
  CKorMutex& mutex_;
};

}  // namespace korvane

#endif
