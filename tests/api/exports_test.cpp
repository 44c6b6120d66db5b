// The exported functions end to end against the fake gateway on loopback.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "KorvaneI2C.h"
#include "api/DeviceRegistry.h"
#include "support/fake_gateway.h"

namespace korvane {
namespace {

using test::Action;
using test::Bytes;
using test::FakeGateway;
using test::Hex;
using test::Millis;
using test::ReceivedTelegram;
using test::Session;
using Clock = std::chrono::steady_clock;

// A fake gateway on a free port 5000 + 100 * index, where the open functions can reach it.
struct IndexedGateway {
  std::unique_ptr<FakeGateway> gw;
  int index = -1;

  IndexedGateway() {
    std::mt19937 rng(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100 && index < 0; ++attempt) {
      const int i = static_cast<int>(rng() % 99) + 1;
      auto candidate = std::make_unique<FakeGateway>(test::Family::kIPv4, static_cast<uint16_t>(5000 + 100 * i));
      if (candidate->ok()) {
        gw = std::move(candidate);
        index = i;
      }
    }
  }
};

class Exports : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(g_.index, 0) << "no free port index"; }
  void TearDown() override {
    if (handle_ > 0) I2CCloseDevice(handle_);
  }

  // Opens a device with the given time-out and returns its session on the gateway.
  std::shared_ptr<Session> Open(int timeout_ms = 1000) {
    const std::size_t sessions = g_.gw->session_count();
    EXPECT_EQ(I2COpenDeviceEx(&handle_, 100, g_.index, "127.0.0.1", timeout_ms), 0);
    return g_.gw->WaitForSession(sessions);
  }

  // Scripts the reply to the next request with the given command.
  void AnswerWith(const std::shared_ptr<Session>& s, uint16_t command, std::function<void(Session&, const ReceivedTelegram&)> f) {
    s->SetHandler([command, f](Session& session, const ReceivedTelegram& t) {
      if (t.command != command) return Action::kDefault;
      f(session, t);
      return Action::kHandled;
    });
  }

  // The last request with the given command that the gateway received.
  ReceivedTelegram LastRequest(const std::shared_ptr<Session>& s, uint16_t command) {
    ReceivedTelegram last;
    for (const auto& t : s->telegrams())
      if (t.command == command) last = t;
    return last;
  }

  IndexedGateway g_;
  int handle_ = -1;
};

TEST_F(Exports, OpenSequenceOnTheWire) {
  auto s = Open();
  ASSERT_NE(s, nullptr);
  ASSERT_GT(handle_, 0);
  ASSERT_EQ(I2CReset(handle_), 0);
  ASSERT_EQ(I2CReset(handle_), 0);
  const auto t = s->telegrams();
  ASSERT_GE(t.size(), 4u);
  EXPECT_EQ(Hex(t[0].raw), "05 00 01 01 01 00 01");
  EXPECT_EQ(Hex(t[1].raw), "09 00 07 01 02 00 A0 86 01 00 23");
  EXPECT_EQ(Hex(t[2].raw), "05 00 04 01 03 00 06");
  EXPECT_EQ(t[3].id, 4);
  const int closing = handle_;
  EXPECT_EQ(I2CCloseDevice(closing), 0);
  handle_ = -1;
  ReceivedTelegram d;
  ASSERT_TRUE(s->WaitForCommand(0x0102, &d));
  EXPECT_EQ(Hex(d.raw), "05 00 02 01 00 00 03");
  EXPECT_EQ(I2CCloseDevice(closing), KORVANE_INVALID_HANDLE);
  EXPECT_EQ(I2CReset(closing), KORVANE_INVALID_HANDLE);
}

TEST_F(Exports, BitRates) {
  struct Case {
    int bitrate;
    const char* payload;
  } cases[] = {{100, "A0 86 01 00"}, {400, "80 1A 06 00"}, {1000, "E8 03 00 00"}, {0, "00 00 00 00"}, {100000, "A0 86 01 00"}};
  for (const Case& c : cases) {
    const std::size_t n = g_.gw->session_count();
    int h = 0;
    ASSERT_EQ(I2COpenDeviceEx(&h, c.bitrate, g_.index, "127.0.0.1", 1000), 0);
    auto s = g_.gw->WaitForSession(n);
    ReceivedTelegram t;
    ASSERT_TRUE(s->WaitForCommand(0x0107, &t));
    EXPECT_EQ(Hex(t.payload), c.payload) << c.bitrate;
    EXPECT_EQ(I2CCloseDevice(h), 0);
  }
}

