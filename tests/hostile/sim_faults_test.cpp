// The gateway simulator's fault options: dropped, corrupted, delayed confirmations, a gateway
// that closes after a number of telegrams, and one that refuses every connection. The faults
// fall on known telegrams of each connection, so every call's result is known in advance.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "KorvaneI2C.h"
#include "sim_process.h"

namespace korvane::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 400;
constexpr int kReads = 9;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

uint8_t Pattern(unsigned offset) { return static_cast<uint8_t>(offset * 29 + 0x33); }

class SimFaults : public ::testing::Test {
 protected:
  // Starts the simulator with the fault options and fills the first kReads * 16 bytes of its
  // big EEPROM with the pattern (retrying writes that the faults hit).
  void StartWith(std::vector<std::string> options) {
    // No EEPROM write cycle: the reads come right after the pattern is written.
    options.insert(options.end(), {"--write-cycle-ms", "0"});
    index_ = sim_.StartOnFreeIndex(options);
    ASSERT_GE(index_, 0) << "the simulator did not start";
    int writer = -1;
    ASSERT_EQ(I2COpenDeviceEx(&writer, 100, index_, "127.0.0.1", kTimeoutMs), 0);
    uint8_t bytes[kReads * 16];
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = Pattern(i);
    int rc = -1;
    for (int attempt = 0; attempt < 3 && rc != 0; ++attempt) rc = I2CWriteEEProm(writer, 0, 0, bytes, sizeof bytes, 0);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(I2CCloseDevice(writer), 0);
  }

  // Read number i (from 1) of a fresh connection; its data are checked when it succeeds.
  int Read(int handle, int i) {
    uint8_t buffer[16] = {};
    const unsigned offset = static_cast<unsigned>(i - 1) * 16;
    const int rc = I2CReadEEProm(handle, 0, offset, buffer, 16, 0);
    if (rc == 0) {
      for (unsigned k = 0; k < 16; ++k) EXPECT_EQ(buffer[k], Pattern(offset + k)) << "read " << i;
    }
    return rc;
  }

  int OpenDevice() {
    int handle = -1;
    EXPECT_EQ(I2COpenDeviceEx(&handle, 100, index_, "127.0.0.1", kTimeoutMs), 0);
    return handle;
  }

  SimProcess sim_;
  int index_ = -1;
};

// Device request n of a connection is the bus configuration for n = 1, then read n - 1.
TEST_F(SimFaults, DroppedConfirmationsTimeOutAndTheNextCallsServe) {
  StartWith({"--drop-every", "3"});
  const int handle = OpenDevice();
  for (int i = 1; i <= kReads; ++i) {
    const bool dropped = (i + 1) % 3 == 0;
    const auto start = Clock::now();
    EXPECT_EQ(Read(handle, i), dropped ? KORVANE_TIMEOUT : 0) << "read " << i;
    if (dropped) {
      EXPECT_GE(MillisSince(start), kTimeoutMs - 5);
    }
  }
  EXPECT_EQ(I2CCloseDevice(handle), 0);
}

TEST_F(SimFaults, CorruptedChecksumsGiveTheirCodeAndTheNextCallsServe) {
  StartWith({"--corrupt-every", "3"});
  const int handle = OpenDevice();
  for (int i = 1; i <= kReads; ++i) {
    EXPECT_EQ(Read(handle, i), (i + 1) % 3 == 0 ? KORVANE_BAD_CHECKSUM : 0) << "read " << i;
  }
  EXPECT_EQ(I2CCloseDevice(handle), 0);
}

TEST_F(SimFaults, DelayedConfirmationsWithinTheTimeOut) {
  constexpr int kDelay = 120;
  StartWith({"--delay-ms", std::to_string(kDelay)});
  const int handle = OpenDevice();
  for (int i = 1; i <= 3; ++i) {
    const auto start = Clock::now();
    EXPECT_EQ(Read(handle, i), 0);
    EXPECT_GE(MillisSince(start), kDelay - 5);
  }
  EXPECT_EQ(I2CCloseDevice(handle), 0);
}

// Telegram 4 of a connection is its second read: answered, then the gateway closes.
TEST_F(SimFaults, GatewayClosingAfterSomeTelegrams) {
  StartWith({"--close-after", "4"});
  const int handle = OpenDevice();
  EXPECT_EQ(Read(handle, 1), 0);
  EXPECT_EQ(Read(handle, 2), 0);
  // The next call may still find the socket open and then wait in vain; after that every call
  // fails at once.
  int rc = Read(handle, 3);
  EXPECT_TRUE(rc == KORVANE_NOT_CONNECTED || rc == KORVANE_TIMEOUT || rc == KORVANE_SOCKET_ERROR) << std::hex << rc;
  const auto start = Clock::now();
  rc = Read(handle, 4);
  EXPECT_EQ(rc, KORVANE_NOT_CONNECTED);
  EXPECT_LT(MillisSince(start), 100);
  EXPECT_EQ(I2CCloseDevice(handle), 0);
  // A new connection is served again (and closed after its own fourth telegram).
  const int again = OpenDevice();
  EXPECT_EQ(Read(again, 1), 0);
  EXPECT_EQ(I2CCloseDevice(again), 0);
}

TEST_F(SimFaults, RefusedConnection) {
  index_ = sim_.StartOnFreeIndex({"--refuse"});
  ASSERT_GE(index_, 0);
  int handle = 0;
  const auto start = Clock::now();
  EXPECT_EQ(I2COpenDeviceEx(&handle, 100, index_, "127.0.0.1", kTimeoutMs), KORVANE_CONNECTION_REFUSED);
  EXPECT_EQ(handle, -1);
  EXPECT_LT(MillisSince(start), kTimeoutMs);
}

}  // namespace
}  // namespace korvane::test
