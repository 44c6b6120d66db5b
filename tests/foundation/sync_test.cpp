#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/KorEvent.h"
#include "platform/KorMutex.h"
#include "platform/KorThread.h"

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(KorEvent, AutoResetReleasesOneWaitAndKeepsPendingSet) {
  CKorEvent event;
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  event.Set();  // two sets before one wait release only that wait
  EXPECT_TRUE(event.Wait(0));
  const auto start = Clock::now();
  EXPECT_FALSE(event.Wait(50));
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 50);
  EXPECT_LT(waited, 1000);

  event.Set();
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(KorEvent, SetFromAnotherThreadWakesWaiter) {
  CKorEvent event;
  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(5000));
  EXPECT_GE(ElapsedMs(start), 29);
  EXPECT_LT(ElapsedMs(start), 2000);
  setter.join();
}

bool TryLockAndRelease(CKorMutex& mutex) KOR_THREAD_ANNOTATION(no_thread_safety_analysis) {
  if (!mutex.TryLock()) return false;
  mutex.Unlock();
  return true;
}

// Locks twice on purpose, which the static lock analysis rightly flags elsewhere.
void LockTwiceAndCheck() KOR_THREAD_ANNOTATION(no_thread_safety_analysis) {
  CKorMutex mutex;
  mutex.Lock();
  mutex.Lock();
  std::atomic<bool> other_got_it{false};
  std::thread other([&] { other_got_it = TryLockAndRelease(mutex); });
  other.join();
  EXPECT_FALSE(other_got_it);
  mutex.Unlock();
  mutex.Unlock();
  std::thread again([&] {
    CKorLock lock(mutex);
    other_got_it = true;
  });
  again.join();
  EXPECT_TRUE(other_got_it);
}

TEST(KorMutex, OwnerMayLockAgain) { LockTwiceAndCheck(); }

class CountingThread : public CKorThread {
 public:
  ~CountingThread() override { Stop(); }
  std::atomic<int> started{0};
  std::atomic<int> passes{0};
  std::atomic<bool> finish_alone{false};
  std::atomic<bool> saw_start_before_return{false};

 protected:
  void OnThreadStart() override {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    started++;
  }
  void Run() override {
    while (!StopRequested()) {
      passes++;
      if (finish_alone) return;
      if (SleepUnlessStopped(5)) return;
    }
  }
};

TEST(KorThread, StartWaitsForThreadStartAndRefusesSecondStart) {
  CountingThread thread;
  EXPECT_EQ(thread.GetState(), CKorThread::kNotStarted);
  thread.Stop();  // never started: nothing happens
  ASSERT_TRUE(thread.Start());
  EXPECT_EQ(thread.started.load(), 1);  // OnThreadStart finished before Start returned
  EXPECT_FALSE(thread.Start());
  EXPECT_EQ(thread.started.load(), 1);
  const auto start = Clock::now();
  thread.Stop();
  EXPECT_LT(ElapsedMs(start), 1000);
  EXPECT_EQ(thread.GetState(), CKorThread::kEnded);
  thread.Stop();  // second stop does nothing
}

TEST(KorThread, RestartsAfterRunEndedWithStopEventClear) {
  CountingThread thread;
  thread.finish_alone = true;
  ASSERT_TRUE(thread.Start());
  while (thread.GetState() != CKorThread::kEnded) std::this_thread::yield();
  thread.Stop();  // returns at once, state stays ended
  EXPECT_EQ(thread.GetState(), CKorThread::kEnded);
  thread.finish_alone = false;
  const int before = thread.passes.load();
  ASSERT_TRUE(thread.Start());
  EXPECT_EQ(thread.started.load(), 2);
  while (thread.passes.load() < before + 3) std::this_thread::yield();  // a pending stop would end it at once
  thread.Stop();
}

TEST(KorThread, DestroyingRunningThreadStopsIt) {
  auto thread = std::make_unique<CountingThread>();
  ASSERT_TRUE(thread->Start());
  thread.reset();  // must not crash or hang
  SUCCEED();
}

}  // namespace
}  // namespace korvane
