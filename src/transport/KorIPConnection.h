#ifndef KORVANE_TRANSPORT_KORIPCONNECTION_H
#define KORVANE_TRANSPORT_KORIPCONNECTION_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/KorEvent.h"
#include "platform/KorThread.h"
#include "transport/KorIPBase.h"
#include "transport/KorMsg.h"
#include "transport/stream_cutter.h"

namespace korvane {

// One TCP connection to a gateway: connect and disconnect handshakes, sending within a
// deadline, the receive thread that cuts the stream into telegrams and answers the
// transport's own telegrams, and the keep-alive supervision the gateway may ask for.
class CKorIPConnection : public CKorIPBase {
 public:
  CKorIPConnection();
  ~CKorIPConnection() override;

  // Opens the socket and runs the connect handshake, all within timeout_ms.
  int Connect(uint8_t device_kind, const std::vector<uint8_t>& connect_data, const char* host, uint16_t port,
              uint32_t timeout_ms);
  // Sends one telegram's bytes whole; concurrent senders never interleave.
  int Send(const uint8_t* bytes, std::size_t length, uint32_t timeout_ms);
  int SendTelegram(const CKorMsg& telegram, uint32_t timeout_ms);
  int Disconnect(uint32_t timeout_ms);
  // Closes a connected connection and tells the owner; 5 when it was not connected.
  int Close();
  void DispatchTelegram(const uint8_t* bytes, std::size_t length);

  // Stops the receive and keep-alive threads; an owner calls it before its own members go,
  // so that no notification reaches a half-destroyed owner.
  void StopThreads();

  // Lets a caller that waits for a reply read and dispatch the socket on its own thread, so
  // the reply needs no hand-over from the receive thread. While any caller is registered as
  // waiting, the receive thread leaves the socket to it; every telegram goes through the same
  // cutting and dispatch whichever thread reads it.
  enum class PumpResult {
    kDone,    // done() holds
    kIdle,    // read something or waited timeout_ms; done() does not hold yet
    kBusy,    // another thread is reading right now
    kClosed,  // not connected
  };
  void BeginCallerWait() { waiting_callers_.fetch_add(1); }
  void EndCallerWait() { waiting_callers_.fetch_sub(1); }
  PumpResult Pump(int timeout_ms, const std::function<bool()>& done);

  // Keep-alive readings, for supervision and tests.
  int32_t KeepAliveMode() const { return keepalive_mode_.load(); }
  uint32_t KeepAliveInterval() const { return keepalive_interval_.load(); }
  uint8_t DeviceKind() const { return device_kind_; }

 protected:
  // connected: 1 at the end of a successful Connect, 0 at every close of a connected connection.
  virtual void OnConnectionState(int connected) { (void)connected; }
  // Every framed telegram that is not one of the transport's own, on the receive thread.
  virtual int OnTelegram(const uint8_t* bytes, std::size_t length) {
    (void)bytes;
    (void)length;
    return 0;
  }
  // Whether to accept a connect request that the gateway sends.
  virtual bool AcceptConnect(const std::vector<uint8_t>& payload) {
    (void)payload;
    return true;
  }

 private:
  class CReadThread;
  class CAliveThread;
  enum Code { kConnectReq, kConnectConf, kDisconnectReq, kDisconnectConf, kKeepAliveReq, kKeepAliveConf };

  // The change from connected to closing happens once, whichever thread gets there first.
  bool BeginClose();
  bool WaitForDisconnectConfirmation(uint32_t timeout_ms);
  void ConnectionLost();
  void OnKeepAliveRequest(const uint8_t* bytes, std::size_t length);
  void ReadLoop(CReadThread& thread);
  // Receives once into the cutter and dispatches what completes; the reader lock is held.
  void ReceiveOnce(platform::SocketHandle s) KOR_REQUIRES(reader_mutex_);
  // Hands n received bytes to the cutter; 0 or an error means the connection is lost.
  void Deliver(long n) KOR_REQUIRES(reader_mutex_);
  void AliveLoop(CAliveThread& thread);
  void StopAliveThread();

  CKorEvent connect_event_;
  CKorEvent disconnect_event_;
  std::atomic<uint8_t> connect_result_{0};
  std::atomic<uint8_t> disconnect_result_{0};
  std::atomic<bool> disconnect_confirmed_{false};
  uint16_t codes_[6] = {0x0001, 0x8001, 0x0002, 0x8002, 0x000D, 0x800D};
  uint8_t device_kind_ = 0;
  std::string peer_text_;
  std::string host_;
  uint16_t port_ = 0;
  std::unique_ptr<CReadThread> read_thread_;
  // Created and destroyed on the receive thread, and by the destructor once that has stopped.
  std::unique_ptr<CAliveThread> alive_thread_;
  // Whoever receives holds it: the receive thread, or a caller reading for itself.
  CKorMutex reader_mutex_;
  CStreamCutter cutter_ KOR_GUARDED_BY(reader_mutex_);
  std::atomic<int> waiting_callers_{0};

  std::atomic<int32_t> keepalive_mode_{0};
  std::atomic<uint32_t> keepalive_ticks_{0};
  std::atomic<uint32_t> keepalive_interval_{0};
  std::atomic<uint32_t> keepalive_last_receipt_{0};
};

}  // namespace korvane

#endif
