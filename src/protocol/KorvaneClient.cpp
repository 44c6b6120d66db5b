#include "protocol/KorvaneClient.h"

#include "platform/clock.h"
#include "protocol/telegram_codec.h"

namespace korvane {

namespace {
// A caller reading for itself polls in slices of this length (the receive thread's own poll
// length), and re-checks after this long when another thread is reading.
constexpr int64_t kPumpSliceMs = 1000;
constexpr uint32_t kBusyWaitMs = 1;
// The client whose waiting caller is reading the socket on this thread, if any.
thread_local const CKorvaneClient* t_pumping_for = nullptr;
}  // namespace

int32_t MapTransportResult(int transport_result) {
  if (transport_result == kTransportOk) return kResultOk;
  if (transport_result == kTransportRefused) return kResultRefused;
  return static_cast<int32_t>(transport_result) << 16;
}

CKorvaneClient::CKorvaneClient(uint32_t device_kind, int32_t timeout_ms)
    : connection_(this), timeout_ms_(timeout_ms), device_kind_(device_kind) {}

CKorvaneClient::~CKorvaneClient() {
  Shutdown();
  CKorLock lock(map_lock_);
  replies_.clear();
}

void CKorvaneClient::Shutdown() {
  if (connection_.GetState() == kStateConnected) connection_.Disconnect(static_cast<uint32_t>(timeout_ms_));
  // No telegram or notification may reach this client once its destruction has begun.
  connection_.StopThreads();
}

int32_t CKorvaneClient::Connect(const char* host, uint16_t port) {
  if (port == 0) port = device_kind_ == 0 ? 5099 : static_cast<uint16_t>(4999 + device_kind_);
  return MapTransportResult(connection_.Connect(static_cast<uint8_t>(device_kind_), {}, host, port,
                                                static_cast<uint32_t>(timeout_ms_)));
}

int32_t CKorvaneClient::Send(const CKorvaneMsg& request) {
  const std::vector<uint8_t> bytes = request.Serialize();
  return MapTransportResult(connection_.Send(bytes.data(), bytes.size(), static_cast<uint32_t>(timeout_ms_)));
}

int32_t CKorvaneClient::ResetTelegramId() {
  next_id_.store(2);
  return kResultOk;
}

int32_t CKorvaneClient::Disconnect() {
  return MapTransportResult(connection_.Disconnect(static_cast<uint32_t>(timeout_ms_)));
}

int32_t CKorvaneClient::Request(uint16_t command, const std::vector<uint8_t>& payload,
                                std::unique_ptr<CKorvaneMsg>* reply) {
  CKorLock serial(request_lock_);
  const uint16_t id = next_id_.fetch_add(1);
  const CKorvaneMsg request(payload.data(), payload.size(), command, id);
  return Transact(request, reply);
}

int32_t CKorvaneClient::Transact(const CKorvaneMsg& request, std::unique_ptr<CKorvaneMsg>* reply) {
  CKorLock serial(request_lock_);
  reply->reset();
  reply_event_.Reset();
  {
    CKorLock lock(map_lock_);
    awaited_id_ = request.id;
    replies_.erase(request.id);
    reply_stored_.store(false, std::memory_order_relaxed);
  }
  // Registered before sending, so the reply is read by this thread, not handed over.
  connection_.BeginCallerWait();
  const int32_t sent = Send(request);
  if (sent != kResultOk) {
    connection_.EndCallerWait();
    CKorLock lock(map_lock_);
    awaited_id_ = -1;
    return sent;
  }
  *reply = WaitReply(request.id);
  connection_.EndCallerWait();
  if (!*reply) return kResultTimeout;
  if ((*reply)->checksum != (*reply)->CalcChecksum()) return kResultBadChecksum;
  if ((*reply)->command != static_cast<uint16_t>(request.command | 0x8000u)) return kResultNotConfirmed;
  return kResultOk;
}

std::unique_ptr<CKorvaneMsg> CKorvaneClient::WaitReply(uint16_t id) {
  const int64_t deadline_us = platform::MonotonicMicros() + static_cast<int64_t>(timeout_ms_) * 1000;
  std::unique_ptr<CKorvaneMsg> reply = TakeReply(id);
  int64_t remaining_ms = timeout_ms_;
  const auto stored = [this] { return reply_stored_.load(std::memory_order_acquire); };
  while (!reply && remaining_ms >= 0) {
    // Read the socket on this thread while we may; wait for the receive thread's wake-up only
    // when it is reading or the connection is gone.
    t_pumping_for = this;
    const auto pumped = connection_.Pump(static_cast<int>(remaining_ms > kPumpSliceMs ? kPumpSliceMs : remaining_ms), stored);
    t_pumping_for = nullptr;
    if (pumped == CKorIPConnection::PumpResult::kBusy) {
      reply_event_.Wait(kBusyWaitMs);
    } else if (pumped == CKorIPConnection::PumpResult::kClosed) {
      if (!reply_event_.Wait(static_cast<uint32_t>(remaining_ms))) {
        reply = TakeReply(id);  // a reply stored just as the wait ended still counts
        break;
      }
    }
    reply = TakeReply(id);
    if (reply) break;
    const int64_t left_us = deadline_us - platform::MonotonicMicros();
    remaining_ms = left_us < 0 ? -1 : left_us / 1000;
  }
  {
    CKorLock lock(map_lock_);
    awaited_id_ = -1;
  }
  PurgeReplies();
  return reply;
}

std::unique_ptr<CKorvaneMsg> CKorvaneClient::TakeReply(uint16_t id) {
  CKorLock lock(map_lock_);
  auto it = replies_.find(id);
  if (it == replies_.end()) return nullptr;
  std::unique_ptr<CKorvaneMsg> reply = std::move(it->second.reply);
  replies_.erase(it);
  reply_stored_.store(false, std::memory_order_relaxed);
  return reply;
}

void CKorvaneClient::PurgeReplies() {
  {
    CKorLock lock(map_lock_);
    if (replies_.empty()) return;
  }
  // Replies older than timeout / 100 seconds go.
  const int64_t cutoff_us =
      platform::MonotonicMicros() - static_cast<int64_t>(static_cast<uint32_t>(timeout_ms_) / 100) * 1000000;
  CKorLock lock(map_lock_);
  for (auto it = replies_.begin(); it != replies_.end();) {
    it = it->second.arrival_us / 1000 < cutoff_us / 1000 ? replies_.erase(it) : std::next(it);
  }
}

std::size_t CKorvaneClient::StoredReplies() const {
  CKorLock lock(map_lock_);
  return replies_.size();
}

void CKorvaneClient::OnTelegram(const uint8_t* bytes, std::size_t count) {
  codec::View view;
  if (!codec::Decode(bytes, count, &view)) return;  // dropped: not a telegram
  if ((view.command & codec::kReplyBit) == 0) {
    auto request = std::make_unique<CKorvaneMsg>();
    request->Parse(bytes, count);
    OnRequest(request);
    return;
  }
  const int64_t arrival_us = platform::MonotonicMicros();
  CKorLock lock(map_lock_);
  // Late or never asked for: dropped before anything is allocated, so a flood costs little.
  if (awaited_id_ != static_cast<int32_t>(view.id)) return;
  auto reply = std::make_unique<CKorvaneMsg>();
  reply->Parse(bytes, count);
  replies_[view.id] = PendingReply{std::move(reply), arrival_us};
  reply_stored_.store(true, std::memory_order_release);
  // A caller that reads the socket itself looks for its reply as soon as this returns.
  if (t_pumping_for != this) reply_event_.Set();
}

int32_t CKorvaneClient::ReplyResult(const CKorvaneMsg& reply) const {
  const int32_t kind = static_cast<int32_t>((device_kind_ & 0xFFu) << 8);
  if (reply.payload.empty()) return kResultBadConfirmation | kind;
  const uint8_t status = reply.payload[0];
  return status == 0 ? kResultOk : (kind | status);
}

}  // namespace korvane
