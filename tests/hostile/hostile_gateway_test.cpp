// A gateway that misbehaves: damaged, unrequested, oversized and trickled telegrams, floods,
// silence and a close in the middle of a telegram. Every call must end with a result code
// within its time-out (or serve normally), and the device must go on serving where the
// stream still allows it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "KorvaneI2C.h"
#include "api/DeviceRegistry.h"
#include "indexed_gateway.h"

namespace korvane {
namespace {

using test::Action;
using test::Bytes;
using test::IndexedGateway;
using test::Join;
using test::MakeReply;
using test::MakeTelegram;
using test::Millis;
using test::ReceivedTelegram;
using test::Session;
using test::WithBadChecksum;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kCmdRead = 0x0110;
constexpr int kTimeoutMs = 1000;
const Bytes kDefaultData = {0x11, 0x22, 0x33, 0x44};

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class HostileGateway : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(g_.index, 0) << "no free port index";
    g_.gw->SetDefaultReplyData(kCmdRead, kDefaultData);
  }
  void TearDown() override {
    if (handle_ > 0) {
      // Closing never hangs, whatever state the stream is in.
      const auto start = Clock::now();
      EXPECT_EQ(I2CCloseDevice(handle_), 0);
      EXPECT_LT(MillisSince(start), 2 * kTimeoutMs + 1000);
    }
  }

  std::shared_ptr<Session> Open(int timeout_ms = kTimeoutMs) {
    const std::size_t sessions = g_.gw->session_count();
    EXPECT_EQ(I2COpenDeviceEx(&handle_, 100, g_.index, "127.0.0.1", timeout_ms), 0);
    return g_.gw->WaitForSession(sessions);
  }

  // A plain read answered with the gateway's default data.
  void ExpectServing() {
    uint8_t buffer[4] = {};
    ASSERT_EQ(I2CRead(handle_, 0x50, buffer, 4), 0);
    EXPECT_EQ(Bytes(buffer, buffer + 4), kDefaultData);
  }

  std::size_t StoredReplies() {
    const auto entry = Registry().Lookup(handle_);
    return entry ? entry->client->StoredReplies() : 0;
  }
  uint16_t NextId() { return Registry().Lookup(handle_)->client->NextTelegramId(); }

  // The next read request is answered by answer(session, request) instead of the default.
  static void ArmReadAnswer(const std::shared_ptr<Session>& s, std::function<void(Session&, const ReceivedTelegram&)> answer) {
    auto armed = std::make_shared<std::atomic<bool>>(true);
    s->SetHandler([armed, answer](Session& session, const ReceivedTelegram& t) {
      if (t.command != kCmdRead || !armed->exchange(false)) return Action::kDefault;
      answer(session, t);
      return Action::kHandled;
    });
  }

  IndexedGateway g_;
  int handle_ = -1;
};

