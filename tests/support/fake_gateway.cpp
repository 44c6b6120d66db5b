#include "support/fake_gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

#include "protocol/telegram_codec.h"

namespace korvane::test {

namespace detail {
struct GatewayConfig {
  std::mutex mutex;
  Handler handler;
  uint8_t connect_status = 0;
  std::map<uint16_t, Bytes> reply_data;
  bool read_on_accept = true;
};
}  // namespace detail

namespace {

bool MakeWakePipe(int* read_end, int* write_end) {
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  *read_end = fds[0];
  *write_end = fds[1];
  return true;
}

void Poke(int write_end) {
  const uint8_t b = 1;
  // A full pipe already guarantees a wake-up, so a failed write is harmless.
  [[maybe_unused]] ssize_t n = write(write_end, &b, 1);
}

void Drain(int read_end) {
  uint8_t buf[64];
  while (read(read_end, buf, sizeof buf) > 0) {
  }
}

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

// --- Byte helpers ---------------------------------------------------------------------------

std::string ReceivedTelegram::Describe() const {
  char head[96];
  std::snprintf(head, sizeof head, "cmd=%04X id=%u len=%u payload=[", command, id, length);
  std::string s = head + Hex(payload) + "]";
  if (!length_ok) s += " bad-length raw=[" + Hex(raw) + "]";
  else if (!checksum_ok) s += " bad-checksum";
  return s;
}

Bytes MakeTelegram(uint16_t command, uint16_t id, const Bytes& payload) {
  return codec::Build(command, id, payload.data(), payload.size());
}

Bytes MakeReply(const ReceivedTelegram& request, uint8_t status, const Bytes& data) {
  Bytes payload{status};
  payload.insert(payload.end(), data.begin(), data.end());
  return MakeTelegram(static_cast<uint16_t>(request.command | kReplyFlag), request.id, payload);
}

Bytes WithBadChecksum(Bytes telegram) {
  if (!telegram.empty()) telegram.back() = static_cast<uint8_t>(~telegram.back());
  return telegram;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string Hex(const Bytes& bytes) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", bytes[i]);
    s += b;
  }
  return s;
}

Bytes FromHex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("FromHex: " + text);
    digits += c;
  }
  if (digits.size() % 2 != 0) throw std::invalid_argument("FromHex: odd digit count: " + text);
  for (std::size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

// --- Session --------------------------------------------------------------------------------

Session::Session(int fd, std::size_t index, std::shared_ptr<detail::GatewayConfig> config, bool reading)
    : fd_(fd), index_(index), config_(std::move(config)), reading_(reading) {
  if (!MakeWakePipe(&wake_read_, &wake_write_)) throw std::runtime_error("pipe2 failed");
}

Session::~Session() {
  Stop();
  CloseFd(&wake_read_);
  CloseFd(&wake_write_);
  int fd = fd_;
  CloseFd(&fd);
}

void Session::Start() {
  reader_ = std::thread([this] { ReadLoop(); });
  sender_ = std::thread([this] { SendLoop(); });
}

void Session::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  queue_changed_.notify_all();
  Wake();
  // Unblocks a send stuck on a peer that does not read; the descriptor itself stays
  // allocated until the destructor so its number cannot be reused under a running thread.
  shutdown(fd_, SHUT_RDWR);
  if (reader_.joinable()) reader_.join();
  if (sender_.joinable()) sender_.join();
}

void Session::Wake() { Poke(wake_write_); }

