// The simulator's protocol handler: handshakes, connection slots, reply layouts, keep-alive
// and fault injection, telegram in and telegram out.

#include <gtest/gtest.h>

#include "gateway.h"
#include "protocol/telegram_codec.h"

namespace korvane::sim {
namespace {

struct Frame {
  uint16_t command = 0;
  uint16_t id = 0;
  std::vector<uint8_t> payload;
  bool checksum_ok = false;
};

Frame Parse(const std::vector<uint8_t>& bytes) {
  codec::View v;
  Frame f;
  if (!codec::Decode(bytes.data(), bytes.size(), &v)) return f;
  f.command = v.command;
  f.id = v.id;
  f.payload.assign(v.payload, v.payload + v.payload_size);
  f.checksum_ok = codec::Checksum(v.command, v.id, v.payload, v.payload_size) == v.checksum;
  return f;
}

class GatewayTest : public ::testing::Test {
 protected:
  GatewayTest() { AddDefaultDevices(&gateway.GetBus(), 5); }

  Outgoing Send(Session& s, uint16_t command, uint16_t telegram_id, std::vector<uint8_t> payload = {}) {
    const auto bytes = codec::Build(command, telegram_id, payload.data(), payload.size());
    return s.OnTelegram(bytes.data(), bytes.size(), now);
  }
  // Sends a request and returns the one confirmation, checked for command, id and checksum.
  // The clock moves on by the time the reply takes, as the server holds the next request.
  Frame Ask(Session& s, uint16_t command, std::vector<uint8_t> payload = {}) {
    const Outgoing out = Send(s, command, ++id, std::move(payload));
    now += out.after_ms;
    EXPECT_EQ(1u, out.telegrams.size());
    if (out.telegrams.empty()) return {};
    Frame f = Parse(out.telegrams[0]);
    EXPECT_EQ(command | cmd::kReplyBit, f.command);
    EXPECT_EQ(id, f.id);
    EXPECT_TRUE(f.checksum_ok);
    return f;
  }
  void Connect(Session& s) { ASSERT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kConnect).payload); }

  GatewayOptions options;
  Millis now = 5000;
  uint16_t id = 0;
  Gateway gateway{options, now};
};

TEST_F(GatewayTest, ConnectionSlotsAreLimitedAndFreedWithTheSession) {
  GatewayOptions two;
  two.max_connections = 2;
  Gateway limited(two, now);
  Session a(limited), b(limited);
  Connect(a);
  Connect(b);
  {
    Session c(limited);
    const Outgoing refused = Send(c, cmd::kConnect, 1);
    ASSERT_EQ(1u, refused.telegrams.size());
    EXPECT_EQ((std::vector<uint8_t>{1}), Parse(refused.telegrams[0]).payload);
    EXPECT_TRUE(refused.close);
  }
  EXPECT_EQ(2, limited.ConnectionsInUse());
  {
    Session gone(limited);  // a refused session frees no slot it never had
  }
  auto later = std::make_unique<Session>(limited);
  EXPECT_EQ(1, Parse(Send(*later, cmd::kConnect, 1).telegrams[0]).payload[0]);
  later.reset();
  // The gateway's own disconnect request (at shutdown), and a session without a handshake
  // that is simply closed.
  const Outgoing goodbye = b.Disconnect();
  ASSERT_EQ(1u, goodbye.telegrams.size());
  EXPECT_EQ(codec::Build(cmd::kDisconnect, 0, nullptr, 0), goodbye.telegrams[0]);
  EXPECT_FALSE(goodbye.close);
  EXPECT_TRUE(Send(b, cmd::kDisconnect | cmd::kReplyBit, 0, {0}).close);
  Session fresh(limited);
  EXPECT_TRUE(fresh.Disconnect().close);
  const auto closing = Send(a, cmd::kDisconnect, 0);
  EXPECT_TRUE(closing.close);
  EXPECT_EQ((std::vector<uint8_t>{0}), Parse(closing.telegrams[0]).payload);
}

TEST_F(GatewayTest, RefuseOptionRefusesEveryConnect) {
  GatewayOptions refusing;
  refusing.refuse = true;
  Gateway g(refusing, now);
  Session s(g);
  const Outgoing out = Send(s, cmd::kConnect, 1);
  EXPECT_EQ((std::vector<uint8_t>{1}), Parse(out.telegrams[0]).payload);
  EXPECT_EQ(0, g.ConnectionsInUse());
}

