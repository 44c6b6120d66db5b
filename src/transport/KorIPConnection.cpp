#include "transport/KorIPConnection.h"

#include "platform/clock.h"
#include "protocol/telegram_codec.h"

namespace korvane {

namespace {
// Confirmations sent from the receive thread get this long.
constexpr uint32_t kAnswerTimeoutMs = 1000;
// The receive loop looks at its state and stop request at least this often.
constexpr int kReadPollMs = 1000;
constexpr uint32_t kMinTickMs = 10;
// While callers read for themselves, the receive thread checks this often whether they are done.
constexpr uint32_t kParkMs = 5;
}  // namespace

class CKorIPConnection::CReadThread : public CKorThread {
 public:
  explicit CReadThread(CKorIPConnection* connection) : connection_(connection) {}
  ~CReadThread() override { Stop(); }
  using CKorThread::SleepUnlessStopped;
  using CKorThread::StopRequested;

 protected:
  void Run() override { connection_->ReadLoop(*this); }

 private:
  CKorIPConnection* connection_;
};

class CKorIPConnection::CAliveThread : public CKorThread {
 public:
  explicit CAliveThread(CKorIPConnection* connection) : connection_(connection) {}
  ~CAliveThread() override { Stop(); }
  using CKorThread::SleepUnlessStopped;
  using CKorThread::StopRequested;

 protected:
  void Run() override { connection_->AliveLoop(*this); }

