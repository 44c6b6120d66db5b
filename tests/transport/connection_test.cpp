#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/fake_gateway.h"
#include "transport/KorIPConnection.h"

namespace korvane {
namespace {

using test::Bytes;
using test::FakeGateway;
using test::Hex;
using test::Millis;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A connection that records what it tells its owner.
class RecordingConnection : public CKorIPConnection {
 public:
  ~RecordingConnection() override {
    if (GetState() == kStateConnected) Disconnect(1000);
    StopThreads();
  }

  std::vector<int> States() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }
  std::vector<Bytes> Telegrams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return telegrams_;
  }
  bool WaitFor(const std::function<bool()>& done, Millis timeout = test::kDefaultWait) {
    const auto until = Clock::now() + timeout;
    while (!done()) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(Millis(1));
    }
    return true;
  }

 protected:
  void OnConnectionState(int connected) override {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(connected);
  }
  int OnTelegram(const uint8_t* bytes, std::size_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    telegrams_.emplace_back(bytes, bytes + length);
    return 0;
  }

 private:
  std::mutex mutex_;
  std::vector<int> states_;
  std::vector<Bytes> telegrams_;
};

int ConnectTo(CKorIPConnection& c, const FakeGateway& gw, uint32_t timeout_ms = 2000, uint8_t kind = 1) {
  return c.Connect(kind, {}, gw.host(), gw.port(), timeout_ms);
}

TEST(Connection, ConnectHandshakeOnTheWire) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  RecordingConnection c;
  ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
  EXPECT_EQ(c.GetState(), kStateConnected);
  EXPECT_EQ(c.States(), std::vector<int>{1});
  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  test::ReceivedTelegram t;
  ASSERT_TRUE(s->WaitForCommand(0x0101, &t));
  EXPECT_EQ(Hex(t.raw), "05 00 01 01 01 00 01");
  EXPECT_EQ(ConnectTo(c, gw), kTransportNotAllowed);  // already connected: nothing changes
  EXPECT_EQ(gw.session_count(), 1u);
  EXPECT_EQ(c.Send(nullptr, 0, 100), kTransportOk);
}

TEST(Connection, DeviceKindEntersCommandCodes) {
  struct Case {
    uint8_t kind;
    uint16_t request;
  } cases[] = {{0x81, 0x0101}, {2, 0x0201}};
  for (const Case& k : cases) {
    FakeGateway gw;
    ASSERT_TRUE(gw.ok());
    gw.SetHandler([&](test::Session& s, const test::ReceivedTelegram& t) {
      if (t.command == k.request) s.SendTelegram(static_cast<uint16_t>((k.kind << 8) | 0x8001), 1, {0});
      return test::Action::kHandled;
    });
    RecordingConnection c;
    EXPECT_EQ(ConnectTo(c, gw, 2000, k.kind), kTransportOk) << int(k.kind);
  }
}

TEST(Connection, HandshakeFailures) {
  struct Case {
    const char* name;
    std::function<void(test::Session&, const test::ReceivedTelegram&)> answer;
    int expected;
  } cases[] = {
      {"refused with 1", [](test::Session& s, const test::ReceivedTelegram& t) { s.Reply(t, 1); }, kTransportRefused},
      {"refused with 5", [](test::Session& s, const test::ReceivedTelegram& t) { s.Reply(t, 5); }, kTransportNotConnected},
      {"no answer", [](test::Session&, const test::ReceivedTelegram&) {}, kTransportTimeout},
      {"confirmation without payload",
       [](test::Session& s, const test::ReceivedTelegram&) { s.SendTelegram(0x8101, 1, {}); }, kTransportTimeout},
      {"bad checksum",
       [](test::Session& s, const test::ReceivedTelegram&) { s.SendRaw(test::WithBadChecksum(test::MakeTelegram(0x8101, 1, {0}))); },
       kTransportTimeout},
  };
  for (const Case& k : cases) {
    FakeGateway gw;
    ASSERT_TRUE(gw.ok());
    gw.SetHandler([&](test::Session& s, const test::ReceivedTelegram& t) {
      if (t.command == 0x0101) k.answer(s, t);
      return test::Action::kHandled;
    });
    RecordingConnection c;
    const auto start = Clock::now();
    EXPECT_EQ(ConnectTo(c, gw, 300), k.expected) << k.name;
    if (k.expected == kTransportTimeout) {
      EXPECT_GE(ElapsedMs(start), 295) << k.name;
      EXPECT_LT(ElapsedMs(start), 3000) << k.name;
    }
    EXPECT_EQ(c.GetState(), kStateClosed) << k.name;
    EXPECT_EQ(c.States(), std::vector<int>{0}) << k.name;  // a close without a preceding 1
    auto s = gw.WaitForSession(0);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->WaitForPeerClose()) << k.name;
  }
}