TEST_F(Exports, PortIndexRules) {
  int h = 12345;
  EXPECT_EQ(I2COpenDeviceEx(&h, 100, 100, "127.0.0.1", 500), KORVANE_INVALID_PARAMETER);
  EXPECT_EQ(h, 12345);  // untouched
  struct Case {
    int index;
    uint16_t port;
  } cases[] = {{99, 14900}, {256, 5000}};
  for (const Case& c : cases) {
    FakeGateway gw(test::Family::kIPv4, c.port);
    if (!gw.ok()) {
      std::printf("port %u is taken here; case skipped\n", c.port);
      continue;
    }
    ASSERT_EQ(I2COpenDeviceEx(&h, 100, c.index, "127.0.0.1", 1000), 0) << c.index;
    EXPECT_NE(gw.WaitForSession(0), nullptr);
    EXPECT_EQ(I2CCloseDevice(h), 0);
    if (c.port == 5000) {
      ASSERT_EQ(I2COpenDevice(&h, 100, "127.0.0.1", 1000), 0);  // always port 5000
      EXPECT_NE(gw.WaitForSession(1), nullptr);
      EXPECT_EQ(I2CCloseDevice(h), 0);
    }
  }
}

TEST_F(Exports, FailedOpensConsumeHandleNumbers) {
  int first = 0;
  ASSERT_EQ(I2COpenDeviceEx(&first, 100, g_.index, "127.0.0.1", 1000), 0);
  g_.gw->SetConnectStatus(1);
  int refused = 0;
  EXPECT_EQ(I2COpenDeviceEx(&refused, 100, g_.index, "127.0.0.1", 1000), KORVANE_CONNECTION_REFUSED);
  EXPECT_EQ(refused, -1);
  g_.gw->SetConnectStatus(0);
  int unreachable = 0;
  EXPECT_EQ(I2COpenDevice(&unreachable, 100, "no-such-host.invalid", 500), KORVANE_NOT_CONNECTED);
  EXPECT_EQ(unreachable, -1);
  int next = 0;
  ASSERT_EQ(I2COpenDeviceEx(&next, 100, g_.index, "127.0.0.1", 1000), 0);
  EXPECT_EQ(next, first + 3);
  EXPECT_EQ(I2CCloseDevice(first), 0);
  EXPECT_EQ(I2CCloseDevice(next), 0);
}

TEST_F(Exports, FailedBusConfigurationLeavesNoEntry) {
  g_.gw->SetHandler([](Session& s, const ReceivedTelegram& t) {
    if (t.command != 0x0107) return Action::kDefault;
    s.Reply(t, 0x21);
    return Action::kHandled;
  });
  int h = 0;
  EXPECT_EQ(I2COpenDeviceEx(&h, 100, g_.index, "127.0.0.1", 1000), 0x121);
  EXPECT_EQ(h, -1);
  auto s = g_.gw->WaitForSession(0);
  EXPECT_TRUE(s->WaitForCommand(0x0102));
  EXPECT_EQ(Registry().Count(), 0u);
}

