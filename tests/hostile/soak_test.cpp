// Load against the gateway simulator: open/close cycles that must leave no descriptor or
// thread behind, many handles used from two threads each with every reply checked, closes
// racing calls, and the simulator killed and restarted underneath. The counts are short by
// default (the regular run); scripts/soak.sh raises them through the environment:
//   KORVANE_SOAK_CYCLES, KORVANE_SOAK_HANDLES, KORVANE_SOAK_REQUESTS, KORVANE_SOAK_RACES

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "KorvaneI2C.h"
#include "proc_stats.h"
#include "sim_process.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVANE_SANITIZED 1
#endif
#endif
#if !defined(KORVANE_SANITIZED) && (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__))
#define KORVANE_SANITIZED 1
#endif
#ifndef KORVANE_SANITIZED
#define KORVANE_SANITIZED 0
#endif

namespace korvane::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 2000;
constexpr unsigned kPatternBytes = 4096;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint8_t Pattern(unsigned offset) { return static_cast<uint8_t>(offset * 31 + (offset >> 8) * 7 + 0x5A); }

// What a call may meet when the connection goes under it: not connected, no reply in time, a
// failed send, the short window while the connection is closing, or the handle gone.
bool IsCleanFailure(int rc) {
  return rc == KORVANE_NOT_CONNECTED || rc == KORVANE_TIMEOUT || rc == KORVANE_SOCKET_ERROR ||
         rc == KORVANE_NOT_ALLOWED_NOW || rc == KORVANE_INVALID_HANDLE;
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    index_ = sim_.StartOnFreeIndex({"--max-connections", "255", "--write-cycle-ms", "0"});
    ASSERT_GE(index_, 0) << "the simulator did not start";
  }

  int Open(int timeout_ms = kTimeoutMs) {
    int handle = -1;
    EXPECT_EQ(I2COpenDeviceEx(&handle, 400, index_, "127.0.0.1", timeout_ms), 0);
    return handle;
  }

  SimProcess sim_;
  int index_ = -1;
};

TEST_F(Soak, OpenCloseCyclesLeaveNothingBehind) {
  const int cycles = EnvCount("KORVANE_SOAK_CYCLES", 100);
  // The first cycles create what lives for the whole process (the registry).
  for (int i = 0; i < 3; ++i) ASSERT_EQ(I2CCloseDevice(Open()), 0);
  const int fds_before = OpenDescriptors();
  const int threads_before = Threads();
  const long rss_before = ResidentKiB();
  int fds_peak = fds_before;
  int threads_peak = threads_before;
  const auto start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    const int handle = Open();
    ASSERT_GT(handle, 0) << "cycle " << i;
    int first = 0;
    int second = 0;
    ASSERT_EQ(I2CReadDigital(handle, &first, &second), 0) << "cycle " << i;
    fds_peak = std::max(fds_peak, OpenDescriptors());
    threads_peak = std::max(threads_peak, Threads());
    ASSERT_EQ(I2CCloseDevice(handle), 0) << "cycle " << i;
  }
  const int fds_after = OpenDescriptors();
  const int threads_after = Threads();
  const long rss_after = ResidentKiB();
  std::printf("soak open/close: %d cycles in %lld ms; descriptors %d, peak %d, after %d; threads %d, peak %d, "
              "after %d; RSS %ld KiB before, %ld KiB after\n",
              cycles, static_cast<long long>(MillisSince(start)), fds_before, fds_peak, fds_after, threads_before,
              threads_peak, threads_after, rss_before, rss_after);
  EXPECT_EQ(fds_after, fds_before);
  EXPECT_EQ(threads_after, threads_before);
  // One open device holds one socket and one receive thread.
  EXPECT_LE(fds_peak, fds_before + 1);
  EXPECT_LE(threads_peak, threads_before + 1);
#if !KORVANE_SANITIZED
  // Sanitizer allocators keep freed memory in quarantine, so growth is only judged without them.
  EXPECT_LT(rss_after - rss_before, 4096) << "KiB of resident memory gained";
#endif
}