TEST_F(GatewayTest, RequestsBeforeConnectAndUnknownCommandsFail) {
  Session s(gateway);
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), Ask(s, cmd::kReset).payload);
  Connect(s);
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kReset).payload);
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), Ask(s, 0x0130).payload);
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), Ask(s, 0x0210).payload);   // another device kind
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), Ask(s, cmd::kRead, {0xA0}).payload);  // payload too short
}

TEST_F(GatewayTest, TelegramsWithWrongChecksumAreDropped) {
  Session s(gateway);
  auto bytes = codec::Build(cmd::kConnect, 1, nullptr, 0);
  bytes.back() ^= 1;
  const Outgoing out = s.OnTelegram(bytes.data(), bytes.size(), now);
  EXPECT_TRUE(out.telegrams.empty());
  EXPECT_FALSE(s.Accepted());
}

TEST_F(GatewayTest, ReplyLayoutsOfTheDeviceCommands) {
  Session s(gateway);
  Connect(s);
  // Bus configuration: accepted rates and a refused one.
  EXPECT_EQ(0, Ask(s, cmd::kBusConfig, {0x80, 0x1A, 0x06, 0x00}).payload[0]);
  EXPECT_EQ(0xFF, Ask(s, cmd::kBusConfig, {0, 0, 0, 0}).payload[0]);
  // I2C write: status and the count of acknowledged bytes; read: status and data.
  EXPECT_EQ((std::vector<uint8_t>{0, 3, 0}), Ask(s, cmd::kWrite, {0x90, 0x00, 0x02, 0x12, 0x34}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0, 0x12, 0x34, 0x12}), Ask(s, cmd::kRead, {0x90, 0x00, 0x03, 0x00}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0x20}), Ask(s, cmd::kRead, {0xC0, 0x00, 0x01, 0x00}).payload);
  // EEPROM write with polling, then the read in the plain layout: the data from byte 1 on.
  EXPECT_EQ((std::vector<uint8_t>{0}),
            Ask(s, cmd::kEepromWritePoll, {0xA0, 0, 50, 0, 2, 0, 0, 0x12, 0x34, 'h', 'i'}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0, 'h', 'i', 0xFF}),
            Ask(s, cmd::kEepromRead, {0xA0, 0, 2, 0, 0, 0x12, 0x34, 3, 0}).payload);
  // Sequence: status, the count of operations carried out, the bytes read.
  EXPECT_EQ((std::vector<uint8_t>{0, 5, 0, 'h', 'i'}),
            Ask(s, cmd::kSequence, {8, 0, 1, 2, 0xA0, 2, 0x12, 0x34, 1, 3, 0xA0, 2, 4}).payload);
  // Raw steps.
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kRawSend, {0x90, 1}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kRawStart).payload);
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kRawSend, {0x91, 0}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0, 0x12}), Ask(s, cmd::kRawGet, {0}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kRawStop).payload);
  EXPECT_EQ((std::vector<uint8_t>{0xFF}), Ask(s, cmd::kRawGet, {0}).payload);
  // Digital lines: the inputs read back the outputs, cut to the 16 lines.
  EXPECT_EQ((std::vector<uint8_t>{0}), Ask(s, cmd::kWriteDigital, {0x34, 0x12, 0x01, 0x00}).payload);
  EXPECT_EQ((std::vector<uint8_t>{0, 0x34, 0x12, 0, 0, 0x34, 0x12, 0, 0}), Ask(s, cmd::kReadDigital).payload);
  // Device information: 20 bytes after the status, device kind in byte 18.
  const Frame info = Ask(s, cmd::kDeviceInfo);
  ASSERT_EQ(21u, info.payload.size());
  EXPECT_EQ(1, info.payload[1 + 18]);
  EXPECT_EQ(16, info.payload[1 + 6]);
  EXPECT_EQ(3, info.payload[1 + 7]);
  EXPECT_EQ(400000u, codec::ReadLE32(&info.payload[1 + 8]));
  EXPECT_EQ(1, info.payload[1 + 13]);
  const Frame status = Ask(s, cmd::kDeviceStatus);
  const std::string text(status.payload.begin() + 1, status.payload.end());
  EXPECT_NE(std::string::npos, text.find("connections 1 of 4")) << text;
}

