#ifndef KORVANE_TESTS_SUPPORT_FAKE_GATEWAY_H
#define KORVANE_TESTS_SUPPORT_FAKE_GATEWAY_H

// A scriptable gateway on real loopback TCP for the protocol tests.
//
//   korvane::test::FakeGateway gw;                       // 127.0.0.1, port chosen by the system
//   ASSERT_TRUE(gw.ok()) << gw.error();
//   ... connect the code under test to gw.host() / gw.port() ...
//   auto s = gw.WaitForSession(0);                       // nullptr if nobody connected in time
//   ASSERT_NE(s, nullptr);
//   korvane::test::ReceivedTelegram t;
//   ASSERT_TRUE(s->WaitForCommand(0x0101, &t));          // false on time-out, never hangs
//   EXPECT_EQ(korvane::test::Hex(t.raw), "05 00 01 01 01 00 01");
//
// Without a script every session answers like a well-behaved gateway:
//   connect request (xx01)    -> confirmation (xx01 | 0x8000), same id, payload {connect status}
//                                (SetConnectStatus, 0 by default)
//   disconnect request (xx02) -> confirmation {0}, then the gateway closes (FIN)
//   any other request         -> confirmation {0} + the default data set for that command
//   confirmations (bit 15 set) are recorded and not answered.
//
// Scripting: SetHandler installs a function called on the session's reader thread for every
// telegram, after it is recorded. It returns Action::kDefault to get the answer above, or
// Action::kHandled after doing whatever the test wants through the session: Reply with any
// status and data, Send any bytes (MakeTelegram with any id or command, WithBadChecksum),
// SendLater to answer after a delay (replies queued with different delays go out in due
// order, so requests can be answered out of order while the session keeps reading), Close,
// or nothing at all (silence). Blocking inside the handler blocks only that session's reading.
// The handler runs on session threads: what it shares with the test needs a lock or atomics.
//
// From the test thread a session can send raw bytes in one write, byte by byte, or split at
// given offsets, well-formed telegrams, and the gateway's own connect, disconnect and
// keep-alive requests; it can close (FIN) or stop reading. Every wait takes a bound and
// returns false (or nullptr) when it passes. The destructor stops every thread and closes
// every socket; sessions still held by the test are stopped too and only keep their records.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::test {

using Bytes = std::vector<uint8_t>;
using Millis = std::chrono::milliseconds;
using SteadyTime = std::chrono::steady_clock::time_point;

// Bound for waits on events that should happen promptly; generous for sanitizer builds.
constexpr Millis kDefaultWait{5000};

// Command codes of device kind 1.
constexpr uint16_t kCmdConnect = 0x0101;
constexpr uint16_t kCmdDisconnect = 0x0102;
constexpr uint16_t kCmdKeepAlive = 0x010D;
constexpr uint16_t kReplyFlag = 0x8000;

// One telegram as cut from the received stream by its length field (length + 2 bytes).
struct ReceivedTelegram {
  Bytes raw;                // the exact bytes on the wire
  uint16_t length = 0;      // length field
  uint16_t command = 0;     // 0 when the frame is shorter than 7 bytes
  uint16_t id = 0;
  Bytes payload;
  uint8_t checksum = 0;     // checksum byte as received
  bool length_ok = false;   // at least 7 bytes and length field = size - 2
  bool checksum_ok = false; // length_ok and the checksum byte matches
  SteadyTime received_at{};

  bool is_reply() const { return (command & kReplyFlag) != 0; }
  // "cmd=8101 id=1 len=6 payload=[00] ok" for failure messages.
  std::string Describe() const;
};

// Wire bytes of a well-formed telegram (length and checksum computed).
Bytes MakeTelegram(uint16_t command, uint16_t id, const Bytes& payload = {});
// Confirmation of request: command | 0x8000, the request's id, payload {status} + data.
Bytes MakeReply(const ReceivedTelegram& request, uint8_t status, const Bytes& data = {});
// The same telegram with its checksum byte inverted.
Bytes WithBadChecksum(Bytes telegram);
// Concatenation, for several telegrams in one write.
Bytes Join(std::initializer_list<Bytes> parts);
// "05 00 01" <-> {0x05, 0x00, 0x01}; FromHex ignores spaces.
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& text);