TEST(Connection, UnreachableTargetsAnswerAtOnce) {
  RecordingConnection c;
  auto start = Clock::now();
  EXPECT_EQ(c.Connect(1, {}, "no-such-host.invalid", 5000, 5000), kTransportNotConnected);
  EXPECT_LT(ElapsedMs(start), 2000);

  uint16_t free_port;
  {
    FakeGateway probe;  // a port that was just free and is closed again
    ASSERT_TRUE(probe.ok());
    free_port = probe.port();
  }
  start = Clock::now();
  EXPECT_EQ(c.Connect(1, {}, "127.0.0.1", free_port, 5000), kTransportNotConnected);
  EXPECT_LT(ElapsedMs(start), 2000);
  EXPECT_EQ(c.GetState(), kStateClosed);
}

TEST(Connection, IPv6Loopback) {
  if (!FakeGateway::IPv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 on this machine";
  FakeGateway gw(test::Family::kIPv6);
  ASSERT_TRUE(gw.ok()) << gw.error();
  RecordingConnection c;
  EXPECT_EQ(ConnectTo(c, gw), kTransportOk);
  EXPECT_EQ(c.Disconnect(1000), kTransportOk);
}

TEST(Connection, GatewayClosesSocket) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  RecordingConnection c;
  ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
  gw.WaitForSession(0)->Close();
  ASSERT_TRUE(c.WaitFor([&] { return c.GetState() == kStateClosed; }));
  EXPECT_EQ(c.States(), (std::vector<int>{1, 0}));
  EXPECT_EQ(c.Send(Bytes{1, 2}.data(), 2, 100), kTransportNotConnected);
}

TEST(Connection, GatewayDisconnectRequestIsConfirmedThenClosed) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  RecordingConnection c;
  ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
  auto s = gw.WaitForSession(0);
  s->SendDisconnectRequest(0x1234);
  test::ReceivedTelegram t;
  ASSERT_TRUE(s->WaitForCommand(0x8102, &t));
  EXPECT_EQ(Hex(t.raw), Hex(test::MakeTelegram(0x8102, 0x1234, {0})));
  EXPECT_EQ(t.raw.size(), 8u);
  EXPECT_TRUE(s->WaitForPeerClose());
  EXPECT_TRUE(c.WaitFor([&] { return c.GetState() == kStateClosed; }));
}

TEST(Connection, DisconnectResults) {
  for (uint8_t status : {uint8_t{0}, uint8_t{5}}) {
    FakeGateway gw;
    ASSERT_TRUE(gw.ok());
    gw.SetHandler([&](test::Session& s, const test::ReceivedTelegram& t) {
      if (t.command == 0x0102) {
        s.Reply(t, status);
        return test::Action::kHandled;
      }
      return test::Action::kDefault;
    });
    RecordingConnection c;
    ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
    EXPECT_EQ(c.Disconnect(1000), status == 0 ? kTransportOk : kTransportSocketError);
    EXPECT_EQ(c.GetState(), kStateClosed);
    test::ReceivedTelegram t;
    ASSERT_TRUE(gw.WaitForSession(0)->WaitForCommand(0x0102, &t));
    EXPECT_EQ(Hex(t.raw), "05 00 02 01 00 00 03");
    EXPECT_EQ(c.Disconnect(1000), kTransportNotAllowed);
  }
}

TEST(Connection, StreamCuttingOverTheSocket) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  RecordingConnection c;
  ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
  auto s = gw.WaitForSession(0);
  const Bytes a = test::MakeTelegram(0x8110, 5, {0, 1, 2});
  const Bytes b = test::MakeTelegram(0x8111, 6, {0});
  Bytes big(65537, 0x33);  // length field 0xFFFF
  big[0] = 0xFF;
  big[1] = 0xFF;
  s->SendRaw(test::Join({a, b}));
  s->SendSplit(a, {2, 5});
  s->SendSplit(test::Join({b, a}), {b.size() + 1});  // block ends with one byte of a length field
  s->SendRaw(Bytes{0x00, 0x00, 0x01, 0x00, 0x7F});
  s->SendRaw(big);
  s->SendRaw(b);
  ASSERT_TRUE(c.WaitFor([&] { return c.Telegrams().size() >= 9; }));
  const std::vector<Bytes> got = c.Telegrams();
  ASSERT_EQ(got.size(), 9u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);
  EXPECT_EQ(got[2], a);
  EXPECT_EQ(got[3], b);
  EXPECT_EQ(got[4], a);
  EXPECT_EQ(got[5], (Bytes{0x00, 0x00}));
  EXPECT_EQ(got[6], (Bytes{0x01, 0x00, 0x7F}));
  EXPECT_EQ(got[7].size(), 65537u);
  EXPECT_EQ(got[8], b);
  EXPECT_EQ(c.GetState(), kStateConnected);
}