TEST_F(GatewayTest, BusTimeDelaysTheReply) {
  Session s(gateway);
  Connect(s);
  // 100 bytes from offset 0x30 touch three pages: two page waits and the final poll.
  std::vector<uint8_t> payload = {0xA0, 0, 50, 0, 2, 0, 0, 0, 0x30};
  payload.resize(payload.size() + 100, 0x11);
  const Outgoing out = Send(s, cmd::kEepromWritePoll, 9, payload);
  EXPECT_EQ(15u, out.after_ms);
  // A plain write straight after the last page finds the chip busy.
  now += out.after_ms - 5;
  EXPECT_EQ(0x20, Ask(s, cmd::kEepromWrite, {0xA0, 0, 2, 0, 0, 0, 0, 1}).payload[0]);
}

TEST_F(GatewayTest, FaultInjectionCountsDeviceRequestsOfTheConnection) {
  GatewayOptions faulty;
  faulty.drop_every = 3;
  faulty.corrupt_every = 2;
  faulty.delay_ms = 40;
  Gateway g(faulty, now);
  Session s(g);
  const Outgoing connected = Send(s, cmd::kConnect, 1);  // transport telegrams are not counted
  ASSERT_EQ(1u, connected.telegrams.size());
  EXPECT_EQ(40u, connected.after_ms);
  std::vector<std::string> seen;
  for (uint16_t i = 2; i <= 7; ++i) {
    const Outgoing out = Send(s, cmd::kReset, i);
    if (out.telegrams.empty()) {
      seen.push_back("dropped");
    } else {
      seen.push_back(Parse(out.telegrams[0]).checksum_ok ? "ok" : "corrupt");
    }
  }
  // Requests 3 and 6 are dropped; every second confirmation that is sent is corrupted.
  EXPECT_EQ((std::vector<std::string>{"ok", "corrupt", "dropped", "ok", "corrupt", "dropped"}), seen);

  GatewayOptions closing;
  closing.close_after = 3;
  Gateway g2(closing, now);
  Session t(g2);
  EXPECT_FALSE(Send(t, cmd::kConnect, 1).close);
  EXPECT_FALSE(Send(t, cmd::kReset, 2).close);
  const Outgoing third = Send(t, cmd::kReset, 3);
  EXPECT_TRUE(third.close);
  EXPECT_EQ(1u, third.telegrams.size());  // answered, then closed
}

TEST_F(GatewayTest, KeepAliveRequestsCarryTheIntervalAndSilenceCloses) {
  GatewayOptions supervised;
  supervised.keep_alive_ms = 200;
  Gateway g(supervised, now);
  Session s(g);
  EXPECT_FALSE(s.NextTimer().has_value());  // not before the connect handshake
  Send(s, cmd::kConnect, 1);
  ASSERT_TRUE(s.NextTimer().has_value());
  EXPECT_EQ(now, *s.NextTimer());
  Outgoing out = s.OnTimer(now);
  ASSERT_EQ(1u, out.telegrams.size());
  const Frame request = Parse(out.telegrams[0]);
  EXPECT_EQ(cmd::kKeepAlive, request.command);
  EXPECT_EQ((std::vector<uint8_t>{200, 0, 0, 0}), request.payload);
  EXPECT_EQ(now + 100, *s.NextTimer());  // twice per interval

  // Confirmed: the next requests follow.
  now += 100;
  const auto confirmation = codec::Build(cmd::kKeepAlive | cmd::kReplyBit, request.id, std::vector<uint8_t>{0}.data(), 1);
  EXPECT_TRUE(s.OnTelegram(confirmation.data(), confirmation.size(), now).telegrams.empty());
  now += 300;
  out = s.OnTimer(now);
  EXPECT_FALSE(out.close);
  EXPECT_EQ(1u, out.telegrams.size());
  // More than two intervals without a confirmation: the gateway gives the client up.
  now += 101;
  out = s.OnTimer(now);
  EXPECT_TRUE(out.close);
  EXPECT_TRUE(out.telegrams.empty());
}

}  // namespace
}  // namespace korvane::sim
