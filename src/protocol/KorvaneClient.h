#ifndef KORVANE_PROTOCOL_KORVANECLIENT_H
#define KORVANE_PROTOCOL_KORVANECLIENT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/KorEvent.h"
#include "platform/KorMutex.h"
#include "protocol/KorvaneMsg.h"
#include "transport/KorIPConnection.h"

namespace korvane {

// Result codes of the protocol client.
enum ClientResult : int32_t {
  kResultOk = 0,
  kResultRefused = 1,
  kResultTimeout = 0x40000,
  kResultBadChecksum = 0xA0000,
  kResultNotConfirmed = 0xB0000,
  kResultBadConfirmation = 0xC0000,
  kResultInvalidHandle = 0x900000,
  kResultInvalidParameter = 0x920000,
};

// Transport result to result code: 1 is 0, 7 is 1, any other r is r << 16.
int32_t MapTransportResult(int transport_result);

// The protocol client of one device: owns its TCP connection, sends requests and hands each
// waiting caller the confirmation with its telegram id. Requests on one client are served
// one at a time, in the order the callers arrive.
class CKorvaneClient {
 public:
  CKorvaneClient(uint32_t device_kind, int32_t timeout_ms);
  virtual ~CKorvaneClient();
  CKorvaneClient(const CKorvaneClient&) = delete;
  CKorvaneClient& operator=(const CKorvaneClient&) = delete;

  // Port 0 means 4999 + device kind (5099 for kind 0).
  int32_t Connect(const char* host, uint16_t port);
  virtual int32_t Send(const CKorvaneMsg& request);
  virtual int32_t ResetTelegramId();
  virtual int32_t Disconnect();
  // Sends the request and waits for its confirmation. A reply that arrived is handed over
  // even when the result is not 0.
  int32_t Transact(const CKorvaneMsg& request, std::unique_ptr<CKorvaneMsg>* reply);
  // One whole request: takes the next telegram id, builds the telegram and transacts it,
  // with no other request of this client in between.
  int32_t Request(uint16_t command, const std::vector<uint8_t>& payload, std::unique_ptr<CKorvaneMsg>* reply);
  // Status byte of a confirmation to result code.
  virtual int32_t ReplyResult(const CKorvaneMsg& reply) const;

  uint32_t DeviceKind() const { return device_kind_; }
  uint16_t NextTelegramId() const { return next_id_.load(); }
  bool IsConnected() const { return connection_.GetState() == kStateConnected; }
  std::size_t StoredReplies() const;
  CKorIPConnection& Connection() { return connection_; }

 protected:
  virtual void OnTelegram(const uint8_t* bytes, std::size_t count);
  virtual void OnConnectionState(int connected) { (void)connected; }
  // A request telegram from the gateway; true when taken. The base takes none.
  virtual bool OnRequest(std::unique_ptr<CKorvaneMsg>& telegram) {
    (void)telegram;
    return false;
  }
  // Disconnects and stops the connection's threads. The most derived destructor calls it
  // first, so the receive thread never calls into an object whose destruction has begun.
  void Shutdown();

 private:
  class CConnection : public CKorIPConnection {
   public:
    explicit CConnection(CKorvaneClient* owner) : owner_(owner) {}
    ~CConnection() override { StopThreads(); }

   protected:
    void OnConnectionState(int connected) override { owner_->OnConnectionState(connected); }
    int OnTelegram(const uint8_t* bytes, std::size_t length) override {
      owner_->OnTelegram(bytes, length);
      return 0;
    }

   private:
    CKorvaneClient* owner_;
  };

  struct PendingReply {
    std::unique_ptr<CKorvaneMsg> reply;
    int64_t arrival_us;  // monotonic
  };

  std::unique_ptr<CKorvaneMsg> WaitReply(uint16_t id);
  std::unique_ptr<CKorvaneMsg> TakeReply(uint16_t id) KOR_EXCLUDES(map_lock_);
  void PurgeReplies() KOR_EXCLUDES(map_lock_);

  CConnection connection_;
  const int32_t timeout_ms_;
  mutable CKorMutex map_lock_;
  std::map<uint16_t, PendingReply> replies_ KOR_GUARDED_BY(map_lock_);
  // Only the confirmation of the request in flight is stored: a late one, or one for an id
  // nobody asked, could otherwise answer a later request that reuses its id.
  int32_t awaited_id_ KOR_GUARDED_BY(map_lock_) = -1;
  // Set when the awaited confirmation is stored, so a reading caller can stop without a lock.
  std::atomic<bool> reply_stored_{false};
  std::atomic<uint16_t> next_id_{0};
  const uint32_t device_kind_;
  CKorEvent reply_event_;
  CKorMutex request_lock_;
};

}  // namespace korvane

#endif