Bytes Sequence(std::size_t n, uint8_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

// Answers to one 16-byte read and what the read must make of them.
TEST_F(HostileGateway, DamagedAndStrayTelegramsAroundAReply) {
  const Bytes data = Sequence(16, 1);
  struct Case {
    const char* name;
    std::function<Bytes(const ReceivedTelegram&)> answer;
    int expected;
    bool data_delivered;
  };
  const Case cases[] = {
      {"frames of 2 to 6 bytes (length fields 0 to 4), then the reply",
       [&](const ReceivedTelegram& t) {
         return Join({{0x00, 0x00}, {0x01, 0x00, 0xAA}, {0x02, 0x00, 0x10, 0x81}, {0x03, 0x00, 0x10, 0x81, 0x00},
                      {0x04, 0x00, 0x10, 0x81, static_cast<uint8_t>(t.id), static_cast<uint8_t>(t.id >> 8)},
                      MakeReply(t, 0, data)});
       },
       0, true},
      {"length field 5: a confirmation without payload",
       [](const ReceivedTelegram& t) { return MakeTelegram(kCmdRead | 0x8000, t.id); }, KORVANE_BAD_CONFIRMATION | 0x100,
       false},
      {"length field 6: status only", [](const ReceivedTelegram& t) { return MakeReply(t, 0); }, 0, false},
      {"wrong checksum", [&](const ReceivedTelegram& t) { return WithBadChecksum(MakeReply(t, 0, data)); },
       KORVANE_BAD_CHECKSUM, false},
      {"reply bit off: taken for a request from the gateway and dropped",
       [&](const ReceivedTelegram& t) {
         Bytes payload = {0};
         payload.insert(payload.end(), data.begin(), data.end());
         return MakeTelegram(kCmdRead, t.id, payload);
       },
       KORVANE_TIMEOUT, false},
      {"confirmation of another command", [](const ReceivedTelegram& t) { return MakeTelegram(0x8111, t.id, {0}); },
       KORVANE_NOT_CONFIRMED, false},
      {"confirmation of another device kind", [](const ReceivedTelegram& t) { return MakeTelegram(0x8210, t.id, {0}); },
       KORVANE_NOT_CONFIRMED, false},
      {"unrequested ids and unasked transport confirmations, then the reply",
       [&](const ReceivedTelegram& t) {
         Bytes out;
         for (uint16_t i = 1; i <= 50; ++i) {
           const Bytes stray = MakeTelegram(kCmdRead | 0x8000, static_cast<uint16_t>(t.id + i), {0x20, 0xEE});
           out.insert(out.end(), stray.begin(), stray.end());
         }
         return Join({out, MakeTelegram(0x8101, 1, {0}), MakeTelegram(0x8102, 0, {5}), MakeTelegram(0x810D, 9, {0}),
                      MakeReply(t, 0, data)});
       },
       0, true},
      {"the largest frame: 65537 bytes, length field 0xFFFF",
       [](const ReceivedTelegram& t) { return MakeReply(t, 0, Sequence(65529, 1)); }, 0, true},
      {"a 65537-byte frame of an unknown command, then the reply",
       [&](const ReceivedTelegram& t) {
         return Join({MakeTelegram(0x8177, static_cast<uint16_t>(t.id + 1), Sequence(65530, 7)), MakeReply(t, 0, data)});
       },
       0, true},
  };

  auto session = Open();
  ASSERT_NE(session, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ArmReadAnswer(session, [&c](Session& s, const ReceivedTelegram& t) { s.SendRaw(c.answer(t)); });
    uint8_t buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    const auto start = Clock::now();
    EXPECT_EQ(I2CRead(handle_, 0x50, buffer, 16), c.expected);
    EXPECT_LT(MillisSince(start), kTimeoutMs + 1000);
    if (c.data_delivered) {
      EXPECT_EQ(Bytes(buffer, buffer + 16), data);
    } else {
      EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(16, 0xEE)) << "nothing may be copied";
    }
    ExpectServing();
    EXPECT_EQ(StoredReplies(), 0u);
  }
  // Confirmations with the reply bit are never answered: the library sent only requests.
  for (const ReceivedTelegram& t : session->telegrams()) EXPECT_FALSE(t.is_reply()) << t.Describe();
}

// The framing trusts the length field: a wrong one shifts every later telegram. The calls
// caught in it end with result codes, and closing and opening again still work.
TEST_F(HostileGateway, WrongLengthFieldEndsInResultCodes) {
  for (const int delta : {+3, -1}) {
    SCOPED_TRACE(delta);
    auto session = Open();
    ASSERT_NE(session, nullptr);
    ArmReadAnswer(session, [delta](Session& s, const ReceivedTelegram& t) {
      Bytes reply = MakeReply(t, 0, {1, 2, 3, 4});
      const uint16_t length = static_cast<uint16_t>(reply[0] + delta);
      reply[0] = static_cast<uint8_t>(length);
      s.SendRaw(reply);
    });
    for (int call = 0; call < 3; ++call) {
      uint8_t buffer[4];
      const auto start = Clock::now();
      const int rc = I2CRead(handle_, 0x50, buffer, 4);
      EXPECT_LT(MillisSince(start), kTimeoutMs + 1000);
      EXPECT_TRUE(rc == 0 || rc == KORVANE_TIMEOUT || rc == KORVANE_BAD_CHECKSUM || rc == KORVANE_NOT_CONFIRMED ||
                  rc == (KORVANE_BAD_CONFIRMATION | 0x100) || (rc & ~0xFF) == 0x100)
          << std::hex << rc;
    }
    const auto start = Clock::now();
    EXPECT_EQ(I2CCloseDevice(handle_), 0);
    EXPECT_LT(MillisSince(start), 2 * kTimeoutMs + 1000);
    handle_ = -1;
  }
  Open();
  ExpectServing();
}

