// The fake gateway itself, driven by a plain client socket: its default answers, what it
// records, its scripts and its bounded waits must be right before protocol tests rely on them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_gateway.h"

namespace korvane::test {
namespace {

using Clock = std::chrono::steady_clock;

// A blocking loopback client whose reads all carry a bound.
class Client {
 public:
  explicit Client(const FakeGateway& gw) {
    const bool v6 = std::strchr(gw.host(), ':') != nullptr;
    fd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int rc;
    if (v6) {
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_addr = in6addr_loopback;
      a.sin6_port = htons(gw.port());
      rc = connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(gw.port());
      rc = connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    connected_ = rc == 0;
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }

  bool Send(const Bytes& b) { return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }

  // Exactly n bytes, or false when the bound passes or the stream ends first.
  bool Read(std::size_t n, Bytes* out, Millis timeout = kDefaultWait) {
    out->clear();
    const auto deadline = Clock::now() + timeout;
    while (out->size() < n) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t got = recv(fd_, buf, std::min(sizeof buf, n - out->size()), 0);
      if (got <= 0) return false;
      out->insert(out->end(), buf, buf + got);
    }
    return true;
  }

  // One telegram by its length field.
  Bytes ReadTelegram(Millis timeout = kDefaultWait) {
    Bytes head, rest;
    if (!Read(2, &head, timeout)) return head;
    if (!Read(std::size_t{head[0]} | std::size_t{head[1]} << 8, &rest, timeout)) return {};
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

  // errno of the first failed recv, 0 for an orderly EOF, -1 when nothing happens in time.
  int ReadError(Millis timeout = kDefaultWait) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
    uint8_t buf[64];
    const ssize_t got = recv(fd_, buf, sizeof buf, 0);
    return got < 0 ? errno : got == 0 ? 0 : -1;
  }

  // Everything until the gateway closes; false if it does not close within the bound.
  bool ReadToEof(Bytes* out, Millis timeout = kDefaultWait) {
    out->clear();
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t got = recv(fd_, buf, sizeof buf, 0);
      if (got == 0) return true;
      if (got < 0) return false;
      out->insert(out->end(), buf, buf + got);
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

const Bytes kConnect = FromHex("05 00 01 01 01 00 01");
const Bytes kDisconnect = FromHex("05 00 02 01 00 00 03");

TEST(FakeGateway, DefaultConnectAndDisconnectOnExactBytes) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  Client c(gw);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.Send(kConnect));
  EXPECT_EQ(Hex(c.ReadTelegram()), "06 00 01 81 01 00 00 81");

  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  ReceivedTelegram t;
  ASSERT_TRUE(s->WaitForCommand(kCmdConnect, &t));
  EXPECT_EQ(Hex(t.raw), "05 00 01 01 01 00 01");
  EXPECT_TRUE(t.length_ok && t.checksum_ok);
  EXPECT_EQ(t.id, 1);
  EXPECT_TRUE(t.payload.empty());

