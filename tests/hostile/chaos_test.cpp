// The connection cut without a FIN: the peer is stopped (SIGSTOP) or falls silent, so the
// socket stays open and nothing arrives. A waiting call ends at its time-out, the keep-alive
// supervision the gateway asked for closes the connection, and closing the handle is prompt.

#include <gtest/gtest.h>

#include <chrono>
#include <signal.h>

#include "KorvaneI2C.h"
#include "indexed_gateway.h"
#include "sim_process.h"

namespace korvane::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeoutMs = 600;
constexpr uint32_t kKeepAliveMs = 200;
// Silence is noticed after 4 to 5 quarter intervals; the supervision then sends its disconnect
// request and waits 1000 ms for an answer that does not come.
constexpr int64_t kSupervisionBoundMs = kKeepAliveMs * 5 / 4 + 1000 + 1500;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The checks once the peer is cut off: the call in flight times out, the supervision closes
// the connection, later calls fail at once and the close is quick.
void ExpectCutOffHandled(int handle, bool supervised) {
  uint8_t buffer[4];
  const auto cut = Clock::now();
  auto start = Clock::now();
  EXPECT_EQ(I2CRead(handle, 0x50, buffer, 4), KORVANE_TIMEOUT);
  int64_t took = MillisSince(start);
  EXPECT_GE(took, kTimeoutMs - 5);
  EXPECT_LT(took, kTimeoutMs + 1000);

  if (supervised) {
    int rc = KORVANE_TIMEOUT;
    while (rc == KORVANE_TIMEOUT && MillisSince(cut) < kSupervisionBoundMs + kTimeoutMs) {
      start = Clock::now();
      rc = I2CRead(handle, 0x50, buffer, 4);
      EXPECT_LT(MillisSince(start), kTimeoutMs + 1000);
    }
    EXPECT_EQ(rc, KORVANE_NOT_CONNECTED) << "the supervision did not close the connection";
    EXPECT_LT(MillisSince(cut), kSupervisionBoundMs + kTimeoutMs);
    start = Clock::now();
    EXPECT_EQ(I2CRead(handle, 0x50, buffer, 4), KORVANE_NOT_CONNECTED);
    EXPECT_LT(MillisSince(start), 200);
  }
  start = Clock::now();
  EXPECT_EQ(I2CCloseDevice(handle), 0);
  took = MillisSince(start);
  // Unsupervised, the close still waits for the disconnect confirmation up to its time-out.
  EXPECT_LT(took, supervised ? 200 : 2 * kTimeoutMs + 500);
}

TEST(Chaos, SilentPeerWithKeepAliveIsClosedBySupervision) {
  IndexedGateway g;
  ASSERT_GE(g.index, 0);
  int handle = -1;
  ASSERT_EQ(I2COpenDeviceEx(&handle, 100, g.index, "127.0.0.1", kTimeoutMs), 0);
  auto session = g.gw->WaitForSession(0);
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->SendKeepAlive(kKeepAliveMs, 7));
  ReceivedTelegram answer;
  ASSERT_TRUE(session->WaitForCommand(0x810D, &answer));
  ASSERT_EQ(answer.payload, Bytes{0});
  // From here on the peer swallows everything.
  session->SetHandler([](Session&, const ReceivedTelegram&) { return Action::kHandled; });
  const std::size_t seen = session->telegram_count();
  ExpectCutOffHandled(handle, true);
  EXPECT_TRUE(session->WaitForCommand(0x0102, nullptr, Millis(100), seen)) << "supervision sends a disconnect request";
}

class ChaosSim : public ::testing::TestWithParam<bool> {};

// The simulator is frozen with SIGSTOP: its kernel still acknowledges TCP, nothing else moves.
TEST_P(ChaosSim, StoppedSimulator) {
  const bool supervised = GetParam();
  SimProcess sim;
  std::vector<std::string> options;
  if (supervised) options = {"--keep-alive", std::to_string(kKeepAliveMs)};
  const int index = sim.StartOnFreeIndex(options);
  ASSERT_GE(index, 0);
  int handle = -1;
  ASSERT_EQ(I2COpenDeviceEx(&handle, 100, index, "127.0.0.1", kTimeoutMs), 0);
  int a = 0;
  int b = 0;
  ASSERT_EQ(I2CReadDigital(handle, &a, &b), 0);
  ASSERT_TRUE(sim.Signal(SIGSTOP));
  ExpectCutOffHandled(handle, supervised);
  ASSERT_TRUE(sim.Signal(SIGCONT));
  // Thawed, it serves new connections again.
  ASSERT_EQ(I2COpenDeviceEx(&handle, 100, index, "127.0.0.1", kTimeoutMs), 0);
  EXPECT_EQ(I2CReadDigital(handle, &a, &b), 0);
  EXPECT_EQ(I2CCloseDevice(handle), 0);
}

INSTANTIATE_TEST_SUITE_P(KeepAlive, ChaosSim, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return std::string(p.param ? "Supervised" : "Unsupervised");
                         });

}  // namespace
}  // namespace korvane::test
