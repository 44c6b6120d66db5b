#include "platform/KorThread.h"

namespace korvane {

CKorThread::~CKorThread() { Stop(); }

bool CKorThread::Start() {
  const int state = state_.load();
  if (state == kStarting || state == kRunning) return false;
  if (thread_ != nullptr) Stop();  // release the handle of a run that has ended
  state_.store(kStarting);
  thread_ = platform::CreateThread(&CKorThread::Entry, this, stack_size_, &thread_id_);
  if (thread_ == nullptr) {
    state_.store(kEnded);
    return false;
  }
  started_event_.Wait(CKorEvent::kInfinite);
  return true;
}

void CKorThread::Stop() {
  if (thread_ == nullptr) return;
  stop_event_.Set();
  platform::JoinThread(thread_);
  // A stop request that the run did not consume must not end the next run at once.
  stop_event_.Reset();
  thread_ = nullptr;
  thread_id_ = 0;
}

void CKorThread::Entry(void* self) {
  auto* thread = static_cast<CKorThread*>(self);
  thread->OnThreadStart();
  thread->started_event_.Set();
  // Start may still read "starting" for a moment; the run is under way either way.
  int expected = kStarting;
  thread->state_.compare_exchange_strong(expected, kRunning);
  thread->Run();
  thread->state_.store(kEnded);
}

}  // namespace korvane