TEST_F(Exports, InvalidHandles) {
  for (int h : {0, -1, 987654}) {
    unsigned char buf[32];
    int value = 5;
    char byte = 'x';
    EXPECT_EQ(I2CRead(h, 0xA0, buf, 4), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CWrite(h, 0xA0, buf, 4, &value), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CReadEEProm(h, 0, 0, buf, 4, 0), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CWriteEEProm(h, 0, 0, buf, 4, 0), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CWriteEEPromPollAck(h, 0, 0, buf, 4, 0, 1), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CReset(h), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CReadDigital(h, &value, &value), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CWriteDigital(h, 1), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CSequence(h, buf, 2, buf, 4, &value, &value), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CRAWStart(h), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CRAWSend(h, 1, 2), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CRAWGet(h, 1, &byte), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CRAWStop(h), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(I2CCloseDevice(h), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(byte, 'x');
    char text[8] = "abcdef";
    EXPECT_EQ(DeviceStatus(h, text, sizeof text), 1);
    EXPECT_STREQ(text, "abcdef");
    EXPECT_EQ(DeviceStatus(h, nullptr, 8), 0);
    EXPECT_EQ(DeviceStatus(h, text, 0), 0);
    unsigned char record[20];
    std::memset(record, 0x77, sizeof record);
    EXPECT_EQ(DeviceInfo(h, record), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Hex(Bytes(record, record + 20)), Hex(Bytes(20, 0)));
    EXPECT_EQ(DeviceInfo(h, nullptr), KORVANE_INVALID_PARAMETER);
  }
}

TEST_F(Exports, WorkedExamplesOfEveryOperation) {
  auto s = Open();
  ASSERT_NE(s, nullptr);
  unsigned char buf[40];

  struct Case {
    const char* name;
    uint16_t command;
    Bytes reply;  // after the status byte 0
    std::function<int()> call;
    const char* payload;
  };
  int reply_value = -1, count = -1, first = 0, second = 0;
  char raw = 0;
  const unsigned char data2[] = {0x12, 0x34};
  const unsigned char data_ee[] = {0x11, 0x22};
  const unsigned char data_poll[] = {0xAA, 0xBB};
  const unsigned char sequence[] = {1, 2, 3, 4};
  std::vector<Case> cases = {
      {"read", 0x0110, {1, 2, 3}, [&] { return I2CRead(handle_, 0xA0, buf, 16); }, "A0 00 10 00"},
      {"write", 0x0111, {0x34, 0x12}, [&] { return I2CWrite(handle_, 0x40, data2, 2, &reply_value); }, "40 00 12 34"},
      {"reset", 0x0104, {}, [&] { return I2CReset(handle_); }, ""},
      {"eeprom read", 0x0112, {}, [&] { return I2CReadEEProm(handle_, 0, 0x1234, buf, 16, 0); }, "A0 00 02 00 00 12 34 10 00"},
      {"eeprom write", 0x0113, {}, [&] { return I2CWriteEEProm(handle_, 1, 0x3A5, data_ee, 2, 0x0208); },
       "AE 00 01 00 00 03 A5 11 22"},
      {"eeprom poll", 0x0119, {}, [&] { return I2CWriteEEPromPollAck(handle_, 0, 0x10, data_poll, 2, 0x0008, 50); },
       "A0 00 32 00 01 00 00 00 10 AA BB"},
      {"read digital", 0x0140, {1, 2, 3, 4, 5, 6, 7, 8}, [&] { return I2CReadDigital(handle_, &first, &second); }, ""},
      {"write digital", 0x0141, {}, [&] { return I2CWriteDigital(handle_, 0x1234); }, "34 12 00 00"},
      {"sequence", 0x0114, {0x02, 0x00, 0xAA, 0xBB},
       [&] { return I2CSequence(handle_, sequence, 4, buf, 32, &count, &reply_value); }, "20 00 01 02 03 04"},
      {"raw start", 0x0115, {}, [&] { return I2CRAWStart(handle_); }, ""},
      {"raw send", 0x0116, {}, [&] { return I2CRAWSend(handle_, 0x1A0, 1); }, "A0 01"},
      {"raw get", 0x0117, {0x5C}, [&] { return I2CRAWGet(handle_, 1, &raw); }, "01"},
      {"raw stop", 0x0118, {}, [&] { return I2CRAWStop(handle_); }, ""},
  };
  for (const Case& c : cases) {
    g_.gw->SetDefaultReplyData(c.command, c.reply);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(c.call(), 0) << c.name;
    EXPECT_EQ(Hex(LastRequest(s, c.command).payload), c.payload) << c.name;
    if (std::strcmp(c.name, "read") == 0) {
      EXPECT_EQ(Hex(Bytes(buf, buf + 4)), "01 02 03 00");
    }
    if (std::strcmp(c.name, "write") == 0) {
      EXPECT_EQ(reply_value, 0x1234);
    }
    if (std::strcmp(c.name, "sequence") == 0) {
      EXPECT_EQ(count, 2);
      EXPECT_EQ(reply_value, 2);
      EXPECT_EQ(Hex(Bytes(buf, buf + 3)), "AA BB 00");
    }
  }
  EXPECT_EQ(first, 0x04030201);
  EXPECT_EQ(second, 0x08070605);
  EXPECT_EQ(raw, 0x5C);

  // Device information: byte 18 is the device kind unless the reply reaches it.
  g_.gw->SetDefaultReplyData(0x0109, {0xD1, 0xD2, 0xD3, 0xD4});
  unsigned char record[20];
  std::memset(record, 0x77, sizeof record);
  ASSERT_EQ(DeviceInfo(handle_, record), 0);
  EXPECT_EQ(Hex(Bytes(record, record + 20)), "D1 D2 D3 D4 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00");

  // Status text: the string-out convention.
  g_.gw->SetDefaultReplyData(0x010A, {'a', 'b', 'c', 'd', 'e', 'f'});
  struct StatusCase {
    int size, result;
    const char* text;
  } status_cases[] = {{4, 4, "abc"}, {7, 7, "abcdef"}, {6, 6, "abcde"}, {32, 7, "abcdef"}};
  for (const StatusCase& c : status_cases) {
    char text[32];
    EXPECT_EQ(DeviceStatus(handle_, text, c.size), c.result);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(Exports, ReplyFaults) {
  auto s = Open(300);
  ASSERT_NE(s, nullptr);
  struct Case {
    const char* name;
    std::function<void(Session&, const ReceivedTelegram&)> answer;
    int expected;
    const char* buffer;  // first 3 bytes of the read buffer afterwards
  } cases[] = {
      {"silent", [](Session&, const ReceivedTelegram&) {}, KORVANE_TIMEOUT, "EE EE EE"},
      {"bad checksum", [](Session& x, const ReceivedTelegram& t) { x.SendRaw(test::WithBadChecksum(test::MakeReply(t, 0, {1, 2}))); },
       KORVANE_BAD_CHECKSUM, "EE EE EE"},
      {"wrong command", [](Session& x, const ReceivedTelegram& t) { x.SendTelegram(0x8111, t.id, {0, 1, 2}); },
       KORVANE_NOT_CONFIRMED, "EE EE EE"},
      {"empty payload", [](Session& x, const ReceivedTelegram& t) { x.SendTelegram(0x8110, t.id, {}); }, 0xC0100, "EE EE EE"},
      {"status with data", [](Session& x, const ReceivedTelegram& t) { x.Reply(t, 0x20, {7, 8}); }, 0x120, "07 08 EE"},
      {"other id first", [](Session& x, const ReceivedTelegram& t) {
         x.SendTelegram(0x8110, static_cast<uint16_t>(t.id + 1), {0, 9, 9});
         x.Reply(t, 0, {5, 6});
       }, 0, "05 06 EE"},
      {"more data than asked", [](Session& x, const ReceivedTelegram& t) { x.Reply(t, 0, {1, 2, 3, 4, 5}); }, 0, "01 02 EE"},
  };
  for (const Case& c : cases) {
    AnswerWith(s, 0x0110, c.answer);
    unsigned char buf[3] = {0xEE, 0xEE, 0xEE};
    const auto start = Clock::now();
    EXPECT_EQ(I2CRead(handle_, 0xA0, buf, 2), c.expected) << c.name;
    EXPECT_EQ(Hex(Bytes(buf, buf + 3)), c.buffer) << c.name;
    if (c.expected == KORVANE_TIMEOUT) {
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      EXPECT_GE(ms, 299);
      EXPECT_LT(ms, 3000);
    }
  }
  // The reply that comes after its caller gave up never answers a later request.
  AnswerWith(s, 0x0110, [](Session& x, const ReceivedTelegram& t) { x.ReplyLater(t, Millis(350), 0, {0xAB}); });
  unsigned char buf[1] = {0};
  EXPECT_EQ(I2CRead(handle_, 0xA0, buf, 1), KORVANE_TIMEOUT);
  AnswerWith(s, 0x0110, [](Session& x, const ReceivedTelegram& t) { x.ReplyLater(t, Millis(150), 0, {0xCD}); });
  EXPECT_EQ(I2CRead(handle_, 0xA0, buf, 1), 0);
  EXPECT_EQ(buf[0], 0xCD);
  EXPECT_LE(Registry().Lookup(handle_)->client->StoredReplies(), 1u);

  // Failing writes leave the reply value alone; sequences keep their out-arguments.
  AnswerWith(s, 0x0111, [](Session& x, const ReceivedTelegram& t) { x.Reply(t, 0x25, {1, 1}); });
  int value = 77;
  const unsigned char d[1] = {0};
  EXPECT_EQ(I2CWrite(handle_, 0x40, d, 1, &value), 0x125);
  EXPECT_EQ(value, 77);
  AnswerWith(s, 0x0114, [](Session& x, const ReceivedTelegram& t) { x.Reply(t, 0x20, {1, 0, 0x42}); });
  unsigned char result[4] = {0, 0, 0, 0};
  int count = 77;
  EXPECT_EQ(I2CSequence(handle_, d, 1, result, 4, &count, &value), 0x120);
  EXPECT_EQ(count, 77);
  EXPECT_EQ(result[0], 0x42);
}

TEST_F(Exports, OversizedTelegramsAreRefusedUnsent) {
  auto s = Open();
  ASSERT_NE(s, nullptr);
  const std::vector<unsigned char> data(70000, 0x5A);
  const std::size_t before = s->telegram_count();
  EXPECT_EQ(I2CWrite(handle_, 0x40, data.data(), 65527, nullptr), KORVANE_INVALID_PARAMETER);
  EXPECT_EQ(I2CWriteEEProm(handle_, 0, 0, data.data(), 65522, 0), KORVANE_INVALID_PARAMETER);
  EXPECT_EQ(I2CWriteEEPromPollAck(handle_, 0, 0, data.data(), 65520, 0, 1), KORVANE_INVALID_PARAMETER);
  EXPECT_EQ(I2CSequence(handle_, data.data(), 65527, nullptr, 0, nullptr, nullptr), KORVANE_INVALID_PARAMETER);
  EXPECT_EQ(I2CWrite(handle_, 0x40, data.data(), 65526, nullptr), 0);  // the largest that fits
  ASSERT_TRUE(s->WaitForTelegramCount(before + 1));
  EXPECT_EQ(s->telegrams().back().raw.size(), 65535u);
}

TEST_F(Exports, ConnectionLoss) {
  auto s = Open(300);
  ASSERT_NE(s, nullptr);
  AnswerWith(s, 0x0110, [](Session& x, const ReceivedTelegram&) { x.Close(); });
  unsigned char buf[2];
  const auto start = Clock::now();
  EXPECT_EQ(I2CRead(handle_, 0xA0, buf, 2), KORVANE_TIMEOUT);  // the waiting call ends at its time-out
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 299);
  EXPECT_EQ(I2CRead(handle_, 0xA0, buf, 2), KORVANE_NOT_CONNECTED);
  EXPECT_EQ(I2CCloseDevice(handle_), 0);
  handle_ = -1;
}

TEST_F(Exports, ConcurrentCallsOnOneHandleGetTheirOwnData) {
  auto s = Open(5000);
  ASSERT_NE(s, nullptr);
  // Answers each read with its slave address after a random delay, so replies cross.
  std::mt19937 rng(7);
  std::mutex rng_mutex;
  AnswerWith(s, 0x0110, [&](Session& x, const ReceivedTelegram& t) {
    int delay;
    {
      std::lock_guard<std::mutex> lock(rng_mutex);
      delay = static_cast<int>(rng() % 3);
    }
    x.ReplyLater(t, Millis(delay), 0, {t.payload[0], t.payload[1]});
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 50; ++n) {
        const int address = i * 100 + n;
        unsigned char buf[2] = {0, 0};
        const int rc = I2CRead(handle_, address, buf, 2);
        if (rc != 0 || buf[0] != (address & 0xFF) || buf[1] != (address >> 8)) wrong++;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  // Every request took its own telegram id.
  std::set<uint16_t> ids;
  for (const auto& t : s->telegrams())
    if (t.command == 0x0110) ids.insert(t.id);
  EXPECT_EQ(ids.size(), 400u);
}

TEST_F(Exports, CloseRacingACall) {
  auto s = Open(400);
  ASSERT_NE(s, nullptr);
  AnswerWith(s, 0x0110, [](Session&, const ReceivedTelegram&) {});  // never answers reads
  std::atomic<int> rc{-1};
  std::thread caller([&] {
    unsigned char buf[4];
    rc = I2CRead(handle_, 0xA0, buf, 4);
  });
  ASSERT_TRUE(s->WaitForCommand(0x0110));
  const auto start = Clock::now();
  EXPECT_EQ(I2CCloseDevice(handle_), 0);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
  caller.join();
  EXPECT_TRUE(rc == KORVANE_TIMEOUT || rc == KORVANE_NOT_CONNECTED) << std::hex << rc;
  EXPECT_EQ(I2CReset(handle_), KORVANE_INVALID_HANDLE);
  handle_ = -1;
}

TEST_F(Exports, UnloadingTheLibraryClosesOpenHandles) {
  void* lib = dlopen(KORVANE_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  using OpenFn = int (*)(int*, int, int, const char*, int);
  auto open = reinterpret_cast<OpenFn>(dlsym(lib, "I2COpenDeviceEx"));
  ASSERT_NE(open, nullptr);
  int h = 0;
  ASSERT_EQ(open(&h, 100, g_.index, "127.0.0.1", 1000), 0);
  auto s = g_.gw->WaitForSession(0);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(dlclose(lib), 0);
  ReceivedTelegram t;
  EXPECT_TRUE(s->WaitForCommand(0x0102, &t));
  EXPECT_TRUE(s->WaitForPeerClose());
}

}  // namespace
}  // namespace korvane