TEST_F(Soak, ManyHandlesTwoThreadsEachEveryReplyChecked) {
  const int handles = EnvCount("KORVANE_SOAK_HANDLES", 8);
  const int requests = EnvCount("KORVANE_SOAK_REQUESTS", 25);

  // A known pattern in the big EEPROM, so that a reply delivered to the wrong request shows.
  const int writer = Open();
  ASSERT_GT(writer, 0);
  for (unsigned page = 0; page < kPatternBytes; page += 64) {
    uint8_t bytes[64];
    for (unsigned i = 0; i < 64; ++i) bytes[i] = Pattern(page + i);
    ASSERT_EQ(I2CWriteEEProm(writer, 0, page, bytes, 64, 0), 0) << page;
  }
  ASSERT_EQ(I2CCloseDevice(writer), 0);

  const int fds_before = OpenDescriptors();
  const int threads_before = Threads();
  std::vector<int> open;
  for (int i = 0; i < handles; ++i) {
    open.push_back(Open());
    ASSERT_GT(open.back(), 0) << "handle " << i;
  }
  std::atomic<int> bad_codes{0};
  std::atomic<int> bad_data{0};
  std::atomic<long> done{0};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < handles * 2; ++i) {
    threads.emplace_back([&, i] {
      const int handle = open[static_cast<std::size_t>(i / 2)];
      for (int r = 0; r < requests; ++r) {
        const unsigned offset = static_cast<unsigned>((i * 977 + r * 131) % (kPatternBytes - 32));
        const int length = 1 + (i + r) % 32;
        uint8_t buffer[32] = {};
        const int rc = I2CReadEEProm(handle, 0, offset, buffer, length, 0);
        if (rc != 0) {
          bad_codes.fetch_add(1);
          continue;
        }
        for (int k = 0; k < length; ++k) {
          if (buffer[k] != Pattern(offset + static_cast<unsigned>(k))) {
            bad_data.fetch_add(1);
            break;
          }
        }
        done.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  const int64_t took = MillisSince(start);
  const int fds_peak = OpenDescriptors();
  const int threads_peak = Threads();
  for (int h : open) EXPECT_EQ(I2CCloseDevice(h), 0);
  std::printf("soak load: %d handles x 2 threads x %d requests: %ld checked replies in %lld ms; descriptors %d, "
              "with the handles open %d, after %d; threads %d, with the handles open %d, after %d\n",
              handles, requests, done.load(), static_cast<long long>(took), fds_before, fds_peak, OpenDescriptors(),
              threads_before, threads_peak, Threads());
  EXPECT_EQ(bad_codes.load(), 0);
  EXPECT_EQ(bad_data.load(), 0);
  EXPECT_EQ(done.load(), static_cast<long>(handles) * 2 * requests);
  EXPECT_EQ(OpenDescriptors(), fds_before);
  EXPECT_EQ(Threads(), threads_before);
}

TEST_F(Soak, CloseRacingCalls) {
  const int rounds = EnvCount("KORVANE_SOAK_RACES", 5);
  for (int round = 0; round < rounds; ++round) {
    // A call caught waiting when the connection goes ends at this time-out.
    const int handle = Open(500);
    ASSERT_GT(handle, 0);
    std::atomic<int> calls{0};
    std::atomic<int> unexpected{0};
    std::atomic<int> example{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 2; ++t) {
      callers.emplace_back([&] {
        for (;;) {
          uint8_t buffer[8];
          const int rc = I2CReadEEProm(handle, 0, 0, buffer, 8, 0);
          calls.fetch_add(1);
          if (rc == KORVANE_INVALID_HANDLE) return;  // the close has gone through
          if (rc != 0 && !IsCleanFailure(rc)) {
            unexpected.fetch_add(1);
            example.store(rc);
          }
        }
      });
    }
    while (calls.load() < 4) std::this_thread::yield();
    const auto start = Clock::now();
    EXPECT_EQ(I2CCloseDevice(handle), 0);
    EXPECT_LT(MillisSince(start), 2 * 500 + 1000);
    for (auto& c : callers) c.join();
    EXPECT_EQ(unexpected.load(), 0) << "round " << round << ", for example result 0x" << std::hex << example.load();
  }
}

TEST_F(Soak, SimulatorKilledAndRestartedUnderneath) {
  constexpr int kShort = 500;
  std::vector<int> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(Open(kShort));
  for (int h : handles) {
    int a = 0;
    int b = 0;
    ASSERT_EQ(I2CReadDigital(h, &a, &b), 0);
  }
  sim_.Kill();
  for (int h : handles) {
    int a = 0;
    int b = 0;
    const auto start = Clock::now();
    const int rc = I2CReadDigital(h, &a, &b);
    EXPECT_TRUE(IsCleanFailure(rc) && rc != KORVANE_INVALID_HANDLE) << std::hex << rc;
    EXPECT_LT(MillisSince(start), kShort + 1000);
  }
  int refused = 0;
  EXPECT_NE(I2COpenDeviceEx(&refused, 100, index_, "127.0.0.1", kShort), 0) << "nobody listens";
  EXPECT_EQ(refused, -1);

  ASSERT_TRUE(sim_.Start(index_, {"--max-connections", "255"})) << "restart on the same port";
  const int fresh = Open(kShort);
  ASSERT_GT(fresh, 0);
  int a = 0;
  int b = 0;
  EXPECT_EQ(I2CReadDigital(fresh, &a, &b), 0);
  for (int h : handles) {
    // The old handles stay dead: no reconnection.
    EXPECT_EQ(I2CReadDigital(h, &a, &b), KORVANE_NOT_CONNECTED);
    EXPECT_EQ(I2CCloseDevice(h), 0);
  }
  EXPECT_EQ(I2CCloseDevice(fresh), 0);
}

}  // namespace
}  // namespace korvane::test