  ASSERT_TRUE(c.Send(kDisconnect));
  Bytes rest;
  ASSERT_TRUE(c.ReadToEof(&rest));  // the gateway closes after its confirmation
  EXPECT_EQ(Hex(rest), "06 00 02 81 00 00 00 83");
  EXPECT_TRUE(s->closed());
  EXPECT_EQ(Hex(s->received_bytes()), Hex(Join({kConnect, kDisconnect})));
  EXPECT_EQ(gw.session_count(), 1u);
}

// Each case sends one telegram and then a probe request; whatever arrives before the probe's
// confirmation is the answer to the telegram (nothing, when it is not answered).
TEST(FakeGateway, DefaultAnswersTable) {
  struct Case {
    const char* name;
    uint8_t connect_status;
    Bytes sent;
    std::string answer;
  };
  const Case cases[] = {
      {"connect accepted", 0, kConnect, "06 00 01 81 01 00 00 81"},
      {"connect refused with 1", 1, kConnect, "06 00 01 81 01 00 01 80"},
      {"connect refused with FF", 0xFF, kConnect, "06 00 01 81 01 00 FF 7E"},
      {"bus reset, id 2", 0, FromHex("05 00 04 01 02 00 07"), "06 00 04 81 02 00 00 87"},
      {"read with default data", 0, MakeTelegram(0x0110, 9, {0x50, 2, 0}),
       Hex(MakeTelegram(0x8110, 9, {0, 0xAA, 0xBB}))},
      {"bad checksum dropped", 0, WithBadChecksum(MakeTelegram(0x0104, 3)), ""},
      {"confirmation not answered", 0, MakeTelegram(0x810D, 7, {0}), ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakeGateway gw;
    ASSERT_TRUE(gw.ok()) << gw.error();
    gw.SetConnectStatus(k.connect_status);
    gw.SetDefaultReplyData(0x0110, {0xAA, 0xBB});
    Client c(gw);
    ASSERT_TRUE(c.Send(k.sent));
    ASSERT_TRUE(c.Send(MakeTelegram(0x0109, 0x4242)));
    Bytes seen;
    for (int i = 0; i < 3; ++i) {
      const Bytes t = c.ReadTelegram();
      ASSERT_FALSE(t.empty());
      if (t == MakeTelegram(0x8109, 0x4242, {0})) break;
      seen.insert(seen.end(), t.begin(), t.end());
    }
    EXPECT_EQ(Hex(seen), k.answer);
  }
}

TEST(FakeGateway, RecordsSplitJoinedAndDamagedTelegramsInOrder) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  gw.SetHandler([](Session&, const ReceivedTelegram&) { return Action::kHandled; });  // silent
  Client c(gw);
  const Bytes a = MakeTelegram(0x0111, 2, {0x50, 1, 2, 3});
  const Bytes b = MakeTelegram(0x0110, 3, {0x50, 4, 0});
  const Bytes split = MakeTelegram(0x0112, 4, {1, 2, 3, 4, 5, 6, 7, 8});
  const Bytes damaged = WithBadChecksum(MakeTelegram(0x0104, 5));
  const Bytes short_frame = FromHex("00 00");  // length 0: a 2-byte frame
  ASSERT_TRUE(c.Send(Join({a, b})));
  for (const Bytes& piece : {Bytes(split.begin(), split.begin() + 1), Bytes(split.begin() + 1, split.begin() + 9),
                             Bytes(split.begin() + 9, split.end())}) {
    ASSERT_TRUE(c.Send(piece));
    std::this_thread::sleep_for(Millis(5));  // separate segments, not a readiness wait
  }
  ASSERT_TRUE(c.Send(Join({damaged, short_frame})));

  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  ASSERT_TRUE(s->WaitForTelegramCount(5));
  const auto t = s->telegrams();
  ASSERT_EQ(t.size(), 5u);
  EXPECT_EQ(t[0].raw, a);
  EXPECT_EQ(t[0].command, 0x0111);
  EXPECT_EQ(t[0].payload, (Bytes{0x50, 1, 2, 3}));
  EXPECT_EQ(t[1].raw, b);
  EXPECT_EQ(t[1].id, 3);
  EXPECT_EQ(t[2].raw, split);
  EXPECT_TRUE(t[2].checksum_ok);
  EXPECT_EQ(t[3].raw, damaged);
  EXPECT_TRUE(t[3].length_ok);
  EXPECT_FALSE(t[3].checksum_ok);
  EXPECT_EQ(t[4].raw, short_frame);
  EXPECT_FALSE(t[4].length_ok);
  EXPECT_EQ(s->received_bytes(), Join({a, b, split, damaged, short_frame}));
}

// Scripts that replace the default answer of the I2C read request id 2.
TEST(FakeGateway, ScriptedRepliesTable) {
  const Bytes request = MakeTelegram(0x0110, 2, {0x50, 1, 0});
  struct Case {
    const char* name;
    std::function<void(Session&, const ReceivedTelegram&)> script;
    std::string wire;  // everything the client reads until the probe's answer or EOF
    bool closes;
  };
  const Case cases[] = {
      {"status 0x20", [](Session& s, const ReceivedTelegram& t) { s.Reply(t, 0x20); },
       "06 00 10 81 02 00 20 B3", false},
      {"data", [](Session& s, const ReceivedTelegram& t) { s.Reply(t, 0, {0x5A}); },
       "07 00 10 81 02 00 00 5A C9", false},
      {"wrong checksum",
       [](Session& s, const ReceivedTelegram& t) { s.SendRaw(WithBadChecksum(MakeReply(t, 0, {0x5A}))); },
       "07 00 10 81 02 00 00 5A 36", false},
      {"other id", [](Session& s, const ReceivedTelegram&) { s.SendTelegram(0x8110, 3, {0}); },
       "06 00 10 81 03 00 00 92", false},
      {"other command", [](Session& s, const ReceivedTelegram& t) { s.SendTelegram(0x8111, t.id, {0}); },
       "06 00 11 81 02 00 00 92", false},
      {"silent", [](Session&, const ReceivedTelegram&) {}, "", false},
      {"close", [](Session& s, const ReceivedTelegram&) { s.Close(); }, "", true},
      {"close inside a telegram",
       [](Session& s, const ReceivedTelegram& t) {
         const Bytes reply = MakeReply(t, 0);
         s.SendRaw(Bytes(reply.begin(), reply.begin() + 4));
         s.Close();
       },
       "06 00 10 81", true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    FakeGateway gw;
    ASSERT_TRUE(gw.ok()) << gw.error();
    gw.SetHandler([&k](Session& s, const ReceivedTelegram& t) {
      if (t.command != 0x0110) return Action::kDefault;
      k.script(s, t);
      return Action::kHandled;
    });
    Client c(gw);
    ASSERT_TRUE(c.Send(Join({request, kConnect})));  // the connect answer is the probe
    Bytes seen;
    if (k.closes) {
      ASSERT_TRUE(c.ReadToEof(&seen));
    } else {
      for (;;) {
        const Bytes t = c.ReadTelegram();
        ASSERT_FALSE(t.empty());
        if (t == FromHex("06 00 01 81 01 00 00 81")) break;
        seen.insert(seen.end(), t.begin(), t.end());
      }
    }
    EXPECT_EQ(Hex(seen), k.wire);
  }
}

TEST(FakeGateway, DelayedRepliesGoOutInDueOrderWhileReadingGoesOn) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  gw.SetHandler([](Session& s, const ReceivedTelegram& t) {
    if (t.command != 0x0110) return Action::kDefault;
    // id 10 waits longest, id 12 shortest: the answers come back reversed.
    s.ReplyLater(t, Millis(100 + 150 * (12 - t.id)), 0, {static_cast<uint8_t>(t.id)});
    return Action::kHandled;
  });
  Client c(gw);
  const auto start = Clock::now();
  ASSERT_TRUE(c.Send(Join({MakeTelegram(0x0110, 10), MakeTelegram(0x0110, 11), MakeTelegram(0x0110, 12),
                           MakeTelegram(0x0109, 13)})));
  std::vector<uint16_t> order;
  for (int i = 0; i < 4; ++i) {
    const Bytes t = c.ReadTelegram();
    ASSERT_GE(t.size(), 7u);
    order.push_back(static_cast<uint16_t>(t[4] | t[5] << 8));
  }
  EXPECT_EQ(order, (std::vector<uint16_t>{13, 12, 11, 10}));
  EXPECT_GE(Clock::now() - start, Millis(400));  // the longest delay was honoured
}

TEST(FakeGateway, BoundedWaitsReturnFalseOnTimeOut) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  EXPECT_EQ(gw.WaitForSession(0, Millis(30)), nullptr);