class Session;

enum class Action { kDefault, kHandled };
using Handler = std::function<Action(Session&, const ReceivedTelegram&)>;

namespace detail {
struct GatewayConfig;
}

// One accepted connection, with a reader thread (records, then runs the handler) and a
// sender thread (delivers SendLater items when due). All methods are thread-safe.
class Session {
 public:
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // 0 for the first connection the gateway accepted, then counting up.
  std::size_t index() const { return index_; }

  // --- What was received ----------------------------------------------------------------
  std::vector<ReceivedTelegram> telegrams() const;
  std::size_t telegram_count() const;
  Bytes received_bytes() const;  // every byte read, in order, including incomplete tails
  bool peer_closed() const;      // the peer's FIN or reset was seen by the reader
  SteadyTime peer_closed_at() const;

  // Waits until a telegram at position >= from satisfies pred; copies it to *out. False when
  // timeout passes first (or the reader has ended without one arriving). pred runs under the
  // session's lock: it must not call the session.
  bool WaitForTelegram(const std::function<bool(const ReceivedTelegram&)>& pred,
                       ReceivedTelegram* out = nullptr, Millis timeout = kDefaultWait,
                       std::size_t from = 0);
  bool WaitForCommand(uint16_t command, ReceivedTelegram* out = nullptr,
                      Millis timeout = kDefaultWait, std::size_t from = 0);
  bool WaitForTelegramCount(std::size_t count, Millis timeout = kDefaultWait);
  bool WaitForByteCount(std::size_t count, Millis timeout = kDefaultWait);
  // Waits for the peer to close its side (EOF or reset). Needs reading to be on.
  bool WaitForPeerClose(Millis timeout = kDefaultWait);

  // --- Scripting ------------------------------------------------------------------------
  // Overrides the gateway's handler for this session; an empty function removes the override.
  void SetHandler(Handler handler);
  // The unscripted answer to t (see the top of this file).
  void AnswerDefault(const ReceivedTelegram& t);
  // Sends MakeReply(request, status, data) now / after delay.
  bool Reply(const ReceivedTelegram& request, uint8_t status, const Bytes& data = {});
  void ReplyLater(const ReceivedTelegram& request, Millis delay, uint8_t status,
                  const Bytes& data = {});

  // --- Sending (from any thread) ----------------------------------------------------------
  // Each returns false when the socket no longer takes the bytes. Sends do not interleave.
  bool SendRaw(const Bytes& bytes);
  // One byte per write with pause between writes.
  bool SendBytewise(const Bytes& bytes, Millis pause = Millis(2));
  // Separate writes cut at the given ascending offsets, with pause between them.
  bool SendSplit(const Bytes& bytes, const std::vector<std::size_t>& cuts, Millis pause = Millis(2));
  bool SendTelegram(uint16_t command, uint16_t id, const Bytes& payload = {});
  // The gateway's own requests (device kind 1).
  bool SendConnectRequest(uint16_t id = 1, const Bytes& payload = {});
  bool SendDisconnectRequest(uint16_t id = 0);
  // Keep-alive request: 4-byte little-endian interval in milliseconds.
  bool SendKeepAlive(uint32_t interval_ms, uint16_t id = 0);
  // Queues bytes for the sender thread to write once delay has passed; items fall due in
  // order of due time (equal due times in queueing order). Never blocks.
  void SendLater(const Bytes& bytes, Millis delay);
  // Queues a Close after delay, ordered with the SendLater items.
  void CloseLater(Millis delay);