void Session::ReadLoop() {
  Bytes stream;  // received bytes not yet cut into telegrams
  std::vector<uint8_t> chunk(65536);
  for (;;) {
    bool reading;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || reset_) break;
      reading = reading_;
    }
    pollfd fds[2] = {{reading ? fd_ : -1, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) Drain(wake_read_);
    if (!reading || fds[0].revents == 0) continue;

    const ssize_t n = recv(fd_, chunk.data(), chunk.size(), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      bool peer = false;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_ && !reset_) {
          peer_closed_ = true;
          peer_closed_at_ = std::chrono::steady_clock::now();
          peer = true;
        }
      }
      // A gateway closes its side once the peer has gone.
      if (peer) Close();
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.insert(received_.end(), chunk.begin(), chunk.begin() + n);
    }
    changed_.notify_all();

    stream.insert(stream.end(), chunk.begin(), chunk.begin() + n);
    std::size_t pos = 0;
    while (stream.size() - pos >= 2) {
      // The frame is what its length field says, without resynchronisation, like the library.
      const std::size_t frame = std::size_t{codec::ReadLE16(stream.data() + pos)} + 2;
      if (stream.size() - pos < frame) break;
      Record(stream.data() + pos, frame);
      pos += frame;
    }
    stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(pos));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reader_done_ = true;
  }
  changed_.notify_all();
}

void Session::Record(const uint8_t* frame, std::size_t size) {
  ReceivedTelegram t;
  t.raw.assign(frame, frame + size);
  t.received_at = std::chrono::steady_clock::now();
  t.length = codec::ReadLE16(frame);
  codec::View view;
  t.length_ok = codec::Decode(frame, size, &view);
  if (size >= codec::kOverhead) {
    t.command = codec::ReadLE16(frame + 2);
    t.id = codec::ReadLE16(frame + 4);
    t.payload.assign(frame + 6, frame + size - 1);
    t.checksum = frame[size - 1];
  }
  t.checksum_ok =
      t.length_ok && t.checksum == codec::Checksum(t.command, t.id, t.payload.data(), t.payload.size());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    telegrams_.push_back(t);
  }
  changed_.notify_all();
  Dispatch(t);
}

void Session::Dispatch(const ReceivedTelegram& t) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    handler = handler_;
  }
  if (!handler) {
    std::lock_guard<std::mutex> lock(config_->mutex);
    handler = config_->handler;
  }
  Action action = Action::kDefault;
  if (handler) {
    try {
      action = handler(*this, t);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "fake gateway handler threw: " << e.what();
      action = Action::kHandled;
    }
  }
  if (action == Action::kDefault) AnswerDefault(t);
}

void Session::AnswerDefault(const ReceivedTelegram& t) {
  // Confirmations are not answered; a real gateway drops damaged requests.
  if (t.is_reply() || !t.checksum_ok) return;
  switch (t.command & 0xFF) {
    case 0x01: {
      uint8_t status;
      {
        std::lock_guard<std::mutex> lock(config_->mutex);
        status = config_->connect_status;
      }
      Reply(t, status);
      break;
    }
    case 0x02:
      Reply(t, 0);
      Close();
      break;
    default: {
      Bytes data;
      {
        std::lock_guard<std::mutex> lock(config_->mutex);
        auto it = config_->reply_data.find(t.command);
        if (it != config_->reply_data.end()) data = it->second;
      }
      Reply(t, 0, data);
      break;
    }
  }
}

void Session::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

bool Session::Reply(const ReceivedTelegram& request, uint8_t status, const Bytes& data) {
  return SendRaw(MakeReply(request, status, data));
}

void Session::ReplyLater(const ReceivedTelegram& request, Millis delay, uint8_t status, const Bytes& data) {
  SendLater(MakeReply(request, status, data), delay);
}

bool Session::WriteLocked(const uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    // MSG_NOSIGNAL: a peer that has gone must not kill the test process.
    const ssize_t n = send(fd_, data + done, size - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Session::SendRaw(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  return WriteLocked(bytes.data(), bytes.size());
}

bool Session::SendBytewise(const Bytes& bytes, Millis pause) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < bytes.size(); ++i) cuts.push_back(i);
  return SendSplit(bytes, cuts, pause);
}