  auto c = std::make_unique<Client>(gw);
  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  const Millis bound(60);
  auto start = Clock::now();
  EXPECT_FALSE(s->WaitForCommand(0x0110, nullptr, bound));
  EXPECT_FALSE(s->WaitForTelegramCount(1, bound));
  EXPECT_FALSE(s->WaitForByteCount(1, bound));
  EXPECT_FALSE(s->WaitForPeerClose(bound));
  EXPECT_EQ(gw.WaitForSession(1, bound), nullptr);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 5 * bound);
  EXPECT_LT(took, 5 * bound + Millis(2000));

  // Once the peer has gone nothing more can arrive: a long wait ends at once.
  c.reset();
  EXPECT_TRUE(s->WaitForPeerClose());
  start = Clock::now();
  EXPECT_FALSE(s->WaitForCommand(0x0110, nullptr, Millis(20000)));
  EXPECT_LT(Clock::now() - start, Millis(2000));
}

TEST(FakeGateway, SendsItsOwnRequestsAndPacedBytes) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  Client c(gw);
  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);

  ASSERT_TRUE(s->SendConnectRequest());
  EXPECT_EQ(Hex(c.ReadTelegram()), "05 00 01 01 01 00 01");
  ASSERT_TRUE(s->SendKeepAlive(1000, 7));
  EXPECT_EQ(Hex(c.ReadTelegram()), "09 00 0D 01 07 00 E8 03 00 00 E0");
  ASSERT_TRUE(s->SendDisconnectRequest());
  EXPECT_EQ(Hex(c.ReadTelegram()), "05 00 02 01 00 00 03");

  const Bytes two = Join({MakeTelegram(0x8110, 4, {0, 1, 2}), MakeTelegram(0x8111, 5, {0})});
  ASSERT_TRUE(s->SendBytewise(two, Millis(1)));
  ASSERT_TRUE(s->SendSplit(two, {1, 9, 12}, Millis(1)));
  Bytes got;
  ASSERT_TRUE(c.Read(2 * two.size(), &got));
  EXPECT_EQ(got, Join({two, two}));

  s->Close();
  Bytes rest;
  EXPECT_TRUE(c.ReadToEof(&rest));
  EXPECT_TRUE(rest.empty());
}

