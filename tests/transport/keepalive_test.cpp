#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/fake_gateway.h"
#include "transport/KorIPConnection.h"

namespace korvane {
namespace {

using test::Bytes;
using test::FakeGateway;
using test::Hex;
using test::Millis;
using Clock = std::chrono::steady_clock;

struct Connected {
  FakeGateway gw;
  CKorIPConnection connection;
  std::shared_ptr<test::Session> session;

  Connected() {
    EXPECT_TRUE(gw.ok());
    EXPECT_EQ(connection.Connect(1, {}, gw.host(), gw.port(), 2000), kTransportOk);
    session = gw.WaitForSession(0);
  }
};

TEST(KeepAlive, AnswersOnTheWire) {
  Connected c;
  ASSERT_NE(c.session, nullptr);
  ASSERT_TRUE(c.session->SendRaw(test::FromHex("09 00 0D 01 07 00 E8 03 00 00 E0")));
  test::ReceivedTelegram t;
  ASSERT_TRUE(c.session->WaitForCommand(0x810D, &t));
  EXPECT_EQ(Hex(t.raw), "06 00 0D 81 07 00 00 8B");
  EXPECT_EQ(c.connection.KeepAliveMode(), 2);
  EXPECT_EQ(c.connection.KeepAliveInterval(), 1000u);

  const std::size_t from = c.session->telegram_count();
  ASSERT_TRUE(c.session->SendTelegram(0x010D, 7, {0xE8, 0x03}));  // payload too short
  ASSERT_TRUE(c.session->WaitForCommand(0x810D, &t, test::kDefaultWait, from));
  EXPECT_EQ(Hex(t.raw), "06 00 0D 81 07 00 FF 74");
  EXPECT_EQ(c.connection.KeepAliveInterval(), 1000u);

  // A bad checksum gets no answer at all; six payload bytes use the first four.
  const std::size_t before_bad = c.session->telegram_count();
  c.session->SendRaw(test::WithBadChecksum(test::MakeTelegram(0x010D, 8, {0x10, 0, 0, 0})));
  c.session->SendTelegram(0x010D, 9, {0x2C, 0x01, 0, 0, 0xAA, 0xBB});
  ASSERT_TRUE(c.session->WaitForTelegram([](const test::ReceivedTelegram& r) { return r.id == 9; }, &t,
                                         test::kDefaultWait, before_bad));
  EXPECT_EQ(c.session->telegram_count(), before_bad + 1);
  EXPECT_EQ(c.connection.KeepAliveInterval(), 300u);
}

TEST(KeepAlive, SilenceClosesBetweenOneAndOneAndAQuarterIntervals) {
  constexpr long kInterval = 400;
  Connected c;
  ASSERT_NE(c.session, nullptr);
  const auto sent = Clock::now();
  c.session->SendKeepAlive(kInterval, 3);
  test::ReceivedTelegram t;
  ASSERT_TRUE(c.session->WaitForCommand(0x0102, &t, Millis(5000)));  // the supervision's disconnect
  const long after = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(t.received_at - sent).count());
  EXPECT_GE(after, kInterval - 5);
  EXPECT_LE(after, kInterval * 5 / 4 + 150);
  EXPECT_TRUE(c.session->WaitForPeerClose());
  // Within a tick after the close the supervision is off again.
  const auto until = Clock::now() + Millis(3000);
  while (c.connection.KeepAliveMode() != 0 && Clock::now() < until) std::this_thread::sleep_for(Millis(5));
  EXPECT_EQ(c.connection.KeepAliveMode(), 0);
  EXPECT_EQ(c.connection.GetState(), kStateClosed);
}

TEST(KeepAlive, AnyTelegramIsASignOfLife) {
  constexpr long kInterval = 200;
  Connected c;
  ASSERT_NE(c.session, nullptr);
  c.session->SendKeepAlive(kInterval, 3);
  for (int i = 0; i < 12; ++i) {  // 1.2 s of life, each gap half an interval
    std::this_thread::sleep_for(Millis(kInterval / 2));
    c.session->SendTelegram(0x8110, static_cast<uint16_t>(100 + i), {0});
  }
  EXPECT_EQ(c.connection.GetState(), kStateConnected);
  EXPECT_FALSE(c.session->WaitForCommand(0x0102, nullptr, Millis(0)));
}

TEST(KeepAlive, IntervalZeroSwitchesOff) {
  Connected c;
  ASSERT_NE(c.session, nullptr);
  c.session->SendKeepAlive(100, 3);
  c.session->SendKeepAlive(0, 4);
  test::ReceivedTelegram t;
  ASSERT_TRUE(c.session->WaitForTelegram([](const test::ReceivedTelegram& r) { return r.id == 4; }, &t));
  EXPECT_EQ(Hex(t.raw), Hex(test::MakeTelegram(0x810D, 4, {0})));
  EXPECT_EQ(c.connection.KeepAliveMode(), 0);
  EXPECT_FALSE(c.session->WaitForCommand(0x0102, nullptr, Millis(600)));  // six intervals of silence
  EXPECT_EQ(c.connection.GetState(), kStateConnected);
}

}  // namespace
}  // namespace korvane