  // --- Connection control ---------------------------------------------------------------
  // Sends FIN (shutdown for writing). Reading goes on, so WaitForPeerClose still works.
  void Close();
  // Drops the connection with a reset (RST) instead of FIN: the peer's recv fails with
  // ECONNRESET. Reading ends; the session records nothing more.
  void Reset();
  bool closed() const;  // Close or Reset was called (or the peer closed and we followed)
  // Stops calling recv (the peer's sends then fill the socket buffers) / starts again.
  void PauseReading();
  void ResumeReading();

 private:
  friend class FakeGateway;
  struct Pending {
    SteadyTime due;
    uint64_t seq;
    Bytes bytes;
    bool close;
  };

  Session(int fd, std::size_t index, std::shared_ptr<detail::GatewayConfig> config, bool reading);
  void Start();
  void Stop();
  void ReadLoop();
  void SendLoop();
  void Record(const uint8_t* frame, std::size_t size);
  void Dispatch(const ReceivedTelegram& t);
  bool WriteLocked(const uint8_t* data, std::size_t size);  // caller holds send_mutex_
  void Enqueue(Bytes bytes, Millis delay, bool close);
  void Wake();

  const int fd_;
  const std::size_t index_;
  const std::shared_ptr<detail::GatewayConfig> config_;
  int wake_read_ = -1;  // self-pipe that wakes the reader's poll
  int wake_write_ = -1;

  std::mutex send_mutex_;  // whole writes from concurrent senders

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;  // new telegram, bytes, close, reading state
  std::condition_variable queue_changed_;
  std::vector<ReceivedTelegram> telegrams_;
  Bytes received_;
  bool reading_;
  bool reader_done_ = false;
  bool peer_closed_ = false;
  SteadyTime peer_closed_at_{};
  bool closed_ = false;
  bool reset_ = false;
  bool stopping_ = false;
  Handler handler_;
  std::vector<Pending> queue_;  // kept sorted by (due, seq)
  uint64_t next_seq_ = 0;

  std::thread reader_;
  std::thread sender_;
};

enum class Family { kIPv4, kIPv6 };

class FakeGateway {
 public:
  // Listens on 127.0.0.1 or ::1 at port (0: any free port). Check ok() afterwards: a taken
  // port or a missing ::1 leaves the gateway not listening, with error() saying why.
  explicit FakeGateway(Family family = Family::kIPv4, uint16_t port = 0);
  ~FakeGateway();
  FakeGateway(const FakeGateway&) = delete;
  FakeGateway& operator=(const FakeGateway&) = delete;

  // Whether this machine can listen on ::1.
  static bool IPv6LoopbackAvailable();

  bool ok() const { return listen_fd_ >= 0; }
  const std::string& error() const { return error_; }
  uint16_t port() const { return port_; }
  const char* host() const { return family_ == Family::kIPv6 ? "::1" : "127.0.0.1"; }

  // --- Sessions -------------------------------------------------------------------------
  std::size_t session_count() const;
  std::vector<std::shared_ptr<Session>> sessions() const;
  // The index-th accepted session, waiting for it at most timeout; nullptr on time-out.
  std::shared_ptr<Session> WaitForSession(std::size_t index, Millis timeout = kDefaultWait);

  // --- Behaviour (applies to current and future sessions) ---------------------------------
  void SetHandler(Handler handler);
  // Status byte of connect confirmations: 0 accepts, 1 refuses (connections exhausted).
  void SetConnectStatus(uint8_t status);
  // Answer bytes appended after status 0 in the default confirmation of command.
  void SetDefaultReplyData(uint16_t command, Bytes data);
  // false: sessions accepted from now on never read until ResumeReading.
  void SetReadOnAccept(bool read);

 private:
  void AcceptLoop();

  const Family family_;
  const std::shared_ptr<detail::GatewayConfig> config_;
  int listen_fd_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  uint16_t port_ = 0;
  std::string error_;

  mutable std::mutex mutex_;
  std::condition_variable session_added_;
  std::vector<std::shared_ptr<Session>> sessions_;
  bool stopping_ = false;
  std::thread acceptor_;
};

}  // namespace korvane::test

#endif