TEST(FakeGateway, ResetReachesThePeerAsConnectionReset) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  Client c(gw);
  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  s->Reset();
  EXPECT_TRUE(s->closed());
  EXPECT_EQ(c.ReadError(), ECONNRESET);
  EXPECT_FALSE(s->peer_closed());
}

TEST(FakeGateway, StopsReadingUntilResumed) {
  FakeGateway gw;
  ASSERT_TRUE(gw.ok()) << gw.error();
  gw.SetReadOnAccept(false);
  Client c(gw);
  ASSERT_TRUE(c.Send(kConnect));
  auto s = gw.WaitForSession(0);
  ASSERT_NE(s, nullptr);
  EXPECT_FALSE(s->WaitForByteCount(1, Millis(100)));
  s->ResumeReading();
  EXPECT_EQ(Hex(c.ReadTelegram()), "06 00 01 81 01 00 00 81");
  EXPECT_TRUE(s->WaitForCommand(kCmdConnect));
}

TEST(FakeGateway, SeparateSessionsAndPromptShutdown) {
  auto gw = std::make_unique<FakeGateway>();
  ASSERT_TRUE(gw->ok()) << gw->error();
  Client c0(*gw), c1(*gw);
  ASSERT_TRUE(c0.Send(MakeTelegram(0x0104, 100)));
  ASSERT_NE(gw->WaitForSession(0), nullptr);
  ASSERT_TRUE(c1.Send(MakeTelegram(0x0104, 200)));
  auto s1 = gw->WaitForSession(1);
  ASSERT_NE(s1, nullptr);
  EXPECT_EQ(Hex(c0.ReadTelegram()), Hex(MakeTelegram(0x8104, 100, {0})));
  EXPECT_EQ(Hex(c1.ReadTelegram()), Hex(MakeTelegram(0x8104, 200, {0})));
  ReceivedTelegram t;
  ASSERT_TRUE(s1->WaitForCommand(0x0104, &t));
  EXPECT_EQ(t.id, 200);
  EXPECT_EQ(s1->telegram_count(), 1u);

  // Neither a reply queued far ahead nor a session that does not read holds shutdown up.
  s1->SendLater(MakeTelegram(0x8104, 201, {0}), Millis(60000));
  gw->sessions()[0]->PauseReading();
  const auto start = Clock::now();
  gw.reset();
  EXPECT_LT(Clock::now() - start, Millis(1000));
  Bytes rest;
  EXPECT_TRUE(c0.ReadToEof(&rest));
  EXPECT_TRUE(c1.ReadToEof(&rest));
  EXPECT_TRUE(rest.empty());
  EXPECT_EQ(s1->telegram_count(), 1u);  // records outlive the gateway
}

TEST(FakeGateway, ListensOnAGivenPortOrSaysWhy) {
  FakeGateway first;
  ASSERT_TRUE(first.ok()) << first.error();
  FakeGateway taken(Family::kIPv4, first.port());
  EXPECT_FALSE(taken.ok());
  EXPECT_NE(taken.error().find("bind"), std::string::npos) << taken.error();

  // Port-index arithmetic needs 5000 + 100 * i; some index is free on any sane machine.
  std::unique_ptr<FakeGateway> at;
  for (int i = 0; i < 100 && !(at && at->ok()); ++i)
    at = std::make_unique<FakeGateway>(Family::kIPv4, static_cast<uint16_t>(5000 + 100 * i));
  ASSERT_TRUE(at && at->ok());
  EXPECT_EQ((at->port() - 5000) % 100, 0);
  Client c(*at);
  ASSERT_TRUE(c.Send(kConnect));
  EXPECT_EQ(Hex(c.ReadTelegram()), "06 00 01 81 01 00 00 81");
}

TEST(FakeGateway, ServesIPv6Loopback) {
  if (!FakeGateway::IPv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 on this machine";
  FakeGateway gw(Family::kIPv6);
  ASSERT_TRUE(gw.ok()) << gw.error();
  EXPECT_STREQ(gw.host(), "::1");
  Client c(gw);
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(c.Send(kConnect));
  EXPECT_EQ(Hex(c.ReadTelegram()), "06 00 01 81 01 00 00 81");
}

}  // namespace
}  // namespace korvane::test