TEST(Connection, ConcurrentSendersKeepTelegramsWhole) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  gw.SetHandler([](test::Session&, const test::ReceivedTelegram& t) {
    return t.command == 0x0101 || t.command == 0x0102 ? test::Action::kDefault : test::Action::kHandled;
  });
  RecordingConnection c;
  ASSERT_EQ(ConnectTo(c, gw), kTransportOk);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&c, i] {
      const Bytes payload(3000, static_cast<uint8_t>(i));
      const Bytes telegram = test::MakeTelegram(0x0111, static_cast<uint16_t>(i), payload);
      for (int n = 0; n < 50; ++n) EXPECT_EQ(c.Send(telegram.data(), telegram.size(), 2000), kTransportOk);
    });
  }
  for (auto& t : threads) t.join();
  auto s = gw.WaitForSession(0);
  ASSERT_TRUE(s->WaitForTelegramCount(1 + 200));
  for (const auto& t : s->telegrams()) EXPECT_TRUE(t.checksum_ok) << t.Describe();
}

TEST(Connection, DestroyingConnectedConnectionIsPrompt) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  std::vector<long> micros;
  for (int i = 0; i < 20; ++i) {
    auto c = std::make_unique<RecordingConnection>();
    ASSERT_EQ(ConnectTo(*c, gw), kTransportOk);
    const auto start = Clock::now();
    c.reset();  // disconnect handshake, then the threads stop
    micros.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count()));
  }
  std::sort(micros.begin(), micros.end());
  // Well below the receive loop's one-second poll: the threads are woken, not waited out.
  EXPECT_LT(micros[micros.size() / 2], 200000);
  EXPECT_LT(micros.back(), 900000);
  std::printf("destroy connected connection: median %ld us, max %ld us\n", micros[micros.size() / 2], micros.back());
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// Connections opened and closed in a loop beside long-lived ones: descriptor numbers get
// reused, and no telegram may ever reach a connection other than the one it was sent to.
TEST(Connection, ReusedDescriptorsNeverCrossTelegrams) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok());
  RecordingConnection a, b;
  ASSERT_EQ(ConnectTo(a, gw), kTransportOk);
  auto session_a = gw.WaitForSession(0);
  ASSERT_EQ(ConnectTo(b, gw), kTransportOk);
  auto session_b = gw.WaitForSession(1);
  ASSERT_NE(session_a, nullptr);
  ASSERT_NE(session_b, nullptr);

  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    for (uint16_t n = 0; !stop.load(); ++n) {
      session_a->SendTelegram(0x8110, n, {0, 0xAA});
      session_b->SendTelegram(0x8110, n, {0, 0xBB});
      std::this_thread::sleep_for(Millis(1));
    }
  });
  int churned = 0;
  // Closed connections stay around for a while, as handles an application has not yet
  // released do, while new ones are opened.
  std::vector<std::unique_ptr<RecordingConnection>> closed;
  for (int i = 0; i < 60; ++i) {
    auto c = std::make_unique<RecordingConnection>();
    if (ConnectTo(*c, gw) == kTransportOk) ++churned;
    auto s = gw.WaitForSession(2 + static_cast<std::size_t>(i));
    if (s != nullptr) s->SendTelegram(0x8110, 1, {0, 0xCC});
    if (i % 2 == 0) {
      c->Disconnect(1000);
    } else if (s != nullptr) {
      s->Close();  // the gateway ends this one
    }
    closed.push_back(std::move(c));
    if (closed.size() > 8) closed.erase(closed.begin());
  }
  closed.clear();
  stop = true;
  feeder.join();
  EXPECT_EQ(churned, 60);
  const auto only = [](const std::vector<Bytes>& got, uint8_t marker) {
    for (const Bytes& t : got)
      if (t.size() < 8 || t[7] != marker) return false;
    return !got.empty();
  };
  EXPECT_TRUE(only(a.Telegrams(), 0xAA));
  EXPECT_TRUE(only(b.Telegrams(), 0xBB));
  EXPECT_EQ(a.GetState(), kStateConnected);
  EXPECT_EQ(b.GetState(), kStateConnected);
}

}  // namespace
}  // namespace korvane