bool Session::SendSplit(const Bytes& bytes, const std::vector<std::size_t>& cuts, Millis pause) {
  std::lock_guard<std::mutex> lock(send_mutex_);
  std::size_t start = 0;
  for (std::size_t cut : cuts) {
    cut = std::min(std::max(cut, start), bytes.size());
    if (!WriteLocked(bytes.data() + start, cut - start)) return false;
    start = cut;
    // Pacing so the pieces travel in separate segments, not a wait for readiness.
    std::this_thread::sleep_for(pause);
  }
  return WriteLocked(bytes.data() + start, bytes.size() - start);
}

bool Session::SendTelegram(uint16_t command, uint16_t id, const Bytes& payload) {
  return SendRaw(MakeTelegram(command, id, payload));
}

bool Session::SendConnectRequest(uint16_t id, const Bytes& payload) {
  return SendTelegram(kCmdConnect, id, payload);
}

bool Session::SendDisconnectRequest(uint16_t id) { return SendTelegram(kCmdDisconnect, id); }

bool Session::SendKeepAlive(uint32_t interval_ms, uint16_t id) {
  Bytes payload;
  codec::AppendLE32(payload, interval_ms);
  return SendTelegram(kCmdKeepAlive, id, payload);
}

void Session::Enqueue(Bytes bytes, Millis delay, bool close_after) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Pending p{std::chrono::steady_clock::now() + delay, next_seq_++, std::move(bytes), close_after};
    auto at = std::upper_bound(queue_.begin(), queue_.end(), p.due,
                               [](const SteadyTime& due, const Pending& q) { return due < q.due; });
    queue_.insert(at, std::move(p));
  }
  queue_changed_.notify_all();
}

void Session::SendLater(const Bytes& bytes, Millis delay) { Enqueue(bytes, delay, false); }

void Session::CloseLater(Millis delay) { Enqueue({}, delay, true); }

void Session::SendLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (queue_.empty()) {
      queue_changed_.wait(lock);
      continue;
    }
    const SteadyTime due = queue_.front().due;
    if (std::chrono::steady_clock::now() < due) {
      queue_changed_.wait_until(lock, due);
      continue;
    }
    Pending p = std::move(queue_.front());
    queue_.erase(queue_.begin());
    lock.unlock();
    if (!p.bytes.empty()) SendRaw(p.bytes);
    if (p.close) Close();
    lock.lock();
  }
}

void Session::Close() {
  // After any write in progress, so a telegram being sent goes out whole.
  std::lock_guard<std::mutex> send_lock(send_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
  shutdown(fd_, SHUT_WR);
}

void Session::Reset() {
  std::lock_guard<std::mutex> send_lock(send_mutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reset_) return;
    closed_ = true;
    reset_ = true;
  }
  // Linger 0 makes the final close send RST. The old socket is closed by putting a fresh,
  // unconnected one in its place: the descriptor number stays ours, so the reader can never
  // touch a number reused by someone else. The reader's poll holds the old socket until the
  // wake-up below lets go of it.
  const linger abort_on_close{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  const int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fresh >= 0) {
    dup2(fresh, fd_);
    close(fresh);
  }
  changed_.notify_all();
  Wake();
}

bool Session::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

void Session::PauseReading() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = false;
  }
  Wake();
}

void Session::ResumeReading() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = true;
  }
  Wake();
}

std::vector<ReceivedTelegram> Session::telegrams() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return telegrams_;
}

std::size_t Session::telegram_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return telegrams_.size();
}

Bytes Session::received_bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool Session::peer_closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_closed_;
}

SteadyTime Session::peer_closed_at() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peer_closed_at_;
}

bool Session::WaitForTelegram(const std::function<bool(const ReceivedTelegram&)>& pred,
                              ReceivedTelegram* out, Millis timeout, std::size_t from) {
  const SteadyTime deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t next = from;
  for (;;) {
    for (; next < telegrams_.size(); ++next) {
      if (pred(telegrams_[next])) {
        if (out != nullptr) *out = telegrams_[next];
        return true;
      }
    }
    if (reader_done_ || std::chrono::steady_clock::now() >= deadline) return false;
    changed_.wait_until(lock, deadline);
  }
}