// Confirmations for every telegram id, with and without a request in flight: only the
// awaited one may be stored, so the reply map never holds more than one entry.
TEST_F(HostileGateway, FloodOfUnrequestedConfirmationsKeepsTheReplyMapBounded) {
  // Each read's own reply follows the flood, so it must wait out the flood's handling, which
  // takes seconds in sanitizer builds. When the read succeeds the flood is behind it.
  auto session = Open(20000);
  ASSERT_NE(session, nullptr);

  std::atomic<bool> sampling{true};
  std::atomic<std::size_t> most{0};
  std::atomic<std::size_t> samples{0};
  std::thread sampler([&] {
    while (sampling.load()) {
      const std::size_t n = StoredReplies();
      if (n > most.load()) most.store(n);
      samples.fetch_add(1);
    }
  });

  auto flood = [](uint16_t skip_id) {
    Bytes all;
    all.reserve(65536 * 9);
    for (uint32_t id = 0; id <= 0xFFFF; ++id) {
      if (id == skip_id) continue;
      const Bytes t = MakeTelegram(kCmdRead | 0x8000, static_cast<uint16_t>(id), {0x20, static_cast<uint8_t>(id)});
      all.insert(all.end(), t.begin(), t.end());
    }
    return all;
  };

  // No request in flight: every id but the one the next read takes (it could otherwise be
  // read after that request has gone out, and answer it).
  ASSERT_TRUE(session->SendRaw(flood(NextId())));
  ExpectServing();  // its reply comes after the flood, so the whole flood has been handled
  EXPECT_EQ(StoredReplies(), 0u);

  // During a request: the flood comes before the reply.
  ArmReadAnswer(session, [&](Session& s, const ReceivedTelegram& t) {
    s.SendRaw(flood(t.id));
    s.Reply(t, 0, {9, 8, 7, 6});
  });
  uint8_t buffer[4] = {};
  EXPECT_EQ(I2CRead(handle_, 0x50, buffer, 4), 0);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{9, 8, 7, 6}));
  ExpectServing();

  sampling.store(false);
  sampler.join();
  EXPECT_GT(samples.load(), 0u);
  EXPECT_LE(most.load(), 1u);
  EXPECT_EQ(StoredReplies(), 0u);
}

// Every telegram of a whole session, both ways handshakes included, arrives one byte at a time.
TEST_F(HostileGateway, PeerSendingOneByteAtATime) {
  g_.gw->SetHandler([](Session& s, const ReceivedTelegram& t) {
    if (t.is_reply()) return Action::kHandled;
    const bool disconnect = (t.command & 0xFF) == 0x02;
    s.SendBytewise(MakeReply(t, 0, (t.command == kCmdRead) ? kDefaultData : Bytes{}), Millis(1));
    if (disconnect) s.Close();
    return Action::kHandled;
  });
  auto session = Open(3000);
  ASSERT_NE(session, nullptr);
  ExpectServing();
  int first = 0;
  int second = 0;
  EXPECT_EQ(I2CReadDigital(handle_, &first, &second), 0);
  const auto start = Clock::now();
  EXPECT_EQ(I2CCloseDevice(handle_), 0);
  handle_ = -1;
  EXPECT_TRUE(session->WaitForPeerClose());
  EXPECT_LT(MillisSince(start), 3000);
}