 private:
  CKorIPConnection* connection_;
};

CKorIPConnection::CKorIPConnection() = default;

CKorIPConnection::~CKorIPConnection() {
  if (state_.load() == kStateConnected) Disconnect(500);
  StopThreads();
}

void CKorIPConnection::StopThreads() {
  // A receive thread still polling a connected socket wakes only when the socket closes.
  Close();
  read_thread_.reset();
  alive_thread_.reset();
}

int CKorIPConnection::Connect(uint8_t device_kind, const std::vector<uint8_t>& connect_data, const char* host,
                              uint16_t port, uint32_t timeout_ms) {
  int expected = kStateClosed;
  if (state_.load() == kStateUnavailable) return kTransportUnavailable;
  if (!state_.compare_exchange_strong(expected, kStateConnecting)) return kTransportNotAllowed;

  device_kind_ = device_kind;
  const uint16_t low = static_cast<uint16_t>((device_kind & 0x7F) << 8);
  const uint16_t high = static_cast<uint16_t>(device_kind << 8);
  codes_[kConnectReq] = low | 0x01;
  codes_[kConnectConf] = high | 0x8001;
  codes_[kDisconnectReq] = low | 0x02;
  codes_[kDisconnectConf] = high | 0x8002;
  codes_[kKeepAliveReq] = low | 0x0D;
  codes_[kKeepAliveConf] = high | 0x800D;
  keepalive_mode_.store(0);
  connect_event_.Reset();

  const KorTimeVal deadline = deadline::Add(ClockNow(), deadline::FromMillis(timeout_ms));
  const int opened = OpenStream(host, port, timeout_ms);
  if (opened != kTransportOk) {
    state_.store(kStateClosed);
    return opened;
  }
  peer_text_.clear();
  PeerAddressText(peer_address_, &peer_text_);
  host_ = host;
  port_ = port;
  // A receive run of an earlier connection must have ended before a new one starts.
  if (read_thread_ && read_thread_->GetState() != CKorThread::kRunning) read_thread_->Stop();
  {
    CKorLock lock(reader_mutex_);
    cutter_.Clear();
  }
  state_.store(kStateConnected);
  if (!read_thread_) read_thread_ = std::make_unique<CReadThread>(this);
  if (read_thread_->GetState() != CKorThread::kRunning) read_thread_->Start();

  const CKorMsg request(codes_[kConnectReq], connect_data.data(), 1, connect_data.size());
  const int sent = SendTelegram(request, deadline::MillisLeft(deadline, ClockNow()));
  if (sent != kTransportOk) {
    Close();
    return sent;
  }
  if (!connect_event_.Wait(deadline::MillisLeft(deadline, ClockNow()))) {
    Close();
    return kTransportTimeout;
  }
  const uint8_t answer = connect_result_.load();
  if (answer != 0) {
    Close();
    return answer == 1 ? kTransportRefused : kTransportNotConnected;
  }
  OnConnectionState(1);
  return kTransportOk;
}

int CKorIPConnection::Send(const uint8_t* bytes, std::size_t length, uint32_t timeout_ms) {
  const int state = state_.load();
  if (state == kStateClosed) return kTransportNotConnected;
  if (state == kStateUnavailable) return kTransportUnavailable;
  if (state != kStateConnected) return kTransportNotAllowed;
  if (length == 0) return kTransportOk;

  CKorLock lock(send_mutex_);
  std::size_t done = 0;
  // The socket usually takes a telegram at once; wait for it only when it does not.
  const platform::SocketHandle first = socket_.load();
  if (first == platform::kInvalidSocket) return kTransportNotConnected;
  const long sent = platform::SendNow(first, bytes, length);
  if (sent == -1) return kTransportSocketError;
  if (sent > 0) done = static_cast<std::size_t>(sent);
  if (done == length) return kTransportOk;
  const KorTimeVal deadline = deadline::Add(ClockNow(), deadline::FromMillis(timeout_ms));
  uint32_t wait_ms = timeout_ms;
  for (;;) {
    const platform::SocketHandle s = socket_.load();
    if (s == platform::kInvalidSocket) return kTransportNotConnected;  // closed while we waited for the lock
    platform::PollEntry entry;
    entry.socket = s;
    entry.want_write = true;
    const int rc = platform::Poll(&entry, 1, static_cast<int>(wait_ms > 0x7FFFFFFF ? 0x7FFFFFFF : wait_ms));
    if (rc == 0) {
      Close();
      return kTransportTimeout;
    }
    if (rc < 0 || entry.failed) {
      Close();
      return kTransportSocketError;
    }
    const long n = platform::Send(s, bytes + done, length - done);
    if (n < 0) return kTransportSocketError;
    done += static_cast<std::size_t>(n);
    if (done == length) return kTransportOk;
    const KorTimeVal now = ClockNow();
    if (deadline::Passed(deadline, now)) {
      Close();
      return kTransportTimeout;
    }
    wait_ms = deadline::MillisLeft(deadline, now);
  }
}

int CKorIPConnection::SendTelegram(const CKorMsg& telegram, uint32_t timeout_ms) {
  const std::vector<uint8_t> bytes = telegram.Serialize();
  return Send(bytes.data(), bytes.size(), timeout_ms);
}

int CKorIPConnection::Disconnect(uint32_t timeout_ms) {
  if (state_.load() != kStateConnected) return kTransportNotAllowed;
  // A stale confirmation must not answer this request.
  disconnect_event_.Reset();
  disconnect_confirmed_.store(false);
  const CKorMsg request(codes_[kDisconnectReq], nullptr, 0, 0);
  BeginCallerWait();
  int result = SendTelegram(request, timeout_ms);
  if (result == kTransportOk) {
    result = WaitForDisconnectConfirmation(timeout_ms)
                 ? (disconnect_result_.load() == 0 ? kTransportOk : kTransportSocketError)
                 : kTransportTimeout;
  }
  EndCallerWait();
  Close();
  return result;
}

bool CKorIPConnection::WaitForDisconnectConfirmation(uint32_t timeout_ms) {
  // Reads the socket on this thread like a waiting caller, so the answer needs no hand-over
  // from a receive thread that may be standing aside.
  const auto confirmed = [this] { return disconnect_confirmed_.load(); };
  const int64_t deadline_us = platform::MonotonicMicros() + static_cast<int64_t>(timeout_ms) * 1000;
  for (;;) {
    if (confirmed()) return true;
    const int64_t left_ms = (deadline_us - platform::MonotonicMicros()) / 1000;
    if (left_ms < 0) return false;
    const int slice = static_cast<int>(left_ms < kReadPollMs ? left_ms : kReadPollMs);
    switch (Pump(slice, confirmed)) {
      case PumpResult::kDone:
        return true;
      case PumpResult::kBusy:
        disconnect_event_.Wait(1);
        break;
      case PumpResult::kClosed:
        return disconnect_event_.Wait(static_cast<uint32_t>(left_ms)) || confirmed();
      case PumpResult::kIdle:
        break;
    }
  }
}

bool CKorIPConnection::BeginClose() {
  int expected = kStateConnected;
  return state_.compare_exchange_strong(expected, kStateClosing);
}

int CKorIPConnection::Close() {
  if (!BeginClose()) return kTransportNotAllowed;
  OnConnectionState(0);
  CloseSocket();
  return kTransportOk;
}

void CKorIPConnection::ConnectionLost() {
  if (!BeginClose()) return;
  OnConnectionState(0);
  CloseSocket();
}

void CKorIPConnection::ReceiveOnce(platform::SocketHandle s) {
  Deliver(platform::Recv(s, cutter_.WritePointer(), cutter_.WantBytes()));
}

void CKorIPConnection::Deliver(long n) {
  if (n <= 0) {
    ConnectionLost();
    return;
  }
  cutter_.Commit(static_cast<std::size_t>(n),
                 [this](const uint8_t* frame, std::size_t length) { DispatchTelegram(frame, length); });
}

void CKorIPConnection::ReadLoop(CReadThread& thread) {
  const platform::SocketHandle s = socket_.load();
  if (thread.StopRequested()) return;
  for (;;) {
    if (state_.load() != kStateConnected) break;
    if (waiting_callers_.load() > 0) {
      // A caller reads the socket itself while it waits; look again shortly.
      if (thread.SleepUnlessStopped(kParkMs)) break;
      continue;
    }
    platform::PollEntry entry;
    entry.socket = s;
    entry.want_read = true;
    const int rc = platform::Poll(&entry, 1, kReadPollMs);
    if (rc < 0) {
      ConnectionLost();
    } else if (rc > 0 && reader_mutex_.TryLock()) {
      // Another reader may have taken the bytes since the poll: look again under the lock,
      // so that receiving never blocks.
      platform::PollEntry again = entry;
      if (platform::Poll(&again, 1, 0) > 0) ReceiveOnce(s);
      reader_mutex_.Unlock();
    }
    if (thread.StopRequested()) break;
  }
  CKorLock lock(reader_mutex_);
  cutter_.Clear();
}

CKorIPConnection::PumpResult CKorIPConnection::Pump(int timeout_ms, const std::function<bool()>& done) {
  if (state_.load() != kStateConnected) return PumpResult::kClosed;
  if (!reader_mutex_.TryLock()) return PumpResult::kBusy;
  PumpResult result = PumpResult::kIdle;
  const platform::SocketHandle s = socket_.load();
  if (done()) {
    result = PumpResult::kDone;  // dispatched by the receive thread before we took over
  } else if (s == platform::kInvalidSocket || state_.load() != kStateConnected) {
    result = PumpResult::kClosed;
  } else {
    const long n = platform::RecvWait(s, cutter_.WritePointer(), cutter_.WantBytes(), timeout_ms);
    if (n != platform::kWouldBlock) {
      Deliver(n);
      result = n <= 0 ? PumpResult::kClosed : done() ? PumpResult::kDone : PumpResult::kIdle;
    }
  }
  reader_mutex_.Unlock();
  return result;
}

void CKorIPConnection::DispatchTelegram(const uint8_t* bytes, std::size_t length) {
  if (keepalive_mode_.load() != 0) keepalive_last_receipt_.store(keepalive_ticks_.load());
  if (length < codec::kOverhead) {
    OnTelegram(bytes, length);
    return;
  }
  const uint16_t command = codec::ReadLE16(bytes + 2);
  if (command == codes_[kKeepAliveReq]) {
    OnKeepAliveRequest(bytes, length);
  } else if (command == codes_[kKeepAliveConf]) {
    // nothing to do: the library never asks for keep-alive itself
  } else if (command == codes_[kConnectReq]) {
    const CKorMsg request(bytes, length);
    if (!request.IsIntact()) return;
    const uint8_t answer = AcceptConnect(request.payload) ? 0 : 0xFF;
    SendTelegram(CKorMsg(codes_[kConnectConf], &answer, request.id, 1), kAnswerTimeoutMs);
    if (answer != 0) Close();
  } else if (command == codes_[kConnectConf] || command == codes_[kDisconnectConf]) {
    const CKorMsg confirmation(bytes, length);
    if (length < 8 || !confirmation.IsIntact()) return;
    if (command == codes_[kConnectConf]) {
      connect_result_.store(confirmation.payload[0]);
      connect_event_.Set();
    } else {
      disconnect_result_.store(confirmation.payload[0]);
      disconnect_confirmed_.store(true);
      disconnect_event_.Set();
    }
  } else if (command == codes_[kDisconnectReq]) {
    const CKorMsg request(bytes, length);
    if (!request.IsIntact()) return;
    const uint8_t answer = 0;
    SendTelegram(CKorMsg(codes_[kDisconnectConf], &answer, request.id, 1), kAnswerTimeoutMs);
    Close();
  } else {
    OnTelegram(bytes, length);
  }
}

void CKorIPConnection::OnKeepAliveRequest(const uint8_t* bytes, std::size_t length) {
  CKorMsg telegram(bytes, length);
  if (!telegram.IsIntact()) return;
  uint8_t answer = 0;
  uint32_t answer_timeout = kAnswerTimeoutMs;
  if (telegram.payload.size() < 4) {
    answer = 0xFF;
  } else {
    const uint32_t interval = codec::ReadLE32(telegram.payload.data());
    keepalive_interval_.store(interval);
    if (interval == 0) {
      keepalive_mode_.store(0);
      StopAliveThread();
    } else {
      answer_timeout = interval;
      if (keepalive_mode_.load() == 0) {
        keepalive_mode_.store(2);
        if (!alive_thread_) {
          alive_thread_ = std::make_unique<CAliveThread>(this);
          alive_thread_->Start();
        }
      }
    }
  }
  const CKorMsg confirmation(codes_[kKeepAliveConf], &answer, telegram.id, 1);
  SendTelegram(confirmation, answer_timeout);
}

void CKorIPConnection::StopAliveThread() { alive_thread_.reset(); }

void CKorIPConnection::AliveLoop(CAliveThread& thread) {
  while (!thread.StopRequested()) {
    if (keepalive_mode_.load() != 0) {
      if (state_.load() != kStateConnected) {
        keepalive_mode_.store(0);
        keepalive_interval_.store(0);
        keepalive_ticks_.store(0);
        keepalive_last_receipt_.store(0);
      } else {
        const uint32_t ticks = keepalive_ticks_.fetch_add(1) + 1;
        if (keepalive_last_receipt_.load() + 4 < ticks) Disconnect(1000);
      }
    }
    const uint32_t quarter = keepalive_interval_.load() / 4;
    // The sleep ends early when the thread is stopped, so stopping never waits it out.
    if (thread.SleepUnlessStopped(quarter >= kMinTickMs ? quarter : kMinTickMs)) return;
  }
}

}  // namespace korvane
