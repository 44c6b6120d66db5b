#ifndef KORVANE_PLATFORM_KORTHREAD_H
#define KORVANE_PLATFORM_KORTHREAD_H

#include <atomic>
#include <cstdint>

#include "platform/KorEvent.h"
#include "platform/thread_backend.h"

namespace korvane {

// Base of the library's threads. Start returns once the new thread has run OnThreadStart;
// Stop signals the stop event and waits for the thread to end. An object may be started
// again after its run has ended. Derived classes call Stop() first in their destructor.
class CKorThread {
 public:
  enum State : int { kNotStarted = 0, kStarting = 1, kRunning = 2, kEnded = 3 };

  CKorThread() = default;
  virtual ~CKorThread();
  CKorThread(const CKorThread&) = delete;
  CKorThread& operator=(const CKorThread&) = delete;

  // False when the object is starting or running, or the thread could not be created.
  bool Start();
  // Returns when the thread of the current run has ended. Never call it on that thread.
  void Stop();
  int GetState() const { return state_.load(); }

 protected:
  // The thread's body; it must test StopRequested() in every pass and return when it holds.
  virtual void Run() = 0;
  virtual void OnThreadStart() {}
  // Consumes a pending stop request; Run tests it once per pass.
  bool StopRequested() { return stop_event_.Wait(0); }
  // Sleeps up to milliseconds; true when a stop request cut the sleep short.
  bool SleepUnlessStopped(uint32_t milliseconds) { return stop_event_.Wait(milliseconds); }

 private:
  static void Entry(void* self);

  platform::ThreadHandle* thread_ = nullptr;
  uint32_t thread_id_ = 0;
  uint32_t stack_size_ = 0;
  CKorEvent stop_event_;
  CKorEvent started_event_;
  std::atomic<int> state_{kNotStarted};
};

}  // namespace korvane

#endif