// A peer that accepts and then never answers, or never even reads.
TEST_F(HostileGateway, SilentPeerEndsOpenAndCallsAtTheTimeOut) {
  constexpr int kShort = 300;
  struct Case {
    const char* name;
    bool read_on_accept;
  } cases[] = {{"accepts, reads, never answers", true}, {"accepts, never reads", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_.gw->SetReadOnAccept(c.read_on_accept);
    g_.gw->SetHandler([](Session&, const ReceivedTelegram&) { return Action::kHandled; });
    int handle = 0;
    const auto start = Clock::now();
    EXPECT_EQ(I2COpenDeviceEx(&handle, 100, g_.index, "127.0.0.1", kShort), KORVANE_TIMEOUT);
    const int64_t took = MillisSince(start);
    EXPECT_EQ(handle, -1);
    EXPECT_GE(took, kShort - 5);
    EXPECT_LT(took, kShort + 1000);
  }
  g_.gw->SetReadOnAccept(true);
  g_.gw->SetHandler({});

  // Connected and configured, then silence for the reads only.
  auto session = Open(kShort);
  ASSERT_NE(session, nullptr);
  session->SetHandler([](Session&, const ReceivedTelegram& t) {
    return t.command == kCmdRead ? Action::kHandled : Action::kDefault;
  });
  for (int call = 0; call < 2; ++call) {
    uint8_t buffer[4];
    const auto start = Clock::now();
    EXPECT_EQ(I2CRead(handle_, 0x50, buffer, 4), KORVANE_TIMEOUT);
    const int64_t took = MillisSince(start);
    EXPECT_GE(took, kShort - 5);
    EXPECT_LT(took, kShort + 1000);
  }
  int first = 0;
  int second = 0;
  EXPECT_EQ(I2CReadDigital(handle_, &first, &second), 0) << "other commands are still answered";
}

// The peer closes with half a telegram sent: the waiting call ends at its time-out, later
// calls fail at once, and closing the handle is prompt.
TEST_F(HostileGateway, PeerClosingInTheMiddleOfATelegram) {
  constexpr int kShort = 400;
  auto session = Open(kShort);
  ASSERT_NE(session, nullptr);
  ArmReadAnswer(session, [](Session& s, const ReceivedTelegram& t) {
    const Bytes reply = MakeReply(t, 0, {1, 2, 3, 4, 5, 6});
    s.SendRaw(Bytes(reply.begin(), reply.begin() + 5));
    s.Close();
  });
  uint8_t buffer[6];
  auto start = Clock::now();
  EXPECT_EQ(I2CRead(handle_, 0x50, buffer, 6), KORVANE_TIMEOUT);
  EXPECT_LT(MillisSince(start), kShort + 1000);

  start = Clock::now();
  EXPECT_EQ(I2CRead(handle_, 0x50, buffer, 6), KORVANE_NOT_CONNECTED);
  EXPECT_LT(MillisSince(start), 200);

  // The same during the open: the bus configuration is cut off.
  g_.gw->SetHandler([](Session& s, const ReceivedTelegram& t) {
    if (t.command != 0x0107) return Action::kDefault;
    const Bytes reply = MakeReply(t, 0);
    s.SendRaw(Bytes(reply.begin(), reply.begin() + 3));
    s.Close();
    return Action::kHandled;
  });
  int handle = 0;
  start = Clock::now();
  const int rc = I2COpenDeviceEx(&handle, 100, g_.index, "127.0.0.1", kShort);
  EXPECT_TRUE(rc == KORVANE_TIMEOUT || rc == KORVANE_NOT_CONNECTED) << std::hex << rc;
  EXPECT_EQ(handle, -1);
  EXPECT_LT(MillisSince(start), 2 * kShort + 1000);
}

}  // namespace
}  // namespace korvane