bool Session::WaitForCommand(uint16_t command, ReceivedTelegram* out, Millis timeout, std::size_t from) {
  return WaitForTelegram([command](const ReceivedTelegram& t) { return t.command == command; }, out,
                         timeout, from);
}

bool Session::WaitForTelegramCount(std::size_t count, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return telegrams_.size() >= count || reader_done_; });
  return telegrams_.size() >= count;
}

bool Session::WaitForByteCount(std::size_t count, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return received_.size() >= count || reader_done_; });
  return received_.size() >= count;
}

bool Session::WaitForPeerClose(Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return peer_closed_ || reader_done_; });
  return peer_closed_;
}

// --- FakeGateway ----------------------------------------------------------------------------

namespace {

// Binds a stream socket to the loopback address of family at port; returns the descriptor
// or -1 with *error set.
int BindLoopback(Family family, uint16_t port, std::string* error) {
  const int domain = family == Family::kIPv6 ? AF_INET6 : AF_INET;
  const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (family == Family::kIPv6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(port);
    rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } else {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    rc = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  }
  if (rc != 0) {
    *error = "bind port " + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool FakeGateway::IPv6LoopbackAvailable() {
  static const bool available = [] {
    std::string error;
    const int fd = BindLoopback(Family::kIPv6, 0, &error);
    if (fd < 0) return false;
    close(fd);
    return true;
  }();
  return available;
}

FakeGateway::FakeGateway(Family family, uint16_t port)
    : family_(family), config_(std::make_shared<detail::GatewayConfig>()) {
  int fd = BindLoopback(family, port, &error_);
  if (fd < 0) return;
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    error_ = std::string("listen: ") + std::strerror(errno);
    close(fd);
    return;
  }
  if (!MakeWakePipe(&wake_read_, &wake_write_)) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    close(fd);
    return;
  }
  port_ = ntohs(family == Family::kIPv6 ? reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port
                                        : reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  listen_fd_ = fd;
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeGateway::~FakeGateway() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  session_added_.notify_all();
  if (wake_write_ >= 0) Poke(wake_write_);
  if (acceptor_.joinable()) acceptor_.join();
  CloseFd(&listen_fd_);
  CloseFd(&wake_read_);
  CloseFd(&wake_write_);
  // No lock needed: the acceptor has ended, so nothing adds sessions any more.
  for (const auto& s : sessions_) s->Stop();
}

void FakeGateway::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    if (fds[1].revents != 0) Drain(wake_read_);
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
      ADD_FAILURE() << "fake gateway accept: " << std::strerror(errno);
      return;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool read;
    {
      std::lock_guard<std::mutex> lock(config_->mutex);
      read = config_->read_on_accept;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(fd);
      return;
    }
    std::shared_ptr<Session> s(new Session(fd, sessions_.size(), config_, read));
    s->Start();
    sessions_.push_back(std::move(s));
    session_added_.notify_all();
  }
}

std::size_t FakeGateway::session_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

std::vector<std::shared_ptr<Session>> FakeGateway::sessions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_;
}

std::shared_ptr<Session> FakeGateway::WaitForSession(std::size_t index, Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  session_added_.wait_for(lock, timeout, [&] { return sessions_.size() > index || stopping_; });
  return sessions_.size() > index ? sessions_[index] : nullptr;
}

void FakeGateway::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(config_->mutex);
  config_->handler = std::move(handler);
}

void FakeGateway::SetConnectStatus(uint8_t status) {
  std::lock_guard<std::mutex> lock(config_->mutex);
  config_->connect_status = status;
}

void FakeGateway::SetDefaultReplyData(uint16_t command, Bytes data) {
  std::lock_guard<std::mutex> lock(config_->mutex);
  config_->reply_data[command] = std::move(data);
}

void FakeGateway::SetReadOnAccept(bool read) {
  std::lock_guard<std::mutex> lock(config_->mutex);
  config_->read_on_accept = read;
}

}  // namespace korvane::test
